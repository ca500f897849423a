#pragma once
// Registry core shared by the rvar, fvar and dvar registries: a locked,
// growable array of item pointers kept in registration order. Items are
// records whose first member is their name (const char *); they are owned
// by the registering module and live as long as the registry.
#include <cstddef>
#include <type_traits>

#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_types.h"
#include "libpal/string/str_buf.h"

struct var_reg {
    os_mutex *lock;
    void **items;
    u64 count;
    u64 capacity;
};

// A registry type M is a var_reg under its own name.
template <typename M>
M *var_reg_new()
{
    static_assert(std::is_base_of_v<var_reg, M> && sizeof(M) == sizeof(var_reg));
    M *r = (M *)os_zalloc(sizeof(M));
    if (!r) return nullptr;
    r->lock = os_mutex_new();
    if (!r->lock) {
        os_free(r);
        return nullptr;
    }
    return r;
}

void var_reg_free(var_reg *r);

// First item named name (case counts), or NULL.
void *var_reg_find_imp(var_reg *r, const char *name);

// Appends item (named name) unless the name is already registered or
// usable is false; each refusal is logged, the second with refused (a
// format taking the name). 0 or -1.
int var_reg_add_imp(var_reg *r, void *item, const char *name, bool usable, const char *refused);

// Copies the item pointers under the lock so that listings can call the
// items' functions without holding it. Returns the count; *out is a
// counted allocation (NULL when empty).
u64 var_reg_snapshot(var_reg *r, void ***out);

template <typename T>
constexpr bool var_reg_item_ok = std::is_standard_layout_v<T> && offsetof(T, name) == 0;

template <typename T>
T *var_reg_find(var_reg *r, const char *name)
{
    static_assert(var_reg_item_ok<T>);
    return (T *)var_reg_find_imp(r, name);
}

template <typename T>
int var_reg_add(var_reg *r, T *item, bool usable, const char *refused)
{
    static_assert(var_reg_item_ok<T>);
    return var_reg_add_imp(r, item, item ? item->name : nullptr, usable, refused);
}

// The text of line(buffer, item) for every item in registration order;
// NULL when the registry is empty or nothing was written.
template <typename T, typename F>
char *var_reg_list(var_reg *r, F line)
{
    void **items;
    u64 n = var_reg_snapshot(r, &items);
    if (n == 0) return nullptr;
    str_buf *b = str_buf_new();
    for (u64 i = 0; b && i < n; ++i) line(b, (T *)items[i]);
    os_free(items);
    return b ? str_buf_detach(b) : nullptr;
}
