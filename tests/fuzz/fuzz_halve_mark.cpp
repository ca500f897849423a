// The halving marker's text as an open reads and checks it, beside a text
// log: whatever numbers a marker names and whatever bytes of it are
// written over, the open never leaves a torn or glued line. The file stays
// as it was, or holds whole lines of the old file, in order (the newest
// line, unended, may be kept from its middle, as a halving keeps it). A
// marker as a kill leaves it, untouched, is followed.
#include "fuzz_halve.h"

namespace {

u32 u32_at(const uint8_t *p)
{
    u32 v;
    memcpy(&v, p, 4);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 16 || size > 16 + 64 + 64) return 0;
    // The old file: lines of the lengths the input gives; its last one
    // unended when asked.
    u8 how = data[0];
    size_t lines = 2 + data[1] % 60;
    std::string orig;
    for (size_t i = 0; i < lines; ++i) {
        size_t len = 16 + size % 7 + (16 + i < size ? data[16 + i] % 90 : 30);
        std::string l = "line " + std::to_string(i) + " ";
        orig += l + std::string(len - l.size(), (char)('a' + i % 26)) + "\n";
    }
    bool unended = how & 8;
    if (unended) orig += std::string(orig.size() / 2 + 40, 'u');
    i64 n = (i64)orig.size();
    // The work it names: numbers of the input's choice, or a halving of
    // the writer's as a kill left it (in its copy, or in its write-back).
    int state = (how >> 1) % 3;
    bool rewrite = how & 1;
    i64 from = u32_at(data + 2) % (n + 2), end = u32_at(data + 6) % (n + 2), to = 0, copied = 0;
    if (data[10] > 200) to = u32_at(data + 10) % (n + 1);
    std::string file = orig;
    int fd = fuzzhalve::put_file(orig);
    if (state) {
        FUZZ_ASSERT(log_file_trim(fd, nullptr, n, (i32)n) == 0);
        i64 kept = (i64)fuzzhalve::read_file().size();
        from = n - kept;
        end = n;
        to = 0;
        rewrite = state == 2;
        copied = rewrite ? u32_at(data + 6) % (kept + 1) : (i64)(u32_at(data + 6) % (kept + 2)) - 1;
        close(fd);
        if (!from) return 0;
        file = fuzzhalve::cut_short(orig, from, end, copied, rewrite);
        fd = fuzzhalve::put_file(file);
    }
    char text[FD_HALVE_MARK_LEN];
    fuzzhalve::mark_text(text, from, end, to, rewrite);
    // Bytes of it written over.
    size_t edits = 0;
    for (size_t i = 16 + lines; i + 1 < size && i < 16 + lines + 8; i += 2, ++edits)
        text[data[i] % FD_HALVE_MARK_LEN] = (char)data[i + 1];
    fuzzhalve::put_mark(text, sizeof text);
    fd_halve_mark m;
    fuzzhalve::place(&m);
    int rc = fd_halve_resume(fd, &m);
    fd_halve_mark_close(&m);
    close(fd);
    fuzzhalve::no_leak();
    std::string after = fuzzhalve::read_file();
    if (state && !edits) {
        // The writer's own marker is followed: the halving finished, or a
        // write-back cut to its whole lines.
        FUZZ_ASSERT(rc == 1);
        size_t nl = file.rfind('\n');
        std::string want = !rewrite ? orig.substr((size_t)from)
                           : copied == end - from ? file
                                                  : file.substr(0, nl == std::string::npos ? 0 : nl + 1);
        FUZZ_ASSERT(after == want);
        return 0;
    }
    if (after == file) return 0;
    bool in_last = unended && after.find('\n') == std::string::npos &&
                   orig.compare(orig.size() - after.size(), after.size(), after) == 0;
    FUZZ_ASSERT(fuzzhalve::whole_lines_of(after, orig) || in_last);
    return 0;
}
