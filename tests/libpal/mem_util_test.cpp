#include <gtest/gtest.h>
#include <sys/uio.h>

#include <cstring>
#include <string>

#include "libpal/hash/rand.h"
#include "libpal/memory/mem_util.h"

namespace {

TEST(MemUtil, ByteBuffer)
{
    mem_buf b;
    ASSERT_EQ(mem_buf_init(&b, 1), 0);
    EXPECT_EQ(b.capacity, 4096u);
    std::string chunk(5000, 'x');
    ASSERT_EQ(mem_buf_append(&b, chunk.data(), chunk.size()), 0);
    EXPECT_EQ(b.capacity, 12288u);  // 2 * 5001 rounded up
    EXPECT_EQ(b.len, 5000u);
    ASSERT_EQ(mem_buf_append(&b, "yz", 2), 0);
    EXPECT_EQ(memcmp(b.data + 4999, "xyz", 3), 0);
    EXPECT_EQ(mem_buf_set_len(&b, 20000), 0);
    EXPECT_EQ(b.len, 20000u);
    EXPECT_EQ(b.capacity, 20480u);
    EXPECT_EQ(mem_buf_reserve(&b, 100), 0);
    EXPECT_EQ(b.capacity, 20480u);
    EXPECT_EQ(mem_buf_reserve(&b, (u64)1 << 40), -1);
    EXPECT_EQ(mem_buf_append(&b, chunk.data(), (u64)-1), -1);
    EXPECT_EQ(b.len, 20000u);
    mem_buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.capacity, 0u);
}

TEST(MemUtil, ByteOrderAtOddOffsets)
{
    u8 raw[16] = {0xff, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(mem_get_u32(1, raw, 1), 0x01020304u);
    EXPECT_EQ(mem_get_u32(0, raw, 1), 0x04030201u);
    EXPECT_EQ(mem_get_u16(2, raw, 1), 0x0102u);  // any non-zero flag swaps reads
    EXPECT_EQ(mem_get_u64(1, raw, 1), 0x0102030405060708ull);
    mem_put_u16(2, raw, 3, 0x0a0b);  // only 1 swaps writes
    EXPECT_EQ(raw[3], 0x0b);
    EXPECT_EQ(raw[4], 0x0a);
    mem_put_u32(1, raw, 5, 0x11223344);
    EXPECT_EQ(raw[5], 0x11);
    EXPECT_EQ(raw[8], 0x44);
}

TEST(MemUtil, BoundedConcatenation)
{
    char buf[16];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(mem_cat_strs_n(buf, 6, "abc", "defg", "h", nullptr), 6);
    EXPECT_EQ(memcmp(buf, "abc\0d\0", 6), 0);
    EXPECT_EQ(buf[6], '#');
    EXPECT_EQ(mem_cat_strs(buf, 16, "abc", "de", nullptr), 7);
    EXPECT_EQ(memcmp(buf, "abc\0de\0", 7), 0);
    EXPECT_EQ(mem_cat_strs(buf, 6, "abc", "de", nullptr), -1);
    EXPECT_EQ(mem_cat_strs(buf, 7, "abc", "de", nullptr), 7);

    struct iovec iov[3] = {{(void *)"hello", 5}, {(void *)"world", 5}, {(void *)"!!", 2}};
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(mem_gather_str(buf, 16, iov, 3), 12);
    EXPECT_EQ(memcmp(buf, "helloworld!!", 12), 0);
    EXPECT_EQ(mem_gather_str(buf, 11, iov, 3), -1);
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(mem_gather(buf, 8, iov, 3), 8);
    EXPECT_EQ(memcmp(buf, "hellowo\0", 8), 0);
    EXPECT_EQ(buf[8], '#');
    EXPECT_EQ(mem_add_str(buf, 2, "abc", 3), -1);
}

TEST(MemUtil, RandomFill)
{
    u8 buf[32];
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(mem_random(buf, 13), 13);
    int nonzero = 0;
    for (int i = 0; i < 13; ++i) nonzero += buf[i] != 0;
    EXPECT_GT(nonzero, 6);
    for (int i = 13; i < 32; ++i) EXPECT_EQ(buf[i], 0);
    EXPECT_EQ(memory_random_imp(0, buf, 0), 0);
    EXPECT_EQ(memory_random_imp(0, nullptr, 4), -1);
    // Whole generator words first, then the first bytes of one more.
    rand_xorshift_seed(77);
    u64 w[2] = {rand_xorshift64(), rand_xorshift64()};
    rand_xorshift_seed(77);
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(memory_random_imp(0, buf, 13), 13);
    EXPECT_EQ(memcmp(buf, w, 13), 0);
    EXPECT_EQ(buf[13], 0);
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(mem_random_seed(buf, 11), 11);
    EXPECT_EQ(buf[11], 0);
    EXPECT_EQ(mem_init(), 0);
    EXPECT_EQ(1 << mem_page_shift(), mem_page_size());
}

TEST(MemUtil, PointerVector)
{
    mem_ptr v = {};
    EXPECT_EQ(mem_ptr_add(nullptr, nullptr), -1);
    ASSERT_EQ(mem_ptr_init(&v), 0);
    EXPECT_EQ(mem_ptr_resize(&v, 16), -1);
    int x[40];
    for (int i = 0; i < 20; ++i) ASSERT_EQ(mem_ptr_add(&v, &x[i]), 0);
    EXPECT_EQ(v.capacity, 33u);
    EXPECT_EQ(v.slots[20], nullptr);
    EXPECT_EQ(mem_ptr_del(&v, 20), -1);
    EXPECT_EQ(mem_ptr_del(&v, 0), 0);
    EXPECT_EQ(v.slots[0], &x[1]);
    EXPECT_EQ(v.slots[19], nullptr);
    EXPECT_EQ(mem_ptr_remove(&v, &x[5]), 4);
    EXPECT_EQ(mem_ptr_remove(&v, &x[5]), -1);
    mem_ptr_del_head(&v, 3);
    EXPECT_EQ(v.count, 15u);
    EXPECT_EQ(v.slots[0], &x[4]);
    EXPECT_EQ(v.slots[15], nullptr);
    mem_ptr_del_head(&v, 100);
    EXPECT_EQ(v.count, 0u);
    v.flags = MEM_PTR_UNIQUE;
    mem_ptr_add(&v, &x[1]);
    mem_ptr_add(&v, &x[1]);
    EXPECT_EQ(v.count, 1u);
    mem_ptr_clear(&v);
    EXPECT_EQ(v.slots[0], nullptr);
    EXPECT_EQ(mem_ptr_reset(&v), 0);
    EXPECT_EQ(v.capacity, 16u);
    mem_ptr_exit(&v);
}

TEST(MemUtil, SortAndFindShortcuts)
{
    char a[] = "pear", b[] = "apple", c[] = "fig";
    char *strs[] = {a, b, c};
    arr_sort_strs(strs, 3);
    EXPECT_STREQ(strs[0], "apple");
    EXPECT_EQ(arr_find_str(strs, 3, "pear"), 2);
    EXPECT_EQ(arr_find_str(strs, 3, "kiwi"), -1);

    struct rec {
        const char *name;
    } r[3] = {{"zeta"}, {"alpha"}, {"mid"}};
    void *recs[] = {&r[0], &r[1], &r[2]};
    arr_sort_by_name(recs, 3);
    EXPECT_EQ(recs[0], &r[1]);
    EXPECT_EQ(arr_find_by_name(recs, 3, "zeta"), 2);
    EXPECT_EQ(arr_find_by_name(recs, 3, "beta"), -1);

    u64 n[] = {~0ull, 3, 1ull << 63, 0};
    arr_sort_u64(n, 4);
    EXPECT_EQ(n[0], 0u);
    EXPECT_EQ(n[3], ~0ull);
}

}  // namespace
