#pragma once
// bsv value schemas: a schema text ("name-type" items separated by ",",
// types u8 u16 u32 u64 str, several string names joined by "|") describes a
// packed binary record; a value context made from it reads the fields of
// any record of that layout by index or by name.
//
// Record layout: the fixed fields in schema order without padding, each in
// the record's byte order, then every string field followed by its NUL.
// Every read is bounded by the record length handed in: a field that lies
// beyond it, or a string without its NUL inside it, reads as 0 / NULL.
// A context is read-only after bsv_value_init, so threads may share it.
#include "libpal/basic/value_type.h"
#include "libpal/env/os_types.h"
#include "libpal/string/str_map.h"

constexpr int BSV_VALUE_ITEM_MAX = 255;  // characters of one schema item
constexpr int BSV_VALUE_NAME_MAX = 31;   // characters of one field name

// Field descriptor, one per field in schema order.
struct bsv_value_field {
    char name[BSV_VALUE_NAME_MAX + 1];
    u32 type;    // VALUE_U8, VALUE_U16, VALUE_U32, VALUE_U64 or VALUE_TYPE_STRING
    u32 size;    // 1, 2, 4, 8; all ones for strings
    i32 offset;  // fixed fields and the first string field; -1 for later strings
};

struct bsv_value {
    char *schema;         // own copy of the schema text
    i32 count_idx;        // number of fields
    i32 str_idx;          // index of the first string field, or -1
    i32 swap;             // 1: multi-byte fields are in the other byte order
    bsv_value_field *val;
    str_map names;        // field name -> index + 1, sorted
};

// Result of bsv_value_match: the field's type code and its value (numbers
// widened to 64 bits, strings as a pointer into the record).
struct bsv_value_res {
    u32 type;
    union {
        u64 num;
        const char *str;
    };
};

// Number of fields of the schema, or -1 (logged); with a context whose val
// array holds that many rows it also fills the descriptors.
int value_get_info(bsv_value *ctx, const char *schema);
bsv_value *bsv_value_init(const char *schema, int swap);
int bsv_value_exit(bsv_value *ctx);
int bsv_value_get_count(const bsv_value *ctx);
const char *bsv_value_get_name(const bsv_value *ctx, int idx);
// The field's value widened to 64 bits, or the string's address.
u64 bsv_value_get(const bsv_value *ctx, const void *rec, u64 len, int idx);
u8 bsv_value_get_u8(const bsv_value *ctx, const void *rec, u64 len, int idx);
u16 bsv_value_get_u16(const bsv_value *ctx, const void *rec, u64 len, int idx);
u32 bsv_value_get_u32(const bsv_value *ctx, const void *rec, u64 len, int idx);
u64 bsv_value_get_u64(const bsv_value *ctx, const void *rec, u64 len, int idx);
const char *bsv_value_get_str(const bsv_value *ctx, const void *rec, u64 len, int idx);
// 0 with the field's type and value, -1 when the name is no field or the
// record is too short for it.
int bsv_value_match(const bsv_value *ctx, const void *rec, u64 len, const char *name,
                    bsv_value_res *out);

// Writes the low n bytes of v little-endian, whatever the host's order.
inline void bsv_put_le(void *p, u64 v, int n)
{
    for (int i = 0; i < n; ++i) ((u8 *)p)[i] = (u8)(v >> (8 * i));
}

// Checked reads for the record parsers: 0, or -1 when the field does not
// lie whole inside the record. swap overrides the context's byte order
// (-1 keeps it).
int bsv_value_read(const bsv_value *ctx, const void *rec, u64 len, int idx, int swap, u64 *out);
// Finds every string field from the first one on in one pass: strs[k] is
// field str_idx + k, NULL when the record ends before it. Returns the
// number of strings found, -1 when the fixed fields do not fit.
int bsv_value_strings(const bsv_value *ctx, const void *rec, u64 len, const char **strs, int max);
