// The text log's halving at a small limit, on a file of the input's bytes,
// keeps the file's end from a line start on (a newest half without a line
// end whole), the newest line whole, within the limit unless it is longer
// than the half. An open after a kill inside it follows the marker to the
// same end, or to the part's whole lines written back; a marker written
// over or moved leaves the file as it was, or whole lines of the old one.
#include "fuzz_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/os/fd_move.h"
#include "libpal/os/fd_open.h"

static char g_dir[] = "/tmp/fuzz_text_halving_XXXXXX", g_file[64], g_mark[80];
static struct stat g_sb;  // of the file put last

static void put(const char *path, const char *bytes, size_t n)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_ASSERT(fd >= 0 && write(fd, bytes, n) == (ssize_t)n && fchmod(fd, 0644) == 0 && !fstat(fd, &g_sb));
    close(fd);
}

// The file after fn(fd, marker) ran on it, opened and its marker placed as
// the log opens them; fn's result in *rc.
template <class Fn>
static std::string opened(Fn fn, int *rc)
{
    fd_halve_mark m;
    fd_halve_mark_init(&m, log_file_whole_end, nullptr, log_file_part_check, 0);
    fd_log_place at;
    fd_log_place_init(&at);
    int fd = fd_open_log(g_file, O_RDWR | O_APPEND, 0, false, &at);
    FUZZ_ASSERT(fd >= 0);
    fd_halve_mark_place(&m, &at);
    *rc = fn(fd, &m);
    fd_halve_mark_close(&m);
    std::string s((size_t)lseek(fd, 0, SEEK_END), 0);
    FUZZ_ASSERT(pread(fd, s.data(), s.size(), 0) == (ssize_t)s.size());
    close(fd);
    return s;
}

static bool line_start(const std::string &s, size_t at) { return at == 0 || s[at - 1] == '\n'; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 12 || size > 12 + 16384) return 0;
    static bool made = mkdtemp(g_dir) && snprintf(g_file, sizeof g_file, "%s/t.log", g_dir) > 0 &&
                       snprintf(g_mark, sizeof g_mark, "%s%s", g_file, FD_HALVE_MARK_SUFFIX) > 0 &&
                       !atexit([] { unlink(g_mark), unlink(g_file), rmdir(g_dir); });
    FUZZ_ASSERT(made);
    i32 limit = 64 + (i32)((data[1] | data[2] << 8) % 4096);
    std::string orig((const char *)data + 12, size - 12);
    i64 n = (i64)orig.size(), last = (i64)orig.rfind('\n', orig.size() - 2) + 1;  // the newest line's start
    if (n < limit) return 0;
    put(g_file, orig.data(), orig.size());
    unlink(g_mark);  // one a marker written over left pending
    int rc;
    std::string after = opened([&](int fd, fd_halve_mark *m) { return log_file_trim(fd, m, n, limit); }, &rc);
    i64 kept = (i64)after.size(), src = n - kept;
    FUZZ_ASSERT(rc == 0 && access(g_mark, F_OK) != 0 && orig.compare((size_t)src, (size_t)kept, after) == 0);
    FUZZ_ASSERT(!src || (kept <= src && (line_start(orig, (size_t)src) || after.find('\n') == std::string::npos)));
    if (orig.back() == '\n') FUZZ_ASSERT(src <= last && (n - last > limit / 2 || (src > 0 && kept <= limit / 2)));
    if (!src) return 0;
    // Killed when copied bytes of the part had gone over (-1: all, and the
    // file cut), or (rewrite) had been written back into the file cut.
    bool rewrite = data[0] & 1;
    i64 kill = data[3] | data[4] << 8, copied = rewrite ? kill % (kept + 1) : kill % (kept + 2) - 1;
    std::string left = rewrite || copied < 0 ? after.substr(0, rewrite ? (size_t)copied : after.size())
                                             : after.substr(0, (size_t)copied) + orig.substr((size_t)copied);
    put(g_file, left.data(), left.size());
    char text[FD_HALVE_MARK_LEN];
    int edits = data[0] >> 1 & 3, moved = data[0] & 8 ? (int8_t)data[11] : 0;  // bytes written over; from moved
    fd_halve_mark_text(text, (u64)g_sb.st_dev, (u64)g_sb.st_ino, src + moved, n, 0, rewrite);
    for (int i = 0; i < edits; ++i) text[data[5 + 2 * i] % FD_HALVE_MARK_LEN] = (char)data[6 + 2 * i];
    put(g_mark, text, sizeof text);
    std::string again = opened(fd_halve_resume, &rc);
    size_t end = rewrite && copied < kept ? left.rfind('\n') + 1 : left.size();
    FUZZ_ASSERT(edits || moved ||
                (rc == 1 && access(g_mark, F_OK) != 0 && again == (rewrite ? left.substr(0, end) : after)));
    if (!(edits || moved) || again == left) return 0;
    bool whole = again.find('\n') == std::string::npos && orig.ends_with(again);
    for (size_t q = 0, e = again.size(); !whole && e <= orig.size(); ++q, ++e)
        whole = line_start(orig, q) && (e == orig.size() || line_start(orig, e)) && !orig.compare(q, e - q, again);
    FUZZ_ASSERT(whole);
    return 0;
}
