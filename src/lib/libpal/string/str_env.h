#pragma once
// Environment-variable expansion ($NAME, ${NAME} and %NAME%), a character
// class test, and the host identity helpers.
#include "libpal/env/os_types.h"

// Value of a name, or NULL when it has none.
typedef const char *(*str_env_lookup_fn)(const char *name, void *arg);

// The process environment (the default lookup).
const char *str_env_lookup(const char *name);

// $NAME and ${NAME}: a name ends at one of "/\_:=" or at another "$"; a name
// without a value disappears. Never NULL (an empty text when nothing is
// left), except when memory runs out.
char *str_env_expand_imp(const char *text, str_env_lookup_fn lookup, void *arg);
char *str_env_expand(const char *text);

// %NAME%: a name without a value is kept as written, "%%" gives nothing.
char *str_env_expand_pct_imp(const char *text, str_env_lookup_fn lookup, void *arg);
char *str_env_expand_pct(const char *text);
// The % form with the environment into buf (bounded copy); returns buf.
char *str_env_expand2(const char *text, char *buf, size_t size);

enum : u32 {
    STR_CHARS_ALPHA = 1,  // A-Z and a-z
    STR_CHARS_DIGIT = 2,  // 0-9
};
// 1 when every character belongs to one of the classes (an empty text
// too), else 0.
int str_check_chars(const char *text, u32 flags);

u64 os_hostid(void);
char *os_hostname(char *buf, size_t size);
// Seconds since the epoch; read once, so every caller sees the same value.
u64 os_boot_time(void);
