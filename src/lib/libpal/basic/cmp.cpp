#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/basic/cmp"
#include "libpal/basic/cmp.h"

#include <cstring>

#include "liblog/log.h"

namespace {

template <typename T>
inline int order(T a, T b)
{
    return a < b ? -1 : a > b ? 1 : 0;
}

// Texts compare with strcmp; a missing text sorts before every text.
inline int text_order(const char *a, const char *b)
{
    if (!a || !b) return a == b ? 0 : a ? 1 : -1;
    return strcmp(a, b);
}

inline const char *rec_text(const void *elem)
{
    const void *rec = *(const void *const *)elem;
    return rec ? *(const char *const *)rec : nullptr;
}

inline u64 word(const void *p) { return (u64)(uintptr_t)p; }

// An element read through a pointer that need not be aligned.
template <typename T>
inline T at(const void *p)
{
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

int desc_str(const void *a, const void *b) { return text_order((const char *)b, (const char *)a); }
int desc_pstr(const void *a, const void *b) { return cmp_pstr(b, a); }
int desc_uint32(const void *a, const void *b) { return cmp_uint32(b, a); }
int desc_puint8(const void *a, const void *b) { return cmp_puint8(b, a); }
int desc_int32(const void *a, const void *b) { return cmp_int32(b, a); }
int desc_pint32(const void *a, const void *b) { return cmp_pint32(b, a); }
int desc_uint64(const void *a, const void *b) { return cmp_uint64(b, a); }
int desc_puint64(const void *a, const void *b) { return cmp_puint64(b, a); }

cmp_fn table_get(const cmp_row *tab, int type)
{
    for (const cmp_row *r = tab; r->type != -1; ++r)
        if (r->type == type) return r->proc;
    LOG_ERR("val_type=%d not support\n", type);
    return nullptr;
}

}  // namespace

int cmp_sign(i64 v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

int cmp_str(const void *a, const void *b) { return text_order((const char *)a, (const char *)b); }
int cmp_pstr(const void *a, const void *b)
{
    return text_order(*(const char *const *)a, *(const char *const *)b);
}
int cmp_uint32(const void *a, const void *b) { return order((u32)word(a), (u32)word(b)); }
int cmp_puint8(const void *a, const void *b) { return order(*(const u8 *)a, *(const u8 *)b); }
int cmp_int32(const void *a, const void *b) { return order((i32)word(a), (i32)word(b)); }
int cmp_pint32(const void *a, const void *b) { return order(at<i32>(a), at<i32>(b)); }
int cmp_uint64(const void *a, const void *b) { return order(word(a), word(b)); }
int cmp_puint64(const void *a, const void *b) { return order(at<u64>(a), at<u64>(b)); }
int cmp_int64(const void *a, const void *b) { return order((i64)word(a), (i64)word(b)); }
int cmp_pint64(const void *a, const void *b) { return order(at<i64>(a), at<i64>(b)); }
int cmp_pint64_desc(const void *a, const void *b) { return cmp_pint64(b, a); }
int cmp_prec_str(const void *a, const void *b) { return text_order(rec_text(a), rec_text(b)); }
int cmp_prec_str_desc(const void *a, const void *b) { return cmp_prec_str(b, a); }

int cmp2_pstr(const void *key, const void *elem)
{
    return text_order((const char *)key, *(const char *const *)elem);
}
int cmp2_puint8(const void *key, const void *elem) { return order((u8)word(key), *(const u8 *)elem); }
int cmp2_pint32(const void *key, const void *elem) { return order((i32)word(key), at<i32>(elem)); }
int cmp2_pword(const void *key, const void *elem) { return order(word(key), at<u64>(elem)); }
int cmp2_pint64(const void *key, const void *elem) { return order((i64)word(key), at<i64>(elem)); }
int cmp2_prec_str(const void *key, const void *elem) { return text_order((const char *)key, rec_text(elem)); }

const cmp_row cmp_asc_tab[] = {
    {VALUE_STR, cmp_str},       {VALUE_STR_PTR, cmp_pstr},     {VALUE_BYTE, cmp_uint32},
    {VALUE_BYTE_PTR, cmp_puint8}, {VALUE_I32, cmp_int32},      {VALUE_I32_PTR, cmp_pint32},
    {VALUE_U64, cmp_uint64},    {VALUE_U64_PTR, cmp_puint64},  {VALUE_UWORD, cmp_uint64},
    {VALUE_UWORD_PTR, cmp_puint64}, {-1, nullptr},
};

const cmp_row cmp_desc_tab[] = {
    {VALUE_STR, desc_str},       {VALUE_STR_PTR, desc_pstr},     {VALUE_BYTE, desc_uint32},
    {VALUE_BYTE_PTR, desc_puint8}, {VALUE_I32, desc_int32},      {VALUE_I32_PTR, desc_pint32},
    {VALUE_U64, desc_uint64},    {VALUE_U64_PTR, desc_puint64},  {VALUE_UWORD, desc_uint64},
    {VALUE_UWORD_PTR, desc_puint64}, {-1, nullptr},
};

const cmp_row cmp2_find_tab[] = {
    {VALUE_STR_PTR, cmp2_pstr},   {VALUE_BYTE_PTR, cmp2_puint8}, {VALUE_I32_PTR, cmp2_pint32},
    {VALUE_U64_PTR, cmp2_puint64}, {VALUE_UWORD_PTR, cmp2_pword}, {-1, nullptr},
};

cmp_fn cmp_val_get_proc(int type, int desc) { return table_get(desc ? cmp_desc_tab : cmp_asc_tab, type); }

cmp_fn cmp2_val_get_find_proc(int type) { return table_get(cmp2_find_tab, type); }

cmp_fn cmp_array_get_proc(u32 mode, cmp_fn given, int desc)
{
    if (given) return given;
    if (mode & CMP_MODE_TEXT) return desc ? desc_pstr : cmp_pstr;
    if (mode & CMP_MODE_U64) return desc ? desc_puint64 : cmp_puint64;
    if (mode & CMP_MODE_RECORD) return desc ? cmp_prec_str_desc : cmp_prec_str;
    LOG_ERR("mode=0x%x not support\n", mode);
    return nullptr;
}

cmp_fn cmp_key_get_proc(u32 mode, cmp_fn given)
{
    if (given) return given;
    return (mode & CMP_MODE_TEXT) ? cmp_str : cmp_uint64;
}
