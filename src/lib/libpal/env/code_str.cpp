#include "libpal/env/code_str.h"

#include <cstdio>
#include <cstring>

const char *os_code_to_str(int code, int direct_rows, const os_code_str *tab, int rows)
{
    if (code >= 0 && code < direct_rows && tab[code].code == code) return tab[code].text;
    for (int i = 0; i < rows; ++i)
        if (tab[i].code == code) return tab[i].text;
    thread_local char unknown[16];
    snprintf(unknown, sizeof unknown, "unkown(%d)", code);
    return unknown;
}

int os_str_to_code(const char *text, const os_code_str *tab, int rows)
{
    if (!text) return -1;
    for (int i = 0; i < rows; ++i)
        if (tab[i].text && strcmp(tab[i].text, text) == 0) return tab[i].code;
    return -1;
}
