#pragma once
// Test helpers: runs a function in a forked child and gives its result as
// the child's exit status (-1 when the child did not exit normally); leaves
// a file as a kill inside its halving would.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "libpal/os/fd_move.h"

namespace testutil {

template <typename F>
int in_child(F fn)
{
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes the marker of the file at path as the program writes it: a copy
// of [from, end) down to to (rewrite: being written back from memory into
// the file cut at to).
inline void mark_pending(const std::string &path, i64 from, i64 end, i64 to, bool rewrite = false)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) abort();
    char text[FD_HALVE_MARK_LEN];
    fd_halve_mark_text(text, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to, rewrite);
    int m = open((path + FD_HALVE_MARK_SUFFIX).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (write(m, text, sizeof text) != (ssize_t)sizeof text) abort();
    fchmod(m, 0644);
    close(m);
}

// Leaves the file at path as a kill inside its halving would: the marker
// names the copy of [from, end) down to to, of which copied bytes went
// over (-1: all of them, and the file was cut).
inline void halving_cut_short(const std::string &path, i64 from, i64 end, i64 to, i64 copied)
{
    mark_pending(path, from, end, to);
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    i64 n = copied < 0 ? end - from : copied;
    std::string part((size_t)n, 0);
    if (pread(fd, part.data(), (size_t)n, (off_t)from) != (ssize_t)n || pwrite(fd, part.data(), (size_t)n, (off_t)to) != (ssize_t)n)
        abort();
    if (copied < 0 && ftruncate(fd, (off_t)(to + n)) != 0) abort();
    close(fd);
}

}  // namespace testutil
