#include "libpal/os/fd_move.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "libpal/env/malloc.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

// Repeats a transfer until n bytes are through: io(done) moves what is left
// from byte done on and gives its count. False on an error or when nothing
// more moves (end of file).
template <class Io>
bool whole(size_t n, Io io)
{
    for (size_t done = 0; done < n;) {
        ssize_t r = io(done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += (size_t)r;
    }
    return true;
}

bool pwrite_all(int fd, const char *buf, size_t n, i64 at)
{
    return whole(n, [&](size_t d) { return pwrite(fd, buf + d, n - d, (off_t)(at + (i64)d)); });
}

// A copy buffer: kChunk bytes of the heap, or a small one of its own when
// none can be had.
struct chunk_buf {
    char small[4096];
    char *p;
    size_t n;
    chunk_buf() : p((char *)os_malloc(kChunk)), n(p ? kChunk : sizeof small)
    {
        if (!p) p = small;
    }
    ~chunk_buf()
    {
        if (p != small) os_free(p);
    }
    chunk_buf(const chunk_buf &) = delete;
    chunk_buf &operator=(const chunk_buf &) = delete;
};

// Copies the bytes [from, end) of in through b: put(data, n, offset of the
// data in the copy) writes them. False when a read or a put fails.
template <class Put>
bool copy_range(int in, i64 from, i64 end, chunk_buf &b, i64 done, Put put)
{
    for (i64 r = from; r < end;) {
        size_t n = (size_t)(end - r < (i64)b.n ? end - r : (i64)b.n);
        if (!fd_pread_all(in, b.p, n, r) || !put(b.p, n, done)) return false;
        r += (i64)n;
        done += (i64)n;
    }
    return true;
}

std::atomic<void (*)(int)> g_keep_hook{nullptr};

void keep_step(int step)
{
    static const int kill_at = [] {
        const char *v = getenv("VK_TEST_HALVE_KILL");
        return v ? atoi(v) : 0;
    }();
    if (void (*hook)(int) = g_keep_hook.load(std::memory_order_relaxed)) hook(step);
    if (kill_at == step) kill(getpid(), SIGKILL);
}

// Flushes the directory of path to the disk, so that a rename in it
// outlives a power cut.
void sync_dir(const char *path)
{
    char dir[PATH_MAX];
    const char *slash = strrchr(path, '/');
    size_t n = slash ? (size_t)(slash - path) : 0;
    if (n >= sizeof dir) return;
    if (slash && n == 0) n = 1;  // in "/"
    memcpy(dir, slash ? path : ".", slash ? n : 1);
    dir[slash ? n : 1] = 0;
    int d = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return;
    fsync(d);
    close(d);
}

// fd_keep_part by a new file renamed over the name. False, with the name
// left to the old file, when a step before the rename fails.
bool keep_by_rename(int fd, const char *name, i64 head, i64 from, i64 end)
{
    struct stat have, named;
    char real[PATH_MAX], tmp[PATH_MAX + sizeof FD_KEEP_TMP_SUFFIX];
    if (!name || fstat(fd, &have) != 0 || !S_ISREG(have.st_mode) || !realpath(name, real) ||
        stat(real, &named) != 0 || named.st_dev != have.st_dev || named.st_ino != have.st_ino)
        return false;
    snprintf(tmp, sizeof tmp, "%s%s", real, FD_KEEP_TMP_SUFFIX);
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0) return false;
    // Never through a link left in its place: the leftover goes first.
    unlink(tmp);
    int t = open(tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | (fl & O_APPEND), 0644);
    if (t < 0) return false;
    chunk_buf b;
    auto put = [t](const char *p, size_t n, i64) { return fd_write_all(t, p, n); };
    bool ok = fchmod(t, have.st_mode & 07777) == 0 && copy_range(fd, 0, head, b, 0, put) &&
              copy_range(fd, from, end, b, head, put);
    if (ok) keep_step(FD_KEEP_WRITTEN);
    ok = ok && fsync(t) == 0;
    if (ok) keep_step(FD_KEEP_SYNCED);
    if (!ok || rename(tmp, real) != 0) {
        int e = errno;
        close(t);
        unlink(tmp);
        errno = e;
        return false;
    }
    keep_step(FD_KEEP_RENAMED);
    sync_dir(real);
    // The new file takes the old one's place at fd; should that fail, the
    // name leads to the new file and a writer that follows the name finds
    // it there.
    if (dup3(t, fd, O_CLOEXEC) >= 0) lseek(fd, 0, SEEK_END);
    close(t);
    keep_step(FD_KEEP_DONE);
    return true;
}

}  // namespace

bool fd_pread_all(int fd, void *buf, size_t n, i64 at)
{
    char *p = (char *)buf;
    return whole(n, [&](size_t d) { return pread(fd, p + d, n - d, (off_t)(at + (i64)d)); });
}

bool fd_write_all(int fd, const void *buf, size_t n)
{
    const char *p = (const char *)buf;
    return whole(n, [&](size_t d) { return write(fd, p + d, n - d); });
}

bool fd_append_whole(int fd, const struct iovec *v, int cnt)
{
    constexpr int kMax = FD_APPEND_MAX;
    if (fd < 0 || cnt < 0 || cnt > kMax) {
        errno = EINVAL;
        return false;
    }
    // The common case first: one piece that goes out in one call.
    bool made = cnt == 1;  // r holds the result of a call made here
    ssize_t r = made ? write(fd, v->iov_base, v->iov_len) : 0;
    if (made && r == (ssize_t)v->iov_len) return true;
    struct iovec rest[kMax];
    int n = 0;
    size_t total = 0;
    for (int i = 0; i < cnt; ++i)
        if (v[i].iov_len) {
            rest[n++] = v[i];
            total += v[i].iov_len;
        }
    size_t done = 0;
    for (int i = 0; i < n;) {
        if (!made) r = n - i == 1 ? write(fd, rest[i].iov_base, rest[i].iov_len) : writev(fd, rest + i, n - i);
        made = false;
        if (r >= 0 && done + (size_t)r == total) return true;
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            int e = r < 0 ? errno : ENOSPC;
            if (done) {
                // What went out lies at the end of the file: cut it off
                // and go on writing from there.
                off_t end = lseek(fd, 0, SEEK_END);
                if (end >= (off_t)done && ftruncate(fd, end - (off_t)done) == 0)
                    lseek(fd, end - (off_t)done, SEEK_SET);
            }
            errno = e;
            return false;
        }
        done += (size_t)r;
        for (size_t k = (size_t)r; k;) {
            size_t step = k < rest[i].iov_len ? k : rest[i].iov_len;
            rest[i].iov_base = (char *)rest[i].iov_base + step;
            rest[i].iov_len -= step;
            k -= step;
            if (!rest[i].iov_len) ++i;
        }
    }
    return true;
}

int fd_move_down(int fd, i64 from, i64 end, i64 to)
{
    if (fd < 0 || to < 0 || to > from || from > end) return -1;
    chunk_buf b;
    // Positioned writes need a descriptor that does not append.
    int rc = -1;
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0 && fcntl(fd, F_SETFL, fl & ~O_APPEND) == 0) {
        auto put = [fd, to](const char *p, size_t n, i64 done) { return pwrite_all(fd, p, n, to + done); };
        if (copy_range(fd, from, end, b, 0, put) && ftruncate(fd, (off_t)(to + end - from)) == 0) rc = 0;
        fcntl(fd, F_SETFL, fl);
    }
    return rc;
}

int fd_keep_part(int fd, const char *name, i64 head, i64 from, i64 end)
{
    if (fd < 0 || head < 0 || head > from || from > end) return -1;
    if (keep_by_rename(fd, name, head, from, end)) return 1;
    return fd_move_down(fd, from, end, head) == 0 ? 0 : -1;
}

void fd_keep_hook_set(void (*hook)(int step))
{
    g_keep_hook.store(hook, std::memory_order_relaxed);
}
