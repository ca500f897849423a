#include "liblog/log_fmt.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

struct out {
    char *buf;
    size_t cap;
    size_t n = 0;
    void put(char c)
    {
        if (n + 1 < cap) buf[n] = c;
        ++n;
    }
    void put(const char *s, size_t len)
    {
        if (n + 1 < cap) {
            size_t room = cap - 1 - n;
            memcpy(buf + n, s, len < room ? len : room);
        }
        n += len;
    }
    void pad(char c, long k)
    {
        for (; k > 0; --k) put(c);
    }
};

}  // namespace

int log_vformat(char *buf, size_t cap, const char *fmt, va_list ap)
{
    // One pass; a conversion not handled here hands the whole format to
    // vsnprintf with the arguments from the start.
    va_list start;
    va_copy(start, ap);
    out o{buf, cap};
    const char *p = fmt;
    while (*p) {
        const char *pc = strchr(p, '%');
        if (!pc) {
            o.put(p, strlen(p));
            break;
        }
        o.put(p, (size_t)(pc - p));
        p = pc + 1;
        if (*p == '%') {
            o.put('%');
            ++p;
            continue;
        }
        bool left = false, zero = false, plus = false, space = false, alt = false;
        for (bool flag = true; flag; ) {
            switch (*p) {
            case '-': left = true; ++p; break;
            case '0': zero = true; ++p; break;
            case '+': plus = true; ++p; break;
            case ' ': space = true; ++p; break;
            case '#': alt = true; ++p; break;
            default: flag = false; break;
            }
        }
        long width = 0, prec = -1;
        if (*p == '*') {
            width = va_arg(ap, int);
            if (width < 0) {
                left = true;
                width = -width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                prec = va_arg(ap, int);
                if (prec < 0) prec = -1;
                ++p;
            } else {
                prec = 0;
                while (*p >= '0' && *p <= '9') prec = prec * 10 + (*p++ - '0');
            }
        }
        int len = 0;  // 0 int, 1 short, 2 char, 3 long, 4 long long, 5 size/intmax/ptrdiff
        if (*p == 'h') {
            len = p[1] == 'h' ? 2 : 1;
            p += len == 2 ? 2 : 1;
        } else if (*p == 'l') {
            len = p[1] == 'l' ? 4 : 3;
            p += len == 4 ? 2 : 1;
        } else if (*p == 'z' || *p == 'j' || *p == 't') {
            len = 5;
            ++p;
        }
        char conv = *p;
        if (!conv || !strchr("diuxXocsp", conv)) {
            int n = vsnprintf(buf, cap, fmt, start);
            va_end(start);
            return n;
        }
        ++p;
        char tmp[72];
        char *e = tmp + sizeof tmp, *d = e;
        const char *prefix = "";
        if (conv == 'c') {
            char c = (char)va_arg(ap, int);
            if (!left) o.pad(' ', width - 1);
            o.put(c);
            if (left) o.pad(' ', width - 1);
            continue;
        }
        if (conv == 's') {
            const char *s = va_arg(ap, const char *);
            size_t sl;
            if (!s) {
                s = prec >= 0 && prec < 6 ? "" : "(null)";
                sl = strlen(s);
            } else {
                sl = prec >= 0 ? strnlen(s, (size_t)prec) : strlen(s);
            }
            if (!left) o.pad(' ', width - (long)sl);
            o.put(s, sl);
            if (left) o.pad(' ', width - (long)sl);
            continue;
        }
        unsigned long long u = 0;
        bool neg = false;
        unsigned base = 10;
        bool upper = false;
        if (conv == 'p') {
            void *v = va_arg(ap, void *);
            if (!v) {
                const char *nil = "(nil)";
                if (!left) o.pad(' ', width - 5);
                o.put(nil, 5);
                if (left) o.pad(' ', width - 5);
                continue;
            }
            u = (uintptr_t)v;
            base = 16;
            prefix = "0x";
            alt = false;
        } else if (conv == 'd' || conv == 'i') {
            long long v;
            switch (len) {
            case 1: v = (short)va_arg(ap, int); break;
            case 2: v = (signed char)va_arg(ap, int); break;
            case 3: v = va_arg(ap, long); break;
            case 4: v = va_arg(ap, long long); break;
            case 5: v = (long long)va_arg(ap, intptr_t); break;
            default: v = va_arg(ap, int); break;
            }
            neg = v < 0;
            u = neg ? 0ull - (unsigned long long)v : (unsigned long long)v;
            prefix = neg ? "-" : plus ? "+" : space ? " " : "";
        } else {
            switch (len) {
            case 1: u = (unsigned short)va_arg(ap, unsigned); break;
            case 2: u = (unsigned char)va_arg(ap, unsigned); break;
            case 3: u = va_arg(ap, unsigned long); break;
            case 4: u = va_arg(ap, unsigned long long); break;
            case 5: u = (unsigned long long)va_arg(ap, size_t); break;
            default: u = va_arg(ap, unsigned); break;
            }
            if (conv == 'x' || conv == 'X') {
                base = 16;
                upper = conv == 'X';
                if (alt && u) prefix = upper ? "0X" : "0x";
            } else if (conv == 'o') {
                base = 8;
            }
        }
        const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        if (base == 10) {
            for (unsigned long long v = u; v; v /= 10) *--d = (char)('0' + v % 10);
        } else {
            unsigned shift = base == 16 ? 4 : 3;
            for (unsigned long long v = u; v; v >>= shift) *--d = digits[v & (base - 1)];
        }
        long nd = (long)(e - d);
        if (prec == 0 && u == 0) nd = 0;  // "%.0d" of 0 prints nothing
        long zeros = prec > nd ? prec - nd : 0;
        if (prec < 0 && u == 0) zeros = 1;  // plain 0
        if (conv == 'o' && alt && zeros == 0 && (nd == 0 || *d != '0')) zeros = 1;
        long plen = (long)strlen(prefix);
        long body = plen + zeros + nd;
        if (zero && !left && prec < 0 && width > body) {
            zeros += width - body;
            body = width;
        }
        if (!left) o.pad(' ', width - body);
        o.put(prefix, (size_t)plen);
        o.pad('0', zeros);
        o.put(d, (size_t)nd);
        if (left) o.pad(' ', width - body);
    }
    va_end(start);
    if (cap) buf[o.n < cap ? o.n : cap - 1] = 0;
    return o.n > 0x7fffffff ? -1 : (int)o.n;
}
