#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/value/rvar"
#include "libpal/value/rvar.h"

#include "liblog/log.h"
#include "libpal/string/str_buf.h"
#include "libpal/value/var_reg.h"

struct rvar_mgr : var_reg {};

rvar_mgr *rvar_mgr_init(void)
{
    return var_reg_new<rvar_mgr>();
}

int rvar_mgr_exit(rvar_mgr *mgr)
{
    var_reg_free(mgr);
    return 0;
}

rvar_item *rvar_mgr_find(rvar_mgr *mgr, const char *name)
{
    return var_reg_find<rvar_item>(mgr, name);
}

int rvar_mgr_exist(rvar_mgr *mgr, const char *name)
{
    return rvar_mgr_find(mgr, name) ? 1 : 0;
}

int rvar_mgr_add(rvar_mgr *mgr, rvar_item *item)
{
    OS_CHECK_RET(mgr != nullptr && item != nullptr, -1);
    os_mutex_guard g(mgr->lock);
    if (var_reg_find_locked<rvar_item>(mgr, item->name)) {
        LOG_ERR("error: var=%s already exists\n", item->name);
        return -1;
    }
    if (!item->name || !item->handler) {
        LOG_ERR("var=%s init error\n", item->name ? item->name : "");
        return -1;
    }
    return var_reg_append_locked(mgr, item);
}

char *rvar_mgr_show(rvar_mgr *mgr)
{
    void **items;
    u64 n = var_reg_snapshot(mgr, &items);
    if (n == 0) return nullptr;
    str_buf *b = str_buf_new();
    if (b) {
        for (u64 i = 0; i < n; ++i) {
            rvar_item *it = (rvar_item *)items[i];
            str_buf_printf(b, "show %s -- %s\n", it->name, it->desc ? it->desc : "");
        }
    }
    os_free(items);
    return b ? str_buf_detach(b) : nullptr;
}

char *rvar_mgr_call(rvar_mgr *mgr, const char *name)
{
    rvar_item *it = rvar_mgr_find(mgr, name);
    return it ? it->handler() : nullptr;
}
