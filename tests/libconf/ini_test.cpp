#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/log_capture.h"
#include "libconf/conf.h"
#include "libconf/ini/ini.h"
#include "libpal/string/str_map.h"
#include "libpal/string/str_vector.h"
#include "common/tmp_file.h"

namespace {

using testutil::log_capture;

std::string tmp_path(const std::string &name)
{
    std::string dir = testutil::scratch_dir();
    return dir + "/ini_test_" + std::to_string(getpid()) + "_" + name;
}

// What the writer makes of d.
std::string dump_text(const dictionary *d)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    iniparser_dump_ini(d, f);
    fclose(f);
    std::string text(buf, len);
    free(buf);
    return text;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ini : testing::Test {
    std::vector<std::string> made;
    std::string file(const std::string &text, const std::string &name = "a.ini")
    {
        std::string p = tmp_path(std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                 "_" + name);
        std::ofstream(p, std::ios::binary) << text;
        made.push_back(p);
        return p;
    }
    void TearDown() override
    {
        for (const auto &p : made) unlink(p.c_str());
    }
};

// Every entry with its value in slot order, and each comment's text
// without blank lines (the writer separates sections by one).
std::string entries(const dictionary *d)
{
    auto text = [](const char *c) {
        std::string s;
        for (const char *p = c; p && *p; ++p)
            if (*p != '\n' || (p > c && p[-1] != '\n')) s += *p;
        return s;
    };
    std::string s;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i]) continue;
        s += std::string("<") + d->key[i] + ">=" + (d->val[i] ? d->val[i] : "(null)") + " #" +
             text(d->comment[i]) + "\n";
    }
    return s + "tail:" + text(d->tail_comment);
}

TEST_F(ini, GrammarOfLinesAndValues)
{
    dictionary *d = iniparser_load(file(
        "top=1\n"
        "[s]\n"
        "dq = \"a ; b # c\" trailing\n"
        "sq = 'x=y'\n"
        "open = \"no end\n"
        "two = \"\"\n"
        "plain = v w ; comment\n"
        "k:x=1\n"
        "eq = =v\n"
        "empty =\n"
        "bare=\n"
        "cmt = ; only a comment\n"
        "[ spaced ]\n"
        "a\tb = c\n"
        "[]\n"
        "e = 1\n").c_str());
    ASSERT_NE(d, nullptr);
    auto get = [&](const char *k) { return std::string(dictionary_get(d, k, "(absent)") ?: "(null)"); };
    EXPECT_EQ(get("\ttop"), "1");
    EXPECT_EQ(get("s"), "(null)");
    EXPECT_EQ(get("s\tdq"), "a ; b # c");
    EXPECT_EQ(get("s\tsq"), "x=y");
    EXPECT_EQ(get("s\topen"), "no end");
    EXPECT_EQ(get("s\ttwo"), "");
    EXPECT_EQ(get("s\tplain"), "v w");
    EXPECT_EQ(get("s\tk:x"), "1");
    EXPECT_EQ(get("s\teq"), "=v");
    EXPECT_EQ(get("s\tempty"), "");
    EXPECT_EQ(get("s\tbare"), "");
    EXPECT_EQ(get("s\tcmt"), "");
    EXPECT_EQ(get("spaced\ta\tb"), "c");
    EXPECT_EQ(get("\te"), "1");  // "[]" names the empty section
    iniparser_freedict(d);
}

TEST_F(ini, ContinuationBomAndLineEnds)
{
    dictionary *d = iniparser_load(file("\xEF\xBB\xBF[s]\r\nk = ab\\\n  cd\\\nef\r\nlast=x\\").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(dictionary_get(d, "s\tk", nullptr), "ab  cdef");
    EXPECT_STREQ(dictionary_get(d, "s\tlast", nullptr), "x\\");  // nothing to join at the end
    EXPECT_STREQ(dictionary_get(d, "s", "-"), nullptr);
    iniparser_freedict(d);

    // A one-character last line without a line feed is a line like any other.
    log_capture cap;
    EXPECT_EQ(iniparser_load(file("[s]\nx").c_str()), nullptr);
    EXPECT_TRUE(cap.has("iniparser: syntax error in "));
    d = iniparser_load(file("[s]\nk=1\n;").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->tail_comment, ";\n");
    iniparser_freedict(d);
}

TEST_F(ini, LineLimitIs1023Characters)
{
    std::string fits = "k=" + std::string(1021, 'v');
    dictionary *d = iniparser_load(file("[s]\n" + fits + "\n").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(strlen(dictionary_get(d, "s\tk", "")), 1021u);
    iniparser_freedict(d);

    log_capture cap;
    std::string p = file("[s]\n" + fits + "v\n", "long.ini");
    EXPECT_EQ(iniparser_load(p.c_str()), nullptr);
    EXPECT_TRUE(cap.has("iniparser: input line too long in " + p + " (2)\n"));
    // Joined lines count together.
    p = file("[s]\nk=" + std::string(600, 'a') + "\\\n" + std::string(500, 'b') + "\n", "joined.ini");
    EXPECT_EQ(iniparser_load(p.c_str()), nullptr);
    EXPECT_TRUE(cap.has("iniparser: input line too long in " + p + " (3)\n"));
}

TEST_F(ini, KeysOfATabbedSectionAreSavedUnderTheirOwnHeader)
{
    // Section "s" and section "s<TAB>aaa...": the key belongs to the long
    // one; written under [s] its line would pass the line limit.
    std::string sec = "s\t" + std::string(600, 'a');
    dictionary *d = iniparser_load(file("[s]\n[" + sec + "]\n" + std::string(500, 'b') + "=1\n").c_str());
    ASSERT_NE(d, nullptr);
    std::string text = dump_text(d);
    EXPECT_EQ(text, "[s]\n\n[" + sec + "]\n" + std::string(500, 'b') + "=1\n\n");
    dictionary *again = iniparser_load(file(text, "saved.ini").c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(entries(again), entries(d));
    iniparser_freedict(again);
    iniparser_freedict(d);
}

TEST_F(ini, LinesAtTheLimitStayWithinItWhenSaved)
{
    const std::string k(20, 'k');
    struct {
        std::string in, out;
    } cases[] = {
        // Without sections the key keeps its TAB and " = " while they fit.
        {k + "=" + std::string(20, 'v') + "\n", "\t" + k + " = " + std::string(20, 'v') + "\n"},
        {k + "=" + std::string(1002, 'v') + "\n", k + "=" + std::string(1002, 'v') + "\n"},
        {k + "=\"a;" + std::string(998, 'v') + "\"\n", k + "=\"a;" + std::string(998, 'v') + "\"\n"},
        // A value opening with a pair of quotes reads back unquoted.
        {k + "='' " + std::string(999, 'v') + "\n", k + "='' " + std::string(999, 'v') + "\n"},
        {"[s]\n" + k + "=\"\"" + std::string(1000, 'v') + "\n",
         "[s]\n" + k + "=\"\"" + std::string(1000, 'v') + "\n\n"},
        {"[s]\nk=''\nq='\n", "[s]\nk=\nq=\"'\"\n\n"},
        // A quote left open in the file is closed unless that passes the limit.
        {"[s]\nk='\"ab\n", "[s]\nk='\"ab'\n\n"},
        {"[s]\nk='\"" + std::string(1019, 'v') + "\n", "[s]\nk='\"" + std::string(1019, 'v') + "\n\n"},
    };
    for (const auto &c : cases) {
        dictionary *d = iniparser_load(file(c.in).c_str());
        ASSERT_NE(d, nullptr) << c.in.substr(0, 40);
        std::string text = dump_text(d);
        EXPECT_EQ(text, c.out);
        dictionary *again = iniparser_load(file(text, "saved.ini").c_str());
        ASSERT_NE(again, nullptr) << c.in.substr(0, 40);
        EXPECT_EQ(entries(again), entries(d));
        iniparser_freedict(again);
        iniparser_freedict(d);
    }
}

TEST_F(ini, ValuesWithoutALineWithinTheLimitFailTheSave)
{
    // A last line ending in a backslash keeps it: quoted, 1022 and 1023
    // characters would pass the limit; 1021 still fit.
    std::string v1019(1019, 'v');
    for (const std::string &line : {"k=" + v1019 + "\\", "k='" + v1019 + "\\"}) {
        std::string old = "[s]\n" + line;
        std::string p = file(old);
        conf *c = conf_open(p.c_str());
        ASSERT_NE(c, nullptr);
        log_capture cap;
        EXPECT_EQ(conf_save(c), -1);
        conf_close(c);
        EXPECT_EQ(read_file(p), old);  // the old file stays
        EXPECT_NE(std::string(conf_last_error()).find("key k in section [s]"), std::string::npos)
            << conf_last_error();
        EXPECT_TRUE(cap.has("save [" + p + "] error: the value of key k in section [s]"));
    }
    std::string p = file("[s]\nk=" + std::string(1018, 'v') + "\\", "fits.ini");
    conf *c = conf_open(p.c_str());
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(conf_save(c), 0);
    conf_close(c);
    EXPECT_EQ(read_file(p), "\xEF\xBB\xBF[s]\nk=\"" + std::string(1018, 'v') + "\\\"\n\n");

    // Values no line holds at any length, and a header that reads back as
    // another name: the writer names them and writes nothing.
    const char *sec = nullptr, *key = nullptr;
    dictionary *d = dictionary_new(0);
    dictionary_set(d, "s", nullptr, nullptr);
    dictionary_set(d, "s\tok", "1", nullptr);
    EXPECT_EQ(iniparser_write_ini(d, nullptr, &sec, &key), 0);
    for (const char *bad : {"two\nlines", "both ' and \" ;"}) {
        dictionary_set(d, "s\tbad", bad, nullptr);
        char *buf = nullptr;
        size_t len = 0;
        FILE *f = open_memstream(&buf, &len);
        EXPECT_EQ(iniparser_write_ini(d, f, &sec, &key), -1);
        fclose(f);
        EXPECT_EQ(len, 0u);
        free(buf);
        EXPECT_STREQ(sec, "s");
        EXPECT_STREQ(key, "bad");
    }
    dictionary_unset(d, "s\tbad");
    dictionary_set(d, "a]b", nullptr, nullptr);
    EXPECT_EQ(iniparser_write_ini(d, nullptr, &sec, &key), -1);
    EXPECT_STREQ(sec, "a]b");
    EXPECT_EQ(key, nullptr);
    dictionary_del(d);
}

TEST_F(ini, SyntaxErrorsFailTheLoadAndAreShownEscaped)
{
    log_capture cap;
    std::string p = file("[s]\nk=v\nno equals\n\x01\x1b[2Jbad\xff\nok=1\n");
    EXPECT_EQ(iniparser_load(p.c_str()), nullptr);
    EXPECT_TRUE(cap.has("iniparser: syntax error in " + p + " (3):\n-> no equals\n"));
    EXPECT_TRUE(cap.has("iniparser: syntax error in " + p + " (4):\n-> \\x01\\x1b[2Jbad\\xff\n"));
    EXPECT_EQ(cap.get().find('\x1b'), std::string::npos);
    // A NUL inside a line makes it a syntax error too.
    p = file(std::string("[s]\nk=a\0b\n", 10), "nul.ini");
    EXPECT_EQ(iniparser_load(p.c_str()), nullptr);
    EXPECT_TRUE(cap.has("-> k=a\\x00b\n"));

    // Through the front end the reason is kept for the caller.
    EXPECT_EQ(conf_open(p.c_str()), nullptr);
    EXPECT_STREQ(conf_last_error(), "syntax error in line 2: k=a\\x00b");
}

TEST_F(ini, CutValuesAreWarnedAbout)
{
    log_capture cap;
    std::string p = file("[w]\npwd=ab#cd\nemptied=#x\nspaced = x ; note\nnone = ; note\nq=\"a#b\"\n");
    dictionary *d = iniparser_load(p.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(dictionary_get(d, "w\tpwd", nullptr), "ab");
    EXPECT_STREQ(dictionary_get(d, "w\temptied", nullptr), "");
    EXPECT_TRUE(cap.has("the value of pwd in " + p + " (2) ends at '#'"));
    EXPECT_TRUE(cap.has("the value of emptied in " + p + " (3) is empty at '#'"));
    // A comment after a blank, and a quoted value, are no surprise.
    EXPECT_FALSE(cap.has("of spaced"));
    EXPECT_FALSE(cap.has("of none"));
    EXPECT_FALSE(cap.has("of q "));
    iniparser_freedict(d);
}

TEST_F(ini, SaveKeepsCommentsSectionlessKeysAndRoundTrips)
{
    std::string text =
        "; head of file\n"
        "first = 1\n"
        "\n"
        "# about s\n"
        "[s]\n"
        "; about k\n"
        "k = v\n"
        "dup = 1\n"
        "; second dup\n"
        "dup = 2\n"
        "q = \"a;b\"\n"
        "bs = 'C:\\dir\\'\n"
        "sp = \"  padded  \"\n"
        "qq = '\"quoted\"'\n"
        "[t]\n"
        "x=\n"
        "\n"
        "; tail\n";
    std::string p = file(text);
    conf *c = conf_open(p.c_str());
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(conf_save(c), 0);
    conf_close(c);
    std::string saved = read_file(p);
    EXPECT_EQ(saved,
              "\xEF\xBB\xBF; head of file\nfirst=1\n\n# about s\n[s]\n; about k\nk=v\ndup=2\nq=\"a;b\"\n"
              "bs=\"C:\\dir\\\"\nsp=\"  padded  \"\nqq='\"quoted\"'\n\n[t]\nx=\n\n; tail\n");

    // The saved form loads to the same dictionary, and saves to itself.
    std::string p2 = file(text, "b.ini");
    dictionary *a = iniparser_load(p2.c_str());
    dictionary *b = iniparser_load(p.c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(entries(a), entries(b));
    iniparser_freedict(a);
    iniparser_freedict(b);
    c = conf_open(p.c_str());
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(conf_save(c), 0);
    conf_close(c);
    EXPECT_EQ(read_file(p), saved);
}

TEST_F(ini, SaveReplacesTheFileAsAWhole)
{
    std::string p = file("[s]\nk=old\n");
    chmod(p.c_str(), 0600);
    // A second name for the old file: a save that rewrote the file in place
    // would change it too.
    std::string link = p + ".old";
    ASSERT_EQ(::link(p.c_str(), link.c_str()), 0);
    made.push_back(link);
    conf *c = conf_open(p.c_str());
    ASSERT_NE(c, nullptr);
    conf_set(c, "s", "k", "new");
    ASSERT_EQ(conf_save(c), 0);
    conf_close(c);
    EXPECT_EQ(read_file(link), "[s]\nk=old\n");
    EXPECT_EQ(read_file(p), "\xEF\xBB\xBF[s]\nk=new\n\n");
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the mode is kept
    // No temporary file is left beside it.
    std::string dir = p.substr(0, p.rfind('/'));
    std::string cmd = "ls '" + dir + "' | grep -c '" + p.substr(p.rfind('/') + 1) + "\\.' || true";
    FILE *ls = popen(cmd.c_str(), "r");
    char n[16] = "";
    ASSERT_TRUE(fgets(n, sizeof n, ls));
    pclose(ls);
    EXPECT_STREQ(n, "1\n");  // only the ".old" link

    // A path that cannot be written (a directory took the file's place): -1.
    c = conf_open(p.c_str());
    ASSERT_NE(c, nullptr);
    unlink(p.c_str());
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0);
    EXPECT_EQ(conf_save(c), -1);
    conf_close(c);
    rmdir(p.c_str());
}

TEST_F(ini, WriterWithoutSectionsAndOneSection)
{
    dictionary *d = dictionary_new(0);
    dictionary_set(d, "\tk", "v", nullptr);
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    iniparser_dump_ini(d, f);
    fclose(f);
    EXPECT_STREQ(buf, "\tk = v\n");
    free(buf);

    dictionary_set(d, "s", nullptr, "# c\n");
    dictionary_set(d, "s\ta", "1", nullptr);
    dictionary_set(d, "sx\tb", "2", nullptr);  // no section "sx": not written under s
    f = open_memstream(&buf, &len);
    iniparser_dumpsection_ini(d, "s", 1, f);
    iniparser_dumpsection_ini(d, "missing", 1, f);
    fclose(f);
    EXPECT_STREQ(buf, "# c\n[s]\na=1\n");
    free(buf);
    dictionary_del(d);
}

TEST_F(ini, TypedGettersAndSectionKeys)
{
    dictionary *d = iniparser_load(file("[n]\nhex=0x1f\noct=017\nneg=-5\nbig=5000000000\n"
                                        "f=2.5e3\ny=Yes\nt=true\nz=0\nno=nope\nodd=maybe\n[e]\n")
                                       .c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(iniparser_getlongint(d, "n\thex", -1), 31);
    EXPECT_EQ(iniparser_getlongint(d, "n\toct", -1), 15);
    EXPECT_EQ(iniparser_getlongint(d, "n\tbig", -1), 5000000000L);
    EXPECT_EQ(iniparser_getlongint(d, "n\tmissing", -7), -7);
    EXPECT_EQ(iniparser_getint(d, "n\tneg", 0), -5);
    EXPECT_DOUBLE_EQ(iniparser_getdouble(d, "n\tf", 0), 2500.0);
    EXPECT_DOUBLE_EQ(iniparser_getdouble(d, "n\tmissing", 1.5), 1.5);
    EXPECT_EQ(iniparser_getboolean(d, "n\ty", -1), 1);
    EXPECT_EQ(iniparser_getboolean(d, "n\tt", -1), 1);
    EXPECT_EQ(iniparser_getboolean(d, "n\tz", -1), 0);
    EXPECT_EQ(iniparser_getboolean(d, "n\tno", -1), 0);
    EXPECT_EQ(iniparser_getboolean(d, "n\todd", -1), -1);
    EXPECT_EQ(iniparser_getboolean(d, "n\tmissing", 9), 9);

    EXPECT_EQ(iniparser_getnsec(d), 2);
    EXPECT_STREQ(iniparser_getsecname(d, 1), "e");
    EXPECT_EQ(iniparser_getsecnkeys(d, "n"), 10);
    EXPECT_EQ(iniparser_getsecnkeys(d, "e"), 0);
    EXPECT_EQ(iniparser_getsecnkeys(d, "absent"), 0);
    const char *keys[10];
    ASSERT_EQ(iniparser_getseckeys(d, "n", keys), keys);
    EXPECT_STREQ(keys[0], "hex");
    EXPECT_STREQ(keys[9], "odd");
    EXPECT_EQ(iniparser_getseckeys(d, "absent", keys), nullptr);
    EXPECT_EQ(iniparser_getseckeys(d, "n", nullptr), nullptr);
    iniparser_freedict(d);
}

TEST_F(ini, RenameKeyKeepsValueAndComment)
{
    std::string p = file("[s]\n; about a\na=1\nb=2\n");
    conf *c = conf_open(p.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(conf_rename_key(c, "s", "a", "b"), -1);
    EXPECT_EQ(conf_rename_key(c, "s", "nope", "c"), -2);
    EXPECT_EQ(conf_rename_key(c, "s", "a", "c"), 0);
    EXPECT_STREQ(conf_get(c, "s", "c", "-"), "1");
    EXPECT_STREQ(conf_get(c, "s", "a", "-"), "-");
    ASSERT_EQ(conf_save(c), 0);
    conf_close(c);
    EXPECT_EQ(read_file(p), "\xEF\xBB\xBF[s]\n; about a\nc=1\nb=2\n\n");
}

// The hash index agrees with a plain map through sets, unsets, renames
// and growth.
TEST(DictionaryIndex, AgreesWithAMapModel)
{
    dictionary *d = dictionary_new(0);
    std::map<std::string, std::string> model;
    std::mt19937 rng(7);
    auto name = [&] { return "k" + std::to_string(rng() % 700); };
    for (int step = 0; step < 20000; ++step) {
        std::string k = name();
        switch (rng() % 4) {
        case 0:
        case 1: {
            std::string v = std::to_string(step);
            ASSERT_EQ(dictionary_set(d, k.c_str(), v.c_str(), nullptr), 0);
            model[k] = v;
            break;
        }
        case 2:
            EXPECT_EQ(dictionary_unset(d, k.c_str()), model.erase(k) ? 0 : -1);
            break;
        default: {
            std::string to = name();
            int want = !model.count(k) ? -2 : model.count(to) ? -1 : 0;
            ASSERT_EQ(dictionary_rename(d, k.c_str(), to.c_str()), want) << k << " -> " << to;
            if (want == 0) {
                model[to] = model[k];
                model.erase(k);
            }
        }
        }
        ASSERT_EQ(d->n, (int)model.size());
    }
    for (int i = 0; i < 700; ++i) {
        std::string k = "k" + std::to_string(i);
        auto it = model.find(k);
        EXPECT_STREQ(dictionary_get(d, k.c_str(), "(absent)"), it == model.end() ? "(absent)" : it->second.c_str());
    }
    dictionary_del(d);
}

TEST(DictionaryIndex, SectionRenameAndDeleteKeepLookups)
{
    dictionary *d = dictionary_new(0);
    for (int s = 0; s < 50; ++s) {
        std::string sec = "sec" + std::to_string(s);
        dictionary_set(d, sec.c_str(), nullptr, nullptr);
        for (int k = 0; k < 10; ++k)
            dictionary_set(d, (sec + "\tk" + std::to_string(k)).c_str(), sec.c_str(), nullptr);
    }
    EXPECT_EQ(dictionary_secrename(d, "sec7", "moved"), 0);
    EXPECT_EQ(dictionary_secdel(d, "sec8"), 0);
    EXPECT_STREQ(dictionary_get(d, "moved\tk3", nullptr), "sec7");
    EXPECT_EQ(dictionary_get(d, "sec7\tk3", nullptr), nullptr);
    EXPECT_EQ(dictionary_get(d, "sec8\tk3", "-"), std::string("-"));
    EXPECT_STREQ(dictionary_get(d, "sec49\tk9", nullptr), "sec49");
    EXPECT_EQ(d->n, 550 - 11);
    dictionary_del(d);
}

// --- differential check against Python's configparser -------------------

std::string random_ini(std::mt19937 &rng)
{
    const char *word = "abcdefghijklmnopqrstuvwxyz0123456789_.-";
    auto pick = [&](int lo, int hi, const char *alpha) {
        std::string s;
        int n = lo + (int)(rng() % (unsigned)(hi - lo + 1));
        for (int i = 0; i < n; ++i) s += alpha[rng() % strlen(alpha)];
        return s;
    };
    std::string text;
    int nsec = 1 + (int)(rng() % 6);
    for (int s = 0; s < nsec; ++s) {
        std::string sec = "S" + std::to_string(s) + pick(0, 6, word);
        if (rng() % 3 == 0) text += (rng() % 2 ? "# note " : "; note ") + pick(0, 10, word) + "\n";
        if (rng() % 3 == 0) text += "\n";
        text += "[" + sec + "]\n";
        int nkeys = (int)(rng() % 6);
        for (int k = 0; k < nkeys; ++k) {
            std::string key = "k" + std::to_string(k) + pick(0, 5, word);
            std::string val = pick(0, 12, "abcdefxyz 0123456789=%_./");
            while (!val.empty() && val.back() == ' ') val.pop_back();
            while (!val.empty() && val.front() == ' ') val.erase(0, 1);
            text += key + (rng() % 2 ? " = " : "=") + val + (rng() % 3 == 0 ? "   " : "") + "\n";
            if (rng() % 4 == 0) text += "; between\n";
        }
    }
    return text;
}

TEST_F(ini, AgreesWithPythonConfigparser)
{
    if (system("python3 -c 'import configparser' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 is not installed";
    std::mt19937 rng(1174);
    std::vector<std::string> files;
    std::string cmd =
        "python3 -c '\n"
        "import configparser, sys\n"
        "for f in sys.argv[1:]:\n"
        "    c = configparser.ConfigParser(interpolation=None)\n"
        "    c.read(f)\n"
        "    for s in c.sections():\n"
        "        if not c.options(s): print(\"[%s]\" % s)\n"
        "        for k in c.options(s): print(\"[%s] %s=%s\" % (s, k, c.get(s, k)))\n"
        "    print(\"--\")\n"
        "'";
    for (int round = 0; round < 60; ++round) {
        files.push_back(file(random_ini(rng), "diff" + std::to_string(round) + ".ini"));
        cmd += " " + files.back();
    }
    FILE *pp = popen(cmd.c_str(), "r");
    ASSERT_NE(pp, nullptr);
    std::vector<std::string> theirs(1);
    char line[4096];
    while (fgets(line, sizeof line, pp)) {
        if (strcmp(line, "--\n") == 0) theirs.emplace_back();
        else theirs.back() += line;
    }
    ASSERT_EQ(pclose(pp), 0);
    ASSERT_EQ(theirs.size(), files.size() + 1);

    for (size_t f = 0; f < files.size(); ++f) {
        conf *c = conf_open(files[f].c_str());
        ASSERT_NE(c, nullptr) << read_file(files[f]);
        std::string ours;
        str_vector *secs = conf_sections(c);
        for (u64 i = 0; i < secs->count; ++i) {
            const char *s = secs->items[i];
            str_vector *keys = conf_keys(c, s);
            if (keys->count == 0) ours += std::string("[") + s + "]\n";
            for (u64 k = 0; k < keys->count; ++k)
                ours += std::string("[") + s + "] " + keys->items[k] + "=" +
                        conf_get(c, s, keys->items[k], "?") + "\n";
            str_vector_free(keys);
        }
        str_vector_free(secs);
        conf_close(c);
        EXPECT_EQ(ours, theirs[f]) << read_file(files[f]);
    }
}

}  // namespace
