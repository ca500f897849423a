#define LOG_MOD "tag"
#define LOG_SRC "src/lib/libapp/app_dbg"
#include "libapp/app_dbg.h"

#include "libapp/libapp.h"
#include "libdbg/bsv_pipe.h"
#include "libdbg/dbgsrv.h"
#include "libdbg/http.h"
#include "libdbg/shell.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"
#include "libpal/tframe/app.h"
#include "libpal/value/rvar.h"
#include "libsh/libsh.h"

namespace {

rvar_item g_show_items[] = {
    {"config", "View configuration parameters", app_dbg_show_config},
    {"status", "Show the status of the program", app_priv_show_status},
};

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
    if (app_settings.http_server_port != 0) {
        debug_http_param p = {0, app_settings.web_title, app_settings.http_server_user,
                              app_settings.http_server_pwd, app_settings.prompt};
        debug_http_server_set_param(&p);
        if (debug_http_server_init(app_settings.http_server_addr, app_settings.http_server_port) != 0)
            LOG_ERR("debug_http_server_init failed\n");
    }
    if (app_settings.debug_server_port != 0) {
        if (debug_shell_server_init(app_settings.debug_server_addr, app_settings.debug_server_port) != 0)
            LOG_ERR("debug_shell_server_init failed\n");
    }
    return 0;
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
