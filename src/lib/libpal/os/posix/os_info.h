#pragma once
// Host, disk and device information.
#include "libpal/env/os_types.h"

int os_get_info(char *buf, size_t size);
