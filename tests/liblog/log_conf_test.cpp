#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "libpal/env/malloc.h"
#include "libpal/net_test_util.h"
#include "libpal/value/dvar.h"
#include "common/tmp_dir.h"
#include "common/tmp_file.h"

namespace {

struct log_conf_fixture : testing::Test {
    struct log2 *c = nullptr;
    std::string path;
    void SetUp() override
    {
        c = log_ctx_new();
        ASSERT_NE(c, nullptr);
    }
    void TearDown() override
    {
        log2_exit(c);
        if (!path.empty()) unlink(path.c_str());
        log_level_set(nullptr, LOG_LEVEL_DEFAULT);
    }
    void write(const std::string &text)
    {
        std::string dir = testutil::scratch_dir();
        path = dir + "/log_conf_" + std::to_string(getpid()) + ".ini";
        std::ofstream(path) << text;
    }
};

TEST_F(log_conf_fixture, IoctlCodes)
{
    EXPECT_EQ(log2_ioctl(c, LOG_IOC_LEVEL, 5, 0), 0);
    EXPECT_EQ(log_level_get(c), 5);
    EXPECT_EQ(log2_ioctl(c, LOG_IOC_LEVEL_STR, (intptr_t) "err", 0), 0);
    EXPECT_EQ(log_level_get(c), 3);
    EXPECT_EQ(log2_ioctl(c, LOG_IOC_LEVEL_STR, (intptr_t) "loud", 0), -1);
    EXPECT_EQ(log_level_get(c), 3);
    EXPECT_EQ(log2_ioctl(c, LOG_IOC_FLAGS_STR, (intptr_t) "time|tid|func", 0), 0);
    EXPECT_EQ(c->flags.load(), 39u);
    u32 lv = 0;
    EXPECT_EQ(log2_ioctl(c, LOG_IOC_LEVEL_GET, (intptr_t)&lv, 4), 0);
    EXPECT_EQ(lv, 3u);
    EXPECT_EQ(log2_ioctl(c, LOG_IOC_LEVEL_GET, (intptr_t)&lv, 3), -1);
    for (intptr_t v : {0, -1, 2047}) EXPECT_EQ(log2_ioctl(c, LOG_IOC_FILE_SIZE, v, 0), -1) << v;  // as the INI's
    EXPECT_EQ(log2_ioctl(c, LOG_IOC_FILE_SIZE, 2048, 0), 0);
    EXPECT_EQ(c->file.size_limit, 2048);
    // The getters' texts are copies, which a later change leaves as they were.
    testutil::tmp_dir dir;
    log2_ioctl(c, LOG_IOC_FILE_OPEN, (intptr_t)(dir / "a.log").c_str(), 0);
    log_info in;
    log_info_get(c, &in);
    const char *name = log_file_name_get(c);
    const std::string was = name;
    log2_ioctl(c, LOG_IOC_FILE_OPEN, (intptr_t)(dir / "b.log").c_str(), 0);
    EXPECT_EQ(name, was);
    EXPECT_EQ(in.file_name, was);
    EXPECT_NE(was.find("/a.log"), std::string::npos);
    EXPECT_EQ(log2_ioctl(c, 41, 0, 0), -1);
    EXPECT_EQ(log2_ioctl(c, LOG_IOC_CON_ON, 0, 0), 0);
    EXPECT_EQ(c->con_on.load(), 0);
}

TEST_F(log_conf_fixture, SectionKeysApplyAndDump)
{
    write("[log]\nlevel=warn\nflags=no_colour\nfile_size=1000\n[log_x]\nlevel=verb\n");
    // The default is configured once; later calls make separate contexts.
    struct log2 *first = log2_init(nullptr, nullptr);
    ASSERT_NE(first, nullptr);
    nettest::log_capture cap;
    struct log2 *d = log2_init(path.c_str(), nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(cap.has("log2_ioctl log.file_size=1000 (must>=2048 error)\n"));
    EXPECT_EQ(log_level_get(d), 4);
    EXPECT_EQ(d->flags.load(), 0u);
    EXPECT_EQ(d->file.size_limit, LOG_FILE_SIZE_DEFAULT);  // below 2048: refused
    char *dump = log_info_dump(d);
    ASSERT_NE(dump, nullptr);
    EXPECT_EQ(std::string(dump),
              "log_level=warn\nlog_shell_enale_out=1\nlog_file_enale_out=0\nlog_file_name=''\n"
              "log_file_max_size=2097152\nlog_syslog_enale_out=0\nlog_syslog_url=''\n"
              "log_bsvlog_url=''\n");
    os_free(dump);
    struct log2 *x = log2_init(path.c_str(), "x");
    EXPECT_EQ(log_level_get(x), 8);
    EXPECT_NE(x, log_ctx_get(nullptr));  // a named log is its own, after any log_ctx_new
    if (d != log_ctx_get(nullptr)) log2_exit(d);
    if (x != log_ctx_get(nullptr)) log2_exit(x);
}

TEST(LogLevelVar, SetAndGetThroughRegistry)
{
    dvar_mgr *m = dvar_mgr_init();
    EXPECT_EQ(log_level_cmd_reg(m), 0);
    EXPECT_EQ(log_level_cmd_reg(m), -1);  // once per registry
    char err[DVAR_ERR_SIZE], val[DVAR_VALUE_SIZE];
    EXPECT_EQ(dvar_mgr_set(m, "log.level", "dbg", err), 0);
    EXPECT_EQ(log_level_get(nullptr), 7);
    EXPECT_EQ(dvar_mgr_set(m, "log.level", "bogus", err), -1);
    EXPECT_STREQ(err, "invalid param [bogus]\n");
    dvar_item *it = dvar_mgr_find(m, "log.level");
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(dvar_mgr_get(it, val), 0);
    EXPECT_STREQ(val, "dbg");
    char *json = dvar_mgr_dump_json(m);
    EXPECT_NE(std::string(json).find("\"type\":\"enum\",\"range\":\"verb/dbg/info/noti/warn/err/crit\""),
              std::string::npos);
    os_free(json);
    dvar_mgr_exit(m);
}

}  // namespace
