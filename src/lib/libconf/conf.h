#pragma once
// Configuration front end: one handle over a backend chosen by the path
// (the INI backend takes ".ini" and ".vtc"); values are addressed by
// section and key, or by one path text "section:key" (a TAB is looked
// for before the colon).
#include "libpal/env/os_types.h"

struct str_vector;

struct conf_ops {
    int (*match)(const char *path);
    void *(*open)(const char *path, int create);
    int (*close)(void *ctx);
    const char *(*get)(void *ctx, const char *section, const char *key, const char *def);
    int (*set)(void *ctx, const char *section, const char *key, const char *value);
    str_vector *(*sections)(void *ctx);
    str_vector *(*keys)(void *ctx, const char *section);
    int (*del_section)(void *ctx, const char *section);
    int (*del_key)(void *ctx, const char *section, const char *key);
    int (*rename_section)(void *ctx, const char *old_name, const char *new_name);
    int (*rename_key)(void *ctx, const char *section, const char *old_key, const char *new_key);
    int (*dump)(void *ctx);
    int (*save)(void *ctx);
};

struct conf {
    void *ctx;
    const conf_ops *ops;
};

conf *conf_open(const char *path);
conf *conf_create(const char *path);
conf *conf_open_imp(const char *path, int create);
int conf_close(conf *c);

const char *conf_get(conf *c, const char *section, const char *key, const char *def);
int conf_set(conf *c, const char *section, const char *key, const char *value);
str_vector *conf_sections(conf *c);
str_vector *conf_keys(conf *c, const char *section);
int conf_del_section(conf *c, const char *section);
int conf_del_key(conf *c, const char *section, const char *key);
int conf_rename_section(conf *c, const char *old_name, const char *new_name);
int conf_rename_key(conf *c, const char *section, const char *old_key, const char *new_key);
int conf_dump(conf *c);
int conf_save(conf *c);

const char *conf_get_path(conf *c, const char *path, const char *def);
int conf_set_path(conf *c, const char *path, const char *value);
int conf_get_int(conf *c, const char *section, const char *key, int def);
int conf_get_path_int(conf *c, const char *path, int def);
int conf_set_int(conf *c, const char *section, const char *key, int value);
int conf_set_path_int(conf *c, const char *path, int value);
int conf_has_section(conf *c, const char *section);
int conf_has_key(conf *c, const char *section, const char *key);
char *conf_file_get(const char *path, const char *keypath, const char *def, char *out,
                    size_t outsize);
