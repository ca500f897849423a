#pragma once
// INI backend: the whole file in a dictionary whose keys are section
// names (value NULL) and "section<TAB>key"; comments and blank lines stay
// attached to the entry that follows them.
#include <cstdio>
#include "libpal/env/os_types.h"

struct conf_ops;

// Slots keep the order of the file (the writer's order); lookups go
// through an index of the slots by the keys' hashes.
struct dictionary {
    i32 n;
    i32 size;
    char **val;
    char **key;
    char **comment;
    u32 *hash;
    char *tail_comment;
    u32 *index;       // slot + 1 per cell, 0 for an empty cell
    u32 index_mask;   // cells - 1 (a power of two, at least twice size)
};

dictionary *dictionary_new(int size);
void dictionary_del(dictionary *d);
u32 dictionary_hash(const char *key);
const char *dictionary_get(const dictionary *d, const char *key, const char *def);
const char *dictionary_get_comment(const dictionary *d, const char *key);
int dictionary_set(dictionary *d, const char *key, const char *val, const char *comment);
int dictionary_set_nocomment(dictionary *d, const char *key, const char *val);
int dictionary_set_tail_comment(dictionary *d, const char *text);
int dictionary_unset(dictionary *d, const char *key);
int dictionary_secdel(dictionary *d, const char *s);
int dictionary_secrename(dictionary *d, const char *old_name, const char *new_name);
// 0, -1 when new_key exists, -2 when old_key does not.
int dictionary_rename(dictionary *d, const char *old_key, const char *new_key);
void dictionary_dump(const dictionary *d, FILE *f);

dictionary *iniparser_load(const char *path);
void iniparser_freedict(dictionary *d);
const char *iniparser_getstring(const dictionary *d, const char *key, const char *def);
long iniparser_getlongint(const dictionary *d, const char *key, long notfound);
int iniparser_getint(const dictionary *d, const char *key, int notfound);
double iniparser_getdouble(const dictionary *d, const char *key, double notfound);
int iniparser_getboolean(const dictionary *d, const char *key, int notfound);
int iniparser_find_entry(const dictionary *d, const char *entry);
int iniparser_getnsec(const dictionary *d);
const char *iniparser_getsecname(const dictionary *d, int n);
int iniparser_getsecnkeys(const dictionary *d, const char *s);
const char **iniparser_getseckeys(const dictionary *d, const char *s, const char **keys);
int iniparser_set(dictionary *d, const char *entry, const char *val);
int iniparser_unset(dictionary *d, const char *entry);
int iniparser_delsec(dictionary *d, const char *s);
int iniparser_secrename(dictionary *d, const char *old_name, const char *new_name);
void iniparser_dump(const dictionary *d, FILE *f);
// The INI text of d; an entry that has no line the loader reads back as it
// is (see iniparser_write_ini) is written as it stands.
void iniparser_dump_ini(const dictionary *d, FILE *f);
void iniparser_dumpsection_ini(const dictionary *d, const char *s, int index, FILE *f);
// The INI text of d into f (NULL: only checked), every line one that the
// loader reads back as it is, within its 1023 characters. 0, or -1 when an
// entry has no such line: nothing is written then, and *section and *key
// (when given) name it, pointing into d (key NULL for a section header).
int iniparser_write_ini(const dictionary *d, FILE *f, const char **section, const char **key);
void iniparser_set_error_callback(int (*cb)(const char *fmt, ...));

const conf_ops *ini_conf_ops_get(void);
int ini_conf_match(const char *path);
void *ini_conf_open(const char *path, int create);
int ini_conf_close(void *ctx);
const char *ini_conf_get(void *ctx, const char *section, const char *key, const char *def);
int ini_conf_set(void *ctx, const char *section, const char *key, const char *value);
int ini_conf_rename_key(void *ctx, const char *section, const char *old_key, const char *new_key);
int ini_conf_dump(void *ctx);
int ini_conf_save(void *ctx);
