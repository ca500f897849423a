#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_base64"
#include "libpal/string/str_base64.h"

#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"

namespace {

constexpr char b64_std[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char b64_url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Reverse table over '+' .. 'z' with the standard alphabet's values.
constexpr unsigned char B64_FIRST = '+', B64_LAST = 'z';
struct b64_rev {
    u8 v[B64_LAST - B64_FIRST + 1];
};
constexpr b64_rev make_rev()
{
    b64_rev r{};
    for (auto &x : r.v) x = 255;
    for (int i = 0; i < 64; ++i) r.v[(unsigned char)b64_std[i] - B64_FIRST] = (u8)i;
    return r;
}
constexpr b64_rev b64_rev_tab = make_rev();

inline unsigned b64_val(char ch)
{
    unsigned char c = (unsigned char)ch;
    if (c == '-') c = '+';
    else if (c == '_') c = '/';
    if (c < B64_FIRST || c > B64_LAST) return 255;
    return b64_rev_tab.v[c - B64_FIRST];
}

}  // namespace

size_t base64_encode_core(const void *in, size_t n, char *out, bool urlsafe)
{
    const char *abc = urlsafe ? b64_url : b64_std;
    const u8 *p = (const u8 *)in;
    size_t w = 0;
    u32 acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n; ++i) {
        acc = (acc << 8) | p[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out[w++] = abc[(acc >> bits) & 0x3F];
        }
    }
    if (bits > 0) out[w++] = abc[(acc << (6 - bits)) & 0x3F];
    while (w % 4) out[w++] = '=';
    out[w] = 0;
    return w;
}

i64 base64_decode_core(const char *in, size_t len, u8 *out, size_t outsize)
{
    size_t w = 0;
    u32 acc = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned v = b64_val(in[i]);
        if (v > 63) return -1;
        acc = (acc << 6) | v;
        if (i % 4 == 0) continue;
        if (w >= outsize) return -1;
        // characters 2, 3 and 4 of a group complete bytes 1, 2 and 3
        int shift = 2 * (3 - (int)(i % 4));
        out[w++] = (u8)(acc >> shift);
    }
    return (i64)w;
}

int str_base64_encode_imp(const void *in, size_t n, char *out, size_t outsize, int urlsafe)
{
    if (!in || !out || n >= 0x3fffffff || outsize < PL_BASE64_ENCODE_LEN(n)) {
        OS_CHECK_LOG("ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in))");
        return -1;
    }
    return (int)base64_encode_core(in, n, out, urlsafe != 0);
}

int str_base64_encode(const void *in, size_t n, char *out, size_t outsize)
{
    return str_base64_encode_imp(in, n, out, outsize, 0);
}

int str_base64_encode_url(const void *in, size_t n, char *out, size_t outsize)
{
    return str_base64_encode_imp(in, n, out, outsize, 1);
}

char *str_base64_encode_dup(const void *in, size_t n)
{
    if (!in || n >= 0x3fffffff) return nullptr;
    size_t size = PL_BASE64_ENCODE_LEN(n);
    char *out = (char *)os_zalloc(size);
    if (!out) return nullptr;
    base64_encode_core(in, n, out, false);
    return out;
}

int str_base64_encode_str(const char *s, char *out, size_t outsize)
{
    return str_base64_encode_imp(s, s ? strlen(s) + 1 : 0, out, outsize, 0);
}

int str_base64_encode_url_str(const char *s, char *out, size_t outsize)
{
    return str_base64_encode_imp(s, s ? strlen(s) + 1 : 0, out, outsize, 1);
}

int str_base64_decode(const char *in, void *out, size_t outsize)
{
    OS_CHECK_TXT(in != nullptr && out != nullptr, "ib && ob", -1);
    size_t len = strcspn(in, "=");
    i64 n = base64_decode_core(in, len, (u8 *)out, outsize);
    return n > INT32_MAX ? -1 : (int)n;
}
