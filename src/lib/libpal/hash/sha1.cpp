#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/hash/sha1"
#include "libpal/hash/sha1.h"

#include <bit>
#include <cstring>

#include "liblog/log.h"
#include "libpal/hash/digest_ctx.h"

void hash_sha1_transform(u32 state[5], const u8 block[64])
{
    using std::rotl;
    u32 w[16];
    for (int i = 0; i < 16; ++i) w[i] = digest_detail::load32<true>(block + 4 * i);
    u32 a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];

// Message schedule kept in a ring of 16 words.
#define W(i) (w[(i) & 15] = rotl(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define R0(v, x, y, z, u, i) u += ((x & (y ^ z)) ^ z) + w[i] + 0x5A827999 + rotl(v, 5), x = rotl(x, 30)
#define R1(v, x, y, z, u, i) u += ((x & (y ^ z)) ^ z) + W(i) + 0x5A827999 + rotl(v, 5), x = rotl(x, 30)
#define R2(v, x, y, z, u, i) u += (x ^ y ^ z) + W(i) + 0x6ED9EBA1 + rotl(v, 5), x = rotl(x, 30)
#define R3(v, x, y, z, u, i) u += (((x | y) & z) | (x & y)) + W(i) + 0x8F1BBCDC + rotl(v, 5), x = rotl(x, 30)
#define R4(v, x, y, z, u, i) u += (x ^ y ^ z) + W(i) + 0xCA62C1D6 + rotl(v, 5), x = rotl(x, 30)
#define FIVE(R, i)                \
    R(a, b, c, d, e, (i) + 0);    \
    R(e, a, b, c, d, (i) + 1);    \
    R(d, e, a, b, c, (i) + 2);    \
    R(c, d, e, a, b, (i) + 3);    \
    R(b, c, d, e, a, (i) + 4)

    FIVE(R0, 0);
    FIVE(R0, 5);
    FIVE(R0, 10);
    R0(a, b, c, d, e, 15);
    R1(e, a, b, c, d, 16);
    R1(d, e, a, b, c, 17);
    R1(c, d, e, a, b, 18);
    R1(b, c, d, e, a, 19);
    FIVE(R2, 20);
    FIVE(R2, 25);
    FIVE(R2, 30);
    FIVE(R2, 35);
    FIVE(R3, 40);
    FIVE(R3, 45);
    FIVE(R3, 50);
    FIVE(R3, 55);
    FIVE(R4, 60);
    FIVE(R4, 65);
    FIVE(R4, 70);
    FIVE(R4, 75);
#undef FIVE
#undef R4
#undef R3
#undef R2
#undef R1
#undef R0
#undef W

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

void hash_sha1_init(sha1_ctx *ctx)
{
    OS_CHECK_RET_VOID(ctx != nullptr);
    memset(ctx, 0, sizeof *ctx);
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
}

void hash_sha1_update(sha1_ctx *ctx, const void *data, size_t len)
{
    OS_CHECK_RET_VOID(ctx != nullptr);
    OS_CHECK_RET_VOID(data != nullptr || len == 0);
    digest_detail::update<sha1_ctx, hash_sha1_transform>(ctx, data, len);
}

void hash_sha1_final(sha1_ctx *ctx, u8 digest[SHA1_DIGEST_LEN])
{
    OS_CHECK_RET_VOID(ctx != nullptr && digest != nullptr);
    digest_detail::pad<sha1_ctx, hash_sha1_transform, true>(ctx);
    for (int i = 0; i < 20; ++i) digest[i] = (u8)(ctx->state[i >> 2] >> (24 - 8 * (i & 3)));
    memset(ctx, 0, sizeof *ctx);
}

void hash_sha1(const void *data, size_t len, u8 digest[SHA1_DIGEST_LEN])
{
    sha1_ctx ctx;
    hash_sha1_init(&ctx);
    hash_sha1_update(&ctx, data, len);
    hash_sha1_final(&ctx, digest);
}

int hash_sha1_ctx_save(const sha1_ctx *ctx, char *out, size_t size)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    return digest_detail::save(ctx, out, size);
}

int hash_sha1_ctx_load(sha1_ctx *ctx, const char *text)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    return digest_detail::load(ctx, text);
}
