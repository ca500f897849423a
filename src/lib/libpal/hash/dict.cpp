#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/hash/dict"
#include "libpal/hash/dict.h"

#include <cerrno>
#include <cstring>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"

namespace {

constexpr u32 kInitSize = 8;
// Largest slot count whose array the counted allocator can hold.
constexpr u64 kMaxSize = ((u64)UINT32_MAX - OS_MALLOC_HDR) / sizeof(dict_slot);

inline bool live(const dict_slot *s) { return s->key && s->key != DICT_DELETED; }

void drop_value(dict *d, void *v)
{
    if (v && (d->flags & DICT_VAL_OWNED)) os_free(v);
}

// Places every live entry of the old array into a fresh one of n slots.
int rebuild(dict *d, u64 n)
{
    dict_slot *fresh = (dict_slot *)os_zalloc(n * sizeof(dict_slot));
    if (!fresh) {
        char ebuf[128];
        fprintf(stdout, "%s: malloc failed %s\n", "dict_resize", os_errno_str(errno, ebuf, sizeof ebuf));
        return -1;
    }
    dict_slot *old = d->slots;
    u32 old_size = d->size;
    d->slots = fresh;
    d->size = (u32)n;
    d->fill = d->used = 0;
    for (u32 i = 0; i < old_size; ++i) {
        if (!live(&old[i])) continue;
        dict_slot *s = dict_lookup_slot(d, old[i].key, old[i].hash);
        *s = old[i];
        ++d->fill;
        ++d->used;
    }
    os_free(old);
    return 0;
}

}  // namespace

u32 dict_hash(const void *data, size_t len)
{
    if (!data || len == 0) return 0;
    const u32 m = 0x5bd1e995;
    const int r = 24;
    u32 h = (u32)len ^ 0xbadcafe;
    const u8 *p = (const u8 *)data;
    while (len >= 4) {
        u32 k = (u32)p[0] | (u32)p[1] << 8 | (u32)p[2] << 16 | (u32)p[3] << 24;
        k *= m;
        k ^= k >> r;
        k *= m;
        h *= m;
        h ^= k;
        p += 4;
        len -= 4;
    }
    switch (len) {
    case 3: h ^= (u32)p[2] << 16; [[fallthrough]];
    case 2: h ^= (u32)p[1] << 8; [[fallthrough]];
    case 1: h ^= p[0]; h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

char *dict_strdup(const char *text)
{
    return text ? os_strdup(text) : nullptr;
}

dict *dict_new(u32 flags)
{
    dict *d = (dict *)os_zalloc(sizeof(dict));
    if (!d) return nullptr;
    d->slots = (dict_slot *)os_zalloc(kInitSize * sizeof(dict_slot));
    if (!d->slots) {
        os_free(d);
        return nullptr;
    }
    d->flags = flags;
    d->size = kInitSize;
    return d;
}

void dict_free(dict *d)
{
    if (!d) return;
    for (u32 i = 0; i < d->size; ++i) {
        dict_slot *s = &d->slots[i];
        if (!live(s)) continue;
        if (d->flags & DICT_KEY_COPY) os_free(s->key);
        drop_value(d, s->value);
    }
    os_free(d->slots);
    os_free(d);
}

dict_slot *dict_lookup_slot(dict *d, const char *key, u32 hash)
{
    const u64 mask = d->size - 1;
    dict_slot *slots = d->slots;
    u64 i = hash & mask;
    dict_slot *s = &slots[i];
    dict_slot *free_slot = nullptr;
    if (!s->key || s->key == key) return s;
    if (s->key == DICT_DELETED) free_slot = s;
    else if (s->hash == hash && strcmp(s->key, key) == 0) return s;
    // The table always keeps an empty slot, so the probe ends.
    for (u64 perturb = hash;; perturb >>= 5) {
        i = (5 * i + perturb + 1) & mask;
        s = &slots[i];
        if (!s->key) return free_slot ? free_slot : s;
        if (s->key == key) return s;
        if (s->key == DICT_DELETED) {
            if (!free_slot) free_slot = s;
        } else if (s->hash == hash && strcmp(s->key, key) == 0) {
            return s;
        }
    }
}

int dict_resize(dict *d)
{
    OS_CHECK_RET(d != nullptr, -1);
    u64 limit = (u64)d->used * (d->size > 64000 ? 2 : 4);
    u64 n = d->size;
    while (n <= limit) n *= 2;
    if (n > kMaxSize) {
        char ebuf[128];
        fprintf(stdout, "%s: malloc failed %s\n", "dict_resize", os_errno_str(ENOMEM, ebuf, sizeof ebuf));
        return -1;
    }
    // At the same size the rebuild still drops the deleted markers, so an
    // empty slot is always left for probes to end at.
    if (n == d->size && d->fill == d->used) return 0;
    return rebuild(d, n);
}

int dict_add(dict *d, const char *key, void *value)
{
    if (!d || !key) return -1;
    u32 h = dict_hash(key, strlen(key));
    dict_slot *s = dict_lookup_slot(d, key, h);

    // Copies are made first: a failed copy leaves the table as it was.
    void *v = value;
    if ((d->flags & DICT_VAL_STR) && value) {
        v = dict_strdup((const char *)value);
        if (!v) return -1;
    }
    if (live(s)) {
        // Replacement: an owned key copy is kept (it equals the new key).
        if (!(d->flags & DICT_KEY_COPY)) s->key = (char *)key;
        if (s->value != v) drop_value(d, s->value);
        s->value = v;
        return 0;
    }
    char *k = (char *)key;
    if (d->flags & DICT_KEY_COPY) {
        k = dict_strdup(key);
        if (!k) {
            if (v != value) os_free(v);
            return -1;
        }
    }
    dict_slot before = *s;
    s->key = k;
    s->value = v;
    s->hash = h;
    ++d->used;
    ++d->fill;
    if ((u64)d->fill * 3 >= (u64)d->size * 2 && dict_resize(d) != 0) {
        // The table could not grow: take the new entry back out.
        *s = before;
        --d->used;
        --d->fill;
        if (k != key) os_free(k);
        if (v != value) os_free(v);
        return -1;
    }
    return 0;
}

void *dict_get(dict *d, const char *key, void *def)
{
    if (!d || !key) return def;
    dict_slot *s = dict_lookup_slot(d, key, dict_hash(key, strlen(key)));
    return live(s) ? s->value : nullptr;
}

int dict_del(dict *d, const char *key)
{
    if (!d || !key) return -1;
    dict_slot *s = dict_lookup_slot(d, key, dict_hash(key, strlen(key)));
    if (!live(s)) return 0;
    if (d->flags & DICT_KEY_COPY) os_free(s->key);
    s->key = DICT_DELETED;
    drop_value(d, s->value);
    s->value = nullptr;
    --d->used;
    return 0;
}

u32 dict_count(const dict *d) { return d ? d->used : 0; }

int dict_enumerate(const dict *d, int rank, const char **key, void **value)
{
    if (!d || !key || !value || rank < 0) return -1;
    for (u32 i = (u32)rank; i < d->size; ++i) {
        if (live(&d->slots[i])) {
            *key = d->slots[i].key;
            *value = d->slots[i].value;
            return (int)i + 1;
        }
    }
    *key = nullptr;
    *value = nullptr;
    return -1;
}

void dict_dump(const dict *d, FILE *out)
{
    if (!d || !out) return;
    const char *k;
    void *v;
    for (int r = dict_enumerate(d, 0, &k, &v); r >= 0; r = dict_enumerate(d, r, &k, &v))
        fprintf(out, "[rank=%d] %20s: %s\n", r, k, v ? (const char *)v : "UNDEF");
}

int dict_keys_list(const dict *d, dict_key_node **out)
{
    OS_CHECK_RET(out != nullptr, -1);
    *out = nullptr;
    if (!d) return 0;
    dict_key_node **tail = out;
    for (u32 i = 0; i < d->size; ++i) {
        if (!live(&d->slots[i])) continue;
        size_t n = strlen(d->slots[i].key) + 1;
        auto *node = (dict_key_node *)os_malloc(sizeof(dict_key_node) + n);
        if (!node) {
            while (*out) {
                dict_key_node *next = (*out)->next;
                os_free(*out);
                *out = next;
            }
            return -1;
        }
        node->key = (char *)(node + 1);
        memcpy(node->key, d->slots[i].key, n);
        node->next = nullptr;
        *tail = node;
        tail = &node->next;
    }
    return 0;
}
