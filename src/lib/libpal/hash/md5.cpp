#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/hash/md5"
#include "libpal/hash/md5.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

#include "liblog/log.h"
#include "libpal/hash/digest_ctx.h"
#include "libpal/string/str_escape.h"

void hash_md5_transform(u32 state[4], const u8 block[64])
{
    using std::rotl;
    u32 x[16];
    for (int i = 0; i < 16; ++i) x[i] = digest_detail::load32<false>(block + 4 * i);
    u32 a = state[0], b = state[1], c = state[2], d = state[3];

#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define H(x, y, z) ((x) ^ (y) ^ (z))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
#define STEP(f, a, b, c, d, k, s, t) a = b + rotl(a + f(b, c, d) + x[k] + (t), s)

    STEP(F, a, b, c, d, 0, 7, 0xd76aa478);
    STEP(F, d, a, b, c, 1, 12, 0xe8c7b756);
    STEP(F, c, d, a, b, 2, 17, 0x242070db);
    STEP(F, b, c, d, a, 3, 22, 0xc1bdceee);
    STEP(F, a, b, c, d, 4, 7, 0xf57c0faf);
    STEP(F, d, a, b, c, 5, 12, 0x4787c62a);
    STEP(F, c, d, a, b, 6, 17, 0xa8304613);
    STEP(F, b, c, d, a, 7, 22, 0xfd469501);
    STEP(F, a, b, c, d, 8, 7, 0x698098d8);
    STEP(F, d, a, b, c, 9, 12, 0x8b44f7af);
    STEP(F, c, d, a, b, 10, 17, 0xffff5bb1);
    STEP(F, b, c, d, a, 11, 22, 0x895cd7be);
    STEP(F, a, b, c, d, 12, 7, 0x6b901122);
    STEP(F, d, a, b, c, 13, 12, 0xfd987193);
    STEP(F, c, d, a, b, 14, 17, 0xa679438e);
    STEP(F, b, c, d, a, 15, 22, 0x49b40821);

    STEP(G, a, b, c, d, 1, 5, 0xf61e2562);
    STEP(G, d, a, b, c, 6, 9, 0xc040b340);
    STEP(G, c, d, a, b, 11, 14, 0x265e5a51);
    STEP(G, b, c, d, a, 0, 20, 0xe9b6c7aa);
    STEP(G, a, b, c, d, 5, 5, 0xd62f105d);
    STEP(G, d, a, b, c, 10, 9, 0x02441453);
    STEP(G, c, d, a, b, 15, 14, 0xd8a1e681);
    STEP(G, b, c, d, a, 4, 20, 0xe7d3fbc8);
    STEP(G, a, b, c, d, 9, 5, 0x21e1cde6);
    STEP(G, d, a, b, c, 14, 9, 0xc33707d6);
    STEP(G, c, d, a, b, 3, 14, 0xf4d50d87);
    STEP(G, b, c, d, a, 8, 20, 0x455a14ed);
    STEP(G, a, b, c, d, 13, 5, 0xa9e3e905);
    STEP(G, d, a, b, c, 2, 9, 0xfcefa3f8);
    STEP(G, c, d, a, b, 7, 14, 0x676f02d9);
    STEP(G, b, c, d, a, 12, 20, 0x8d2a4c8a);

    STEP(H, a, b, c, d, 5, 4, 0xfffa3942);
    STEP(H, d, a, b, c, 8, 11, 0x8771f681);
    STEP(H, c, d, a, b, 11, 16, 0x6d9d6122);
    STEP(H, b, c, d, a, 14, 23, 0xfde5380c);
    STEP(H, a, b, c, d, 1, 4, 0xa4beea44);
    STEP(H, d, a, b, c, 4, 11, 0x4bdecfa9);
    STEP(H, c, d, a, b, 7, 16, 0xf6bb4b60);
    STEP(H, b, c, d, a, 10, 23, 0xbebfbc70);
    STEP(H, a, b, c, d, 13, 4, 0x289b7ec6);
    STEP(H, d, a, b, c, 0, 11, 0xeaa127fa);
    STEP(H, c, d, a, b, 3, 16, 0xd4ef3085);
    STEP(H, b, c, d, a, 6, 23, 0x04881d05);
    STEP(H, a, b, c, d, 9, 4, 0xd9d4d039);
    STEP(H, d, a, b, c, 12, 11, 0xe6db99e5);
    STEP(H, c, d, a, b, 15, 16, 0x1fa27cf8);
    STEP(H, b, c, d, a, 2, 23, 0xc4ac5665);

    STEP(I, a, b, c, d, 0, 6, 0xf4292244);
    STEP(I, d, a, b, c, 7, 10, 0x432aff97);
    STEP(I, c, d, a, b, 14, 15, 0xab9423a7);
    STEP(I, b, c, d, a, 5, 21, 0xfc93a039);
    STEP(I, a, b, c, d, 12, 6, 0x655b59c3);
    STEP(I, d, a, b, c, 3, 10, 0x8f0ccc92);
    STEP(I, c, d, a, b, 10, 15, 0xffeff47d);
    STEP(I, b, c, d, a, 1, 21, 0x85845dd1);
    STEP(I, a, b, c, d, 8, 6, 0x6fa87e4f);
    STEP(I, d, a, b, c, 15, 10, 0xfe2ce6e0);
    STEP(I, c, d, a, b, 6, 15, 0xa3014314);
    STEP(I, b, c, d, a, 13, 21, 0x4e0811a1);
    STEP(I, a, b, c, d, 4, 6, 0xf7537e82);
    STEP(I, d, a, b, c, 11, 10, 0xbd3af235);
    STEP(I, c, d, a, b, 2, 15, 0x2ad7d2bb);
    STEP(I, b, c, d, a, 9, 21, 0xeb86d391);
#undef STEP
#undef I
#undef H
#undef G
#undef F

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void hash_md5_init(md5_ctx *ctx)
{
    OS_CHECK_RET_VOID(ctx != nullptr);
    memset(ctx, 0, sizeof *ctx);
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
}

void hash_md5_update(md5_ctx *ctx, const void *data, size_t len)
{
    OS_CHECK_RET_VOID(ctx != nullptr);
    OS_CHECK_RET_VOID(data != nullptr || len == 0);
    digest_detail::update<md5_ctx, hash_md5_transform>(ctx, data, len);
}

void hash_md5_final(md5_ctx *ctx, u8 digest[MD5_DIGEST_LEN])
{
    OS_CHECK_RET_VOID(ctx != nullptr && digest != nullptr);
    digest_detail::pad<md5_ctx, hash_md5_transform, false>(ctx);
    for (int i = 0; i < 16; ++i) digest[i] = (u8)(ctx->state[i >> 2] >> (8 * (i & 3)));
    memset(ctx, 0, sizeof *ctx);
}

void hash_md5(const void *data, size_t len, u8 digest[MD5_DIGEST_LEN])
{
    md5_ctx ctx;
    hash_md5_init(&ctx);
    hash_md5_update(&ctx, data, len);
    hash_md5_final(&ctx, digest);
}

int hash_md5_ctx_save(const md5_ctx *ctx, char *out, size_t size)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    return digest_detail::save(ctx, out, size);
}

int hash_md5_ctx_load(md5_ctx *ctx, const char *text)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    return digest_detail::load(ctx, text);
}

char *hash_md5_str(const char *text, char *out)
{
    OS_CHECK_RET(out != nullptr, out);
    out[0] = '\0';
    if (!text || !*text) return out;
    u8 d[MD5_DIGEST_LEN];
    hash_md5(text, strlen(text), d);
    str_bin2hex(d, sizeof d, out, MD5_STR_LEN);
    return out;
}

int hash_md5_file(const char *path, u8 digest[MD5_DIGEST_LEN])
{
    OS_CHECK_RET(path != nullptr && digest != nullptr, -1);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "open %s failed\n", path);
        return -1;
    }
    md5_ctx ctx;
    hash_md5_init(&ctx);
    u8 buf[16384];
    u64 total = 0;
    int ret = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            hash_md5_update(&ctx, buf, (size_t)n);
            total += (u64)n;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            LOG_AT(3 | LOG_OPT_ERRNO, "read %s failed\n", path);
            ret = -1;
            break;
        }
    }
    close(fd);
    if (ret == 0 && total == 0) ret = -1;
    if (ret == 0) hash_md5_final(&ctx, digest);
    return ret;
}

int hash_md5_file_str(const char *path, char *out)
{
    OS_CHECK_RET(out != nullptr, -1);
    out[0] = '\0';
    u8 d[MD5_DIGEST_LEN];
    if (hash_md5_file(path, d) != 0) return -1;
    str_bin2hex(d, sizeof d, out, MD5_STR_LEN);
    return 0;
}
