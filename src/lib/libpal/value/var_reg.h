#pragma once
// Registry core shared by the rvar, fvar and dvar registries: a locked,
// growable array of item pointers kept in registration order. Items are
// owned by the registering module and live as long as the registry.
#include <cstring>

#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_types.h"

struct var_reg {
    os_mutex *lock;
    void **items;
    u64 count;
    u64 capacity;
};

template <typename M>
M *var_reg_new()
{
    static_assert(sizeof(M) == sizeof(var_reg));
    M *r = (M *)os_zalloc(sizeof(M));
    if (!r) return nullptr;
    r->lock = os_mutex_new();
    if (!r->lock) {
        os_free(r);
        return nullptr;
    }
    return r;
}

inline void var_reg_free(var_reg *r)
{
    if (!r) return;
    os_mutex_free(r->lock);
    os_free(r->items);
    os_free(r);
}

// First item whose name (read by name_of) equals name; the caller holds
// the lock.
template <typename T>
T *var_reg_find_locked(var_reg *r, const char *name)
{
    if (!name) return nullptr;
    for (u64 i = 0; i < r->count; ++i) {
        T *it = (T *)r->items[i];
        if (it->name && strcmp(it->name, name) == 0) return it;
    }
    return nullptr;
}

template <typename T>
T *var_reg_find(var_reg *r, const char *name)
{
    if (!r) return nullptr;
    os_mutex_guard g(r->lock);
    return var_reg_find_locked<T>(r, name);
}

inline int var_reg_append_locked(var_reg *r, void *item)
{
    if (r->count == r->capacity) {
        u64 cap = r->capacity ? r->capacity * 2 : 16;
        void **n = (void **)os_realloc(r->items, cap * sizeof(void *));
        if (!n) return -1;
        r->items = n;
        r->capacity = cap;
    }
    r->items[r->count++] = item;
    return 0;
}

// Copies the item pointers under the lock so that listings can call the
// items' functions without holding it. Returns the count; *out is a
// counted allocation (NULL when empty).
inline u64 var_reg_snapshot(var_reg *r, void ***out)
{
    *out = nullptr;
    if (!r) return 0;
    os_mutex_guard g(r->lock);
    if (r->count == 0) return 0;
    void **copy = (void **)os_malloc(r->count * sizeof(void *));
    if (!copy) return 0;
    memcpy(copy, r->items, r->count * sizeof(void *));
    *out = copy;
    return r->count;
}
