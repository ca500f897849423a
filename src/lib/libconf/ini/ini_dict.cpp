#define LOG_MOD "conf"
#define LOG_SRC "src/lib/libconf/ini/ini_dict"
// The dictionary of the INI backend: its slots keep the order of the file,
// and an index of the slots by the keys' hashes finds a key.
#include "libconf/ini/ini.h"
#include "libconf/ini/ini_priv.h"

#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"

using namespace ini_detail;

namespace {

char *dup_or_null(const char *s)
{
    return s ? os_strdup(s) : nullptr;
}

// --- the hash index over the slots ------------------------------------

u32 hash_n(const char *key, size_t n)
{
    u32 h = 0;
    for (size_t i = 0; i < n; ++i) {
        h += (unsigned char)key[i];
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

u32 *index_alloc(i32 size, u32 *mask)
{
    u32 cells = 256;
    while (cells < (u32)size * 2) cells <<= 1;
    *mask = cells - 1;
    return (u32 *)os_calloc(cells, sizeof(u32));
}

void index_put(dictionary *d, int slot)
{
    u32 m = d->index_mask;
    u32 p = d->hash[slot] & m;
    while (d->index[p]) p = (p + 1) & m;
    d->index[p] = (u32)slot + 1;
}

// Removes a slot from the index (before its hash changes), moving later
// cells of the probe run back so that no run is broken.
void index_drop(dictionary *d, int slot)
{
    u32 m = d->index_mask;
    u32 hole = d->hash[slot] & m;
    while (d->index[hole] != (u32)slot + 1) hole = (hole + 1) & m;
    for (u32 q = (hole + 1) & m; d->index[q]; q = (q + 1) & m) {
        u32 home = d->hash[d->index[q] - 1] & m;
        bool stays = hole <= q ? (hole < home && home <= q) : (hole < home || home <= q);
        if (!stays) {
            d->index[hole] = d->index[q];
            hole = q;
        }
    }
    d->index[hole] = 0;
}

void free_slot(dictionary *d, int i)
{
    index_drop(d, i);
    os_free(d->key[i]);
    os_free(d->val[i]);
    os_free(d->comment[i]);
    d->key[i] = d->val[i] = d->comment[i] = nullptr;
    d->hash[i] = 0;
    d->n--;
}

// Gives slot i the key text nk (an own copy).
void rekey_slot(dictionary *d, int i, char *nk)
{
    index_drop(d, i);
    os_free(d->key[i]);
    d->key[i] = nk;
    d->hash[i] = dictionary_hash(nk);
    index_put(d, i);
}

}  // namespace

namespace ini_detail {

int find_slot_n(const dictionary *d, const char *key, size_t n)
{
    if (!d || !key || d->n <= 0) return -1;
    u32 h = hash_n(key, n);
    u32 m = d->index_mask;
    for (u32 p = h & m; d->index[p]; p = (p + 1) & m) {
        int s = (int)d->index[p] - 1;
        if (d->hash[s] == h && strncmp(d->key[s], key, n) == 0 && d->key[s][n] == 0) return s;
    }
    return -1;
}

int find_slot(const dictionary *d, const char *key)
{
    return key ? find_slot_n(d, key, strlen(key)) : -1;
}

}  // namespace ini_detail

// --- dictionary --------------------------------------------------------

dictionary *dictionary_new(int size)
{
    if (size < 128) size = 128;
    dictionary *d = (dictionary *)os_zalloc(sizeof(dictionary));
    if (!d) return nullptr;
    d->size = size;
    d->val = (char **)os_calloc((size_t)size, sizeof(char *));
    d->key = (char **)os_calloc((size_t)size, sizeof(char *));
    d->comment = (char **)os_calloc((size_t)size, sizeof(char *));
    d->hash = (u32 *)os_calloc((size_t)size, sizeof(u32));
    d->index = index_alloc(size, &d->index_mask);
    if (!d->val || !d->key || !d->comment || !d->hash || !d->index) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

void dictionary_del(dictionary *d)
{
    if (!d) return;
    for (int i = 0; i < d->size; ++i) {
        if (d->key) os_free(d->key[i]);
        if (d->val) os_free(d->val[i]);
        if (d->comment) os_free(d->comment[i]);
    }
    os_free(d->val);
    os_free(d->key);
    os_free(d->comment);
    os_free(d->hash);
    os_free(d->index);
    os_free(d->tail_comment);
    os_free(d);
}

u32 dictionary_hash(const char *key)
{
    return key ? hash_n(key, strlen(key)) : hash_n("", 0);
}

const char *dictionary_get(const dictionary *d, const char *key, const char *def)
{
    int i = find_slot(d, key);
    return i < 0 ? def : d->val[i];
}

const char *dictionary_get_comment(const dictionary *d, const char *key)
{
    int i = find_slot(d, key);
    return i < 0 ? nullptr : d->comment[i];
}

static int dictionary_grow(dictionary *d)
{
    size_t ns = (size_t)d->size * 2;
    if (ns > INT32_MAX / 2) return -1;
    char **v = (char **)os_calloc(ns, sizeof(char *));
    char **k = (char **)os_calloc(ns, sizeof(char *));
    char **c = (char **)os_calloc(ns, sizeof(char *));
    u32 *h = (u32 *)os_calloc(ns, sizeof(u32));
    u32 mask = 0;
    u32 *idx = index_alloc((i32)ns, &mask);
    if (!v || !k || !c || !h || !idx) {
        os_free(v);
        os_free(k);
        os_free(c);
        os_free(h);
        os_free(idx);
        return -1;
    }
    memcpy(v, d->val, (size_t)d->size * sizeof(char *));
    memcpy(k, d->key, (size_t)d->size * sizeof(char *));
    memcpy(c, d->comment, (size_t)d->size * sizeof(char *));
    memcpy(h, d->hash, (size_t)d->size * sizeof(u32));
    os_free(d->val);
    os_free(d->key);
    os_free(d->comment);
    os_free(d->hash);
    os_free(d->index);
    d->val = v;
    d->key = k;
    d->comment = c;
    d->hash = h;
    d->index = idx;
    d->index_mask = mask;
    d->size = (i32)ns;
    for (int i = 0; i < d->size; ++i)
        if (d->key[i]) index_put(d, i);
    return 0;
}

int dictionary_set(dictionary *d, const char *key, const char *val, const char *comment)
{
    if (!d || !key) return -1;
    int i = find_slot(d, key);
    if (i >= 0) {
        char *nv = dup_or_null(val);
        if (val && !nv) return -1;
        os_free(d->val[i]);
        d->val[i] = nv;
        return 0;
    }
    if (d->n == d->size && dictionary_grow(d) != 0) return -1;
    int slot = d->n;
    while (d->key[slot]) slot = (slot + 1) % d->size;
    char *nk = os_strdup(key);
    char *nv = dup_or_null(val);
    char *nc = dup_or_null(comment);
    if (!nk || (val && !nv) || (comment && !nc)) {
        os_free(nk);
        os_free(nv);
        os_free(nc);
        return -1;
    }
    d->key[slot] = nk;
    d->val[slot] = nv;
    d->comment[slot] = nc;
    d->hash[slot] = dictionary_hash(key);
    index_put(d, slot);
    d->n++;
    return 0;
}

int dictionary_set_nocomment(dictionary *d, const char *key, const char *val)
{
    return dictionary_set(d, key, val, nullptr);
}

int dictionary_set_tail_comment(dictionary *d, const char *text)
{
    if (!d) return -1;
    char *t = dup_or_null(text);
    if (text && !t) return -1;
    os_free(d->tail_comment);
    d->tail_comment = t;
    return 0;
}

int dictionary_unset(dictionary *d, const char *key)
{
    int i = find_slot(d, key);
    if (i < 0) return -1;
    free_slot(d, i);
    return 0;
}

int dictionary_secdel(dictionary *d, const char *s)
{
    if (!d || !s) return -2;
    size_t sl = strlen(s);
    int removed = 0;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i]) continue;
        if (strcmp(d->key[i], s) == 0 || key_in_section(d->key[i], s, sl)) {
            free_slot(d, i);
            ++removed;
        }
    }
    return removed ? 0 : -2;
}

int dictionary_secrename(dictionary *d, const char *old_name, const char *new_name)
{
    if (!d || !old_name || !new_name) return -2;
    if (find_slot(d, new_name) >= 0) {
        LOG_ERR("nsec=%s exist error\n", new_name);
        return -1;
    }
    size_t ol = strlen(old_name);
    int renamed = 0;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i]) continue;
        if (strcmp(d->key[i], old_name) != 0 && !key_in_section(d->key[i], old_name, ol)) continue;
        char buf[4096];
        snprintf(buf, sizeof buf, "%s%s", new_name, d->key[i] + ol);
        char *nk = os_strdup(buf);
        if (!nk) continue;
        rekey_slot(d, i, nk);
        ++renamed;
    }
    return renamed ? 0 : -2;
}

int dictionary_rename(dictionary *d, const char *old_key, const char *new_key)
{
    int i = find_slot(d, old_key);
    if (i < 0 || !new_key) return -2;
    if (find_slot(d, new_key) >= 0) return -1;
    char *nk = os_strdup(new_key);
    if (!nk) return -2;
    rekey_slot(d, i, nk);
    return 0;
}

void dictionary_dump(const dictionary *d, FILE *f)
{
    if (!d || !f) return;
    if (d->n <= 0) {
        fprintf(f, "empty dictionary\n");
        return;
    }
    for (int i = 0; i < d->size; ++i)
        if (d->key[i]) fprintf(f, "%20s\t[%s]\n", d->key[i], d->val[i] ? d->val[i] : "UNDEF");
}
