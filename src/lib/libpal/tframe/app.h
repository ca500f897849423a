#pragma once
// Application frame: the start-up and shut-down sequence every program of
// the framework runs, driven by the application descriptor's hook slots.
#include <atomic>
#include <cstddef>
#include "libpal/env/os_types.h"
#include "libpal/libpal.h"

struct os_opt_kv;

struct app_desc {
    const char *app_name;
    const char *app_ver;
    const char *app_ver_date;
    const char *app_desc;
    const char *app_notice;
    char cmdline[4096];
    pl_sys_info sys;
    u32 ver_id;
    const char *app_conf_file;
    std::atomic<u32> stop_flag;
    // hook slots
    int (*shell_stdio_loop)(const char *cmds);
    int (*shell_connet_cmd)(const char *host, int port, const char *cmd);
    int (*opt_proc)(int argc, char **argv);
    int (*conf_proc)(const char *path);
    char *(*conf_dump_proc)(void);
    int (*prestart_proc)(void);
    int (*start_check_proc)(void);
    void (*sig_proc)(int signo);
    int (*init_proc)(void);
    void (*exit_proc)(int code);
};

struct app_settings_t {
    os_opt_kv *kv_table;
    char *conf_file;
    char *log_level;
    char *log_file;
    char *syslog_url;
    u32 run_as_daemon;
    u32 quiet;
    u32 conf_dump;
    u32 need_root;
    u32 show_cmdline;
    u32 log_banner;
    u32 chdir_exe_dir;
    char *exec_cmd;
    char *stdio_cmds;
    i32 debug_server_port;
    char *debug_server_addr;
    i32 http_server_port;
    char *http_server_addr;
    char *http_server_user;
    char *http_server_pwd;
    const char *web_title;
    const char *prompt;
    char *panic_dump_dir;
};

// The configuration keys of the debug servers' ports.
inline constexpr char APP_KEY_SHELL_PORT[] = "debug:shell_server_port";
inline constexpr char APP_KEY_HTTP_PORT[] = "debug:http_server_port";

extern app_desc g_app;
extern app_settings_t app_settings;

int app_opt_init(int argc, char **argv);
int app_init_env(void);
void app_baner(void);
// Under -d, once the start is over: status 0 (the servers listen) prints
// the daemon line unless -q; then os_daemon_ready(status). Its result; 0
// without -d.
int app_daemon_ready(int status);
void app_opt_exit(int code);

// Stop requests. A signal handler or a session asks the main thread to
// stop with app_stop_request (async-signal-safe: an atomic flag and one
// byte on a pipe); the main thread waits on app_stop_fd with poll.
int app_stop_init(void);
// Before a run of the frame that follows an earlier one in the same
// process: no stop requested, the stop flag and the exit step cleared.
void app_run_reset(void);
void app_stop_request(int signo);
int app_stop_requested(void);
int app_stop_signal(void);
int app_stop_fd(void);

// Listen address lists: fields separated by ';' or ','. Copies the next
// field of list into field and returns where the rest begins; NULL when
// no field is left (or the next one does not fit).
const char *app_addr_field(const char *list, char *field, size_t size);
// The address a client on this machine connects to for a server that
// listens on hosts: 127.0.0.1 when the list is empty or holds 127.0.0.1,
// else its first address (a wildcard: the loopback address of its family).
const char *app_local_addr(const char *hosts, char *buf, size_t size);
