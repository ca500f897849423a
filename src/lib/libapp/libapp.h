#pragma once
// Application glue: fills the frame's hook slots, parses the command line,
// loads the "debug" section, starts and stops the servers.

// Listen address of both debug servers unless the entry, the INI file
// (an empty value: every address) says otherwise.
constexpr char APP_DEBUG_ADDR_DEFAULT[] = "127.0.0.1";

int app_main(int argc, char **argv);
int app_opt_parse(int argc, char **argv);
void app_usage(void);
int app_conf_file_init(const char *path);
int app_lib_init(void);
void app_lib_exit(int code);
int app_start_server(void);
int app_stop_server(void);
// The stop request that "exit" hands to the main thread.
int app_stop_request_exit(void);
void app_sig_handler(int signo);

// Application hooks (supplied by the program).
struct conf;
int app_priv_conf_init(conf *c);
int app_priv_lib_init(void);
void app_priv_lib_exit(void);
int app_priv_start_server(void);
int app_priv_stop_server(void);
char *app_priv_show_config(void);
char *app_priv_show_status(void);
int app_priv_check_instance(void);
int app_priv_set_info(void);
