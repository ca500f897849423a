#pragma once
// Shared parts of the block digests: reading block words, buffering of
// partial blocks, the 64-bit bit count kept as two 32-bit words, and the
// saved-context text.
#include <cstring>

#include "libpal/env/os_types.h"

namespace digest_detail {

// A 32-bit word of a block, stored big- or little-endian.
template <bool BigEndian>
inline u32 load32(const u8 *p)
{
    u32 v;
    memcpy(&v, p, sizeof v);
    if constexpr ((__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) != BigEndian) v = __builtin_bswap32(v);
    return v;
}

// Feeds data into a 64-byte block buffer, compressing every full block.
template <typename Ctx, void (*Transform)(u32 *, const u8 *)>
inline void update(Ctx *ctx, const void *data, size_t len)
{
    const u8 *p = (const u8 *)data;
    size_t idx = (ctx->count[0] >> 3) & 63;
    u64 bits = ((u64)ctx->count[1] << 32 | ctx->count[0]) + ((u64)len << 3);
    ctx->count[0] = (u32)bits;
    ctx->count[1] = (u32)(bits >> 32);
    if (idx) {
        size_t take = 64 - idx;
        if (len < take) {
            memcpy(ctx->buffer + idx, p, len);
            return;
        }
        memcpy(ctx->buffer + idx, p, take);
        Transform(ctx->state, ctx->buffer);
        p += take;
        len -= take;
    }
    for (; len >= 64; p += 64, len -= 64) Transform(ctx->state, p);
    if (len) memcpy(ctx->buffer, p, len);
}

// Appends 0x80, zero padding and the bit count (big- or little-endian),
// then compresses the last block or two.
template <typename Ctx, void (*Transform)(u32 *, const u8 *), bool BigEndian>
inline void pad(Ctx *ctx)
{
    u64 bits = (u64)ctx->count[1] << 32 | ctx->count[0];
    size_t idx = (ctx->count[0] >> 3) & 63;
    ctx->buffer[idx++] = 0x80;
    if (idx > 56) {
        memset(ctx->buffer + idx, 0, 64 - idx);
        Transform(ctx->state, ctx->buffer);
        idx = 0;
    }
    memset(ctx->buffer + idx, 0, 56 - idx);
    for (int i = 0; i < 8; ++i)
        ctx->buffer[56 + i] = (u8)(bits >> (BigEndian ? 56 - 8 * i : 8 * i));
    Transform(ctx->state, ctx->buffer);
}

// Most state words a context has (SHA-1's five).
constexpr int kMaxStateWords = 5;

// Text form of a context: the nstate state words, the two count words and
// the 64 buffer bytes, each "%x", separated by commas. -1 (and an empty
// text) when it does not fit.
int ctx_save(const u32 *state, int nstate, const u32 count[2], const u8 buf[64], char *out,
             size_t size);
// Reads such a text; -1 unless it has exactly nstate + 66 hexadecimal
// fields. Nothing is written on failure.
int ctx_load(const char *text, u32 *state, int nstate, u32 count[2], u8 buf[64]);

template <typename Ctx>
inline int save(const Ctx *ctx, char *out, size_t size)
{
    constexpr int n = sizeof ctx->state / sizeof(u32);
    static_assert(n <= kMaxStateWords);
    return ctx_save(ctx->state, n, ctx->count, ctx->buffer, out, size);
}

template <typename Ctx>
inline int load(Ctx *ctx, const char *text)
{
    constexpr int n = sizeof ctx->state / sizeof(u32);
    static_assert(n <= kMaxStateWords);
    return ctx_load(text, ctx->state, n, ctx->count, ctx->buffer);
}

}  // namespace digest_detail
