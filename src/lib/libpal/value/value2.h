#pragma once
// Typed integer value of a settable variable: held in the record (type 14)
// or reached through a pointer (type 15).
#include <cstddef>
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
        struct {
            i32 i;     // the held integer (the same as i)
            u32 mark;  // non-zero once registered: a held 0 stays a value
        } held;
    };
};
static_assert(sizeof(value2) == 16 && offsetof(value2, held) == offsetof(value2, i));

int value2_set_str(value2 *v, const char *text);
int value2_get_str(const value2 *v, char *buf, size_t size);
// 1 when the value word is not 0: a held integer other than 0, a pointer,
// or a registered held integer (see value2_hold).
int value2_is_set(const value2 *v);
// Marks a held integer as a value for good, so that setting it to 0 later
// keeps it readable and settable.
void value2_hold(value2 *v);
