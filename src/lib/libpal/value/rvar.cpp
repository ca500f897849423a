#include "libpal/value/rvar.h"

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
    return var_reg_add(mgr, item, item && item->handler, "var=%s init error\n");
}

char *rvar_mgr_show(rvar_mgr *mgr)
{
    return var_reg_list<rvar_item>(mgr, [](str_buf *b, const rvar_item *it) {
        str_buf_printf(b, "show %s -- %s\n", it->name, it->desc ? it->desc : "");
    });
}

char *rvar_mgr_call(rvar_mgr *mgr, const char *name)
{
    rvar_item *it = rvar_mgr_find(mgr, name);
    return it ? it->handler() : nullptr;
}
