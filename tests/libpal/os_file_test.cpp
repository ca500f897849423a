#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/child.h"
#include "common/log_capture.h"
#include "common/tmp_dir.h"
#include "libpal/os/os_file2.h"
#include "libpal/os/os_file_vdev.h"
#include "libpal/os/posix/os_file2.h"

namespace {

using testutil::log_capture;
using testutil::tmp_dir;

std::string get(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Owns an os_file for one test.
struct file_guard {
    os_file *f;
    explicit file_guard(os_file *file) : f(file) {}
    ~file_guard()
    {
        if (f) os_file_close(f);
    }
    os_file *operator->() const { return f; }
    operator os_file *() const { return f; }
};

// Points a standard descriptor at another one while alive.
struct redirect_fd {
    int target, saved;
    redirect_fd(int fd, int to) : target(fd), saved(dup(fd)) { dup2(to, fd); }
    ~redirect_fd()
    {
        dup2(saved, target);
        close(saved);
    }
};

TEST(OsFile, LocalFileReadWriteSeekAndVectors)
{
    tmp_dir d;
    mode_t old = umask(022);
    std::string path = d / "sub/dir/data.bin";
    file_guard f(os_file_open(path.c_str(), OS_FILE_RDWR | OS_FILE_CREATE));
    umask(old);
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(f->ops, &os_file_ops_local);
    EXPECT_STREQ(f->path, path.c_str());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    int fd = os_file_fd(f);
    EXPECT_EQ((u64)fd + 1, f->handle);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    EXPECT_EQ(os_file_write(f, "hello world", 11), 11);
    EXPECT_EQ(os_file_offset(f), 11);
    EXPECT_EQ(os_file_size(f), 11);
    EXPECT_EQ(os_file_seek(f, 6, SEEK_SET), 6);
    char buf[32] = {};
    EXPECT_EQ(os_file_read(f, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(os_file_pwrit(f, "W", 1, 6), 1);
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(os_file_pread(f, buf, 5, 6), 5);
    EXPECT_STREQ(buf, "World");
    EXPECT_EQ(os_file_offset(f), 11);

    // Vector transfers; the positioned ones leave the offset alone.
    char a[3] = {'a', 'b', 'c'}, b[2] = {'d', 'e'};
    struct iovec w[2] = {{a, 3}, {b, 2}};
    EXPECT_EQ(os_file_writv(f, w, 2), 5);
    EXPECT_EQ(os_file_offset(f), 16);
    EXPECT_EQ(os_file_pwritv(f, w, 2, 0), 5);
    EXPECT_EQ(os_file_offset(f), 16);
    char r1[4] = {}, r2[8] = {};
    struct iovec r[2] = {{r1, 3}, {r2, 7}};
    EXPECT_EQ(os_file_preadv(f, r, 2, 0), 10);
    EXPECT_EQ(std::string(r1) + r2, "abcde Worl");
    EXPECT_EQ(os_file_offset(f), 16);
    EXPECT_EQ(os_file_seek(f, 11, SEEK_SET), 11);
    memset(r1, 0, sizeof r1);
    memset(r2, 0, sizeof r2);
    EXPECT_EQ(os_file_readv(f, r, 2), 5);
    EXPECT_EQ(std::string(r1) + r2, "abcde");

    EXPECT_EQ(os_file_fsync(f), 1);
    EXPECT_EQ(os_file_ftruncate(f, 5), 1);
    EXPECT_EQ(os_file_size(f), 5);
    EXPECT_EQ(os_file_close(f.f), 1);
    f.f = nullptr;
    EXPECT_EQ(get(path), "abcde");
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor went with the handle
}

TEST(OsFile, InitFlagsAndCreation)
{
    tmp_dir d;
    std::string path = d / "f";
    put(path, "0123");
    // Of the access bits the first one wins: read and write means read.
    file_guard ro(os_file_open(path.c_str(), OS_FILE_READ | OS_FILE_WRITE));
    ASSERT_NE(ro.f, nullptr);
    EXPECT_EQ(os_file_write(ro, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(fcntl(os_file_fd(ro), F_GETFL) & O_NONBLOCK, 0);

    // Create alone: a read-only handle on a new file.
    std::string fresh = d / "fresh";
    file_guard c(os_file_open(fresh.c_str(), OS_FILE_CREATE));
    ASSERT_NE(c.f, nullptr);
    EXPECT_EQ(os_file_write(c, "x", 1), -1);
    EXPECT_EQ(access(fresh.c_str(), F_OK), 0);

    file_guard ap(os_file_open(path.c_str(), OS_FILE_WRITE | OS_FILE_APPEND));
    ASSERT_NE(ap.f, nullptr);
    EXPECT_EQ(os_file_write(ap, "45", 2), 2);
    EXPECT_EQ(get(path), "012345");
    file_guard tr(os_file_open(path.c_str(), OS_FILE_WRITE | OS_FILE_TRUNC));
    ASSERT_NE(tr.f, nullptr);
    EXPECT_EQ(get(path), "");

    // Parent directories are made only when they are missing.
    errno = 0;
    EXPECT_EQ(os_file_open((path + "/x/y").c_str(), OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_EQ(os_file_open(d.path.c_str(), OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
    EXPECT_EQ(errno, EISDIR);
    errno = 0;
    EXPECT_EQ(os_file_open((d / "no/such").c_str(), OS_FILE_READ), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(access((d / "no").c_str(), F_OK), 0);
}

TEST(OsFile, Open2DispositionsAndOpen3Flags)
{
    tmp_dir d;
    const u32 rw = OS_FILE_ACCESS_READ | OS_FILE_ACCESS_WRITE;
    std::string path = d / "n/new";
    file_guard n(os_file_open2(path.c_str(), rw, 0, nullptr, OS_FILE_CREATE_NEW, 0));
    ASSERT_NE(n.f, nullptr);
    EXPECT_EQ(os_file_write(n, "abc", 3), 3);
    errno = 0;
    EXPECT_EQ(os_file_open2(path.c_str(), rw, 0, nullptr, OS_FILE_CREATE_NEW, 0), nullptr);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_EQ(os_file_open2(d.path.c_str(), rw, 0, nullptr, OS_FILE_CREATE_NEW, 0), nullptr);
    EXPECT_EQ(errno, EEXIST);

    {
        file_guard e(os_file_open2(path.c_str(), OS_FILE_ACCESS_READ, 0, nullptr, OS_FILE_OPEN_EXISTING, 0));
        ASSERT_NE(e.f, nullptr);
        char buf[4] = {};
        EXPECT_EQ(os_file_read(e, buf, 3), 3);
        EXPECT_STREQ(buf, "abc");
    }
    EXPECT_EQ(os_file_open2((d / "none").c_str(), rw, 0, nullptr, OS_FILE_OPEN_EXISTING, 0), nullptr);
    EXPECT_EQ(os_file_open2((d / "none").c_str(), rw, 0, nullptr, OS_FILE_TRUNCATE_EXISTING, 0), nullptr);
    {
        file_guard t(os_file_open2(path.c_str(), rw, 0, nullptr, OS_FILE_TRUNCATE_EXISTING, 0));
        ASSERT_NE(t.f, nullptr);
        EXPECT_EQ(os_file_size(t), 0);
    }
    {
        file_guard a(os_file_open2((d / "always").c_str(), OS_FILE_ACCESS_WRITE, 0, nullptr,
                                   OS_FILE_CREATE_ALWAYS, 0));
        ASSERT_NE(a.f, nullptr);
    }

    std::string p3 = d / "three";
    mode_t old = umask(0);
    file_guard o(os_file_open3(p3.c_str(), OS_O_RDWR | OS_O_CREAT | OS_O_EXCL, 0600));
    umask(old);
    ASSERT_NE(o.f, nullptr);
    struct stat st;
    ASSERT_EQ(stat(p3.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(fcntl(os_file_fd(o), F_GETFD) & FD_CLOEXEC, 0);
    errno = 0;
    EXPECT_EQ(os_file_open3(p3.c_str(), OS_O_RDWR | OS_O_CREAT | OS_O_EXCL, 0600), nullptr);
    EXPECT_EQ(errno, EEXIST);
}

TEST(OsFile, DevicesByName)
{
    EXPECT_EQ(os_file_ops_find("/dev/null"), &os_file_ops_null);
    EXPECT_EQ(os_file_ops_find("\\dev\\zero"), &os_file_ops_zero);
    EXPECT_EQ(os_file_ops_find("/dev/random"), &os_file_ops_random);
    EXPECT_EQ(os_file_ops_find("/dev/stdin"), &os_file_ops_stdin);
    EXPECT_EQ(os_file_ops_find("/dev/stdout"), &os_file_ops_stdout);
    EXPECT_EQ(os_file_ops_find("/dev/file"), &os_file_ops_local);
    EXPECT_EQ(os_file_ops_find("/dev/Null"), &os_file_ops_local);
    EXPECT_EQ(os_file_ops_find("/dev/sda"), &os_file_ops_local);
    EXPECT_EQ(os_file_ops_find("/dev/nullx"), &os_file_ops_local);
    EXPECT_EQ(os_file_ops_find("dev/null"), &os_file_ops_local);

    // Backslashes and a file:// prefix reach the same device.
    file_guard n(os_file_open("file://\\dev\\null", OS_FILE_RDWR));
    ASSERT_NE(n.f, nullptr);
    EXPECT_EQ(n->ops, &os_file_ops_null);
    EXPECT_EQ(n->handle, 1u);
    EXPECT_EQ(os_file_write(n, "abc", 3), 3);
    EXPECT_EQ(os_file_pwrit(n, "abc", 3, 100), 3);
    EXPECT_EQ(os_file_fsync(n), 1);
    EXPECT_EQ(os_file_ftruncate(n, 0), 1);
    {
        log_capture cap;
        char c;
        EXPECT_EQ(os_file_read(n, &c, 1), -1);
        EXPECT_TRUE(cap.has("expr[ctx->ops->read]: assert failed")) << cap.get();
        EXPECT_EQ(os_file_readv(n, nullptr, 0), -1);
        EXPECT_TRUE(cap.has("expr[ctx->ops->readv]: assert failed"));
        EXPECT_EQ(os_file_write(n, nullptr, 1), -1);
        EXPECT_TRUE(cap.has("expr[file && data]: assert failed"));
    }

    file_guard z(os_file_open("/dev/zero", OS_FILE_READ));
    ASSERT_NE(z.f, nullptr);
    char buf[64];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(os_file_read(z, buf, sizeof buf), 64);
    EXPECT_EQ(std::string(buf, 64), std::string(64, '\0'));
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(os_file_pread(z, buf, 8, 1000), 8);
    EXPECT_EQ(buf[7], 0);
    EXPECT_EQ(os_file_read(z, buf, 0), 0);
    EXPECT_EQ(os_file_seek(z, 100, SEEK_SET), 0);
    EXPECT_EQ(os_file_offset(z), 0);
    EXPECT_EQ(os_file_size(z), 0);
    {
        log_capture cap;
        EXPECT_EQ(os_file_write(z, "a", 1), -1);
        EXPECT_EQ(os_file_fsync(z), 0);
        EXPECT_TRUE(cap.has("expr[ctx->ops->sync]: assert failed"));
    }

    // Two reads of the random device: random bytes, not a fixed pattern.
    file_guard r(os_file_open("/dev/random", OS_FILE_READ));
    ASSERT_NE(r.f, nullptr);
    char r1[64], r2[64];
    EXPECT_EQ(os_file_read(r, r1, sizeof r1), 64);
    EXPECT_EQ(os_file_pread(r, r2, sizeof r2, 0), 64);
    EXPECT_NE(memcmp(r1, r2, 64), 0);
    EXPECT_NE(std::string(r1, 64), std::string(64, '\0'));
    EXPECT_EQ(os_file_seek(r, 5, SEEK_CUR), 0);

    // Names that are no device open the real path.
    errno = 0;
    EXPECT_EQ(os_file_open("/dev/Null", OS_FILE_READ), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(os_file_open("/dev/file", OS_FILE_READ), nullptr);
}

TEST(OsFile, StdinAndStdoutDevicesUseTheStandardDescriptors)
{
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(write(in[1], "input", 5), 5);
    close(in[1]);
    {
        redirect_fd r0(0, in[0]);
        os_file *s = os_file_open("/dev/stdin", OS_FILE_READ);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->handle, 1u);
        EXPECT_EQ(os_file_fd(s), 0);
        char buf[8] = {};
        EXPECT_EQ(os_file_read(s, buf, sizeof buf), 5);
        EXPECT_STREQ(buf, "input");
        EXPECT_EQ(os_file_write(s, "x", 1), -1);
        EXPECT_EQ(os_file_close(s), 1);
        EXPECT_NE(fcntl(0, F_GETFD), -1);  // descriptor 0 stays open
    }
    {
        fflush(stdout);
        redirect_fd r1(1, out[1]);
        os_file *s = os_file_open("/dev/stdout", OS_FILE_WRITE);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->handle, 2u);
        EXPECT_EQ(os_file_write(s, "output", 6), 6);
        EXPECT_EQ(os_file_fsync(s), 0);  // a pipe cannot be synced
        EXPECT_EQ(os_file_close(s), 1);
        EXPECT_NE(fcntl(1, F_GETFD), -1);
    }
    close(out[1]);
    char buf[16] = {};
    EXPECT_EQ(read(out[0], buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "output");
    close(in[0]);
    close(out[0]);
}

TEST(OsFile, InfoStatAndTimes)
{
    tmp_dir d;
    // Named like a disk, but a regular file: no model is looked up.
    std::string path = d / "sda";
    put(path, std::string(10000, 'z'));
    file_guard f(os_file_open(path.c_str(), OS_FILE_RDWR));
    ASSERT_NE(f.f, nullptr);
    ASSERT_EQ(os_file_seek(f, 123, SEEK_SET), 123);
    os_file_info info;
    memset(&info, 0x55, sizeof info);
    EXPECT_EQ(os_file_ioctl(f, OS_FILE_IOCTL_INFO, &info, sizeof info), 1);
    EXPECT_EQ(info.kind, (u32)OS_FILE_INFO_FILE);
    EXPECT_EQ(info.size, 10000u);
    EXPECT_EQ(info.offset, 123u);
    EXPECT_EQ(info.block_size, 512u);
    EXPECT_STREQ(info.model, "");
    EXPECT_EQ(os_file_offset(f), 123);

    EXPECT_EQ(os_file_info_by_path(d.path.c_str(), &info), 1);
    EXPECT_EQ(info.kind, (u32)OS_FILE_INFO_DIR);
    EXPECT_EQ(os_file_info_by_path((d / "none").c_str(), &info), 0);
    EXPECT_EQ(os_file_info_by_path("/dev/zero", &info), 1);
    EXPECT_EQ(info.kind, (u32)OS_FILE_INFO_VDEV);
    EXPECT_EQ(info.block_size, 512u);
    EXPECT_STREQ(info.model, "");
    // A character device opened as a local file: asked, no model found,
    // and its endless data gives no size.
    if (access("/dev/urandom", R_OK) == 0) {
        memset(&info, 0x55, sizeof info);
        EXPECT_EQ(os_file_info_by_path("/dev/urandom", &info), 1);
        EXPECT_EQ(info.kind, (u32)OS_FILE_INFO_FILE);
        EXPECT_EQ(info.size, 0u);
        EXPECT_STREQ(info.model, "");
    }
    EXPECT_EQ(os_file_ioctl(nullptr, OS_FILE_IOCTL_INFO, &info, sizeof info), 0);

    os_file_stat_rec rec;
    EXPECT_EQ(os_file_stat(f, &rec), 1);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(rec.kind, (u32)OS_FILE_KIND_FILE);
    EXPECT_EQ(rec.size, 10000u);
    EXPECT_EQ(rec.ino, (u64)st.st_ino);
    EXPECT_EQ(rec.mode, (u32)st.st_mode);

    // A modification time of 0 seconds leaves that time alone.
    os_file_times t = {{1500000, 0}, {2500000, 9000}, {0, 0}};
    EXPECT_EQ(os_file_set_times(f, &t), 1);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1500000);
    EXPECT_EQ(st.st_mtim.tv_sec, 2500000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 9000);
    t = {{1600000, 0}, {0, 0}, {0, 0}};
    EXPECT_EQ(os_file_set_times(f, &t), 1);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1600000);
    EXPECT_EQ(st.st_mtim.tv_sec, 2500000);

    EXPECT_EQ(os_file_chmod(f, 0604), 1);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    EXPECT_EQ(os_file_chown(f, getuid(), getgid()), 1);
}

TEST(OsFile, IoctlCodesAndClamps)
{
    tmp_dir d;
    std::string path = d / "f";
    put(path, "x");
    file_guard f(os_file_open(path.c_str(), OS_FILE_RDWR));
    ASSERT_NE(f.f, nullptr);
    u64 cls = 99;
    const int errs[][2] = {{0, 0}, {EIO, 1}, {ENXIO, 2}, {EBADF, 3}, {ENOENT, 3}};
    for (auto &e : errs) {
        errno = e[0];
        EXPECT_EQ(os_file_ioctl(f, OS_FILE_IOCTL_ERROR, &cls, sizeof cls), 1);
        EXPECT_EQ(cls, (u64)e[1]) << e[0];
    }
    for (u32 code : {7u, 8u, 11u, 200u}) {
        errno = 0;
        u64 rec[2] = {};
        EXPECT_EQ(os_file_ioctl(f, code, rec, sizeof rec), 0) << code;
        EXPECT_EQ(errno, EPERM) << code;
    }
    EXPECT_EQ(os_file_ioctl7(f, 1, 2), 0);
    EXPECT_EQ(os_file_ioctl8(f, nullptr), 0);
    // A record too small for its code is refused.
    char small[4];
    errno = 0;
    EXPECT_EQ(os_file_ioctl(f, OS_FILE_IOCTL_INFO, small, sizeof small), 0);
    EXPECT_EQ(errno, EINVAL);

    {
        log_capture cap;
        EXPECT_EQ(os_file_read_timeout(f, 500), 1);
        EXPECT_TRUE(cap.has("timeout=0s fix=1s error: too short\n")) << cap.get();
        EXPECT_EQ(os_file_write_timeout(f, 900000), 1);
        EXPECT_TRUE(cap.has("timeout=900s fix=600s error: too long\n")) << cap.get();
    }
    {
        log_capture cap;
        EXPECT_EQ(os_file_read_write_timeout(f, 1, 1000), 1);
        EXPECT_EQ(os_file_read_timeout(f, 600000), 1);
        EXPECT_EQ(cap.get(), "");
    }

    // The devices answer information and the error class only.
    file_guard z(os_file_open("/dev/zero", OS_FILE_READ));
    ASSERT_NE(z.f, nullptr);
    errno = EIO;
    EXPECT_EQ(os_file_ioctl(z, OS_FILE_IOCTL_ERROR, &cls, sizeof cls), 1);
    EXPECT_EQ(cls, 0u);
    EXPECT_EQ(os_file_read_timeout(z, 5000), 0);
    os_file_stat_rec rec;
    EXPECT_EQ(os_file_stat(z, &rec), 0);
}

TEST(OsFile, RangeLocksThroughTheLayer)
{
    tmp_dir d;
    std::string path = d / "lock";
    put(path, std::string(100, 'l'));
    file_guard f(os_file_open(path.c_str(), OS_FILE_RDWR));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(os_file_range_lock(f, OS_LOCK_WRITE, 0, 10), 0);
    auto child = [&](int type, u64 off) {
        return testutil::in_child([&] {
            os_file *c = os_file_open(path.c_str(), OS_FILE_RDWR);
            return c && os_file_range_lock(c, type, off, 10) == 0 ? 0 : 1;
        });
    };
    // Type 17: a shared lock that fails at once.
    EXPECT_EQ(child(17, 5), 1);
    EXPECT_EQ(child(17, 20), 0);
    EXPECT_EQ(os_file_range_lock(f, OS_LOCK_UNLOCK, 0, 10), 0);
    EXPECT_EQ(child(OS_LOCK_WRITE | OS_LOCK_NOWAIT, 5), 0);
}

TEST(OsFile, SizeOfFilesWithoutAStatusSize)
{
    tmp_dir d;
    // The probe counts in 4096-byte units and rounds up.
    const std::pair<size_t, i64> cases[] = {{0, 0}, {100, 4096}, {4096, 4096}, {8192, 8192},
                                            {10000, 12288}, {70000, 73728}};
    for (auto &c : cases) {
        std::string p = d / ("p" + std::to_string(c.first));
        put(p, std::string(c.first, 'p'));
        int fd = open(p.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(os_local_file_probe_size(fd), c.second) << c.first;
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
        close(fd);
    }
    // A /proc file reports size 0 but has text.
    file_guard s(os_file_open("/proc/self/status", OS_FILE_READ));
    ASSERT_NE(s.f, nullptr);
    i64 size = os_file_size(s);
    EXPECT_GT(size, 0);
    EXPECT_EQ(size % 4096, 0);
    // An endless device is not probed for ever.
    int fd = open("/dev/zero", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os_local_file_probe_size(fd), 0);
    close(fd);
    // A pipe has no size.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(os_local_file_size((u64)p[0] + 1), 0);
    close(p[0]);
    close(p[1]);
}

// A backend registered at run time sees every prepared path first.
char g_seen[4096];
const os_file_ops *match_mem(const char *path)
{
    snprintf(g_seen, sizeof g_seen, "%s", path);
    return strncmp(path, "/vkmem/", 7) == 0 ? &os_file_ops_zero : nullptr;
}
const os_file_ops *match_none(const char *)
{
    return nullptr;
}

TEST(OsFile, RegisteredBackendsComeFirstAndAreBounded)
{
    static const os_file_backend mem = {"mem", match_mem};
    static const os_file_backend none = {"none", match_none};
    ASSERT_EQ(os_file_ops_register(&mem), 0);
    EXPECT_EQ(os_file_ops_register(&none), 0);
    EXPECT_EQ(os_file_ops_register(&none), 0);
    EXPECT_EQ(os_file_ops_register(&none), 0);
    EXPECT_EQ(os_file_ops_register(&none), -1);
    EXPECT_EQ(os_file_ops_find("/vkmem/x"), &os_file_ops_zero);
    EXPECT_EQ(os_file_ops_find("/dev/null"), &os_file_ops_null);
    file_guard f(os_file_open("file:///vkmem/y", OS_FILE_READ));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(f->ops, &os_file_ops_zero);
    EXPECT_STREQ(f->path, "file:///vkmem/y");
    EXPECT_STREQ(g_seen, "/vkmem/y");
    // The other platform's name of physical memory.
    EXPECT_EQ(os_file_open("\\\\.\\PhysicalMemory", OS_FILE_READ), nullptr);
    EXPECT_STREQ(g_seen, "/dev/pmem");
    EXPECT_EQ(os_file_open("  c:\\dir\\\\x ", OS_FILE_READ), nullptr);
    EXPECT_STREQ(g_seen, "c:/dir/x");
}

TEST(OsFile, BadArgumentsAreRefused)
{
    log_capture cap;
    EXPECT_EQ(os_file_open(nullptr, OS_FILE_READ), nullptr);
    EXPECT_EQ(os_file_read(nullptr, nullptr, 0), -1);
    EXPECT_EQ(os_file_close(nullptr), 0);
    EXPECT_EQ(os_file_fd(nullptr), -1);
    std::string longp(5000, 'a');
    errno = 0;
    EXPECT_EQ(os_file_open(longp.c_str(), OS_FILE_READ), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(os_local_file_read(0, nullptr, 1), -1);
    EXPECT_TRUE(cap.has("expr[file && data]: assert failed"));
    EXPECT_EQ(os_local_file_preadv(5, nullptr, 1, 0), -1);
    EXPECT_TRUE(cap.has("expr[file && list && size]: assert failed"));
    EXPECT_EQ(os_local_file_exit(0), 0);
    EXPECT_EQ(os_comm_file_seek(0, 0, SEEK_SET), -1);
    EXPECT_TRUE(cap.has("expr[file]: assert failed"));
    EXPECT_EQ(os_random_file_read(1, nullptr, 1), -1);
    EXPECT_TRUE(cap.has("expr[file && buf]: assert failed"));
}

}  // namespace
