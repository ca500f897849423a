#pragma once
// Memory helpers and the memory facts read at start-up.
#include "libpal/env/os_types.h"

int mem_init(void);
i32 mem_page_size(void);
u32 mem_page_shift(void);
u64 mem_phys_size(void);
