#pragma once
// Key=value lists (query strings, header lines, command output): lookups,
// edits by set mode, fields and tokens, and boolean words.
#include "libpal/env/os_types.h"

char *str_substr(const char *s, size_t start, size_t length);
int str_to_bool(const char *s);
int str_list_has(const char *list, const char *delimiters, const char *word);
char *str_tok_n(char *s, const char *delimiters, int n);
char *str_tok_n_dup(const char *s, const char *delimiters, int n);
char *str_get_key_or_val(const char *s, const char *delimiters, int n, char *out, size_t outsize);
int str_get_key_and_val(const char *s, const char *delimiters, char *key, size_t keysize, char *val,
                        size_t valsize);
char *str_lines_find_col(const char *text, const char *delimiters, const char *key, int n, int m);
char *str_lines_find_col2(const char *text, const char *marker, const char *delimiters, int m);

// The getters return 0, or -1 when the key is missing or its value does
// not fit out (out is then left as it was).
int str_get_kv_val(const char *list, const char *item_delimiters, char kv_separator,
                   const char *key, char *out, size_t outsize);
int str_get_kv_val_to(const char *list, const char *item_delimiters, char kv_separator,
                      const char *value, char *out, size_t outsize);
int str_get_val(const char *list, const char *item_delimiters, const char *key, char *out,
                size_t outsize);
int str_get_line_val(const char *text, const char *key, char *out, size_t outsize);
int str_get_url_arg(const char *query, const char *key, char *out, size_t outsize);
char *str_add_url_arg(char *buf, size_t size, const char *key, const char *value);
int str_get_val_bracket(const char *text, const char *key, char *out, size_t outsize);
int str_get_val_unquote(const char *list, const char *item_delimiters, char kv_separator,
                        const char *key, char *out, size_t outsize);
int str_get_line_val_unquote(const char *text, const char *key, char *out, size_t outsize);
// Edits buf (size bytes) by a set mode (STR_MAP_SET_ALWAYS ...); 0, or -1
// (buf unchanged) when the work list cannot be made or the result does
// not fit.
int str_set_val(char *buf, size_t size, const char *delimiters, int mode, const char *key,
                const char *value);
