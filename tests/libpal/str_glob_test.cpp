#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libpal/string/str_glob.h"

namespace {

TEST(Wildcard, Rules)
{
    EXPECT_EQ(str_wildcard("b.conf", "*.ini|*.conf"), 1);
    EXPECT_EQ(str_wildcard("b.txt", "*.ini|*.conf"), 0);
    EXPECT_EQ(str_wildcard("a.ini", "*.ini"), 1);
    EXPECT_EQ(str_wildcard("a.ini.bak", "*.ini"), 1);  // a last segment leaves the end open
    EXPECT_EQ(str_wildcard("ab", "???"), 0);
    EXPECT_EQ(str_wildcard("abc", "???"), 1);
    EXPECT_EQ(str_wildcard("abcd", "???"), 0);
    EXPECT_EQ(str_wildcard("", ""), 1);
    EXPECT_EQ(str_wildcard("a", ""), 0);
    EXPECT_EQ(str_wildcard("", "x|"), 1);
    EXPECT_EQ(str_wildcard("anything", "*"), 1);
    EXPECT_EQ(str_wildcard("", "*"), 1);
    EXPECT_EQ(str_wildcard("a*b", "a\\*b"), 1);
    EXPECT_EQ(str_wildcard("axb", "a\\*b"), 0);
    EXPECT_EQ(str_wildcard("a|b", "a\\|b"), 1);
    EXPECT_EQ(str_wildcard("a", "a\\"), 1);
    EXPECT_EQ(str_wildcard("ab", "a\\"), 0);
    EXPECT_EQ(str_wildcard("log_2024_x.txt", "log_*_?.txt"), 1);
    EXPECT_EQ(str_wildcard("log_2024.txt", "log_*_?.txt"), 0);
    EXPECT_EQ(str_wildcard("log_2024.txt", "log_*.t?t"), 1);
    EXPECT_EQ(str_wildcard("xaybz", "x*a*b*"), 1);
    EXPECT_EQ(str_wildcard("xaz", "x*a*b"), 0);
    EXPECT_EQ(str_wildcard("ABC", "abc"), 0);
    EXPECT_EQ(str_iwildcard("ABC.Ini", "*.INI|x"), 1);
    EXPECT_EQ(str_iwildcard("ABC", "a?c"), 1);
    EXPECT_EQ(str_wildcard(nullptr, "*"), 0);
}

struct split_result {
    int argc;
    size_t nchars;
    std::vector<std::string> args;
};

split_result split(const char *line)
{
    split_result r{};
    EXPECT_EQ(str_args_split(line, nullptr, nullptr, &r.argc, &r.nchars), 0);
    std::vector<char *> argv(r.argc);
    std::vector<char> buf(r.nchars);
    int argc2 = 0;
    size_t n2 = 0;
    str_args_split(line, argv.data(), buf.data(), &argc2, &n2);
    EXPECT_EQ(argc2, r.argc);
    EXPECT_EQ(n2, r.nchars);
    EXPECT_EQ(argv[r.argc - 1], nullptr);
    for (int i = 0; i + 1 < r.argc; ++i) r.args.emplace_back(argv[i]);
    return r;
}

TEST(ArgsSplit, QuotesAndBackslashes)
{
    split_result r = split("cmd a \"b c\" d\\\"e");
    EXPECT_EQ(r.argc, 5);
    EXPECT_EQ(r.args, (std::vector<std::string>{"cmd", "a", "b c", "d\"e"}));
    EXPECT_EQ(r.nchars, 4u + 2 + 4 + 4);

    EXPECT_EQ(split("x \"a\"\"b\"").args, (std::vector<std::string>{"x", "a\"b"}));
    EXPECT_EQ(split("x a\\\\\"b c\"").args, (std::vector<std::string>{"x", "a\\b c"}));
    EXPECT_EQ(split("x a\\\\\\\"b").args, (std::vector<std::string>{"x", "a\\\"b"}));
    EXPECT_EQ(split("x a\\b\\\\").args, (std::vector<std::string>{"x", "a\\b\\\\"}));
    // Argument 0 keeps its backslashes and drops its quotes.
    EXPECT_EQ(split("\"c:\\my dir\\p\" \t y  ").args,
              (std::vector<std::string>{"c:\\my dir\\p", "y"}));
    EXPECT_EQ(split("x \"open end").args, (std::vector<std::string>{"x", "open end"}));
    EXPECT_EQ(split("x \"\"").args, (std::vector<std::string>{"x", ""}));
    EXPECT_EQ(split("").argc, 2);
}

TEST(ArgsJoin, QuotesArgumentsWithSpaces)
{
    char *argv[] = {(char *)"set", (char *)"a b", nullptr};
    char out[32];
    EXPECT_EQ(str_args_join(2, argv, out, sizeof out), 0);
    EXPECT_STREQ(out, "set \"a b\" ");
    // What the join writes, the split reads back.
    split_result r = split(out);
    EXPECT_EQ(r.args, (std::vector<std::string>{"set", "a b"}));
    EXPECT_EQ(str_args_join(2, argv, out, 8), -1);
    EXPECT_STREQ(out, "");
}

TEST(CommandNames, NameAndReplace)
{
    char out[8];
    EXPECT_STREQ(str_cmd_name("show memory all", out, sizeof out), "show");
    EXPECT_STREQ(str_cmd_name("configure now", out, 5), "conf");
    EXPECT_STREQ(str_cmd_name("help", out, sizeof out), "help");
    EXPECT_STREQ(str_cmd_name("toolongword", out, sizeof out), "");
    char r[32];
    EXPECT_STREQ(str_cmd_replace_name("sh mem all", "show", r, sizeof r), "show mem all");
    EXPECT_STREQ(str_cmd_replace_name("sh", "show", r, sizeof r), "show");
}

TEST(NameChecks, Sets)
{
    EXPECT_EQ(str_is_digits("0123"), 1);
    EXPECT_EQ(str_is_digits(""), 1);
    EXPECT_EQ(str_is_digits("12a"), 0);
    EXPECT_EQ(str_has_multi_colon("fe80::1"), 1);
    EXPECT_EQ(str_has_multi_colon("host:80"), 0);
    EXPECT_EQ(str_is_valid_name(nullptr), 1);
    EXPECT_EQ(str_is_valid_name("log_level"), 1);
    for (const char *bad : {"a;b", "a/b", "a\\b", "a\"b", "a'b", "a?b", "a:b", "a@b", "a#b", "a b"})
        EXPECT_EQ(str_is_valid_name(bad), 0) << bad;
    EXPECT_EQ(str_is_valid_query_key("a=b"), 0);
    EXPECT_EQ(str_is_valid_query_key("a&b"), 0);
    EXPECT_EQ(str_is_valid_query_val("a=b"), 1);
    EXPECT_EQ(str_is_valid_query_val("a&b"), 0);

    char err[STR_CHECK_ERR_SIZE] = "";
    EXPECT_EQ(str_check_name("", 3, err), 0);
    EXPECT_STREQ(err, "Can't be empty");
    EXPECT_EQ(str_check_name("a#b", 2, err), 0);
    EXPECT_STREQ(err, "Can't Contain [;/\\\"'?:@# ]");
    EXPECT_EQ(str_check_name("a=b", 4, err), 0);
    EXPECT_STREQ(err, "Can't Contain [&=]");
    EXPECT_EQ(str_check_name("a[0]", 16, err), 0);
    EXPECT_STREQ(err, "Can't Contain [[]]");
    EXPECT_EQ(str_check_name("a=b", 8, err), 1);
    EXPECT_EQ(str_check_name("name", 31, err), 1);
    EXPECT_EQ(str_check_name("", 2, nullptr), 1);
}

}  // namespace
