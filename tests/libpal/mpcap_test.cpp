#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/child.h"
#include "common/fsize_limit.h"
#include "common/io_faults.h"
#include "common/log_capture.h"
#include "common/tmp_file.h"
#include "libpal/mpcap/mpcap.h"
#include "libpal/os/fd_move.h"
#include "libpal/os/fd_open.h"

namespace {

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

u32 le32(const std::string &s, size_t at)
{
    u32 v;
    memcpy(&v, s.data() + at, 4);
    return v;
}

// Offsets of the packets of a little-endian file; -1 at the end when the
// chain does not end exactly at the end of the file.
std::vector<long> chain(const std::string &s)
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
std::string packet(u32 sec, u32 len, char fill)
{
    u32 h[4] = {sec, 7, len, len};
    return std::string((const char *)h, sizeof h) + std::string(len, fill);
}

const std::string kHdr("\xd4\xc3\xb2\xa1\x02\x00\x04\x00" "\0\0\0\0\0\0\0\0" "\x00\x00\x01\x00\x93\x00\x00\x00", 24);

// The marker of the file path, placed as an open of the file places it.
void place(fd_halve_mark *m, const std::string &path, fd_whole_end rule = nullptr, const void *arg = nullptr)
{
    fd_halve_mark_init(m, rule, arg);
    fd_log_place at;
    fd_log_place_init(&at);
    int fd = fd_open_log(path.c_str(), O_RDWR, 0, false, &at);
    ASSERT_GE(fd, 0) << path;
    close(fd);
    fd_halve_mark_place(m, &at);
}

void put_packet(pcap_dumper *d, u32 sec, u32 len, char fill)
{
    std::string data(len, fill);
    pcap_pkthdr h{sec, 7, len, len};
    ASSERT_EQ(pcap_dump_write(d, &h, data.data()), (int)len);
}

TEST(Mpcap, HeadersInBothByteOrders)
{
    scratch le, be;
    pcap *pl = pcap_open_dead(147, 65536, 0), *pb = pcap_open_dead(148, 65536, 1);
    pcap_dumper *dl = pcap_dump_open(pl, le.path.c_str()), *db = pcap_dump_open(pb, be.path.c_str());
    ASSERT_TRUE(dl && db);
    pcap_pkthdr h{0x65530000, 250000, 3, 3};
    EXPECT_EQ(pcap_dump_write(db, &h, "abc"), 3);
    EXPECT_EQ(pcap_dump_flush(db), 0);
    pcap_dump_close(dl);
    pcap_dump_close(db);
    EXPECT_EQ(le.bytes(), std::string("\xd4\xc3\xb2\xa1\x02\x00\x04\x00" "\0\0\0\0\0\0\0\0" "\x00\x00\x01\x00\x93\x00\x00\x00", 24));
    EXPECT_EQ(be.bytes(), std::string("\xa1\xb2\xc3\xd4\x00\x02\x00\x04" "\0\0\0\0\0\0\0\0" "\x00\x01\x00\x00\x00\x00\x00\x94"
                                      "\x65\x53\x00\x00\x00\x03\xd0\x90\x00\x00\x00\x03\x00\x00\x00\x03" "abc", 43));
    struct stat sb;
    ASSERT_EQ(stat(le.path.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0644u);
    pcap_close(pl);
    pcap_close(pb);
}

TEST(Mpcap, CapturedLengthIsCutToTheSnapLength)
{
    scratch f;
    pcap *p = pcap_open_dead(147, 10, 0);
    pcap_dumper *d = pcap_dump_open(p, f.path.c_str());
    std::string data(20, 'x');
    pcap_pkthdr h{1, 2, 20, 20};
    EXPECT_EQ(pcap_dump_write(d, &h, data.data()), 10);
    pcap_dump_close(d);
    std::string s = f.bytes();
    ASSERT_EQ(s.size(), 24u + 16u + 10u);
    EXPECT_EQ(le32(s, 24 + 8), 10u);
    EXPECT_EQ(le32(s, 24 + 12), 20u);
    pcap_close(p);
}

TEST(Mpcap, AppendKeepsOneHeaderAndRefusesOtherFiles)
{
    scratch f;
    pcap *p = pcap_open_dead(147, 65536, 0);
    pcap_dumper *d = pcap_dump_open_append(p, f.path.c_str());  // new file: header
    put_packet(d, 1, 5, 'a');
    pcap_dump_close(d);
    d = pcap_dump_open_append(p, f.path.c_str());
    ASSERT_NE(d, nullptr);
    put_packet(d, 2, 6, 'b');
    pcap_dump_close(d);
    std::string s = f.bytes();
    EXPECT_EQ(chain(s), (std::vector<long>{24, 45}));
    // Another byte order, another link type, a short file: refused, untouched.
    testutil::log_capture cap;
    for (pcap *other : {pcap_open_dead(147, 65536, 1), pcap_open_dead(148, 65536, 0)}) {
        EXPECT_EQ(pcap_dump_open_append(other, f.path.c_str()), nullptr);
        pcap_close(other);
    }
    EXPECT_EQ(f.bytes(), s);
    f.put("short");
    EXPECT_EQ(pcap_dump_open_append(p, f.path.c_str()), nullptr);
    EXPECT_EQ(f.bytes(), "short");
    EXPECT_TRUE(cap.has("is no pcap file of this kind (5 bytes)"));
    pcap_close(p);
}

TEST(Mpcap, SizeRuleKeepsPacketsFromHalfTheLimit)
{
    scratch f;
    pcap *p = pcap_open_dead(147, 65536, 0);
    pcap_dumper *d = pcap_dump_open(p, f.path.c_str());
    // Packets of 16 + 984 bytes: packet k starts at 24 + 1000 k.
    u32 k = 0;
    for (; 24 + 1000 * k < 100000; ++k) put_packet(d, k, 984, (char)('a' + k % 26));
    EXPECT_EQ(pcap_dump_set_fsize(d, 100000), 0);
    pcap_dump_close(d);
    std::string s = f.bytes();
    // The first packet at or after offset 50000 is packet 50 (at 50024).
    ASSERT_EQ(s.size(), 24u + 1000u * (k - 50));
    EXPECT_EQ(le32(s, 24), 50u);
    EXPECT_EQ(chain(s).back(), (long)(24 + 1000 * (k - 51)));
    // Below the limit nothing changes; writing goes on at the end.
    d = pcap_dump_open_append(p, f.path.c_str());
    EXPECT_EQ(pcap_dump_set_fsize(d, 100000), 0);
    put_packet(d, 999, 1, 'z');
    pcap_dump_close(d);
    EXPECT_EQ(f.bytes().size(), s.size() + 17);
    pcap_close(p);
}

// A halving that fails leaves every packet, the file over its limit; it
// is counted for the writer to tell, and tried again a second later, not
// at every packet.
TEST(Mpcap, AFailedHalvingKeepsEveryPacketAndIsTold)
{
    scratch f;
    pcap *p = pcap_open_dead(147, 65536, 0);
    pcap_dumper *d = pcap_dump_open(p, f.path.c_str());
    pcap_dump_told told;
    EXPECT_FALSE(pcap_dump_news(d, &told));
    testutil::faults().arm(fileno(d->fp), EIO, "F");
    for (u32 k = 0; k < 120; ++k) {
        std::string data(984, (char)('a' + k % 26));
        pcap_pkthdr h{k, 7, 984, 984};
        ASSERT_EQ(pcap_dump_write_limited(d, &h, data.data(), 100000), 984);
    }
    testutil::faults().disarm();
    std::string s = f.bytes();
    EXPECT_EQ(chain(s).size(), 120u);
    ASSERT_TRUE(pcap_dump_news(d, &told));
    EXPECT_EQ(told.halve_fails, 1u);
    EXPECT_EQ(told.halve_errno, ENOSPC);
    EXPECT_TRUE(told.halve_began);
    EXPECT_FALSE(pcap_dump_news(d, &told));
    d->halve_retry_us = 1;  // the second is over
    put_packet(d, 999, 1, 'z');
    EXPECT_EQ(pcap_dump_set_fsize(d, 100000), 0);
    s = f.bytes();
    EXPECT_LE(s.size(), 24u + 50000u + 1000u) << "within the newest half of the limit at once";
    auto c = chain(s);
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(le32(s, (size_t)c.back()), 999u);
    EXPECT_FALSE(pcap_dump_news(d, &told));
    pcap_dump_close(d);
    // A write-back that stops part way: the file is cut to its last whole
    // packet at once, the loss told, and the next packet goes right behind
    // it (no hole, though the file was opened to be written, not appended).
    d = pcap_dump_open(p, f.path.c_str());
    auto fill = [&](u32 from, u32 to) {
        for (u32 k = from; k < to; ++k) {
            std::string data(984, (char)('a' + k % 26));
            pcap_pkthdr h{k, 7, 984, 984};
            ASSERT_EQ(pcap_dump_write_limited(d, &h, data.data(), 100000), 984);
        }
    };
    fill(0, 99);
    testutil::faults().arm(fileno(d->fp), EIO, "sfsF", 2500);
    fill(99, 100);
    testutil::faults().disarm();
    put_packet(d, 500, 10, 'n');
    s = f.bytes();
    EXPECT_EQ(chain(s), (std::vector<long>{24, 1024, 2024})) << "two whole packets, then the next";
    EXPECT_EQ(le32(s, 2024), 500u);
    ASSERT_TRUE(pcap_dump_news(d, &told));
    EXPECT_EQ(told.halve_fails, 1u);
    EXPECT_EQ(told.halve_lost, 50000u - 2000u);
    pcap_dump_close(d);
    // A cut that is refused: the copy stays in front, the chain broken
    // behind it, and nothing is lost: the next halving keeps the packets
    // from the kept part's start on, and the chain is whole again; an open
    // for appending meanwhile cuts nothing off. (Packets of three sizes, so
    // that the copy ends inside an older packet.)
    d = pcap_dump_open(p, f.path.c_str());
    auto put = [&](u32 from, u32 to) {
        for (u32 k = from; k < to; ++k) {
            std::string data(984 + 100 * (k % 3), 'v');
            pcap_pkthdr h{k, 7, (u32)data.size(), (u32)data.size()};
            ASSERT_EQ(pcap_dump_write_limited(d, &h, data.data(), 100000), (int)data.size());
        }
    };
    put(0, 90);
    testutil::faults().arm(fileno(d->fp), 0, "");
    testutil::faults().also(testutil::IO_FTRUNCATE, "F");
    put(90, 93);
    testutil::faults().disarm();
    i64 source = d->mark.whole_from;
    EXPECT_GT(source, 50000);
    s = f.bytes();
    EXPECT_EQ(s.size(), 24u + 93u * 1100u) << "nothing cut";
    EXPECT_EQ(s.substr(24, 16), s.substr((size_t)source, 16)) << "the copy in front";
    pcap_dump_close(d);
    d = pcap_dump_open_append(p, f.path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->cut, 0u);
    EXPECT_EQ(d->mark.whole_from, source);
    put(93, 94);
    s = f.bytes();
    c = chain(s);
    ASSERT_FALSE(c.empty());
    EXPECT_NE(c.back(), -1) << "the chain whole again";
    for (size_t i = 0; i < c.size() && c.back() != -1; ++i) EXPECT_EQ(le32(s, (size_t)c[i]), 94 - c.size() + i);
    EXPECT_LE(s.size(), 24u + 50000u + 1200u);
    EXPECT_EQ(d->mark.whole_from, 0);
    pcap_dump_close(d);
    EXPECT_NE(access((f.path + FD_HALVE_MARK_SUFFIX).c_str(), F_OK), 0);
    pcap_close(p);
}

TEST(Mpcap, APacketThatDoesNotFitIsTakenBackAndTheChainGoesOn)
{
    scratch f;
    pcap *p = pcap_open_dead(147, 65536, 0);
    pcap_dumper *d = pcap_dump_open(p, f.path.c_str());  // writes at its offset, not appending
    put_packet(d, 1, 100, 'a');
    std::string before = f.bytes();
    {
        // A full disk: 50 more bytes fit, so the next packet stops part way.
        testutil::fsize_limit full(before.size() + 50);
        std::string data(100, 'b');
        pcap_pkthdr h{2, 0, 100, 100};
        EXPECT_EQ(pcap_dump_write(d, &h, data.data()), -1);
        EXPECT_EQ(errno, EFBIG);
        EXPECT_EQ(f.bytes(), before);
        EXPECT_EQ(pcap_dump_write_safe(d, &h, data.data()), -1);
        EXPECT_EQ(f.bytes(), before);
        put_packet(d, 3, 30, 'c');  // 46 bytes still fit
    }
    put_packet(d, 4, 100, 'd');
    std::string s = f.bytes();
    EXPECT_EQ(chain(s), (std::vector<long>{24, 140, 186}));
    EXPECT_EQ(s.substr(186 + 16), std::string(100, 'd'));
    // The size rule still finds its way through the packets (the newest
    // half, which goes behind the header without reaching its own bytes).
    EXPECT_EQ(pcap_dump_set_fsize(d, 250), 0);
    put_packet(d, 5, 1, 'e');
    pcap_dump_close(d);
    s = f.bytes();
    EXPECT_EQ(chain(s), (std::vector<long>{24, 140}));
    EXPECT_EQ(s.substr(24 + 16, 100), std::string(100, 'd'));
    pcap_close(p);
}

// A chain that breaks ends the part the size rule keeps, with its record:
// the file keeps its limit and stays readable.
TEST(Mpcap, BrokenChainEndsTheKeptPartWithItsRecord)
{
    scratch f;
    // A packet whose captured length points far beyond the file: nothing
    // before half the limit can be trusted, so the file starts anew.
    f.put(kHdr + std::string("\1\0\0\0\0\0\0\0\xff\xff\xff\xff\4\0\0\0", 16) + std::string(3000, 'q'));
    int fd = open(f.path.c_str(), O_RDWR);
    testutil::log_capture cap;
    EXPECT_EQ(pcap_trim_fd(fd, nullptr, 1000, 0), 1);
    EXPECT_TRUE(cap.has("file error offset=24 fsize=3040")) << cap.get();
    close(fd);
    EXPECT_EQ(f.bytes(), kHdr);
    // Packets past half the limit, then a header cut short: the packets
    // in the newest half of the limit up to the break are kept.
    std::string good = kHdr;
    for (u32 k = 0; k < 10; ++k) good += packet(k, 84, (char)('a' + k));  // at 24 + 100 k
    f.put(good + std::string(10, 'r'));
    fd = open(f.path.c_str(), O_RDWR);
    EXPECT_EQ(pcap_trim_fd(fd, nullptr, 600, 0), 1);
    close(fd);
    EXPECT_EQ(f.bytes(), kHdr + good.substr(824));
    EXPECT_TRUE(cap.has("file error offset=1024 fsize=1034")) << cap.get();
}

TEST(Mpcap, AppendCutsATornLastRecordAndCountsIt)
{
    scratch f;
    pcap *p = pcap_open_dead(147, 65536, 0);
    const std::string whole = kHdr + packet(1, 20, 'a') + packet(2, 30, 'b');
    testutil::log_capture cap;
    // A header cut short, data cut short, a length above the snap length.
    for (const std::string &torn : {packet(3, 30, 'c').substr(0, 10), packet(3, 30, 'c').substr(0, 21),
                                    packet(3, 70000, 'c').substr(0, 116)}) {
        f.put(whole + torn);
        pcap_dumper *d = pcap_dump_open_append(p, f.path.c_str());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->cut, 1u);
        put_packet(d, 4, 5, 'd');
        pcap_dump_close(d);
        EXPECT_EQ(f.bytes(), whole + packet(4, 5, 'd'));
    }
    EXPECT_TRUE(cap.has("the packet at offset 106 was torn; 10 bytes cut off")) << cap.get();
    // A whole chain is left as it is; a file that holds the first bytes
    // of the header only is started anew.
    f.put(whole);
    pcap_dumper *d = pcap_dump_open_append(p, f.path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->cut, 0u);
    pcap_dump_close(d);
    EXPECT_EQ(f.bytes(), whole);
    f.put(kHdr.substr(0, 10));
    d = pcap_dump_open_append(p, f.path.c_str());
    ASSERT_NE(d, nullptr);
    pcap_dump_close(d);
    EXPECT_EQ(f.bytes(), kHdr);
    pcap_close(p);
}

// A newest packet longer than the packets before it cannot go behind the
// header without reaching its own bytes: the file keeps it, over its
// limit, until the next packet's halving drops it.
TEST(Mpcap, SizeRuleKeepsANewestPacketLongerThanTheRest)
{
    scratch f;
    std::string s = kHdr + packet(0, 84, 'a') + packet(1, 84, 'b') + packet(2, 84, 'c') + packet(3, 2000, 'd');
    f.put(s);
    pcap *p = pcap_open_dead(147, 65536, 0);
    pcap_dumper *d = pcap_dump_open_append(p, f.path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(pcap_dump_set_fsize(d, 2048), 0);
    EXPECT_EQ(f.bytes(), s);
    put_packet(d, 4, 100, 'e');
    EXPECT_EQ(pcap_dump_set_fsize(d, 2048), 0);
    EXPECT_EQ(f.bytes(), kHdr + packet(4, 100, 'e'));
    pcap_dump_close(d);
    pcap_close(p);
}

// An open for appending that finds the marker of a halving cut short by a
// kill finishes it first, wherever the kill struck: a whole chain, no
// record cut off.
TEST(Mpcap, AppendFinishesAHalvingThatAKillCutShort)
{
    scratch f;
    std::string s = kHdr;
    for (u32 k = 0; k < 40; ++k) s += packet(k, 84, (char)('a' + k % 26));  // at 24 + 100 k
    pcap *p = pcap_open_dead(147, 65536, 0);
    for (i64 copied : {0, 50, 1000, 2000, -1}) {
        f.put(s);
        testutil::halving_cut_short(f.path, 2024, 4024, 24, copied);
        pcap_dumper *d = pcap_dump_open_append(p, f.path.c_str());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->cut, 0u) << copied;
        put_packet(d, 99, 5, 'z');
        pcap_dump_close(d);
        EXPECT_EQ(f.bytes(), kHdr + s.substr(2024) + packet(99, 5, 'z')) << copied;
        EXPECT_NE(access((f.path + FD_HALVE_MARK_SUFFIX).c_str(), F_OK), 0);
    }
    pcap_close(p);
}

TEST(MpcapConcurrency, FourWritersUnderTheSizeRuleKeepAWholeChain)
{
    scratch f;
    pcap *p = pcap_open_dead(147, 65536, 0);
    pcap_dumper *d = pcap_dump_open(p, f.path.c_str());
    const u64 limit = 20000;
    std::atomic<long> worst{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                std::string data(40 + (i * 31 + t) % 300, (char)('a' + t));
                pcap_pkthdr h{(u32)i, (u32)t, (u32)data.size(), (u32)data.size()};
                // The several-writer form: packet, size rule and flush as
                // one step (separate calls let each writer add a packet
                // between another's size rule and its own).
                pcap_dump_write_limited(d, &h, data.data(), limit);
                struct stat sb;
                if (stat(f.path.c_str(), &sb) == 0) {
                    long w = worst.load();
                    while (sb.st_size > w && !worst.compare_exchange_weak(w, sb.st_size)) {
                    }
                }
            }
        });
    for (auto &t : ts) t.join();
    pcap_dump_close(d);
    pcap_close(p);
    std::string s = f.bytes();
    EXPECT_LT(worst.load(), (long)(limit + 16 + 340));
    auto c = chain(s);
    ASSERT_FALSE(c.empty());
    EXPECT_NE(c.back(), -1);
    // Every packet is whole: its bytes are all one writer's letter.
    for (long off : c) {
        u32 len = le32(s, (size_t)off + 8);
        std::string body = s.substr((size_t)off + 16, len);
        EXPECT_EQ(body, std::string(len, body[0]));
    }
}

TEST(FdMove, MovesTheEndDownInSteps)
{
    scratch f;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += (char)('a' + i % 23);
    f.put(data);
    int fd = open(f.path.c_str(), O_RDWR | O_APPEND);
    ASSERT_EQ(fd_move_down(fd, 150000, 200000, 100), 0);
    ASSERT_EQ(write(fd, "!", 1), 1);  // still appends at the new end
    std::string moved = data.substr(0, 100) + data.substr(150000) + "!";
    EXPECT_EQ(f.bytes(), moved);
    // Parts that meet go through a buffer of the process, in steps.
    ASSERT_EQ(fd_move_down(fd, 1000, 50101, 10), 0);
    close(fd);
    EXPECT_EQ(f.bytes(), moved.substr(0, 10) + moved.substr(1000));
    EXPECT_EQ(fd_move_down(-1, 0, 0, 0), -1);
    EXPECT_EQ(fd_move_down(0, 10, 20, 11), -1);
}

TEST(FdMove, HalvingStaysInTheSameFileUnderAMarker)
{
    scratch f;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += (char)('a' + i % 23);
    f.put(data);
    int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    struct stat before, after;
    fstat(fd, &before);
    fd_halve_mark m;
    place(&m, f.path);
    ASSERT_EQ(fd_halve(fd, &m, 150000, 200000, 100), 1);
    ASSERT_EQ(write(fd, "!", 1), 1);  // still appends, at the new end
    EXPECT_EQ(f.bytes(), data.substr(0, 100) + data.substr(150000) + "!");
    fstat(fd, &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    // The marker stays open and says that nothing is pending.
    std::string mark = f.path + FD_HALVE_MARK_SUFFIX;
    std::ifstream in(mark);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "none" + std::string(FD_HALVE_MARK_LEN - 5, ' ') + "\n");
    // A part that would reach its own bytes is refused, the file untouched.
    EXPECT_EQ(fd_halve(fd, &m, 100, 50101, 0), -1);
    EXPECT_EQ(f.bytes().size(), 50101u);
    // Removed from outside, the marker is made anew; with none to be had
    // (a directory in its place, no name) the halving goes on without one.
    unlink(mark.c_str());
    EXPECT_EQ(fd_halve(fd, &m, 40000, 50101, 0), 1);
    EXPECT_EQ(access(mark.c_str(), F_OK), 0);
    fd_halve_mark_close(&m);
    EXPECT_NE(access(mark.c_str(), F_OK), 0);
    ASSERT_EQ(mkdir(mark.c_str(), 0755), 0);
    place(&m, f.path);
    EXPECT_EQ(fd_halve(fd, &m, 5101, 10101, 0), 0);
    EXPECT_EQ(fd_halve(fd, nullptr, 3000, 5000, 0), 0);
    fd_halve_mark_close(&m);
    rmdir(mark.c_str());
    close(fd);
    EXPECT_EQ(f.bytes(), (data.substr(0, 100) + data.substr(150000) + "!").substr(48101));
}

// An open that finds the marker of a halving cut short by a kill finishes
// it, wherever the kill struck; a marker that names another file, or does
// not fit the file, is removed and the file left as it is.
TEST(FdMove, AnOpenFinishesAHalvingThatAKillCutShort)
{
    scratch f;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += (char)('a' + i % 23);
    std::string mark = f.path + FD_HALVE_MARK_SUFFIX, want = data.substr(0, 100) + data.substr(150000);
    auto resume = [&] {
        int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        fd_halve_mark m;
        place(&m, f.path);
        int rc = fd_halve_resume(fd, &m);
        fd_halve_mark_close(&m);
        close(fd);
        EXPECT_NE(access(mark.c_str(), F_OK), 0);
        return rc;
    };
    for (i64 copied : {0, 1, 30000, 50000, -1}) {
        f.put(data);
        testutil::halving_cut_short(f.path, 150000, 200000, 100, copied);
        EXPECT_EQ(resume(), 1) << copied;
        EXPECT_EQ(f.bytes(), want) << copied;
    }
    auto left_alone = [&](const std::string &text, const std::string &file) {
        f.put(file);
        std::ofstream(mark) << text;
        EXPECT_EQ(resume(), 0) << text;
        EXPECT_EQ(f.bytes(), file) << text;
    };
    f.put(data);
    struct stat sb;
    stat(f.path.c_str(), &sb);
    char t[FD_HALVE_MARK_LEN];
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino + 1, 150000, 200000, 100);
    left_alone(std::string(t, sizeof t), data);  // another file
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino, 150000, 200000, 100);
    std::string pending(t, sizeof t);
    left_alone(pending, data.substr(0, 190000));       // a size that fits neither
    left_alone(pending.substr(0, 60), data);           // cut short
    left_alone(pending.substr(0, 20) + std::string(FD_HALVE_MARK_LEN - 21, ' ') + "\n", data);
    left_alone(std::string(t, sizeof t).replace(120, 1, "x"), data);  // written over in part
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino, 100000, 200000, 100);
    left_alone(std::string(t, sizeof t), data);  // a copy onto its own bytes
    // A link where the marker goes is removed, not followed.
    scratch other;
    other.put(pending);
    f.put(data);
    ASSERT_EQ(symlink(other.path.c_str(), mark.c_str()), 0);
    EXPECT_EQ(resume(), 0);
    EXPECT_EQ(f.bytes(), data);
    EXPECT_EQ(other.bytes(), pending);
}

// A marker is followed only when it is the program's own: any other (a
// FIFO, one that others may write, a second link, a link, another user's)
// is removed and said once, the file left as it is; and a halving never
// takes over a file it finds at the marker's name: it removes it, and says
// so when it is not the program's own.
TEST(FdMove, AMarkerThatIsNotTheProgramsOwnIsNeitherFollowedNorUsed)
{
    scratch f, other;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += (char)('a' + i % 23);
    std::string mark = f.path + FD_HALVE_MARK_SUFFIX;
    f.put(data);
    struct stat sb;
    ASSERT_EQ(stat(f.path.c_str(), &sb), 0);
    char t[FD_HALVE_MARK_LEN];
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino, 150000, 200000, 100);
    auto write_mark = [&](mode_t mode) {
        int m = open(mark.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        ASSERT_EQ(write(m, t, sizeof t), (ssize_t)sizeof t);
        fchmod(m, mode);
        close(m);
    };
    fd_halve_mark m;
    place(&m, f.path);
    auto planted = [&](const std::string &why, auto plant) {
        f.put(data);
        plant();
        int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        EXPECT_EQ(fd_halve_resume(fd, &m), 0) << why;
        close(fd);
        EXPECT_EQ(f.bytes(), data) << why;
        EXPECT_NE(access(mark.c_str(), F_OK), 0) << why;
        const char *news = fd_halve_mark_news(&m);
        EXPECT_EQ(news ? std::string(news) : "", "marker " + mark + " not followed: " + why + "; removed");
        EXPECT_EQ(fd_halve_mark_news(&m), nullptr) << "told once";
    };
    planted("a FIFO", [&] { ASSERT_EQ(mkfifo(mark.c_str(), 0644), 0); });
    planted("a FIFO", [&] { ASSERT_EQ(mkfifo(mark.c_str(), 0644), 0); });  // each one told
    planted("writable by group or others", [&] { write_mark(0664); });
    planted("a file of 2 links", [&] {
        write_mark(0644);
        ASSERT_EQ(link(mark.c_str(), other.path.c_str()), 0);
    });
    planted("a symbolic link", [&] { ASSERT_EQ(symlink(other.path.c_str(), mark.c_str()), 0); });
    if (geteuid() == 0)
        planted("a file of uid 65534", [&] {
            write_mark(0644);
            ASSERT_EQ(chown(mark.c_str(), 65534, 65534), 0);
        });
    // A halving removes what stands at the marker's name and makes its own.
    f.put(data);
    write_mark(0666);
    int theirs = open(mark.c_str(), O_RDONLY | O_CLOEXEC);
    int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    EXPECT_EQ(fd_halve(fd, &m, 150000, 200000, 100), 1);
    struct stat held, now;
    fstat(theirs, &held);
    ASSERT_EQ(stat(mark.c_str(), &now), 0);
    EXPECT_NE(now.st_ino, held.st_ino);
    EXPECT_EQ(now.st_mode & 0777, 0644u);
    EXPECT_EQ(pread(theirs, t, 8, 0), 8);
    EXPECT_EQ(std::string(t, 8), "halving ") << "their file is not written";
    close(theirs);
    const char *news = fd_halve_mark_news(&m);
    EXPECT_EQ(news ? std::string(news) : "", "marker " + mark + " not followed: writable by group or others; removed");
    ASSERT_EQ(unlink(mark.c_str()), 0);
    ASSERT_EQ(mkfifo(mark.c_str(), 0644), 0);
    EXPECT_EQ(fd_halve(fd, &m, 30000, 50100, 0), 1);
    EXPECT_EQ(stat(mark.c_str(), &now), 0);
    EXPECT_TRUE(S_ISREG(now.st_mode));
    news = fd_halve_mark_news(&m);
    EXPECT_EQ(news ? std::string(news) : "", "marker " + mark + " not followed: a FIFO; removed");
    close(fd);
    fd_halve_mark_close(&m);
}

// Lines of 100 bytes as the records of a file: the end of the last whole
// one.
i64 line_end(int fd, i64 from, i64 size, const void *)
{
    std::string b((size_t)(size - from), 0);
    if (pread(fd, b.data(), b.size(), from) != (ssize_t)b.size()) return -1;
    size_t nl = b.rfind('\n');
    return nl == std::string::npos ? from : from + (i64)nl + 1;
}

std::string marker_of(const std::string &path)
{
    std::ifstream in(path + FD_HALVE_MARK_SUFFIX);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A halving whose copy fails keeps the newest part: refused before a byte
// went over, the file stays as it was, over its limit; refused later, the
// kept part is read from its source and written back; a write-back that
// stops part way is cut back to its last whole record and says what it
// lost. A cut that is refused leaves the part whole at its source and says
// where; the marker keeps that for the next open. Whatever failed, the
// descriptor writes at the file's end after. An open's resume keeps the
// same rules, and a kill inside the write-back loses only what was not
// written back, said in the marker's finding.
TEST(FdMove, AFailedCopyNeverLosesTheNewestPart)
{
    scratch f;
    std::string data;
    for (int i = 0; i < 4000; ++i) {
        std::string l = "line " + std::to_string(i) + " ";
        data += l + std::string(99 - l.size(), 'a' + i % 23) + "\n";
    }
    std::string kept = data.substr(200000), mark = f.path + FD_HALVE_MARK_SUFFIX;
    auto &faults = testutil::faults();
    fd_halve_mark m;
    // One halving of [200000, 400000) down to 0 with the pwrite calls
    // planned, and the ftruncate calls; its result, or -errno.
    auto halve = [&](const char *pwrites, long short_n, const char *cuts = "", int flags = O_APPEND) {
        f.put(data);
        int fd = open(f.path.c_str(), O_RDWR | flags | O_CLOEXEC);
        place(&m, f.path, line_end);
        faults.arm(fd, ENOSPC, pwrites, short_n);
        faults.also(testutil::IO_FTRUNCATE, cuts);
        int rc = fd_halve(fd, &m, 200000, 400000, 0);
        int eno = errno;
        faults.disarm();
        EXPECT_EQ(write(fd, "!", 1), 1);
        close(fd);
        return rc < 0 ? -eno : rc;
    };
    auto done = [&](const char *what) {
        EXPECT_EQ(marker_of(f.path).substr(0, 5), "none ") << what;
        EXPECT_EQ(m.whole_from, 0) << what;
        fd_halve_mark_close(&m);
        EXPECT_NE(access(mark.c_str(), F_OK), 0) << what;
    };
    EXPECT_EQ(halve("F", 0), -ENOSPC);
    EXPECT_EQ(f.bytes(), data + "!");
    done("refused before a byte");
    EXPECT_EQ(halve("pf", 0), -ENOSPC);  // the first 64 KiB went over
    EXPECT_EQ(f.bytes(), kept + "!");
    EXPECT_EQ(m.lost, 0);
    done("written back");
    for (int flags : {O_APPEND, 0}) {
        EXPECT_EQ(halve("pfsF", 1050, "", flags), -ENOSPC);
        EXPECT_EQ(f.bytes(), kept.substr(0, 1000) + "!") << "cut to its last whole line, written behind it";
        EXPECT_EQ(m.lost, 199000);
        done("written back in part");
    }
    EXPECT_EQ(halve("", 0), 1) << "copy_file_range refused alone: through a buffer";
    EXPECT_EQ(f.bytes(), kept + "!");
    done("through a buffer");
    // The cut refused: the copy in front, the part at its source, the next
    // record behind it.
    EXPECT_EQ(halve("", 0, "F"), -ENOSPC);
    EXPECT_EQ(f.bytes(), kept + kept + "!");
    EXPECT_EQ(m.whole_from, 200000);
    EXPECT_EQ(marker_of(f.path).substr(0, 8), "halving ");
    fd_halve_mark_close(&m);
    EXPECT_EQ(access(mark.c_str(), F_OK), 0) << "a pending marker stays for the next open";
    int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    place(&m, f.path, line_end);
    EXPECT_EQ(fd_halve_resume(fd, &m), 0);
    EXPECT_EQ(m.whole_from, 200000) << "the next open knows where the whole records start";
    EXPECT_EQ(f.bytes(), kept + kept + "!");
    // The write-back fails part way and its cut is refused: the records are
    // whole from the end on, and so the marker says.
    fd_halve_mark_close(&m);
    close(fd);
    EXPECT_EQ(halve("pfsF", 1050, "pF"), -ENOSPC);
    EXPECT_EQ(f.bytes(), kept.substr(0, 1050) + "!");
    EXPECT_EQ(m.whole_from, 1050);
    fd_halve_mark_close(&m);
    fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    place(&m, f.path, line_end);
    EXPECT_EQ(fd_halve_resume(fd, &m), 0);
    EXPECT_EQ(m.whole_from, 1050);
    fd_halve_mark_close(&m);
    close(fd);
    // A resume whose copy is refused keeps the marker; the next one
    // finishes it.
    f.put(data);
    testutil::halving_cut_short(f.path, 200000, 400000, 0, 1000);
    fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    place(&m, f.path, line_end);
    faults.arm(fd, ENOSPC, "F");
    EXPECT_EQ(fd_halve_resume(fd, &m), -1);
    faults.disarm();
    EXPECT_EQ(access(mark.c_str(), F_OK), 0) << "stays for the next open";
    EXPECT_EQ(f.bytes().substr(1000), data.substr(1000));
    EXPECT_EQ(fd_halve_resume(fd, &m), 1);
    EXPECT_EQ(f.bytes(), kept);
    fd_halve_mark_close(&m);
    close(fd);
    // Killed inside the write-back: the file cut at 0 holds 1050 bytes of
    // the part. The open cuts it to its last whole line and says the loss.
    f.put(kept.substr(0, 1050));
    testutil::mark_pending(f.path, 200000, 400000, 0, true);
    fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    place(&m, f.path, line_end);
    EXPECT_EQ(fd_halve_resume(fd, &m), 1);
    EXPECT_EQ(write(fd, "!", 1), 1);
    EXPECT_EQ(f.bytes(), kept.substr(0, 1000) + "!");
    const char *news = fd_halve_mark_news(&m);
    EXPECT_EQ(news ? std::string(news) : "", "a halving of " + f.path +
                                                 " was cut short while its newest part was written back: 199000 "
                                                 "bytes of it were lost");
    EXPECT_NE(access(mark.c_str(), F_OK), 0);
    fd_halve_mark_close(&m);
    close(fd);
}

// After a crash report has begun no halving starts: the file is left as
// it is, and the halving says why.
TEST(FdMove, NoHalvingStartsOnceStopped)
{
    scratch f;
    std::string data = kHdr;
    for (u32 k = 0; k < 40; ++k) data += packet(k, 84, 'p');  // at 24 + 100 k
    f.put(data);
    EXPECT_EQ(testutil::in_child([&] {
                  int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
                  fd_halve_mark m;
                  place(&m, f.path);
                  fd_halve_stop();
                  int rc = fd_halve(fd, &m, 2024, 4024, 24);
                  bool quiet = pcap_trim_fd(fd, &m, 2048, 0) == 0;
                  return rc == -1 && errno == ECANCELED && quiet && access((f.path + FD_HALVE_MARK_SUFFIX).c_str(), F_OK) != 0 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(f.bytes(), data);
}

}  // namespace
