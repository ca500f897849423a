#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/value/fvar"
#include "libpal/value/fvar.h"

#include "liblog/log.h"
#include "libpal/string/str_buf.h"
#include "libpal/value/var_reg.h"

struct fvar_mgr : var_reg {};

fvar_mgr *fvar_mgr_init(void)
{
    return var_reg_new<fvar_mgr>();
}

int fvar_mgr_exit(fvar_mgr *mgr)
{
    var_reg_free(mgr);
    return 0;
}

fvar_item *fvar_mgr_find(fvar_mgr *mgr, const char *name)
{
    return var_reg_find<fvar_item>(mgr, name);
}

int fvar_mgr_exist(fvar_mgr *mgr, const char *name)
{
    return fvar_mgr_find(mgr, name) ? 1 : 0;
}

int fvar_mgr_add(fvar_mgr *mgr, fvar_item *item)
{
    OS_CHECK_RET(mgr != nullptr && item != nullptr, -1);
    os_mutex_guard g(mgr->lock);
    if (var_reg_find_locked<fvar_item>(mgr, item->name)) {
        LOG_ERR("error: var=%s already exists\n", item->name);
        return -1;
    }
    if (!item->name || !item->handler) {
        LOG_ERR("var=%s init error\n", item->name ? item->name : "");
        return -1;
    }
    return var_reg_append_locked(mgr, item);
}

char *fvar_mgr_show(fvar_mgr *mgr, const char *prefix)
{
    void **items;
    u64 n = var_reg_snapshot(mgr, &items);
    if (n == 0) return nullptr;
    str_buf *b = str_buf_new();
    if (b) {
        for (u64 i = 0; i < n; ++i) {
            fvar_item *it = (fvar_item *)items[i];
            str_buf_printf(b, "%s %s -- %s\n", prefix ? prefix : "", it->name,
                           it->desc ? it->desc : "");
        }
    }
    os_free(items);
    return b ? str_buf_detach(b) : nullptr;
}

int fvar_mgr_call(fvar_mgr *mgr, const char *name, dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    fvar_item *it = fvar_mgr_find(mgr, name);
    if (!it) return -12;
    return it->handler(ctx, argc, argv);
}
