#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/alias"
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"
#include "libsh/libsh.h"
#include "libsh/libsh_lock.h"

namespace {

constexpr u32 kBuckets = 39;

struct alias_entry {
    alias_entry *next;
    char *name;
    char *value;
    u32 flags;
};

pthread_rwlock_t g_alias_lock = LIBSH_RWLOCK_INIT;
alias_entry **g_table = nullptr;  // kBuckets chains, or NULL
u32 g_count = 0;                  // aliases in it

u32 bucket_of(const char *name)
{
    const unsigned char *p = (const unsigned char *)name;
    if (!*p) return 0;
    u32 h = (u32)p[0] << 4;
    for (; *p; ++p) h += *p;
    return h % kBuckets;
}

alias_entry *find_locked(const char *name)
{
    if (!g_table || !name) return nullptr;
    for (alias_entry *e = g_table[bucket_of(name)]; e; e = e->next)
        if (strcmp(e->name, name) == 0) return e;
    return nullptr;
}

void free_all_locked()
{
    if (!g_table) return;
    for (u32 i = 0; i < kBuckets; ++i) {
        for (alias_entry *e = g_table[i]; e;) {
            alias_entry *n = e->next;
            os_free(e->name);
            os_free(e->value);
            os_free(e);
            e = n;
        }
        g_table[i] = nullptr;
    }
    g_count = 0;
}

}  // namespace

int alias_init(void)
{
    {
        libsh_wrlock g(g_alias_lock);
        if (!g_table) {
            g_table = (alias_entry **)os_calloc(kBuckets, sizeof(alias_entry *));
            if (!g_table) LOG_CRIT("malloc failed");
        }
    }
    static const char *const defaults[][2] = {
        {"a", "alias"},       {"c", "call"},        {"e", "exit"},        {"s", "show"},
        {"q", "quit"},        {"sc", "show config"}, {"sd", "show dvar"}, {"si", "show info"},
        {"sl", "show llog"},  {"sm", "show memory"},
    };
    for (auto &d : defaults) alias_set(d[0], d[1]);
    return 0;
}

int alias_exit(void)
{
    libsh_wrlock g(g_alias_lock);
    free_all_locked();
    os_free(g_table);
    g_table = nullptr;
    return 0;
}

const char *alias_get(const char *name)
{
    libsh_rdlock g(g_alias_lock);
    alias_entry *e = find_locked(name);
    return e ? e->value : nullptr;
}

int alias_get_copy(const char *name, char *out, size_t size)
{
    libsh_rdlock g(g_alias_lock);
    alias_entry *e = find_locked(name);
    if (!e) return -1;
    str_safecopy_trunc(out, size, e->value);
    return 0;
}

int alias_set(const char *name, const char *value)
{
    if (!name || !value) return -1;
    const size_t nl = strlen(name);
    if (nl < 1 || nl > LIBSH_TEXT_MAX || strlen(value) > LIBSH_TEXT_MAX) return -1;
    libsh_wrlock g(g_alias_lock);
    if (!g_table) return -1;
    if (alias_entry *e = find_locked(name)) {
        char *v = os_strdup(value);
        if (!v) return -8;
        os_free(e->value);
        e->value = v;
        return 0;
    }
    if (g_count >= LIBSH_ALIASES_MAX) return LIBSH_FULL;
    alias_entry *e = (alias_entry *)os_zalloc(sizeof(alias_entry));
    char *n = os_strdup(name), *v = os_strdup(value);
    if (!e || !n || !v) {
        os_free(e);
        os_free(n);
        os_free(v);
        return -8;
    }
    e->name = n;
    e->value = v;
    alias_entry **pp = &g_table[bucket_of(name)];
    while (*pp) pp = &(*pp)->next;
    *pp = e;
    ++g_count;
    return 0;
}

int alias_unset(const char *name)
{
    libsh_wrlock g(g_alias_lock);
    if (!g_table || !name) return -1;
    for (alias_entry **pp = &g_table[bucket_of(name)]; *pp; pp = &(*pp)->next) {
        alias_entry *e = *pp;
        if (strcmp(e->name, name) != 0) continue;
        *pp = e->next;
        os_free(e->name);
        os_free(e->value);
        os_free(e);
        --g_count;
        return 0;
    }
    return -1;
}

void alias_foreach(void (*fn)(const char *name, const char *value, void *arg), void *arg)
{
    libsh_rdlock g(g_alias_lock);
    if (!g_table) return;
    for (u32 i = 0; i < kBuckets; ++i)
        for (alias_entry *e = g_table[i]; e; e = e->next) fn(e->name, e->value, arg);
}

namespace {

void print_one(const char *name, const char *value, void *arg)
{
    char q[4096];
    if (!str_shell_quote(value, q, sizeof q)) str_safecopy_trunc(q, sizeof q, value);
    str_buf_printf((str_buf *)arg, "%s=%s\n", name, q);
}

}  // namespace

int libsh_cmd_alias(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    int c;
    while ((c = getopt_r(argc, argv, "h", &ctx->opt)) != -1)
        if (c == 'h') return 0;
    int i = ctx->opt.optind;
    str_buf *b = str_buf_new();
    if (!b) return -1;
    int r = 0;
    if (i >= argc) {
        alias_foreach(print_one, b);
    } else {
        for (; i < argc; ++i) {
            const char *a = argv[i];
            const char *eq = a[0] ? strchr(a + 1, '=') : nullptr;
            if (eq) {
                const size_t n = (size_t)(eq - a);
                char name[LIBSH_TEXT_MAX + 1];
                int set = -1;
                if (n <= LIBSH_TEXT_MAX) {
                    memcpy(name, a, n);
                    name[n] = 0;
                    set = alias_set(name, eq + 1);
                }
                if (set == 0) continue;
                // A refusal comes after what the arguments before it wrote,
                // and stops the rest of the line.
                if (const char *t = str_buf_get(b)) ctx->write(ctx->out, t);
                str_buf_reset(b);
                if (set == LIBSH_FULL)
                    libsh_say_full(ctx, "aliases", LIBSH_ALIASES_MAX, a, n);
                else if (set == -8)
                    ctx->printf(ctx->out, "error: out of memory: %.*s not set\n", (int)n, a);
                else
                    ctx->printf(ctx->out, "error: alias %.*s not set: its name and its value hold at most %u "
                                          "characters each\n",
                                (int)n, a, (unsigned)LIBSH_TEXT_MAX);
                r = -1;
                continue;
            }
            char value[LIBSH_LINE_MAX];
            if (alias_get_copy(a, value, sizeof value) == 0) {
                print_one(a, value, b);
            } else {
                str_buf_printf(b, "%s not found\n", a);
                r = 1;
            }
        }
    }
    if (const char *t = str_buf_get(b)) ctx->write(ctx->out, t);
    str_buf_free(b);
    return r;
}

int libsh_cmd_unalias(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    int c;
    while ((c = getopt_r(argc, argv, "ah", &ctx->opt)) != -1) {
        if (c == 'h') return 0;
        if (c == 'a') {
            libsh_wrlock g(g_alias_lock);
            free_all_locked();
            return 0;
        }
    }
    int r = 0;
    for (int i = ctx->opt.optind; i < argc; ++i) {
        if (alias_unset(argv[i]) != 0) {
            ctx->printf(ctx->out, "%s not found\n", argv[i]);
            r = 1;
        }
    }
    return r;
}
