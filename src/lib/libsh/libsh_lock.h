#pragma once
// The small process-wide locks of the shell's shared tables and of the
// debug servers are plain pthread locks with static initialisers (nothing to
// destroy at exit), held through pthread_guard or the guards below; none is
// held while a command handler runs.
#include <pthread.h>

#include "libpal/env/os_mutex.h"

// Scoped shared (libsh_rdlock) or exclusive (libsh_wrlock) hold of a
// rwlock, for the table every command reads: the aliases. Readers never
// wait for each other, so sessions on several cores do not queue behind
// one mutex; a waiting writer goes before new readers
// (LIBSH_RWLOCK_INIT), and no reader takes the same lock twice.
#define LIBSH_RWLOCK_INIT PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP

template <int (*Take)(pthread_rwlock_t *)>
class libsh_rw_guard {
public:
    explicit libsh_rw_guard(pthread_rwlock_t &l) : l_(l) { Take(&l_); }
    ~libsh_rw_guard() { pthread_rwlock_unlock(&l_); }
    libsh_rw_guard(const libsh_rw_guard &) = delete;
    libsh_rw_guard &operator=(const libsh_rw_guard &) = delete;
private:
    pthread_rwlock_t &l_;
};
using libsh_rdlock = libsh_rw_guard<pthread_rwlock_rdlock>;
using libsh_wrlock = libsh_rw_guard<pthread_rwlock_wrlock>;
