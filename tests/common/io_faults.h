#pragma once
// Faults of the file system, for one descriptor: copy_file_range and
// pwrite on it fail (or write less) as a test arms them, as a full disk,
// a flash file system without room for an overwrite, or an I/O error
// would make them. The two calls are defined here, in the test program,
// so that the library's calls reach them; unarmed they are the system
// calls. Include this header in one source file of a test program only.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace testutil {

struct io_faults {
    std::atomic<int> fd{-1};         // the descriptor they strike; -1 none
    std::atomic<int> copy_errno{0};  // copy_file_range fails with it
    // What the next pwrite calls do, a letter each: 'p' goes through, 'f'
    // fails with ENOSPC, 's' writes at most short_n bytes; 'F' fails, and
    // so do all that follow. Past the end of the plan they go through.
    char plan[64] = "";
    int step = 0;
    long short_n = 0;
    void arm(int f, int copy_err, const char *pwrites, long short_write = 0)
    {
        copy_errno = copy_err;
        snprintf(plan, sizeof plan, "%s", pwrites);
        step = 0;
        short_n = short_write;
        fd = f;
    }
    void disarm() { fd = -1; }
};

inline io_faults &faults()
{
    static io_faults f;  // trivially destroyed
    return f;
}

}  // namespace testutil

extern "C" ssize_t copy_file_range(int in, loff_t *off_in, int out, loff_t *off_out, size_t len, unsigned flags)
{
    auto &f = testutil::faults();
    if (in == f.fd && f.copy_errno) {
        errno = f.copy_errno;
        return -1;
    }
    return syscall(SYS_copy_file_range, in, off_in, out, off_out, len, flags);
}

extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t at)
{
    auto &f = testutil::faults();
    if (fd == f.fd && f.plan[f.step]) {
        char c = f.plan[f.step];
        if (c != 'F') ++f.step;
        if (c == 'f' || c == 'F') {
            errno = ENOSPC;
            return -1;
        }
        if (c == 's' && (size_t)f.short_n < n) n = (size_t)f.short_n;
    }
    return syscall(SYS_pwrite64, fd, buf, n, at);
}

extern "C" ssize_t pwrite64(int fd, const void *buf, size_t n, off_t at)
{
    return pwrite(fd, buf, n, at);
}
