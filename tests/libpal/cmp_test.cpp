#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libpal/basic/cmp.h"

namespace {

int cmp_i32(const void *a, const void *b) { return cmp_pint32(a, b); }

TEST(Cmp, SelectorsAndTables)
{
    EXPECT_EQ(cmp_val_get_proc(10, 0), nullptr);
    EXPECT_EQ(cmp2_val_get_find_proc(20), nullptr);
    EXPECT_EQ(cmp_array_get_proc(0x10, nullptr, 0), nullptr);
    EXPECT_EQ(cmp_array_get_proc(0x10, cmp_i32, 0), cmp_i32);
    EXPECT_EQ(cmp_key_get_proc(1, nullptr), cmp_str);
    EXPECT_EQ(cmp_key_get_proc(0, nullptr), cmp_uint64);

    // Every code answers in both orders, negated exactly.
    u64 lo = 3, hi = 0xfffffffffffffff0ull;
    i32 ineg = -5, ipos = 5;
    u8 b1 = 1, b2 = 200;
    const char *s1 = "abc", *s2 = "abd";
    struct probe {
        int code;
        const void *a, *b;
    } probes[] = {
        {20, s1, s2}, {21, &s1, &s2}, {8, (void *)1, (void *)0xffffffffu}, {9, &b1, &b2},
        {14, (void *)(intptr_t)-5, (void *)(intptr_t)5}, {15, &ineg, &ipos},
        {6, (void *)lo, (void *)hi}, {7, &lo, &hi}, {16, (void *)lo, (void *)hi}, {17, &lo, &hi},
    };
    for (auto &p : probes) {
        cmp_fn up = cmp_val_get_proc(p.code, 0), down = cmp_val_get_proc(p.code, 1);
        ASSERT_TRUE(up && down) << p.code;
        EXPECT_LT(up(p.a, p.b), 0) << p.code;
        EXPECT_GT(up(p.b, p.a), 0) << p.code;
        EXPECT_EQ(up(p.a, p.a), 0) << p.code;
        EXPECT_GT(down(p.a, p.b), 0) << p.code;
        EXPECT_LT(down(p.b, p.a), 0) << p.code;
    }
    EXPECT_EQ(cmp_uint64((void *)1, (void *)2), -1);
    EXPECT_EQ(cmp_pint32(&ipos, &ineg), 1);

    // Find comparators: key by value, element by pointer.
    EXPECT_EQ(cmp2_val_get_find_proc(21)("abc", &s1), 0);
    EXPECT_EQ(cmp2_val_get_find_proc(9)((void *)0x101, &b1), 0);  // low 8 bits
    EXPECT_LT(cmp2_val_get_find_proc(15)((void *)(intptr_t)-6, &ineg), 0);
    EXPECT_EQ(cmp2_val_get_find_proc(7)((void *)hi, &hi), 0);
    EXPECT_GT(cmp2_val_get_find_proc(17)((void *)hi, &lo), 0);

    i64 m = -1, big = INT64_MAX;
    EXPECT_LT(cmp_pint64(&m, &big), 0);
    EXPECT_GT(cmp_pint64_desc(&m, &big), 0);
    EXPECT_LT(cmp_int64((void *)(intptr_t)-1, (void *)1), 0);
    EXPECT_EQ(cmp2_pint64((void *)(intptr_t)-1, &m), 0);
    EXPECT_EQ(cmp_sign(-77), -1);
    EXPECT_EQ(cmp_sign(0), 0);
    EXPECT_EQ(cmp_sign(INT64_MAX), 1);

    struct rec {
        const char *name;
        int v;
    } r1 = {"b", 1}, r2 = {"a", 2};
    rec *recs[] = {&r1, &r2};
    cmp_fn rc = cmp_array_get_proc(0x8, nullptr, 0);
    arr_qsort(recs, 2, sizeof recs[0], rc);
    EXPECT_EQ(recs[0], &r2);
    EXPECT_EQ(arr_bsearch("b", recs, 2, sizeof recs[0], cmp2_prec_str), 1);
    // A missing text orders first instead of crashing.
    const char *texts[] = {"x", nullptr, "a"};
    arr_qsort(texts, 3, sizeof texts[0], cmp_array_get_proc(0x1, nullptr, 0));
    EXPECT_EQ(texts[0], nullptr);
    EXPECT_STREQ(texts[2], "x");
}

TEST(Cmp, SmallCasesFromBothPaths)
{
    cmp_fn up = cmp_val_get_proc(15, 0);
    for (int n : {0, 1, 2, 3, 4, 5, 6, 7}) {
        std::vector<i32> v(n);
        for (int i = 0; i < n; ++i) v[i] = n - i;
        arr_qsort(v.data(), n, sizeof(i32), up);
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end())) << n;
    }
    i32 d[] = {3, 1, 2};
    arr_qsort(d, 3, sizeof(i32), cmp_val_get_proc(15, 1));
    EXPECT_EQ(std::vector<i32>(d, d + 3), (std::vector<i32>{3, 2, 1}));

    auto sorted = [&](std::vector<i32> v) { return arr_is_sorted(v.data(), v.size(), 4, up); };
    EXPECT_EQ(sorted({1, 1, 2}), 2);
    EXPECT_EQ(sorted({2, 1, 1}), 3);
    EXPECT_EQ(sorted({1, 2, 1}), 0);
    EXPECT_EQ(sorted({5, 5}), 1);
    EXPECT_EQ(sorted({7}), 1);

    i32 u[] = {1, 1, 2, 2, 3};
    EXPECT_EQ(arr_unique(u, 5, 4, up), 3u);
    EXPECT_EQ(std::vector<i32>(u, u + 3), (std::vector<i32>{1, 2, 3}));
    // Duplicates are kept behind, where an owner can free them.
    std::vector<i32> rest(u + 3, u + 5);
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest, (std::vector<i32>{1, 2}));
    EXPECT_EQ(arr_unique(u, 1, 4, up), 1u);

    i32 s[] = {10, 20, 30};
    cmp_fn f = cmp2_val_get_find_proc(15);
    EXPECT_EQ(arr_bsearch((void *)25, s, 3, 4, f), -1);
    EXPECT_EQ(arr_bsearch((void *)5, s, 3, 4, f), -1);
    EXPECT_EQ(arr_bsearch((void *)35, s, 3, 4, f), -1);
    EXPECT_EQ(arr_bsearch((void *)30, s, 3, 4, f), 2);
    EXPECT_EQ(arr_bsearch((void *)10, s, 0, 4, f), -1);
    i32 c[] = {4, 7, 4, 4};
    EXPECT_EQ(arr_find((void *)7, c, 4, 4, f), 1);
    EXPECT_EQ(arr_find((void *)8, c, 4, 4, f), -1);
    EXPECT_EQ(arr_count((void *)4, c, 4, 4, f), 3u);
}

// Elements wider than the swap buffer, sorted by their first word.
struct wide {
    u64 key;
    char pad[200];
};
int cmp_wide(const void *a, const void *b, void *ctx)
{
    ++*(int *)ctx;
    return cmp_puint64(a, b);
}

TEST(Cmp, AgreesWithStdAlgorithms)
{
    std::mt19937_64 rng(99);
    for (int round = 0; round < 200; ++round) {
        size_t n = rng() % (round < 100 ? 40 : 3000);
        u64 range = round % 3 == 0 ? 5 : round % 3 == 1 ? 1000 : UINT64_MAX;
        std::vector<u64> v(n);
        for (auto &x : v) x = rng() % range;
        if (round % 7 == 0) std::sort(v.begin(), v.end());
        if (round % 11 == 0) std::sort(v.rbegin(), v.rend());
        std::vector<u64> ref = v;
        std::sort(ref.begin(), ref.end());

        std::vector<u64> q = v;
        arr_qsort(q.data(), n, 8, cmp_puint64);
        ASSERT_EQ(q, ref) << round;
        if (n < 300) {
            std::vector<u64> b = v;
            arr_bubble_sort(b.data(), n, 8, cmp_puint64);
            ASSERT_EQ(b, ref) << round;
        }
        std::vector<u64> d = v;
        arr_qsort(d.data(), n, 8, cmp_val_get_proc(7, 1));
        ASSERT_TRUE(std::equal(d.begin(), d.end(), ref.rbegin())) << round;

        std::vector<u64> u = ref;
        size_t kept = arr_unique(u.data(), n, 8, cmp_puint64);
        std::vector<u64> ru = ref;
        ru.erase(std::unique(ru.begin(), ru.end()), ru.end());
        ASSERT_EQ(std::vector<u64>(u.begin(), u.begin() + kept), ru);

        for (int probe = 0; probe < 20 && n; ++probe) {
            u64 key = probe % 2 ? ref[rng() % n] : rng() % range;
            i64 at = arr_bsearch((void *)key, ref.data(), n, 8, cmp2_pword);
            auto lb = std::lower_bound(ref.begin(), ref.end(), key);
            if (lb != ref.end() && *lb == key) {
                ASSERT_GE(at, 0);
                EXPECT_EQ(ref[at], key);
            } else {
                EXPECT_EQ(at, -1);
            }
        }
    }

    std::vector<wide> w(500);
    for (auto &x : w) {
        x.key = rng() % 100;
        memset(x.pad, (int)x.key, sizeof x.pad);
    }
    int calls = 0;
    arr_qsort_r(w.data(), w.size(), sizeof(wide), cmp_wide, &calls);
    EXPECT_GT(calls, 0);
    for (size_t i = 0; i < w.size(); ++i) {
        if (i) {
            ASSERT_LE(w[i - 1].key, w[i].key);
        }
        ASSERT_EQ(w[i].pad[0], (char)w[i].key);
        ASSERT_EQ(w[i].pad[199], (char)w[i].key);
    }

    std::vector<std::string> strs;
    for (int i = 0; i < 500; ++i) strs.push_back(std::to_string(rng() % 300));
    std::vector<const char *> ptrs;
    for (auto &s : strs) ptrs.push_back(s.c_str());
    arr_qsort(ptrs.data(), ptrs.size(), sizeof(char *), cmp_val_get_proc(21, 0));
    std::vector<std::string> sorted = strs;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < strs.size(); ++i) ASSERT_EQ(sorted[i], ptrs[i]);
}

}  // namespace
