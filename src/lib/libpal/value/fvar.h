#pragma once
// Registry of callable functions ("call").
#include "libpal/env/os_types.h"

struct dbgsh_srv_ctx;

struct fvar_item {
    const char *name;
    const char *desc;
    int (*handler)(dbgsh_srv_ctx *ctx, int argc, char **argv);
};

struct fvar_mgr;
fvar_mgr *fvar_mgr_init(void);
int fvar_mgr_exit(fvar_mgr *mgr);
fvar_item *fvar_mgr_find(fvar_mgr *mgr, const char *name);
int fvar_mgr_exist(fvar_mgr *mgr, const char *name);
int fvar_mgr_add(fvar_mgr *mgr, fvar_item *item);
char *fvar_mgr_show(fvar_mgr *mgr, const char *prefix);
int fvar_mgr_call(fvar_mgr *mgr, const char *name, dbgsh_srv_ctx *ctx, int argc, char **argv);
