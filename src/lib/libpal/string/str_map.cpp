#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_map"
#include "libpal/string/str_map.h"

#include <cstring>

#include "liblog/log.h"
#include "libpal/basic/cmp.h"
#include "libpal/env/code_str.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_vector.h"

static_assert(offsetof(str_map, items) == offsetof(str_arr_hdr, items));
static_assert(offsetof(str_map, count) == offsetof(str_arr_hdr, count));
static_assert(offsetof(str_map, capacity) == offsetof(str_arr_hdr, capacity));
static_assert(offsetof(str_map, flags) == offsetof(str_arr_hdr, flags));

namespace {

constexpr u32 KEY_MODES = 0x1 | 0x2 | 0x4 | 0x8;

// Entry layouts (one allocation each):
//   KEY_COPY             key text, NUL, value pointer (unaligned)
//   KEY_COPY + VAL_COPY  key text, NUL, value text, NUL
//   VAL_COPY             key pointer, value text, NUL
//   neither              key pointer, value pointer
inline bool key_inline(const str_map *m) { return m->flags & STR_MAP_KEY_COPY; }
inline bool val_inline(const str_map *m) { return m->flags & STR_MAP_VAL_COPY; }

const char *entry_key(const str_map *m, const void *e)
{
    if (key_inline(m)) return (const char *)e;
    const char *k;
    memcpy(&k, e, sizeof k);
    return k;
}

// Where the value (text or pointer) starts inside the entry.
char *entry_val_pos(const str_map *m, void *e)
{
    if (key_inline(m)) return (char *)e + strlen((const char *)e) + 1;
    return (char *)e + sizeof(char *);
}

void *entry_val(const str_map *m, void *e)
{
    char *pos = entry_val_pos(m, e);
    if (val_inline(m)) return pos;
    void *v;
    memcpy(&v, pos, sizeof v);
    return v;
}

void *entry_new(const str_map *m, const char *key, const void *value)
{
    size_t klen = key_inline(m) ? strlen(key) + 1 : sizeof(char *);
    const char *vtext = value ? (const char *)value : "";
    size_t vlen = val_inline(m) ? strlen(vtext) + 1 : sizeof(void *);
    char *e = (char *)os_malloc(klen + vlen);
    if (!e) return nullptr;
    if (key_inline(m))
        memcpy(e, key, klen);
    else
        memcpy(e, &key, sizeof key);
    if (val_inline(m))
        memcpy(e + klen, vtext, vlen);
    else
        memcpy(e + klen, &value, sizeof value);
    return e;
}

void entry_free(const str_map *m, void *e)
{
    if (!e) return;
    if (!val_inline(m) && (m->flags & STR_MAP_VAL_OWN)) os_free(entry_val(m, e));
    os_free(e);
}

// Binary search: the key against the key of the entry an element points at.
int find_cmp(const void *key, const void *elem, void *ctx)
{
    const str_map *m = (const str_map *)ctx;
    const void *e = *(void *const *)elem;
    return strcmp((const char *)key, entry_key(m, e));
}

const os_code_str mode_names[] = {
    {STR_MAP_SET_ALWAYS, "set_always"},
    {STR_MAP_SET_NOT_EXIST, "set_not_exist"},
    {STR_MAP_SET_EXIST, "set_exist"},
    {STR_MAP_DEL_EXIST, "del_exist"},
};

}  // namespace

int str_map_init(str_map *map, u32 flags)
{
    if (!map) return -1;
    // Entries without a copied key begin with a key pointer, and that is
    // how they must be compared.
    if (!(flags & STR_MAP_KEY_COPY)) flags = (flags & ~KEY_MODES) | STR_MAP_KEY_PTR;
    map->flags = flags;
    map->count = 0;
    map->items = nullptr;
    if (map->capacity) {
        if (map->capacity >= UINT32_MAX / sizeof(void *)) return -1;
        map->items = (void **)os_zalloc(map->capacity * sizeof(void *));
        if (!map->items) {
            map->capacity = 0;
            return -1;
        }
    }
    return 0;
}

str_map *str_map_new(u32 flags)
{
    auto *m = (str_map *)os_zalloc(sizeof(str_map));
    if (!m) return nullptr;
    str_map_init(m, flags);
    return m;
}

int str_map_clear(str_map *map)
{
    if (!map) return 0;
    for (u64 i = 0; i < map->count; ++i) {
        entry_free(map, map->items[i]);
        map->items[i] = nullptr;
    }
    map->count = 0;
    return 0;
}

int str_map_fini(str_map *map)
{
    if (!map) return 0;
    str_map_clear(map);
    os_free(map->items);
    map->items = nullptr;
    map->capacity = 0;
    return 0;
}

int str_map_free(str_map *map)
{
    if (!map) return 0;
    str_map_fini(map);
    os_free(map);
    return 0;
}

void str_map_sort(str_map *map)
{
    if (!map) return;
    map->flags |= STR_MAP_SORTED;
    str_array_sort(map);
}

const char *str_map_key(const str_map *map, u64 i)
{
    if (!map || i >= map->count) return nullptr;
    return entry_key(map, map->items[i]);
}

void *str_map_val(const str_map *map, u64 i)
{
    if (!map || i >= map->count) return nullptr;
    return entry_val(map, map->items[i]);
}

int str_map_find(const str_map *map, const char *key)
{
    if (!map || !key || map->count == 0) return -1;
    if (map->flags & STR_MAP_SORTED)
        return (int)arr_bsearch_r(key, map->items, map->count, sizeof(void *), find_cmp, (void *)map);
    for (u64 i = 0; i < map->count; ++i)
        if (strcmp(entry_key(map, map->items[i]), key) == 0) return (int)i;
    return -1;
}

int str_map_add(str_map *map, const char *key, const void *value)
{
    if (!map || !key) return -1;
    if (str_map_find(map, key) >= 0) return -1;
    if (str_arr_reserve(map, 0) != 0) return -1;
    void *p = entry_new(map, key, value);
    OS_CHECK_RET(p, -1);
    map->items[map->count++] = p;
    if (map->flags & STR_MAP_SORTED) str_array_sort(map);
    return 0;
}

void *str_map_get(const str_map *map, const char *key)
{
    int i = str_map_find(map, key);
    return i < 0 ? nullptr : entry_val(map, map->items[i]);
}

int str_map_set(str_map *map, const char *key, const void *value)
{
    if (!map || !key) return -1;
    int i = str_map_find(map, key);
    if (i < 0) return str_map_add(map, key, value);
    void *e = map->items[i];
    char *pos = entry_val_pos(map, e);
    if (!val_inline(map)) {
        void *old;
        memcpy(&old, pos, sizeof old);
        if ((map->flags & STR_MAP_VAL_OWN) && old != value) os_free(old);
        memcpy(pos, &value, sizeof value);
        return 0;
    }
    const char *vtext = value ? (const char *)value : "";
    size_t nlen = strlen(vtext);
    if (nlen <= strlen(pos)) {
        memmove(pos, vtext, nlen + 1);
        return 0;
    }
    void *nval = entry_new(map, entry_key(map, e), vtext);
    OS_CHECK_RET(nval, -1);
    map->items[i] = nval;
    os_free(e);
    return 0;
}

const char *str_map_mode_name(int mode)
{
    return os_code_to_str(mode, 0, mode_names, (int)OS_ARRAY_SIZE(mode_names));
}
