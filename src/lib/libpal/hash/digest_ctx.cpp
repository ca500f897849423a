#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/hash/digest_ctx"
#include "libpal/hash/digest_ctx.h"

#include <cstdio>

#include "liblog/log.h"
#include "libpal/string/str_escape.h"

namespace digest_detail {

namespace {

// One field of hexadecimal digits up to the next comma or the end.
bool read_field(const char **pp, u64 *v)
{
    const char *p = *pp;
    u64 x = 0;
    int n = 0;
    for (; *p && *p != ','; ++p, ++n) {
        i32 d = hex_val_table((unsigned char)*p);
        if (d < 0 || n >= 16) return false;
        x = x << 4 | (u64)d;
    }
    if (n == 0) return false;
    *v = x;
    *pp = p;
    return true;
}

}  // namespace

int ctx_save(const u32 *state, int nstate, const u32 count[2], const u8 buf[64], char *out,
             size_t size)
{
    OS_CHECK_RET(out != nullptr && size > 0, -1);
    const int nwords = nstate + 2;
    size_t off = 0;
    for (int i = 0; i < nwords + 64; ++i) {
        unsigned v = i < nstate ? state[i] : i < nwords ? count[i - nstate] : buf[i - nwords];
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

int ctx_load(const char *text, u32 *state, int nstate, u32 count[2], u8 buf[64])
{
    if (!text) return -1;
    const int nwords = nstate + 2;
    u32 w[kMaxStateWords + 2];
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
    memcpy(state, w, (size_t)nstate * sizeof(u32));
    memcpy(count, w + nstate, 2 * sizeof(u32));
    memcpy(buf, b, sizeof b);
    return 0;
}

}  // namespace digest_detail
