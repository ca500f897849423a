#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "liblog/log_fmt.h"

namespace {

// Formats with both formatters into buffers of the given size and compares
// the results and the returned lengths.
void check(size_t cap, const char *fmt, ...)
{
    char a[256], b[256];
    memset(a, 'Z', sizeof a);
    memset(b, 'Z', sizeof b);
    va_list ap, ap2;
    va_start(ap, fmt);
    va_copy(ap2, ap);
    int na = log_vformat(a, cap, fmt, ap);
    int nb = vsnprintf(b, cap, fmt, ap2);
    va_end(ap2);
    va_end(ap);
    ASSERT_EQ(na, nb) << fmt;
    ASSERT_EQ(memcmp(a, b, sizeof a), 0) << fmt << " -> [" << a << "] vs [" << b << "]";
}

TEST(LogFormat, MatchesVsnprintfOnFixedCases)
{
    for (size_t cap : {256, 16, 5, 1}) {
        check(cap, "plain text");
        check(cap, "%%d %s", "x");
        check(cap, "%d %i %u", -5, INT_MIN, 4000000000u);
        check(cap, "[%5d|%-5d|%05d|%+d|% d|%.3d|%.0d|%8.3d]", 42, 42, -42, 7, 7, 5, 0, -5);
        check(cap, "%x %X %#x %#X %#o %o %08x %#.0x", 255u, 255u, 255u, 0u, 8u, 0u, 0xabcu, 0u);
        check(cap, "%ld %lu %lld %llu %lx", LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX, 0xdeadbeefUL);
        check(cap, "%hd %hu %hhd %hhu %zu %zd %jd %td", 70000, 70000u, 300, 300u, (size_t)12,
              (ssize_t)-3, (intmax_t)-9, (ptrdiff_t)11);
        check(cap, "%s|%10s|%-10s|%.2s|%*s|%-*s|%.*s", "abc", "abc", "abc", "abc", 6, "x", 6, "y",
              1, "zz");
        check(cap, "%s %.3s %.8s %10s", (char *)nullptr, (char *)nullptr, (char *)nullptr,
              (char *)nullptr);
        check(cap, "%c%c|%3c|%-3c|", 'a', 'b', 'c', 'd');
        check(cap, "%p %p %20p %-20p|", (void *)0x1234, (void *)nullptr, (void *)0xff, nullptr);
        check(cap, "%*d|%-*d|%.*d|%*.*d", -6, 1, 4, 2, -1, 3, 7, 4, 99);
        check(cap, "%f %e %g %5.2f", 1.5, 2.5e10, 0.1, 3.14159);  // handed to vsnprintf
        check(cap, "%o %#o %5o", 9u, 9u, 0u);
        check(cap, "trailing %");
    }
}

TEST(LogFormat, MatchesVsnprintfOnRandomSpecs)
{
    std::mt19937 rng(12345);
    const char *flags[] = {"", "-", "0", "+", " ", "#", "-0", "+0", "- ", "#0"};
    const char *convs[] = {"d", "i", "u", "x", "X", "o", "ld", "lu", "lx", "hd", "hhu", "lld"};
    for (int i = 0; i < 20000; ++i) {
        std::string f = "<%";
        f += flags[rng() % 10];
        if (rng() % 2) f += std::to_string(rng() % 25);
        if (rng() % 2) f += "." + std::to_string(rng() % 12);
        f += convs[rng() % 12];
        f += ">";
        long long v = (long long)(((unsigned long long)rng() << 32) | rng());
        if (rng() % 4 == 0) v = 0;
        if (rng() % 4 == 1) v = -(long long)(rng() % 1000);
        const std::string conv = f.substr(f.size() - 3, 2);
        size_t cap = rng() % 3 == 0 ? 1 + rng() % 40 : 256;
        if (f.find("ll") != std::string::npos)
            check(cap, f.c_str(), v);
        else if (f.find('l') != std::string::npos)
            check(cap, f.c_str(), (long)v);
        else
            check(cap, f.c_str(), (int)v);
        if (testing::Test::HasFatalFailure()) return;
    }
}

}  // namespace
