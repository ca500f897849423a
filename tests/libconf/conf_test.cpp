#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "libconf/conf.h"
#include "libconf/ini/ini.h"
#include "libpal/string/str_vector.h"
#include "common/tmp_file.h"

namespace {

struct ini_file : testing::Test {
    std::string path;
    void write(const std::string &text, const char *ext = ".ini")
    {
        std::string dir = testutil::scratch_dir();
        path = dir + "/conf_test_" + std::to_string(getpid()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name() + ext;
        std::ofstream(path) << text;
    }
    void TearDown() override
    {
        if (!path.empty()) unlink(path.c_str());
    }
};

TEST_F(ini_file, ValuesQuotesCommentsAndCase)
{
    write("\xEF\xBB\xBF; head\n[debug]\nshell_server_port = 12581\nname=\"a;b # c\"\n"
          "plain = x ; trailing\nempty=\nq=''\n[Log]\nlevel=dbg\n[log]\nlevel=info\n"
          "[ spaced\t]\n\t key one \t=\t v w \t\n  k2 \t=\n");
    conf *c = conf_open(path.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(conf_get_path_int(c, "debug:shell_server_port", 0), 12581);
    EXPECT_STREQ(conf_get_path(c, "debug:name", "-"), "a;b # c");
    EXPECT_STREQ(conf_get_path(c, "debug:plain", "-"), "x");
    EXPECT_STREQ(conf_get_path(c, "debug:empty", "-"), "");
    EXPECT_STREQ(conf_get_path(c, "debug:q", "-"), "");
    EXPECT_STREQ(conf_get_path(c, "Log:level", "-"), "dbg");
    EXPECT_STREQ(conf_get_path(c, "log:level", "-"), "info");
    // Blanks around section names, keys and values are not part of them.
    EXPECT_STREQ(conf_get_path(c, "spaced:key one", "-"), "v w");
    EXPECT_STREQ(conf_get_path(c, "spaced:k2", "-"), "");
    EXPECT_STREQ(conf_get_path(c, "debug:missing", "def"), "def");
    EXPECT_STREQ(conf_get_path(c, "noseparator", "def"), "def");
    EXPECT_EQ(conf_get_path_int(c, "debug:missing", -5), -5);
    EXPECT_EQ(conf_has_section(c, "Log"), 1);
    EXPECT_EQ(conf_has_key(c, "debug", "name"), 1);
    EXPECT_EQ(conf_has_key(c, "debug", "nope"), 0);
    str_vector *keys = conf_keys(c, "debug");
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(keys->count, 5u);
    str_vector_free(keys);
    conf_close(c);
}

TEST_F(ini_file, PathSplitsAtTabBeforeColonAndIntegers)
{
    write("[a]\nk:x=1\nn=12abc\nl=abc\nnf=NOT_FOUND\n");
    conf *c = conf_open(path.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(conf_get_path(c, "a\tk:x", "-"), "1");
    EXPECT_STREQ(conf_get_path(c, "a:k:x", "-"), "1");
    EXPECT_EQ(conf_get_path_int(c, "a:n", 0), 12);
    EXPECT_EQ(conf_get_path_int(c, "a:l", 9), 0);
    EXPECT_EQ(conf_get_path_int(c, "a:nf", 9), 9);
    EXPECT_EQ(conf_set_path(c, "nosep", "v"), -1);
    EXPECT_EQ(conf_set_path_int(c, "b:new", 3), 0);  // creates the section
    EXPECT_EQ(conf_get_int(c, "b", "new", 0), 3);
    conf_close(c);
}

TEST_F(ini_file, ContinuationLinesJoin)
{
    write("[s]\nk=ab\\\ncd\n");
    conf *c = conf_open(path.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(conf_get_path(c, "s:k", "-"), "abcd");
    conf_close(c);
}

TEST_F(ini_file, SyntaxErrorOrLongLineFailsTheOpen)
{
    write("[s]\nthis line has no equals sign\nk=v\n");
    EXPECT_EQ(conf_open(path.c_str()), nullptr);
    write("[s]\nk=" + std::string(1100, 'x') + "\n");
    EXPECT_EQ(conf_open(path.c_str()), nullptr);
}

TEST_F(ini_file, ExtensionsAndMissingFiles)
{
    write("[s]\nk=v\n", ".INI");
    conf *c = conf_open(path.c_str());
    EXPECT_NE(c, nullptr);
    conf_close(c);
    write("[s]\nk=v\n", ".txt");
    EXPECT_EQ(conf_open(path.c_str()), nullptr);
    EXPECT_EQ(conf_open("/nonexistent/dir/x.ini"), nullptr);
    char out[16];
    EXPECT_STREQ(conf_file_get("/nonexistent/x.ini", "s:k", "dflt", out, sizeof out), "dflt");
}

TEST_F(ini_file, SaveKeepsCommentsAndWritesBom)
{
    write("# top\n[s]\n# about k\nk=v\n\n# tail\n");
    conf *c = conf_open(path.c_str());
    ASSERT_NE(c, nullptr);
    conf_set(c, "s", "k2", "w");
    EXPECT_EQ(conf_save(c), 0);
    conf_close(c);
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "\xEF\xBB\xBF# top\n[s]\n# about k\nk=v\nk2=w\n\n# tail\n");
}

TEST(Dictionary, GrowsAndDeletesSections)
{
    dictionary *d = dictionary_new(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, 128);
    dictionary_set(d, "sec", nullptr, nullptr);
    for (int i = 0; i < 130; ++i) {
        std::string k = "sec\tk" + std::to_string(i);
        ASSERT_EQ(dictionary_set(d, k.c_str(), "v", nullptr), 0);
    }
    EXPECT_EQ(d->size, 256);
    dictionary_set(d, "secx", nullptr, nullptr);
    dictionary_set(d, "secx\tk", "v", nullptr);
    EXPECT_EQ(dictionary_secrename(d, "sec", "new"), 0);
    EXPECT_STREQ(dictionary_get(d, "new\tk5", nullptr), "v");
    EXPECT_STREQ(dictionary_get(d, "secx\tk", nullptr), "v");  // prefix-only match stays
    EXPECT_EQ(dictionary_secrename(d, "secx", "new"), -1);
    EXPECT_EQ(dictionary_secdel(d, "new"), 0);
    EXPECT_EQ(d->n, 2);
    EXPECT_EQ(dictionary_secdel(d, "new"), -2);
    dictionary_del(d);
}

}  // namespace
