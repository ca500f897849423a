#pragma once
// Pseudo-random generators (not for secrets: those use getrandom).
#include "libpal/env/os_types.h"

void rand_xorshift_seed(u64 seed);
u64 rand_xorshift64(void);
u32 rand_xorshift32(void);
u32 rand_lcg32(void);
u64 rand_lcg64(void);
u32 rand_range(u32 min, u32 max);
void rand_alnum_str(char *out, size_t size);
void rand_add_seed(u64 seed);
u32 rand_add_next(void);
