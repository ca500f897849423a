#pragma once
// Console services: coloured text, a line from standard input, key wait.
#include <cstdio>
#include "libpal/env/os_types.h"

const char *os_color_code(int code);
int os_color_puts(FILE *stream, int code, const char *text);
int os_color_printf(FILE *stream, int code, const char *fmt, ...) OS_PRINTF(3, 4);
char *os_stdin_gets(char *buf, int size);
int os_wait_key(void);
// Colour code of a log level (0 for none).
int os_level_color(int level);
