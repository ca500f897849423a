#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/libbsv/bsv_rbuf"
#include "libbsv/bsv_rbuf.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/string/conv_num.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"

namespace {

// The registry lives as long as the process: its lock is static, so late
// writers and closers never meet a destroyed mutex.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
bsv_rbuf_type *g_types[BSV_RBUF_TYPES_MAX];
bool g_own_slots[BSV_RBUF_TYPES_MAX];  // the registry allocated the slot array

struct reg_guard : pthread_guard {
    reg_guard() : pthread_guard(&g_lock) {}
};

void set_err(char *err, const char *text)
{
    if (err) str_safecopy_trunc(err, BSV_RBUF_ERR_SIZE, text);
}

// Registry lock held.
bool registered(const bsv_rbuf_type *t)
{
    for (bsv_rbuf_type *x : g_types)
        if (x && x == t) return true;
    return false;
}

bsv_rbuf_type *find_type(const char *name, size_t n)
{
    for (bsv_rbuf_type *t : g_types)
        if (t && strlen(t->name) == n && strncmp(t->name, name, n) == 0) return t;
    return nullptr;
}

// Removes the reader from its type's slots (registry lock held); true when
// it was there.
bool unlink_reader(bsv_rbuf_reader *r)
{
    bsv_rbuf_type *t = r->type;
    if (!t || !registered(t)) return false;
    for (i32 i = 0; i < t->max_readers; ++i) {
        if (t->slots[i] != r) continue;
        t->slots[i] = nullptr;
        t->readers.fetch_sub(1);
        r->type = nullptr;
        return true;
    }
    return false;
}

void free_reader(bsv_rbuf_reader *r)
{
    if (r->ring) rbuf_exit(r->ring);
    if (r->rules) qexpr_del(r->rules);
    if (r->vctx) bsv_value_exit(r->vctx);
    os_free(r);
}

// Ring size from the query ("bsv_rbuf_size", default 1m); 0 when it is
// beyond the limit.
u64 ring_size(const char *query)
{
    char text[64];
    u64 size = BSV_RBUF_SIZE_DEFAULT;
    if (query && str_get_url_arg(query, "bsv_rbuf_size", text, sizeof text) == 0) {
        size = str_parse_size(text);
        if (size == 0) size = BSV_RBUF_SIZE_DEFAULT;
    }
    return size > BSV_RBUF_SIZE_MAX ? 0 : size;
}

}  // namespace

int bsv_rbuf_reg(bsv_rbuf_type *type)
{
    OS_CHECK_TXT(type != nullptr && type->name != nullptr, "type!=NULL", -1);
    if (type->max_readers <= 0) return -1;
    reg_guard g;
    if (registered(type)) return 0;
    for (int i = 0; i < BSV_RBUF_TYPES_MAX; ++i) {
        if (g_types[i]) continue;
        g_own_slots[i] = !type->slots;
        if (!type->slots)
            type->slots = (bsv_rbuf_reader **)os_calloc((size_t)type->max_readers, sizeof(bsv_rbuf_reader *));
        if (!type->slots) return -1;
        type->readers.store(0);
        g_types[i] = type;
        return 0;
    }
    return -1;
}

bsv_rbuf_reader *bsv_rbuf_open(const char *text, char *err)
{
    OS_CHECK_TXT(text != nullptr, "name!=NULL", nullptr);
    auto *r = (bsv_rbuf_reader *)os_zalloc(sizeof(bsv_rbuf_reader));
    if (!r) {
        set_err(err, "memory allocation failed");
        return nullptr;
    }
    const char *q = strchr(text, '?');
    size_t nlen = q ? (size_t)(q - text) : strlen(text);
    u32 max_rec;
    {
        reg_guard g;
        bsv_rbuf_type *t = find_type(text, nlen);
        if (!t) {
            set_err(err, "name does not exist");
            os_free(r);
            return nullptr;
        }
        max_rec = t->max_rec;
    }
    u64 size = ring_size(q ? q + 1 : nullptr);
    if (size == 0) {
        if (err) snprintf(err, BSV_RBUF_ERR_SIZE, "bsv_rbuf_size too large, at most %llu",
                          (unsigned long long)BSV_RBUF_SIZE_MAX);
        os_free(r);
        return nullptr;
    }
    r->ring = rbuf_init(size, max_rec);
    if (!r->ring) {
        set_err(err, "memory allocation failed");
        free_reader(r);
        return nullptr;
    }
    {
        reg_guard g;
        // The type is looked up again: the registry may have been torn
        // down while the ring was made.
        bsv_rbuf_type *t = find_type(text, nlen);
        i32 i = 0;
        while (t && i < t->max_readers && t->slots[i]) ++i;
        if (!t || i == t->max_readers) {
            set_err(err, t ? "too many readers" : "name does not exist");
        } else {
            t->slots[i] = r;
            t->readers.fetch_add(1);
            r->type = t;
            r->active.store(1);
            return r;
        }
    }
    free_reader(r);
    return nullptr;
}

int bsv_rbuf_close(bsv_rbuf_reader *r)
{
    OS_CHECK_TXT(r != nullptr, "r!=NULL", -1);
    {
        reg_guard g;
        unlink_reader(r);
    }
    free_reader(r);
    return 0;
}

int bsv_rbuf_info(bsv_rbuf_reader *r, bsv_rbuf_reader_info *info)
{
    OS_CHECK_TXT(r != nullptr && info != nullptr, "r!=NULL && info!=NULL", -1);
    reg_guard g;
    bsv_rbuf_type *t = r->type;
    if (!t) return -1;
    info->type_id = (u16)t->type_id;
    info->swap = (u16)t->swap;
    info->max_rec = t->max_rec;
    str_safecopy_trunc(info->schema, sizeof info->schema, t->schema ? t->schema : "");
    return 0;
}

int bsv_rbuf_start(bsv_rbuf_reader *r)
{
    OS_CHECK_TXT(r != nullptr, "r!=NULL", -1);
    r->active.store(1);
    return 0;
}

int bsv_rbuf_set_filter(bsv_rbuf_reader *r, const char *rules)
{
    OS_CHECK_TXT(r != nullptr && rules != nullptr, "r!=NULL && rules!=NULL", -1);
    qexpr *q = nullptr;
    bsv_value *v = nullptr;
    {
        reg_guard g;
        q = r->rules;
        if (!q && r->type) v = bsv_value_init(r->type->schema, (int)r->type->swap);
    }
    bool fresh = !q;
    if (fresh) {
        if (!v || !(q = qexpr_new(nullptr))) {
            if (v) bsv_value_exit(v);
            return -1;
        }
    }
    // A rule set in use guards its own loading; a new one is loaded before
    // writers can see it.
    char err[QEXPR_ERR_SIZE] = "";
    int rc = qexpr_load_str(q, rules, err);
    if (rc < 0) LOG_ERR("filter [%s] error: %s\n", rules, err);
    if (fresh) {
        reg_guard g;
        if (!r->rules) {
            r->vctx = v;
            r->rules = q;
            q = nullptr;
            v = nullptr;
        }
    }
    if (q && fresh) qexpr_del(q);
    if (v) bsv_value_exit(v);
    return rc;
}

int bsv_rbuf_filter_proc(const char *name, qexpr_value *val, void *arg)
{
    auto *f = (const bsv_rbuf_filter_ctx *)arg;
    bsv_value_res res;
    if (!f || !val || bsv_value_match(f->vctx, f->rec, f->len, name, &res) != 0) return -1;
    val->type = res.type;
    if (res.type == VALUE_TYPE_STRING)
        val->str = res.str;
    else
        val->num = res.num;
    return 0;
}

int bsv_rbuf_filter(const bsv_value *vctx, const void *rec, u64 len, qexpr *rules)
{
    if (!rules) return 0;
    bsv_rbuf_filter_ctx f = {vctx, rec, len};
    return qexpr_filter_drop(rules, bsv_rbuf_filter_proc, &f);
}

int bsv_rbuf_write(bsv_rbuf_type *type, const void *rec, int len)
{
    if (!type || !rec || len <= 0 || type->readers.load(std::memory_order_relaxed) == 0) return 0;
    reg_guard g;
    if (!type->slots) return 0;
    u32 left = type->readers.load(std::memory_order_relaxed);
    for (i32 i = 0; i < type->max_readers && left; ++i) {
        bsv_rbuf_reader *r = type->slots[i];
        if (!r) continue;
        --left;
        if (!r->active.load(std::memory_order_relaxed)) continue;
        if (r->rules && bsv_rbuf_filter(r->vctx, rec, (u64)len, r->rules)) continue;
        rbuf_write(r->ring, rec, (u64)len);
    }
    return 0;
}

int bsv_rbuf_write_safe(bsv_rbuf_type *type, const void *rec, int len)
{
    if (!type || !rec || len <= 0 || type->readers.load(std::memory_order_relaxed) == 0) return 0;
    if (!os_panic_trylock(&g_lock)) return -1;
    u32 left = type->slots ? type->readers.load(std::memory_order_relaxed) : 0;
    for (i32 i = 0; i < type->max_readers && left; ++i) {
        bsv_rbuf_reader *r = type->slots[i];
        if (!r) continue;
        --left;
        if (!r->active.load(std::memory_order_relaxed) || r->rules || !r->ring) continue;
        if (!os_panic_trylock(&r->ring->mutex)) continue;
        if (void *p = rbuf_reserve_locked(r->ring, (u64)len)) memcpy(p, rec, (size_t)len);
        pthread_mutex_unlock(&r->ring->mutex);
    }
    pthread_mutex_unlock(&g_lock);
    return 0;
}

i64 bsv_rbuf_read(bsv_rbuf_reader *r, void *buf, u64 len)
{
    OS_CHECK_TXT(r != nullptr, "r!=NULL", -1);
    return rbuf_read_raw(r->ring, buf, len);
}

int bsv_rbuf_stat(bsv_rbuf_reader *r, rbuf_stat *out)
{
    OS_CHECK_TXT(r != nullptr, "r!=NULL", -1);
    return rbuf_get_stat(r->ring, out);
}

int bsv_rbuf_find(bsv_rbuf_reader *r)
{
    reg_guard g;
    for (bsv_rbuf_type *t : g_types) {
        if (!t) continue;
        for (i32 i = 0; i < t->max_readers; ++i)
            if (r && t->slots[i] == r) return 0;
    }
    return -1;
}

int bsv_rbuf_exit(void)
{
    reg_guard g;
    for (int k = 0; k < BSV_RBUF_TYPES_MAX; ++k) {
        bsv_rbuf_type *t = g_types[k];
        if (!t) continue;
        for (i32 i = 0; i < t->max_readers; ++i) {
            bsv_rbuf_reader *r = t->slots[i];
            if (!r) continue;
            r->active.store(0);
            r->type = nullptr;
            t->slots[i] = nullptr;
        }
        if (g_own_slots[k]) {
            os_free(t->slots);
            t->slots = nullptr;
        }
        t->readers.store(0);
        g_types[k] = nullptr;
    }
    return 0;
}
