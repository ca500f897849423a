#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "libpal/hash/crc.h"
#include "libpal/hash/rand.h"

namespace {

const char kCheck[] = "123456789";

TEST(Crc, CheckValuesAndContinuation)
{
    EXPECT_EQ(hash_crc8(kCheck, 9, 0), 0xF4);
    EXPECT_EQ(hash_crc16(kCheck, 9, 0), 0xE8FE);  // CRC-16/UMTS 0xFEE8, bytes swapped
    EXPECT_EQ(hash_crc32(kCheck, 9, 0), 0xCBF43926u);
    EXPECT_EQ(hash_crc64(kCheck, 9, 0), 0xE9C6D914C4B8D9CAull);

    std::mt19937 rng(3);
    std::vector<u8> m(777);
    for (auto &b : m) b = (u8)rng();
    for (size_t cut : {0, 1, 7, 8, 9, 400, 776, 777}) {
        EXPECT_EQ(hash_crc8(m.data() + cut, m.size() - cut, hash_crc8(m.data(), cut, 0)),
                  hash_crc8(m.data(), m.size(), 0));
        EXPECT_EQ(hash_crc16(m.data() + cut, m.size() - cut, hash_crc16(m.data(), cut, 0)),
                  hash_crc16(m.data(), m.size(), 0));
        EXPECT_EQ(hash_crc32(m.data() + cut, m.size() - cut, hash_crc32(m.data(), cut, 0)),
                  hash_crc32(m.data(), m.size(), 0));
        EXPECT_EQ(hash_crc64(m.data() + cut, m.size() - cut, hash_crc64(m.data(), cut, 0)),
                  hash_crc64(m.data(), m.size(), 0));
    }

    EXPECT_EQ(hash_crc8(nullptr, 4, 0), 0);
    EXPECT_EQ(hash_crc16(nullptr, 4, 0), 0);
    EXPECT_EQ(hash_crc32(nullptr, 4, 0), 0u);
    EXPECT_EQ(hash_crc64(nullptr, 4, 0), 0u);
    EXPECT_EQ(hash_crc32(kCheck, 0, 0x1234), 0x1234u);
}

TEST(Crc, Crc32AgreesWithZlib)
{
    std::mt19937 rng(11);
    std::vector<u8> m(70000);
    for (auto &b : m) b = (u8)rng();
    for (int round = 0; round < 300; ++round) {
        size_t off = rng() % 16, n = rng() % (round < 100 ? 64 : 65000);
        u32 init = round % 3 ? (u32)rng() : 0;
        ASSERT_EQ(hash_crc32(m.data() + off, n, init), (u32)crc32(init, m.data() + off, (uInt)n))
            << off << " " << n;
    }
}

// RFC 6229 keystream bytes at offsets 0 and 16 (XOR of zeros).
TEST(Rc4, PublishedVectors)
{
    struct vec {
        std::vector<u8> key;
        u8 at0[16];
        u8 at16[16];
    } vecs[] = {
        {{1, 2, 3, 4, 5},
         {0xb2, 0x39, 0x63, 0x05, 0xf0, 0x3d, 0xc0, 0x27, 0xcc, 0xc3, 0x52, 0x4a, 0x0a, 0x11, 0x18, 0xa8},
         {0x69, 0x82, 0x94, 0x4f, 0x18, 0xfc, 0x82, 0xd5, 0x89, 0xc4, 0x03, 0xa4, 0x7a, 0x0d, 0x09, 0x19}},
        {{1, 2, 3, 4, 5, 6, 7},
         {0x29, 0x3f, 0x02, 0xd4, 0x7f, 0x37, 0xc9, 0xb6, 0x33, 0xf2, 0xaf, 0x52, 0x85, 0xfe, 0xb4, 0x6b},
         {0xe6, 0x20, 0xf1, 0x39, 0x0d, 0x19, 0xbd, 0x84, 0xe2, 0xe0, 0xfd, 0x75, 0x20, 0x31, 0xaf, 0xc1}},
        {{1, 2, 3, 4, 5, 6, 7, 8},
         {0x97, 0xab, 0x8a, 0x1b, 0xf0, 0xaf, 0xb9, 0x61, 0x32, 0xf2, 0xf6, 0x72, 0x58, 0xda, 0x15, 0xa8},
         {0x82, 0x63, 0xef, 0xdb, 0x45, 0xc4, 0xa1, 0x86, 0x84, 0xef, 0x87, 0xe6, 0xb1, 0x9e, 0x5b, 0x09}},
    };
    for (auto &v : vecs) {
        rc4_state st;
        rc4_init(&st, v.key.data(), v.key.size());
        u8 zeros[32] = {}, out[32];
        rc4_crypt(&st, zeros, out, 32);
        EXPECT_EQ(memcmp(out, v.at0, 16), 0) << v.key.size();
        EXPECT_EQ(memcmp(out + 16, v.at16, 16), 0) << v.key.size();
    }

    const u8 expect[] = {0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3};
    rc4_state st;
    rc4_init(&st, "Key", 3);
    u8 buf[9];
    memcpy(buf, "Plaintext", 9);
    rc4_crypt(&st, buf, buf, 9);  // in place
    EXPECT_EQ(memcmp(buf, expect, 9), 0);
    rc4_init(&st, "Key", 3);
    rc4_crypt(&st, buf, buf, 9);
    EXPECT_EQ(memcmp(buf, "Plaintext", 9), 0);

    // Every call starts its keystream afresh from the permutation left by
    // the previous one, so two halves differ from one whole.
    rc4_init(&st, "Key", 3);
    u8 whole[18] = {}, halves[18] = {};
    rc4_crypt(&st, whole, whole, 18);
    rc4_init(&st, "Key", 3);
    rc4_crypt(&st, halves, halves, 9);
    rc4_crypt(&st, halves + 9, halves + 9, 9);
    EXPECT_EQ(memcmp(whole, halves, 9), 0);
    EXPECT_NE(memcmp(whole + 9, halves + 9, 9), 0);

    // Missing buffers are refused rather than dereferenced.
    rc4_init(&st, nullptr, 5);
    rc4_init(nullptr, "Key", 3);
    rc4_crypt(&st, nullptr, buf, 9);
    rc4_crypt(&st, buf, nullptr, 9);
    rc4_crypt(nullptr, buf, buf, 9);
}

TEST(Rand, Generators)
{
    rand_xorshift_seed(2);  // state 1
    EXPECT_EQ(rand_xorshift64(), 0x40822041ull);
    // A seed that would leave the state at zero still gives numbers.
    rand_xorshift_seed(1);
    EXPECT_NE(rand_xorshift64(), 0u);
    EXPECT_NE(rand_xorshift32(), 0u);

    char s[9];
    memset(s, 'x', sizeof s);
    rand_alnum_str(s, 9);
    EXPECT_EQ(strlen(s), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(isalnum((unsigned char)s[i]));
    char one[1] = {'z'};
    rand_alnum_str(one, 1);
    EXPECT_EQ(one[0], 'z');

    EXPECT_EQ(rand_range(7, 7), 7u);
    EXPECT_EQ(rand_range(9, 3), 9u);
    for (int i = 0; i < 50; ++i) {
        u32 v = rand_range(10, 20);
        ASSERT_GE(v, 10u);
        ASSERT_LT(v, 20u);
    }
    // A narrow range far above 0xFFFF still answers at once.
    for (int i = 0; i < 50; ++i) {
        u32 v = rand_range(100000, 100010);
        ASSERT_GE(v, 100000u);
        ASSERT_LT(v, 100010u);
    }

    rand_add_seed(1);
    std::vector<u32> a;
    for (int i = 0; i < 100; ++i) a.push_back(rand_add_next());
    rand_add_seed(1);
    for (int i = 0; i < 100; ++i) {
        u32 v = rand_add_next();
        ASSERT_EQ(v, a[i]);
        ASSERT_LT(v, 0x80000000u);
    }
    EXPECT_GT(std::set<u32>(a.begin(), a.end()).size(), 90u);
}

TEST(RandConcurrency, StatesArePerThread)
{
    // Two threads with the same seed see the same sequence: neither
    // disturbs the other's state.
    std::vector<u64> seq[2];
    std::vector<std::thread> ts;
    for (int t = 0; t < 2; ++t)
        ts.emplace_back([&, t] {
            rand_xorshift_seed(12345);
            for (int i = 0; i < 10000; ++i) seq[t].push_back(rand_xorshift64());
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(seq[0], seq[1]);
}

}  // namespace
