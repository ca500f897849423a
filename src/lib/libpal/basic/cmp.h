#pragma once
// Comparators chosen by value type code or element mode, and the array
// algorithms built on them: quicksort, bubble sort, sortedness, adjacent
// duplicate removal, binary search, linear find and count.
#include "libpal/basic/value_type.h"
#include "libpal/env/os_types.h"

// Negative, 0 or positive. Even type codes receive the values themselves
// cast to pointers; odd codes receive pointers to the elements.
typedef int (*cmp_fn)(const void *a, const void *b);
typedef int (*cmp_r_fn)(const void *a, const void *b, void *ctx);

struct cmp_row {
    i32 type;  // -1 ends a table
    cmp_fn proc;
};

extern const cmp_row cmp_asc_tab[];
extern const cmp_row cmp_desc_tab[];
extern const cmp_row cmp2_find_tab[];

// Element modes of text arrays, vectors and maps (their low flag bits).
enum : u32 {
    CMP_MODE_TEXT = 0x3,    // elements are text pointers
    CMP_MODE_U64 = 0x4,     // elements are unsigned 64-bit values
    CMP_MODE_RECORD = 0x8,  // elements point to records whose first word is a text
};

cmp_fn cmp_val_get_proc(int type, int desc);
cmp_fn cmp2_val_get_find_proc(int type);
cmp_fn cmp_array_get_proc(u32 mode, cmp_fn given, int desc);
cmp_fn cmp_key_get_proc(u32 mode, cmp_fn given);

// Table comparators, ascending.
int cmp_str(const void *a, const void *b);      // 20
int cmp_pstr(const void *a, const void *b);     // 21
int cmp_uint32(const void *a, const void *b);   // 8
int cmp_puint8(const void *a, const void *b);   // 9
int cmp_int32(const void *a, const void *b);    // 14
int cmp_pint32(const void *a, const void *b);   // 15
int cmp_uint64(const void *a, const void *b);   // 6, 16
int cmp_puint64(const void *a, const void *b);  // 7, 17
// Find comparators: key by value, element by pointer.
int cmp2_pstr(const void *key, const void *elem);      // 21
int cmp2_puint8(const void *key, const void *elem);    // 9
int cmp2_pint32(const void *key, const void *elem);    // 15
int cmp2_puint64(const void *key, const void *elem);   // 7 (logs each comparison)
int cmp2_pword(const void *key, const void *elem);     // 17
// Outside the tables.
int cmp_int64(const void *a, const void *b);
int cmp_pint64(const void *a, const void *b);
int cmp_pint64_desc(const void *a, const void *b);
int cmp2_pint64(const void *key, const void *elem);
int cmp_prec_str(const void *a, const void *b);        // records by their first-word text
int cmp_prec_str_desc(const void *a, const void *b);
int cmp2_prec_str(const void *key, const void *elem);  // text key against such an element
int cmp_sign(i64 v);

// Quicksort with a context handed to the comparator; no allocation, not
// stable. The two-argument form goes through cmp_adapter.
void arr_qsort_r(void *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx);
void arr_qsort(void *base, size_t n, size_t size, cmp_fn cmp);
int cmp_adapter(const void *a, const void *b, void *ctx);
void arr_bubble_sort(void *base, size_t n, size_t size, cmp_fn cmp);
// 0 unsorted, 1 all equal (or fewer than 2), 2 ascending, 3 descending.
int arr_is_sorted(const void *base, size_t n, size_t size, cmp_fn cmp);
// Moves adjacent duplicates behind the kept elements; returns the number kept.
size_t arr_unique(void *base, size_t n, size_t size, cmp_fn cmp);
// Index of an element the comparator (key, element) calls equal, or -1.
i64 arr_bsearch_r(const void *key, const void *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx);
i64 arr_bsearch(const void *key, const void *base, size_t n, size_t size, cmp_fn cmp);
i64 arr_find_r(const void *key, const void *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx);
i64 arr_find(const void *key, const void *base, size_t n, size_t size, cmp_fn cmp);
size_t arr_count_r(const void *key, const void *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx);
size_t arr_count(const void *key, const void *base, size_t n, size_t size, cmp_fn cmp);
