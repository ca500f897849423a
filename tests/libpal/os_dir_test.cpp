#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <string>

#include "common/tmp_dir.h"
#include "libpal/os/os_dir.h"

namespace {

using testutil::tmp_dir;

struct dir_guard {
    os_dir *d;
    explicit dir_guard(os_dir *dir) : d(dir) {}
    ~dir_guard()
    {
        if (d) os_dir_close(d);
    }
};

// Every entry left, by name.
std::map<std::string, os_dir_entry> read_all(os_dir *d)
{
    std::map<std::string, os_dir_entry> out;
    while (os_dir_entry *e = os_dir_read(d)) out[e->name] = *e;
    return out;
}

struct OsDirListing : testing::Test {
    tmp_dir d;
    void SetUp() override
    {
        std::ofstream(d / "a.log") << "aaaa";
        std::ofstream(d / "b.log") << "bb";
        std::ofstream(d / "c.txt") << "c";
        mkdir((d / "sub").c_str(), 0755);
        symlink("a.log", (d / "to_a").c_str());
        symlink("sub", (d / "to_sub").c_str());
        symlink("missing", (d / "dangling").c_str());
    }
};

TEST_F(OsDirListing, EntriesCarryKindsLinksAndStatus)
{
    dir_guard it(os_dir_open(d.path.c_str()));
    ASSERT_NE(it.d, nullptr);
    auto all = read_all(it.d);
    EXPECT_EQ(all.size(), 9u);  // seven names, "." and ".."
    EXPECT_EQ(all.count("."), 1u);
    EXPECT_EQ(all.count(".."), 1u);
    EXPECT_EQ(it.d->pos, 9u);
    EXPECT_EQ(errno, 0);

    EXPECT_EQ(all["a.log"].st.kind, (u32)OS_FILE_KIND_FILE);
    EXPECT_EQ(all["a.log"].st.size, 4u);
    EXPECT_STREQ(all["a.log"].link, "");
    EXPECT_EQ(all["sub"].st.kind, (u32)OS_FILE_KIND_DIR);
    EXPECT_TRUE(S_ISDIR(all["sub"].st.mode));
    // A link's kind follows its target; its status is its own.
    EXPECT_EQ(all["to_a"].st.kind, (u32)(OS_FILE_KIND_FILE | OS_FILE_KIND_LINK));
    EXPECT_STREQ(all["to_a"].link, "a.log");
    EXPECT_TRUE(S_ISLNK(all["to_a"].st.mode));
    EXPECT_EQ(all["to_a"].st.size, 5u);
    EXPECT_EQ(all["to_sub"].st.kind, (u32)(OS_FILE_KIND_DIR | OS_FILE_KIND_LINK));
    EXPECT_EQ(all["dangling"].st.kind, (u32)(OS_FILE_KIND_FILE | OS_FILE_KIND_LINK));
    EXPECT_STREQ(all["dangling"].link, "missing");

    EXPECT_EQ(os_dir_read(it.d), nullptr);
}

TEST_F(OsDirListing, PatternsSelectNames)
{
    dir_guard it(os_dir_open_pattern(d.path.c_str(), "*.log"));
    ASSERT_NE(it.d, nullptr);
    auto logs = read_all(it.d);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs.count("a.log") + logs.count("b.log"), 2u);
    // Skipped names still count in the position.
    EXPECT_EQ(it.d->pos, 9u);

    dir_guard dots(os_dir_open_pattern(d.path.c_str(), ".*"));
    ASSERT_NE(dots.d, nullptr);
    EXPECT_EQ(read_all(dots.d).size(), 2u);
    dir_guard upper(os_dir_open_pattern(d.path.c_str(), "*.LOG"));
    ASSERT_NE(upper.d, nullptr);
    EXPECT_EQ(read_all(upper.d).size(), 0u);
}

TEST_F(OsDirListing, SeekRestartsAndSkips)
{
    dir_guard it(os_dir_open(d.path.c_str()));
    ASSERT_NE(it.d, nullptr);
    std::string first = os_dir_read(it.d)->name;
    os_dir_read(it.d);
    os_dir_read(it.d);
    EXPECT_EQ(os_dir_seek(it.d, 3), 0);
    EXPECT_EQ(os_dir_seek(it.d, 0), 0);
    EXPECT_EQ(it.d->pos, 0u);
    EXPECT_EQ(std::string(os_dir_read(it.d)->name), first);
    EXPECT_EQ(os_dir_seek(it.d, 0), 0);
    EXPECT_EQ(read_all(it.d).size(), 9u);
    EXPECT_EQ(os_dir_seek(it.d, 4), 0);
    EXPECT_EQ(read_all(it.d).size(), 5u);
    EXPECT_EQ(os_dir_seek(it.d, 2), 0);
    EXPECT_EQ(os_dir_seek(it.d, 7), 0);
    EXPECT_EQ(read_all(it.d).size(), 2u);
    // Beyond the end: nothing more.
    EXPECT_EQ(os_dir_seek(it.d, 100), 0);
    EXPECT_EQ(os_dir_read(it.d), nullptr);
}

TEST_F(OsDirListing, AChangedWorkingDirectoryDoesNotMatter)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(d.path.c_str()), 0);
    dir_guard it(os_dir_open("sub/..\\"));
    ASSERT_NE(it.d, nullptr);
    EXPECT_STREQ(it.d->path, "sub/../");
    ASSERT_EQ(chdir("/"), 0);
    auto all = read_all(it.d);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(all.size(), 9u);
    EXPECT_EQ(all["b.log"].st.size, 2u);
    EXPECT_EQ(all["to_a"].st.kind, (u32)(OS_FILE_KIND_FILE | OS_FILE_KIND_LINK));
}

TEST(OsDir, OpenFailures)
{
    tmp_dir d;
    std::ofstream(d / "file") << "x";
    errno = 0;
    EXPECT_EQ(os_dir_open((d / "none").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(os_dir_open((d / "file").c_str()), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(os_dir_open(std::string(5000, 'd').c_str()), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(os_dir_read(nullptr), nullptr);
    EXPECT_EQ(os_dir_close(nullptr), -1);
    dir_guard empty(os_dir_open_pattern(d.path.c_str(), nullptr));
    ASSERT_NE(empty.d, nullptr);
    EXPECT_EQ(empty.d->pattern, nullptr);
}

}  // namespace
