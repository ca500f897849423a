#pragma once
// Named threads with explicit stack sizes. Threads started here block
// SIGINT and SIGTERM (the main thread takes them) and have their name
// registered for the log while they run.
#include <pthread.h>
#include "libpal/env/os_types.h"

constexpr u32 OS_THREAD_STACK_DEFAULT = 0x40000;

// The low 32 bits of the result are the exit code handed to a joiner.
typedef i64 (*os_thread_proc)(void *arg);

struct os_thread;

os_thread *os_thread_init2(const char *name, os_thread_proc func, void *arg, u32 stack_size,
                           const u64 *extra);
os_thread *os_thread_init(const char *name, os_thread_proc func, void *arg, u32 stack_size);
// As os_thread_init, on stack memory the caller provides: stack_size bytes
// at stack (page-aligned; a guard page below it is the caller's). The C
// library neither keeps nor frees that memory: the caller may reuse or
// unmap it once the thread has been joined, and never before.
os_thread *os_thread_init_stack(const char *name, os_thread_proc func, void *arg, void *stack,
                                size_t stack_size);

// Waits for the thread to end, at most timeout_ms (below 0: no limit).
// 0 with the exit code in *code, or -1 (time-out, a join of the calling
// thread itself, or a failed join), logged. A thread that could not be
// joined is detached: it releases its resources when it ends.
int os_thread_join(os_thread *thread, int timeout_ms, int *code);
// Detaches the thread unless it was joined, and releases the handle.
void os_thread_free(os_thread *thread);
// Never signals: a thread cannot be killed without ending the process.
// Logs and returns -1.
int os_thread_kill(os_thread *thread);
// os_thread_join, then os_thread_free in every case; the join's result.
int os_thread_wait_kill_exit(os_thread *thread, int timeout_ms, int *code);
[[noreturn]] void os_thread_exit(int code);

// Condition variables whose timed waits count on the monotonic clock, the
// clock of os_mono_ms.
void os_cond_init_mono(pthread_cond_t *cond);
// Waits on cond (m held) until os_mono_ms reaches deadline_ms; the result
// of pthread_cond_timedwait (ETIMEDOUT once the deadline has passed).
int os_cond_wait_until(pthread_cond_t *cond, pthread_mutex_t *m, u64 deadline_ms);
