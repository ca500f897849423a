#pragma once
// key=val option tables (the -s option) and the reentrant getopt state
// that shell commands use to parse their own options.
#include "libpal/env/os_types.h"

struct os_opt_kv {
    const char *key;   // matched without regard to case; NULL ends the table
    void *target;      // i32 for type 14, else a text pointer (char *)
    u32 type;
    char *text;        // last value given for the key (counted copy) or NULL
};

int os_opt_kv_get(os_opt_kv *table, const char *arg);
int os_opt_kv_apply(os_opt_kv *table);
int os_opt_kv_set2(os_opt_kv *table, const char *key, const char *value);
int os_opt_kv_free(os_opt_kv *table);

struct getopt_data {
    char *optarg;
    int optind;
    int opterr;
    int optopt;
    // private scan state
    int nextchar;  // offset into argv[optind] of the next option letter, 0 none
    int pad;
    void *priv[4];
};

void getopt_data_init(getopt_data *d);
getopt_data *getopt_data_new(void);
void getopt_data_free(getopt_data *d);

struct getopt_long_opt {
    const char *name;
    int has_arg;  // 0 none, 1 required, 2 optional
    int *flag;
    int val;
};

// POSIX-style parsing with the state in d: scanning stops at the first
// argument that is not an option or after "--". Returns the option
// letter, '?' for an unknown letter or a missing argument (':' when the
// option string starts with ':'), or -1 at the end. Unknown letters are
// reported on standard error when d->opterr is set.
int getopt_r(int argc, char *const argv[], const char *optstring, getopt_data *d);
int getopt_long_r(int argc, char *const argv[], const char *optstring,
                  const getopt_long_opt *longopts, int *longindex, getopt_data *d);
