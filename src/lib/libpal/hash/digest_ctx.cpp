#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/hash/digest_ctx"
#include "libpal/hash/digest_ctx.h"

#include <cstdio>

#include "liblog/log.h"

namespace digest_detail {

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One field of hexadecimal digits up to the next comma or the end.
bool read_field(const char **pp, u64 *v)
{
    const char *p = *pp;
    u64 x = 0;
    int n = 0;
    for (; *p && *p != ','; ++p, ++n) {
        int d = hex_digit(*p);
        if (d < 0 || n >= 16) return false;
        x = x << 4 | (u64)d;
    }
    if (n == 0) return false;
    *v = x;
    *pp = p;
    return true;
}

}  // namespace

int ctx_save(const u32 *words, int nwords, const u8 *buf, char *out, size_t size)
{
    OS_CHECK_RET(out != nullptr && size > 0, -1);
    size_t off = 0;
    for (int i = 0; i < nwords + 64; ++i) {
        unsigned v = i < nwords ? words[i] : buf[i - nwords];
        int n = snprintf(out + off, size - off, i ? ",%x" : "%x", v);
        if (n < 0 || (size_t)n >= size - off) {
            out[0] = '\0';
            LOG_ERR("context text does not fit in %zu bytes\n", size);
            return -1;
        }
        off += (size_t)n;
    }
    return 0;
}

int ctx_load(const char *text, u32 *words, int nwords, u8 *buf)
{
    if (!text) return -1;
    u32 w[8];
    u8 b[64];
    const char *p = text;
    for (int i = 0; i < nwords + 64; ++i) {
        if (i) {
            if (*p != ',') return -1;
            ++p;
        }
        u64 v;
        if (!read_field(&p, &v)) return -1;
        if (i < nwords) w[i] = (u32)v;
        else b[i - nwords] = (u8)v;
    }
    if (*p) return -1;  // more fields than the context has
    memcpy(words, w, (size_t)nwords * sizeof(u32));
    memcpy(buf, b, sizeof b);
    return 0;
}

}  // namespace digest_detail
