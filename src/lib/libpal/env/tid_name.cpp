#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/env/tid_name"
#include "libpal/env/tid_name.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/basic/avl.h"
#include <pthread.h>
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/hash/crc.h"

namespace {

// Registry: state 0 not made, 1 making failed, 2 ready, 3 closed. The lock
// is static so that it outlives the registry: after os_thread_name_exit
// lookups give the bare thread id and registrations fail.
constexpr u32 kNone = 0, kFailed = 1, kReady = 2, kClosed = 3;
std::atomic<u32> g_state{kNone};
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
avl_tree *g_tree = nullptr;
// Bumped by every change of the registry: a thread's cached text of its
// own name is good while the generation it was made in is current.
std::atomic<u32> g_gen{1};

struct lock_guard : pthread_guard {
    lock_guard() : pthread_guard(&g_lock) {}
};

// The calling thread's text of its own name ("name_tid", or the bare id)
// and the generation it was made in; 0 while none is made or while it is
// being rewritten, so that a signal handler never reads half a text.
struct own_name {
    std::atomic<u32> gen;
    size_t len;
    char text[96];
};
thread_local own_name t_own;

void own_put(u32 gen, const char *name, u32 tid)
{
    t_own.gen.store(0, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    int n = name ? snprintf(t_own.text, sizeof t_own.text, "%s_%lu", name, (unsigned long)tid)
                 : snprintf(t_own.text, sizeof t_own.text, "%lu", (unsigned long)tid);
    t_own.len = n < 0 ? 0 : (size_t)n < sizeof t_own.text ? (size_t)n : sizeof t_own.text - 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_own.gen.store(gen, std::memory_order_relaxed);
}

// The ids, read once. A child of fork has other ones: its only thread (the
// one that forked) forgets them, and its own name text with them.
std::atomic<u32> g_pid{0};
thread_local u32 t_tid = 0;

void forget_ids()
{
    g_pid.store(0, std::memory_order_relaxed);
    t_tid = 0;
    t_own.gen.store(0, std::memory_order_relaxed);
}

void watch_fork()
{
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, forget_ids); });
}

}  // namespace

u32 os_gettid(void)
{
    if (!t_tid) {
        watch_fork();
        t_tid = (u32)syscall(SYS_gettid);
    }
    return t_tid;
}

u32 os_getpid(void)
{
    u32 p = g_pid.load(std::memory_order_relaxed);
    if (p) return p;
    watch_fork();
    p = (u32)syscall(SYS_getpid);
    g_pid.store(p, std::memory_order_relaxed);
    return p;
}

int os_thread_name_init(void)
{
    u32 st = g_state.load();
    if (st == kReady || st == kFailed) return 0;
    // Callers racing on first use wait here until the registry is made.
    // A closed one is made anew only by this call (the runtime's start),
    // never by a lookup or a registration.
    lock_guard g;
    st = g_state.load();
    if (st == kReady || st == kFailed) return 0;
    avl_param p = {};
    p.flags = AVL_VAL_STR;
    avl_tree *t = avl_new(&p);
    if (!t) {
        g_state.store(kFailed);
        LOG_ERR("avl_new filed\n");
        return -1;
    }
    g_tree = t;
    g_state.store(kReady);
    return 0;
}

int os_thread_name_set(const char *name)
{
    u32 tid = os_gettid();
    if (g_state.load() == kNone) os_thread_name_init();
    if (g_state.load() != kReady || !name) return -1;
    struct {
        i64 sec;
        u32 nsec;
        u32 zero;
    } stamp = {};
    os_time now;
    os_time_now(&now);
    stamp.sec = now.sec;
    stamp.nsec = now.nsec;
    static_assert(sizeof stamp == 16);
    char text[64];
    snprintf(text, sizeof text, "%s_%04x", name, hash_crc16(&stamp, sizeof stamp, 0));
    lock_guard g;
    if (g_state.load() != kReady) return -1;
    avl_insert(g_tree, (const void *)(uintptr_t)tid, text);
    own_put(g_gen.fetch_add(1) + 1, text, tid);
    return 0;
}

char *os_thread_name_get(char *buf, size_t size)
{
    if (!buf || size == 0) return buf;
    u32 gen = g_gen.load();
    if (t_own.gen.load(std::memory_order_relaxed) != gen) {
        u32 tid = os_gettid();
        if (g_state.load() == kNone) os_thread_name_init();
        lock_guard g;
        const char *name = nullptr;
        if (g_state.load() == kReady) name = (const char *)avl_find(g_tree, (const void *)(uintptr_t)tid);
        own_put(gen, name, tid);
    }
    size_t n = t_own.len < size ? t_own.len : size - 1;
    memcpy(buf, t_own.text, n);
    buf[n] = 0;
    return buf;
}

u32 os_thread_name_gen(void)
{
    return g_gen.load(std::memory_order_acquire);
}

char *os_thread_name_get_cached(char *buf, size_t size)
{
    if (!buf || size == 0) return buf;
    if (t_own.gen.load(std::memory_order_relaxed)) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        size_t n = t_own.len < size ? t_own.len : size - 1;
        memcpy(buf, t_own.text, n);
        buf[n] = 0;
        return buf;
    }
    char t[16];
    int k = 0;
    for (u32 v = os_gettid(); k == 0 || v; v /= 10) t[k++] = (char)('0' + v % 10);
    size_t n = 0;
    while (k && n + 1 < size) buf[n++] = t[--k];
    buf[n] = 0;
    return buf;
}

int os_thread_name_del(void)
{
    u32 tid = os_gettid();
    if (g_state.load() != kReady) return 0;
    lock_guard g;
    if (g_state.load() == kReady) avl_remove(g_tree, (const void *)(uintptr_t)tid);
    own_put(g_gen.fetch_add(1) + 1, nullptr, tid);
    return 0;
}

void os_thread_name_exit(void)
{
    lock_guard g;
    u32 st = g_state.exchange(kClosed);
    g_gen.fetch_add(1);
    if (st == kReady && g_tree) {
        avl_free(g_tree);
        g_tree = nullptr;
    }
}
