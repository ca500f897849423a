#pragma once
// Configuration front end: one handle over a backend chosen by the path
// (the INI backend takes ".ini" and ".vtc"); values are addressed by
// section and key, or by one path text "section:key" (a TAB is looked
// for before the colon).
#include "libpal/env/os_types.h"

struct str_map;
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
// The decimal value of a setting's text (white space and a sign first,
// digits up to the first other character, 0 without any), cut to 32 bits.
// A text that is empty, not all digits or out of range is warned about as
// "NAME=TEXT is not a number, 0 is used" ("is not a whole number", "is out
// of range"), in a record of the function func; the value stays the same.
int conf_value_int(const char *text, const char *name, const char *func);
int conf_set_path_int(conf *c, const char *path, int value);
int conf_has_section(conf *c, const char *section);
int conf_has_key(conf *c, const char *section, const char *key);
char *conf_file_get(const char *path, const char *keypath, const char *def, char *out,
                    size_t outsize);

str_vector *conf_sections_match(conf *c, const char *pattern);
str_vector *conf_get_list(conf *c, const char *section);
str_map *conf_get_map(conf *c, const char *section);
int conf_list_add(conf *c, const char *section, const char *value);
int conf_list_del(conf *c, const char *section, const char *value);
int conf_list_clear(conf *c, const char *section);

// Why the last open on this thread failed ("" after a success). Backends
// record the reason with conf_error_set.
const char *conf_last_error(void);
void conf_error_set(const char *fmt, ...) OS_PRINTF(1, 2);
// While set, backends leave their load-failure records out of the log:
// the caller reports conf_last_error itself.
int conf_error_quiet(void);

// Loads path once for the start-up readers: until conf_hold_release, every
// conf_open of the same path shares this load. NULL when it does not load
// (reason in conf_last_error, no failure records logged).
conf *conf_hold(const char *path);
void conf_hold_release(void);
