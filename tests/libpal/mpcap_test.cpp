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
#include "libpal/halve_util.h"
#include "libpal/mpcap/mpcap.h"
#include "libpal/os/fd_move.h"
#include "libpal/os/fd_open.h"

namespace {

using namespace halvetest;
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
    EXPECT_EQ(told.halve.fails, 1u);
    EXPECT_EQ(told.halve.eno, ENOSPC);
    EXPECT_EQ(told.halve.say_eno, ENOSPC);
    EXPECT_FALSE(pcap_dump_news(d, &told)) << "one writer tells it";
    told.halve.fails = 0;  // its record could not be written: it stays due
    pcap_dump_news_done(d, &told);
    ASSERT_TRUE(pcap_dump_news(d, &told));
    EXPECT_EQ(told.halve.fails, 1u);
    EXPECT_EQ(told.halve.say_eno, 0) << "standard error is told once";
    pcap_dump_news_done(d, &told);
    EXPECT_FALSE(pcap_dump_news(d, &told));
    d->halve.retry_us = 1;  // the second is over
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
    EXPECT_EQ(told.halve.fails, 1u);
    EXPECT_EQ(told.halve.lost, 50000u - 2000u);
    pcap_dump_close(d);
    // A cut that is refused: the copy stays in front, the chain broken
    // behind it, and nothing is lost: the next halving keeps the packets
    // from the kept part's start on, and the chain is whole again; an open
    // for appending meanwhile cuts nothing off. (Packets of six sizes, so
    // that the copy ends inside an older packet.)
    d = pcap_dump_open(p, f.path.c_str());
    auto len = [](u32 k) { return 984u + 100u * (k % 3) + 30u * (k % 2); };
    auto put = [&](u32 from, u32 to) {
        for (u32 k = from; k < to; ++k) {
            std::string data(len(k), 'v');
            pcap_pkthdr h{k, 7, (u32)data.size(), (u32)data.size()};
            ASSERT_EQ(pcap_dump_write_limited(d, &h, data.data(), 100000), (int)data.size());
        }
    };
    put(0, 89);
    testutil::faults().arm(fileno(d->fp), 0, "");
    testutil::faults().also(testutil::IO_FTRUNCATE, "F");
    put(89, 92);
    testutil::faults().disarm();
    i64 source = d->mark.whole_from;
    EXPECT_GT(source, 50000);
    s = f.bytes();
    size_t total = 24;
    for (u32 k = 0; k < 92; ++k) total += 16 + len(k);
    EXPECT_EQ(s.size(), total) << "nothing cut";
    EXPECT_EQ(s.substr(24, 16), s.substr((size_t)source, 16)) << "the copy in front";
    EXPECT_EQ(chain(s).back(), -1) << "the chain broken behind it";
    pcap_dump_close(d);
    d = pcap_dump_open_append(p, f.path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->mark.news, 0) << "nothing cut off";
    EXPECT_EQ(d->mark.whole_from, source);
    put(92, 93);
    s = f.bytes();
    c = chain(s);
    ASSERT_FALSE(c.empty());
    EXPECT_NE(c.back(), -1) << "the chain whole again";
    for (size_t i = 0; i < c.size() && c.back() != -1; ++i) EXPECT_EQ(le32(s, (size_t)c[i]), 93 - c.size() + i);
    EXPECT_LE(s.size(), 24u + 50000u + 1250u);
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
    // A header cut short, data cut short, a length above the snap length,
    // one with whole packets behind it (a copy whose cut was refused, with
    // no marker to go by): cut at the break, told in bytes.
    std::string told;
    for (const std::string &torn : {packet(3, 30, 'c').substr(0, 10), packet(3, 30, 'c').substr(0, 21),
                                    packet(3, 70000, 'c').substr(0, 116),
                                    packet(3, 70000, 'c').substr(0, 16) + packet(5, 984, 'e') + packet(6, 984, 'e')}) {
        f.put(whole + torn);
        pcap_dumper *d = pcap_dump_open_append(p, f.path.c_str());
        ASSERT_NE(d, nullptr);
        const char *why = fd_halve_mark_news(&d->mark);
        told += why ? std::string(why) + "\n" : "(none)\n";
        put_packet(d, 4, 5, 'd');
        pcap_dump_close(d);
        EXPECT_EQ(f.bytes(), whole + packet(4, 5, 'd'));
    }
    std::string want;
    for (int n : {10, 21, 116, 2016})
        want += f.path + ": the packet at offset 106 was torn; " + std::to_string(n) + " bytes cut off\n";
    EXPECT_EQ(told, want);
    // A whole chain is left as it is; a file that holds the first bytes
    // of the header only is started anew.
    f.put(whole);
    pcap_dumper *d = pcap_dump_open_append(p, f.path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->mark.news, 0);
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
        EXPECT_EQ(d->mark.news, 0) << copied;
        put_packet(d, 99, 5, 'z');
        pcap_dump_close(d);
        EXPECT_EQ(f.bytes(), kHdr + s.substr(2024) + packet(99, 5, 'z')) << copied;
        EXPECT_NE(access((f.path + FD_HALVE_MARK_SUFFIX).c_str(), F_OK), 0);
    }
    // A marker whose numbers name a part of torn packets, or a copy to
    // anywhere but behind the header, is not followed: every packet stays.
    for (auto [from, to] : {std::pair<i64, i64>{2074, 24}, {2024, 20}}) {
        f.put(s);
        testutil::mark_pending(f.path, from, 4024, to);
        pcap_dumper *d = pcap_dump_open_append(p, f.path.c_str());
        EXPECT_TRUE(d && d->mark.news) << from;
        pcap_dump_close(d);
        EXPECT_EQ(f.bytes(), s) << from;
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

}  // namespace
