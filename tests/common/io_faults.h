#pragma once
// Faults of the file system, for one descriptor or file: copy_file_range,
// pwrite, ftruncate, pread and write on it, and unlinkat in it when it is a
// directory, fail (or write less) as a test
// arms them, as a full disk, a flash or copy-on-write file system without
// room for an overwrite or a cut, or an I/O error would make them. The calls
// are defined in io_faults.cpp, linked into the test programs that use
// them, so that the library's calls reach them; unarmed they are the
// system calls.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace testutil {

enum io_call { IO_PWRITE, IO_FTRUNCATE, IO_PREAD, IO_WRITE, IO_UNLINK, IO_CALLS };

struct io_faults {
    std::atomic<int> fd{-1};         // the descriptor they strike; -1 none
    char path[512] = {};             // and every descriptor open on this file
    std::atomic<int> copy_errno{0};  // copy_file_range fails with it
    // What the next calls of each kind do, a letter each: 'p' goes
    // through, 'f' fails with the kind's errno, 's' writes at most short_n
    // bytes (pwrite); 'F' fails, and so do all that follow. Past the end of
    // the plan they go through.
    char plan[IO_CALLS][64] = {};
    int step[IO_CALLS] = {};
    int err[IO_CALLS] = {};
    long short_n = 0;
    void arm(int f, int copy_err, const char *pwrites, long short_write = 0)
    {
        for (int c = 0; c < IO_CALLS; ++c) also((io_call)c, "");
        copy_errno = copy_err;
        also(IO_PWRITE, pwrites);
        short_n = short_write;
        fd = f;
    }
    // Plans the calls of one more kind (after arm).
    void also(io_call c, const char *letters, int eno = ENOSPC)
    {
        snprintf(plan[c], sizeof plan[c], "%s", letters);
        step[c] = 0;
        err[c] = eno;
    }
    // Strikes every descriptor open on the file at p too.
    void also_file(const char *p)
    {
        char real[PATH_MAX];
        if (realpath(p, real)) p = real;
        size_t n = strnlen(p, sizeof path - 1);
        memcpy(path, p, n);
        path[n] = 0;
    }
    void disarm()
    {
        fd = -1;
        path[0] = 0;
    }
    bool strikes(int f) const
    {
        if (f == fd.load()) return true;
        if (!path[0] || f < 0) return false;
        char link[64], got[sizeof path];
        snprintf(link, sizeof link, "/proc/self/fd/%d", f);
        ssize_t n = readlink(link, got, sizeof got);
        return n > 0 && (size_t)n == strlen(path) && memcmp(got, path, (size_t)n) == 0;
    }
    // The letter of the next call of kind c on f, or 'p'.
    char next(io_call c, int f)
    {
        if (!strikes(f) || !plan[c][step[c]]) return 'p';
        char l = plan[c][step[c]];
        if (l != 'F') ++step[c];
        if (l == 'f' || l == 'F') errno = err[c];
        return l;
    }
};

inline io_faults &faults()
{
    static io_faults f;  // trivially destroyed
    return f;
}

}  // namespace testutil
