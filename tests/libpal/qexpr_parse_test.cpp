#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/tmp_file.h"
#include "libpal/env/malloc.h"
#include "libpal/qexpr/qparser.h"

namespace {

struct tok {
    int enabled;
    std::string name;
    int code;
    std::string value;
    int expand;
    int form;
    bool operator==(const tok &o) const
    {
        // The expand flag only matters where there is something to expand.
        bool same_expand = expand == o.expand || value.find('$') == std::string::npos;
        return enabled == o.enabled && name == o.name && code == o.code && value == o.value &&
               form == o.form && same_expand;
    }
};

void PrintTo(const tok &t, std::ostream *os)
{
    *os << "{" << t.enabled << "," << t.form << "," << t.name << "," << t.code << ",[" << t.value
        << "]," << t.expand << "}";
}

int collect(void *arg, int enabled, const char *name, int code, const char *value, int expand,
            int form)
{
    static_cast<std::vector<tok> *>(arg)->push_back({enabled, name, code, value, expand, form});
    return 0;
}

struct parsed {
    int rc;
    std::string err;
    std::vector<tok> toks;
};

parsed parse(const std::string &text)
{
    parsed p;
    char err[QEXPR_ERR_SIZE];
    p.rc = qparser_parse(text.c_str(), collect, &p.toks, err);
    p.err = err;
    return p;
}

std::string err_of(const std::string &text)
{
    char err[QEXPR_ERR_SIZE] = "unset";
    int rc = qparser_parse_str(text.c_str(), err);
    EXPECT_EQ(rc, -1) << text;
    return err;
}

std::string format(const std::string &text)
{
    char err[QEXPR_ERR_SIZE];
    char *s = qparser_format_str(text.c_str(), err);
    EXPECT_NE(s, nullptr) << text << ": " << err;
    std::string r = s ? s : "";
    os_free(s);
    return r;
}

TEST(QparserOpcodes, TableBothWays)
{
    const std::pair<const char *, int> rows[] = {
        {"==", 2},      {"!=", 3},          {"<", 6},           {"<=", 10},      {">", 7},
        {">=", 11},     {"find", 14},       {"!find", 15},      {"gfind", 18},   {"!gfind", 19},
        {"findhex", 0}, {"!findhex", 1},    {"startswith", 22}, {"!startswith", 23},
        {"endswith", 26}, {"!endswith", 27}, {"glob", 30},      {"!glob", 31},   {"match", 34},
        {"!match", 35}};
    for (auto &r : rows) {
        EXPECT_EQ(qexpr_opcode_find(r.first), r.second) << r.first;
        EXPECT_STREQ(qexpr_opcode_name(r.second), r.first);
    }
    EXPECT_EQ(qexpr_opcode_find("==="), -1);
    EXPECT_EQ(qexpr_opcode_find("FIND"), -1);
    EXPECT_EQ(qexpr_opcode_find(nullptr), -1);
    EXPECT_STREQ(qexpr_opcode_name(16), "unkown(16)");  // the twins have no text
    EXPECT_STREQ(qexpr_opcode_name(-3), "unkown(-3)");
}

TEST(Qparser, WorkedExamples)
{
    parsed p = parse("level <= 4");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "level", 10, "4", 1, 0}}));

    p = parse("level>=3;tag == pal");  // value glued after ">="
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "level", 11, "3", 1, 0}, {1, "tag", 2, "pal", 1, 0}}));

    p = parse("!msg find \"disk full\"");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "msg", 14, "disk full", 1, 1}}));

    p = parse("@rule_mode and\nlevel <= 6\ntag != httpd");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "rule_mode", 0, "and", 0, 2},
                                        {1, "level", 10, "6", 1, 0},
                                        {1, "tag", 3, "httpd", 1, 0}}));

    p = parse("msg match 'time(d)? ?out$'");
    ASSERT_EQ(p.rc, 0);
    ASSERT_EQ(p.toks.size(), 1u);
    EXPECT_EQ(p.toks[0].value, "time(d)? ?out$");
    EXPECT_EQ(p.toks[0].expand, 0);  // single quotes: no expansion
    EXPECT_EQ(p.toks[0].code, 34);

    p = parse("@include '/etc/vk rules.txt'");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "include", 0, "/etc/vk rules.txt", 0, 2}}));

    p = parse("msg gfind on; file glob *.c; line >= 100; msg findhex 4b?64");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "msg", 18, "on", 1, 0},
                                        {1, "file", 30, "*.c", 1, 0},
                                        {1, "line", 11, "100", 1, 0},
                                        {1, "msg", 0, "4b?64", 1, 0}}));

    p = parse("~tag == pal");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{0, "tag", 2, "pal", 1, 0}}));
    p = parse("~ !msg find x;~@rule_mode and");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{0, "msg", 14, "x", 1, 1}, {0, "rule_mode", 0, "and", 0, 2}}));
}

TEST(Qparser, LayoutCommentsAndBlocks)
{
    parsed p = parse(" \t\r\n# a comment ; level <= 4 # trailing\n'skipped\nblock; x' tag == a#c\n"
                     "msg find \"a;b #c\"  ;  pid == 7\r\n");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "level", 10, "4", 1, 0},
                                        {1, "tag", 2, "a", 1, 0},
                                        {1, "msg", 14, "a;b #c", 1, 0},
                                        {1, "pid", 2, "7", 1, 0}}));
    // Escapes are undone in double quotes only; a blank right after the
    // opening double quote belongs to the value, after a single quote not.
    p = parse("a == \"x\\ty\\\\z\"; b == 'x\\ty'; c == \" lead\"; d == '  lead'; e == c\\d");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "a", 2, "x\ty\\z", 1, 0},
                                        {1, "b", 2, "x\\ty", 0, 0},
                                        {1, "c", 2, " lead", 1, 0},
                                        {1, "d", 2, "lead", 0, 0},
                                        {1, "e", 2, "c\\d", 1, 0}}));
    // Names take ".@_-" and a carriage return inside them is dropped.
    p = parse("_a.b@c-d\r == 1;x_1 startswith y");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "_a.b@c-d", 2, "1", 1, 0}, {1, "x_1", 22, "y", 1, 0}}));
    // A quoted value left open at the end of the text still ends the expression.
    p = parse("msg find \"abc");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.toks, (std::vector<tok>{{1, "msg", 14, "abc", 1, 0}}));
    EXPECT_EQ(parse("").rc, 0);
    EXPECT_EQ(parse("# only\n'block'").rc, 0);
}

TEST(Qparser, ErrorTexts)
{
    EXPECT_EQ(err_of("tag!=pal"), "1:0 mode=7 Incomplete expression error");
    EXPECT_EQ(err_of("tag!=pal;"), "1:9 [;-0x3b] syntax error=4");
    EXPECT_EQ(err_of("1level == 3"), "1:1 [1-0x31] error: Var must start with letter or underscore");
    EXPECT_EQ(err_of("level === 3"), "1:0 opcode=[===] Unsupported");
    EXPECT_EQ(err_of("msg == \"\""), "1:0 mode=8 Incomplete expression error");
    EXPECT_EQ(err_of("level <= 4;;tag == pal"),
              "1:12 [;-0x3b] error: Var must start with letter or underscore");
    EXPECT_EQ(err_of("level\t>= 3"), "1:6 [\t-0x 9] syntax error=2");
    EXPECT_EQ(err_of("level > "), "1:0 mode=8 Incomplete expression error");
    EXPECT_EQ(err_of("level >"), "1:0 mode=7 Incomplete expression error");
    EXPECT_EQ(err_of("level ~ 3"), "1:7 [~-0x7e] syntax error=3");
    EXPECT_EQ(err_of("~ 1x == 2"), "1:3 [1-0x31] error:  ban_cmd character cannot appear");
    EXPECT_EQ(err_of("! 9"), "1:3 [9-0x39] error: Var must start with letter or underscore");
    EXPECT_EQ(err_of("a == \"b\" c"), "1:10 [c-0x63] syntax error=6");
    EXPECT_EQ(err_of("a == b c"), "1:8 [c-0x63] syntax error=6");
    EXPECT_EQ(err_of("level >\n3"), "1:8 [\n-0x a] syntax error=4");
    EXPECT_EQ(err_of("level > \n3"), "1:9 [\n-0x a] syntax error=5");
    EXPECT_EQ(err_of("a == 1\n\n  1x"), "3:3 [1-0x31] error: Var must start with letter or underscore");
    EXPECT_EQ(err_of("a == 1\n'open block\n"), "3:0 mode=3 Incomplete expression error");
    EXPECT_EQ(err_of("@rule_mode"), "1:0 mode=5 Incomplete expression error");
    EXPECT_EQ(err_of("a\n== 1"), "1:2 [\n-0x a] syntax error=2");
    EXPECT_EQ(err_of("a == 1\nb foo 2"), "2:0 opcode=[foo] Unsupported");
    EXPECT_EQ(err_of("a findhex\t1;b !findX 1"), "1:0 opcode=[!findX] Unsupported");
}

TEST(Qparser, FieldLimits)
{
    std::string n255(255, 'n'), v255(255, 'v');
    EXPECT_EQ(parse(n255 + " == " + v255).rc, 0);
    EXPECT_EQ(err_of(n255 + "x == 1"), "1:256 name longer than 255 characters");
    EXPECT_EQ(err_of("a == " + v255 + "w"), "1:261 value longer than 255 characters");
    EXPECT_EQ(err_of("a == '" + v255 + "w'"), "1:262 value longer than 255 characters");
    EXPECT_EQ(err_of("a " + std::string(64, 'f') + " 1"), "1:66 operator longer than 63 characters");
    EXPECT_EQ(err_of("a " + std::string(64, '=') + " 1"), "1:66 operator longer than 63 characters");
    // Escapes may make the written form longer; the value itself is bounded.
    std::string esc;
    for (int i = 0; i < 255; ++i) esc += "\\\\";
    parsed p = parse("a == \"" + esc + "\"");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.toks[0].value, std::string(255, '\\'));
    EXPECT_EQ(err_of("a == \"" + esc + "x\""), "1:1 value longer than 255 characters");
    // Long input never overruns the error buffer.
    std::string longop = "a " + std::string(5000, '=') + " 1";
    char err[QEXPR_ERR_SIZE];
    EXPECT_EQ(qparser_parse_str(longop.c_str(), err), -1);
    EXPECT_LT(strlen(err), sizeof err);
}

int refuse(void *arg, int, const char *, int, const char *, int, int)
{
    return *(int *)arg;
}

TEST(Qparser, ProcedureResults)
{
    char err[QEXPR_ERR_SIZE];
    int r = -2;
    EXPECT_EQ(qparser_parse("lvl == 1", refuse, &r, err), -2);
    EXPECT_STREQ(err, "var [lvl] does not exist");
    r = -8;
    EXPECT_EQ(qparser_parse("lvl == 1", refuse, &r, err), -8);
    EXPECT_STREQ(err, "expr malloc failed");
    r = 0;
    EXPECT_EQ(qparser_parse("lvl == 1", refuse, &r, err), 0);
    EXPECT_EQ(qparser_parse(nullptr, refuse, &r, err), -1);
    EXPECT_EQ(qparser_parse("1", nullptr, nullptr, nullptr), -1);  // no error buffer: still safe
}

TEST(QparserFormat, CanonicalLines)
{
    EXPECT_EQ(format("level <= 4"), " level <= 4\n");
    EXPECT_EQ(format("level>=3;tag == pal"), " level >= 3\n tag == pal\n");
    EXPECT_EQ(format("!msg find \"disk full\""), "! msg find \"disk full\"\n");
    EXPECT_EQ(format("~tag == pal"), "~  tag == pal\n");
    EXPECT_EQ(format("~!tag == pal"), "~ ! tag == pal\n");
    EXPECT_EQ(format("@rule_mode and"), "@ rule_mode \"and\"\n");
    EXPECT_EQ(format("~@rule_mode or"), "~ @ rule_mode \"or\"\n");
    EXPECT_EQ(format("msg find $HOME"), " msg find $HOME\n");  // expanded alike when read back
    EXPECT_EQ(format(""), "");
    char err[QEXPR_ERR_SIZE];
    EXPECT_EQ(qparser_format_str("1x", err), nullptr);
    EXPECT_STREQ(err, "1:1 [1-0x31] error: Var must start with letter or underscore");
}

// Values that the plain formats would write in a form that reads back as
// another rule are quoted and escaped instead.
TEST(QparserFormat, ReadsBackAsTheSameRules)
{
    const char *texts[] = {
        "msg match 'out$'",            // "$" must stay unexpanded: single quotes
        "msg find 'a;b'",              // ";" would end a bare value
        "msg find 'a#b'",
        "msg find 'x\\ty'",            // a backslash would be unescaped in double quotes
        "msg find 'say \"hi\"'",       // a double quote inside
        "msg find 'tab\there'",
        "msg find \"it's\"",
        "msg find \"'lead\"",          // a leading single quote
        "msg find a\"b",
        "@include 'C:\\dir\\r.txt'",
        "@include a\"b",
        "@rule_mode \"a;b\"",
        "msg find \"$HOME x\"",
        "msg find '$HOME x'",
        "~!msg endswith \"out\\n\"",
        "msg find \"\\r\\nx\"",       // leading CR LF
    };
    for (const char *t : texts) {
        std::string once = format(t);
        parsed a = parse(t), b = parse(once);
        ASSERT_EQ(b.rc, 0) << t << " -> " << once << ": " << b.err;
        EXPECT_EQ(a.toks, b.toks) << t << " -> " << once;
        EXPECT_EQ(format(once), once) << t;
    }
    EXPECT_EQ(format("msg match 'out$'"), " msg match 'out$'\n");
    EXPECT_EQ(format("msg find 'a;b'"), " msg find \"a;b\"\n");
    EXPECT_EQ(format("@include 'C:\\dir'"), "@ include \"C:\\\\dir\"\n");
}

TEST(QparserFile, ParseAndFormatFiles)
{
    std::string path = testutil::tmp_file("qparser", "rules.txt", "# filter\nlevel <= 4\n!tag == net\n");
    std::string dir = path.substr(0, path.rfind('/'));
    char err[QEXPR_ERR_SIZE];
    EXPECT_EQ(qparser_parse_file(path.c_str(), err), 0);
    char *s = qparser_format_file(path.c_str(), err);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, " level <= 4\n! tag == net\n");
    os_free(s);
    std::string missing = path + ".none";
    EXPECT_EQ(qparser_parse_file(missing.c_str(), err), -1);
    EXPECT_STREQ(err, "file open failed");
    EXPECT_EQ(qparser_format_file(missing.c_str(), err), nullptr);
    EXPECT_STREQ(err, "file open failed");
    EXPECT_EQ(qparser_parse_file(dir.c_str(), err), -1);  // a directory cannot be read
}

}  // namespace
