#pragma once
// Registry of typed variables that can be read and set by name.
#include "libpal/env/os_types.h"
#include "libpal/value/value2.h"

constexpr size_t DVAR_VALUE_SIZE = 8192;
constexpr size_t DVAR_ERR_SIZE = 4096;

enum : u32 {
    DVAR_KIND_ENUM = 1,  // range lists the allowed values separated by '|'
};

struct dvar_item {
    const char *name;
    u32 kind;
    const char *range;
    const char *desc;
    int (*set_fn)(const char *value, char *err);     // err: DVAR_ERR_SIZE bytes
    int (*get_fn)(char *buf, size_t size);           // called with DVAR_VALUE_SIZE
    value2 value;
};

struct dvar_mgr;
dvar_mgr *dvar_mgr_init(void);
int dvar_mgr_exit(dvar_mgr *mgr);
dvar_item *dvar_mgr_find(dvar_mgr *mgr, const char *name);
int dvar_mgr_exist(dvar_mgr *mgr, const char *name);
int dvar_mgr_add(dvar_mgr *mgr, dvar_item *item);
char *dvar_mgr_show(dvar_mgr *mgr);
int dvar_mgr_get(dvar_item *item, char *buf);
int dvar_mgr_set(dvar_mgr *mgr, const char *name, const char *value, char *err);
char *dvar_mgr_print(dvar_mgr *mgr);
char *dvar_mgr_dump_json(dvar_mgr *mgr);
