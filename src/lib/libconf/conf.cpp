#define LOG_MOD "conf"
#define LOG_SRC "src/lib/libconf/conf"
#include "libconf/conf.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libconf/ini/ini.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_map.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

namespace {

constexpr int kSlots = 4;
constexpr char kListErrVal[] = "ERROR VAL!!!";

thread_local char t_error[512];
thread_local bool t_quiet = false;

// The configuration loaded once for the start-up readers (conf_hold): the
// hold and every shared handle count one reference each; the backend is
// closed with the last of them.
struct held_conf {
    conf *handle;
    char *path;
    int refs;
    bool sharing;
};
std::atomic<held_conf *> g_held{nullptr};

void held_unref(held_conf *h)
{
    if (--h->refs > 0) return;
    g_held.store(nullptr);
    conf *c = h->handle;
    if (c->ops && c->ops->close) c->ops->close(c->ctx);
    os_free(c);
    os_free(h->path);
    os_free(h);
}

std::atomic<const conf_ops *> g_backends[kSlots];
std::atomic<bool> g_registered{false};

void register_builtin()
{
    if (g_registered.exchange(true)) return;
    for (auto &slot : g_backends) {
        const conf_ops *none = nullptr;
        if (slot.compare_exchange_strong(none, ini_conf_ops_get())) break;
    }
}

// Splits "section<TAB or :>key"; returns the key or NULL without a
// separator.
const char *split_path(const char *path, char *section, size_t size)
{
    if (!path) return nullptr;
    const char *sep = strchr(path, '\t');
    if (!sep) sep = strchr(path, ':');
    if (!sep) return nullptr;
    size_t n = (size_t)(sep - path);
    if (n > size - 1) n = size - 1;
    memcpy(section, path, n);
    section[n] = 0;
    return sep + 1;
}

}  // namespace

const char *conf_last_error(void)
{
    return t_error;
}

void conf_error_set(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(t_error, sizeof t_error, fmt, ap);
    va_end(ap);
}

int conf_error_quiet(void)
{
    return t_quiet ? 1 : 0;
}

// A second handle on the held load of path, or NULL.
static conf *share_held(const char *path, int create)
{
    held_conf *h = g_held.load();
    if (!h || !h->sharing || create || strcmp(h->path, path) != 0) return nullptr;
    conf *c = (conf *)os_zalloc(sizeof(conf));
    if (!c) return nullptr;
    *c = *h->handle;
    h->refs++;
    return c;
}

conf *conf_open_imp(const char *path, int create)
{
    t_error[0] = 0;
    if (!path) {
        conf_error_set("no file name");
        return nullptr;
    }
    if (conf *c = share_held(path, create)) return c;
    register_builtin();
    for (auto &slot : g_backends) {
        const conf_ops *ops = slot.load();
        if (!ops || !ops->match || ops->match(path) != 0) continue;
        t_error[0] = 0;
        void *ctx = ops->open(path, create);
        if (!ctx) {
            if (!t_error[0]) conf_error_set("cannot be loaded");
            return nullptr;
        }
        conf *c = (conf *)os_zalloc(sizeof(conf));
        if (!c) {
            ops->close(ctx);
            conf_error_set("out of memory");
            return nullptr;
        }
        c->ctx = ctx;
        c->ops = ops;
        return c;
    }
    if (!t_error[0]) conf_error_set("no configuration backend takes this name");
    return nullptr;
}

conf *conf_hold(const char *path)
{
    conf_hold_release();
    if (g_held.load()) {
        OS_CHECK_LOG("handles of the previous hold are closed");
        conf_error_set("the previous configuration is still in use");
        return nullptr;
    }
    t_quiet = true;
    conf *c = conf_open_imp(path, 0);
    t_quiet = false;
    if (!c) return nullptr;
    held_conf *h = (held_conf *)os_zalloc(sizeof(held_conf));
    char *p = os_strdup(path);
    if (!h || !p) {
        os_free(h);
        os_free(p);
        conf_close(c);
        conf_error_set("out of memory");
        return nullptr;
    }
    h->handle = c;
    h->path = p;
    h->refs = 1;
    h->sharing = true;
    g_held.store(h);
    return c;
}

void conf_hold_release(void)
{
    held_conf *h = g_held.load();
    if (!h || !h->sharing) return;
    h->sharing = false;
    held_unref(h);
}

conf *conf_open(const char *path)
{
    return conf_open_imp(path, 0);
}

conf *conf_create(const char *path)
{
    return conf_open_imp(path, 1);
}

int conf_close(conf *c)
{
    if (!c) return 0;
    held_conf *h = g_held.load();
    if (h && c->ctx == h->handle->ctx) {
        // The hold's own handle goes with conf_hold_release only.
        if (c == h->handle) return 0;
        os_free(c);
        held_unref(h);
        return 0;
    }
    if (c->ops && c->ops->close) c->ops->close(c->ctx);
    os_free(c);
    return 0;
}

#define CONF_FWD(slot, fail, ...) \
    ((c && c->ops && c->ops->slot) ? c->ops->slot(c->ctx, ##__VA_ARGS__) : (fail))

const char *conf_get(conf *c, const char *section, const char *key, const char *def)
{
    return CONF_FWD(get, def, section, key, def);
}
int conf_set(conf *c, const char *section, const char *key, const char *value)
{
    return CONF_FWD(set, -1, section, key, value);
}
str_vector *conf_sections(conf *c) { return CONF_FWD(sections, nullptr); }
str_vector *conf_keys(conf *c, const char *section) { return CONF_FWD(keys, nullptr, section); }
int conf_del_section(conf *c, const char *section) { return CONF_FWD(del_section, -1, section); }
int conf_del_key(conf *c, const char *section, const char *key)
{
    return CONF_FWD(del_key, -1, section, key);
}
int conf_rename_section(conf *c, const char *old_name, const char *new_name)
{
    return CONF_FWD(rename_section, -1, old_name, new_name);
}
int conf_rename_key(conf *c, const char *section, const char *old_key, const char *new_key)
{
    return CONF_FWD(rename_key, -1, section, old_key, new_key);
}
int conf_dump(conf *c) { return CONF_FWD(dump, -1); }
int conf_save(conf *c) { return CONF_FWD(save, -1); }

const char *conf_get_path(conf *c, const char *path, const char *def)
{
    char section[8192];
    const char *key = split_path(path, section, sizeof section);
    if (!key) return def;
    return conf_get(c, section, key, def);
}

int conf_set_path(conf *c, const char *path, const char *value)
{
    char section[8192];
    const char *key = split_path(path, section, sizeof section);
    if (!key) return -1;
    return conf_set(c, section, key, value);
}

int conf_value_int(const char *v, const char *name, const char *func)
{
    if (!v) v = "";
    errno = 0;
    char *end = nullptr;
    long n = strtol(v, &end, 10);
    int res = (int)(i32)n;
    const char *rest = end;
    while (*rest == ' ' || (*rest >= '\t' && *rest <= '\r')) ++rest;
    const char *why = nullptr;
    if (end == v) why = "is not a number";
    else if (*rest) why = "is not a whole number";
    else if (errno == ERANGE || n < INT32_MIN || n > INT32_MAX) why = "is out of range";
    if (why)
        log2_printf(nullptr, LOG_LVL_WARN, LOG_MOD, LOG_SRC, __LINE__, func ? func : __func__,
                    "%s=%s %s, %d is used\n", name ? name : "", str_log_esc<1100>(v).c_str(), why, res);
    return res;
}

// An INI value as an integer (an empty one is an unset one: 0, not warned
// about); def when the key is missing.
static int to_int(const char *v, int def, const char *section, const char *key, const char *func)
{
    if (!v || strcmp(v, "NOT_FOUND") == 0) return def;
    if (!*v) return 0;
    char name[2304];
    snprintf(name, sizeof name, "[%.1024s] %.1024s", section, key);
    return conf_value_int(v, name, func);
}

int conf_get_int(conf *c, const char *section, const char *key, int def)
{
    return to_int(conf_get(c, section, key, "NOT_FOUND"), def, section ? section : "",
                  key ? key : "", __func__);
}

int conf_get_path_int(conf *c, const char *path, int def)
{
    char section[8192];
    const char *key = split_path(path, section, sizeof section);
    if (!key) return def;
    return to_int(conf_get(c, section, key, "NOT_FOUND"), def, section, key, __func__);
}

int conf_set_int(conf *c, const char *section, const char *key, int value)
{
    char t[32];
    snprintf(t, sizeof t, "%d", value);
    return conf_set(c, section, key, t);
}

int conf_set_path_int(conf *c, const char *path, int value)
{
    char t[32];
    snprintf(t, sizeof t, "%d", value);
    return conf_set_path(c, path, t);
}

int conf_has_section(conf *c, const char *section)
{
    str_vector *v = conf_sections(c);
    if (!v) return 0;
    int hit = section && str_vector_find_case(v, section) >= 0;
    str_vector_free(v);
    return hit ? 1 : 0;
}

int conf_has_key(conf *c, const char *section, const char *key)
{
    str_vector *v = conf_keys(c, section);
    if (!v) return 0;
    int hit = key && str_vector_find_case(v, key) >= 0;
    str_vector_free(v);
    return hit ? 1 : 0;
}

char *conf_file_get(const char *path, const char *keypath, const char *def, char *out,
                    size_t outsize)
{
    conf *c = conf_open(path);
    if (!c) {
        str_safecopy(out, outsize, def ? def : "");
        return out;
    }
    const char *v = conf_get_path(c, keypath, def);
    str_safecopy(out, outsize, v ? v : "");
    conf_close(c);
    return out;
}

str_vector *conf_sections_match(conf *c, const char *pattern)
{
    str_vector *v = conf_sections(c);
    if (!v) return nullptr;
    u64 w = 0;
    for (u64 r = 0; r < v->count; ++r) {
        if (pattern && str_wildcard(v->items[r], pattern)) {
            v->items[w++] = v->items[r];
        } else if (v->flags & STR_VEC_OWN) {
            os_free(v->items[r]);
        }
    }
    v->count = w;
    str_vector_terminate(v);
    return v;
}

// A list key: only the digits 0-9 (the empty key counts).
static bool is_list_key(const char *k)
{
    return k[strspn(k, "0123456789")] == 0;
}

str_vector *conf_get_list(conf *c, const char *section)
{
    str_vector *keys = conf_keys(c, section);
    if (!keys) return nullptr;
    str_vector *list = str_vector_new(STR_VEC_OWN | STR_VEC_SKIP_EMPTY | STR_VEC_UNIQUE);
    for (u64 i = 0; list && i < keys->count; ++i)
        if (is_list_key(keys->items[i]))
            str_vector_add(list, conf_get(c, section, keys->items[i], kListErrVal));
    str_vector_free(keys);
    return list;
}

str_map *conf_get_map(conf *c, const char *section)
{
    str_vector *keys = conf_keys(c, section);
    if (!keys) return nullptr;
    str_map *map = str_map_new(0x161);
    for (u64 i = 0; map && i < keys->count; ++i)
        str_map_add(map, keys->items[i], conf_get(c, section, keys->items[i], kListErrVal));
    str_vector_free(keys);
    return map;
}

// Writes the items under the keys 0 to n-1.
static void list_write(conf *c, const char *section, const str_vector *list)
{
    for (u64 i = 0; i < list->count; ++i) {
        char k[32];
        snprintf(k, sizeof k, "%d", (int)i);
        conf_set(c, section, k, list->items[i]);
    }
}

int conf_list_add(conf *c, const char *section, const char *value)
{
    str_vector *list = conf_get_list(c, section);
    if (!list) return -1;
    if (value && str_vector_find_case(list, value) < 0 && str_vector_add(list, value) == 0)
        list_write(c, section, list);
    str_vector_free(list);
    return 0;
}

int conf_list_del(conf *c, const char *section, const char *value)
{
    str_vector *list = conf_get_list(c, section);
    if (!list) return -1;
    if (value && str_vector_find_case(list, value) >= 0) {
        str_vector_del(list, value);
        list_write(c, section, list);
        char k[32];
        snprintf(k, sizeof k, "%d", (int)list->count);
        conf_del_key(c, section, k);
    }
    str_vector_free(list);
    return 0;
}

int conf_list_clear(conf *c, const char *section)
{
    str_vector *keys = conf_keys(c, section);
    if (!keys) return -1;
    for (u64 i = 0; i < keys->count; ++i)
        if (is_list_key(keys->items[i])) conf_del_key(c, section, keys->items[i]);
    str_vector_free(keys);
    return 0;
}
