#pragma once
// Environment-variable expansion and host identity helpers.
#include "libpal/env/os_types.h"

u64 os_hostid(void);
char *os_hostname(char *buf, size_t size);
u64 os_boot_time(void);
