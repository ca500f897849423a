#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/os/os_path.h"

namespace {

struct tmp_dir {
    std::string path;
    tmp_dir()
    {
        char t[] = "/tmp/vk_os_path_XXXXXX";
        path = mkdtemp(t);
    }
    ~tmp_dir() { std::system(("rm -rf " + path).c_str()); }
};

TEST(OsPath, CreatedFilesGetTheirModeAndCloseOnExec)
{
    tmp_dir d;
    mode_t old = umask(0);
    std::string f = d.path + "/a.ini";
    FILE *w = os_fopen(f.c_str(), "w");
    ASSERT_NE(w, nullptr);
    EXPECT_NE(fcntl(fileno(w), F_GETFD) & FD_CLOEXEC, 0);
    fputs("x=1\n", w);
    fclose(w);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    FILE *a = os_fopen(f.c_str(), "a+");
    ASSERT_NE(a, nullptr);
    fputs("y=2\n", a);
    fclose(a);
    FILE *r = os_fopen(f.c_str(), "r");
    ASSERT_NE(r, nullptr);
    EXPECT_NE(fcntl(fileno(r), F_GETFD) & FD_CLOEXEC, 0);
    char buf[32] = {};
    EXPECT_EQ(fread(buf, 1, sizeof buf - 1, r), 8u);
    EXPECT_STREQ(buf, "x=1\ny=2\n");
    fclose(r);
    // Truncation on "w", and no file for "r" when it does not exist.
    w = os_fopen(f.c_str(), "w+");
    ASSERT_NE(w, nullptr);
    fclose(w);
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(os_fopen((d.path + "/missing").c_str(), "r"), nullptr);
    EXPECT_EQ(os_path_is_dir(d.path.c_str()), 1);
    EXPECT_EQ(os_path_is_dir(f.c_str()), 0);
    EXPECT_EQ(os_path_is_dir((d.path + "/missing").c_str()), -1);
    umask(old);
}

}  // namespace
