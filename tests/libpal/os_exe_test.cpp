#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "common/log_capture.h"
#include "common/tmp_dir.h"
#include "libpal/os/os_exe.h"

namespace {

using testutil::log_capture;
using testutil::tmp_dir;

TEST(OsExe, NameAndDirectoryOfThisProgram)
{
    char name[4096], dir[4096], real[PATH_MAX];
    ASSERT_EQ(os_exe_get_name(name, sizeof name), 0);
    ASSERT_NE(realpath("/proc/self/exe", real), nullptr);
    EXPECT_STREQ(name, real);
    EXPECT_EQ(access(name, X_OK), 0);
    ASSERT_EQ(os_exe_get_dir(dir, sizeof dir), 0);
    EXPECT_EQ(std::string(dir) + strrchr(name, '/'), std::string(name));
    // A buffer the path fills is refused, not cut.
    log_capture cap;
    EXPECT_EQ(os_exe_get_name(name, strlen(real)), -1);
    EXPECT_EQ(os_exe_get_dir(dir, 4), -1);
}

// Started as ./bin/prog from a directory, with the link unreadable.
TEST(OsExe, CommandLineFallback)
{
    tmp_dir d;
    ASSERT_EQ(mkdir((d / "bin").c_str(), 0755), 0);
    std::ofstream(d / "cmdline", std::ios::binary) << std::string("./bin/prog\0-d\0", 14);
    std::ofstream(d / "abs", std::ios::binary) << std::string("/opt/app/prog\0x\0", 16);
    std::ofstream(d / "gone", std::ios::binary) << std::string("nodir/prog\0", 11);
    char cwd[4096], real[PATH_MAX], buf[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_NE(realpath(d.path.c_str(), real), nullptr);
    ASSERT_EQ(chdir(d.path.c_str()), 0);
    log_capture cap;
    int r = os_exe_get_name_imp("none/exe", "cmdline", buf, sizeof buf);
    std::string got = buf;
    int r_abs = os_exe_get_name_imp("none/exe", "abs", buf, sizeof buf);
    std::string got_abs = buf;
    int r_gone = os_exe_get_name_imp("none/exe", "gone", buf, sizeof buf);
    int r_missing = os_exe_get_name_imp("none/exe", "missing", buf, sizeof buf);
    int r_small = os_exe_get_name_imp("none/exe", "cmdline", buf, 8);
    int r_abs_small = os_exe_get_name_imp("none/exe", "abs", buf, 13);
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(r, 0);
    EXPECT_EQ(got, std::string(real) + "/bin/prog");
    EXPECT_EQ(r_abs, 0);
    EXPECT_EQ(got_abs, "/opt/app/prog");
    EXPECT_EQ(r_gone, -1);
    EXPECT_EQ(r_missing, -1);
    EXPECT_EQ(r_small, -1);
    EXPECT_EQ(r_abs_small, -1);
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(cap.has("readlink /proc/self/exe error: "));
    EXPECT_TRUE(cap.has("os_cat /proc/self/cmdline error: "));
    EXPECT_TRUE(cap.has("realpath ["));
}

TEST(OsExe, CommandLineCopy)
{
    char a0[] = "prog", a1[] = "two words", a2[] = "x";
    char *argv[] = {a0, a1, a2, nullptr};
    char buf[64];
    EXPECT_STREQ(os_cmdline_copy(3, argv, buf, sizeof buf), "prog \"two words\" x ");  // each item ends with a space
    char small[6];
    EXPECT_STREQ(os_cmdline_copy(3, argv, small, sizeof small), "prog ");
}

}  // namespace
