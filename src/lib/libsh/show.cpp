#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/show"
#include <cstring>

#include "libdbg/bsv_pipe.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/libpal.h"
#include "libpal/os/posix/os_popen.h"
#include "libpal/string/conv_num.h"
#include "libpal/string/str_buf.h"
#include "libpal/tframe/app.h"
#include "libpal/value/dvar.h"
#include "libpal/value/rvar.h"
#include "libsh/libsh.h"

namespace {

const char *q(const char *text, char *buf)
{
    return str_squote(text ? text : "", buf, 4096);
}

char *show_info(void)
{
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    char qb[4096], dur[64];
    pl_sys_info *si = pl_sys_info_get();
    str_buf_printf(b, "ver=%s\n", g_app.app_ver ? g_app.app_ver : "");
    str_buf_printf(b, "ver_date=%s\n", q(g_app.app_ver_date, qb));
    u64 now = os_time_ms();
    double up = si->start_ms && now > si->start_ms ? (double)(now - si->start_ms) / 1000.0 : 0.0;
    dur[0] = 0;
    str_duration_fmt(up, dur, sizeof dur);
    str_buf_printf(b, "start_time=%s\n", q(dur, qb));
    str_buf_printf(b, "is_root=%d\n", os_is_root() ? 1 : 0);
    str_buf_printf(b, "log_level=%s\n", log_level_get_str(nullptr));
    str_buf_printf(b, "bsv_pipe_name=%s\n", q(debug_bsv_pipe_name(), qb));
    str_buf_printf(b, "cpu_endian=%s\n", "little");
    str_buf_printf(b, "os_info=%s\n", q(os_get_info_cstr(), qb));
    str_buf_printf(b, "hw_info=%s\n", os_hw_info());
    dur[0] = 0;
    str_duration_fmt((double)os_uptime_ms() / 1000.0, dur, sizeof dur);
    str_buf_printf(b, "os_start_time=%s\n", q(dur, qb));
    return str_buf_detach(b);
}

char *show_memory(void)
{
    return os_malloc_info();
}

char *show_llog(void)
{
    return log_last_log_dup(nullptr);
}

char *show_dvar(void)
{
    return dvar_mgr_print(libsh_dvar_mgr());
}

rvar_item g_items[] = {
    {"info", "View program running global info", show_info},
    {"memory", "View program memory stats", show_memory},
    {"llog", "show last log", show_llog},
    {"dvar", "View program Dynamic variable", show_dvar},
};

}  // namespace

int libsh_show_init(void)
{
    for (auto &it : g_items) libsh_show_add(&it);
    return 0;
}

int libsh_cmd_show(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    // A lone -h is the help ("help show"), as for set.
    if (argc == 2 && strcmp(argv[1], "-h") != 0) {
        rvar_item *it = rvar_mgr_find(libsh_rvar_mgr(), argv[1]);
        if (!it) {
            ctx->printf(ctx->out, "error: The show variable '%s' does not exist\n", argv[1]);
            return -12;
        }
        char *text = it->handler();
        if (text) ctx->write(ctx->out, text);
        os_free(text);
        return 0;
    }
    char *list = rvar_mgr_show(libsh_rvar_mgr());
    ctx->printf(ctx->out, "%s\n%s", libsh_cmd_help_text("show"), list ? list : "");
    os_free(list);
    return 0;
}

int libsh_cmd_set(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    int r = -1;
    if (argc == 3) {
        char err[DVAR_ERR_SIZE];
        err[0] = 0;
        r = dvar_mgr_set(libsh_dvar_mgr(), argv[1], argv[2], err);
        if (r < 0) ctx->printf(ctx->out, "error: %s\n", err);
        return r;
    }
    if (argc == 2 && strcmp(argv[1], "-h") == 0) r = 0;
    char *list = dvar_mgr_show(libsh_dvar_mgr());
    ctx->printf(ctx->out, "%s\n%s", libsh_cmd_help_text("set"), list ? list : "");
    os_free(list);
    return r;
}
