#pragma once
// Counted allocator: every block carries its requested size in a 16-byte
// header and process-wide counters follow allocations and releases.
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include "libpal/env/os_types.h"

// Process-wide counters. Each thread counts into its own shard, so the
// allocator never contends on a shared cache line; a counter's value is the
// sum over all shards (exact once the threads' updates are done), and the
// peaks are sampled from those sums.
struct malloc_counter {
    int which;
    u64 load() const;
    operator u64() const { return load(); }
};
extern const malloc_counter malloc_count;      // blocks outstanding
extern const malloc_counter malloc_bytes;      // bytes outstanding
extern const malloc_counter malloc_max_size;   // largest single request
extern const malloc_counter malloc_max_count;  // peak of malloc_count
extern const malloc_counter malloc_max_bytes;  // peak of malloc_bytes

// Bytes in front of every counted block (keeps malloc's alignment).
constexpr size_t OS_MALLOC_HDR = 16;

void *os_malloc(size_t size);
void *os_zalloc(size_t size);
void *os_calloc(size_t count, size_t size);
void *os_realloc(void *ptr, size_t size);
void os_free(void *ptr);
void *os_memdup(const void *src, size_t n);
char *os_strdup(const char *s);
char *os_strndup(const char *s, size_t n);
size_t os_strnlen(const char *s, size_t n);
void *os_malloc_align(size_t size, size_t align);
void os_free_align(void *ptr);
// Recorded size of a counted block.
u32 os_malloc_size(const void *ptr);

// Uncounted variants; freed with os_free_raw.
void *_malloc(size_t size);
void *_realloc(void *ptr, size_t size);
void *os_zalloc_raw(size_t size);
void os_free_raw(void *ptr);

// Formatted allocation. The allocator is called as fn(size) when ctx is
// NULL, else as fn(ctx, size).
typedef void *(*os_alloc_fn)(size_t size);
typedef void *(*os_alloc_ctx_fn)(void *ctx, size_t size);
typedef void (*os_alloc_any)(void);  // either of the two, cast
int os_vasprintf_imp(char **out, const char *fmt, va_list ap, os_alloc_any alloc, void *ctx);
int os_vasprintf(char **out, const char *fmt, va_list ap);
int os_vasprintf_raw(char **out, const char *fmt, va_list ap);
char *os_asprintf(const char *fmt, ...) OS_PRINTF(1, 2);

char *os_malloc_info(void);
int os_malloc_leak_check(void);


// The allocation and release paths of the counted allocator, inlined into
// their callers: one system call of the C allocator and the thread's own
// counters. First use on a
// thread, a new largest size, peak sampling and failures go the slow way.
namespace os_malloc_detail {

struct alignas(64) shard {
    std::atomic<i64> count;
    std::atomic<i64> bytes;
    std::atomic<u32> used;
    u32 since_sample;
    i64 high_count;  // this shard's highs at its last sample
    i64 high_bytes;
};
extern thread_local constinit shard *t_shard;
extern std::atomic<u32> g_max_size;
void *alloc_slow(size_t size);
void *alloc_failed(size_t size);
void free_slow(void *ptr);
void sample(shard *s, i64 count, i64 bytes);

// One block more in the thread's shard; the peaks are sampled when the shard
// reaches a new high, at most once per 64 allocations of the thread.
inline void shard_add(shard *s, u32 size)
{
    i64 c = s->count.load(std::memory_order_relaxed) + 1;
    i64 b = s->bytes.load(std::memory_order_relaxed) + (i64)size;
    s->count.store(c, std::memory_order_relaxed);
    s->bytes.store(b, std::memory_order_relaxed);
    if (__builtin_expect(++s->since_sample >= 64, 0) && (c > s->high_count || b > s->high_bytes))
        sample(s, c, b);
}

inline void shard_sub(shard *s, u32 size)
{
    s->count.store(s->count.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    s->bytes.store(s->bytes.load(std::memory_order_relaxed) - size, std::memory_order_relaxed);
}

}  // namespace os_malloc_detail

inline void *os_malloc(size_t size)
{
    using namespace os_malloc_detail;
    shard *s = t_shard;
    if (__builtin_expect(!s || size > g_max_size.load(std::memory_order_relaxed), 0))
        return alloc_slow(size);
    char *p = (char *)malloc(size + OS_MALLOC_HDR);
    if (__builtin_expect(!p, 0)) return alloc_failed(size + OS_MALLOC_HDR);
    *(u32 *)p = (u32)size;
    shard_add(s, (u32)size);
    return p + OS_MALLOC_HDR;
}

inline void os_free(void *ptr)
{
    using namespace os_malloc_detail;
    shard *s = t_shard;
    if (__builtin_expect(!ptr || !s, 0)) {
        free_slow(ptr);
        return;
    }
    char *h = (char *)ptr - OS_MALLOC_HDR;
    u32 size = *(u32 *)h;
    free(h);
    shard_sub(s, size);
}
