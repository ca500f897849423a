#pragma once
// Table-driven CRC-8, CRC-16, CRC-32 and CRC-64, and the RC4 cipher.
#include "libpal/env/os_types.h"

u8 hash_crc8(const void *data, size_t len, u8 init);
u16 hash_crc16(const void *data, size_t len, u16 init);
u32 hash_crc32(const void *data, size_t len, u32 init);
u64 hash_crc64(const void *data, size_t len, u64 init);

struct rc4_state {
    u8 s[256];
    u32 i;
    u32 j;
};
void rc4_init(rc4_state *st, const void *key, size_t key_len);
void rc4_crypt(rc4_state *st, const void *in, void *out, size_t len);
