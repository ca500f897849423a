#pragma once
// Bounded copy, append and formatting into fixed-size buffers, and the
// allocation wrappers that turn a failure into a crit record.
#include <cstdarg>
#include "libpal/env/os_types.h"

int str_safecopy_imp(char *dest, size_t size, const char *src, int report);
int str_safecopy(char *dest, size_t size, const char *src);
int str_safecopy_trunc(char *dest, size_t size, const char *src);
size_t str_safencopy(char *dest, const char *src, size_t size);
int str_safecat_imp(char *dest, size_t size, const char *src, int report);
int str_safecat(char *dest, size_t size, const char *src);
int str_safecat_trunc(char *dest, size_t size, const char *src);
int str_safecat_chr(char *dest, size_t size, char c);
int strcat_printf(char *dest, size_t size, const char *fmt, ...) OS_PRINTF(3, 4);
int strcat_vprintf(char *dest, size_t size, const char *fmt, va_list ap) OS_PRINTF(3, 0);
int str_sprintf_s(char *dest, size_t size, const char *fmt, ...) OS_PRINTF(3, 4);
int str_vsprintf_s(char *dest, size_t size, const char *fmt, va_list ap) OS_PRINTF(3, 0);

void *safe_malloc(size_t size);
void *safe_calloc(size_t count, size_t size);
void *safe_realloc(void *ptr, size_t size);
char *safe_strdup(const char *s);
int safe_vasprintf(char **out, const char *fmt, va_list ap) OS_PRINTF(2, 0);
int safe_asprintf(char **out, const char *fmt, ...) OS_PRINTF(2, 3);
