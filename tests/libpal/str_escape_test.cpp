#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_path.h"

namespace {

struct rfc_vector {
    const char *in, *b16, *b64;
};
// RFC 4648, section 10.
const rfc_vector rfc4648[] = {
    {"", "", ""},
    {"f", "66", "Zg=="},
    {"fo", "666F", "Zm8="},
    {"foo", "666F6F", "Zm9v"},
    {"foob", "666F6F62", "Zm9vYg=="},
    {"fooba", "666F6F6261", "Zm9vYmE="},
    {"foobar", "666F6F626172", "Zm9vYmFy"},
};

TEST(Rfc4648, Base16)
{
    for (const auto &v : rfc4648) {
        char out[32];
        size_t n = strlen(v.in);
        EXPECT_EQ(str_hex_encode_imp(v.in, (i64)n, out, sizeof out), (i64)(2 * n));
        EXPECT_STREQ(out, v.b16);
        char dec[16];
        EXPECT_EQ(str_hex_decode_imp(v.b16, 1, dec, sizeof dec), (i64)n);
        EXPECT_STREQ(dec, v.in);
        std::string lower(v.b16);
        for (auto &c : lower) c = (char)tolower(c);
        EXPECT_EQ(str_hex_decode_imp(lower.c_str(), 1, dec, sizeof dec), (i64)n);
        EXPECT_STREQ(dec, v.in);
    }
}

TEST(Rfc4648, Base64AndUrlAlphabet)
{
    for (const auto &v : rfc4648) {
        size_t n = strlen(v.in);
        char out[32];
        EXPECT_EQ(str_base64_encode(v.in, n, out, sizeof out), (int)strlen(v.b64));
        EXPECT_STREQ(out, v.b64);
        EXPECT_EQ(str_base64_encode_url(v.in, n, out, sizeof out), (int)strlen(v.b64));
        EXPECT_STREQ(out, v.b64);  // no byte of these maps to '+' or '/'
        EXPECT_EQ(str_base64_encode_std(v.in, out, sizeof out), 0);
        EXPECT_STREQ(out, v.b64);
        char dec[16] = {};
        EXPECT_EQ(str_base64_decode(v.b64, dec, sizeof dec), (int)n);
        EXPECT_EQ(std::string(dec, n), v.in);
    }
    // Bytes that reach the two alphabets' last characters.
    const unsigned char odd[] = {0xfb, 0xff, 0xbf};
    char out[16];
    str_base64_encode(odd, sizeof odd, out, sizeof out);
    EXPECT_STREQ(out, "+/+/");
    str_base64_encode_url(odd, sizeof odd, out, sizeof out);
    EXPECT_STREQ(out, "-_-_");
    unsigned char dec[4];
    EXPECT_EQ(str_base64_decode("-_-_", dec, sizeof dec), 3);
    EXPECT_EQ(memcmp(dec, odd, 3), 0);
    EXPECT_EQ(str_base64_decode("+/+/", dec, sizeof dec), 3);
    EXPECT_EQ(memcmp(dec, odd, 3), 0);
}

TEST(Base64, RoundTripsRandomBytes)
{
    std::mt19937 rng(5);
    for (int round = 0; round < 500; ++round) {
        std::vector<unsigned char> in(rng() % 100);
        for (auto &b : in) b = (unsigned char)rng();
        std::vector<char> enc(PL_BASE64_ENCODE_LEN(in.size()));
        int urlsafe = round & 1;
        const unsigned char *src = in.empty() ? (const unsigned char *)"" : in.data();
        int n = str_base64_encode_imp(src, in.size(), enc.data(), enc.size(), urlsafe);
        ASSERT_EQ(n, (int)enc.size() - 1);
        std::vector<unsigned char> dec(in.size() + 1);
        ASSERT_EQ(str_base64_decode(enc.data(), dec.data(), in.size()), (int)in.size());
        EXPECT_TRUE(std::equal(in.begin(), in.end(), dec.begin()));
    }
}

TEST(Base64, EncoderBoundsAndForms)
{
    char out[16];
    EXPECT_EQ(str_base64_encode("abc", 3, out, 4), -1);  // no room for the NUL
    EXPECT_EQ(str_base64_encode("abc", 3, out, 5), 4);
    EXPECT_EQ(str_base64_encode(nullptr, 0, out, sizeof out), -1);
    EXPECT_EQ(str_base64_encode("a", 1, nullptr, 8), -1);
    EXPECT_EQ(str_base64_encode("ab", 2, out, sizeof out), 4);
    EXPECT_STREQ(out, "YWI=");
    // The text forms encode the terminating NUL too.
    EXPECT_EQ(str_base64_encode_str("abc", out, sizeof out), 8);
    EXPECT_STREQ(out, "YWJjAA==");
    EXPECT_EQ(str_base64_encode_url_str("abc", out, sizeof out), 8);
    char *d = str_base64_encode_dup("abc", 3);
    EXPECT_STREQ(d, "YWJj");
    os_free(d);

    EXPECT_EQ(str_base64_encode_std("abc", out, sizeof out), 0);
    EXPECT_STREQ(out, "YWJj");
    EXPECT_EQ(str_base64_encode_std("a", out, sizeof out), 0);
    EXPECT_STREQ(out, "YQ==");
    EXPECT_EQ(str_base64_encode_std("", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    strcpy(out, "x");
    EXPECT_EQ(str_base64_encode_std("abc", out, 4), 34);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(str_base64_encode_std("abcdef", out, 9), 0);
    EXPECT_STREQ(out, "YWJjZGVm");
    EXPECT_EQ(str_base64_encode_std("abcdefg", out, 12), 34);
    EXPECT_STREQ(out, "");
}

TEST(Base64, DecoderRejectsBadInput)
{
    unsigned char out[16];
    EXPECT_EQ(str_base64_decode("Zm9v YmFy", out, sizeof out), -1);  // white space
    EXPECT_EQ(str_base64_decode("Zm9v\n", out, sizeof out), -1);
    EXPECT_EQ(str_base64_decode("Zm*v", out, sizeof out), -1);
    EXPECT_EQ(str_base64_decode("Zm9vYmFy", out, 5), -1);  // out too small
    EXPECT_EQ(str_base64_decode("Zm9vYmFy", out, 6), 6);
    EXPECT_EQ(str_base64_decode("Zm9=junk", out, sizeof out), 2);  // stops at '='
    EXPECT_EQ(str_base64_decode("Zm9vY", out, sizeof out), 3);     // a lone last character
    EXPECT_EQ(str_base64_decode("Zm9vYm", out, sizeof out), 4);
    EXPECT_EQ(str_base64_decode("", out, sizeof out), 0);
    EXPECT_EQ(str_base64_decode("Zg==", nullptr, 4), -1);
    EXPECT_EQ(str_base64_decode(nullptr, out, 4), -1);
    EXPECT_EQ(str_base64_decode("\xff\x80", out, sizeof out), -1);
}

TEST(Hex, EncodeDecodeForms)
{
    const unsigned char b[] = {0x00, 0xAB};
    char out[8];
    EXPECT_EQ(str_hex_encode_imp(b, 2, nullptr, 0), 5);
    EXPECT_EQ(str_hex_encode_imp(b, 2, out, 4), -1);
    EXPECT_EQ(str_hex_encode_imp(b, 2, out, 5), 4);
    EXPECT_STREQ(out, "00AB");
    EXPECT_EQ(str_bin2hex(b, 2, out, sizeof out), 1);
    EXPECT_STREQ(out, "00ab");
    EXPECT_EQ(str_bin2hex(b, 2, out, 4), 0);
    EXPECT_STREQ(out, "");

    char dec[8] = "zz";
    EXPECT_EQ(str_hex_decode_imp("abc", 0, dec, sizeof dec), -1);
    EXPECT_EQ(str_hex_decode_imp("", 1, dec, sizeof dec), 0);
    EXPECT_STREQ(dec, "");
    EXPECT_EQ(str_hex_decode_imp("zz", 0, dec, sizeof dec), -1);
    EXPECT_EQ(str_hex_decode_imp("4142", 1, nullptr, 0), 3);
    EXPECT_EQ(str_hex_decode_imp("4142", 1, dec, 2), -1);

    u64 before = (log_default_printf(LOG_LVL_VERB, "pal", "", 0, "", "warm\n"), malloc_count.load());
    char *s = str_hex_encode_str("hi");
    EXPECT_STREQ(s, "6869");
    os_free(s);
    size_t n = 0;
    u8 *raw = str_hex_decode_dup("00ff10", &n);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(raw[1], 0xff);
    os_free(raw);
    EXPECT_EQ(str_hex_decode_dup("0g", &n), nullptr);
    char spaced[] = " 41\t42\r\n43 ";
    raw = str_hex_decode_blank(spaced, &n);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(memcmp(raw, "ABC", 3), 0);
    os_free(raw);
    s = str_hex_decode_str("414243");
    EXPECT_STREQ(s, "ABC");
    os_free(s);
    s = str_hex_decode_digits("31323334", 0);  // "1234" with its pairs swapped
    EXPECT_STREQ(s, "2143");
    os_free(s);
    s = str_hex_decode_digits("3132", 1);
    EXPECT_STREQ(s, "12");
    os_free(s);
    EXPECT_EQ(str_hex_decode_digits("313233", 0), nullptr);  // odd length
    EXPECT_EQ(str_hex_decode_digits("3141", 0), nullptr);    // not digits
    EXPECT_EQ(str_hex_decode_digits("", 0), nullptr);
    EXPECT_EQ(malloc_count.load(), before);

    EXPECT_EQ(hex_digit_val('f'), 15u);
    EXPECT_EQ(hex_digit_val('G'), 255u);
    EXPECT_EQ(hex_val_table('A'), 10);
    EXPECT_EQ(hex_val_table(0x80), -1);
    EXPECT_EQ(hex_val_table(-1), -1);
}

TEST(Hex, LooseSeparatedAndPatterns)
{
    u8 out[8];
    EXPECT_EQ(str_hex_decode_loose("aa:bb-cc", 8, out, sizeof out), 3);
    EXPECT_EQ(out[2], 0xcc);
    EXPECT_EQ(str_hex_decode_loose("aa.bb_c", 7, out, sizeof out), 2);  // lone last character
    EXPECT_EQ(str_hex_decode_loose("aaxbb", 5, out, sizeof out), -1);
    EXPECT_EQ(str_hex_decode_loose("a", 1, out, sizeof out), -1);
    EXPECT_EQ(str_hex_decode_loose("aabbccdd", 8, out, 2), -1);
    EXPECT_EQ(str_hex_decode_loose("aabbcc", 6, out, 3), 3);
    EXPECT_EQ(str_hex_decode_loose("aab", 10, out, sizeof out), -1);  // stops at the NUL

    EXPECT_EQ(str_hex_sep_decode("01:02:ff", ':', out), 0);
    EXPECT_EQ(out[2], 0xff);
    EXPECT_EQ(str_hex_sep_decode("0102", 0, out), 0);
    EXPECT_EQ(str_hex_sep_decode("01:0203", ':', out), 0);  // the separator is optional
    EXPECT_EQ(out[2], 0x03);
    EXPECT_EQ(str_hex_sep_decode("01::02", ':', out), 1);
    EXPECT_EQ(str_hex_sep_decode("01-02", ':', out), 1);
    EXPECT_EQ(str_hex_sep_decode("01:0", ':', out), 1);
    EXPECT_EQ(str_hex_sep_decode("", ':', out), 0);
    EXPECT_EQ(str_hex_sep_decode(nullptr, ':', out), 0);

    EXPECT_EQ(str_hex_pattern_imp("4A??3F", nullptr, nullptr), 4);
    u8 *vals = nullptr;
    char *marks = nullptr;
    int len = 0;
    ASSERT_EQ(str_hex_pattern("4A??3F", &vals, &len, &marks), 4);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(memcmp(marks, "_??_", 4), 0);
    EXPECT_EQ(vals[0], 0x4A);
    EXPECT_EQ(vals[1], 0);
    EXPECT_EQ(vals[3], 0x3F);
    os_free(vals);
    os_free(marks);
    EXPECT_EQ(str_hex_pattern_imp("4A3", nullptr, nullptr), -1);
    EXPECT_EQ(str_hex_pattern_imp("4A 3F", nullptr, nullptr), -1);
    EXPECT_EQ(str_hex_pattern("", &vals, &len, &marks), 0);
}

TEST(PercentEscapes, ClassesAndUnescape)
{
    char out[64];
    EXPECT_EQ(str_escape_url_args("a b&c=d", out, sizeof out), 0);
    EXPECT_STREQ(out, "a%20b%26c%3Dd");
    EXPECT_EQ(str_escape_url_args("a b", out, 5), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(str_escape_imp(nullptr, "x", 1, 7), -1);
    EXPECT_EQ(str_escape_imp(nullptr, "x", 1, -1), -1);
    EXPECT_EQ(str_escape_imp(nullptr, "a b\x7f", 4, STR_ESC_URI), 9);
    EXPECT_EQ(str_escape_imp(out, "a b\x7f", 4, STR_ESC_URI), 8);
    EXPECT_STREQ(out, "a%20b%7F");
    str_escape_imp(out, "\x7f%", 2, STR_ESC_PERCENT);
    EXPECT_STREQ(out, "\x7f%25");
    str_escape_imp(out, "'x\"", 3, STR_ESC_QUOTE);
    EXPECT_STREQ(out, "%27x%22");
    str_escape_imp(out, "a/b", 3, STR_ESC_ALL);
    EXPECT_STREQ(out, "a%2Fb");

    EXPECT_EQ(str_unescape_url_args("a%2x", out, sizeof out), 0);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(str_unescape_url_args("%zz", out, sizeof out), 0);
    EXPECT_STREQ(out, "zz");
    EXPECT_EQ(str_unescape_url_args("a+b%3f%", out, sizeof out), 0);
    EXPECT_STREQ(out, "a+b?");
    EXPECT_EQ(str_unescape_uri("p%20q?x=%20", out, sizeof out), 0);
    EXPECT_STREQ(out, "p q?");
    EXPECT_EQ(str_unescape_uri("p%3fq", out, sizeof out), 0);
    EXPECT_STREQ(out, "p?");
    EXPECT_EQ(str_unescape_url_args("abc", out, 3), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(str_unescape_imp(out, "%41%0a%3Fz", 10, STR_UNESC_KEEP), 5);
    EXPECT_STREQ(out, "A%0a?");
}

TEST(PercentEscapes, UrlArgumentsRoundTrip)
{
    std::mt19937 rng(9);
    for (int round = 0; round < 300; ++round) {
        std::string in;
        size_t n = rng() % 40;
        for (size_t i = 0; i < n; ++i) in += (char)(1 + rng() % 255);
        char enc[200], dec[200];
        ASSERT_EQ(str_escape_url_args(in.c_str(), enc, sizeof enc), 0);
        for (const char *p = enc; *p; ++p) {
            ASSERT_GT((unsigned char)*p, ' ');
            ASSERT_LT((unsigned char)*p, 127);
            ASSERT_EQ(strchr("#&+;=?", *p), nullptr);
        }
        ASSERT_EQ(str_unescape_url_args(enc, dec, sizeof dec), 0);
        EXPECT_EQ(in, dec);
    }
}

TEST(BackslashEscapes, EscapeAndUnescape)
{
    char out[64];
    EXPECT_EQ(str_escape_cstr(out, sizeof out, "\t"), 0);
    EXPECT_STREQ(out, "\\t");
    EXPECT_EQ(str_escape_cstr(out, sizeof out, "\x01"), 0);
    EXPECT_STREQ(out, "\\u0001");
    EXPECT_EQ(str_escape_cstr(out, sizeof out, "a\"b\\\x1f\xe9"), 0);
    EXPECT_STREQ(out, "a\\\"b\\\\\\u001F\xe9");
    EXPECT_EQ(str_escape_cstr_imp(nullptr, "\b\f\n\r", 4), 8u);
    EXPECT_EQ(str_escape_cstr(out, 3, "\n"), 0);
    EXPECT_EQ(str_escape_cstr(out, 2, "\n"), -1);

    EXPECT_EQ(str_escape_csv(out, sizeof out, "a,b"), 0);
    EXPECT_STREQ(out, "\"a,b\"");
    EXPECT_EQ(str_escape_csv(out, sizeof out, "ab"), 0);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(str_escape_csv(out, 5, "a,b"), -1);
    EXPECT_EQ(str_escape_csv(out, 6, "a,b"), 0);
    EXPECT_STREQ(out, "\"a,b\"");

    const char *p = "101x";
    EXPECT_EQ(str_parse_cescape(&p), 'A');
    EXPECT_STREQ(p, "x");
    p = "777";  // more than a byte: two digits only
    EXPECT_EQ(str_parse_cescape(&p), 077);
    EXPECT_STREQ(p, "7");
    p = "n";
    EXPECT_EQ(str_parse_cescape(&p), '\n');
    p = "q";
    EXPECT_EQ(str_parse_cescape(&p), '\\');
    EXPECT_STREQ(p, "q");

    u64 before = (log_default_printf(LOG_LVL_VERB, "pal", "", 0, "", "warm\n"), malloc_count.load());
    char *s = str_unescape_cstr("\\x41\\101\\q\\n\\e\\\"\\?");
    EXPECT_STREQ(s, "AAq\n\x1b\"?");
    os_free(s);
    s = str_unescape_cstr("\\x00000000000000000000041z");  // no overflow, low byte kept
    EXPECT_STREQ(s, "Az");
    os_free(s);
    s = str_unescape_cstr("\\U1F600");
    EXPECT_STREQ(s, "\x00");
    os_free(s);
    s = str_unescape_cstr("end\\");
    EXPECT_STREQ(s, "end");
    os_free(s);
    s = str_unescape_cstr("");
    EXPECT_STREQ(s, "");
    os_free(s);
    EXPECT_EQ(malloc_count.load(), before);
}

// A client's text in a log record: nothing in it ends the record, reads as
// a bracketed field or an escape of its own, or is a raw byte above 0x7f.
TEST(BackslashEscapes, LogRecordText)
{
    char out[64];
    EXPECT_STREQ(str_escape_log(out, sizeof out, "admin ip=1.2.3.4 /cmd?a=b"), "admin ip=1.2.3.4 /cmd?a=b");
    EXPECT_STREQ(str_escape_log(out, sizeof out, "a]b[c\\d\n\x7f\x01\xe9\xff\xfe~"),
                 "a\\x5db\\x5bc\\x5cd\\x0a\\x7f\\x01\\xe9\\xff\\xfe~");
    // The four characters of an escape sent as text stay apart from one.
    EXPECT_STREQ(str_escape_log(out, sizeof out, "\\x5d"), "\\x5cx5d");
    // Cut at the buffer, never inside an escape.
    EXPECT_STREQ(str_escape_log(out, 7, "ab]"), "ab\\x5d");
    EXPECT_STREQ(str_escape_log(out, 6, "ab]c"), "ab");
    EXPECT_STREQ(str_escape_log(out, 3, "abc"), "ab");
    EXPECT_STREQ(str_escape_log(out, 1, "abc"), "");
    EXPECT_EQ(str_escape_log(out, sizeof out, "x"), out);
    EXPECT_STREQ(str_escape_log(out, sizeof out, nullptr), "");
    EXPECT_STREQ(str_escape_log(nullptr, 0, "x"), "");
    EXPECT_STREQ(str_log_esc<8>("]]").c_str(), "\\x5d");  // the second one would not fit whole
}

}  // namespace
