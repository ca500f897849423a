#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_thread"
#include "libpal/os/os_thread.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/string/str_safe.h"

// The handle is shared by its owner and the running thread; whoever lets
// go last frees it. done/code tell a timed join that the thread returned.
struct os_thread {
    pthread_t id;
    u32 joined;
    u32 detached;
    std::atomic<u32> refs;
    pthread_mutex_t lock;
    pthread_cond_t cond;  // CLOCK_MONOTONIC
    u32 done;
    i32 code;
};

namespace {

struct start_rec {
    char name[256];
    os_thread_proc func;
    void *arg;
    u64 extra[2];
    os_thread *thread;
};

thread_local bool t_exit_set = false;
thread_local i32 t_exit_code = 0;

void handle_release(os_thread *t)
{
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    pthread_cond_destroy(&t->cond);
    pthread_mutex_destroy(&t->lock);
    os_free(t);
}

void detach_once(os_thread *t)
{
    if (t->joined || t->detached) return;
    pthread_detach(t->id);
    t->detached = 1;
}

// Runs when the thread function returns or the thread calls
// os_thread_exit (pthread_exit unwinds the stack).
struct exit_guard {
    os_thread *t;
    i32 code = 0;
    ~exit_guard()
    {
        if (t_exit_set) code = t_exit_code;
        os_thread_name_del();
        pthread_mutex_lock(&t->lock);
        t->done = 1;
        t->code = code;
        pthread_cond_broadcast(&t->cond);
        pthread_mutex_unlock(&t->lock);
        handle_release(t);
    }
};

void *os_thread_entry(void *p)
{
    start_rec *r = (start_rec *)p;
    os_thread_proc func = r->func;
    void *arg = r->arg;
    os_thread *t = r->thread;
    os_thread_name_set(r->name);
    os_free(r);
    exit_guard g{t};
    os_panic_altstack crash_stack;  // released before a joiner hears of the end
    i64 res = func(arg);
    g.code = (i32)res;
    return (void *)(intptr_t)g.code;
}

}  // namespace

namespace {

// Starts a thread with stack_size bytes of stack, taken from stack_mem
// when it is given, else from the C library.
os_thread *start(const char *name, os_thread_proc func, void *arg, size_t stack_size, const u64 *extra,
                 void *stack_mem)
{
    OS_CHECK_RET(func, nullptr);
    start_rec *r = (start_rec *)os_zalloc(sizeof(start_rec));
    if (!r) return nullptr;
    str_safecopy_trunc(r->name, sizeof r->name, name ? name : "");
    r->func = func;
    r->arg = arg;
    if (extra) {
        r->extra[0] = extra[0];
        r->extra[1] = extra[1];
    }
    os_thread *t = (os_thread *)os_zalloc(sizeof(os_thread));
    if (!t) {
        os_free(r);
        return nullptr;
    }
    pthread_mutex_init(&t->lock, nullptr);
    os_cond_init_mono(&t->cond);
    t->refs.store(2);  // the owner and the thread
    r->thread = t;

    size_t stack = stack_size ? stack_size : OS_THREAD_STACK_DEFAULT;
    if (stack < (size_t)PTHREAD_STACK_MIN) stack = PTHREAD_STACK_MIN;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stack_mem)
        pthread_attr_setstack(&attr, stack_mem, stack_size);
    else
        pthread_attr_setstacksize(&attr, stack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);

    // The new thread inherits the mask: SIGINT and SIGTERM go to the main
    // thread, never to a worker.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int rc = pthread_create(&t->id, &attr, os_thread_entry, r);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        LOG_AT(3 | LOG_OPT_ERRNO, "pthread_create name:%s error: ", r->name);
        pthread_cond_destroy(&t->cond);
        pthread_mutex_destroy(&t->lock);
        os_free(t);
        os_free(r);
        return nullptr;
    }
    return t;
}

}  // namespace

os_thread *os_thread_init2(const char *name, os_thread_proc func, void *arg, u32 stack_size,
                           const u64 *extra)
{
    return start(name, func, arg, stack_size, extra, nullptr);
}

os_thread *os_thread_init_stack(const char *name, os_thread_proc func, void *arg, void *stack,
                                size_t stack_size)
{
    OS_CHECK_RET(stack && stack_size >= (size_t)PTHREAD_STACK_MIN, nullptr);
    return start(name, func, arg, stack_size, nullptr, stack);
}

os_thread *os_thread_init(const char *name, os_thread_proc func, void *arg, u32 stack_size)
{
    return os_thread_init2(name, func, arg, stack_size, nullptr);
}

int os_thread_join(os_thread *thread, int timeout_ms, int *code)
{
    OS_CHECK_RET(thread, -1);
    if (thread->joined) {
        if (code) *code = thread->code;
        return 0;
    }
    if (thread->detached) {
        LOG_ERR("join of a detached thread\n");
        return -1;
    }
    if (pthread_equal(thread->id, pthread_self())) {
        LOG_ERR("thread cannot join itself; detached\n");
        detach_once(thread);
        return -1;
    }
    if (timeout_ms >= 0) {
        const u64 deadline = os_mono_ms() + (u64)timeout_ms;
        pthread_mutex_lock(&thread->lock);
        while (!thread->done) {
            if (os_cond_wait_until(&thread->cond, &thread->lock, deadline) == ETIMEDOUT) break;
        }
        bool done = thread->done;
        pthread_mutex_unlock(&thread->lock);
        if (!done) {
            LOG_ERR("thread join timeout after %d ms; detached\n", timeout_ms);
            detach_once(thread);
            return -1;
        }
    }
    void *ret = nullptr;
    int rc = pthread_join(thread->id, &ret);
    if (rc != 0) {
        errno = rc;
        LOG_AT(3 | LOG_OPT_ERRNO, "pthread_join error: ");
        detach_once(thread);
        return -1;
    }
    thread->joined = 1;
    thread->code = (i32)(intptr_t)ret;
    if (code) *code = thread->code;
    return 0;
}

void os_thread_free(os_thread *thread)
{
    if (!thread) return;
    detach_once(thread);
    handle_release(thread);
}

int os_thread_kill(os_thread *thread)
{
    OS_CHECK_RET(thread, -1);
    LOG_ERR("a single thread cannot be killed; left running\n");
    return -1;
}

int os_thread_wait_kill_exit(os_thread *thread, int timeout_ms, int *code)
{
    OS_CHECK_RET(thread, -1);
    int r = os_thread_join(thread, timeout_ms, code);
    os_thread_free(thread);
    return r;
}

void os_thread_exit(int code)
{
    t_exit_set = true;
    t_exit_code = code;
    pthread_exit((void *)(intptr_t)code);
}

void os_cond_init_mono(pthread_cond_t *cond)
{
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &ca);
    pthread_condattr_destroy(&ca);
}

int os_cond_wait_until(pthread_cond_t *cond, pthread_mutex_t *m, u64 deadline_ms)
{
    struct timespec ts;
    ts.tv_sec = (time_t)(deadline_ms / 1000);
    ts.tv_nsec = (long)(deadline_ms % 1000) * 1000000L;
    return pthread_cond_timedwait(cond, m, &ts);
}
