#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_escape"
#include "libpal/string/str_escape.h"

#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"

namespace {

constexpr char HEX_UP[] = "0123456789ABCDEF";
constexpr char HEX_LO[] = "0123456789abcdef";

struct hex_tab {
    i32 v[256];
};
constexpr hex_tab make_hex_tab()
{
    hex_tab t{};
    for (int c = 0; c < 256; ++c) {
        if (c >= '0' && c <= '9') t.v[c] = c - '0';
        else if (c >= 'A' && c <= 'F') t.v[c] = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') t.v[c] = c - 'a' + 10;
        else t.v[c] = -1;
    }
    return t;
}
constexpr hex_tab hex_tab_v = make_hex_tab();

inline int hexv(char c) { return hex_tab_v.v[(unsigned char)c]; }

// The byte of the two hex digits at p (the second is not read when the
// first is not a digit), or -1.
inline int hex_pair(const char *p)
{
    int hi = hexv(p[0]);
    if (hi < 0) return -1;
    int lo = hexv(p[1]);
    return lo < 0 ? -1 : hi << 4 | lo;
}

// Escape classes: a set bit means the byte is written as %XX.
struct esc_set {
    u64 w[4];
    constexpr void set(unsigned c) { w[c >> 6] |= 1ULL << (c & 63); }
    constexpr bool has(unsigned char c) const { return (w[c >> 6] >> (c & 63)) & 1; }
};
constexpr esc_set make_class(const char *extra, bool high)
{
    esc_set s{};
    for (unsigned c = 0; c <= ' '; ++c) s.set(c);
    if (high)
        for (unsigned c = 127; c < 256; ++c) s.set(c);
    for (; *extra; ++extra) s.set((unsigned char)*extra);
    return s;
}
constexpr esc_set esc_classes[STR_ESC_CLASSES] = {
    make_class("#%?", true),
    make_class("#%&+;=?", true),
    make_class("!#$%&'()*+,/:;<=>?@[\\]^{}\"`|", true),
    make_class("#%'\"", true),
    make_class("'\"", true),
    make_class("%", false),
    make_class("%", false),
};

// The bytes str_escape_log writes as \xNN.
constexpr esc_set make_log_set()
{
    esc_set s{};
    for (unsigned c = 0; c < 0x20; ++c) s.set(c);
    for (unsigned c = 0x7f; c < 256; ++c) s.set(c);
    s.set('[');
    s.set(']');
    s.set('\\');
    return s;
}
constexpr esc_set log_set = make_log_set();

}  // namespace

unsigned hex_digit_val(int c)
{
    int v = hexv((char)c);
    return v < 0 ? 255u : (unsigned)v;
}

i32 hex_val_table(int c) { return hexv((char)c); }

/* ---- hex ---- */

i64 str_hex_encode_imp(const void *src, i64 len, char *out, size_t outsize)
{
    if (!src) return -1;
    if (len < 0) len = (i64)strlen((const char *)src);
    if (len > (INT64_MAX - 1) / 2) return -1;
    u64 need = 2 * (u64)len + 1;
    if (!out) return (i64)need;
    if (need > outsize) return -1;
    const u8 *p = (const u8 *)src;
    for (i64 i = 0; i < len; ++i) {
        out[2 * i] = HEX_UP[p[i] >> 4];
        out[2 * i + 1] = HEX_UP[p[i] & 15];
    }
    out[2 * len] = 0;
    return 2 * len;
}

char *str_hex_encode_dup(const void *src, i64 len)
{
    i64 need = str_hex_encode_imp(src, len, nullptr, 0);
    if (need < 0) return nullptr;
    char *out = (char *)os_malloc((size_t)need);
    if (!out) return nullptr;
    str_hex_encode_imp(src, len, out, (size_t)need);
    return out;
}

char *str_hex_encode_str(const char *s) { return str_hex_encode_dup(s, -1); }

i64 str_hex_decode_imp(const char *hex, int add_nul, void *out, size_t outsize)
{
    if (!hex) return -1;
    size_t len = strlen(hex);
    if (len & 1) return -1;
    size_t need = len / 2 + (add_nul ? 1 : 0);
    if (!out) return (i64)need;
    if (need > outsize) return -1;
    u8 *o = (u8 *)out;
    for (size_t i = 0; i < len; i += 2) {
        int b = hex_pair(hex + i);
        if (b < 0) return -1;
        o[i / 2] = (u8)b;
    }
    if (add_nul) o[len / 2] = 0;
    return (i64)(len / 2);
}

static u8 *hex_decode_alloc(const char *hex, int add_nul, size_t *len)
{
    i64 need = str_hex_decode_imp(hex, add_nul, nullptr, 0);
    if (need < 0) return nullptr;
    u8 *out = (u8 *)os_malloc(need ? (size_t)need : 1);
    if (!out) return nullptr;
    i64 n = str_hex_decode_imp(hex, add_nul, out, (size_t)need);
    if (n < 0) {
        os_free(out);
        return nullptr;
    }
    if (len) *len = (size_t)n;
    return out;
}

u8 *str_hex_decode_dup(const char *hex, size_t *len) { return hex_decode_alloc(hex, 0, len); }

u8 *str_hex_decode_blank(char *hex, size_t *len)
{
    if (!hex) return nullptr;
    char *w = hex;
    for (char *r = hex; *r; ++r)
        if (!strchr(" \t\r\n", *r)) *w++ = *r;
    *w = 0;
    return hex_decode_alloc(hex, 0, len);
}

char *str_hex_decode_str(const char *hex) { return (char *)hex_decode_alloc(hex, 1, nullptr); }

char *str_hex_decode_digits(const char *hex, int keep)
{
    char *s = str_hex_decode_str(hex);
    if (!s) return nullptr;
    size_t n = strlen(s);
    if (n == 0 || (n & 1)) {
        os_free(s);
        return nullptr;
    }
    if (keep) return s;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            os_free(s);
            return nullptr;
        }
    }
    for (size_t i = 0; i < n; i += 2) {
        char t = s[i];
        s[i] = s[i + 1];
        s[i + 1] = t;
    }
    return s;
}

int str_hex_sep_decode(const char *text, char separator, u8 *out)
{
    if (!text || !out) return 0;
    const char *p = text;
    size_t n = 0;
    while (*p) {
        int b = hex_pair(p);
        if (b < 0) return 1;
        out[n++] = (u8)b;
        p += 2;
        if (separator && *p == separator) ++p;
    }
    return 0;
}

int str_hex_decode_loose(const char *text, size_t len, u8 *out, size_t outsize)
{
    if (!text || !out || len < 2 || len / 3 >= outsize) return -1;
    size_t n = 0;
    size_t i = 0;
    while (i < len) {
        char c = text[i];
        if (c == ' ' || c == '-' || c == '.' || c == ':' || c == '_') {
            ++i;
            continue;
        }
        if (i + 1 >= len) break;  // a lone last character
        int b = hex_pair(text + i);
        if (b < 0 || n >= outsize) return -1;
        out[n++] = (u8)b;
        i += 2;
    }
    return n > INT32_MAX ? -1 : (int)n;
}

int str_bin2hex(const void *bytes, size_t n, char *out, size_t outsize)
{
    if (!out || outsize == 0) return 0;
    if (!bytes || n > (SIZE_MAX - 1) / 2 || 2 * n + 1 > outsize) {
        out[0] = 0;
        return 0;
    }
    const u8 *p = (const u8 *)bytes;
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = HEX_LO[p[i] >> 4];
        out[2 * i + 1] = HEX_LO[p[i] & 15];
    }
    out[2 * n] = 0;
    return 1;
}

int str_hex_pattern_imp(const char *pattern, u8 *values, char *markers)
{
    if (!pattern) return -1;
    int n = 0;
    for (const char *p = pattern; *p;) {
        if (n == INT32_MAX) return -1;
        if (*p == '?') {
            if (values) values[n] = 0;
            if (markers) markers[n] = '?';
            ++n;
            ++p;
            continue;
        }
        int b = hex_pair(p);
        if (b < 0) return -1;  // another character or a dangling digit
        if (values) values[n] = (u8)b;
        if (markers) markers[n] = '_';
        ++n;
        p += 2;
    }
    return n;
}

int str_hex_pattern(const char *pattern, u8 **values, int *len, char **markers)
{
    int n = str_hex_pattern_imp(pattern, nullptr, nullptr);
    if (n < 1) return n;
    if (!values || !markers) return -1;
    u8 *v = (u8 *)os_malloc((size_t)n);
    char *m = (char *)os_malloc((size_t)n + 1);
    if (!v || !m) {
        os_free(v);
        os_free(m);
        return -1;
    }
    str_hex_pattern_imp(pattern, v, m);
    m[n] = 0;
    *values = v;
    *markers = m;
    if (len) *len = n;
    return n;
}

/* ---- percent escapes ---- */

i64 str_escape_imp(char *out, const char *src, size_t len, int cls)
{
    if (cls < 0 || cls >= STR_ESC_CLASSES || !src) return -1;
    const esc_set &set = esc_classes[cls];
    const u8 *p = (const u8 *)src;
    if (!out) {
        u64 need = len + 1;
        for (size_t i = 0; i < len; ++i)
            if (set.has(p[i])) need += 2;
        return (i64)need;
    }
    size_t w = 0;
    for (size_t i = 0; i < len; ++i) {
        if (set.has(p[i])) {
            out[w++] = '%';
            out[w++] = HEX_UP[p[i] >> 4];
            out[w++] = HEX_UP[p[i] & 15];
        } else {
            out[w++] = (char)p[i];
        }
    }
    out[w] = 0;
    return (i64)w;
}

int str_escape_url_args(const char *src, char *out, size_t outsize)
{
    if (!src || !out || outsize == 0) return -1;
    out[0] = 0;
    size_t len = strlen(src);
    i64 need = str_escape_imp(nullptr, src, len, STR_ESC_URL_ARG);
    if (need < 0 || (u64)need > outsize) {
        OS_CHECK_LOG("rlen<=bsize");
        return -1;
    }
    str_escape_imp(out, src, len, STR_ESC_URL_ARG);
    return 0;
}

i64 str_unescape_imp(char *out, const char *in, size_t n, int mode)
{
    if (!out || !in) return -1;
    size_t w = 0;
    int state = 0;
    int first = 0;
    for (size_t i = 0; i < n; ++i) {
        char c = in[i];
        if (c == 0) break;  // a cut escape is dropped
        if (state == 0) {
            if (c == '%') {
                state = 1;
            } else if (c == '?' && (mode & (STR_UNESC_URI | STR_UNESC_KEEP))) {
                out[w++] = c;
                break;
            } else {
                out[w++] = c;
            }
        } else if (state == 1) {
            first = hexv(c);
            if (first >= 0) {
                state = 2;
            } else {
                out[w++] = c;
                state = 0;
            }
        } else {
            state = 0;
            int lo = hexv(c);
            if (lo < 0) continue;  // '%', the digit and this character go
            u8 b = (u8)(first << 4 | lo);
            if (mode & STR_UNESC_URI) {
                out[w++] = (char)b;
                if (b == '?') break;
            } else if (mode & STR_UNESC_KEEP) {
                if (b == '?') {
                    out[w++] = '?';
                    break;
                }
                if (b >= 38 && b <= 126) {
                    out[w++] = (char)b;
                } else {
                    out[w++] = '%';
                    out[w++] = in[i - 1];
                    out[w++] = c;
                }
            } else {
                out[w++] = (char)b;
            }
        }
    }
    out[w] = 0;
    return (i64)w;
}

static int unescape_to(const char *src, char *out, size_t outsize, int mode)
{
    if (!src || !out || outsize == 0) return -1;
    out[0] = 0;
    size_t len = strlen(src);
    if (len + 1 > outsize) {
        OS_CHECK_LOG("len<=bsize");
        return -1;
    }
    str_unescape_imp(out, src, len, mode);
    return 0;
}

int str_unescape_uri(const char *src, char *out, size_t outsize)
{
    return unescape_to(src, out, outsize, STR_UNESC_URI);
}

int str_unescape_url_args(const char *src, char *out, size_t outsize)
{
    return unescape_to(src, out, outsize, STR_UNESC_ARGS);
}

/* ---- a client's text in a log record ---- */

const char *str_escape_log(char *out, size_t outsize, const char *src)
{
    if (!out || outsize == 0) return "";
    size_t w = 0;
    for (const u8 *p = (const u8 *)(src ? src : ""); *p; ++p) {
        if (!log_set.has(*p)) {
            if (w + 1 >= outsize) break;
            out[w++] = (char)*p;
            continue;
        }
        if (w + 4 >= outsize) break;
        out[w++] = '\\';
        out[w++] = 'x';
        out[w++] = HEX_LO[*p >> 4];
        out[w++] = HEX_LO[*p & 15];
    }
    out[w] = 0;
    return out;
}

/* ---- backslash escapes ---- */

size_t str_escape_cstr_imp(char *out, const char *src, size_t len)
{
    size_t w = 0;
    auto put = [&](char c) {
        if (out) out[w] = c;
        ++w;
    };
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = (unsigned char)src[i];
        switch (c) {
        case '\\':
        case '"':
            put('\\');
            put((char)c);
            break;
        case 8: put('\\'); put('b'); break;
        case 9: put('\\'); put('t'); break;
        case 10: put('\\'); put('n'); break;
        case 12: put('\\'); put('f'); break;
        case 13: put('\\'); put('r'); break;
        default:
            if (c < 32) {
                put('\\');
                put('u');
                put('0');
                put('0');
                put(HEX_UP[c >> 4]);
                put(HEX_UP[c & 15]);
            } else {
                put((char)c);
            }
        }
    }
    return w;
}

// Empties out, then writes the escaped src there when it fits with its NUL
// and spare more bytes. Returns the escaped length, or -1.
static i64 escape_cstr_into(char *out, size_t outsize, const char *src, size_t spare)
{
    if (!out || outsize == 0) return -1;
    out[0] = 0;
    if (!src) return -1;
    size_t len = strlen(src);
    size_t need = str_escape_cstr_imp(nullptr, src, len);
    if (need + 1 + spare > outsize) return -1;
    str_escape_cstr_imp(out, src, len);
    out[need] = 0;
    return (i64)need;
}

int str_escape_cstr(char *out, size_t outsize, const char *src)
{
    return escape_cstr_into(out, outsize, src, 0) < 0 ? -1 : 0;
}

int str_escape_csv(char *out, size_t outsize, const char *src)
{
    i64 n = escape_cstr_into(out, outsize, src, 2);
    if (n < 0) return -1;
    size_t need = (size_t)n;
    if (memchr(out, ',', need) && out[0] != '"') {
        memmove(out + 1, out, need);
        out[0] = '"';
        out[need + 1] = '"';
        out[need + 2] = 0;
    }
    return 0;
}

int str_parse_cescape(const char **pp)
{
    const char *p = *pp;
    if (*p >= '0' && *p <= '7') {
        int v = 0, k = 0;
        while (k < 3 && p[k] >= '0' && p[k] <= '7') {
            int nv = v * 8 + (p[k] - '0');
            if (nv > 255) break;
            v = nv;
            ++k;
        }
        *pp = p + k;
        return v;
    }
    static constexpr struct {
        char c;
        char v;
    } simple[] = {{'a', 7}, {'b', 8}, {'f', 12}, {'n', 10}, {'r', 13}, {'t', 9}, {'v', 11}, {'\\', '\\'}};
    for (const auto &s : simple) {
        if (*p == s.c) {
            *pp = p + 1;
            return s.v;
        }
    }
    return '\\';
}

char *str_unescape_cstr(const char *s)
{
    if (!s) return nullptr;
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    for (const char *p = s; *p; ++p) {
        if (*p != '\\') {
            str_buf_append_chr(b, *p);
            continue;
        }
        char c = *++p;
        if (c == 0) break;  // a backslash at the very end ends the text
        unsigned v;
        switch (c) {
        case 'b': v = 8; break;
        case 'a': v = 7; break;
        case 'e': v = 27; break;
        case 'f': v = 12; break;
        case 'n': v = 10; break;
        case 'r': v = 13; break;
        case 't': v = 9; break;
        case 'v': v = 11; break;
        case '"':
        case '\'':
        case '?':
        case '\\': v = (unsigned char)c; break;
        case 'x':
        case 'u':
        case 'U':
            // any number of digits; only the value modulo 256 is kept
            v = 0;
            while (hexv(p[1]) >= 0) v = (v << 4 | (unsigned)hexv(*++p)) & 0xFF;
            break;
        default:
            if (c >= '0' && c <= '7') {
                v = (unsigned)(c - '0');
                for (int k = 1; k < 3 && p[1] >= '0' && p[1] <= '7'; ++k) v = v * 8 + (unsigned)(*++p - '0');
                v &= 0xFF;
            } else {
                unsigned char u = (unsigned char)c;
                if (u >= 33 && u <= 126)
                    LOG_ERR("unknown escape sequence: '\\%c'\n", c);
                else
                    LOG_ERR("unknown escape sequence: '\\x%x'", u);
                v = u;
            }
        }
        str_buf_append_chr(b, (char)v);
    }
    return str_buf_detach_nonnull(b);
}
