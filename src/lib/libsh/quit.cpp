#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/quit"
#include <cstring>

#include "liblog/log.h"
#include "libsh/libsh.h"

namespace {

// "exit -h" and "quit -h" (also reached by "help exit") only describe
// the command.
bool wants_help(dbgsh_srv_ctx *ctx, int argc, char **argv, const char *name)
{
    int c;
    bool help = false;
    while ((c = getopt_r(argc, argv, "h", &ctx->opt)) != -1)
        if (c == 'h') help = true;
    if (help) ctx->printf(ctx->out, "%s\n%s\n\t-h Display this help\n", name, libsh_cmd_help_text(name));
    return help;
}

}  // namespace

int libsh_cmd_exit(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    if (wants_help(ctx, argc, argv, "exit")) return 0;
    libsh_reply_end(ctx);
    if (libsh_exit_fn fn = libsh_get_exit_func()) fn();
    ctx->exit_flag = 1;
    return 0;
}

int libsh_cmd_quit(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    if (wants_help(ctx, argc, argv, "quit")) return 0;
    libsh_reply_end(ctx);
    ctx->exit_flag = 1;
    return 0;
}
