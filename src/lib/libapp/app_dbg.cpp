#define LOG_MOD "tag"
#define LOG_SRC "src/lib/libapp/app_dbg"
#include "libapp/app_dbg.h"

#include <cstring>

#include "libapp/libapp.h"
#include "libdbg/bsv_pipe.h"
#include "libdbg/dbgsrv.h"
#include "libdbg/http.h"
#include "libdbg/shell.h"
#include "libhttpd/api.h"
#include "libpwd/libpwd.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "libpal/env/malloc.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/string/str_buf.h"
#include "libpal/tframe/app.h"
#include "libpal/value/rvar.h"
#include "libsh/libsh.h"

namespace {

rvar_item g_show_items[] = {
    {"config", "View configuration parameters", app_dbg_show_config},
    {"status", "Show the status of the program", app_priv_show_status},
};

// An address of a listen list that only this machine reaches: 127.0.0.0/8
// or ::1 (an IPv4-mapped 127 address too). A field that is no address
// binds nothing and counts as such.
bool loopback_field(const char *text)
{
    os_ipaddr a;
    os_ipaddr_clear(&a);
    if (!os_ipaddr_ip_cstr_set(&a, text, 0)) return true;
    if (os_ipaddr_family(&a) == OS_IPADDR_FAMILY_IPV4) return os_ipaddr_ipv4(&a)->addr[0] == 127;
    os_ipv4 v4;
    if (os_ipaddr_ipv6_to_ipv4(os_ipaddr_ipv6(&a), &v4)) return v4.addr[0] == 127;
    return os_ipv6_is_loopback(os_ipaddr_ipv6(&a)) != 0;
}

// Whether a listener on hosts (fields split at ';' or ',' as the listener
// splits them; none: every address) can be reached from other machines.
bool beyond_loopback(const char *hosts)
{
    if (!hosts || !hosts[0]) return true;
    char field[512];
    for (const char *p = hosts; (p = app_addr_field(p, field, sizeof field));)
        if (field[0] && !loopback_field(field)) return true;
    return false;
}

// One warn record for a server that others may reach without a login.
void warn_open(const char *what, const char *hosts, int port, const char *advice)
{
    if (!beyond_loopback(hosts)) return;
    LOG_WARN("%s listens beyond loopback on %s port %d without a login: %s\n", what,
             hosts && hosts[0] ? hosts : "every address", port, advice);
}

// Whether a debug server that could not listen ends the start: only a
// daemon's, which could be neither reached nor stopped with -e without it,
// and whose port most likely belongs to another instance. In the
// foreground the program runs on without that server.
bool daemon_stops(const char *what, int port)
{
    if (!app_settings.run_as_daemon) return false;
    LOG_ERR("the %s cannot listen on port %d: the daemon does not start\n", what, port);
    return true;
}

// A browser sends the web login as "user:password" in one Basic
// credential, of which the tool reads HTTP_AUTH_DECODED_MAX bytes: a
// login that does not fit can never succeed, and is told at the start.
// The password's shorter {SHA} form may still fit.
void check_login_fits(const char *user, const char *pwd)
{
    if (!user || !user[0] || !pwd || !pwd[0]) return;
    char sha_pwd[64];
    const size_t u = strlen(user), n = u + 1 + strlen(pwd);
    const size_t sha = u + 1 + strlen(libpwd_sha_pwd(pwd, sha_pwd, sizeof sha_pwd));
    if (n <= HTTP_AUTH_DECODED_MAX && u < HTTP_AUTH_MAX) return;
    if (sha <= HTTP_AUTH_DECODED_MAX && u < HTTP_AUTH_MAX)
        LOG_WARN("http_server_user and http_server_pwd make a login of %zu bytes (\"user:password\"), more than "
                 "the %zu the web tool reads: only the password's {SHA} form logs in\n",
                 n, HTTP_AUTH_DECODED_MAX);
    else
        LOG_ERR("http_server_user and http_server_pwd make a login of %zu bytes (\"user:password\"), more than "
                "the %zu the web tool reads: no login can succeed; choose a shorter user or password\n",
                n, HTTP_AUTH_DECODED_MAX);
}

}  // namespace

int app_dbg_init(void)
{
    libsh_init();
    for (auto &it : g_show_items) libsh_show_add(&it);
    alias_set("st", "show status");
    alias_set("sr", "show rule");
    libsh_set_exit_func(app_stop_request_exit);
    debug_shell_param p = {app_settings.prompt};
    debug_shell_init(&p);
    debug_bsv_pipe_srv_init(g_app.app_name);
    return 0;
}

int app_dbg_start(void)
{
    const app_settings_t &s = app_settings;
    bool web = false, shell = false;
    if (s.http_server_port != 0) {
        debug_http_param p = {0, s.web_title, s.http_server_user, s.http_server_pwd, s.prompt};
        debug_http_server_set_param(&p);
        web = debug_http_server_init(s.http_server_addr, s.http_server_port) == 0;
        if (!web) {
            LOG_ERR("debug_http_server_init failed\n");
            if (daemon_stops("web tool", s.http_server_port)) return -1;
        }
    }
    if (s.debug_server_port != 0) {
        shell = debug_shell_server_init(s.debug_server_addr, s.debug_server_port) == 0;
        if (!shell) {
            LOG_ERR("debug_shell_server_init failed\n");
            if (daemon_stops("TCP shell", s.debug_server_port)) return -1;
        }
    }
    // The log's files open only now: a daemon that did not get its ports
    // (another one started at the same instant has them) never touches them.
    log2_outputs_hold(0);
    if (web) check_login_fits(s.http_server_user, s.http_server_pwd);
    if (web && (!s.http_server_user || !s.http_server_user[0] || !s.http_server_pwd || !s.http_server_pwd[0]))
        warn_open("web debug tool", s.http_server_addr, s.http_server_port, "set http_server_user and http_server_pwd");
    if (shell)
        warn_open("TCP shell", s.debug_server_addr, s.debug_server_port,
                  "whoever connects runs commands as this program's user");
    return (s.http_server_port != 0 && !web) || (s.debug_server_port != 0 && !shell) ? -1 : 0;
}

int app_dbg_stop(void)
{
    if (app_settings.debug_server_port != 0) debug_shell_server_exit();
    if (app_settings.http_server_port != 0) dbg_http_server_stop();
    return 0;
}

int app_dbg_exit(void)
{
    debug_bsv_pipe_srv_exit();
    libsh_exit();
    return 0;
}

char *app_dbg_show_config(void)
{
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    char *own = app_priv_show_config();
    if (own) {
        str_buf_printf(b, "%s", own);
        os_free(own);
    }
    char *q = (char *)os_malloc(4096);
    if (!q) {
        str_buf_free(b);
        return nullptr;
    }
    const app_settings_t &s = app_settings;
    str_buf_printf(b, "http_server_port=%d\n", s.http_server_port);
    str_buf_printf(b, "http_server_addr=%s\n", str_squote(s.http_server_addr ? s.http_server_addr : "", q, 4096));
    str_buf_printf(b, "debug_server_port=%d\n", s.debug_server_port);
    str_buf_printf(b, "debug_server_addr=%s\n", str_squote(s.debug_server_addr ? s.debug_server_addr : "", q, 4096));
    str_buf_printf(b, "panic_dump_dir=%s\n", str_squote(s.panic_dump_dir ? s.panic_dump_dir : "", q, 4096));
    os_free(q);
    char *log = log_info_dump(nullptr);
    if (log) {
        str_buf_printf(b, "%s", log);
        os_free(log);
    }
    return str_buf_detach(b);
}
