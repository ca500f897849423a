// The pcap size rule over arbitrary file contents and limits: it never
// reads outside the file, and leaves either the file as it was or its
// header followed by a tail of the old packets that starts at a packet.
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
    int rc = pcap_trim_fd(fd, limit, swap);
    off_t now = lseek(fd, 0, SEEK_END);
    std::vector<uint8_t> after((size_t)now + 1);
    FUZZ_ASSERT(pread(fd, after.data(), (size_t)now, 0) == (ssize_t)now);
    if (rc <= 0) {
        FUZZ_ASSERT((size_t)now == n && (n == 0 || memcmp(after.data(), file, n) == 0));
        return 0;
    }
    // Trimmed: the header stays and the rest is the old end of the file,
    // starting at a packet reached from offset 24.
    FUZZ_ASSERT((size_t)now >= PCAP_HDR_SIZE && (size_t)now <= n);
    FUZZ_ASSERT(memcmp(after.data(), file, PCAP_HDR_SIZE) == 0);
    size_t from = n - ((size_t)now - PCAP_HDR_SIZE);
    FUZZ_ASSERT(memcmp(after.data() + PCAP_HDR_SIZE, file + from, n - from) == 0);
    u64 off = PCAP_HDR_SIZE;
    while (off < from) {
        u32 cap;
        memcpy(&cap, file + off + 8, 4);
        if (swap) cap = __builtin_bswap32(cap);
        off += PCAP_REC_HDR_SIZE + cap;
    }
    FUZZ_ASSERT(off == from);
    FUZZ_ASSERT(from >= limit / 2 || from == PCAP_HDR_SIZE);
    return 0;
}
