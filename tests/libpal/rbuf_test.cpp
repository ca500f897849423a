#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/memory/rbuf.h"

namespace {

std::string block_text(int i, size_t len)
{
    std::string s(len, 'a' + (char)(i % 26));
    memcpy(s.data(), &i, sizeof i < len ? sizeof i : len);
    return s;
}

TEST(Rbuf, GeometryAndRefusedSizes)
{
    rbuf *r = rbuf_init(100, 48);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->BlockSize, 50u);
    EXPECT_EQ(r->MaxQueueSize, 2u);
    EXPECT_EQ(r->bs_byte, 2);
    rbuf_exit(r);

    {
        testutil::log_capture cap;
        EXPECT_EQ(rbuf_init(100, 49), nullptr);
        EXPECT_TRUE(cap.has("MaxQueueSize=1 <2 error\n"));
        EXPECT_EQ(rbuf_init(1000, 2), nullptr);
        EXPECT_TRUE(cap.has("expr[block_size>2 && block_size<=UINT16_MAX]: assert failed\n"));
        EXPECT_EQ(rbuf_init(2, 100), nullptr);
        EXPECT_TRUE(cap.has("expr[all_size>2]: assert failed\n"));
        // A block size near 2^32 must not wrap to a tiny slot.
        EXPECT_EQ(rbuf_init(1 << 20, 0xFFFFFFFEu), nullptr);
    }

    r = rbuf_init(1048576, 65536);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->bs_byte, 4);
    EXPECT_EQ(r->BlockSize, 65540u);
    EXPECT_EQ(r->MaxQueueSize, 15u);
    std::vector<char> big(65536, 'z'), out(65536);
    EXPECT_EQ(rbuf_write(r, big.data(), big.size()), 0);
    EXPECT_EQ(rbuf_read(r, out.data(), out.size()), 65536);
    EXPECT_EQ(out, big);
    rbuf_exit(r);
}

TEST(Rbuf, FullRingDropsOldestAndCountsIt)
{
    rbuf *r = rbuf_init(100, 48);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(rbuf_write(r, "first-block", 11), 0);
    EXPECT_EQ(rbuf_write(r, "second", 6), 0);
    EXPECT_EQ(rbuf_write(r, "third!!", 7), 0);
    EXPECT_EQ(rbuf_get_drop_count(r), 1u);
    rbuf_stat st;
    ASSERT_EQ(rbuf_get_stat(r, &st), 0);
    EXPECT_EQ(st.drop_bytes, 11u);
    EXPECT_EQ(st.write_count, 3u);
    EXPECT_EQ(st.write_bytes, 24u);
    // Dropped bytes leave the pending count, so it matches what is queued.
    EXPECT_EQ(r->pending.load(), 13u);

    char buf[48];
    EXPECT_EQ(rbuf_read(r, buf, sizeof buf), 6);
    EXPECT_EQ(std::string(buf, 6), "second");
    EXPECT_EQ(rbuf_read(r, buf, sizeof buf), 7);
    EXPECT_EQ(std::string(buf, 7), "third!!");
    EXPECT_EQ(rbuf_read(r, buf, sizeof buf), 0);
    EXPECT_EQ(r->pending.load(), 0u);
    EXPECT_EQ(rbuf_is_empty(r), 1);
    rbuf_exit(r);
}

TEST(Rbuf, SizeChecksReserveNothing)
{
    testutil::log_capture cap;
    rbuf *r = rbuf_init(1000, 100);
    ASSERT_NE(r, nullptr);
    std::vector<char> b(101, 'x');
    EXPECT_EQ(rbuf_write(r, b.data(), 100), 0);
    EXPECT_EQ(rbuf_write(r, b.data(), 101), -1);
    EXPECT_TRUE(cap.has("expr[size>0 && size<=ctx->BlockSize-ctx->bs_byte]: assert failed\n"));
    EXPECT_EQ(rbuf_write(r, b.data(), 0), -1);
    EXPECT_EQ(rbuf_alloc_lock(r, 101), nullptr);
    EXPECT_EQ(rbuf_write(r, nullptr, 5), -1);
    EXPECT_TRUE(cap.has("expr[block!=NULL]: assert failed\n"));
    rbuf_stat st;
    rbuf_get_stat(r, &st);
    EXPECT_EQ(st.write_count, 1u);

    // A reserved block is visible to readers once the lock is released.
    void *p = rbuf_alloc_lock(r, 3);
    ASSERT_NE(p, nullptr);
    memcpy(p, "abc", 3);
    rbuf_unlock(r);

    char out[100];
    EXPECT_EQ(rbuf_read(r, out, 99), -1);
    EXPECT_TRUE(cap.has("expr[len+ctx->bs_byte>=ctx->BlockSize]: assert failed\n"));
    EXPECT_EQ(rbuf_read_raw(r, out, 101), -1);
    EXPECT_TRUE(cap.has("expr[len>=ctx->BlockSize]: assert failed\n"));
    EXPECT_EQ(rbuf_read_imp(nullptr, out, 100, 1, 0), -1);
    EXPECT_TRUE(cap.has("expr[h!=NULL]: assert failed\n"));
    EXPECT_EQ(rbuf_read(r, nullptr, 100), -1);
    EXPECT_EQ(rbuf_exit(nullptr), -1);
    EXPECT_EQ(rbuf_clear(nullptr), -1);
    EXPECT_EQ(rbuf_get_drop_count(nullptr), 0u);

    EXPECT_EQ(rbuf_read(r, out, 100), 100);
    EXPECT_EQ(rbuf_read(r, out, 100), 3);
    EXPECT_EQ(std::string(out, 3), "abc");
    rbuf_exit(r);
}

std::vector<std::string> g_cb_seen;
void collect(const void *p, u64 n)
{
    g_cb_seen.emplace_back((const char *)p, (size_t)n);
}

TEST(Rbuf, ReadModes)
{
    rbuf *r = rbuf_init(1000, 98);  // 10 slots of 100 bytes
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 4; ++i) rbuf_write(r, block_text(i, 5).data(), 5);

    // Raw: a buffer of exactly one slot takes one block, however short.
    char raw[300];
    EXPECT_EQ(rbuf_read_raw(r, raw, 100), 7);
    u16 n;
    memcpy(&n, raw, 2);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(raw + 2, 5), block_text(0, 5));
    // Room is judged by whole slots: 200 bytes take all three short blocks.
    EXPECT_EQ(rbuf_read_raw(r, raw, 200), 21);

    // Multi: payloads packed back to back.
    for (int i = 4; i < 8; ++i) rbuf_write(r, block_text(i, 5).data(), 5);
    char multi[300];
    // 110 bytes: a block is taken while room + prefix still holds a slot.
    EXPECT_EQ(rbuf_read_multi(r, multi, 110), 15);
    EXPECT_EQ(std::string(multi, 5), block_text(4, 5));
    EXPECT_EQ(std::string(multi + 10, 5), block_text(6, 5));

    // Callback: everything queued, result 0; an empty ring still counts a call.
    g_cb_seen.clear();
    EXPECT_EQ(rbuf_read_cb(r, collect), 0);
    ASSERT_EQ(g_cb_seen.size(), 1u);
    EXPECT_EQ(g_cb_seen[0], block_text(7, 5));
    rbuf_stat before, after;
    rbuf_get_stat(r, &before);
    EXPECT_EQ(rbuf_read_cb(r, collect), 0);
    rbuf_get_stat(r, &after);
    EXPECT_EQ(after.read_count, before.read_count + 1);
    EXPECT_EQ(after.read_bytes, 40u);
    rbuf_exit(r);
}

TEST(Rbuf, ClearDropsPendingAndKeepsWorking)
{
    rbuf *r = rbuf_init(1000, 98);
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 15; ++i) rbuf_write(r, "0123456789", 10);
    EXPECT_EQ(rbuf_is_full(r), 1);
    EXPECT_EQ(rbuf_clear(r), 0);
    EXPECT_EQ(r->pending.load(), 0u);
    EXPECT_EQ(rbuf_is_empty(r), 1);
    EXPECT_EQ(rbuf_is_full(r), 0);
    rbuf_stat st;
    rbuf_get_stat(r, &st);
    EXPECT_EQ(st.write_count + st.drop_count + st.read_count, 0u);
    // An empty ring makes a reader wait for its time-out, not return at once.
    char out[100];
    u64 t0 = os_mono_ms();
    EXPECT_EQ(rbuf_read_timeout(r, out, sizeof out, 60), 0);
    EXPECT_GE(os_mono_ms() - t0, 50u);
    rbuf_write(r, "x", 1);
    EXPECT_EQ(rbuf_read(r, out, sizeof out), 1);
    rbuf_exit(r);
}

TEST(Rbuf, WriteWaitTimesOutOrGetsRoom)
{
    rbuf *r = rbuf_init(300, 98);  // 3 slots: full at 2 queued blocks
    ASSERT_NE(r, nullptr);
    rbuf_write(r, "a", 1);
    EXPECT_EQ(rbuf_write_wait(r, "b", 1, 0), 0);
    EXPECT_EQ(rbuf_is_full(r), 1);
    EXPECT_EQ(rbuf_write_wait(r, "c", 1, 30), -2);

    std::thread reader([r] {
        os_msleep(20);
        char out[100];
        rbuf_read(r, out, sizeof out);
    });
    EXPECT_EQ(rbuf_write_wait(r, "d", 1, 10000), 0);
    reader.join();
    char out[100];
    EXPECT_EQ(rbuf_read(r, out, sizeof out), 1);
    EXPECT_EQ(out[0], 'b');
    EXPECT_EQ(rbuf_read(r, out, sizeof out), 1);
    EXPECT_EQ(out[0], 'd');
    EXPECT_EQ(rbuf_get_drop_count(r), 0u);
    rbuf_exit(r);
}

TEST(Rbuf, EventWaitSignalAndTimeout)
{
    os_event *ev = os_event_new();
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(os_event_wait(ev, 0), -2);
    EXPECT_EQ(os_event_reset(ev), 0);
    std::atomic<bool> woken{false};
    std::thread w([&] {
        EXPECT_EQ(os_event_wait(ev, OS_WAIT_FOREVER), 0);
        woken = true;
    });
    // The event keeps no state: signal until the waiter has been reached.
    for (int i = 0; i < 2000 && !woken; ++i) {
        os_event_signal(ev);
        os_msleep(5);
    }
    w.join();
    EXPECT_TRUE(woken);
    os_event_del(ev);
    os_event_del(nullptr);
}

// Random operations against a model of the ring: the queued blocks, the
// counters and the invariants must agree after every step.
TEST(Rbuf, MatchesModelUnderRandomOperations)
{
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        u32 block = 3 + rng() % 200;
        u64 all = (block + 2) * (2 + rng() % 12) + rng() % 50;
        rbuf *r = rbuf_init(all, block);
        ASSERT_NE(r, nullptr);
        std::deque<std::string> model;
        u64 drops = 0, writes = 0;
        std::vector<char> out(block + 2 + 4 * (block + 2));
        for (int step = 0; step < 400; ++step) {
            int op = rng() % 10;
            if (op < 5) {
                std::string b = block_text(step, 1 + rng() % block);
                ASSERT_EQ(rbuf_write(r, b.data(), b.size()), 0);
                ++writes;
                model.push_back(b);
                if (model.size() > r->MaxQueueSize) {
                    model.pop_front();
                    ++drops;
                }
            } else if (op < 7) {
                i64 n = rbuf_read(r, out.data(), block);
                if (model.empty()) {
                    ASSERT_EQ(n, 0);
                } else {
                    ASSERT_EQ(std::string(out.data(), (size_t)n), model.front());
                    model.pop_front();
                }
            } else if (op < 9) {
                i64 n = rbuf_read_multi(r, out.data(), out.size() - 2);
                std::string got(out.data(), (size_t)n), want;
                u64 room = out.size() - 2;
                while (!model.empty() && room + 2 >= r->BlockSize) {
                    want += model.front();
                    room -= model.front().size();
                    model.pop_front();
                }
                ASSERT_EQ(got, want);
            } else if (rng() % 8 == 0) {
                rbuf_clear(r);
                model.clear();
                drops = writes = 0;
            }
            u64 pending = 0;
            for (auto &b : model) pending += b.size();
            ASSERT_EQ(r->pending.load(), pending);
            ASSERT_EQ(r->blocks, model.size());
            ASSERT_LE(r->blocks, r->MaxQueueSize);
            ASSERT_LE(r->read_idx, r->write_idx);
            ASSERT_EQ(rbuf_get_drop_count(r), drops);
            ASSERT_EQ(r->stat.write_count, writes);
        }
        rbuf_exit(r);
    }
}

// Several writers and one waiting reader: below capacity nothing is lost;
// a waiting reader never sleeps through a write.
TEST(RbufConcurrency, WritersAndWaitingReaderLoseNothing)
{
    constexpr int kWriters = 4, kEach = 2000;
    rbuf *r = rbuf_init((u64)(64 + 2) * kWriters * kEach + 1000, 64);
    ASSERT_NE(r, nullptr);
    std::atomic<int> got{0};
    std::vector<int> seen(kWriters * kEach, 0);
    std::thread reader([&] {
        char buf[64];
        while (got < kWriters * kEach) {
            i64 n = rbuf_read_timeout(r, buf, sizeof buf, 5000);
            if (n == 0) break;  // a lost wake-up would end here
            int id;
            memcpy(&id, buf, sizeof id);
            ++seen[id];
            ++got;
        }
    });
    std::vector<std::thread> ws;
    for (int w = 0; w < kWriters; ++w)
        ws.emplace_back([r, w] {
            for (int i = 0; i < kEach; ++i) {
                int id = w * kEach + i;
                std::string b = block_text(id, 8 + id % 50);
                rbuf_write(r, b.data(), b.size());
                if (i % 256 == 0) std::this_thread::yield();
            }
        });
    for (auto &t : ws) t.join();
    reader.join();
    EXPECT_EQ(got.load(), kWriters * kEach);
    for (int v : seen) ASSERT_EQ(v, 1);
    EXPECT_EQ(rbuf_get_drop_count(r), 0u);
    rbuf_exit(r);
}

// Above capacity every block is either read or counted as dropped.
TEST(RbufConcurrency, OverflowIsCountedExactly)
{
    constexpr int kWriters = 4, kEach = 3000;
    rbuf *r = rbuf_init(20 * 34, 32);
    ASSERT_NE(r, nullptr);
    std::atomic<bool> done{false};
    u64 read_blocks = 0;
    std::thread reader([&] {
        char buf[32 * 8];
        while (true) {
            bool last = done.load();
            i64 n;
            while ((n = rbuf_read_imp(r, buf, sizeof buf, RBUF_READ_MULTI, 1)) > 0)
                read_blocks += (u64)n / 16;
            if (last) break;
        }
    });
    std::vector<std::thread> ws;
    for (int w = 0; w < kWriters; ++w)
        ws.emplace_back([r] {
            for (int i = 0; i < kEach; ++i) rbuf_write(r, "0123456789abcdef", 16);
        });
    for (auto &t : ws) t.join();
    done = true;
    reader.join();
    rbuf_stat st;
    rbuf_get_stat(r, &st);
    EXPECT_EQ(st.write_count, (u64)kWriters * kEach);
    EXPECT_EQ(read_blocks + st.drop_count, st.write_count);
    EXPECT_EQ(st.drop_bytes, st.drop_count * 16);
    EXPECT_EQ(r->pending.load(), 0u);
    rbuf_exit(r);
}

}  // namespace
