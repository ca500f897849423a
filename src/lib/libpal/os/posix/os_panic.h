#pragma once
// Crash handling: a report on the fatal signals (SIGILL, SIGABRT, SIGBUS,
// SIGFPE, SIGSEGV), then the end of the process (status 254) or, when dumps
// are set up, the signal's default action with a core file named by the
// kernel's core pattern.
//
// The handler runs on an alternate signal stack, so a thread that ran out
// of stack still reports, and does only async-signal-safe work: the report
// is written with write(2) to standard error and the log file; when the log
// lock can be had within a short wait, it also goes to the hook pair, to
// syslog (formatted by hand and sent on the output's open socket) and to
// the last-log text. Its records reach the bsv outputs (frames, the pcap
// log file, the record rings) through bsv_log_hook_safe.
#include <csignal>
#include <pthread.h>
#include "libpal/env/os_types.h"

// The kernel keeps at most this many bytes of a core pattern.
constexpr size_t OS_CORE_PATTERN_MAX = 127;

int os_panic_init(void);
int os_painc_set_dump_dir(const char *dir, const char *app_name);
int os_panic_init_core_dump(const char *dir, const char *app_name);
void os_panic_set_callback(void (*fn)(void));
void panic_handler(int signo);
// The file the core pattern is written to (NULL: the kernel's
// /proc/sys/kernel/core_pattern). Tests point it at a file of their own.
void os_panic_set_core_pattern_path(const char *path);

// The crash report's wait for a lock that another thread, or the crashing
// thread itself, may hold: try_once(arg) up to 20 times, 10 ms apart, with
// nanosleep alone (async-signal-safe when try_once is). A lock that stays
// taken is given up for good, so that a report waits for each lock once.
bool os_panic_try_lock(const void *lock, bool (*try_once)(void *), void *arg);
// The same over a plain mutex; the caller unlocks it.
bool os_panic_trylock(pthread_mutex_t *m);

// An alternate signal stack for the calling thread while the object lives.
// The thread layer gives one to every thread it starts; os_panic_init gives
// one to the thread that calls it.
class os_panic_altstack {
public:
    os_panic_altstack();
    ~os_panic_altstack();
    os_panic_altstack(const os_panic_altstack &) = delete;
    os_panic_altstack &operator=(const os_panic_altstack &) = delete;
private:
    void *mem_;
    bool set_;
    stack_t old_;  // the stack in place before
};
