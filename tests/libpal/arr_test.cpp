#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "libpal/basic/arr.h"

namespace {

template <typename T>
std::vector<T> items(const typed_arr<T> *a)
{
    return std::vector<T>(a->data, a->data + a->count);
}

template <typename T>
bool zero_tail(const typed_arr<T> *a)
{
    for (u64 i = a->count; i <= a->capacity; ++i)
        if (a->data[i] != T{}) return false;
    return true;
}

TEST(Arr, GrowthAndDeletion)
{
    arr32 *a = arr32_new(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->capacity, 8u);
    for (int i = 1; i <= 9; ++i) ASSERT_EQ(arr32_push(a, i), 0);
    EXPECT_EQ(a->capacity, 16u);
    EXPECT_TRUE(zero_tail(a));
    EXPECT_EQ(arr32_del(a, (u64)-1), 0);
    EXPECT_EQ(items(a).back(), 8);
    EXPECT_EQ(arr32_del(a, 8), -1);
    EXPECT_EQ(arr32_insert(a, 9, 5), -1);
    EXPECT_EQ(arr32_insert(a, 0, 0), 0);
    EXPECT_EQ(arr32_del_val(a, 4), 4);
    EXPECT_EQ(arr32_del_val(a, 44), -1);
    EXPECT_EQ(items(a), (std::vector<i32>{0, 1, 2, 3, 5, 6, 7, 8}));
    arr32_clear(a);
    EXPECT_EQ(a->count, 0u);
    EXPECT_EQ(arr32_del(a, (u64)-1), 0);
    EXPECT_TRUE(zero_tail(a));
    arr32_free(a);

    arr64 *b = arr64_new(4);
    for (u64 i = 0; i < 5; ++i) arr64_push(b, i + 1);
    EXPECT_EQ(arr64_del_range(b, 1, (u64)-1), 0);
    EXPECT_EQ(items(b), (std::vector<u64>{1}));
    EXPECT_TRUE(zero_tail(b));
    arr64_free(b);

    // Growth past the 32-bit allocation limit is refused.
    EXPECT_EQ(arr64_new((u64)1 << 33), nullptr);
}

TEST(Arr, SortSearchAndUnique)
{
    arr8 *a = arr8_new(2);
    for (u8 v : {1, 1, 2, 3, 3}) arr8_push(a, v);
    arr8_unique(a);
    EXPECT_EQ(items(a), (std::vector<u8>{1, 2, 3}));
    EXPECT_TRUE(zero_tail(a));
    EXPECT_EQ(arr8_is_sorted(a), 2);
    arr8_sort(a, 1);
    EXPECT_EQ(items(a), (std::vector<u8>{3, 2, 1}));
    EXPECT_EQ(arr8_is_sorted(a), 3);
    arr8_free(a);

    arr32 *s = arr32_new(0);
    for (i32 v : {30, -10, 20, 0, -40}) arr32_push(s, v);
    EXPECT_EQ(arr32_is_sorted(s), 0);
    arr32_sort(s, 0);
    EXPECT_EQ(items(s), (std::vector<i32>{-40, -10, 0, 20, 30}));
    EXPECT_EQ(arr32_bsearch(s, -10), 1);
    EXPECT_EQ(arr32_bsearch(s, 30), 4);
    EXPECT_EQ(arr32_bsearch(s, 5), -1);
    arr32_free(s);

    std::mt19937_64 rng(5);
    arr64 *w = arr64_new(0);
    std::vector<u64> ref;
    for (int i = 0; i < 1000; ++i) {
        u64 v = rng() % 300 + ((u64)1 << 63);
        arr64_push(w, v);
        ref.push_back(v);
    }
    arr64_sort(w, 0);
    std::sort(ref.begin(), ref.end());
    EXPECT_EQ(items(w), ref);
    EXPECT_GE(arr64_bsearch(w, ref[500]), 0);
    arr64_unique(w);
    ref.erase(std::unique(ref.begin(), ref.end()), ref.end());
    EXPECT_EQ(items(w), ref);
    EXPECT_TRUE(zero_tail(w));
    arr64_free(w);
}

TEST(Arr, PointerArrayStaysTerminated)
{
    int x[6];
    arrptr *p = arrptr_new(2);
    for (int i : {3, 1, 4, 1, 5}) {
        arrptr_push(p, &x[i]);
        ASSERT_EQ(p->data[p->count], nullptr);
    }
    arrptr_insert(p, 2, &x[0]);
    EXPECT_EQ(p->data[p->count], nullptr);
    EXPECT_EQ(arrptr_find(p, &x[4]), 3);
    EXPECT_EQ(arrptr_find(p, &x[2]), -1);
    arrptr_sort(p, 0);
    EXPECT_EQ(arrptr_is_sorted(p), 2);
    arrptr_unique(p);
    EXPECT_EQ(p->count, 5u);
    EXPECT_EQ(p->data[p->count], nullptr);
    EXPECT_GE(arrptr_bsearch(p, &x[5]), 0);
    EXPECT_EQ(arrptr_bsearch(p, &x[2]), -1);
    arrptr_sort_with(p, cmp_val_get_proc(VALUE_UWORD_PTR, 1));
    EXPECT_EQ(arrptr_is_sorted(p), 3);
    arrptr_del(p, 0);
    arrptr_del_range(p, 1, 2);
    EXPECT_EQ(p->count, 2u);
    EXPECT_TRUE(zero_tail(p));
    arrptr_free(p);
}

}  // namespace
