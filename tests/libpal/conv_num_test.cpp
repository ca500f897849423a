#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/conv_num.h"
#include "libpal/string/str_array.h"

namespace {

struct parsed {
    value_type type;
    u64 u;
    double d;
};

parsed parse(const char *text, int base = 0)
{
    str_num n;
    EXPECT_EQ(str_parse_all_number(&n, text, base), &n);
    return {n.type, n.type == VALUE_U64 ? n.u : 0, n.type == VALUE_DOUBLE ? n.d : 0};
}

void expect_int(const char *text, u64 v, int base = 0)
{
    parsed p = parse(text, base);
    EXPECT_EQ(p.type, VALUE_U64) << text;
    EXPECT_EQ(p.u, v) << text;
}

void expect_f64(const char *text, double v)
{
    parsed p = parse(text);
    EXPECT_EQ(p.type, VALUE_DOUBLE) << text;
    EXPECT_DOUBLE_EQ(p.d, v) << text;
}

TEST(NumberParser, Forms)
{
    expect_int("0x1F", 31);
    expect_int("017", 15);
    expect_int("08", 0);
    expect_int("0", 0);
    expect_int("123", 123);
    expect_int("0b101", 5);
    expect_int("10LU", 10);
    expect_int("10uLl", 10);
    expect_int("1LLL", 0);
    expect_int("1UU", 0);
    expect_int("12 apples", 12);
    expect_f64("1.5", 1.5);
    expect_f64("1e3", 1000);
    expect_f64(".25", 0.25);
    expect_f64("2.5E-1", 0.25);
    expect_f64("0x1p4", 16);
    expect_f64("0b1.1p0", 1.5);
    expect_f64("0x1.8p1", 3);
    expect_f64("0x10p-4", 1);
    expect_int("1e", 0);      // exponent without digits
    expect_int("0x1.8", 0);   // binary exponent missing
    expect_int("0b1.2p0", 0); // digit not below the base
    expect_int("0x1p", 0);
    expect_int(".", 0);
    expect_int("", 0);
    expect_int("abc", 0);
    expect_int("-5", 0);
    // A prefix without digits is zero, never what the stack held.
    expect_int("0x", 0);
    expect_int("0xx9", 0);
    expect_int("0b", 0);
    expect_int("0bz", 0);
    parsed p = parse(nullptr);
    EXPECT_EQ(p.type, VALUE_U64);
    EXPECT_EQ(p.u, 0u);
}

TEST(NumberParser, IntegerOverflowIsExact)
{
    expect_int("18446744073709551615", UINT64_MAX);
    expect_int("18446744073709551616", 0);
    expect_int("99999999999999999999", 0);
    expect_int("0xFFFFFFFFFFFFFFFF", UINT64_MAX);
    expect_int("0x10000000000000000", 0);
    expect_int("01777777777777777777777", UINT64_MAX);
    expect_int("02000000000000000000000", 0);
    // A product that wraps to a larger value is caught too.
    expect_int("36893488147419103231", 0);
}

TEST(NumberParser, LongInputsAndLongMantissas)
{
    std::string digits(1100, '1');
    expect_int(digits.c_str(), 0);  // more than the token buffer holds
    std::string frac = "1." + std::string(1100, '0');
    expect_int(frac.c_str(), 0);
    // A hexadecimal mantissa wider than 64 bits only costs precision.
    expect_f64("0x1000000000000000000p0", std::ldexp(1.0, 72));
    std::string zeros = "0x1." + std::string(40, '0') + "p0";
    expect_f64(zeros.c_str(), 1.0);
    expect_f64("0x1p99999999999", INFINITY);
    expect_f64("0x1p-99999999999", 0);
}

TEST(NumberParser, AgreesWithStrtoullAndStrtod)
{
    std::mt19937_64 rng(42);
    char text[64];
    for (int i = 0; i < 20000; ++i) {
        u64 v = rng() >> (rng() % 64);
        snprintf(text, sizeof text, "%" PRIu64, v);
        // a leading zero would switch to octal
        expect_int(text, strtoull(text, nullptr, 10));
        snprintf(text, sizeof text, "0x%" PRIx64, v);
        expect_int(text, strtoull(text, nullptr, 16));
        EXPECT_EQ(str_hex_to_u64(text + 2), strtoull(text + 2, nullptr, 16));
        snprintf(text, sizeof text, "0%" PRIo64, v);
        expect_int(text, strtoull(text, nullptr, 8));
    }
    std::uniform_real_distribution<double> mant(0, 10);
    for (int i = 0; i < 20000; ++i) {
        double d = mant(rng) * std::pow(10.0, (int)(rng() % 40) - 20);
        snprintf(text, sizeof text, "%.*g", 1 + (int)(rng() % 17), d);
        if (!strchr(text, '.') && !strchr(text, 'e')) continue;
        parsed p = parse(text);
        ASSERT_EQ(p.type, VALUE_DOUBLE) << text;
        EXPECT_EQ(p.d, strtod(text, nullptr)) << text;
    }
}

TEST(NumberParser, Wrappers)
{
    EXPECT_EQ(str_to_i64("42"), 42);
    EXPECT_EQ(str_to_i64("2.9"), 2);
    EXPECT_EQ(str_to_i64("-1.5"), 0);                 // saturates below 0
    EXPECT_EQ((u64)str_to_i64("1e30"), UINT64_MAX);  // and above the range
    EXPECT_DOUBLE_EQ(str_to_f64("7"), 7.0);
    EXPECT_DOUBLE_EQ(str_to_f64("0.5"), 0.5);
    EXPECT_EQ(str_hex_to_u64("0xff"), 255u);
    EXPECT_EQ(str_hex_to_u64("ff"), 255u);
    // In base 16, "0b..." is a number, not a binary prefix.
    EXPECT_EQ(str_hex_to_u64("0bad"), 0xBADu);
    EXPECT_EQ(str_hex_to_u32("0x1234567890"), 0x34567890u);
    EXPECT_EQ(str_hex_to_u32("0x1p40"), UINT32_MAX);
    EXPECT_EQ(str_to_ll("-0x10"), -16);
    EXPECT_EQ(str_to_ll(nullptr), 0);
}

TEST(NumberParser, Grouping)
{
    char out[32];
    EXPECT_EQ(str_u64_group(1234567, out, sizeof out, 1), 9);
    EXPECT_STREQ(out, "1,234,567");
    EXPECT_EQ(str_u64_group(123, out, sizeof out, 1), 3);
    EXPECT_STREQ(out, "123");
    EXPECT_EQ(str_u64_group(UINT64_MAX, out, sizeof out, 1), 26);
    EXPECT_STREQ(out, "18,446,744,073,709,551,615");
    EXPECT_EQ(str_u64_group(1234567, out, sizeof out, 0), 7);
    EXPECT_STREQ(out, "1234567");
    EXPECT_EQ(str_u64_group(1234567, out, 4, 1), 3);
    EXPECT_STREQ(out, "567");
    strcpy(out, "x");
    EXPECT_EQ(str_u64_group(5, out, 1, 1), 0);
    EXPECT_STREQ(out, "x");
}

TEST(Sizes, ParseWithSuffixes)
{
    EXPECT_EQ(str_parse_size("4K"), 4096u);
    EXPECT_EQ(str_parse_size("4kB"), 4000u);
    EXPECT_EQ(str_parse_size("4KB"), 4000u);
    EXPECT_EQ(str_parse_size("1.5M"), 1572864u);
    EXPECT_EQ(str_parse_size("1mb"), 1000000u);
    EXPECT_EQ(str_parse_size("2b"), 1024u);
    EXPECT_EQ(str_parse_size("10"), 10u);
    EXPECT_EQ(str_parse_size("10x"), 0u);
    EXPECT_EQ(str_parse_size("1G"), 1073741824u);
    EXPECT_EQ(str_parse_size("1gb"), 1000000000u);
    EXPECT_EQ(str_parse_size("2kk"), 2097152u);
    EXPECT_EQ(str_parse_size("1P"), 1125899906842624u);
    EXPECT_EQ(str_parse_size("-1"), 0u);
    EXPECT_EQ(str_parse_size("+1"), 0u);
    EXPECT_EQ(str_parse_size(" 1"), 0u);
    EXPECT_EQ(str_parse_size("1KiB"), 0u);
    EXPECT_EQ(str_parse_size("K"), 0u);
    EXPECT_EQ(str_parse_size(""), 0u);
    EXPECT_EQ(str_parse_size(nullptr), 0u);
    EXPECT_EQ(str_parse_size("1e999"), UINT64_MAX);
    EXPECT_EQ(str_parse_size("99999P"), UINT64_MAX);
    std::string longer(257, '1');
    EXPECT_EQ(str_parse_size(longer.c_str()), 0u);
    std::string limit = "1" + std::string(255, '0');
    EXPECT_EQ(str_parse_size(limit.c_str()), UINT64_MAX);
}

TEST(Sizes, HumanText)
{
    char out[32];
    strcpy(out, "junk");
    EXPECT_STREQ(str_size_human_imp(0, 0, out, sizeof out), "0");
    EXPECT_STREQ(out, "0");
    EXPECT_STREQ(str_size_human_imp(1023, 0, out, sizeof out), "1023");
    EXPECT_STREQ(str_size_human_imp(1024, 0, out, sizeof out), "1.0K");
    EXPECT_STREQ(str_size_human_imp(1536, 0, out, sizeof out), "1.5K");
    EXPECT_STREQ(str_size_human_imp(1048575, 0, out, sizeof out), "1024.0K");
    EXPECT_STREQ(str_size_human_imp(3ULL << 30, 0, out, sizeof out), "3.0G");
    EXPECT_STREQ(str_size_human_imp(UINT64_MAX, 0, out, sizeof out), "16.0E");
    EXPECT_STREQ(str_size_human_imp(1500, 1000, out, sizeof out), "2");
    EXPECT_STREQ(str_size_human_imp(1499, 1000, out, sizeof out), "1");
    EXPECT_STREQ(str_size_human_imp(UINT64_MAX, 1, out, sizeof out), "18446744073709551615");
    EXPECT_STREQ(str_size_human_imp(UINT64_MAX, UINT64_MAX, out, sizeof out), "1");

    // Each thread has its own text.
    const char *mine = str_size_human(2048, 0);
    const char *theirs = nullptr;
    std::thread([&] { theirs = str_size_human(4096, 0); }).join();
    EXPECT_NE(mine, theirs);
    EXPECT_STREQ(mine, "2.0K");
}

TEST(Durations, Texts)
{
    char out[64];
    EXPECT_STREQ(str_duration_fmt(86400 + 3600 + 60 + 1.5, out, sizeof out), "1 day 1 hour 1 minute");
    EXPECT_STREQ(str_duration_fmt(59.25, out, sizeof out), "59.250 seconds");
    EXPECT_STREQ(str_duration_fmt(1, out, sizeof out), "1.000 second");
    EXPECT_STREQ(str_duration_fmt(2 * 86400 + 7200 + 180, out, sizeof out), "2 days 2 hours 3 minutes");
    EXPECT_STREQ(str_duration_fmt(-3, out, sizeof out), "");
    EXPECT_STREQ(str_duration_fmt(86400 + 59, out, 8), "1 day 5");
    EXPECT_STREQ(str_duration_dhms(3725, out, sizeof out), "01:02:05");
    EXPECT_STREQ(str_duration_dhms(65.9, out, sizeof out), "01:05");
    EXPECT_STREQ(str_duration_dhms(90061, out, sizeof out), "1_01:01:01");
    EXPECT_STREQ(str_hours_fmt(8760 + 2 * 720 + 24 + 5, out, sizeof out), "1 year 2 months 1 day 5 hours ");
    EXPECT_STREQ(str_hours_fmt(1, out, sizeof out), "1 hour ");
    EXPECT_STREQ(str_hours_fmt(48, out, sizeof out), "2 days 0 hour ");
}

std::vector<std::string> items_of(const str_array *a)
{
    std::vector<std::string> r;
    for (u64 i = 0; i < a->count; ++i) r.emplace_back(a->items[i]);
    return r;
}

TEST(StrArray, GrowthOwnershipAndUniq)
{
    log_default_printf(LOG_LVL_VERB, "pal", __FILE__, __LINE__, __func__, "warm\n");
    u64 before = malloc_count.load();
    str_array *a = str_array_new(0, STR_ARR_OWN);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->capacity, 1u);
    EXPECT_EQ(str_array_add(a, nullptr), -1);
    for (const char *s : {"b", "a", "b", "c", "a"}) ASSERT_EQ(str_array_add(a, s), 0);
    EXPECT_EQ(a->capacity, 8u);
    for (u64 i = a->count; i <= a->capacity; ++i) EXPECT_EQ(a->items[i], nullptr) << i;
    str_array_sort(a);
    EXPECT_EQ(items_of(a), (std::vector<std::string>{"a", "a", "b", "b", "c"}));
    str_array_uniq(a);
    EXPECT_EQ(items_of(a), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(a->items[3], nullptr);
    str_array_truncate(a, 1);
    EXPECT_EQ(a->count, 1u);
    str_array_free(a);
    EXPECT_EQ(malloc_count.load(), before);

    str_array *v = str_array_new(4, 0);
    EXPECT_EQ(v->flags, (u32)STR_ARR_VALUE);
    str_array_uniq(v);  // empty: nothing happens
    str_array_free(v);
}

TEST(StrArray, SortAgreesWithStdSort)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 50; ++round) {
        size_t n = rng() % 40;
        // the array points at these texts, so they stay where they are
        std::vector<std::string> src;
        str_array *a = str_array_new(1, STR_ARR_TEXT);
        for (size_t i = 0; i < n; ++i) src.push_back(std::string(1 + rng() % 3, (char)('a' + rng() % 4)));
        for (auto &s : src) str_array_add(a, s.c_str());
        std::vector<std::string> ref = src;
        str_array_sort(a);
        std::sort(ref.begin(), ref.end());
        EXPECT_EQ(items_of(a), ref);
        str_array_uniq(a);
        ref.erase(std::unique(ref.begin(), ref.end()), ref.end());
        EXPECT_EQ(items_of(a), ref);
        str_array_free(a);
    }
}

}  // namespace
