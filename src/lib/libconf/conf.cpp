#define LOG_MOD "conf"
#define LOG_SRC "src/lib/libconf/conf"
#include "libconf/conf.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libconf/ini/ini.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

namespace {

constexpr int kSlots = 4;
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

conf *conf_open_imp(const char *path, int create)
{
    if (!path) return nullptr;
    register_builtin();
    for (auto &slot : g_backends) {
        const conf_ops *ops = slot.load();
        if (!ops || !ops->match || ops->match(path) != 0) continue;
        void *ctx = ops->open(path, create);
        if (!ctx) return nullptr;
        conf *c = (conf *)os_zalloc(sizeof(conf));
        if (!c) {
            ops->close(ctx);
            return nullptr;
        }
        c->ctx = ctx;
        c->ops = ops;
        return c;
    }
    return nullptr;
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

static int to_int(const char *v, int def)
{
    if (!v || strcmp(v, "NOT_FOUND") == 0) return def;
    return (int)(i32)strtol(v, nullptr, 10);
}

int conf_get_int(conf *c, const char *section, const char *key, int def)
{
    return to_int(conf_get(c, section, key, "NOT_FOUND"), def);
}

int conf_get_path_int(conf *c, const char *path, int def)
{
    return to_int(conf_get_path(c, path, "NOT_FOUND"), def);
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
