#pragma once
// Network interface hardware addresses and small host queries.
#include "libpal/basic/arr.h"
#include "libpal/env/os_types.h"

arr64 *os_mac_get_all(void);
u64 os_mac_to_u64(const u8 *bytes, int n);
u64 os_mem_phys_size(void);
// "<physical memory> PS=<page size>" from the facts recorded at start-up,
// in a buffer of the calling thread that the next call rewrites.
const char *os_mem_info_str(void);
const char *os_getenv(const char *name);
int os_setenv(const char *name, const char *value, int overwrite);
int os_unsetenv(const char *name);
