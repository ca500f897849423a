#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_capture.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_opt.h"

namespace {

struct kv_fixture : testing::Test {
    i32 port = 7;
    char *name = nullptr;
    os_opt_kv table[3] = {
        {"http_server_port", &port, 14, nullptr},
        {"name", &name, 20, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    void TearDown() override
    {
        os_opt_kv_free(table);
        os_free(name);
    }
};

TEST_F(kv_fixture, RecordsThenApplies)
{
    EXPECT_EQ(os_opt_kv_get(table, "HTTP_SERVER_PORT=80=1"), 0);  // case-insensitive, cut at '='
    EXPECT_EQ(port, 7);  // nothing converted yet
    EXPECT_EQ(os_opt_kv_get(table, "name=a"), 0);
    EXPECT_EQ(os_opt_kv_get(table, "name=b"), 0);  // last one wins
    os_opt_kv_apply(table);
    EXPECT_EQ(port, 80);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "b");
    os_opt_kv_free(table);
    EXPECT_EQ(table[0].text, nullptr);
}

TEST_F(kv_fixture, BadArguments)
{
    EXPECT_EQ(os_opt_kv_get(table, "noequals"), -1);
    EXPECT_EQ(os_opt_kv_get(table, "other=1"), -1);
    EXPECT_EQ(os_opt_kv_get(table, (std::string(300, 'k') + "=1").c_str()), -1);
    EXPECT_EQ(os_opt_kv_get(table, "http_server_port="), 0);  // empty applies as 0
    EXPECT_EQ(os_opt_kv_get(nullptr, "http_server_port=1"), -1);
    // Numbers that are none are told as the configuration file tells them.
    testutil::log_capture cap;
    os_opt_kv_apply(table);
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(cap.has("-s http_server_port= is not a number, 0 is used\n")) << cap.get();
    EXPECT_EQ(os_opt_kv_set2(table, "http_server_port", "abc"), 0);
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(cap.has("-s http_server_port=abc is not a number, 0 is used\n")) << cap.get();
    EXPECT_EQ(os_opt_kv_set2(table, "http_server_port", "25011x"), 0);
    EXPECT_EQ(port, 25011);
    EXPECT_TRUE(cap.has("-s http_server_port=25011x is not a whole number, 25011 is used\n")) << cap.get();
    EXPECT_EQ(os_opt_kv_set2(table, "http_server_port", " 8080 "), 0);
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(cap.get().find("8080"), std::string::npos);
    EXPECT_EQ(os_opt_kv_set2(table, "zzz", "1"), -1);
}

TEST(KvList, ListPrintsKeysAndExits)
{
    os_opt_kv t[] = {{"a_key", nullptr, 14, nullptr}, {"b_key", nullptr, 14, nullptr},
                     {nullptr, nullptr, 0, nullptr}};
    EXPECT_EXIT(os_opt_kv_get(t, "list"), testing::ExitedWithCode(0),
                "support the following key settings\na_key\nb_key\n");
}

struct args {
    std::vector<std::string> s;
    std::vector<char *> v;
    explicit args(std::initializer_list<const char *> l)
    {
        for (auto *x : l) s.emplace_back(x);
        for (auto &x : s) v.push_back(x.data());
        v.push_back(nullptr);
    }
    int argc() const { return (int)v.size() - 1; }
};

TEST(Getopt, ReentrantStatesAreIndependent)
{
    args a{"cmd", "-ah", "-x", "val", "rest", "-a"};
    getopt_data d1, d2;
    getopt_data_init(&d1);
    getopt_data_init(&d2);
    EXPECT_EQ(d1.optind, 1);
    EXPECT_EQ(d1.opterr, 1);
    EXPECT_EQ(d1.optopt, '?');
    EXPECT_EQ(getopt_r(a.argc(), a.v.data(), "ahx:", &d1), 'a');
    args b{"other", "-h"};
    EXPECT_EQ(getopt_r(b.argc(), b.v.data(), "h", &d2), 'h');  // a second parse in between
    EXPECT_EQ(getopt_r(a.argc(), a.v.data(), "ahx:", &d1), 'h');
    EXPECT_EQ(getopt_r(a.argc(), a.v.data(), "ahx:", &d1), 'x');
    EXPECT_STREQ(d1.optarg, "val");
    EXPECT_EQ(getopt_r(a.argc(), a.v.data(), "ahx:", &d1), -1);  // stops at "rest"
    EXPECT_EQ(d1.optind, 4);
}

TEST(Getopt, UnknownLettersAndMissingArguments)
{
    args a{"cmd", "-q", "-x"};
    getopt_data d;
    getopt_data_init(&d);
    d.opterr = 0;
    EXPECT_EQ(getopt_r(a.argc(), a.v.data(), "x:", &d), '?');
    EXPECT_EQ(d.optopt, 'q');
    EXPECT_EQ(getopt_r(a.argc(), a.v.data(), "x:", &d), '?');
    EXPECT_EQ(d.optopt, 'x');
    EXPECT_EQ(getopt_r(a.argc(), a.v.data(), "x:", &d), -1);

    args b{"cmd", "--", "-h"};
    getopt_data_init(&d);
    EXPECT_EQ(getopt_r(b.argc(), b.v.data(), "h", &d), -1);
    EXPECT_EQ(d.optind, 2);

    args c{"cmd", "--name=v", "--flag", "x"};
    getopt_long_opt lo[] = {{"name", 1, nullptr, 'n'}, {"flag", 0, nullptr, 'f'}, {nullptr, 0, nullptr, 0}};
    getopt_data_init(&d);
    EXPECT_EQ(getopt_long_r(c.argc(), c.v.data(), "", lo, nullptr, &d), 'n');
    EXPECT_STREQ(d.optarg, "v");
    EXPECT_EQ(getopt_long_r(c.argc(), c.v.data(), "", lo, nullptr, &d), 'f');
    EXPECT_EQ(getopt_long_r(c.argc(), c.v.data(), "", lo, nullptr, &d), -1);
}

}  // namespace
