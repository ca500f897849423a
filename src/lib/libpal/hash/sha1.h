#pragma once
// SHA-1 (FIPS 180) with a text form of the running context, so that a
// digest can be stored and continued later.
#include "libpal/env/os_types.h"

constexpr size_t SHA1_DIGEST_LEN = 20;

struct sha1_ctx {
    u32 state[5];
    u32 count[2];  // message length in bits, low word first
    u8 buffer[64];
};

void hash_sha1_init(sha1_ctx *ctx);
void hash_sha1_update(sha1_ctx *ctx, const void *data, size_t len);
// Writes the 20-byte digest and zeroes the context.
void hash_sha1_final(sha1_ctx *ctx, u8 digest[SHA1_DIGEST_LEN]);
void hash_sha1_transform(u32 state[5], const u8 block[64]);
void hash_sha1(const void *data, size_t len, u8 digest[SHA1_DIGEST_LEN]);
// 71 comma-separated hexadecimal fields; -1 when they do not fit in size.
int hash_sha1_ctx_save(const sha1_ctx *ctx, char *out, size_t size);
// 0, or -1 (context untouched) for a text that is not such a list.
int hash_sha1_ctx_load(sha1_ctx *ctx, const char *text);
