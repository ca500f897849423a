#pragma once
// The executable's own path and directory, and a copy of the command line.
#include "libpal/env/os_types.h"

// The executable's absolute path; 0, or -1 (also when it does not fit).
int os_exe_get_name(char *buf, size_t size);
// The same, read from the link exe_link, else from the first item of the
// command-line file cmdline (resolved against the working directory).
int os_exe_get_name_imp(const char *exe_link, const char *cmdline, char *buf, size_t size);
// The executable's directory, without a trailing separator.
int os_exe_get_dir(char *buf, size_t size);
// The arguments joined into one line (items with spaces quoted), copied
// into buf; returns buf.
char *os_cmdline_copy(int argc, char **argv, char *buf, size_t size);
