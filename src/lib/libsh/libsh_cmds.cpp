#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/libsh"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"
#include "libsh/libsh.h"

namespace {

bool is_echo_opt(const char *a)
{
    if (a[0] != '-' || a[1] == 0) return false;
    for (const char *p = a + 1; *p; ++p)
        if (!strchr("neEh", *p)) return false;
    return true;
}

void help_list(str_buf *b, const libsh_cmd *t)
{
    for (; t && t->name; ++t) str_buf_printf(b, "%-10s\t%s\n", t->name, t->help ? t->help : "");
}

}  // namespace

int libsh_cmd_help(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    if (argc >= 2) {
        libsh_cmd_fn fn = libsh_find_cmd(argv[1]);
        if (fn) {
            char *args[] = {argv[1], (char *)"-h", nullptr};
            getopt_data_init(&ctx->opt);
            fn(ctx, 2, args);
            return 0;
        }
    }
    str_buf *b = str_buf_new();
    if (!b) return -1;
    help_list(b, libsh_app_cmds());
    help_list(b, libsh_builtin_cmds());
    str_buf_append_cstr(b, "\nFor more information, type 'help command' for each command.\n");
    str_buf_append_cstr(b, "e.g. help pwd\n");
    ctx->write(ctx->out, str_buf_get(b));
    str_buf_free(b);
    return 0;
}

int libsh_cmd_pwd(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    int c;
    while ((c = getopt_r(argc, argv, "h", &ctx->opt)) != -1) {
        if (c == 'h') {
            ctx->printf(ctx->out, "pwd\n%s\n\t-h Display this help\n", libsh_cmd_help_text("pwd"));
            return 0;
        }
    }
    char dir[4096];
    if (!getcwd(dir, sizeof dir)) {
        ctx->printf(ctx->out, "os_getcwd err: [%s]\n", os_strerror());
        return -1;
    }
    ctx->printf(ctx->out, "%s\n", dir);
    return 0;
}

int libsh_cmd_cd(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    int c;
    while ((c = getopt_r(argc, argv, "h", &ctx->opt)) != -1) {
        if (c == 'h') {
            ctx->printf(ctx->out, "cd [directory]\n%s\n\t-h Display this help\n",
                        libsh_cmd_help_text("cd"));
            return 0;
        }
    }
    int i = ctx->opt.optind;
    char target[4096];
    target[0] = 0;
    if (i >= argc || strcmp(argv[i], "--") == 0) {
        libsh_getenv_copy("HOME", target, sizeof target);
    } else if (argc - i > 1) {
        ctx->write(ctx->out, "cd: too many arguments\n");
        return -1;
    } else if (strcmp(argv[i], "-") == 0) {
        libsh_getenv_copy("OLDPWD", target, sizeof target);
    } else {
        str_safecopy_trunc(target, sizeof target, argv[i]);
    }
    char old[4096];
    if (!getcwd(old, sizeof old)) {
        ctx->printf(ctx->out, "getcwd err: [%s]\n", os_strerror());
        return -1;
    }
    if (os_chdir(target) != 0) {
        ctx->printf(ctx->out, "cd: %s err: [%s]\n", target, os_strerror());
        return -1;
    }
    libsh_setenv("OLDPWD", old);
    return 0;
}

int libsh_cmd_echo(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    bool newline = true, escapes = false;
    int i = 1;
    for (; i < argc && is_echo_opt(argv[i]); ++i) {
        for (const char *p = argv[i] + 1; *p; ++p) {
            switch (*p) {
            case 'n': newline = false; break;
            case 'e': escapes = true; break;
            case 'E': escapes = false; break;
            case 'h':
                ctx->printf(ctx->out, "echo [opt] [string|var]...\n%s\n\t-h Display this help\n",
                            libsh_cmd_help_text("echo"));
                return 1;
            }
        }
    }
    // The text is never longer than its arguments with a blank after each
    // (escapes only shorten it); a short one is built on the stack.
    size_t need = 2;
    for (int k = i; k < argc; ++k) need += strlen(argv[k]) + 1;
    char small[256];
    char *out = need <= sizeof small ? small : (char *)os_malloc(need);
    if (!out) return -1;
    size_t n = 0;
    for (int first = i; i < argc; ++i) {
        if (i > first) out[n++] = ' ';
        const char *p = argv[i];
        while (*p) {
            if (escapes && p[0] == '\\' && p[1]) {
                if (p[1] == 'c') {
                    newline = false;
                    p += 2;
                    continue;
                }
                ++p;
                out[n++] = (char)str_parse_cescape(&p);
                continue;
            }
            out[n++] = *p++;
        }
    }
    if (newline) out[n++] = '\n';
    out[n] = 0;
    ctx->write(ctx->out, out);
    if (out != small) os_free(out);
    return 0;
}
