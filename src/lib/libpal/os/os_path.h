#pragma once
// Path and directory operations. Every path is copied into 4096 bytes and
// normalised ('\' to '/', no "file://" prefix, no doubled separators)
// before the system call.
#include <cstdio>
#include <sys/types.h>
#include "libpal/env/os_types.h"

int os_path_is_dir(const char *path);
mode_t os_umask(mode_t mask);
int os_access(const char *path, int mode);
int os_chdir(const char *path);
// Opens with close-on-exec; mode as for fopen.
FILE *os_fopen(const char *path, const char *mode);
FILE *os_fsopen(const char *path, const char *mode, int share);
