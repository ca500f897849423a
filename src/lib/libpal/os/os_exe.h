#pragma once
// The executable's own path and directory.
#include "libpal/env/os_types.h"

int os_exe_get_name(char *buf, size_t size);
int os_exe_get_dir(char *buf, size_t size);
// The arguments joined into one line (items with spaces quoted), copied
// into buf; returns buf.
char *os_cmdline_copy(int argc, char **argv, char *buf, size_t size);
