#include <gtest/gtest.h>

#include <string>

#include "common/log_capture.h"
#include "libpal/env/malloc.h"
#include "libpal/regex/regex_ex.h"

namespace {

std::string replace_all(const char *text, const char *pattern, const char *rep)
{
    char *s = regex_replace_all(text, pattern, rep);
    std::string r = s ? s : "<null>";
    os_free(s);
    return r;
}

TEST(Regex, MatchFlags)
{
    EXPECT_EQ(reg_match("connect timed out\n", "time(d)? ?out$"), 1);  // "$" before a line feed
    EXPECT_EQ(reg_match("first\nsecond", "^second"), 1);
    EXPECT_EQ(reg_match("first\nsecond", "first.second"), 0);  // "." stops at line feeds
    EXPECT_EQ(reg_match("Timeout", "timeout"), 0);
    EXPECT_EQ(reg_imatch("Timeout", "timeout"), 1);
    EXPECT_EQ(reg_match("a+b", "a\\+b"), 1);
    EXPECT_EQ(reg_match("aab", "a{2}b"), 1);  // extended syntax
    EXPECT_EQ(reg_match("x", ""), 1);
    EXPECT_EQ(reg_match(nullptr, "x"), 0);
    EXPECT_EQ(regmatch_imp("X", "x", 1), 1);
}

TEST(Regex, BadAndOverlongPatternsNeverMatch)
{
    testutil::log_capture cap;
    EXPECT_EQ(reg_match("a(", "a("), 0);
    EXPECT_TRUE(cap.has("regcomp: ")) << cap.get();
    std::string big(REGEX_PATTERN_MAX + 1, 'a');
    EXPECT_EQ(reg_match(big.c_str(), big.c_str()), 0);
    EXPECT_EQ(reg_match(big.c_str(), big.substr(1).c_str()), 1);

    // Stacked repetitions are refused before they eat time and memory.
    std::string plus = "a" + std::string(40, '+');
    EXPECT_EQ(reg_match("aaa", plus.c_str()), 0);
    EXPECT_TRUE(cap.has("regcomp: pattern too complex")) << cap.get();
    EXPECT_EQ(reg_match("aaa", "((a{1,100}){1,100}){1,100}"), 0);
    EXPECT_EQ(reg_match("aaa", "a{2}{2}{2}{2}{2}{2}{2}{2}{2}{2}{2}{2}{2}{2}{2}{2}{2}"), 0);
    // Everyday repetitions pass.
    EXPECT_EQ(reg_match("ip 10.0.0.1 up", "([0-9]{1,3}\\.){3}[0-9]{1,3}"), 1);
    EXPECT_EQ(reg_match(std::string(100, 'a').c_str(), "^(a{10}){10}$"), 1);
    EXPECT_EQ(reg_match("a+b", "a+[+]+b*c?|x{100}"), 1);
    EXPECT_EQ(reg_match("aaa", "((a*)*){1,200}"), 0);
    // Loops over parts that may match the empty string are refused: their
    // closures explode, most of all next to anchors.
    EXPECT_EQ(reg_match("aaa", "u$((l*)*){1,20}"), 0);
    EXPECT_EQ(reg_match("aaa", "a**"), 0);
    EXPECT_EQ(reg_match("aaa", "(a|b?)+"), 0);
    EXPECT_EQ(reg_match("aaa", "(^$)*a"), 0);
    EXPECT_EQ(reg_match("aaa", "(a{,100}){,100}"), 0);
    EXPECT_EQ(reg_match("aaa", "(\\<)+a"), 0);
    EXPECT_EQ(reg_match("aaa", "(a*)?a"), 1);   // "?" does not loop
    EXPECT_EQ(reg_match("aaa", "(a*b|a)+"), 1);  // the loop body is never empty
    EXPECT_EQ(reg_match("aaa", "a{,3}$"), 1);
    EXPECT_EQ(reg_match("abab", "(ab)\\1"), 0);  // back-references are refused
    EXPECT_EQ(reg_match("a1", "[\\1]"), 1);     // inside brackets it is no reference
    EXPECT_EQ(reg_match("-x]a-", "[]x[:alpha:]]{3}"), 1);
    EXPECT_EQ(reg_match("a)", "a)"), 1);
    EXPECT_EQ(reg_match("a", "a{1234567}"), 0);  // long counts end the scan too

    regex_cached *bad = regex_cached_new("a(", 0);
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(regex_cached_ok(bad), 0);
    EXPECT_EQ(regex_cached_match(bad, "a("), 0);
    regex_cached_free(bad);
    regex_cached_free(nullptr);
    EXPECT_EQ(regex_cached_new(nullptr, 0), nullptr);
}

// A pattern compiled once answers exactly as a compile per call.
TEST(Regex, CachedAgreesWithCompilePerCall)
{
    const char *patterns[] = {"^a", "b$", "a|b", "[0-9]+", "(ab)*c", "^$", ".", "x{2,3}",
                              // plain texts, searched as substrings
                              "TIME", "e\nO", "", "b c", "\xc3\xa9"};
    const char *texts[] = {"", "a", "b\n", "abc", "xx", "123", "time\nout", "ABABC", "\n", "ab c",
                           "\xc3\xa9t\xc3\xa9", "\xc3\x89"};
    for (int icase = 0; icase < 2; ++icase) {
        for (const char *p : patterns) {
            regex_cached *re = regex_cached_new(p, icase);
            ASSERT_TRUE(regex_cached_ok(re)) << p;
            EXPECT_EQ(regex_cached_icase(re), icase);
            for (const char *t : texts)
                EXPECT_EQ(regex_cached_match(re, t), regmatch_imp(p, t, icase)) << p << " ~ " << t;
            regex_cached_free(re);
        }
    }
}

TEST(Regex, FirstMatchOffsets)
{
    cns_reg_res r = cns_reg("say hello world", "l+o");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.start, 6);
    EXPECT_EQ(r.end, 9);
    r = cns_reg("abc", "x");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.start, -1);
    EXPECT_EQ(r.end, -1);
    r = cns_reg("a\nb", "a.b");  // no REG_NEWLINE here: "." takes the line feed
    EXPECT_EQ(r.status, 0);
    testutil::log_capture cap;
    r = cns_reg("abc", "(");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.start, -1);
    EXPECT_TRUE(cap.has(": regex '('\n")) << cap.get();
}

TEST(Regex, ReplaceAll)
{
    EXPECT_EQ(replace_all("a1b22c333", "[0-9]+", "#"), "a#b#c#");
    EXPECT_EQ(replace_all("aaa", "a", "aa"), "aaaaaa");  // continues after the replacement
    EXPECT_EQ(replace_all("abc", "x", "y"), "abc");
    EXPECT_EQ(replace_all("abc", "b", "b"), "abc");      // pattern equals replacement
    EXPECT_EQ(replace_all("aaa", "^a", "b"), "baa");     // "^" only at the start of the text
    EXPECT_EQ(replace_all("abc", "c$", "C"), "abC");
    EXPECT_EQ(replace_all("", "x", "y"), "");
    // Patterns that match the empty string end as well.
    EXPECT_EQ(replace_all("abc", "x*", "-"), "-a-b-c-");
    EXPECT_EQ(replace_all("", "x*", "-"), "-");
    EXPECT_EQ(replace_all("baaac", "a*", "-"), "-b--c-");
    EXPECT_EQ(replace_all("abc", "", "."), ".a.b.c.");
    EXPECT_EQ(replace_all("abc", "(", "x"), "abc");       // a bad pattern changes nothing
    EXPECT_EQ(regex_replace_all(nullptr, "a", "b"), nullptr);
    std::string big(100000, 'a');
    EXPECT_EQ(replace_all(big.c_str(), "a", "b"), std::string(100000, 'b'));
}

}  // namespace
