#pragma once
// Base64 (RFC 4648) in the standard and the URL-safe alphabet. One encoder
// and one decoder core serve every Base64 interface; each interface keeps
// its own argument and size rules.
#include "libpal/env/os_types.h"

// Buffer size for the encoding of n bytes: four characters per started
// group of three and the NUL.
#define PL_BASE64_ENCODE_LEN(n) ((((u64)(n) + 2) / 3) * 4 + 1)

// Writes the padded encoding of n bytes and a NUL into out, which holds at
// least PL_BASE64_ENCODE_LEN(n) bytes; returns the encoded length.
size_t base64_encode_core(const void *in, size_t n, char *out, bool urlsafe);
// Decodes the len characters at in (both alphabets; no padding, no white
// space) into out; -1 for a character outside the alphabets or when out
// would overflow, else the byte count. A last group of one character gives
// no byte, of two one byte, of three two bytes.
i64 base64_decode_core(const char *in, size_t len, u8 *out, size_t outsize);

int str_base64_encode_imp(const void *in, size_t n, char *out, size_t outsize, int urlsafe);
int str_base64_encode(const void *in, size_t n, char *out, size_t outsize);
int str_base64_encode_url(const void *in, size_t n, char *out, size_t outsize);
char *str_base64_encode_dup(const void *in, size_t n);
int str_base64_encode_str(const char *s, char *out, size_t outsize);
int str_base64_encode_url_str(const char *s, char *out, size_t outsize);
int str_base64_decode(const char *in, void *out, size_t outsize);
