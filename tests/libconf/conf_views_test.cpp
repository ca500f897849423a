#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log_capture.h"
#include "libconf/conf.h"
#include "libpal/string/str_map.h"
#include "libpal/string/str_vector.h"
#include "common/tmp_file.h"

namespace {

using testutil::log_capture;

struct conf_file : testing::Test {
    std::string path;
    conf *c = nullptr;
    void open(const std::string &text)
    {
        std::string dir = testutil::scratch_dir();
        path = dir + "/conf_views_" + std::to_string(getpid()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
        std::ofstream(path) << text;
        c = conf_open(path.c_str());
        ASSERT_NE(c, nullptr);
    }
    void TearDown() override
    {
        conf_close(c);
        if (!path.empty()) unlink(path.c_str());
    }
    std::string items(str_vector *v)
    {
        std::string s;
        for (u64 i = 0; v && i < v->count; ++i) s += std::string(i ? "," : "") + v->items[i];
        str_vector_free(v);
        return s;
    }
};

TEST_F(conf_file, SectionsMatchingAGlob)
{
    open("[net_a]\n[net_b]\n[log]\n[Net_c]\n[x]\n");
    EXPECT_EQ(items(conf_sections_match(c, "net_*")), "net_a,net_b");
    EXPECT_EQ(items(conf_sections_match(c, "log|x")), "log,x");
    EXPECT_EQ(items(conf_sections_match(c, "?et_?")), "net_a,net_b,Net_c");
    EXPECT_EQ(items(conf_sections_match(c, "none*")), "");
    EXPECT_EQ(conf_sections_match(nullptr, "*"), nullptr);
}

TEST_F(conf_file, ListsAndMaps)
{
    open("[l]\n0=a\n1=b\nname=skip\n2=a\n3=\n10=c\n[m]\nk1=v1\nk2=\nk3=v3\n");
    // Digit keys only, repeated and empty values once or not at all.
    EXPECT_EQ(items(conf_get_list(c, "l")), "a,b,c");
    EXPECT_EQ(items(conf_get_list(c, "absent")), "");

    str_map *m = conf_get_map(c, "m");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->count, 3u);
    EXPECT_STREQ(str_map_key(m, 0), "k1");
    EXPECT_STREQ((const char *)str_map_get(m, "k2"), "");
    EXPECT_STREQ((const char *)str_map_get(m, "k3"), "v3");
    str_map_free(m);
    EXPECT_EQ(conf_get_map(nullptr, "m"), nullptr);
}

TEST_F(conf_file, NumberedListEdits)
{
    open("[l]\n0=a\n1=b\n2=c\nother=x\n");
    EXPECT_EQ(conf_list_add(c, "l", "b"), 0);  // already there: nothing written
    EXPECT_EQ(items(conf_keys(c, "l")), "0,1,2,other");
    EXPECT_EQ(conf_list_add(c, "l", "d"), 0);
    EXPECT_STREQ(conf_get(c, "l", "3", "-"), "d");
    EXPECT_EQ(conf_list_del(c, "l", "d"), 0);
    EXPECT_EQ(conf_list_del(c, "l", "c"), 0);  // the last of three
    EXPECT_EQ(items(conf_get_list(c, "l")), "a,b");
    EXPECT_EQ(conf_has_key(c, "l", "2"), 0);
    EXPECT_EQ(conf_list_del(c, "l", "a"), 0);
    EXPECT_STREQ(conf_get(c, "l", "0", "-"), "b");
    EXPECT_EQ(conf_list_add(c, "new", "first"), 0);
    EXPECT_STREQ(conf_get(c, "new", "0", "-"), "first");
    EXPECT_EQ(conf_list_clear(c, "l"), 0);
    EXPECT_EQ(items(conf_keys(c, "l")), "other");
    EXPECT_EQ(conf_list_add(nullptr, "l", "x"), -1);
    EXPECT_EQ(conf_list_del(nullptr, "l", "x"), -1);
    EXPECT_EQ(conf_list_clear(nullptr, "l"), -1);
}

TEST_F(conf_file, IntegersWarnAboutJunkButKeepTheirValue)
{
    open("[n]\nok=  -42\nletters=abc\ntail=12abc\nbig=99999999999\nempty=\nnf=NOT_FOUND\n");
    log_capture cap;
    EXPECT_EQ(conf_get_int(c, "n", "ok", 0), -42);
    EXPECT_EQ(cap.get(), "");
    EXPECT_EQ(conf_get_int(c, "n", "letters", 5), 0);
    EXPECT_TRUE(cap.has("[n] letters=abc is not a number, 0 is used\n"));
    EXPECT_EQ(conf_get_path_int(c, "n:tail", 5), 12);
    EXPECT_TRUE(cap.has("[n] tail=12abc is not a whole number, 12 is used\n"));
    EXPECT_EQ(conf_get_int(c, "n", "big", 5), (int)(i32)99999999999LL);
    EXPECT_TRUE(cap.has("[n] big=99999999999 is out of range"));
    EXPECT_EQ(conf_get_int(c, "n", "empty", 5), 0);
    EXPECT_EQ(conf_get_int(c, "n", "nf", 5), 5);
    EXPECT_EQ(conf_get_int(c, "n", "missing", 5), 5);
    EXPECT_FALSE(cap.has("empty="));
}

TEST_F(conf_file, AHeldLoadIsSharedByLaterOpens)
{
    open("[s]\nk=old\n");
    conf_close(c);
    c = nullptr;
    conf *h = conf_hold(path.c_str());
    ASSERT_NE(h, nullptr);
    std::ofstream(path) << "[s]\nk=new\n";
    conf *a = conf_open(path.c_str());
    conf *b = conf_open(path.c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(conf_get(a, "s", "k", "-"), "old");  // not loaded again
    conf_close(a);
    conf_hold_release();
    EXPECT_STREQ(conf_get(b, "s", "k", "-"), "old");  // still open after the release
    conf_close(b);
    conf *fresh = conf_open(path.c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_STREQ(conf_get(fresh, "s", "k", "-"), "new");
    conf_close(fresh);

    // A file that does not load is not held, and its records stay out of
    // the log: the caller reports the reason.
    std::ofstream(path) << "[s]\nbroken\n";
    log_capture cap;
    EXPECT_EQ(conf_hold(path.c_str()), nullptr);
    EXPECT_STREQ(conf_last_error(), "syntax error in line 2: broken");
    EXPECT_FALSE(cap.has("syntax error"));
    EXPECT_EQ(conf_hold("/no/such/dir/x.ini"), nullptr);
    EXPECT_STREQ(conf_last_error(), "cannot be opened: No such file or directory");
    EXPECT_EQ(conf_hold("x.conf"), nullptr);
    EXPECT_STREQ(conf_last_error(), "the name does not end in .ini or .vtc");
}

}  // namespace
