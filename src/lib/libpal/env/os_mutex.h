#pragma once
// Mutex object used by every lock of the framework. Lock functions return
// 1 on success.
#include <pthread.h>

#include "libpal/env/os_types.h"

struct os_mutex;

os_mutex *os_mutex_new(void);
void os_mutex_free(os_mutex *m);
int os_mutex_lock(os_mutex *m);
int os_mutex_unlock(os_mutex *m);
int os_mutex_trylock(os_mutex *m);

// Scoped lock over an os_mutex (NULL is ignored).
class os_mutex_guard {
public:
    explicit os_mutex_guard(os_mutex *m) : m_(m) { if (m_) os_mutex_lock(m_); }
    ~os_mutex_guard() { if (m_) os_mutex_unlock(m_); }
    os_mutex_guard(const os_mutex_guard &) = delete;
    os_mutex_guard &operator=(const os_mutex_guard &) = delete;
private:
    os_mutex *m_;
};

// A mutex outside the counted allocator, for objects that live until the
// process ends (the default log context).
os_mutex *os_mutex_new_raw(void);
void os_mutex_free_raw(os_mutex *m);

// Scoped lock over a plain pthread mutex, for locks that must outlive every
// allocation (statically initialised ones) or live inside a record.
class pthread_guard {
public:
    explicit pthread_guard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~pthread_guard() { pthread_mutex_unlock(m_); }
    pthread_guard(const pthread_guard &) = delete;
    pthread_guard &operator=(const pthread_guard &) = delete;
private:
    pthread_mutex_t *m_;
};
