#pragma once
// Test helpers of the halving and the pcap writer: a scratch file, pcap
// packets as the file holds them, and the halving's marker placed beside
// a file as an open places it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/tmp_file.h"
#include "libpal/mpcap/mpcap.h"
#include "libpal/os/fd_move.h"
#include "libpal/os/fd_open.h"

namespace halvetest {

struct scratch {
    std::string path;
    scratch()
    {
        std::string dir = testutil::scratch_dir();
        path = dir + "/mpcap_" + std::to_string(getpid()) + "_" + std::to_string(counter()++) + ".pcap";
        unlink(path.c_str());
    }
    ~scratch()
    {
        unlink(path.c_str());
        unlink((path + FD_HALVE_MARK_SUFFIX).c_str());
    }
    static std::atomic<int> &counter()
    {
        static std::atomic<int> n{0};
        return n;
    }
    std::string bytes() const
    {
        std::string s;
        if (FILE *f = fopen(path.c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
            fclose(f);
        }
        return s;
    }
    void put(const std::string &data) const
    {
        FILE *f = fopen(path.c_str(), "wb");
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
};

inline u32 le32(const std::string &s, size_t at)
{
    u32 v;
    memcpy(&v, s.data() + at, 4);
    return v;
}

// Offsets of the packets of a little-endian file; -1 at the end when the
// chain does not end exactly at the end of the file.
inline std::vector<long> chain(const std::string &s)
{
    std::vector<long> out;
    size_t off = PCAP_HDR_SIZE;
    while (off + PCAP_REC_HDR_SIZE <= s.size()) {
        out.push_back((long)off);
        off += PCAP_REC_HDR_SIZE + le32(s, off + 8);
    }
    if (off != s.size()) out.push_back(-1);
    return out;
}

// A packet as the file holds it (little-endian).
inline std::string packet(u32 sec, u32 len, char fill)
{
    u32 h[4] = {sec, 7, len, len};
    return std::string((const char *)h, sizeof h) + std::string(len, fill);
}

inline const std::string kHdr("\xd4\xc3\xb2\xa1\x02\x00\x04\x00" "\0\0\0\0\0\0\0\0" "\x00\x00\x01\x00\x93\x00\x00\x00", 24);

// The marker of the file path, placed as an open of the file places it.
inline void place(fd_halve_mark *m, const std::string &path, fd_whole_end rule = nullptr, const void *arg = nullptr)
{
    fd_halve_mark_init(m, rule, arg);
    fd_log_place at;
    fd_log_place_init(&at);
    int fd = fd_open_log(path.c_str(), O_RDWR, 0, false, &at);
    ASSERT_GE(fd, 0) << path;
    close(fd);
    fd_halve_mark_place(m, &at);
}

}  // namespace halvetest
