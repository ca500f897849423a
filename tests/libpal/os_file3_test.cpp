#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>

#include "common/tmp_dir.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_file3.h"
#include "libpal/os/os_path.h"

namespace {

using testutil::tmp_dir;

void put(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string get(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Names in a directory other than "." and "..".
int entries(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) ++n;
        closedir(d);
    }
    return n;
}

// Runs the test body under umask 022 and puts the old mask back.
struct umask_022 {
    mode_t old = umask(022);
    ~umask_022() { umask(old); }
};

TEST(OsFile3, LoadGivesExactBytesAndEmptyBuffersForEmptyFiles)
{
    tmp_dir d;
    std::string bin("a\0b\xff", 4), big(100000, 'x');
    put(d / "empty", "");
    put(d / "bin", bin);
    put(d / "big", big);

    size_t n = 99;
    char *p = os_file_load(d.path.c_str(), &n, 0);  // a directory cannot be read
    EXPECT_EQ(p, nullptr);
    p = os_file_load((d / "empty").c_str(), &n, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, 0u);
    os_free(p);
    p = os_file_load_text((d / "empty").c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "");
    os_free(p);

    p = os_file_load_bin((d / "bin").c_str(), &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, n), bin);
    os_free(p);
    // The added NUL is part of the size.
    p = os_file_load((d / "big").c_str(), &n, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, big.size() + 1);
    EXPECT_EQ(std::string(p, n), big + '\0');
    os_free(p);
    put(d / "hello", "hello");
    p = os_file_load((d / "hello").c_str(), &n, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, 6u);
    EXPECT_STREQ(p, "hello");
    os_free(p);
    p = os_file_load((d / "empty").c_str(), &n, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, 1u);
    os_free(p);

    // Either separator and a file:// prefix.
    std::string win = "file://" + d.path + "\\bin";
    p = os_file_load_bin(win.c_str(), &n);
    ASSERT_NE(p, nullptr);
    os_free(p);

    errno = 0;
    EXPECT_EQ(os_file_load((d / "missing").c_str(), &n, 1), nullptr);
    EXPECT_EQ(errno, ENOENT);
    // A /proc file reports size 0 but has text.
    p = os_file_load_text("/proc/self/status");
    ASSERT_NE(p, nullptr);
    EXPECT_NE(strstr(p, "Pid:"), nullptr);
    os_free(p);
}

TEST(OsFile3, CatEndsEachBlockAtItsFirstNul)
{
    tmp_dir d;
    put(d / "a", std::string("ab\0cd", 5));
    char *t = os_cat((d / "a").c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "ab");
    os_free(t);

    std::string two(5000, 'y');
    two[10] = 0;
    two[4100] = 0;
    put(d / "b", two);
    t = os_cat((d / "b").c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t), std::string(10, 'y') + std::string(4, 'y'));
    os_free(t);

    put(d / "c", "");
    t = os_cat((d / "c").c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "");
    os_free(t);
    EXPECT_EQ(os_cat((d / "none").c_str()), nullptr);
}

TEST(OsFile3, SaveCreatesParentsWithTheirModesAndFailsOnNothingWritten)
{
    umask_022 m;
    tmp_dir d;
    std::string f = d / "a/b/c.txt";
    EXPECT_EQ(os_file_save_text(f.c_str(), "hello\n"), 0);
    EXPECT_EQ(get(f), "hello\n");
    EXPECT_EQ(mode_of(f), 0644u);
    EXPECT_EQ(mode_of(d / "a"), 0755u);
    EXPECT_EQ(mode_of(d / "a/b"), 0755u);

    // Saving replaces the whole file.
    EXPECT_EQ(os_file_save(f.c_str(), "xy", 2), 0);
    EXPECT_EQ(get(f), "xy");
    // Nothing to write: an empty file, and -1.
    EXPECT_EQ(os_file_save_text(f.c_str(), ""), -1);
    EXPECT_EQ(get(f), "");
    EXPECT_EQ(os_file_save(f.c_str(), "z", 0), -1);
    EXPECT_EQ(os_file_save_text(f.c_str(), nullptr), -1);

    // A path that cannot be a file.
    EXPECT_EQ(os_file_save_text(d.path.c_str(), "x"), -1);
    errno = 0;
    std::string longp = d.path + "/" + std::string(5000, 'n');
    EXPECT_EQ(os_file_save_text(longp.c_str(), "x"), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    // Below a regular file no directory can be made.
    EXPECT_EQ(os_file_save_text((f + "/sub/x").c_str(), "x"), -1);
}

TEST(OsFile3, SaveReportsAFullDevice)
{
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    errno = 0;
    EXPECT_EQ(os_file_save_text("/dev/full", "data"), -1);
    EXPECT_EQ(errno, ENOSPC);
}

TEST(OsFile3, CopyIsExactAndReportsEveryFailure)
{
    umask_022 m;
    tmp_dir d;
    std::string data;
    for (int i = 0; i < 70000; ++i) data += (char)(i * 7);
    put(d / "src", data);
    EXPECT_EQ(os_file_copy((d / "src").c_str(), (d / "x/y/dst").c_str()), 0);
    EXPECT_EQ(get(d / "x/y/dst"), data);
    EXPECT_EQ(mode_of(d / "x/y/dst"), 0644u);

    // Onto itself (also through a link) would destroy the source.
    symlink((d / "src").c_str(), (d / "alias").c_str());
    errno = 0;
    EXPECT_EQ(os_file_copy((d / "src").c_str(), (d / "alias").c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(get(d / "src"), data);

    EXPECT_EQ(os_file_copy((d / "none").c_str(), (d / "dst2").c_str()), -1);
    EXPECT_NE(access((d / "dst2").c_str(), F_OK), 0);
    EXPECT_EQ(os_file_copy((d / "src").c_str(), d.path.c_str()), -1);
    if (access("/dev/full", W_OK) == 0) {
        errno = 0;
        EXPECT_EQ(os_file_copy((d / "src").c_str(), "/dev/full"), -1);
        EXPECT_EQ(errno, ENOSPC);
    }
}

TEST(OsFile3, TouchCreatesOnlyWhatIsMissing)
{
    umask_022 m;
    tmp_dir d;
    std::string f = d / "t/new.txt";
    EXPECT_EQ(os_path_is_file(f.c_str()), -1);
    EXPECT_EQ(os_file_touch(f.c_str()), 0);
    EXPECT_EQ(os_path_is_file(f.c_str()), 1);
    EXPECT_EQ(mode_of(f), 0644u);
    EXPECT_EQ(os_path_is_file((d / "t").c_str()), 0);

    // An existing file keeps its times and contents.
    put(f, "keep");
    struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), old, 0), 0);
    EXPECT_EQ(os_file_touch(f.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000);
    EXPECT_EQ(get(f), "keep");

    errno = 0;
    EXPECT_EQ(os_file_touch((d / "t").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
}

TEST(OsFile3, SpaceCheckLeavesTheFileAsItWas)
{
    tmp_dir d;
    std::string f = d / "space";
    put(f, "abc");
    EXPECT_EQ(os_file_save_space_check(f.c_str(), 1 << 20), 0);
    EXPECT_EQ(get(f), "abc");
    EXPECT_EQ(os_file_save_space_check(f.c_str(), 1), 0);
    EXPECT_EQ(get(f), "abc");
    // A missing file is made (empty).
    EXPECT_EQ(os_file_save_space_check((d / "fresh").c_str(), 4096), 0);
    EXPECT_EQ(get(d / "fresh"), "");
    EXPECT_EQ(os_file_save_space_check((d / "no/dir").c_str(), 1), -1);
}

TEST(OsFile3, ByteOrderMark)
{
    tmp_dir d;
    put(d / "bom", "\xEF\xBB\xBFx");
    put(d / "two", "ab");
    FILE *f = fopen((d / "bom").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_skip_bom(f), 0);
    EXPECT_EQ(fgetc(f), 'x');
    fclose(f);
    f = fopen((d / "two").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_skip_bom(f), 0);
    EXPECT_EQ(fgetc(f), 'a');
    fclose(f);
    f = fopen((d / "w").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_write_bom(f), 1);
    fclose(f);
    EXPECT_EQ(get(d / "w"), "\xEF\xBB\xBF");
}

TEST(OsFile3, AtomicSaveReplacesWholeFilesAndKeepsTheirModes)
{
    umask_022 m;
    tmp_dir d;
    std::string f = d / "conf/app.ini";
    EXPECT_EQ(os_file_save_atomic(f.c_str(), "a=1\n", 4), 0);
    EXPECT_EQ(get(f), "a=1\n");
    EXPECT_EQ(mode_of(f), 0644u);
    EXPECT_EQ(mode_of(d / "conf"), 0755u);

    // A replaced file keeps its mode; nothing else is left in the directory.
    ASSERT_EQ(chmod(f.c_str(), 0600), 0);
    struct stat before, after;
    ASSERT_EQ(stat(f.c_str(), &before), 0);
    EXPECT_EQ(os_file_save_atomic(f.c_str(), "b=2\n", 4), 0);
    ASSERT_EQ(stat(f.c_str(), &after), 0);
    EXPECT_EQ(get(f), "b=2\n");
    EXPECT_EQ(mode_of(f), 0600u);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(entries(d / "conf"), 1);
    // An empty file is a valid save.
    EXPECT_EQ(os_file_save_atomic(f.c_str(), "", 0), 0);
    EXPECT_EQ(get(f), "");

    // A failing writer leaves the old file and no temporary file.
    put(f, "old");
    auto fail = [](FILE *s, void *) {
        fputs("partial", s);
        return -1;
    };
    EXPECT_EQ(os_file_save_atomic_fn(f.c_str(), fail, nullptr), -1);
    EXPECT_EQ(get(f), "old");
    EXPECT_EQ(entries(d / "conf"), 1);

    // The writer form, as a configuration dump uses it.
    auto dump = [](FILE *s, void *arg) { return fprintf(s, "k=%s\n", (const char *)arg) > 0 ? 0 : -1; };
    EXPECT_EQ(os_file_save_atomic_fn(f.c_str(), dump, (void *)"v"), 0);
    EXPECT_EQ(get(f), "k=v\n");

    // A link stays a link; the file it names is replaced.
    std::string link = d / "link.ini";
    ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
    EXPECT_EQ(os_file_save_atomic(link.c_str(), "via=link\n", 9), 0);
    struct stat lst;
    ASSERT_EQ(lstat(link.c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(get(f), "via=link\n");

    errno = 0;
    EXPECT_EQ(os_file_save_atomic(d.path.c_str(), "x", 1), -1);
    EXPECT_EQ(os_file_save_atomic_fn(f.c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    std::string longp = d.path + "/" + std::string(4090 - d.path.size(), 'n');
    errno = 0;
    EXPECT_EQ(os_file_save_atomic(longp.c_str(), "x", 1), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(OsFile3, AtomicSaveWritesKernelFilesInPlace)
{
    // /proc entries cannot be replaced, only written: the process name.
    char old[64] = {};
    int fd = open("/proc/self/comm", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_GT(read(fd, old, sizeof old - 1), 0);
    close(fd);
    EXPECT_EQ(os_file_save_atomic("/proc/self/comm", "vk_atomic", 9), 0);
    EXPECT_EQ(get("/proc/self/comm"), "vk_atomic\n");
    *strchrnul(old, '\n') = 0;
    os_file_save_text("/proc/self/comm", old);

    // A FIFO is written, not replaced.
    tmp_dir d;
    std::string fifo = d / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    EXPECT_EQ(os_file_save_atomic(fifo.c_str(), "pipe", 4), 0);
    char buf[8] = {};
    EXPECT_EQ(read(rd, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "pipe");
    close(rd);
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
