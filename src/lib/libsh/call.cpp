#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/call"
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/value/fvar.h"
#include "libsh/libsh.h"

namespace {

int call_kill(dbgsh_srv_ctx *ctx, int, char **)
{
    LOG_WARN("user req exit!!\n");
    libsh_reply_end(ctx);
    fflush(stdout);
    exit(0);
}

int call_null(dbgsh_srv_ctx *ctx, int, char **)
{
    LOG_WARN("user req null=0 !!\n");
    libsh_reply_end(ctx);
    fflush(stdout);
    // Hand the process to the crash handler as a real fault would.
    raise(SIGSEGV);
    return 0;
}

int call_tlog(dbgsh_srv_ctx *ctx, int, char **)
{
    LOG_VERB("log_verb\n");
    LOG_DBG("log_debug\n");
    LOG_INFO("log_info\n");
    LOG_NOTI("log_notice\n");
    LOG_WARN("log_warn\n");
    LOG_ERR("log_error\n");
    LOG_AT(2 | LOG_OPT_NOEXIT, "log_crit2\n");
    ctx->flush(ctx->out);
    return 0;
}

fvar_item g_funcs[] = {
    {"kill", "Execute exit() to exit the process", call_kill},
    {"null", "null memory access exception", call_null},
    {"tlog", "Test All log level output", call_tlog},
};

}  // namespace

int libsh_call_init(void)
{
    for (auto &f : g_funcs) libsh_call_add(&f);
    return 0;
}

int libsh_cmd_call(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    // A lone -h is the help ("help call"): the listing, and success.
    const bool help = argc == 2 && strcmp(argv[1], "-h") == 0;
    if (argc >= 2 && !help) {
        fvar_item *f = fvar_mgr_find(libsh_fvar_mgr(), argv[1]);
        if (!f) {
            ctx->printf(ctx->out, "error: The call func '%s' does not exist\n", argv[1]);
            return -12;
        }
        return f->handler(ctx, argc - 1, argv + 1);
    }
    char *list = fvar_mgr_show(libsh_fvar_mgr(), "call");
    ctx->printf(ctx->out, "%s\n%s", libsh_cmd_help_text("call"), list ? list : "");
    os_free(list);
    return help ? 0 : -1;
}
