// The calls of io_faults.h, defined in the test program so that the
// library's calls reach them.
#include "common/io_faults.h"

#include <fcntl.h>

extern "C" ssize_t copy_file_range(int in, loff_t *off_in, int out, loff_t *off_out, size_t len, unsigned flags)
{
    auto &f = testutil::faults();
    if (f.copy_errno && f.strikes(in)) {
        errno = f.copy_errno;
        return -1;
    }
    return syscall(SYS_copy_file_range, in, off_in, out, off_out, len, flags);
}

extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t at)
{
    auto &f = testutil::faults();
    char c = f.next(testutil::IO_PWRITE, fd);
    if (c == 'f' || c == 'F') return -1;
    if (c == 's' && (size_t)f.short_n < n) n = (size_t)f.short_n;
    return syscall(SYS_pwrite64, fd, buf, n, at);
}

extern "C" ssize_t pwrite64(int fd, const void *buf, size_t n, off_t at)
{
    return pwrite(fd, buf, n, at);
}

extern "C" ssize_t pread(int fd, void *buf, size_t n, off_t at)
{
    char c = testutil::faults().next(testutil::IO_PREAD, fd);
    return c == 'f' || c == 'F' ? -1 : syscall(SYS_pread64, fd, buf, n, at);
}

extern "C" ssize_t pread64(int fd, void *buf, size_t n, off_t at)
{
    return pread(fd, buf, n, at);
}

extern "C" int ftruncate(int fd, off_t len)
{
    char c = testutil::faults().next(testutil::IO_FTRUNCATE, fd);
    return c == 'f' || c == 'F' ? -1 : (int)syscall(SYS_ftruncate, fd, len);
}

extern "C" int ftruncate64(int fd, off_t len)
{
    return ftruncate(fd, len);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    char c = testutil::faults().next(testutil::IO_WRITE, fd);
    return c == 'f' || c == 'F' ? -1 : syscall(SYS_write, fd, buf, n);
}

extern "C" int unlinkat(int dir, const char *path, int flags)
{
    char c = testutil::faults().next(testutil::IO_UNLINK, dir);
    return c == 'f' || c == 'F' ? -1 : (int)syscall(SYS_unlinkat, dir, path, flags);
}
