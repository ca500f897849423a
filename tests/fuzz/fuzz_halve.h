#pragma once
// Shared set-up of the halving's fuzz targets: a text log file and its
// marker in a private directory (removed at exit), the marker as a kill
// leaves it, and the check that a file holds whole lines of another.
#include "fuzz_common.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/os/fd_move.h"
#include "libpal/os/fd_open.h"

namespace fuzzhalve {

struct paths {
    char dir[64];
    char file[96];
    char mark[128];
};

inline paths &at()
{
    static paths p = [] {
        paths q{};
        snprintf(q.dir, sizeof q.dir, "/tmp/fuzz_halve_XXXXXX");
        FUZZ_ASSERT(mkdtemp(q.dir));
        snprintf(q.file, sizeof q.file, "%s/t.log", q.dir);
        snprintf(q.mark, sizeof q.mark, "%s%s", q.file, FD_HALVE_MARK_SUFFIX);
        atexit([] {
            unlink(at().mark);
            unlink(at().file);
            rmdir(at().dir);
        });
        return q;
    }();
    return p;
}

// The file holding bytes, open for reading and appending as the log opens it.
inline int put_file(const std::string &bytes)
{
    int fd = open(at().file, O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    FUZZ_ASSERT(fd >= 0 && write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size());
    return fd;
}

inline std::string read_file()
{
    std::string s;
    int fd = open(at().file, O_RDONLY | O_CLOEXEC);
    char buf[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, (size_t)n);
    if (fd >= 0) close(fd);
    return s;
}

// The marker of the text log, placed beside the file as an open places it.
inline void place(fd_halve_mark *m)
{
    fd_halve_mark_init(m, log_file_whole_end, nullptr, log_file_part_check, 0);
    fd_log_place p;
    fd_log_place_init(&p);
    int fd = fd_open_log(at().file, O_RDWR, 0, false, &p);
    FUZZ_ASSERT(fd >= 0);
    close(fd);
    fd_halve_mark_place(m, &p);
}

// The marker holding text, as the program writes it.
inline void put_mark(const char *text, size_t n)
{
    int fd = open(at().mark, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_ASSERT(fd >= 0 && write(fd, text, n) == (ssize_t)n && fchmod(fd, 0644) == 0);
    close(fd);
}

// The marker's text for [from, end) copied down to to in the file.
inline void mark_text(char text[FD_HALVE_MARK_LEN], i64 from, i64 end, i64 to, bool rewrite)
{
    struct stat sb;
    FUZZ_ASSERT(stat(at().file, &sb) == 0);
    fd_halve_mark_text(text, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to, rewrite);
}

// The file of bytes as a kill inside a halving of [from, end) down to 0
// leaves it: copied bytes of the copy made (-1: all, and the file cut),
// or, with rewrite, the file cut and copied bytes of the part written back.
inline std::string cut_short(const std::string &bytes, i64 from, i64 end, i64 copied, bool rewrite)
{
    std::string part = bytes.substr((size_t)from, (size_t)(end - from));
    std::string s = bytes;
    if (rewrite) s = part.substr(0, (size_t)copied);
    else if (copied < 0) s = part;
    else s.replace(0, (size_t)copied, part, 0, (size_t)copied);
    return s;
}

// No descriptor of the file, its marker or their directory is left open
// by a run.
inline void no_leak()
{
    DIR *d = opendir("/proc/self/fd");
    FUZZ_ASSERT(d);
    size_t n = strlen(at().dir);
    while (struct dirent *e = readdir(d)) {
        char link[64], to[256];
        snprintf(link, sizeof link, "/proc/self/fd/%s", e->d_name);
        ssize_t k = readlink(link, to, sizeof to);
        FUZZ_ASSERT(k < 0 || (size_t)k < n || memcmp(to, at().dir, n) != 0);
    }
    closedir(d);
}

// Whether a line of text starts at off.
inline bool line_start(const std::string &text, size_t off)
{
    return off == 0 || (off <= text.size() && text[off - 1] == '\n');
}

// Whether text holds whole lines of orig, in order, one after the other
// (the last one unended only where it is orig's unended last line).
inline bool whole_lines_of(const std::string &text, const std::string &orig)
{
    if (text.empty()) return true;
    for (size_t q = 0, e = text.size(); e <= orig.size(); ++q, ++e)
        if (line_start(orig, q) && (line_start(orig, e) || e == orig.size()) && orig.compare(q, text.size(), text) == 0)
            return true;
    return false;
}

}  // namespace fuzzhalve
