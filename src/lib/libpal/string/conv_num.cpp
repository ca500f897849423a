#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/conv_num"
#include "libpal/string/conv_num.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "liblog/log.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr size_t NUM_TOKEN_MAX = 1024;
constexpr i64 NUM_EXP_LIMIT = 100000;  // far beyond the range of a double

inline bool is_dec(char c) { return c >= '0' && c <= '9'; }

struct num_token {
    char buf[NUM_TOKEN_MAX];
    size_t len = 0;

    num_token() { buf[0] = 0; }

    bool put(char c)
    {
        if (len + 1 >= sizeof buf) {
            LOG_DBG("number too long\n");
            return false;
        }
        buf[len++] = c;
        buf[len] = 0;
        return true;
    }
};

str_num *num_fail(str_num *r)
{
    r->type = VALUE_U64;
    r->u = 0;
    return r;
}

str_num *num_int(str_num *r, const num_token &t, const char *p, unsigned base)
{
    const char *d = t.buf;
    if (base == 10 && d[0] == '0') {
        base = 8;
        ++d;
    }
    u64 v = 0;
    for (; *d; ++d) {
        unsigned dv = hex_digit_val(*d);
        if (dv >= base) return num_fail(r);
        if (__builtin_mul_overflow(v, (u64)base, &v) || __builtin_add_overflow(v, (u64)dv, &v))
            return num_fail(r);
    }
    int nl = 0, nu = 0;
    for (;; ++p) {
        if (*p == 'l' || *p == 'L') {
            if (++nl > 2) return num_fail(r);
        } else if (*p == 'u' || *p == 'U') {
            if (++nu > 1) return num_fail(r);
        } else {
            break;
        }
    }
    r->type = VALUE_U64;
    r->u = v;
    return r;
}

// Hexadecimal or binary mantissa with a binary exponent ("0x1.8p3").
// Digits beyond 64 bits of mantissa only cost precision: in the integer
// part they raise the exponent, in the fraction they are dropped.
str_num *num_binexp(str_num *r, const num_token &t, const char *p, unsigned base)
{
    const unsigned bits = base == 16 ? 4 : 1;
    u64 m = 0;
    i64 adjust = 0;
    auto push = [&](unsigned dv, bool fraction) {
        if (m >> (64 - bits)) {
            if (!fraction) adjust += bits;
            return;
        }
        m = (m << bits) | dv;
        if (fraction) adjust -= bits;
    };
    for (const char *d = t.buf; *d; ++d) {
        unsigned dv = hex_digit_val(*d);
        if (dv >= base) return num_fail(r);
        push(dv, false);
    }
    if (*p == '.') {
        for (++p; hex_digit_val(*p) < 16; ++p) {
            unsigned dv = hex_digit_val(*p);
            if (dv >= base) {
                LOG_DBG("invalid digit\n");
                return num_fail(r);
            }
            push(dv, true);
            if (adjust < -NUM_EXP_LIMIT) adjust = -NUM_EXP_LIMIT;
        }
    }
    if (*p != 'p' && *p != 'P') {
        LOG_DBG("exponent\n");
        return num_fail(r);
    }
    ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    if (!is_dec(*p)) return num_fail(r);
    i64 e = 0;
    for (; is_dec(*p); ++p)
        if (e < NUM_EXP_LIMIT) e = e * 10 + (*p - '0');
    e = (neg ? -e : e) + adjust;
    if (e > NUM_EXP_LIMIT) e = NUM_EXP_LIMIT;
    if (e < -NUM_EXP_LIMIT) e = -NUM_EXP_LIMIT;
    r->type = VALUE_DOUBLE;
    r->d = ldexp((double)m, (int)e);
    return r;
}

// Decimal fraction and exponent, read by strtod from the token.
str_num *num_decimal(str_num *r, num_token &t, const char *p)
{
    if (*p == '.') {
        if (!t.put(*p++)) return num_fail(r);
        while (is_dec(*p))
            if (!t.put(*p++)) return num_fail(r);
    }
    if (*p == 'e' || *p == 'E') {
        if (!t.put(*p++)) return num_fail(r);
        if (*p == '+' || *p == '-')
            if (!t.put(*p++)) return num_fail(r);
        if (!is_dec(*p)) return num_fail(r);
        while (is_dec(*p))
            if (!t.put(*p++)) return num_fail(r);
    }
    errno = 0;
    char *end = nullptr;
    double d = strtod(t.buf, &end);
    // The token holds nothing but the number, so all of it must be read.
    if (end != t.buf + t.len) return num_fail(r);
    r->type = VALUE_DOUBLE;
    r->d = d;
    return r;
}

u64 f64_to_u64_sat(double v)
{
    if (!(v > 0)) return 0;  // also NaN
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return (u64)v;
}

u32 f64_to_u32_sat(double v)
{
    if (!(v > 0)) return 0;
    if (v >= 4294967296.0) return UINT32_MAX;
    return (u32)v;
}

}  // namespace

str_num *str_parse_all_number(str_num *r, const char *text, int base)
{
    num_fail(r);
    if (!text || !*text) return r;
    if (base == 0) base = 10;
    if (base < 2 || base > 16) return r;
    unsigned b = (unsigned)base;
    num_token t;
    const char *p = text;
    if (*p == '.') return num_decimal(r, t, p);
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        b = 16;
        p += 2;
    } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B') && b != 16) {
        // In base 16 "0b" is a number of its own, not a prefix.
        b = 2;
        p += 2;
    } else {
        t.put(*p++);
    }
    while (hex_digit_val(*p) < b)
        if (!t.put(*p++)) return num_fail(r);
    if (*p == '.') {
        if (b == 10) return num_decimal(r, t, p);
        if (b == 16 || b == 2) return num_binexp(r, t, p, b);
    } else if ((*p == 'e' || *p == 'E') && b == 10) {
        return num_decimal(r, t, p);
    } else if ((*p == 'p' || *p == 'P') && (b == 16 || b == 2)) {
        return num_binexp(r, t, p, b);
    }
    return num_int(r, t, p, b);
}

i64 str_to_i64(const char *text)
{
    str_num n;
    str_parse_all_number(&n, text, 10);
    return n.type == VALUE_DOUBLE ? (i64)f64_to_u64_sat(n.d) : (i64)n.u;
}

double str_to_f64(const char *text)
{
    str_num n;
    str_parse_all_number(&n, text, 10);
    return n.type == VALUE_DOUBLE ? n.d : (double)n.u;
}

u64 str_hex_to_u64(const char *text)
{
    str_num n;
    str_parse_all_number(&n, text, 16);
    return n.type == VALUE_DOUBLE ? f64_to_u64_sat(n.d) : n.u;
}

u32 str_hex_to_u32(const char *text)
{
    str_num n;
    str_parse_all_number(&n, text, 16);
    return n.type == VALUE_DOUBLE ? f64_to_u32_sat(n.d) : (u32)n.u;
}

long long str_to_ll(const char *text)
{
    if (!text) return 0;
    return strtoll(text, nullptr, 0);
}

int str_u64_group(u64 value, char *out, size_t outsize, int group)
{
    if (!out || outsize < 2) return 0;
    char tmp[32];  // 20 digits and 6 commas, written from the right
    size_t n = 0;
    int digits = 0;
    do {
        if (group && digits && digits % 3 == 0) tmp[n++] = ',';
        tmp[n++] = (char)('0' + value % 10);
        value /= 10;
        ++digits;
    } while (value);
    size_t w = n < outsize - 1 ? n : outsize - 1;
    for (size_t i = 0; i < w; ++i) out[i] = tmp[w - 1 - i];
    out[w] = 0;
    return (int)w;
}

static const str_size_unit size_units[] = {
    {"c", 1ULL},
    {"w", 2ULL},
    {"b", 512ULL},
    {"kB", 1000ULL},
    {"kD", 1000ULL},
    {"k", 1024ULL},
    {"KB", 1000ULL},
    {"KD", 1000ULL},
    {"K", 1024ULL},
    {"MB", 1000000ULL},
    {"MD", 1000000ULL},
    {"M", 1048576ULL},
    {"GB", 1000000000ULL},
    {"GD", 1000000000ULL},
    {"G", 1073741824ULL},
    {"TB", 1000000000000ULL},
    {"T", 1099511627776ULL},
    {"PB", 1000000000000000ULL},
    {"P", 1125899906842624ULL},
    {"", 0},
};

namespace {

// str_parse_size_imp, and whether the whole text was a size: a number
// that strtod takes whole, then units of the table.
u64 parse_size(const char *text, const str_size_unit *table, bool *whole)
{
    *whole = false;
    if (!text || !table) return 0;
    unsigned char c0 = (unsigned char)text[0];
    if ((c0 >= '\t' && c0 <= '\r') || c0 == ' ' || c0 == '+' || c0 == '-') return 0;
    size_t len = strnlen(text, 257);
    if (len > 256) return 0;
    auto is_alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    size_t nl = 0;
    while (nl < len && is_alpha(text[len - 1 - nl])) ++nl;
    if (nl > 2 || (len > 0 && nl == len)) return 0;
    char num[257];
    memcpy(num, text, len - nl);
    num[len - nl] = 0;
    char *end = nullptr;
    double v = strtod(num, &end);
    bool number = len > nl && end == num + (len - nl);
    const char *s = text + len - nl;
    while (*s) {
        const str_size_unit *row = table;
        for (; row->suffix && row->suffix[0]; ++row)
            if (strncasecmp(s, row->suffix, strlen(row->suffix)) == 0) break;
        if (!row->suffix || !row->suffix[0]) return 0;
        v *= (double)row->factor;
        s += strlen(row->suffix);
    }
    *whole = number;
    return f64_to_u64_sat(v);
}

}  // namespace

u64 str_parse_size_imp(const char *text, const str_size_unit *table)
{
    bool whole;
    return parse_size(text, table, &whole);
}

bool str_is_size(const char *text, u64 *size)
{
    bool whole;
    *size = parse_size(text, size_units, &whole);
    return whole;
}

u64 str_parse_size(const char *text) { return str_parse_size_imp(text, size_units); }

char *str_size_human_imp(u64 size, u64 unit, char *out, size_t outsize)
{
    OS_CHECK_RET(out != nullptr && outsize > 0, out);
    if (size == 0) {
        str_safecopy_trunc(out, outsize, "0");
        return out;
    }
    if (unit) {
        u64 q = size / unit, rem = size % unit;
        // (size + unit/2) / unit without the sum overflowing
        if (rem >= unit - unit / 2) ++q;
        snprintf(out, outsize, "%llu", (unsigned long long)q);
        return out;
    }
    unsigned tenths = 0;
    int divs = 0;
    while (size > 1023 && divs < 8) {
        tenths = (unsigned)(((size % 1024) * 10 + 512) / 1024);
        size /= 1024;
        ++divs;
    }
    if (!divs) {
        snprintf(out, outsize, "%llu", (unsigned long long)size);
        return out;
    }
    if (tenths >= 10) {
        ++size;
        tenths = 0;
    }
    snprintf(out, outsize, "%llu.%u%c", (unsigned long long)size, tenths, "KMGTPEZY"[divs - 1]);
    return out;
}

const char *str_size_human(u64 size, u64 unit)
{
    static thread_local char text[21];
    return str_size_human_imp(size, unit, text, sizeof text);
}

// Appends to out within its room; a cut text stays terminated.
static void append_fmt(char *out, size_t outsize, const char *fmt, ...) OS_PRINTF(3, 4);
static void append_fmt(char *out, size_t outsize, const char *fmt, ...)
{
    size_t len = strnlen(out, outsize);
    if (len + 1 >= outsize) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(out + len, outsize - len, fmt, ap);
    va_end(ap);
}

static inline const char *plural(long long n) { return n > 1 ? "s" : ""; }

char *str_duration_fmt(double seconds, char *out, size_t outsize)
{
    if (!out || outsize == 0) return out;
    out[0] = 0;
    if (std::isnan(seconds)) return out;
    double whole = std::trunc(seconds);
    long long n = whole >= 9.2e18 ? INT64_MAX : whole <= -9.2e18 ? INT64_MIN : (long long)whole;
    double frac = seconds - whole;
    if (n > 86399) {
        append_fmt(out, outsize, "%lld day%s ", n / 86400, plural(n / 86400));
        n %= 86400;
    }
    if (n > 3599) {
        append_fmt(out, outsize, "%lld hour%s ", n / 3600, plural(n / 3600));
        n %= 3600;
    }
    if (n > 59) {
        append_fmt(out, outsize, "%lld minute%s", n / 60, plural(n / 60));
    } else if (n >= 0) {
        double s = (double)n + frac;
        append_fmt(out, outsize, "%0.3f second%s", s, s > 1 ? "s" : "");
    }
    return out;
}

char *str_duration_dhms(double seconds, char *out, size_t outsize)
{
    if (!out || outsize == 0) return out;
    double whole = std::isnan(seconds) ? 0 : std::trunc(seconds);
    long long n = whole >= 9.2e18 ? INT64_MAX : whole <= -9.2e18 ? INT64_MIN : (long long)whole;
    long long d = n / 86400, h = n % 86400 / 3600, m = n % 3600 / 60, s = n % 60;
    if (d)
        snprintf(out, outsize, "%lld_%02lld:%02lld:%02lld", d, h, m, s);
    else if (h)
        snprintf(out, outsize, "%02lld:%02lld:%02lld", h, m, s);
    else
        snprintf(out, outsize, "%02lld:%02lld", m, s);
    return out;
}

char *str_hours_fmt(i64 hours, char *out, size_t outsize)
{
    if (!out || outsize == 0) return out;
    out[0] = 0;
    long long h = hours;
    static constexpr struct {
        const char *fmt;
        long long size;
    } units[] = {{"%lld year%s ", 8760}, {"%lld month%s ", 720}, {"%lld day%s ", 24}};
    for (const auto &u : units) {
        if (h >= u.size) {
            append_fmt(out, outsize, u.fmt, h / u.size, plural(h / u.size));
            h %= u.size;
        }
    }
    append_fmt(out, outsize, "%lld hour%s ", h, plural(h));
    return out;
}
