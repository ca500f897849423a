#include "libpal/value/fvar.h"

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
    return var_reg_add(mgr, item, item && item->handler, "var=%s init error\n");
}

char *fvar_mgr_show(fvar_mgr *mgr, const char *prefix)
{
    if (!prefix) prefix = "";
    return var_reg_list<fvar_item>(mgr, [prefix](str_buf *b, const fvar_item *it) {
        str_buf_printf(b, "%s %s -- %s\n", prefix, it->name, it->desc ? it->desc : "");
    });
}

int fvar_mgr_call(fvar_mgr *mgr, const char *name, dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    fvar_item *it = fvar_mgr_find(mgr, name);
    if (!it) return -12;
    return it->handler(ctx, argc, argv);
}
