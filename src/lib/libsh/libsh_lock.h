#pragma once
// Small process-wide locks of the shell's shared tables. They are plain
// pthread mutexes with static initialisers (nothing to destroy at exit)
// and are never held while a command handler runs.
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
