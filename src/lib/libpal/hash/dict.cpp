#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/hash/dict"
#include "libpal/hash/dict.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"

namespace {

constexpr u32 kInitSize = 8;
// Largest slot count whose array the counted allocator can hold.
constexpr u64 kMaxSize = ((u64)UINT32_MAX - OS_MALLOC_HDR) / sizeof(dict_slot);

inline bool live(const dict_slot *s) { return s->key && s->key != DICT_DELETED; }

// ---- key copies ------------------------------------------------------------
//
// Copied keys of up to kSmallMax bytes (with their NUL) live in blocks that
// the table owns, in chunks rounded up to 8 bytes: no allocator call and no
// block header per key, and freeing the table frees a handful of blocks.
// A removed key's chunk goes on the free list of its size and is taken by
// the next key of that size; the blocks go with the table. Longer keys are
// allocated on their own. Every copy is 8-byte aligned and padded with
// zeros to its chunk size, so lookups compare copies a word at a time.

constexpr u32 kChunk = 8;
constexpr u32 kSmallMax = 256;
constexpr u32 kClasses = kSmallMax / kChunk;
constexpr u32 kFirstBlock = 512;
constexpr u32 kMaxBlock = 64 * 1024;

struct key_block {
    key_block *next;
    u32 size;  // bytes after the header
    u32 used;
};
static_assert(sizeof(key_block) % kChunk == 0, "chunks stay 8-byte aligned");

struct key_store {
    key_block *blocks;  // the newest, still being filled, first
    char *free_chunks[kClasses];
    u32 next_block;  // data size of the next block
    u32 own;         // keys allocated on their own
};

// The table as dict_new makes it: the public record, then its key store.
struct dict_rec {
    dict pub;
    key_store keys;
};
static_assert(offsetof(dict_rec, pub) == 0, "a dict pointer is the record's");

inline key_store &store(dict *d) { return reinterpret_cast<dict_rec *>(d)->keys; }

inline u32 chunk_size(size_t n) { return (u32)((n + kChunk - 1) & ~(size_t)(kChunk - 1)); }

// A copy of key (len bytes before its NUL), or NULL.
char *key_copy(key_store &ks, const char *key, size_t len)
{
    const size_t n = len + 1;
    const u32 c = chunk_size(n);
    char *k;
    if (n > kSmallMax) {
        k = (char *)os_malloc(c);
        if (!k) return nullptr;
        ++ks.own;
    } else {
        char *&head = ks.free_chunks[c / kChunk - 1];
        if (head) {
            k = head;
            memcpy(&head, k, sizeof head);
        } else {
            key_block *b = ks.blocks;
            if (!b || b->size - b->used < c) {
                u32 size = ks.next_block ? ks.next_block : kFirstBlock;
                b = (key_block *)os_malloc(sizeof(key_block) + size);
                if (!b) return nullptr;
                b->next = ks.blocks;
                b->size = size;
                b->used = 0;
                ks.blocks = b;
                ks.next_block = size < kMaxBlock ? size * 2 : kMaxBlock;
            }
            k = (char *)(b + 1) + b->used;
            b->used += c;
        }
    }
    memset(k + c - kChunk, 0, kChunk);
    memcpy(k, key, n);
    return k;
}

void key_release(key_store &ks, char *k)
{
    const size_t n = strlen(k) + 1;
    if (n > kSmallMax) {
        os_free(k);
        --ks.own;
        return;
    }
    char *&head = ks.free_chunks[chunk_size(n) / kChunk - 1];
    memcpy(k, &head, sizeof head);
    head = k;
}

void key_store_free(key_store &ks)
{
    for (key_block *b = ks.blocks; b;) {
        key_block *next = b->next;
        os_free(b);
        b = next;
    }
    ks = key_store{};
}

// ---- slots -----------------------------------------------------------------

void drop_value(dict *d, void *v)
{
    if (v && (d->flags & DICT_VAL_OWNED)) os_free(v);
}

// The probe sequence of dict_lookup_slot, walked until fn(slot) accepts a
// slot; the table always keeps an empty slot, so the walk ends.
template <typename Fn>
inline dict_slot *probe(dict_slot *slots, u64 mask, u32 hash, Fn fn)
{
    u64 i = hash & mask;
    if (fn(&slots[i])) return &slots[i];
    for (u64 perturb = hash;; perturb >>= 5) {
        i = (5 * i + perturb + 1) & mask;
        if (fn(&slots[i])) return &slots[i];
    }
}

inline u64 word_at(const char *p)
{
    u64 w;
    memcpy(&w, p, sizeof w);
    return w;
}

// strcmp(copy, key) == 0 for a key copy (padded, see above) and the text
// key of n bytes with its NUL. The copy's next word is read only after its
// words so far matched the key, which had no NUL in them: the copy is then
// at least as long, and its chunk holds that word.
inline bool same_key(const char *copy, const char *key, size_t n)
{
    if (n < kChunk) {
        char w[kChunk] = {};
        for (size_t i = 0; i < n; ++i) w[i] = key[i];
        return word_at(copy) == word_at(w);
    }
    size_t i = 0;
    for (; i + kChunk < n; i += kChunk)
        if (word_at(copy + i) != word_at(key + i)) return false;
    // The last word, ending at the NUL (it may overlap the one before).
    return word_at(copy + n - kChunk) == word_at(key + n - kChunk);
}

// dict_lookup_slot's answer: the slot holding the key (the same pointer, or
// an equal text under the same hash), else the first deleted slot met
// before the first empty one, else that empty slot.
inline dict_slot *find_slot(dict *d, const char *key, size_t len, u32 hash)
{
    const bool copies = d->flags & DICT_KEY_COPY;
    dict_slot *free_slot = nullptr;
    dict_slot *s = probe(d->slots, d->size - 1, hash, [&](dict_slot *s) {
        if (!s->key) return true;
        if (s->key == DICT_DELETED) {
            if (!free_slot) free_slot = s;
            return false;
        }
        return s->key == key ||
               (s->hash == hash && (copies ? same_key(s->key, key, len + 1) : strcmp(s->key, key) == 0));
    });
    return !s->key && free_slot ? free_slot : s;
}

// Places every live entry of the old array into a fresh one of n slots. The
// fresh array holds no deleted slots and the keys are distinct, so a key's
// slot is the first empty one on its probe. The home slot of an entry a
// few places ahead is fetched early: the walk is a run of cache misses.
int rebuild(dict *d, u64 n)
{
    dict_slot *fresh = (dict_slot *)os_zalloc(n * sizeof(dict_slot));
    if (!fresh) {
        char ebuf[128];
        fprintf(stdout, "%s: malloc failed %s\n", "dict_resize", os_errno_str(errno, ebuf, sizeof ebuf));
        return -1;
    }
    constexpr u32 kAhead = 8;
    dict_slot *old = d->slots;
    const u32 old_size = d->size;
    const u64 mask = n - 1;
    u32 moved = 0;
    for (u32 i = 0; i < old_size; ++i) {
        if (i + kAhead < old_size && live(&old[i + kAhead]))
            __builtin_prefetch(&fresh[old[i + kAhead].hash & mask], 1);
        if (!live(&old[i])) continue;
        *probe(fresh, mask, old[i].hash, [](const dict_slot *s) { return !s->key; }) = old[i];
        ++moved;
    }
    os_free(old);
    d->slots = fresh;
    d->size = (u32)n;
    d->fill = d->used = moved;
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
    dict *d = (dict *)os_zalloc(sizeof(dict_rec));
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
    key_store &ks = store(d);
    const bool own_keys = (d->flags & DICT_KEY_COPY) && ks.own;
    if (own_keys || (d->flags & DICT_VAL_OWNED)) {
        for (u32 i = 0; i < d->size; ++i) {
            dict_slot *s = &d->slots[i];
            if (!live(s)) continue;
            if (own_keys) key_release(ks, s->key);
            drop_value(d, s->value);
        }
    }
    key_store_free(ks);
    os_free(d->slots);
    os_free(d);
}

dict_slot *dict_lookup_slot(dict *d, const char *key, u32 hash)
{
    if (!d || !key) return nullptr;
    return find_slot(d, key, strlen(key), hash);
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
    const size_t len = strlen(key);
    const u32 h = dict_hash(key, len);
    dict_slot *s = find_slot(d, key, len, h);

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
        k = key_copy(store(d), key, len);
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
        if (k != key) key_release(store(d), k);
        if (v != value) os_free(v);
        return -1;
    }
    return 0;
}

void *dict_get(dict *d, const char *key, void *def)
{
    if (!d || !key) return def;
    const size_t len = strlen(key);
    dict_slot *s = find_slot(d, key, len, dict_hash(key, len));
    return live(s) ? s->value : nullptr;
}

int dict_del(dict *d, const char *key)
{
    if (!d || !key) return -1;
    const size_t len = strlen(key);
    dict_slot *s = find_slot(d, key, len, dict_hash(key, len));
    if (!live(s)) return 0;
    if (d->flags & DICT_KEY_COPY) key_release(store(d), s->key);
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
