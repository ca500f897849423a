#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/child.h"
#include "common/tmp_dir.h"
#include "libpal/os/fd_open.h"
#include "libpal/os/os_path.h"

namespace {

using testutil::tmp_dir;

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


void put(const std::string &path, const char *text)
{
    std::ofstream(path) << text;
}

TEST(OsPath, RenameReplacesOnlyWithForceAndTouchesTheResult)
{
    tmp_dir d;
    std::string a = d / "a", b = d / "b", c = d / "c";
    put(a, "A");
    put(b, "B");
    errno = 0;
    EXPECT_EQ(os_path_rename(a.c_str(), b.c_str(), 0), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(access(a.c_str(), F_OK), 0);
    // A directory in the way counts as well.
    ASSERT_EQ(mkdir(c.c_str(), 0755), 0);
    errno = 0;
    EXPECT_EQ(os_path_rename(a.c_str(), c.c_str(), 0), -1);
    EXPECT_EQ(errno, EEXIST);

    EXPECT_EQ(os_path_rename(a.c_str(), b.c_str(), 1), 0);
    EXPECT_NE(access(a.c_str(), F_OK), 0);
    std::ifstream in(b);
    std::string got;
    in >> got;
    EXPECT_EQ(got, "A");

    // Onto a free name; the renamed entry carries the current time.
    struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, b.c_str(), old, 0), 0);
    time_t before = time(nullptr);
    std::string win = d.path + "\\moved";
    EXPECT_EQ(os_path_rename(b.c_str(), win.c_str(), 0), 0);
    struct stat st;
    ASSERT_EQ(stat((d / "moved").c_str(), &st), 0);
    EXPECT_GE(st.st_mtim.tv_sec, before);
    EXPECT_EQ(os_path_rename((d / "none").c_str(), (d / "x").c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(OsPath, MkdirFamily)
{
    tmp_dir d;
    mode_t old = umask(022);
    EXPECT_EQ(os_mkdir(d.path.c_str(), 0700), 0);
    put(d / "file", "x");
    errno = 0;
    EXPECT_EQ(os_mkdir((d / "file").c_str(), 0755), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(os_mkdir_0755((d / "one").c_str()), 0);
    EXPECT_EQ(os_path_is_dir((d / "one").c_str()), 1);

    // Either separator, each level with mode 0755.
    std::string win = d.path + "\\a\\b\\c";
    EXPECT_EQ(os_mkdirs(win.c_str()), 0);
    for (const char *sub : {"a", "a/b", "a/b/c"}) {
        struct stat st;
        ASSERT_EQ(stat((d / sub).c_str(), &st), 0) << sub;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0755u);
    }
    EXPECT_EQ(os_mkdirs((d / "a/b/c/").c_str()), 0);
    EXPECT_EQ(os_mkdirs((d / "file/sub").c_str()), -1);
    // An empty path names no directory.
    errno = 0;
    EXPECT_EQ(os_mkdirs(""), -1);
    EXPECT_EQ(errno, ENOENT);

    EXPECT_EQ(os_mkdir_parent((d / "p/q/leaf.txt").c_str()), 0);
    EXPECT_EQ(os_path_is_dir((d / "p/q").c_str()), 1);
    EXPECT_EQ(os_path_is_dir((d / "p/q/leaf.txt").c_str()), -1);
    EXPECT_EQ(os_mkdir_parent("no_separator"), -1);
    EXPECT_NE(access("no_separator", F_OK), 0);
    EXPECT_EQ(os_mkdir_parent("/rooted"), 0);

    EXPECT_EQ(os_rmdir((d / "a/b/c").c_str()), 0);
    EXPECT_EQ(os_path_is_dir((d / "a/b/c").c_str()), -1);
    EXPECT_EQ(os_rmdir((d / "a").c_str()), -1);
    umask(old);
}

TEST(OsPath, OverlongPathsFailWithoutActing)
{
    tmp_dir d;
    // Cut at 4095 bytes, this path would name the directory itself.
    std::string longp = d.path + "/" + std::string(5000, '/') + "x";
    put(d / "x", "x");
    os_file_stat_rec rec;
    char buf[4096];
    const char *p = longp.c_str();
    std::vector<std::function<int()>> calls = {
        [&] { return os_path_unlink(p); },
        [&] { return os_mkdirs(p); },
        [&] { return os_mkdir_0755(p); },
        [&] { return os_path_stat(p, &rec); },
        [&] { return os_access(p, F_OK); },
        [&] { return os_chdir(p); },
        [&] { return os_readlink(p, buf, sizeof buf); },
        [&] { return os_mkdir_parent(p); },
        [&] { return os_path_rename((d / "x").c_str(), p, 1); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        errno = 0;
        EXPECT_EQ(calls[i](), -1) << i;
        EXPECT_EQ(errno, ENAMETOOLONG) << i;
    }
    EXPECT_EQ(access((d / "x").c_str(), F_OK), 0);
    EXPECT_STREQ(os_realpath(longp.c_str(), buf), "");
    EXPECT_EQ(os_fopen(longp.c_str(), "w"), nullptr);
    EXPECT_EQ(os_path_unlink(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(OsPath, StatLinksAndSpecialFiles)
{
    tmp_dir d;
    std::string f = d / "f", l = d / "l", dang = d / "dangling";
    put(f, "12345");
    ASSERT_EQ(os_path_symlink(f.c_str(), l.c_str()), 0);
    ASSERT_EQ(os_path_symlink((d / "none").c_str(), dang.c_str()), 0);

    os_file_stat_rec r;
    ASSERT_EQ(os_path_stat(l.c_str(), &r), 0);
    EXPECT_EQ(r.kind, (u32)OS_FILE_KIND_FILE);
    EXPECT_EQ(r.size, 5u);
    ASSERT_EQ(os_path_lstat(l.c_str(), &r), 0);
    EXPECT_EQ(r.kind, (u32)(OS_FILE_KIND_FILE | OS_FILE_KIND_LINK));
    // A dangling link still answers, as the link.
    ASSERT_EQ(os_path_stat(dang.c_str(), &r), 0);
    EXPECT_EQ(r.kind, (u32)(OS_FILE_KIND_FILE | OS_FILE_KIND_LINK));
    ASSERT_EQ(os_path_stat(d.path.c_str(), &r), 0);
    EXPECT_EQ(r.kind, (u32)OS_FILE_KIND_DIR);
    EXPECT_EQ(os_path_stat((d / "none").c_str(), &r), -1);

    char buf[4096];
    EXPECT_EQ(os_readlink(l.c_str(), buf, sizeof buf), (int)f.size());
    EXPECT_EQ(std::string(buf), f);
    // A target that fills the buffer is refused, one byte more fits.
    errno = 0;
    EXPECT_EQ(os_readlink(l.c_str(), buf, f.size()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(os_readlink(l.c_str(), buf, f.size() + 1), (int)f.size());
    EXPECT_EQ(os_readlink(f.c_str(), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINVAL);

    char real[4096];
    EXPECT_EQ(std::string(os_realpath(l.c_str(), real)), std::string(os_realpath(f.c_str(), buf)));
    EXPECT_STREQ(os_realpath((d / "none").c_str(), real), "");

    EXPECT_EQ(os_path_link(f.c_str(), (d / "hard").c_str()), 0);
    ASSERT_EQ(os_path_stat(f.c_str(), &r), 0);
    EXPECT_EQ(r.nlink, 2u);
    EXPECT_EQ(os_path_mkfifo((d / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(os_path_mknod((d / "fifo2").c_str(), S_IFIFO | 0600, 0), 0);
    struct stat st;
    ASSERT_EQ(stat((d / "fifo2").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    EXPECT_EQ(os_path_chmod(f.c_str(), 0600), 0);
    EXPECT_EQ(os_path_lchmod(f.c_str(), 0640), 0);
    ASSERT_EQ(os_path_stat(f.c_str(), &r), 0);
    EXPECT_EQ(r.mode & 0777, 0640u);
    EXPECT_EQ(os_path_lchmod(l.c_str(), 0600), -1);  // links have no mode here
    EXPECT_EQ(os_path_chown(f.c_str(), getuid(), getgid()), 0);
    EXPECT_EQ(os_path_lchown(l.c_str(), getuid(), getgid()), 0);
    EXPECT_EQ(os_path_truncate(f.c_str(), 2), 0);
    ASSERT_EQ(os_path_stat(f.c_str(), &r), 0);
    EXPECT_EQ(r.size, 2u);

    os_file_times t = {{2000000, 5}, {3000000, 7}, {0, 0}};
    EXPECT_EQ(os_path_set_times(l.c_str(), &t), 0);
    ASSERT_EQ(os_path_stat(f.c_str(), &r), 0);
    EXPECT_EQ(r.atime_sec, 2000000u);
    EXPECT_EQ(r.mtime_sec, 3000000u);
    EXPECT_EQ(r.mtime_nsec, 7u);
    t.mtime.sec = 4000000;
    EXPECT_EQ(os_path_set_times_nofollow(l.c_str(), &t), 0);
    ASSERT_EQ(os_path_lstat(l.c_str(), &r), 0);
    EXPECT_EQ(r.mtime_sec, 4000000u);
    ASSERT_EQ(os_path_stat(f.c_str(), &r), 0);
    EXPECT_EQ(r.mtime_sec, 3000000u);

    EXPECT_EQ(os_path_unlink(l.c_str()), 0);
    EXPECT_EQ(access(f.c_str(), F_OK), 0);
    EXPECT_EQ(os_path_unlink((d / "none").c_str()), -1);
}

TEST(OsPath, RecordLocksExcludeOtherProcesses)
{
    tmp_dir d;
    std::string f = d / "lock";
    put(f, "0123456789");
    int fd = open(f.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(os_file_lock(fd, OS_LOCK_WRITE, 0, 5), 0);
    auto child = [&](int flags, i64 off) {
        return testutil::in_child([&] {
            int cfd = open(f.c_str(), O_RDWR);
            return os_file_lock(cfd, flags, off, 5) == 0 ? 0 : (errno == EAGAIN || errno == EACCES) ? 1 : 2;
        });
    };
    // Held by this process: refused at once, a free range is granted.
    EXPECT_EQ(child(OS_LOCK_WRITE | OS_LOCK_NOWAIT, 0), 1);
    EXPECT_EQ(child(OS_LOCK_READ | OS_LOCK_NOWAIT, 2), 1);
    EXPECT_EQ(child(OS_LOCK_WRITE | OS_LOCK_NOWAIT, 5), 0);
    ASSERT_EQ(os_file_unlock(fd, 0, 0, 5), 0);
    EXPECT_EQ(child(OS_LOCK_WRITE | OS_LOCK_NOWAIT, 0), 0);
    // Shared locks share.
    ASSERT_EQ(os_file_lock(fd, OS_LOCK_READ, 0, 5), 0);
    EXPECT_EQ(child(OS_LOCK_READ | OS_LOCK_NOWAIT, 0), 0);
    close(fd);
}

// Two threads build the same deep trees at once: each call must succeed.
TEST(OsPathConcurrency, MkdirsRacedByTwoThreads)
{
    tmp_dir d;
    constexpr int kTrees = 100;
    std::atomic<int> ready{0}, failures{0};
    auto run = [&] {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        for (int i = 0; i < kTrees; ++i) {
            std::string p = d.path + "/t" + std::to_string(i) + "/a/b/c/d/e";
            if (os_mkdirs(p.c_str()) != 0) failures.fetch_add(1);
        }
    };
    std::thread t1(run), t2(run);
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < kTrees; ++i)
        EXPECT_EQ(os_path_is_dir((d.path + "/t" + std::to_string(i) + "/a/b/c/d/e").c_str()), 1);
}

// A log name in a directory that is sticky and that others may write (as
// /tmp) is opened only when it is a plain file of the program's own (or
// of the directory's owner): another user's link, FIFO, file or second
// link is refused before a byte is written or emptied, and a FIFO cannot
// hang the open. Elsewhere links and FIFOs are opened as before.
TEST(FdOpen, ASharedDirectoryRefusesLinksFifosAndOtherUsersFiles)
{
    tmp_dir d;
    std::string shared = d / "shared", name = shared + "/t.log", victim = d / "victim";
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    std::ofstream(victim) << "keep";
    constexpr int kFlags = O_RDWR | O_CREAT | O_APPEND | O_TRUNC;
    auto refused = [&](const char *why) {
        errno = 0;
        EXPECT_EQ(fd_open_log(name.c_str(), kFlags, 0644, false, nullptr), -1) << why;
        EXPECT_EQ(errno, EACCES) << why;
        char buf[160];
        const char *told = fd_path_refusal(name.c_str(), buf, sizeof buf);
        EXPECT_EQ(told ? std::string(told) : "", std::string(why) + " in a sticky directory that others may write");
        EXPECT_EQ(unlink(name.c_str()), 0);
        EXPECT_STREQ(fd_open_last_refusal(), told) << "the refusing walk's reason, not a later look's";
    };
    ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
    refused("a symbolic link");
    ASSERT_EQ(mkfifo(name.c_str(), 0644), 0);
    refused("a FIFO");
    ASSERT_EQ(link(victim.c_str(), name.c_str()), 0);
    refused("a file of 2 links");
    if (geteuid() == 0) {
        std::ofstream(name) << "theirs";
        ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
        refused("a file of uid 65534");
    }
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
    // The program's own file is taken, and emptied once taken.
    std::ofstream(name) << "old";
    int fd = fd_open_log(name.c_str(), kFlags, 0644, false, nullptr);
    ASSERT_GE(fd, 0);
    struct stat sb;
    fstat(fd, &sb);
    EXPECT_EQ(sb.st_size, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(fd);
    // Elsewhere a link is followed and a FIFO opened, blocking once open.
    std::string link_name = d / "l.log", fifo = d / "f.log";
    ASSERT_EQ(symlink(victim.c_str(), link_name.c_str()), 0);
    fd = fd_open_log(link_name.c_str(), O_RDWR | O_APPEND, 0644, false, nullptr);
    EXPECT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    fd = fd_open_log(fifo.c_str(), O_RDWR | O_CREAT | O_APPEND, 0644, false, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd);
    char buf[160];
    EXPECT_EQ(fd_path_refusal(link_name.c_str(), buf, sizeof buf), nullptr);

    // The directories on the way: each refusal is told with the path.
    char top[PATH_MAX];
    ASSERT_NE(realpath(d.path.c_str(), top), nullptr);
    auto refused_at = [&](const std::string &file, const std::string &why) {
        errno = 0;
        EXPECT_EQ(fd_open_log(file.c_str(), kFlags, 0644, true, nullptr), -1) << why;
        EXPECT_EQ(errno, EACCES) << why;
        EXPECT_EQ(std::string(fd_open_last_refusal() ? fd_open_last_refusal() : ""), why);
        const char *told = fd_path_refusal(file.c_str(), buf, sizeof buf);
        EXPECT_EQ(told ? std::string(told) : "", why);
    };
    std::string open_dir = std::string(top) + "/open";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    refused_at(open_dir + "/t.log", "the directory " + open_dir + " may be written by others and is not sticky");
    // Higher on the path too, on the way through a link; and a directory
    // its group may write is shared.
    ASSERT_EQ(symlink(open_dir.c_str(), (open_dir + "/up").c_str()), 0);
    refused_at(open_dir + "/up/t.log", "the directory " + open_dir + " may be written by others and is not sticky");
    ASSERT_EQ(chmod(open_dir.c_str(), 0775), 0);
    refused_at(open_dir + "/up", "a symbolic link in a directory that its group may write");
    ASSERT_EQ(chmod(open_dir.c_str(), 0755), 0);
    // A link to a directory in the shared one: followed when it is the
    // effective user's.
    std::string via = shared + "/via";
    ASSERT_EQ(symlink(open_dir.c_str(), via.c_str()), 0);
    fd_log_place at;
    fd_log_place_init(&at);
    fd = fd_open_log((via + "/t.log").c_str(), kFlags, 0644, false, &at);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(at.real), open_dir + "/t.log");
    EXPECT_EQ(fcntl(at.dir, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    // A file made relative to the directory lands beside the file.
    int beside = openat(at.dir, "t.log.halving", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(beside, 0);
    EXPECT_EQ(access((open_dir + "/t.log.halving").c_str(), F_OK), 0);
    close(beside);
    close(fd);
    fd_log_place_close(&at);
    EXPECT_EQ(at.dir, -1);
    // A chain of links, relative and absolute, with ".." on the way: at
    // most 40 are followed.
    ASSERT_EQ(symlink("sub/../open/t.log", (d / "c1").c_str()), 0);
    ASSERT_EQ(symlink((d / "c1").c_str(), (d / "c2").c_str()), 0);
    ASSERT_EQ(mkdir((d / "sub").c_str(), 0755), 0);
    fd = fd_open_log((d / "sub/../c2").c_str(), O_RDWR | O_APPEND, 0644, false, &at);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(at.real), open_dir + "/t.log");
    close(fd);
    fd_log_place_close(&at);
    ASSERT_EQ(symlink("loop", (d / "loop").c_str()), 0);
    EXPECT_EQ(fd_open_log((d / "loop").c_str(), kFlags, 0644, false, nullptr), -1);
    EXPECT_EQ(errno, ELOOP);
    // No directory is made that a later ".." of the way would leave.
    EXPECT_EQ(fd_open_log((d / "new/../t.log").c_str(), kFlags, 0644, true, nullptr), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(fd_make_dirs((d / "new/sub/../../x").c_str()), -1);
    // Missing directories are made with mode 0755 less the umask, in a
    // setgid directory with its group.
    ASSERT_EQ(mkdir((d / "sg").c_str(), 0755), 0);
    ASSERT_EQ(chown((d / "sg").c_str(), (uid_t)-1, geteuid() ? getegid() : 65534), 0);
    ASSERT_EQ(chmod((d / "sg").c_str(), 02755), 0);
    mode_t old_mask = umask(077);
    std::string made = std::string(top) + "/sg/made/sub";
    fd = fd_open_log((made + "/t.log").c_str(), kFlags, 0644, true, &at);
    umask(old_mask);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(at.real), made + "/t.log");
    ASSERT_EQ(stat(made.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 02700u);
    EXPECT_EQ(sb.st_gid, geteuid() ? getegid() : 65534);
    close(fd);
    fd_log_place_close(&at);
    // A link of /proc is followed as the kernel follows it whatever its
    // text: /dev/fd/N of a deleted file ("PATH (deleted)") writes that file.
    std::string gone = std::string(top) + "/gone.log";
    int held = open(gone.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(unlink(gone.c_str()), 0);
    fd = fd_open_log(("/dev/fd/" + std::to_string(held)).c_str(), kFlags, 0644, true, &at);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(at.dir, -1);
    EXPECT_EQ(write(fd, "y", 1), 1);
    EXPECT_EQ(pread(held, buf, 2, 0), 1);
    EXPECT_NE(access((gone + " (deleted)").c_str(), F_OK), 0);
    close(fd);
    close(held);
    // A link of /proc that names no path (/dev/stdout on a pipe) is
    // followed as the kernel follows it.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fd = fd_open_log(("/proc/self/fd/" + std::to_string(pipe_fds[1])).c_str(), O_WRONLY | O_APPEND, 0644, false, &at);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "x", 1), 1);
    char got = 0;
    EXPECT_EQ(read(pipe_fds[0], &got, 1), 1);
    EXPECT_EQ(got, 'x');
    close(fd);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    fd_log_place_close(&at);
    // A link of /proc to "/" goes on from the root.
    fd = fd_open_log(("/proc/self/root" + open_dir + "/t.log").c_str(), kFlags, 0644, false, &at);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(at.real), open_dir + "/t.log");
    close(fd);
    fd_log_place_close(&at);
    if (geteuid() != 0) return;
    // Another user's link in the shared directory is not followed, and
    // another user's directory does not hold the file.
    ASSERT_EQ(lchown(via.c_str(), 65534, 65534), 0);
    refused_at(via + "/t.log", via + " is a symbolic link of uid 65534 in a sticky directory that others may write");
    // Nothing is made through it.
    EXPECT_EQ(fd_make_dirs((via + "/a/b").c_str()), -1);
    EXPECT_NE(access((open_dir + "/a").c_str(), F_OK), 0);
    // Another user's directory higher on the path, with their link to a
    // root 0700 directory in it.
    std::string theirs = std::string(top) + "/theirs";
    ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
    ASSERT_EQ(symlink(open_dir.c_str(), (theirs + "/lnk").c_str()), 0);
    ASSERT_EQ(lchown((theirs + "/lnk").c_str(), 65534, 65534), 0);
    refused_at(theirs + "/lnk/t.log", theirs + "/lnk is a symbolic link of uid 65534");
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    refused_at(theirs + "/lnk/t.log", "the directory " + theirs + " is owned by uid 65534");
    ASSERT_EQ(chown(open_dir.c_str(), 65534, 65534), 0);
    refused_at(open_dir + "/t.log", "the directory " + open_dir + " is owned by uid 65534");
    refused_at(d / "c2", "the directory " + open_dir + " is owned by uid 65534");
}

}  // namespace
