// The pcap size rule over arbitrary file contents and limits: it never
// reads outside the file, and leaves either the file as it was, or its
// header followed by whole packets of the old chain that did not overlap
// the place they were copied to, or the old chain cut at its break.
#include "fuzz_common.h"

#include <sys/mman.h>
#include <unistd.h>

#include "libpal/mpcap/mpcap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5) return 0;
    u32 limit32;
    memcpy(&limit32, data, 4);
    int swap = data[4] & 1;
    u64 limit = limit32 % 200000;
    const uint8_t *file = data + 5;
    size_t n = size - 5;
    static int fd = memfd_create("fuzz_pcap", MFD_CLOEXEC);
    FUZZ_ASSERT(fd >= 0);
    FUZZ_ASSERT(ftruncate(fd, 0) == 0);
    FUZZ_ASSERT(pwrite(fd, file, n, 0) == (ssize_t)n);
    int rc = pcap_trim_fd(fd, nullptr, limit, swap);
    off_t now = lseek(fd, 0, SEEK_END);
    std::vector<uint8_t> after((size_t)now + 1);
    FUZZ_ASSERT(pread(fd, after.data(), (size_t)now, 0) == (ssize_t)now);
    if (rc <= 0) {
        FUZZ_ASSERT((size_t)now == n && (n == 0 || memcmp(after.data(), file, n) == 0));
        return 0;
    }
    // Trimmed: the header stays, followed by the old packets from the
    // first that starts at or after half the limit, within the newest half
    // of the limit and in the second half of what stays, up to the end of
    // the file or the first that is not whole; when no packet starts
    // there, the chain is cut at its break.
    FUZZ_ASSERT(n >= PCAP_HDR_SIZE && (size_t)now >= PCAP_HDR_SIZE && (size_t)now <= n);
    FUZZ_ASSERT(memcmp(after.data(), file, PCAP_HDR_SIZE) == 0);
    auto le = [&](u64 at) {
        u32 v;
        memcpy(&v, file + at, 4);
        return swap ? __builtin_bswap32(v) : v;
    };
    u32 snap = le(16);
    auto whole = [&](u64 at) {
        return at + PCAP_REC_HDR_SIZE <= n && le(at + 8) <= snap && at + PCAP_REC_HDR_SIZE + le(at + 8) <= n;
    };
    u64 half = limit / 2, stop = n > 2 * half ? n - half : half;
    u64 from = PCAP_HDR_SIZE;
    while (from < stop && whole(from)) from += PCAP_REC_HDR_SIZE + le(from + 8);
    u64 end = from;
    if (from >= stop)
        while (end < n && whole(end)) end += PCAP_REC_HDR_SIZE + le(end + 8);
    while (from < (end + PCAP_HDR_SIZE + 1) / 2) from += PCAP_REC_HDR_SIZE + le(from + 8);
    if (from < end) {
        FUZZ_ASSERT(PCAP_HDR_SIZE + (end - from) <= from);
        FUZZ_ASSERT((u64)now - PCAP_HDR_SIZE == end - from);
        FUZZ_ASSERT(memcmp(after.data() + PCAP_HDR_SIZE, file + from, end - from) == 0);
    } else {
        FUZZ_ASSERT((u64)now == end && end < n && memcmp(after.data(), file, end) == 0);
    }
    return 0;
}
