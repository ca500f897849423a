#pragma once
// Path and directory operations.
#include <sys/types.h>
#include "libpal/env/os_types.h"

int os_path_is_dir(const char *path);
mode_t os_umask(mode_t mask);
