#pragma once
// Fixed string array: a growable array of text pointers. Its first four
// fields are the header shared with str_vector and str_map, so the sort and
// de-duplication below serve all three.
#include <cstring>

#include "libpal/env/malloc.h"
#include "libpal/env/os_types.h"

enum : u32 {
    STR_ARR_OWN = 0x1,       // copies on add, frees on truncate
    STR_ARR_TEXT = 0x2,      // sort by text
    STR_ARR_VALUE = 0x4,     // sort by the pointer value
    STR_ARR_INDIRECT = 0x8,  // sort by the text behind each item's first word
};

struct str_array {
    char **items;
    u64 count;
    u64 capacity;
    u32 flags;
};

str_array *str_array_new(u64 capacity, u32 flags);
int str_array_add(str_array *arr, const char *text);
void str_array_truncate(str_array *arr, u64 n);
void str_array_free(str_array *arr);

// arr is a str_array, str_vector or str_map. The element order is chosen by
// the low four flag bits; uniq keeps the first item of each run of equal
// neighbours and frees the others' copies when the container owns them.
void str_array_sort(void *arr);
void str_array_uniq(void *arr);

// Room for one more item in a str_array, str_vector or str_map: a full
// container doubles its capacity (16 when it has none yet) and keeps spare
// zeroed slots after it. -1, the container unchanged, when that fails or
// would pass the 32-bit size limit.
template <typename C>
int str_arr_reserve(C *c, u64 spare)
{
    if (c->count < c->capacity) return 0;
    u64 cap = c->capacity ? c->capacity * 2 : 16;
    if (cap + spare > UINT32_MAX / sizeof *c->items) return -1;
    auto *n = (decltype(c->items))os_realloc(c->items, (cap + spare) * sizeof *c->items);
    if (!n) return -1;
    memset((void *)(n + c->capacity), 0, (cap + spare - c->capacity) * sizeof *n);
    c->items = n;
    c->capacity = cap;
    return 0;
}
