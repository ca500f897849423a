// The text log's halving at a small limit, in place under its marker, on a
// file built from the input: what stays is the file's end from a line
// start on (or, when its newest half holds no line end, that half), the
// newest line whole, within the limit unless that line is longer than the
// half; no marker is left. A kill at any point of the copy or the
// write-back, and the open after it, leave what the halving leaves, or the
// kept part's whole lines written back.
#include "fuzz_halve.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5 || size > 5 + 32768) return 0;
    i32 limit = 64 + (i32)((data[0] | data[1] << 8) % 8192);
    i64 kill = data[2] | data[3] << 8;
    int how = data[4] % 3;  // 0 none, 1 in the copy, 2 in the write-back
    std::string orig((const char *)data + 5, size - 5);
    i64 n = (i64)orig.size();
    if (n < limit) return 0;
    int fd = fuzzhalve::put_file(orig);
    fd_halve_mark m;
    fuzzhalve::place(&m);
    FUZZ_ASSERT(log_file_trim(fd, &m, n, limit) == 0);
    fd_halve_mark_close(&m);
    close(fd);
    FUZZ_ASSERT(access(fuzzhalve::at().mark, F_OK) != 0);
    fuzzhalve::no_leak();
    std::string after = fuzzhalve::read_file();
    i64 kept = (i64)after.size(), src = n - kept;
    FUZZ_ASSERT(kept <= n && orig.compare((size_t)src, (size_t)kept, after) == 0);
    size_t nl = orig.rfind('\n', orig.size() - 2);
    i64 last = orig.back() == '\n' && nl != std::string::npos ? (i64)nl + 1 : 0;  // the newest line's start
    if (src > 0) {
        FUZZ_ASSERT(kept <= src);
        FUZZ_ASSERT(fuzzhalve::line_start(orig, (size_t)src) || after.find('\n') == std::string::npos);
    }
    if (orig.back() == '\n') {
        FUZZ_ASSERT(src <= last);
        if (n - last <= limit / 2) FUZZ_ASSERT(src > 0 && kept <= limit / 2);
    }
    if (!how || src == 0) return 0;
    // Killed inside that halving: the next open finishes it, or cuts a
    // write-back to its whole lines.
    bool rewrite = how == 2;
    i64 copied = rewrite ? kill % (kept + 1) : (i64)(kill % (kept + 2)) - 1;
    std::string left = fuzzhalve::cut_short(orig, src, n, copied, rewrite);
    fd = fuzzhalve::put_file(left);
    char text[FD_HALVE_MARK_LEN];
    fuzzhalve::mark_text(text, src, n, 0, rewrite);
    fuzzhalve::put_mark(text, sizeof text);
    fuzzhalve::place(&m);
    FUZZ_ASSERT(fd_halve_resume(fd, &m) == 1);
    FUZZ_ASSERT(fd_halve_mark_news(&m) == nullptr || rewrite);
    fd_halve_mark_close(&m);
    close(fd);
    FUZZ_ASSERT(access(fuzzhalve::at().mark, F_OK) != 0);
    std::string again = fuzzhalve::read_file();
    if (!rewrite) {
        FUZZ_ASSERT(again == after);
    } else {
        size_t end = copied == kept ? left.size() - 1 : left.rfind('\n');
        FUZZ_ASSERT(again == left.substr(0, end == std::string::npos ? 0 : end + 1));
    }
    return 0;
}
