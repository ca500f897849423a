#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/unsetenv"
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"
#include "libsh/libsh.h"
#include "libsh/libsh_lock.h"

namespace {

pthread_mutex_t g_env_lock = PTHREAD_MUTEX_INITIALIZER;
char **g_envv = nullptr;  // NULL-terminated array of "NAME=value" texts
size_t g_envc = 0;
size_t g_env_start = 0;  // how many were copied from the environment

size_t index_locked(const char *name)
{
    size_t nl = strlen(name);
    for (size_t i = 0; i < g_envc; ++i)
        if (strncmp(g_envv[i], name, nl) == 0 && g_envv[i][nl] == '=') return i;
    return g_envc;
}

const char *value_locked(const char *name)
{
    size_t i = index_locked(name);
    return i < g_envc ? g_envv[i] + strlen(name) + 1 : nullptr;
}

void free_locked()
{
    for (size_t i = 0; i < g_envc; ++i) os_free(g_envv[i]);
    os_free(g_envv);
    g_envv = nullptr;
    g_envc = 0;
    g_env_start = 0;
}

// Name of 1..LIBSH_TEXT_MAX characters without blanks, one '=', then
// 1..LIBSH_TEXT_MAX characters without a further '='.
bool split_assignment(const char *text, char *name, char *value)
{
    const char *eq = strchr(text, '=');
    if (!eq) return false;
    size_t nl = (size_t)(eq - text);
    if (nl < 1 || nl > LIBSH_TEXT_MAX) return false;
    for (size_t i = 0; i < nl; ++i)
        if (text[i] == ' ' || text[i] == '\t') return false;
    const char *v = eq + 1;
    size_t vl = strlen(v);
    if (vl < 1 || vl > LIBSH_TEXT_MAX || strchr(v, '=')) return false;
    memcpy(name, text, nl);
    name[nl] = 0;
    memcpy(value, v, vl + 1);
    return true;
}

}  // namespace

int init_envv(char **env)
{
    pthread_guard g(&g_env_lock);
    free_locked();
    size_t n = 0;
    while (env && env[n]) ++n;
    g_envv = (char **)os_calloc(n + 1, sizeof(char *));
    if (!g_envv) return -1;
    for (size_t i = 0; i < n; ++i) {
        char *copy = os_strdup(env[i]);
        if (!copy) {
            LOG_ERR("strdup error\n");
            break;
        }
        g_envv[g_envc++] = copy;
    }
    g_env_start = g_envc;
    return 0;
}

void free_envv(void)
{
    pthread_guard g(&g_env_lock);
    free_locked();
}

int libsh_env_index(const char *name)
{
    pthread_guard g(&g_env_lock);
    return name ? (int)index_locked(name) : (int)g_envc;
}

const char *libsh_getenv(const char *name)
{
    if (!name) return nullptr;
    pthread_guard g(&g_env_lock);
    return value_locked(name);
}

int libsh_getenv_copy(const char *name, char *out, size_t size)
{
    if (!name) return -1;
    pthread_guard g(&g_env_lock);
    const char *v = value_locked(name);
    if (!v) return -1;
    str_safecopy_trunc(out, size, v);
    return 0;
}

int libsh_setenv(const char *name, const char *value)
{
    if (!name) return -1;
    char *entry = value ? os_asprintf("%s=%s", name, value) : os_asprintf("%s=", name);
    if (!entry) return -8;
    pthread_guard g(&g_env_lock);
    size_t i = index_locked(name);
    if (i < g_envc) {
        os_free(g_envv[i]);
        g_envv[i] = entry;
        return 0;
    }
    if (g_envc >= g_env_start + LIBSH_VARS_MAX) {
        os_free(entry);
        return LIBSH_FULL;
    }
    char **n = (char **)os_realloc(g_envv, (g_envc + 2) * sizeof(char *));
    if (!n) {
        os_free(entry);
        return -8;
    }
    g_envv = n;
    g_envv[g_envc++] = entry;
    g_envv[g_envc] = nullptr;
    return 0;
}

int libsh_unsetenv(const char *name)
{
    if (!name) return -1;
    pthread_guard g(&g_env_lock);
    size_t i = index_locked(name);
    if (i >= g_envc) return -1;
    os_free(g_envv[i]);
    memmove(g_envv + i, g_envv + i + 1, (g_envc - i) * sizeof(char *));
    --g_envc;
    return 0;
}

int libsh_assign_var(const char *text)
{
    char name[LIBSH_TEXT_MAX + 1], value[LIBSH_TEXT_MAX + 1];
    if (!text || !split_assignment(text, name, value)) return -1;
    return libsh_setenv(name, value);
}

int libsh_is_assign(const char *text)
{
    char name[LIBSH_TEXT_MAX + 1], value[LIBSH_TEXT_MAX + 1];
    return text && split_assignment(text, name, value) ? 1 : 0;
}

char *libsh_env_text(void)
{
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    {
        pthread_guard g(&g_env_lock);
        for (size_t i = 0; i < g_envc; ++i) str_buf_printf(b, "%s\n", g_envv[i]);
    }
    return str_buf_detach(b);
}

void libsh_say_full(dbgsh_srv_ctx *ctx, const char *what, u32 max, const char *name, size_t len)
{
    if (ctx->printf) ctx->printf(ctx->out, "error: too many %s (%u): %.*s not set\n", what, max, (int)len, name);
}

int libsh_cmd_unset(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    int c;
    while ((c = getopt_r(argc, argv, "h", &ctx->opt)) != -1) {
        if (c == 'h') {
            ctx->printf(ctx->out, "unset [var ...]\n%s\n\t-h Display this help\n",
                        libsh_cmd_help_text("unset"));
            return 0;
        }
    }
    int i = ctx->opt.optind;
    if (i >= argc) {
        ctx->write(ctx->out, "unsetenv: Too few arguments\n");
        return -1;
    }
    for (; i < argc; ++i) libsh_unsetenv(argv[i]);
    return 0;
}

int libsh_cmd_env(dbgsh_srv_ctx *ctx, int, char **)
{
    char *t = libsh_env_text();
    if (t) ctx->write(ctx->out, t);
    os_free(t);
    return 0;
}
