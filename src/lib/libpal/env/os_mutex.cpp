#include "libpal/env/os_mutex.h"

#include <pthread.h>

#include "libpal/env/malloc.h"

struct os_mutex {
    pthread_mutex_t m;
};

os_mutex *os_mutex_new(void)
{
    os_mutex *m = (os_mutex *)os_malloc_align(sizeof(os_mutex), 8);
    if (!m) return nullptr;
    if (pthread_mutex_init(&m->m, nullptr) != 0) {
        os_free_align(m);
        return nullptr;
    }
    return m;
}

void os_mutex_free(os_mutex *m)
{
    if (!m) return;
    pthread_mutex_destroy(&m->m);
    os_free_align(m);
}

int os_mutex_lock(os_mutex *m)
{
    return m && pthread_mutex_lock(&m->m) == 0 ? 1 : 0;
}

int os_mutex_unlock(os_mutex *m)
{
    return m && pthread_mutex_unlock(&m->m) == 0 ? 1 : 0;
}

int os_mutex_trylock(os_mutex *m)
{
    return m && pthread_mutex_trylock(&m->m) == 0 ? 1 : 0;
}

os_mutex *os_mutex_new_raw(void)
{
    os_mutex *m = (os_mutex *)os_zalloc_raw(sizeof(os_mutex));
    if (!m) return nullptr;
    pthread_mutex_init(&m->m, nullptr);
    return m;
}

void os_mutex_free_raw(os_mutex *m)
{
    if (!m) return;
    pthread_mutex_destroy(&m->m);
    os_free_raw(m);
}
