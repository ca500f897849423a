#pragma once
// Registry of read-only report items ("show").
#include "libpal/env/os_types.h"

struct rvar_item {
    const char *name;
    const char *desc;
    char *(*handler)(void);  // heap text the caller frees, or NULL
};

struct rvar_mgr;
rvar_mgr *rvar_mgr_init(void);
int rvar_mgr_exit(rvar_mgr *mgr);
rvar_item *rvar_mgr_find(rvar_mgr *mgr, const char *name);
int rvar_mgr_exist(rvar_mgr *mgr, const char *name);
int rvar_mgr_add(rvar_mgr *mgr, rvar_item *item);
char *rvar_mgr_show(rvar_mgr *mgr);
char *rvar_mgr_call(rvar_mgr *mgr, const char *name);
