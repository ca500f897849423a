#include "libpal/hash/rand.h"

#include <atomic>
#include <cstdlib>

#include "libpal/env/tid_name.h"

namespace {

constexpr u64 kXorshiftFallback = 0x9E3779B97F4A7C15ull;

// The generators keep their state per thread; a thread that never seeded
// starts from the last process-wide seed mixed with its thread id.
std::atomic<u64> g_seed{kXorshiftFallback};
thread_local u64 t_xs = 0;

struct add_state {
    u32 w[31];
    u32 i = 3, j = 0;
    bool seeded = false;
};
thread_local add_state t_add;

u64 &xs_state()
{
    if (t_xs == 0) {
        t_xs = g_seed.load(std::memory_order_relaxed) ^ ((u64)os_gettid() * 0xff51afd7ed558ccdull);
        if (t_xs == 0) t_xs = kXorshiftFallback;
    }
    return t_xs;
}

}  // namespace

void rand_xorshift_seed(u64 seed)
{
    u64 s = seed - 1;
    if (s == 0) s = kXorshiftFallback;  // a zero state would stay zero
    t_xs = s;
    g_seed.store(s, std::memory_order_relaxed);
}

u64 rand_xorshift64(void)
{
    u64 &x = xs_state();
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

u32 rand_xorshift32(void)
{
    return (u32)rand_xorshift64();
}

u32 rand_lcg32(void)
{
    u32 r1 = (u32)rand();
    u32 r2 = (u32)rand();
    return (r1 << 16) | (r2 & 0xFFFF);
}

u64 rand_lcg64(void)
{
    u64 hi = rand_lcg32();
    u64 lo = rand_lcg32();
    return hi << 32 | lo;
}

u32 rand_range(u32 min, u32 max)
{
    if (max <= min) return min;
    // A narrow range far above 0xFFFF is almost never hit by a draw: after
    // a bounded number of misses the draw is folded into the range.
    for (int tries = 0;; ++tries) {
        u32 v = rand_lcg32();
        if (min <= v && v < max) return v;
        i64 low = (i64)(v & 0xFFFF);
        if ((i64)(i32)min <= low && low < (i64)(i32)max) return v & 0xFFFF;
        if (tries >= 64) return min + v % (max - min);
    }
}

void rand_alnum_str(char *out, size_t size)
{
    static constexpr char kChars[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    if (!out || size <= 1) return;
    for (size_t i = 0; i + 1 < size; ++i) out[i] = kChars[(u32)rand_xorshift64() % 62];
    out[size - 1] = 0;
}

void rand_add_seed(u64 seed)
{
    add_state &a = t_add;
    a.i = 3;
    a.j = 0;
    u64 s = seed;
    for (u32 &w : a.w) {
        s = s * 6364136223846793005ull + 1;
        w = (u32)(s >> 32);
    }
    a.w[0] |= 1;
    a.seeded = true;
}

u32 rand_add_next(void)
{
    add_state &a = t_add;
    if (!a.seeded) rand_add_seed(g_seed.load(std::memory_order_relaxed));
    a.w[a.i] += a.w[a.j];
    u32 r = a.w[a.i] >> 1;
    a.i = a.i == 30 ? 0 : a.i + 1;
    a.j = a.j == 30 ? 0 : a.j + 1;
    return r;
}
