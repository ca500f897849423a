#pragma once
// Lookups between codes and texts in tables of {code, text} rows.
#include "libpal/env/os_types.h"

struct os_code_str {
    i32 code;
    const char *text;
};

const char *os_code_to_str(int code, int direct_rows, const os_code_str *tab, int rows);
int os_str_to_code(const char *text, const os_code_str *tab, int rows);
