#pragma once
// Counted allocator: every block carries its requested size in a 16-byte
// header and process-wide counters follow allocations and releases.
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include "libpal/env/os_types.h"

// Process-wide counters. The current values are shared atomics, so that
// the peaks are exact: an allocation that takes a current value past its
// peak raises the peak to it.
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
// 1 when counted blocks are outstanding, else 0. It closes nothing: the
// blocks of open log outputs (a syslog buffer, a pcap file) count, so a
// check at the end comes after log2_exit(NULL), as pl_exit does it.
int os_malloc_leak_check(void);


// The allocation and release paths of the counted allocator, inlined into
// their callers: one call of the C allocator and the shared counters. A new
// largest size, a new peak and failures go the slow way.
namespace os_malloc_detail {

// The counters and their peaks share one cache line: the allocation that
// has just updated the current values finds the peaks beside them.
struct alignas(64) counters {
    std::atomic<i64> count;
    std::atomic<i64> bytes;
    std::atomic<i64> max_count;
    std::atomic<i64> max_bytes;
};
extern counters g_ctr;
// Largest request seen; read by every allocation, written rarely: on a line
// of its own.
extern std::atomic<u32> g_max_size;
void *alloc_slow(size_t size);
void *alloc_failed(size_t size);
void raise_peaks(i64 count, i64 bytes);

inline void count_add(u32 size)
{
    i64 c = g_ctr.count.fetch_add(1, std::memory_order_relaxed) + 1;
    i64 b = g_ctr.bytes.fetch_add(size, std::memory_order_relaxed) + (i64)size;
    if (__builtin_expect(c > g_ctr.max_count.load(std::memory_order_relaxed) ||
                             b > g_ctr.max_bytes.load(std::memory_order_relaxed), 0))
        raise_peaks(c, b);
}

inline void count_sub(u32 size)
{
    g_ctr.count.fetch_sub(1, std::memory_order_relaxed);
    g_ctr.bytes.fetch_sub(size, std::memory_order_relaxed);
}

}  // namespace os_malloc_detail

inline void *os_malloc(size_t size)
{
    using namespace os_malloc_detail;
    if (__builtin_expect(size > g_max_size.load(std::memory_order_relaxed), 0))
        return alloc_slow(size);
    char *p = (char *)malloc(size + OS_MALLOC_HDR);
    if (__builtin_expect(!p, 0)) return alloc_failed(size + OS_MALLOC_HDR);
    *(u32 *)p = (u32)size;
    count_add((u32)size);
    return p + OS_MALLOC_HDR;
}

inline void os_free(void *ptr)
{
    using namespace os_malloc_detail;
    if (__builtin_expect(!ptr, 0)) return;
    char *h = (char *)ptr - OS_MALLOC_HDR;
    u32 size = *(u32 *)h;
    free(h);
    count_sub(size);
}
