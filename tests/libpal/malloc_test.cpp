#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"

namespace {

struct counters {
    u64 count, bytes;
    static counters now() { return {malloc_count.load(), malloc_bytes.load()}; }
};

TEST(Malloc, CountsBlocksAndBytesAndKeepsPeaks)
{
    counters before = counters::now();
    void *a = os_malloc(100);
    void *b = os_zalloc(28);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(malloc_count.load(), before.count + 2);
    EXPECT_EQ(malloc_bytes.load(), before.bytes + 128);
    EXPECT_GE(malloc_max_bytes.load(), before.bytes + 128);
    EXPECT_GE(malloc_max_size.load(), 100u);
    for (int i = 0; i < 28; ++i) EXPECT_EQ(((char *)b)[i], 0);
    os_free(a);
    os_free(b);
    EXPECT_EQ(malloc_count.load(), before.count);
    EXPECT_EQ(malloc_bytes.load(), before.bytes);
    EXPECT_GE(malloc_max_count.load(), before.count + 2);
    os_free(nullptr);
    EXPECT_EQ(malloc_count.load(), before.count);
}

TEST(Malloc, ZeroSizeIsUsableAndCounted)
{
    counters before = counters::now();
    void *p = os_malloc(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(malloc_count.load(), before.count + 1);
    EXPECT_EQ(malloc_bytes.load(), before.bytes);
    os_free(p);
    EXPECT_EQ(malloc_count.load(), before.count);
}

TEST(Malloc, BlocksAreAlignedLikeMalloc)
{
    std::vector<void *> blocks;
    for (size_t n : {1, 3, 7, 8, 15, 16, 17, 64, 1000}) {
        void *p = os_malloc(n);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % alignof(std::max_align_t), 0u) << n;
        blocks.push_back(p);
    }
    for (void *p : blocks) os_free(p);
}

TEST(Malloc, OversizeRequestsAreRefused)
{
    counters before = counters::now();
    EXPECT_EQ(os_malloc((size_t)UINT32_MAX + 1), nullptr);
    EXPECT_EQ(os_calloc(1u << 20, 1u << 13), nullptr);  // product overflows 32 bits
    EXPECT_EQ(os_calloc(SIZE_MAX, 2), nullptr);
    EXPECT_EQ(malloc_count.load(), before.count);
    void *p = os_calloc(4, 8);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(os_malloc_size(p), 32u);
    os_free(p);
}

TEST(Malloc, ReallocRules)
{
    counters before = counters::now();
    char *p = (char *)os_realloc(nullptr, 10);
    ASSERT_NE(p, nullptr);
    memcpy(p, "123456789", 10);
    // Shrinking keeps the block and its recorded size.
    EXPECT_EQ(os_realloc(p, 4), p);
    EXPECT_EQ(os_malloc_size(p), 10u);
    char *q = (char *)os_realloc(p, 100);
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q, "123456789");
    EXPECT_EQ(malloc_bytes.load(), before.bytes + 100);
    // A growth that cannot be had keeps the old block valid.
    EXPECT_EQ(os_realloc(q, (size_t)UINT32_MAX + 10), nullptr);
    EXPECT_STREQ(q, "123456789");
    EXPECT_EQ(os_realloc(q, 0), nullptr);
    EXPECT_EQ(malloc_count.load(), before.count);
    EXPECT_EQ(malloc_bytes.load(), before.bytes);
}

TEST(Malloc, StringCopies)
{
    EXPECT_EQ(os_strdup(nullptr), nullptr);
    char *s = os_strndup("abcdef", 3);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(os_malloc_size(s), 4u);
    os_free(s);
    EXPECT_EQ(os_strnlen("abc", 10), 3u);
    EXPECT_EQ(os_strnlen("abcdef", 4), 4u);
    char *d = (char *)os_memdup("x\0y", 3);
    EXPECT_EQ(memcmp(d, "x\0y", 3), 0);
    os_free(d);
}

TEST(Malloc, FormattedAllocation)
{
    char *s = os_asprintf("%d%c", 42, 'x');
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "42x");
    EXPECT_EQ(os_malloc_size(s), 4u);
    os_free(s);
    // A long text is measured and formatted twice from one argument list.
    std::string big(5000, 'q');
    char *t = os_asprintf("<%s|%s>", big.c_str(), "end");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(strlen(t), 5006u);
    EXPECT_EQ(std::string(t).substr(5000), "q|end>");
    os_free(t);
}

TEST(Malloc, AlignedBlocks)
{
    for (size_t align : {8, 16, 64, 4096}) {
        counters before = counters::now();
        void *p = os_malloc_align(33, align);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % align, 0u);
        void *blk;
        memcpy(&blk, (char *)p - sizeof(void *), sizeof blk);
        EXPECT_EQ(os_malloc_size(blk), 33 + align + 7);
        memset(p, 0xab, 33);
        os_free_align(p);
        EXPECT_EQ(malloc_count.load(), before.count);
    }
    os_free_align(nullptr);
    EXPECT_EQ(os_malloc_align(8, 3), nullptr);
}

TEST(Malloc, InfoText)
{
    char *info = os_malloc_info();
    ASSERT_NE(info, nullptr);
    std::string s(info);
    os_free(info);
    EXPECT_EQ(s.rfind("malloc_count=", 0), 0u);
    for (const char *k : {"\nmalloc_bytes=", "\nmalloc_max_size=", "\nmalloc_max_count=",
                          "\nmalloc_max_bytes="})
        EXPECT_NE(s.find(k), std::string::npos) << k;
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 5);
}

// In a fresh process (whose peaks are where its counts are): the peaks
// rise exactly to what was outstanding at the top, and stay.
int peaks_of_five_blocks()
{
    const u64 c0 = malloc_count, b0 = malloc_bytes;
    if (malloc_max_count != c0 || malloc_max_bytes != b0) return 2;
    void *p[5];
    for (int i = 0; i < 5; ++i) p[i] = os_malloc(100 + (size_t)i);
    for (void *q : p) os_free(q);
    if (malloc_count != c0 || malloc_bytes != b0) return 3;
    return malloc_max_count == c0 + 5 && malloc_max_bytes == b0 + 510 ? 0 : 1;
}

// Four threads hold five 64-byte blocks each at the same time, then free them.
int peaks_of_four_threads()
{
    const u64 c0 = malloc_count, b0 = malloc_bytes;
    if (malloc_max_count != c0 || malloc_max_bytes != b0) return 2;
    std::atomic<int> holding{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            void *p[5];
            for (auto &q : p) q = os_malloc(64);
            holding++;
            const u64 deadline = os_mono_ms() + 10000;
            while (holding.load() < 4 && os_mono_ms() < deadline) os_msleep(1);
            for (void *q : p) os_free(q);
        });
    for (auto &t : ts) t.join();
    if (holding.load() != 4 || malloc_count != c0) return 3;
    return malloc_max_count == c0 + 20 && malloc_max_bytes == b0 + 20 * 64 ? 0 : 1;
}

TEST(MallocDeathTest, PeaksAreExact)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(peaks_of_five_blocks()), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exit(peaks_of_four_threads()), testing::ExitedWithCode(0), "");
}

TEST(MallocConcurrency, CountersBalanceAcrossThreads)
{
    counters before = counters::now();
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([] {
            for (int i = 0; i < 20000; ++i) {
                void *p = os_malloc(24 + (i & 63));
                os_free(p);
            }
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(malloc_count.load(), before.count);
    EXPECT_EQ(malloc_bytes.load(), before.bytes);
}


#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Heaps (arenas) of the C library: one "<heap nr=" each in malloc_info.
int heap_count()
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    if (!f) return -1;
    malloc_info(0, f);
    fclose(f);
    int n = 0;
    for (const char *p = buf; (p = strstr(p, "<heap nr=")); ++p) ++n;
    free(buf);
    return n;
}

// The heaps in use while eight threads that allocated are all alive, after
// the counted allocator's first use (which sets the process's default).
int heaps_of_eight_threads()
{
    os_free(os_malloc(8));
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&] {
            void *p = malloc(200);
            asm volatile("" : : "g"(p) : "memory");  // the block is made
            ready++;
            const u64 deadline = os_mono_ms() + 10000;
            while (!go.load() && os_mono_ms() < deadline) os_msleep(1);
            free(p);
        });
    const u64 deadline = os_mono_ms() + 10000;
    while (ready.load() < kThreads && os_mono_ms() < deadline) os_msleep(1);
    int n = ready.load() == kThreads ? heap_count() : -1;
    go.store(true);
    for (auto &t : ts) t.join();
    return n;
}

// Each case runs in a fresh process: the choice is made once, at start.
void expect_heaps(const char *var, const char *value, bool few_heaps)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    unsetenv("MALLOC_ARENA_MAX");
    unsetenv("GLIBC_TUNABLES");
    if (var) setenv(var, value, 1);
    if (few_heaps)
        EXPECT_EXIT(exit(heaps_of_eight_threads() <= 4 ? 0 : 1), testing::ExitedWithCode(0), "") << var;
    else
        EXPECT_EXIT(exit(heaps_of_eight_threads() > 4 ? 0 : 1), testing::ExitedWithCode(0), "") << var;
    if (var) unsetenv(var);
}

// Threads share at most four heaps unless the environment chose otherwise.
TEST(MallocDeathTest, ThreadsShareFourHeapsUnlessTheEnvironmentChooses)
{
    expect_heaps(nullptr, nullptr, true);
    expect_heaps("MALLOC_ARENA_MAX", "16", false);
    expect_heaps("GLIBC_TUNABLES", "glibc.malloc.arena_max=16", false);
}
#endif

}  // namespace
