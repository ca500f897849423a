#pragma once
// Typed dynamic arrays of fixed-width elements: arr8_, arr32_, arr64_ and
// arrptr_. Storage always holds capacity+1 elements and every element from
// index count on is zero, so it can be handed out zero-terminated.
#include <cstring>
#include <type_traits>

#include "libpal/basic/cmp.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_types.h"

template <typename T>
struct typed_arr {
    T *data;
    u64 count;
    u64 capacity;
};

typedef typed_arr<u8> arr8;
typedef typed_arr<i32> arr32;
typedef typed_arr<u64> arr64;
typedef typed_arr<void *> arrptr;

namespace arr_detail {

// Comparator type code of each element width.
template <typename T> struct arr_code;
template <> struct arr_code<u8> { static constexpr int value = VALUE_BYTE_PTR; };
template <> struct arr_code<i32> { static constexpr int value = VALUE_I32_PTR; };
template <> struct arr_code<u64> { static constexpr int value = VALUE_U64_PTR; };
template <> struct arr_code<void *> { static constexpr int value = VALUE_UWORD_PTR; };

// A key handed by value to the find comparators.
template <typename T>
inline const void *arr_key(T v)
{
    if constexpr (std::is_pointer_v<T>)
        return v;
    else if constexpr (std::is_signed_v<T>)
        return (const void *)(intptr_t)v;
    else
        return (const void *)(uintptr_t)v;
}

template <typename T>
typed_arr<T> *arr_new(u64 capacity)
{
    if (capacity == 0) capacity = 8;
    if (capacity >= UINT32_MAX / sizeof(T)) return nullptr;
    auto *a = (typed_arr<T> *)os_zalloc(sizeof(typed_arr<T>));
    if (!a) return nullptr;
    a->data = (T *)os_zalloc((capacity + 1) * sizeof(T));
    if (!a->data) {
        os_free(a);
        return nullptr;
    }
    a->capacity = capacity;
    return a;
}

template <typename T>
int arr_grow(typed_arr<T> *a)
{
    if (a->count < a->capacity) return 0;
    u64 ncap = a->capacity * 2;
    // Sizes are recorded in 32 bits: growth beyond them is refused.
    if (ncap + 1 > UINT32_MAX / sizeof(T)) return -1;
    T *d = (T *)os_realloc(a->data, (ncap + 1) * sizeof(T));
    if (!d) return -1;
    memset((void *)(d + a->count), 0, (ncap + 1 - a->count) * sizeof(T));
    a->data = d;
    a->capacity = ncap;
    return 0;
}

template <typename T>
int arr_push(typed_arr<T> *a, T v)
{
    if (arr_grow(a) != 0) return -1;
    a->data[a->count++] = v;
    return 0;
}

template <typename T>
int arr_insert(typed_arr<T> *a, u64 pos, T v)
{
    if (pos > a->count) return -1;
    if (arr_grow(a) != 0) return -1;
    memmove((void *)(a->data + pos + 1), a->data + pos, (a->count - pos) * sizeof(T));
    a->data[pos] = v;
    ++a->count;
    return 0;
}

template <typename T>
int arr_del_range(typed_arr<T> *a, u64 pos, u64 n)
{
    if (a->count == 0) return 0;
    if (pos >= a->count) return -1;
    if (n > a->count - pos) n = a->count - pos;
    memmove((void *)(a->data + pos), a->data + pos + n, (a->count - pos - n) * sizeof(T));
    a->count -= n;
    memset((void *)(a->data + a->count), 0, n * sizeof(T));
    return 0;
}

template <typename T>
int arr_del(typed_arr<T> *a, u64 pos)
{
    if (a->count == 0) return 0;
    if (pos == (u64)-1) pos = a->count - 1;
    return arr_del_range(a, pos, 1);
}

template <typename T>
i64 arr_find(const typed_arr<T> *a, T v)
{
    for (u64 i = 0; i < a->count; ++i)
        if (a->data[i] == v) return (i64)i;
    return -1;
}

template <typename T>
i64 arr_del_val(typed_arr<T> *a, T v)
{
    i64 i = arr_find(a, v);
    if (i >= 0) arr_del(a, (u64)i);
    return i;
}

template <typename T>
void arr_free(typed_arr<T> *a)
{
    if (!a) return;
    os_free(a->data);
    os_free(a);
}

template <typename T>
void arr_clear(typed_arr<T> *a)
{
    memset((void *)a->data, 0, a->count * sizeof(T));
    a->count = 0;
}

template <typename T>
void arr_unique(typed_arr<T> *a)
{
    if (a->count < 2) return;
    u64 kept = 1;
    for (u64 i = 1; i < a->count; ++i)
        if (a->data[i] != a->data[kept - 1]) a->data[kept++] = a->data[i];
    memset((void *)(a->data + kept), 0, (a->count - kept) * sizeof(T));
    a->count = kept;
}

template <typename T>
void arr_sort_with(typed_arr<T> *a, cmp_fn cmp)
{
    if (a && cmp) ::arr_qsort(a->data, a->count, sizeof(T), cmp);
}

template <typename T>
void arr_sort(typed_arr<T> *a, int desc)
{
    arr_sort_with(a, cmp_val_get_proc(arr_code<T>::value, desc));
}

template <typename T>
int arr_is_sorted(const typed_arr<T> *a)
{
    return ::arr_is_sorted(a->data, a->count, sizeof(T), cmp_val_get_proc(arr_code<T>::value, 0));
}

template <typename T>
i64 arr_bsearch(const typed_arr<T> *a, T key)
{
    return ::arr_bsearch(arr_key(key), a->data, a->count, sizeof(T),
                         cmp2_val_get_find_proc(arr_code<T>::value));
}

}  // namespace arr_detail

#define ARR_FAMILY(P, T)                                                                  \
    inline typed_arr<T> *P##new(u64 cap) { return arr_detail::arr_new<T>(cap); }          \
    inline int P##push(typed_arr<T> *a, T v) { return arr_detail::arr_push(a, v); }       \
    inline int P##insert(typed_arr<T> *a, u64 pos, T v) { return arr_detail::arr_insert(a, pos, v); } \
    inline int P##del(typed_arr<T> *a, u64 pos) { return arr_detail::arr_del(a, pos); }   \
    inline int P##del_range(typed_arr<T> *a, u64 pos, u64 n)                              \
    {                                                                                     \
        return arr_detail::arr_del_range(a, pos, n);                                      \
    }                                                                                     \
    inline i64 P##del_val(typed_arr<T> *a, T v) { return arr_detail::arr_del_val(a, v); } \
    inline void P##free(typed_arr<T> *a) { arr_detail::arr_free(a); }                     \
    inline void P##clear(typed_arr<T> *a) { arr_detail::arr_clear(a); }                   \
    inline void P##unique(typed_arr<T> *a) { arr_detail::arr_unique(a); }                 \
    inline void P##sort(typed_arr<T> *a, int desc) { arr_detail::arr_sort(a, desc); }     \
    inline int P##is_sorted(const typed_arr<T> *a) { return arr_detail::arr_is_sorted(a); } \
    inline i64 P##bsearch(const typed_arr<T> *a, T key) { return arr_detail::arr_bsearch(a, key); }

ARR_FAMILY(arr8_, u8)
ARR_FAMILY(arr32_, i32)
ARR_FAMILY(arr64_, u64)
ARR_FAMILY(arrptr_, void *)
#undef ARR_FAMILY

inline i64 arrptr_find(const arrptr *a, void *v) { return arr_detail::arr_find(a, v); }
inline void arrptr_sort_with(arrptr *a, cmp_fn cmp) { arr_detail::arr_sort_with(a, cmp); }
