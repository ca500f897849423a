#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_file2"
#include "libpal/os/posix/os_file2.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "liblog/log.h"

namespace {

constexpr i64 kProbe = 4096;
// Doubling stops here: a file that still answers is taken as endless.
constexpr i64 kProbeLimit = (i64)1 << 62;

int fd_of(u64 h)
{
    return (int)(h - 1);
}

int init_to_os(u32 f)
{
    int o = (f & OS_FILE_READ)    ? O_RDONLY
            : (f & OS_FILE_WRITE) ? O_WRONLY
            : (f & OS_FILE_RDWR)  ? O_RDWR
                                  : O_RDONLY;
    if (f & OS_FILE_CREATE) o |= O_CREAT;
    if (f & OS_FILE_APPEND) o |= O_APPEND;
    if (f & OS_FILE_TRUNC) o |= O_TRUNC;
    if (f & OS_FILE_DIRECT) o |= O_DIRECT;
    return o | O_LARGEFILE | O_NONBLOCK;
}

u64 open_local(const char *path, int oflags)
{
    OS_CHECK_TXT(path != nullptr, "path", 0);
    int fd = os_open_mkparent(path, oflags, (oflags & O_CREAT) ? 0644 : 0);
    return fd < 0 ? 0 : (u64)fd + 1;
}

// Whether a positioned read of 4096 bytes at off returns any byte.
bool probe_read(int fd, i64 off)
{
    char buf[kProbe];
    ssize_t r;
    do {
        r = pread(fd, buf, sizeof buf, (off_t)off);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

i64 block_dev_size(int fd)
{
    u64 bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) return (i64)bytes;
    int ssz = 0;
    unsigned long sectors = 0;
    if (ioctl(fd, BLKSSZGET, &ssz) != 0 || ioctl(fd, BLKGETSIZE, &sectors) != 0) return 0;
    return (i64)sectors * 512;
}

u64 error_class(int e)
{
    switch (e) {
    case 0:
        return OS_FILE_ERR_NONE;
    case EIO:
        return OS_FILE_ERR_IO;
    case ENXIO:
        return OS_FILE_ERR_NODEV;
    default:
        return OS_FILE_ERR_OTHER;
    }
}

int ioctl_info(u64 h, int fd, os_file_info *info)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "fstat error: ");
        return 0;
    }
    u32 block = os_local_file_probe_block(fd);
    info->block_size = block ? block : 512;
    info->kind = S_ISDIR(st.st_mode)   ? OS_FILE_INFO_DIR
                 : S_ISBLK(st.st_mode) ? OS_FILE_INFO_BLOCK
                                       : OS_FILE_INFO_FILE;
    i64 size = st.st_size ? (i64)st.st_size : os_local_file_size(h);
    info->size = (u64)size;
    info->offset = (u64)lseek(fd, 0, SEEK_CUR);
    if (size == -1) {
        LOG_AT(7, "info->size == -1 get failed\n");
        return 0;
    }
    return 1;
}

int ioctl_times(int fd, const os_file_times *t)
{
    struct timespec ts[2] = {{(time_t)t->atime.sec, (long)t->atime.nsec},
                             {(time_t)t->mtime.sec, (long)t->mtime.nsec}};
    // A time of 0 seconds leaves that time as it is.
    if (t->atime.sec == 0) ts[0].tv_nsec = UTIME_OMIT;
    if (t->mtime.sec == 0) ts[1].tv_nsec = UTIME_OMIT;
    if (futimens(fd, ts) == 0) return 1;
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    struct timeval tv[2] = {{st.st_atim.tv_sec, st.st_atim.tv_nsec / 1000},
                            {st.st_mtim.tv_sec, st.st_mtim.tv_nsec / 1000}};
    if (t->atime.sec) tv[0] = {(time_t)t->atime.sec, (suseconds_t)(t->atime.nsec / 1000)};
    if (t->mtime.sec) tv[1] = {(time_t)t->mtime.sec, (suseconds_t)(t->mtime.nsec / 1000)};
    return futimes(fd, tv) == 0 ? 1 : 0;
}

// False (errno EINVAL) when a record is missing or too small.
bool rec_ok(const void *rec, size_t size, size_t need)
{
    if (rec && size >= need) return true;
    errno = EINVAL;
    return false;
}

}  // namespace

u64 os_local_file_init(const char *path, u32 flags)
{
    return open_local(path, init_to_os(flags));
}

u64 os_local_file_open2(const char *path, u32 access, u32, u32 disposition, u32)
{
    int o = init_to_os(os_file_flag_from_access(access, disposition));
    // Create-new is one exclusive create: no other creator can slip in.
    if (disposition == OS_FILE_CREATE_NEW) o |= O_EXCL;
    return open_local(path, o);
}

u64 os_local_file_open3(const char *path, int flags, int mode)
{
    OS_CHECK_TXT(path != nullptr, "path", 0);
    int fd = open(path, flags | O_CLOEXEC, (mode_t)mode);
    return fd < 0 ? 0 : (u64)fd + 1;
}

int os_local_file_exit(u64 h)
{
    OS_CHECK_TXT(h != 0, "file", 0);
    return close(fd_of(h)) == 0 ? 1 : 0;
}

ssize_t os_local_file_read(u64 h, void *buf, size_t size)
{
    OS_CHECK_TXT(h != 0 && buf != nullptr, "file && data", -1);
    return read(fd_of(h), buf, size);
}

ssize_t os_local_file_writ(u64 h, const void *data, size_t size)
{
    OS_CHECK_TXT(h != 0 && data != nullptr, "file && data", -1);
    return write(fd_of(h), data, size);
}

ssize_t os_local_file_pread(u64 h, void *buf, size_t size, i64 offset)
{
    OS_CHECK_TXT(h != 0 && buf != nullptr, "file && data", -1);
    return pread(fd_of(h), buf, size, (off_t)offset);
}

ssize_t os_local_file_pwrit(u64 h, const void *data, size_t size, i64 offset)
{
    OS_CHECK_TXT(h != 0 && data != nullptr, "file && data", -1);
    return pwrite(fd_of(h), data, size, (off_t)offset);
}

ssize_t os_local_file_readv(u64 h, const struct iovec *list, int count)
{
    OS_CHECK_TXT(h != 0 && list != nullptr && count != 0, "file && list && size", -1);
    return readv(fd_of(h), list, count);
}

ssize_t os_local_file_writv(u64 h, const struct iovec *list, int count)
{
    OS_CHECK_TXT(h != 0 && list != nullptr && count != 0, "file && list && size", -1);
    return writev(fd_of(h), list, count);
}

ssize_t os_local_file_preadv(u64 h, const struct iovec *list, int count, i64 offset)
{
    OS_CHECK_TXT(h != 0 && list != nullptr && count != 0, "file && list && size", -1);
    return preadv(fd_of(h), list, count, (off_t)offset);
}

ssize_t os_local_file_pwritv(u64 h, const struct iovec *list, int count, i64 offset)
{
    OS_CHECK_TXT(h != 0 && list != nullptr && count != 0, "file && list && size", -1);
    return pwritev(fd_of(h), list, count, (off_t)offset);
}

int os_local_file_sync(u64 h)
{
    OS_CHECK_TXT(h != 0, "file", 0);
    return fsync(fd_of(h)) == 0 ? 1 : 0;
}

int os_local_file_truncate(u64 h, i64 length)
{
    OS_CHECK_TXT(h != 0, "file", 0);
    return ftruncate(fd_of(h), (off_t)length) == 0 ? 1 : 0;
}

i64 os_local_file_seek(u64 h, i64 offset, int whence)
{
    OS_CHECK_TXT(h != 0, "file", -1);
    return (i64)lseek(fd_of(h), (off_t)offset, whence);
}

i64 os_local_file_offset(u64 h)
{
    return os_local_file_seek(h, 0, SEEK_CUR);
}

i64 os_local_file_size(u64 h)
{
    OS_CHECK_TXT(h != 0, "file", -1);
    int fd = fd_of(h);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "fstat error: ");
        return -1;
    }
    if (S_ISBLK(st.st_mode)) return block_dev_size(fd);
    if (st.st_size > 0) return (i64)st.st_size;
    // Devices that seek tell their end; the offset is put back.
    off_t cur = lseek(fd, 0, SEEK_CUR);
    if (cur >= 0) {
        off_t end = lseek(fd, 0, SEEK_END);
        lseek(fd, cur, SEEK_SET);
        if (end > 0 && S_ISCHR(st.st_mode)) return (i64)end;
    }
    return os_local_file_probe_size(fd);
}

i64 os_local_file_probe_size(int fd)
{
    i64 low = 0, off = kProbe;
    while (probe_read(fd, off)) {
        low = off;
        if (off >= kProbeLimit) return 0;
        off *= 2;
    }
    i64 high = off;
    while (low <= high) {
        i64 mid = (low + (high - low) / 2) / kProbe * kProbe;
        if (mid < kProbe) break;
        if (probe_read(fd, mid))
            low = mid + kProbe;
        else
            high = mid - kProbe;
    }
    return probe_read(fd, low) ? low + kProbe : low;
}

u32 os_local_file_probe_block(int fd)
{
    // Aligned, so that a descriptor opened for direct I/O reads too.
    alignas(4096) char buf[4096];
    off_t at = 0;
    for (u32 n = 512; n <= 4096; n *= 2) {
        ssize_t r = pread(fd, buf, n, at);
        if (r == (ssize_t)n) return n;
        if (r > 0) at += r;
    }
    return 0;
}

int os_local_file_ioctl(u64 h, u32 code, void *rec, size_t size)
{
    OS_CHECK_TXT(h != 0, "file", 0);
    int fd = fd_of(h);
    switch (code) {
    case OS_FILE_IOCTL_INFO:
        if (!rec_ok(rec, size, sizeof(os_file_info))) return 0;
        return ioctl_info(h, fd, (os_file_info *)rec);
    case OS_FILE_IOCTL_ERROR: {
        u64 cls = error_class(errno);
        if (!rec_ok(rec, size, sizeof(u64))) return 0;
        *(u64 *)rec = cls;
        return 1;
    }
    case OS_FILE_IOCTL_STAT: {
        if (!rec_ok(rec, size, sizeof(os_file_stat_rec))) return 0;
        struct stat st;
        if (fstat(fd, &st) != 0) {
            LOG_AT(3 | LOG_OPT_ERRNO, "fstat error: ");
            return 0;
        }
        os_file_stat_from(&st, (os_file_stat_rec *)rec);
        return 1;
    }
    case OS_FILE_IOCTL_TIMES:
        if (!rec_ok(rec, size, sizeof(os_file_times))) return 0;
        return ioctl_times(fd, (const os_file_times *)rec);
    case OS_FILE_IOCTL_LOCK: {
        if (!rec_ok(rec, size, sizeof(os_file_lock_rec))) return -1;
        const os_file_lock_rec *l = (const os_file_lock_rec *)rec;
        if (l->type == OS_LOCK_UNLOCK) return os_file_unlock(fd, l->type, (i64)l->offset, (i64)l->length);
        return os_file_lock(fd, l->type, (i64)l->offset, (i64)l->length);
    }
    case OS_FILE_IOCTL_RTIMEOUT:
    case OS_FILE_IOCTL_WTIMEOUT:
        return 1;
    case OS_FILE_IOCTL_CHMOD:
        return fchmod(fd, (mode_t)(uintptr_t)rec) == 0 ? 1 : 0;
    case OS_FILE_IOCTL_CHOWN: {
        if (!rec_ok(rec, size, sizeof(os_file_owner))) return 0;
        const os_file_owner *o = (const os_file_owner *)rec;
        return fchown(fd, o->uid, o->gid) == 0 ? 1 : 0;
    }
    default:
        errno = EPERM;
        return 0;
    }
}

const os_file_ops os_file_ops_local = {
    .name = "file",
    .init = os_local_file_init,
    .open2 = os_local_file_open2,
    .open3 = os_local_file_open3,
    .exit = os_local_file_exit,
    .read = os_local_file_read,
    .writ = os_local_file_writ,
    .pread = os_local_file_pread,
    .pwrit = os_local_file_pwrit,
    .readv = os_local_file_readv,
    .writv = os_local_file_writv,
    .preadv = os_local_file_preadv,
    .pwritv = os_local_file_pwritv,
    .sync = os_local_file_sync,
    .truncate = os_local_file_truncate,
    .seek = os_local_file_seek,
    .offset = os_local_file_offset,
    .size = os_local_file_size,
    .ioctl = os_local_file_ioctl,
};
