#pragma once
// Scoped lock over a plain pthread mutex with a static initialiser
// (nothing to destroy at exit): the small process-wide locks of the
// shell's shared tables and of the debug servers. None is held while a
// command handler runs.
#include <pthread.h>

class libsh_lock {
public:
    explicit libsh_lock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~libsh_lock() { pthread_mutex_unlock(&m_); }
    libsh_lock(const libsh_lock &) = delete;
    libsh_lock &operator=(const libsh_lock &) = delete;
private:
    pthread_mutex_t &m_;
};
