#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/libbsv/value"
#include "libbsv/value.h"

#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/memory/mem_util.h"

namespace {

struct type_row {
    const char *text;
    u32 type;
    u32 size;
};
constexpr type_row kTypes[] = {
    {"u8", VALUE_U8, 1},
    {"u16", VALUE_U16, 2},
    {"u32", VALUE_U32, 4},
    {"u64", VALUE_U64, 8},
};
constexpr u32 kStrSize = 0xFFFFFFFF;

bool name_ok(const char *name, size_t n)
{
    return n > 0 && n <= (size_t)BSV_VALUE_NAME_MAX && !memchr(name, '|', n);
}

void put_field(bsv_value *ctx, int i, const char *name, size_t n, u32 type, u32 size, i32 off)
{
    if (!ctx) return;
    bsv_value_field *f = &ctx->val[i];
    memcpy(f->name, name, n);
    f->name[n] = 0;
    f->type = type;
    f->size = size;
    f->offset = off;
}

// One schema item "names-type" at the running offset; the number of
// fields it adds, or -1 (logged).
int parse_item(bsv_value *ctx, const char *item, const char *schema, int count, i32 *offset,
               bool *strings)
{
    const char *dash = strchr(item, '-');
    size_t nlen = dash ? (size_t)(dash - item) : 0;
    if (!dash || nlen == 0 || *strings) {
        LOG_ERR("buf=[%s] info=[%s] error\n", item, schema);
        return -1;
    }
    const char *type = dash + 1;
    if (strcmp(type, "str") == 0) {
        int added = 0;
        for (const char *p = item;;) {
            const char *bar = (const char *)memchr(p, '|', (size_t)(dash - p));
            const char *end = bar ? bar : dash;
            if (!name_ok(p, (size_t)(end - p))) {
                LOG_ERR("buf=[%s] info=[%s] error\n", item, schema);
                return -1;
            }
            put_field(ctx, count + added, p, (size_t)(end - p), VALUE_TYPE_STRING, kStrSize,
                      added == 0 ? *offset : -1);
            ++added;
            if (!bar) break;
            p = bar + 1;
        }
        *strings = true;
        return added;
    }
    for (const type_row &t : kTypes) {
        if (strcmp(type, t.text) != 0) continue;
        if (!name_ok(item, nlen)) {
            LOG_ERR("buf=[%s] info=[%s] error\n", item, schema);
            return -1;
        }
        put_field(ctx, count, item, nlen, t.type, t.size, *offset);
        *offset += (i32)t.size;
        return 1;
    }
    LOG_ERR("type=[%s] error\n", type);
    return -1;
}

inline bool ctx_ok(const bsv_value *ctx, const void *rec, int idx)
{
    return ctx && rec && idx >= 0 && idx < ctx->count_idx;
}

// Start of string field idx inside the record, or NULL when the record
// ends before it (or its NUL).
const char *string_at(const bsv_value *ctx, const u8 *rec, u64 len, int idx)
{
    u64 pos = (u64)ctx->val[ctx->str_idx].offset;
    for (int i = ctx->str_idx;; ++i) {
        if (pos >= len) return nullptr;
        const u8 *nul = (const u8 *)memchr(rec + pos, 0, len - pos);
        if (!nul) return nullptr;
        if (i == idx) return (const char *)rec + pos;
        pos = (u64)(nul - rec) + 1;
    }
}

}  // namespace

int value_get_info(bsv_value *ctx, const char *schema)
{
    OS_CHECK_TXT(schema != nullptr, "info!=NULL", -1);
    int count = 0;
    i32 offset = 0;
    bool strings = false;
    const char *p = schema;
    while (true) {
        const char *comma = strchr(p, ',');
        size_t n = comma ? (size_t)(comma - p) : strlen(p);
        char item[BSV_VALUE_ITEM_MAX + 1];
        memcpy(item, p, n <= (size_t)BSV_VALUE_ITEM_MAX ? n : (size_t)BSV_VALUE_ITEM_MAX);
        item[n <= (size_t)BSV_VALUE_ITEM_MAX ? n : BSV_VALUE_ITEM_MAX] = 0;
        if (n > (size_t)BSV_VALUE_ITEM_MAX) {
            LOG_ERR("buf=[%s] info=[%s] error\n", item, schema);
            return -1;
        }
        int added = parse_item(ctx, item, schema, count, &offset, &strings);
        if (added < 0) return -1;
        count += added;
        if (!comma) break;
        p = comma + 1;
    }
    return count;
}

bsv_value *bsv_value_init(const char *schema, int swap)
{
    LOG_VERB("==>\n");
    int count = value_get_info(nullptr, schema);
    if (count <= 0) {
        LOG_DBG("value_get_info failed\n");
        return nullptr;
    }
    bsv_value *ctx = (bsv_value *)os_zalloc(sizeof(bsv_value));
    if (!ctx) return nullptr;
    ctx->schema = os_strdup(schema);
    ctx->val = (bsv_value_field *)os_calloc((size_t)count, sizeof(bsv_value_field));
    if (!ctx->schema || !ctx->val || value_get_info(ctx, schema) != count ||
        str_map_init(&ctx->names, STR_MAP_KEY_COPY) != 0) {
        bsv_value_exit(ctx);
        return nullptr;
    }
    ctx->count_idx = count;
    ctx->swap = swap ? 1 : 0;
    ctx->str_idx = -1;
    for (int i = 0; i < count; ++i) {
        if (ctx->val[i].type == VALUE_TYPE_STRING && ctx->str_idx < 0) ctx->str_idx = i;
        // A repeated name keeps its first field.
        str_map_add(&ctx->names, ctx->val[i].name, (const void *)(uintptr_t)(i + 1));
    }
    str_map_sort(&ctx->names);
    return ctx;
}

int bsv_value_exit(bsv_value *ctx)
{
    OS_CHECK_TXT(ctx != nullptr, "ctx!=NULL", 0);
    str_map_fini(&ctx->names);
    os_free(ctx->val);
    os_free(ctx->schema);
    os_free(ctx);
    return 0;
}

int bsv_value_get_count(const bsv_value *ctx)
{
    OS_CHECK_TXT(ctx != nullptr, "ctx!=NULL", 0);
    return ctx->count_idx;
}

const char *bsv_value_get_name(const bsv_value *ctx, int idx)
{
    OS_CHECK_TXT(ctx != nullptr, "ctx!=NULL", nullptr);
    OS_CHECK_TXT(idx >= 0 && idx < ctx->count_idx, "idx<ctx->count_idx", nullptr);
    return ctx->val[idx].name;
}

int bsv_value_read(const bsv_value *ctx, const void *rec, u64 len, int idx, int swap, u64 *out)
{
    if (!ctx_ok(ctx, rec, idx)) return -1;
    const bsv_value_field &f = ctx->val[idx];
    const u8 *r = (const u8 *)rec;
    if (f.type == VALUE_TYPE_STRING) {
        const char *s = string_at(ctx, r, len, idx);
        *out = (u64)(uintptr_t)s;
        return s ? 0 : -1;
    }
    if ((u64)f.offset + f.size > len) return -1;
    int sw = swap < 0 ? ctx->swap : swap;
    switch (f.size) {
    case 1: *out = r[f.offset]; break;
    case 2: *out = mem_get_u16(sw, r, (size_t)f.offset); break;
    case 4: *out = mem_get_u32(sw, r, (size_t)f.offset); break;
    default: *out = mem_get_u64(sw, r, (size_t)f.offset); break;
    }
    return 0;
}

int bsv_value_strings(const bsv_value *ctx, const void *rec, u64 len, const char **strs, int max)
{
    if (!ctx || !rec || ctx->str_idx < 0) return -1;
    const u8 *r = (const u8 *)rec;
    u64 pos = (u64)ctx->val[ctx->str_idx].offset;
    if (pos > len) return -1;
    int found = 0;
    for (int k = 0; k < max; ++k) {
        strs[k] = nullptr;
        if (ctx->str_idx + k >= ctx->count_idx || pos >= len) continue;
        const u8 *nul = (const u8 *)memchr(r + pos, 0, len - pos);
        if (!nul) {
            pos = len;
            continue;
        }
        strs[k] = (const char *)r + pos;
        ++found;
        pos = (u64)(nul - r) + 1;
    }
    return found;
}

u64 bsv_value_get(const bsv_value *ctx, const void *rec, u64 len, int idx)
{
    OS_CHECK_TXT(ctx != nullptr, "ctx!=NULL", 0);
    OS_CHECK_TXT(idx >= 0 && idx < ctx->count_idx, "idx<ctx->count_idx", 0);
    u64 v = 0;
    return bsv_value_read(ctx, rec, len, idx, -1, &v) == 0 ? v : 0;
}

namespace {

u64 get_num(const bsv_value *ctx, const void *rec, u64 len, int idx)
{
    OS_CHECK_TXT(ctx != nullptr, "ctx!=NULL", 0);
    OS_CHECK_TXT(idx >= 0 && idx < ctx->count_idx, "idx < ctx->count_idx", 0);
    OS_CHECK_TXT(ctx->val[idx].type != VALUE_TYPE_STRING, "ctx->val[idx].type!=VALUE_TYPE_STRING", 0);
    u64 v = 0;
    return bsv_value_read(ctx, rec, len, idx, -1, &v) == 0 ? v : 0;
}

}  // namespace

u8 bsv_value_get_u8(const bsv_value *ctx, const void *rec, u64 len, int idx)
{
    return (u8)get_num(ctx, rec, len, idx);
}

u16 bsv_value_get_u16(const bsv_value *ctx, const void *rec, u64 len, int idx)
{
    return (u16)get_num(ctx, rec, len, idx);
}

u32 bsv_value_get_u32(const bsv_value *ctx, const void *rec, u64 len, int idx)
{
    return (u32)get_num(ctx, rec, len, idx);
}

u64 bsv_value_get_u64(const bsv_value *ctx, const void *rec, u64 len, int idx)
{
    return get_num(ctx, rec, len, idx);
}

const char *bsv_value_get_str(const bsv_value *ctx, const void *rec, u64 len, int idx)
{
    OS_CHECK_TXT(ctx != nullptr, "ctx!=NULL", nullptr);
    OS_CHECK_TXT(idx >= 0 && idx < ctx->count_idx, "idx < ctx->count_idx", nullptr);
    OS_CHECK_TXT(ctx->val[idx].type == VALUE_TYPE_STRING, "ctx->val[idx].type==VALUE_TYPE_STRING",
                 nullptr);
    u64 v = 0;
    return bsv_value_read(ctx, rec, len, idx, -1, &v) == 0 ? (const char *)(uintptr_t)v : nullptr;
}

int bsv_value_match(const bsv_value *ctx, const void *rec, u64 len, const char *name,
                    bsv_value_res *out)
{
    if (!ctx || !name || !out) return -1;
    uintptr_t i = (uintptr_t)str_map_get(&ctx->names, name);
    if (i == 0) return -1;
    int idx = (int)(i - 1);
    u64 v = 0;
    if (bsv_value_read(ctx, rec, len, idx, -1, &v) != 0) return -1;
    out->type = ctx->val[idx].type;
    if (out->type == VALUE_TYPE_STRING)
        out->str = (const char *)(uintptr_t)v;
    else
        out->num = v;
    return 0;
}
