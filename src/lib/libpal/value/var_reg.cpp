#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/value/var_reg"
#include "libpal/value/var_reg.h"

#include <cstring>

#include "liblog/log.h"

namespace {

const char *name_of(const void *item)
{
    return *(const char *const *)item;
}

void *find_locked(var_reg *r, const char *name)
{
    if (!name) return nullptr;
    for (u64 i = 0; i < r->count; ++i) {
        const char *n = name_of(r->items[i]);
        if (n && strcmp(n, name) == 0) return r->items[i];
    }
    return nullptr;
}

int append_locked(var_reg *r, void *item)
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

}  // namespace

void var_reg_free(var_reg *r)
{
    if (!r) return;
    os_mutex_free(r->lock);
    os_free(r->items);
    os_free(r);
}

void *var_reg_find_imp(var_reg *r, const char *name)
{
    if (!r) return nullptr;
    os_mutex_guard g(r->lock);
    return find_locked(r, name);
}

int var_reg_add_imp(var_reg *mgr, void *item, const char *name, bool usable, const char *refused)
{
    OS_CHECK_RET(mgr != nullptr && item != nullptr, -1);
    os_mutex_guard g(mgr->lock);
    if (find_locked(mgr, name)) {
        LOG_ERR("error: var=%s already exists\n", name);
        return -1;
    }
    if (!name || !usable) {
        LOG_ERR(refused, name ? name : "");
        return -1;
    }
    return append_locked(mgr, item);
}

u64 var_reg_snapshot(var_reg *r, void ***out)
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
