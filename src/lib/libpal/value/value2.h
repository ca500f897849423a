#pragma once
// Typed integer value of a settable variable: held in the record (type 14)
// or reached through a pointer (type 15).
#include "libpal/env/os_types.h"

enum : u32 {
    VALUE2_I32 = 14,
    VALUE2_I32_PTR = 15,
};

struct value2 {
    u32 type;
    union {
        i64 word;
        i32 i;
        i32 *p;
    };
};

int value2_set_str(value2 *v, const char *text);
int value2_get_str(const value2 *v, char *buf, size_t size);
// 1 when the record holds a readable value (a held integer, even 0, or a
// non-NULL pointer).
int value2_is_set(const value2 *v);
