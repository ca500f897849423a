#pragma once
// The executable's own path and directory.
#include "libpal/env/os_types.h"

int os_exe_get_name(char *buf, size_t size);
int os_exe_get_dir(char *buf, size_t size);
