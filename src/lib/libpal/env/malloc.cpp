#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/env/malloc"
#include "libpal/env/malloc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "liblog/log.h"
#include "libpal/string/str_buf.h"

namespace os_malloc_detail {
constinit counters g_ctr{};
alignas(64) constinit std::atomic<u32> g_max_size{0};
}  // namespace os_malloc_detail

namespace {

static_assert(OS_MALLOC_HDR % alignof(std::max_align_t) == 0,
              "the header keeps malloc's alignment");

using os_malloc_detail::g_ctr;
using os_malloc_detail::g_max_size;

// The C library gives threads heaps (arenas) of their own, up to eight per
// core. Memory freed at the top of an arena other than the main one stays
// resident after its threads end (malloc_trim cannot shrink it), so a
// burst of connection threads left megabytes behind. The counted allocator
// limits the process to a few heaps when it is first used, unless the
// environment has chosen already (MALLOC_ARENA_MAX, or
// glibc.malloc.arena_max in GLIBC_TUNABLES): four keep what a burst leaves
// behind to about 100 KiB, where one heap made concurrent connection
// threads queue on its lock (connection churn ran at two thirds of the
// speed it has with four). Each thread also has its own cache of small
// blocks.
constexpr int kArenaMax = 4;
pthread_once_t g_arena_once = PTHREAD_ONCE_INIT;

void arena_max_set()
{
#if defined(__GLIBC__)
    if (getenv("MALLOC_ARENA_MAX")) return;
    const char *tunables = getenv("GLIBC_TUNABLES");
    if (tunables && strstr(tunables, "glibc.malloc.arena_max=")) return;
    mallopt(M_ARENA_MAX, kArenaMax);
#endif
}

template <typename T>
inline void raise_max(std::atomic<T> &max, T v)
{
    T cur = max.load(std::memory_order_relaxed);
    while (v > cur && !max.compare_exchange_weak(cur, v, std::memory_order_relaxed)) {
    }
}

// A current value read as it is; the counters go below 0 only when blocks
// are freed twice or were not counted.
inline u64 clamp(i64 v)
{
    return v < 0 ? 0 : (u64)v;
}

}  // namespace

void os_malloc_detail::raise_peaks(i64 count, i64 bytes)
{
    raise_max(g_ctr.max_count, count);
    raise_max(g_ctr.max_bytes, bytes);
}

u64 malloc_counter::load() const
{
    switch (which) {
    case 0: return clamp(g_ctr.count.load(std::memory_order_relaxed));
    case 1: return clamp(g_ctr.bytes.load(std::memory_order_relaxed));
    case 2: return g_max_size.load(std::memory_order_relaxed);
    case 3: return clamp(g_ctr.max_count.load(std::memory_order_relaxed));
    default: return clamp(g_ctr.max_bytes.load(std::memory_order_relaxed));
    }
}

const malloc_counter malloc_count{0};
const malloc_counter malloc_bytes{1};
const malloc_counter malloc_max_size{2};
const malloc_counter malloc_max_count{3};
const malloc_counter malloc_max_bytes{4};

namespace {

inline u32 *hdr_of(const void *p)
{
    return (u32 *)((char *)p - OS_MALLOC_HDR);
}

}  // namespace

// The failure record of _malloc, kept out of the allocation path.
__attribute__((noinline, cold)) void *os_malloc_detail::alloc_failed(size_t size)
{
    log2_printf(nullptr, 3, LOG_MOD, LOG_SRC, __LINE__, "_malloc", "size=%u malloc failed\n",
                (unsigned)size);
    pl_assert_hook();
    return nullptr;
}

void *_malloc(size_t size)
{
    void *p = malloc(size);
    return p ? p : os_malloc_detail::alloc_failed(size);
}

void *_realloc(void *ptr, size_t size)
{
    void *p = realloc(ptr, size);
    if (!p) {
        LOG_ERR("ptr=%p size=%u realloc failed\n", ptr, (unsigned)size);
        pl_assert_hook();
    }
    return p;
}

void *os_zalloc_raw(size_t size)
{
    void *p = _malloc(size);
    if (p) memset(p, 0, size);
    return p;
}

void os_free_raw(void *ptr)
{
    free(ptr);
}

void *os_malloc_detail::alloc_slow(size_t size)
{
    // The recorded size is 32 bits wide: larger requests are refused.
    if (size > UINT32_MAX) return nullptr;
    // The first counted allocation of any size but 0 comes this way.
    pthread_once(&g_arena_once, arena_max_set);
    char *p = (char *)malloc(size + OS_MALLOC_HDR);
    if (__builtin_expect(!p, 0)) return os_malloc_detail::alloc_failed(size + OS_MALLOC_HDR);
    *(u32 *)p = (u32)size;
    raise_max(g_max_size, (u32)size);
    count_add((u32)size);
    return p + OS_MALLOC_HDR;
}

void *os_zalloc(size_t size)
{
    void *p = os_malloc(size);
    if (p) memset(p, 0, size);
    return p;
}

void *os_calloc(size_t count, size_t size)
{
    if (size != 0 && count > UINT32_MAX / size) return nullptr;
    return os_zalloc(count * size);
}

u32 os_malloc_size(const void *ptr)
{
    return ptr ? *hdr_of(ptr) : 0;
}

void *os_realloc(void *ptr, size_t size)
{
    if (!ptr) return os_malloc(size);
    u32 old = *hdr_of(ptr);
    if (size > old) {
        void *n = os_malloc(size);
        if (!n) return nullptr;  // the old block stays valid
        memcpy(n, ptr, old);
        os_free(ptr);
        return n;
    }
    if (size == 0) {
        os_free(ptr);
        return nullptr;
    }
    return ptr;
}

void *os_memdup(const void *src, size_t n)
{
    if (!src) return nullptr;
    void *p = os_malloc(n);
    if (p) memcpy(p, src, n);
    return p;
}

char *os_strdup(const char *s)
{
    if (!s) return nullptr;
    return (char *)os_memdup(s, strlen(s) + 1);
}

size_t os_strnlen(const char *s, size_t n)
{
    const void *z = memchr(s, 0, n);
    return z ? (size_t)((const char *)z - s) : n;
}

char *os_strndup(const char *s, size_t n)
{
    if (!s) return nullptr;
    size_t len = os_strnlen(s, n);
    char *p = (char *)os_malloc(len + 1);
    if (!p) return nullptr;
    memcpy(p, s, len);
    p[len] = 0;
    return p;
}

void *os_malloc_align(size_t size, size_t align)
{
    if (align == 0 || (align & (align - 1)) != 0) return nullptr;
    if (size > UINT32_MAX - align - 7) return nullptr;
    char *blk = (char *)os_malloc(size + align + 7);
    if (!blk) return nullptr;
    uintptr_t a = ((uintptr_t)blk + align + 7) & ~(uintptr_t)(align - 1);
    // a >= blk + 8, so the word before it lies inside the block.
    memcpy((char *)a - sizeof(void *), &blk, sizeof(void *));
    return (void *)a;
}

void os_free_align(void *ptr)
{
    if (!ptr) return;
    void *blk;
    memcpy(&blk, (char *)ptr - sizeof(void *), sizeof(void *));
    os_free(blk);
}

int os_vasprintf_imp(char **out, const char *fmt, va_list ap, os_alloc_any alloc, void *ctx)
{
    *out = nullptr;
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap2);
    va_end(ap2);
    if (n < 0) {
        LOG_ERR("fmt=%s vsnprintf failed\n", fmt);
        pl_assert_hook();
        return -1;
    }
    char *buf = ctx ? (char *)reinterpret_cast<os_alloc_ctx_fn>(alloc)(ctx, (size_t)n + 1)
                    : (char *)reinterpret_cast<os_alloc_fn>(alloc)((size_t)n + 1);
    if (!buf) return -1;
    va_copy(ap2, ap);
    int m = vsnprintf(buf, (size_t)n + 1, fmt, ap2);
    va_end(ap2);
    if (m < 0) {
        if (!ctx && alloc == reinterpret_cast<os_alloc_any>(os_malloc)) os_free(buf);
        else if (!ctx && alloc == reinterpret_cast<os_alloc_any>(_malloc)) free(buf);
        LOG_ERR("fmt=%s vsnprintf2 failed\n", fmt);
        pl_assert_hook();
        return -1;
    }
    *out = buf;
    return n;
}

int os_vasprintf(char **out, const char *fmt, va_list ap)
{
    return os_vasprintf_imp(out, fmt, ap, reinterpret_cast<os_alloc_any>(os_malloc), nullptr);
}

int os_vasprintf_raw(char **out, const char *fmt, va_list ap)
{
    return os_vasprintf_imp(out, fmt, ap, reinterpret_cast<os_alloc_any>(_malloc), nullptr);
}

char *os_asprintf(const char *fmt, ...)
{
    char *out;
    va_list ap;
    va_start(ap, fmt);
    int n = os_vasprintf(&out, fmt, ap);
    va_end(ap);
    return n < 0 ? nullptr : out;
}

char *os_malloc_info(void)
{
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    str_buf_printf(b, "malloc_count=%lu\n", (unsigned long)malloc_count.load());
    str_buf_printf(b, "malloc_bytes=%lu\n", (unsigned long)malloc_bytes.load());
    str_buf_printf(b, "malloc_max_size=%u\n", (unsigned)malloc_max_size.load());
    str_buf_printf(b, "malloc_max_count=%lu\n", (unsigned long)malloc_max_count.load());
    str_buf_printf(b, "malloc_max_bytes=%lu\n", (unsigned long)malloc_max_bytes.load());
    return str_buf_detach(b);
}

int os_malloc_leak_check(void)
{
    return malloc_count.load() > 0 ? 1 : 0;
}
