// Ring buffer write + read of 100-byte blocks against a std::mutex +
// std::deque<std::vector<char>> queue doing the same work, on one thread and
// with one writer and one reader thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "libpal/memory/rbuf.h"

namespace {

constexpr size_t kBlock = 100;
constexpr u64 kRing = 1 << 20;

struct deque_queue {
    std::mutex m;
    std::deque<std::vector<char>> q;
    void write(const char *p, size_t n)
    {
        std::lock_guard<std::mutex> g(m);
        q.emplace_back(p, p + n);
    }
    size_t read(char *out, size_t len)
    {
        std::lock_guard<std::mutex> g(m);
        if (q.empty()) return 0;
        size_t n = q.front().size() < len ? q.front().size() : len;
        memcpy(out, q.front().data(), n);
        q.pop_front();
        return n;
    }
};

void BM_rbuf_write_read(benchmark::State &state)
{
    rbuf *r = rbuf_init(kRing, kBlock);
    char in[kBlock], out[kBlock];
    memset(in, 'x', sizeof in);
    for (auto _ : state) {
        rbuf_write(r, in, sizeof in);
        benchmark::DoNotOptimize(rbuf_read(r, out, sizeof out));
    }
    state.SetItemsProcessed(state.iterations());
    rbuf_exit(r);
}
BENCHMARK(BM_rbuf_write_read);

void BM_deque_write_read(benchmark::State &state)
{
    deque_queue q;
    char in[kBlock], out[kBlock];
    memset(in, 'x', sizeof in);
    for (auto _ : state) {
        q.write(in, sizeof in);
        benchmark::DoNotOptimize(q.read(out, sizeof out));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_deque_write_read);

// One writer thread, the benchmark thread reads until it has every block
// (or, for the ring, until the blocks it got and the ones it dropped add up).
template <class W, class R, class D>
void run_pair(benchmark::State &state, W write, R read, D dropped)
{
    constexpr int kN = 200000;
    for (auto _ : state) {
        std::atomic<bool> go{false};
        std::thread w([&] {
            while (!go.load()) {
            }
            char in[kBlock];
            memset(in, 'y', sizeof in);
            for (int i = 0; i < kN; ++i) write(in, sizeof in);
        });
        go = true;
        char out[kBlock];
        u64 base = dropped();
        for (u64 got = 0; got < (u64)kN;) {
            if (read(out, sizeof out) > 0)
                ++got;
            else if (got + dropped() - base >= (u64)kN)
                break;
        }
        w.join();
    }
    state.SetItemsProcessed(state.iterations() * kN);
}

void BM_rbuf_1w1r(benchmark::State &state)
{
    rbuf *r = rbuf_init(kRing * 32, kBlock);  // room for every block of a round
    run_pair(
        state, [r](const char *p, size_t n) { rbuf_write(r, p, n); },
        [r](char *o, size_t n) { return rbuf_read_timeout(r, o, n, 100); },
        [r] { return rbuf_get_drop_count(r); });
    state.counters["dropped"] = (double)rbuf_get_drop_count(r);
    rbuf_exit(r);
}
BENCHMARK(BM_rbuf_1w1r)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_deque_1w1r(benchmark::State &state)
{
    deque_queue q;
    run_pair(
        state, [&q](const char *p, size_t n) { q.write(p, n); },
        [&q](char *o, size_t n) { return q.read(o, n); }, [] { return (u64)0; });
}
BENCHMARK(BM_deque_1w1r)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
