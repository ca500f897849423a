#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_file3"
#include "libpal/os/os_file3.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_path.h"

namespace {

constexpr size_t kChunk = 4096;

// Closes a descriptor on every way out, keeping errno.
struct fd_guard {
    int fd;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard()
    {
        if (fd < 0) return;
        int e = errno;
        close(fd);
        errno = e;
    }
    // Closes now; false when the close reported an error.
    bool close_now()
    {
        int f = fd;
        fd = -1;
        return close(f) == 0;
    }
};

bool write_all(int fd, const void *data, size_t n)
{
    const char *p = (const char *)data;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Reads the whole descriptor into a counted buffer with room for one more
// byte after the data. A regular file's size sizes the buffer at once.
char *read_all(int fd, size_t *len)
{
    struct stat st;
    size_t cap = kChunk;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        (u64)st.st_size < (u64)UINT32_MAX - OS_MALLOC_HDR - 1)
        cap = (size_t)st.st_size + 1;
    char *buf = (char *)os_malloc(cap);
    if (!buf) return nullptr;
    size_t n = 0;
    for (;;) {
        if (n == cap) {
            size_t ncap = cap * 2;
            char *nb = ncap > cap ? (char *)os_realloc(buf, ncap) : nullptr;
            if (!nb) {
                os_free(buf);
                errno = ENOMEM;
                return nullptr;
            }
            buf = nb;
            cap = ncap;
        }
        ssize_t r = read(fd, buf + n, cap - n);
        if (r > 0) {
            n += (size_t)r;
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            int e = errno;
            os_free(buf);
            errno = e;
            return nullptr;
        }
    }
    if (n == cap) {
        // Keep room for a closing NUL.
        char *nb = (char *)os_realloc(buf, cap + 1);
        if (!nb) {
            os_free(buf);
            errno = ENOMEM;
            return nullptr;
        }
        buf = nb;
    }
    *len = n;
    return buf;
}

// Opens a normalised path for writing from its start (0644, parents made).
int open_for_save(const char *p)
{
    return os_open_mkparent(p, O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

// The whole data written in place; 0 only when every byte and the close
// went through, and something was written.
int save_bytes(const char *path, const void *data, size_t size)
{
    char buf[PATH_BUF_SIZE];
    const char *p = os_path_norm(path, buf);
    if (!p || (!data && size)) return -1;
    fd_guard fd(open_for_save(p));
    if (fd.fd < 0) return -1;
    bool ok = write_all(fd.fd, data, size);
    if (!fd.close_now()) ok = false;
    return ok && size > 0 ? 0 : -1;
}

// Finishes a stream written with the writer: flush, optional sync, close.
bool finish_stream(FILE *f, int wr, bool sync)
{
    bool ok = wr >= 0 && fflush(f) == 0 && !ferror(f);
    if (ok && sync && fsync(fileno(f)) != 0) ok = false;
    int e = errno;
    if (fclose(f) != 0) return false;
    errno = e;
    return ok;
}

int save_stream_in_place(const char *p, os_file_writer writer, void *arg)
{
    int fd = open_for_save(p);
    if (fd < 0) return -1;
    FILE *f = fdopen(fd, "w");
    if (!f) {
        fd_guard g(fd);
        return -1;
    }
    return finish_stream(f, writer(f, arg), false) ? 0 : -1;
}

// Kernel and control file systems whose entries are written in place.
bool on_pseudo_fs(const char *p)
{
    struct statfs fs;
    if (statfs(p, &fs) != 0) return false;
    switch ((unsigned long)fs.f_type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
        return true;
    default:
        return false;
    }
}

void sync_parent_dir(const char *p)
{
    char dir[PATH_BUF_SIZE];
    memcpy(dir, p, strlen(p) + 1);
    char *cut = strrchr(dir, '/');
    if (!cut) {
        dir[0] = '.';
        dir[1] = 0;
    } else {
        cut[cut == dir ? 1 : 0] = 0;
    }
    fd_guard fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd >= 0) fsync(fd.fd);
}

struct bytes_arg {
    const void *data;
    size_t size;
};

int write_bytes(FILE *f, void *arg)
{
    const bytes_arg *b = (const bytes_arg *)arg;
    return b->size == 0 || fwrite(b->data, b->size, 1, f) == 1 ? 0 : -1;
}

}  // namespace

char *os_file_load(const char *path, size_t *size, int add_nul)
{
    char buf[PATH_BUF_SIZE];
    const char *p = os_path_norm(path, buf);
    if (!p) return nullptr;
    fd_guard fd(open(p, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return nullptr;
    size_t n = 0;
    char *data = read_all(fd.fd, &n);
    if (!data) return nullptr;
    if (add_nul) data[n++] = 0;  // counted in the size
    if (size) *size = n;
    return data;
}

char *os_file_load_bin(const char *path, size_t *size)
{
    return os_file_load(path, size, 0);
}

char *os_file_load_text(const char *path)
{
    return os_file_load(path, nullptr, 1);
}

char *os_cat(const char *path)
{
    size_t n = 0;
    char *data = os_file_load(path, &n, 0);
    if (!data) return nullptr;
    // Each block keeps its bytes up to its first NUL.
    size_t out = 0;
    for (size_t at = 0; at < n; at += kChunk) {
        size_t len = n - at < kChunk ? n - at : kChunk;
        const char *nul = (const char *)memchr(data + at, 0, len);
        if (nul) len = (size_t)(nul - (data + at));
        memmove(data + out, data + at, len);
        out += len;
    }
    data[out] = 0;
    return data;
}

int os_file_save_text(const char *path, const char *text)
{
    if (!text) {
        errno = EINVAL;
        return -1;
    }
    return save_bytes(path, text, strlen(text));
}

int os_file_save(const char *path, const void *data, size_t size)
{
    return save_bytes(path, data, size);
}

int os_file_save_atomic_fn(const char *path, os_file_writer writer, void *arg)
{
    char nbuf[PATH_BUF_SIZE], real[PATH_BUF_SIZE];
    const char *dst = os_path_norm(path, nbuf);
    if (!dst) return -1;
    if (!writer) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    bool exists = lstat(dst, &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        // The link stays; the file it names is replaced.
        if (!realpath(dst, real)) return save_stream_in_place(dst, writer, arg);
        dst = real;
        exists = stat(dst, &st) == 0;
    }
    if (exists && (!S_ISREG(st.st_mode) || on_pseudo_fs(dst)))
        return save_stream_in_place(dst, writer, arg);

    char tmp[PATH_BUF_SIZE];
    static constexpr char kSuffix[] = ".XXXXXX";
    size_t len = strlen(dst);
    if (len + sizeof kSuffix > sizeof tmp) {
        errno = ENAMETOOLONG;
        return -1;
    }
    auto make_tmp = [&] {
        memcpy(tmp, dst, len);
        memcpy(tmp + len, kSuffix, sizeof kSuffix);
        return mkostemp(tmp, O_CLOEXEC);
    };
    int fd = make_tmp();
    if (fd < 0 && errno == ENOENT && os_mkdir_parent(dst) == 0) fd = make_tmp();
    if (fd < 0) {
        // A directory the process may not add to: the file itself may
        // still be writable.
        if (errno == EACCES || errno == EPERM) return save_stream_in_place(dst, writer, arg);
        return -1;
    }
    fchmod(fd, exists ? (st.st_mode & 07777) : 0644);
    if (exists && (st.st_uid != geteuid() || st.st_gid != getegid()) &&
        fchown(fd, st.st_uid, st.st_gid) != 0)
        LOG_AT(7 | LOG_OPT_ERRNO, "fchown [%s] error: ", tmp);
    FILE *f = fdopen(fd, "w");
    bool ok = f && finish_stream(f, writer(f, arg), true) && rename(tmp, dst) == 0;
    if (!f) {
        fd_guard g(fd);
    }
    if (!ok) {
        int e = errno;
        unlink(tmp);
        errno = e;
        return -1;
    }
    sync_parent_dir(dst);
    return 0;
}

int os_file_save_atomic(const char *path, const void *data, size_t size)
{
    if (!data && size) {
        errno = EINVAL;
        return -1;
    }
    bytes_arg a = {data, size};
    return os_file_save_atomic_fn(path, write_bytes, &a);
}

int os_file_copy(const char *src, const char *dst)
{
    char sbuf[PATH_BUF_SIZE], dbuf[PATH_BUF_SIZE];
    const char *s = os_path_norm(src, sbuf);
    const char *d = os_path_norm(dst, dbuf);
    if (!s || !d) return -1;
    fd_guard in(open(s, O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) return -1;
    struct stat ss, ds;
    // Truncating the destination would destroy a source that is the same
    // file.
    if (fstat(in.fd, &ss) == 0 && stat(d, &ds) == 0 && ss.st_dev == ds.st_dev &&
        ss.st_ino == ds.st_ino) {
        errno = EINVAL;
        return -1;
    }
    fd_guard out(open_for_save(d));
    if (out.fd < 0) return -1;
    char buf[4 * kChunk];
    bool ok = true;
    for (;;) {
        ssize_t r = read(in.fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        if (!write_all(out.fd, buf, (size_t)r)) {
            ok = false;
            break;
        }
    }
    if (!out.close_now()) ok = false;
    return ok ? 0 : -1;
}

int os_path_is_file(const char *path)
{
    char buf[PATH_BUF_SIZE];
    const char *p = os_path_norm(path, buf);
    struct stat st;
    if (!p || stat(p, &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 0 : 1;
}

int os_file_touch(const char *path)
{
    char buf[PATH_BUF_SIZE];
    const char *p = os_path_norm(path, buf);
    if (!p) return -1;
    switch (os_path_is_file(p)) {
    case 1:
        return 0;
    case 0:
        errno = EACCES;
        return -1;
    default:
        break;
    }
    fd_guard fd(os_open_mkparent(p, O_WRONLY | O_CREAT, 0644));
    return fd.fd < 0 ? -1 : 0;
}

int os_file_save_space_check(const char *path, u64 size)
{
    char buf[PATH_BUF_SIZE];
    const char *p = os_path_norm(path, buf);
    if (!p) return -1;
    fd_guard fd(open(p, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd.fd < 0) return -1;
    struct stat st;
    if (fstat(fd.fd, &st) != 0) return -1;
    if ((u64)st.st_size < size) {
        if (size > (u64)INT64_MAX || ftruncate(fd.fd, (off_t)size) != 0) return -1;
        if (ftruncate(fd.fd, st.st_size) != 0) LOG_AT(3 | LOG_OPT_ERRNO, "ftruncate error:");
    }
    return 0;
}

int os_file_skip_bom(FILE *f)
{
    if (!f) return -1;
    unsigned char b[3] = {0, 0, 0};
    size_t n = fread(b, 1, 3, f);
    bool bom = n == 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    return fseek(f, bom ? 3 : 0, SEEK_SET);
}

int os_file_write_bom(FILE *f)
{
    static const unsigned char bom[3] = {0xEF, 0xBB, 0xBF};
    return f ? (int)fwrite(bom, 3, 1, f) : 0;
}
