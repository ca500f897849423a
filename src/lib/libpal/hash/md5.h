#pragma once
// MD5 (RFC 1321) with a text form of the running context, and digests of
// strings and files as lower-case hexadecimal text.
#include "libpal/env/os_types.h"

constexpr size_t MD5_DIGEST_LEN = 16;
constexpr size_t MD5_STR_LEN = 33;  // 32 hexadecimal digits and a NUL

struct md5_ctx {
    u32 state[4];
    u32 count[2];  // message length in bits, low word first
    u8 buffer[64];
};

void hash_md5_init(md5_ctx *ctx);
void hash_md5_update(md5_ctx *ctx, const void *data, size_t len);
// Writes the 16-byte digest and zeroes the context.
void hash_md5_final(md5_ctx *ctx, u8 digest[MD5_DIGEST_LEN]);
void hash_md5_transform(u32 state[4], const u8 block[64]);
void hash_md5(const void *data, size_t len, u8 digest[MD5_DIGEST_LEN]);
// 70 comma-separated hexadecimal fields; -1 when they do not fit in size.
int hash_md5_ctx_save(const md5_ctx *ctx, char *out, size_t size);
// 0, or -1 (context untouched) for a text that is not such a list.
int hash_md5_ctx_load(md5_ctx *ctx, const char *text);
// Digest of a text as hex into out (MD5_STR_LEN bytes); an empty text
// gives the empty string. Returns out.
char *hash_md5_str(const char *text, char *out);
// Digest of a file's content; -1 for a file that cannot be read or is empty.
int hash_md5_file(const char *path, u8 digest[MD5_DIGEST_LEN]);
// The same as hex into out (MD5_STR_LEN bytes; empty on failure).
int hash_md5_file_str(const char *path, char *out);
