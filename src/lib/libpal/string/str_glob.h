#pragma once
// Glob matching with alternatives, command-line splitting and joining, and
// checks that names and query parts hold no reserved character.
#include "libpal/env/os_types.h"

int str_wildcard_imp(const char *s, const char *pattern, int nocase);
int str_wildcard(const char *s, const char *pattern);
int str_iwildcard(const char *s, const char *pattern);

char *str_cmd_name(const char *cmd, char *out, size_t outsize);
char *str_cmd_replace_name(const char *cmd, const char *name, char *out, size_t outsize);
// 0, or -1 (out empty) when the joined line does not fit.
int str_args_join(int argc, char *const *argv, char *out, size_t outsize);
// Count first (argv and buf NULL), then split into buffers of that size:
// *argc gets the argument count plus one, *nchars the bytes buf needs.
int str_args_split(const char *cmdline, char **argv, char *buf, int *argc, size_t *nchars);

int str_is_digits(const char *s);
int str_has_multi_colon(const char *s);
int str_is_valid_name(const char *s);
int str_is_valid_query_key(const char *s);
int str_is_valid_query_val(const char *s);

enum : u32 {
    STR_CHK_NOT_EMPTY = 1,
    STR_CHK_NAME = 2,
    STR_CHK_QUERY_KEY = 4,
    STR_CHK_QUERY_VAL = 8,
    STR_CHK_BRACKETS = 16,
};
constexpr size_t STR_CHECK_ERR_SIZE = 4096;
// 1 when s passes every check of flags; else 0 with the reason in err
// (STR_CHECK_ERR_SIZE bytes).
int str_check_name(const char *s, u32 flags, char *err);
