#define LOG_MOD "tag"
#define LOG_SRC "src/lib/libapp/libapp"
#include "libapp/libapp.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "libapp/app_dbg.h"
#include "libconf/conf.h"
#include "libdbg/dbgcli.h"
#include "libdbg/shell.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "libnet/libnet.h"
#include "libnet/sock_event.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_opt.h"
#include "libpal/string/str_escape.h"
#include "libpal/tframe/app.h"

namespace {

std::atomic<bool> g_stopping{false};
std::atomic<bool> g_running{false};  // app_main runs

void set_text(char *&field, const char *value)
{
    char *copy = os_strdup(value ? value : "");
    if (!copy) return;
    os_free(field);
    field = copy;
}

// Ports outside 0..65535 leave their server off.
void check_port(i32 &port, const char *name)
{
    if (port >= 0 && port <= 65535) return;
    LOG_ERR("%s=%d out of range (0..65535), server off\n", name, port);
    port = 0;
}

}  // namespace

int app_opt_parse(int argc, char **argv)
{
    int c;
    opterr = 1;
    while ((c = getopt(argc, argv, "c:o:l:dqpiue:vhs:w")) != -1) {
        switch (c) {
        case 'c': set_text(app_settings.conf_file, optarg); break;
        case 'o': set_text(app_settings.log_file, optarg); break;
        case 'l': set_text(app_settings.log_level, optarg); break;
        case 'e': set_text(app_settings.exec_cmd, optarg); break;
        case 'd': app_settings.run_as_daemon = 1; break;
        case 'q': app_settings.quiet = 1; break;
        case 'p': app_settings.conf_dump = 1; break;
        case 's':
            if (app_settings.kv_table || strcmp(optarg, "list") == 0)
                os_opt_kv_get(app_settings.kv_table, optarg);
            else
                LOG_ERR("-s %s: this program has no settable keys\n", str_log_esc<1024>(optarg).c_str());
            break;
        case 'v':
            printf("%s\n", g_app.app_ver ? g_app.app_ver : "");
            fflush(stdout);
            exit(0);
        case 'h':
            app_usage();
            exit(0);
        default:
            app_usage();
            exit(1);
        }
    }
    return 0;
}

void app_usage(void)
{
    app_baner();
    fprintf(stderr,
            "Usage: %s [opt] [arguments] ...\n\t-c [config_file]  set config file\n\t-p dump current "
            "config\n\t-s [list|key=val] Set configuration options\n\t-e [\"cmd;...\"] execute "
            "string 'cmd'\n\t-v show version\n\t-q Do not display the startup banner and copyright "
            "message\n\t-d Run as a daemon\n\t-o [log_file]     set output log file\n\t-l "
            "[log_level]    set log level: verb, dbg, info, warn, err\n\t-h display this help\n",
            g_app.app_name ? g_app.app_name : "");
    fflush(stderr);
}

int app_conf_file_init(const char *path)
{
    conf *c = conf_open(path);
    if (!c) {
        LOG_DBG("load [%s] error\n", path ? path : "");
        return -1;
    }
    app_priv_conf_init(c);
    const char *lo = APP_DEBUG_ADDR_DEFAULT;
    app_settings.debug_server_port = conf_get_path_int(c, APP_KEY_SHELL_PORT, 0);
    set_text(app_settings.debug_server_addr, conf_get_path(c, "debug:shell_server_addr", lo));
    app_settings.http_server_port = conf_get_path_int(c, APP_KEY_HTTP_PORT, 0);
    set_text(app_settings.http_server_addr, conf_get_path(c, "debug:http_server_addr", lo));
    set_text(app_settings.http_server_user, conf_get_path(c, "debug:http_server_user", ""));
    set_text(app_settings.http_server_pwd, conf_get_path(c, "debug:http_server_pwd", ""));
    set_text(app_settings.panic_dump_dir, conf_get_path(c, "debug:panic_dump_dir", ""));
    conf_close(c);
    return 0;
}

int app_lib_init(void)
{
    LOG_VERB("==>\n");
    pl_init();
    net_init();
    app_dbg_init();
    return app_priv_lib_init();
}

void app_lib_exit(int)
{
    app_priv_lib_exit();
    app_dbg_exit();
    sock_env_exit();
    LOG_DBG("<==\n");
    os_thread_name_del();
    log2_exit(nullptr);
    pl_exit();
}

int app_start_server(void)
{
    LOG_VERB("==>\n");
    check_port(app_settings.http_server_port, "http_server_port");
    check_port(app_settings.debug_server_port, "debug_server_port");
    sock_env_init();
    if (app_dbg_start() < 0 && app_settings.run_as_daemon) {
        app_daemon_ready(1);
        return 1;
    }
    int r = app_priv_start_server();
    // Under -d the first process returns now, with the start's status. When
    // it is gone (killed while it waited, or tired of waiting) its caller
    // took the start as failed: the daemon does not live on unseen.
    if (app_daemon_ready(r < 0 ? r : 0) < 0 && r >= 0) {
        LOG_ERR("the process that started the daemon is gone: stopping\n");
        app_stop_request(0);
    }
    if (r < 0) return r;
    if (app_settings.run_as_daemon) {
        LOG_DBG("run_as_daemon loop...\n");
        while (!app_stop_requested()) {
            struct pollfd p = {app_stop_fd(), POLLIN, 0};
            if (p.fd >= 0) poll(&p, 1, 1000);
            else os_sleep(1);
        }
    } else {
        debug_shell_stdio_loop();
    }
    LOG_VERB("<==\n");
    return r;
}

int app_stop_server(void)
{
    LOG_DBG("==>\n");
    if (g_stopping.exchange(true) || g_app.stop_flag.load()) return 0;
    app_priv_stop_server();
    app_dbg_stop();
    g_app.stop_flag.store(1);
    return 0;
}

int app_stop_request_exit(void)
{
    app_stop_request(0);
    return 0;
}

void app_sig_handler(int signo)
{
    // Only async-signal-safe work here: the main thread runs the stop.
    signal(signo, SIG_DFL);
    if (signo == SIGINT || signo == SIGTERM) app_stop_request(signo);
}

int app_main(int argc, char **argv)
{
    // One run at a time; a run that follows another starts as the first.
    if (g_running.exchange(true)) {
        fprintf(stderr, "%s: app_main runs already in this process: not started again\n",
                g_app.app_name ? g_app.app_name : "");
        fflush(stderr);
        return 1;
    }
    g_stopping.store(false);
    app_run_reset();
    g_app.shell_stdio_loop = debug_shell_run_cmds;
    g_app.shell_connet_cmd = debug_shell_cli_exec;
    g_app.opt_proc = app_opt_parse;
    g_app.conf_proc = app_conf_file_init;
    g_app.conf_dump_proc = app_dbg_show_config;
    g_app.prestart_proc = nullptr;
    g_app.start_check_proc = app_priv_check_instance;
    g_app.sig_proc = app_sig_handler;
    g_app.init_proc = app_lib_init;
    g_app.exit_proc = app_lib_exit;
    // Without a configuration file the debug servers stay on loopback.
    if (!app_settings.debug_server_addr) set_text(app_settings.debug_server_addr, APP_DEBUG_ADDR_DEFAULT);
    if (!app_settings.http_server_addr) set_text(app_settings.http_server_addr, APP_DEBUG_ADDR_DEFAULT);
    app_stop_init();
    app_opt_init(argc, argv);
    int r = app_start_server();
    if (int sig = app_stop_signal()) {
        LOG_DBG("signal=%d\n", sig);
        LOG_DBG("stop_server ==>\n");
        app_opt_exit(app_stop_server());
        exit(0);
    }
    // Whatever ended the shell, the servers stop before the shell's
    // tables are freed.
    app_stop_server();
    app_opt_exit(r);
    g_running.store(false);
    return r;
}
