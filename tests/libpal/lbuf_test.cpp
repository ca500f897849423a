#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "libpal/env/malloc.h"
#include "libpal/memory/lbuf.h"
#include "libpal/memory/mem_alloc_mgr.h"

namespace {

struct counts {
    int inits = 0;
    int frees = 0;
};

void on_init(void *block, void *arg)
{
    (void)block;
    ++((counts *)arg)->inits;
}

void on_free(void *block, void *arg)
{
    (void)block;
    ++((counts *)arg)->frees;
}

TEST(Lbuf, AllocateIterateAndFree)
{
    counts c;
    lbuf_param p = {"blocks", on_init, on_free, &c, 0};
    lbuf *B = lbuf_new(&p);
    ASSERT_NE(B, nullptr);
    EXPECT_STREQ(B->name, "blocks");
    void *a = lbuf_malloc(B, 10);
    void *b = lbuf_malloc0(B, 100);
    void *d = lbuf_malloc(B, 1);
    ASSERT_TRUE(a && b && d);
    EXPECT_EQ((uintptr_t)a % 16, 0u);
    EXPECT_EQ((uintptr_t)b % 16, 0u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(((char *)b)[i], 0);
    EXPECT_EQ(c.inits, 3);
    lbuf_free(B, b);
    lbuf_free(B, nullptr);
    EXPECT_EQ(c.frees, 1);
    EXPECT_EQ(B->count, 2u);

    lbuf_iter it;
    lbuf_iter_init(B, &it);
    EXPECT_EQ(lbuf_iter_next(&it), a);
    EXPECT_EQ(lbuf_iter_next(&it), d);
    EXPECT_EQ(lbuf_iter_next(&it), nullptr);

    EXPECT_EQ(lbuf_contains(B, a), 1);
    EXPECT_EQ(lbuf_contains(B, (char *)a + 1), 0);
    EXPECT_EQ(lbuf_contains(B, b), 0);

    lbuf_clear(B);
    EXPECT_EQ(c.frees, 3);
    EXPECT_EQ(B->count, 0u);
    lbuf_iter_init(B, &it);
    EXPECT_EQ(lbuf_iter_next(&it), nullptr);
    lbuf_del(B);
}

TEST(Lbuf, FreeWhileIteratingUnderLock)
{
    lbuf *B = lbuf_new(nullptr);
    ASSERT_NE(B, nullptr);
    for (int i = 0; i < 5; ++i) ASSERT_NE(lbuf_malloc(B, 8), nullptr);
    lbuf_lock(B);
    lbuf_iter it;
    lbuf_iter_init(B, &it);
    int n = 0;
    while (void *p = lbuf_iter_next(&it)) {
        lbuf_free(B, p);
        ++n;
    }
    lbuf_unlock(B);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(B->count, 0u);
    lbuf_del(B);
}

TEST(Lbuf, StringsReallocAndSlab)
{
    lbuf *B = lbuf_new(nullptr);
    char *s = lbuf_strdup(B, "hello");
    EXPECT_STREQ(s, "hello");
    EXPECT_STREQ(lbuf_strndup(B, "hello", 3), "hel");
    EXPECT_STREQ(lbuf_strndup(B, "hi", 10), "hi");
    EXPECT_STREQ(lbuf_asprintf(B, "%d-%s", 42, "x"), "42-x");
    EXPECT_EQ(B->count, 4u);

    char *r = (char *)lbuf_realloc(B, s, 3);
    EXPECT_EQ(r, s);
    r = (char *)lbuf_realloc(B, s, 4000);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "hello");
    EXPECT_EQ(lbuf_contains(B, s), 0);
    EXPECT_EQ(B->count, 4u);
    EXPECT_EQ(lbuf_realloc(B, r, 0), nullptr);
    EXPECT_EQ(B->count, 3u);
    void *fresh = lbuf_realloc(B, nullptr, 16);
    EXPECT_EQ(lbuf_contains(B, fresh), 1);
    // Sizes past the 32-bit limit are refused.
    EXPECT_EQ(lbuf_malloc(B, (size_t)UINT32_MAX), nullptr);
    EXPECT_EQ(lbuf_malloc(B, SIZE_MAX), nullptr);
    EXPECT_EQ(lbuf_slab_malloc(B), nullptr);  // no item size
    lbuf_del(B);

    lbuf_param p = {};
    p.item_size = 24;
    B = lbuf_new(&p);
    void *it = lbuf_slab_malloc0(B);
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(lbuf_block_size(it), 24u);
    lbuf_del(B);
}

TEST(Lbuf, Managers)
{
    EXPECT_EQ(mem_slab_mgr_init(1, nullptr, 16), nullptr);
    EXPECT_EQ(mem_pool_mgr_init(7, nullptr), nullptr);

    mem_alloc_mgr *slab = mem_slab_mgr_init(0, nullptr, 16);
    ASSERT_NE(slab, nullptr);
    EXPECT_NE(mem_mgr_alloc(slab, 0), nullptr);
    EXPECT_NE(mem_mgr_alloc(slab, 16), nullptr);
    // A slab never hands out less than was asked for.
    EXPECT_EQ(mem_mgr_alloc(slab, 17), nullptr);
    EXPECT_EQ(mem_mgr_strdup(slab, "0123456789abcdefX"), nullptr);
    EXPECT_STREQ(mem_mgr_strdup(slab, "short"), "short");
    EXPECT_EQ(slab->hbuf->count, 3u);
    mem_mgr_clear(slab);
    EXPECT_EQ(slab->hbuf->count, 0u);
    mem_mgr_exit(slab);

    mem_alloc_mgr *pool = mem_pool_mgr_init(0, nullptr);
    ASSERT_NE(pool, nullptr);
    char *big = (char *)mem_mgr_alloc(pool, 5000);
    ASSERT_NE(big, nullptr);
    memset(big, 1, 5000);
    mem_mgr_free(pool, big);
    EXPECT_EQ(pool->hbuf->count, 0u);
    EXPECT_NE(mem_mgr_strdup(pool, "left for exit"), nullptr);
    mem_mgr_exit(pool);
}

TEST(LbufConcurrency, HolderAloneSkipsTheMutex)
{
    lbuf *B = lbuf_new(nullptr);
    std::vector<void *> mine;
    for (int i = 0; i < 64; ++i) mine.push_back(lbuf_malloc(B, 32));

    std::atomic<bool> go{false};
    std::thread other([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 2000; ++i) lbuf_free(B, lbuf_malloc(B, 16));
    });
    for (int round = 0; round < 50; ++round) {
        lbuf_lock(B);
        go.store(true);
        // While held, only this thread may touch the list; the other one
        // waits on the mutex.
        lbuf_iter it;
        lbuf_iter_init(B, &it);
        u64 seen = 0;
        while (lbuf_iter_next(&it)) ++seen;
        EXPECT_EQ(seen, B->count);
        if (round % 10 == 9 && !mine.empty()) {
            lbuf_free(B, mine.back());
            mine.pop_back();
        }
        lbuf_unlock(B);
    }
    other.join();
    EXPECT_EQ(B->count, mine.size());
    lbuf_del(B);
}

}  // namespace
