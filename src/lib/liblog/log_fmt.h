#pragma once
// printf-compatible formatting for log records: the common conversions
// are formatted here, anything else by vsnprintf.
#include <cstdarg>
#include <cstddef>

// Same contract as vsnprintf: returns the length of the whole result; at
// most cap-1 characters and a NUL are written.
int log_vformat(char *buf, size_t cap, const char *fmt, va_list ap);
