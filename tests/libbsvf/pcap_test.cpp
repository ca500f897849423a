#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/log_capture.h"
#include "libbsv/bsv_log.h"
#include "libbsvf/pcap.h"
#include "liblog/log.h"
#include "liblog/logfile_util.h"
#include "libpal/env/tid_name.h"
#include "libpal/mpcap/mpcap.h"

namespace {

using logtest::read_file;
using logtest::tmp_dir;

u32 le32(const std::string &s, size_t at)
{
    u32 v;
    memcpy(&v, s.data() + at, 4);
    return v;
}

// Packet offsets of a little-endian file whose chain ends at its end; an
// empty list when it does not.
std::vector<size_t> packets(const std::string &s)
{
    std::vector<size_t> out;
    size_t off = 24;
    while (off + 16 <= s.size()) {
        out.push_back(off);
        off += 16 + le32(s, off + 8);
    }
    if (off != s.size()) out.clear();
    return out;
}

TEST(BsvfPcap, LinkTypesOfRecordTypes)
{
    EXPECT_EQ(bsvf_type_2_dlt(1), 147);
    EXPECT_EQ(bsvf_type_2_dlt(15), 161);
    testutil::log_capture cap;
    EXPECT_EQ(bsvf_type_2_dlt(0), -1);
    EXPECT_EQ(bsvf_type_2_dlt(16), -1);
    EXPECT_TRUE(cap.has("type=0 error\n"));
    EXPECT_TRUE(cap.has("type=16 error\n"));
    tmp_dir d;
    EXPECT_EQ(bsvf_pcap_create((d / "x.pcap").c_str(), 16), nullptr);
}

TEST(BsvfPcap, RecordsBecomePacketsWithTheirTime)
{
    tmp_dir d;
    std::string p = d / "r.pcap";
    bsvf_pcap *h = bsvf_pcap_create(p.c_str(), 1);
    ASSERT_NE(h, nullptr);
    u8 rec[BSV_LOG_REC_MAX];
    int len = bsv_log_build(rec, 6, "tmod", "src/x", 42, "fn", "hello\n");
    ASSERT_GT(len, 21);
    EXPECT_EQ(bsvf_pcap_write(h, rec, len), len - 12);
    // 13 bytes give one data byte; 12 and fewer are refused.
    EXPECT_EQ(bsvf_pcap_write(h, rec, 13), 1);
    testutil::log_capture cap;
    EXPECT_EQ(bsvf_pcap_write(h, rec, 12), -1);
    EXPECT_EQ(bsvf_pcap_write(h, rec, 0), -1);
    EXPECT_TRUE(cap.has("expr[len > 12]: assert failed")) << cap.get();
    EXPECT_EQ(bsvf_pcap_flush(h), 0);
    bsvf_pcap_close(h);
    std::string s = read_file(p);
    EXPECT_EQ(s.substr(0, 24), std::string("\xd4\xc3\xb2\xa1\x02\x00\x04\x00" "\0\0\0\0\0\0\0\0"
                                           "\x00\x00\x01\x00\x93\x00\x00\x00", 24));
    auto pk = packets(s);
    ASSERT_EQ(pk.size(), 2u);
    u32 sec, usec;
    memcpy(&sec, rec, 4);
    memcpy(&usec, rec + 8, 4);
    EXPECT_EQ(le32(s, 24), sec);
    EXPECT_EQ(le32(s, 28), usec);
    EXPECT_EQ(s.substr(24 + 16, (size_t)len - 12), std::string((char *)rec + 12, (size_t)len - 12));
    EXPECT_EQ(le32(s, pk[1] + 8), 1u);
    // A big-endian record type gives a big-endian file of its own link type.
    h = bsvf_pcap_create(p.c_str(), 2);
    ASSERT_NE(h, nullptr);
    bsvf_pcap_close(h);
    EXPECT_EQ(read_file(p).substr(0, 8), std::string("\xa1\xb2\xc3\xd4\x00\x02\x00\x04", 8));
    EXPECT_EQ(read_file(p).substr(20, 4), std::string("\x00\x00\x00\x94", 4));
}

TEST(BsvfPcap, AppendGoesOnBehindThePackets)
{
    tmp_dir d;
    std::string p = d / "a.pcap";
    u8 rec[BSV_LOG_REC_MAX];
    int len = bsv_log_build(rec, 6, "tmod", "src/x", 1, "fn", "one\n");
    for (int run = 0; run < 2; ++run) {
        bsvf_pcap *h = bsvf_pcap_append(p.c_str(), 1);
        ASSERT_NE(h, nullptr);
        bsvf_pcap_write(h, rec, len);
        bsvf_pcap_close(h);
    }
    EXPECT_EQ(packets(read_file(p)).size(), 2u);
    EXPECT_EQ(bsvf_pcap_append(p.c_str(), 2), nullptr);  // another byte order: refused
}

struct LogPcap : testing::Test {
    tmp_dir d;
    logtest::quiet_ctx q;
    std::string path = d / "log.pcap";
    void open(const char *mode = "w", i32 limit = LOG_FILE_SIZE_DEFAULT)
    {
        log_file_mode_set(&q.c->file, mode);
        log_file_size_set(&q.c->file, limit);
        log_file_pcap_detach(&q.c->file);
        ASSERT_EQ(log_file_open(&q.c->file, path.c_str()), 0);
        q.c->file_on.store(1);
    }
    void TearDown() override { log_file_pcap_detach(&q.c->file); }
};

TEST_F(LogPcap, LogRecordsBecomePacketsAndNoTextIsWritten)
{
    open();
    EXPECT_EQ(q.c->file.kind, LOG_FILE_KIND_PCAP);
    q.log(6, "%s\n", "first");
    q.log(3, "%s\n", "second");
    log_file_pcap_detach(&q.c->file);
    q.log(6, "%s\n", "after the hook is gone");
    std::string s = read_file(path);
    auto pk = packets(s);
    ASSERT_EQ(pk.size(), 2u);
    EXPECT_NE(s.find("second\n"), std::string::npos);
    EXPECT_EQ(s.find("after the hook"), std::string::npos);
    EXPECT_EQ(le32(s, pk[0] + 16), os_getpid());
    EXPECT_EQ((u8)s[pk[1] + 16 + 8], 3);  // level byte
}

TEST_F(LogPcap, FailedCreationIsReportedAndTriedAgainUntilItOpens)
{
    std::string dir = d / "missing";
    path = dir + "/x.pcap";
    log_file_pcap_detach(&q.c->file);
    q.c->file_on.store(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_file_open(&q.c->file, path.c_str()), -1);
    EXPECT_STREQ(q.c->file.name, path.c_str());
    EXPECT_EQ(q.c->file.pcap, nullptr);
    q.log(6, "%s\n", "dropped, the next try is not due yet");
    q.c->file.open_retry_us = 0;  // a second later: still no directory
    q.log(6, "%s\n", "dropped");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    q.c->file.open_retry_us = 0;
    q.log(6, "%s\n", "after");
    std::string err = testing::internal::GetCapturedStderr();
    size_t told = err.find("cannot open log file " + path + ": No such file or directory");
    EXPECT_NE(told, std::string::npos) << err;
    EXPECT_EQ(err.find("cannot open log file", told + 1), std::string::npos) << err;
    std::string s = read_file(path);
    auto pk = packets(s);
    ASSERT_EQ(pk.size(), 3u);
    EXPECT_NE(s.find("log file " + path + " opened after 2 failed attempts\n", pk[0]), std::string::npos);
    EXPECT_NE(s.find("2 log records dropped: the file could not be written (No such file or directory)\n", pk[1]),
              std::string::npos);
    EXPECT_NE(s.find("after\n", pk[2]), std::string::npos);
}

TEST_F(LogPcap, ConcurrencyFourThreadsKeepTheLimitAndAWholeChain)
{
    const i32 limit = 16384;
    open("w", limit);
    std::vector<std::thread> ts;
    std::atomic<long> worst{0};
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                q.log(6, "%s\n", "t" + std::to_string(t) + "_" + std::to_string(i) + std::string(20 + i % 90, 'x'));
                long sz = (long)logtest::file_size(path);
                long w = worst.load();
                while (sz > w && !worst.compare_exchange_weak(w, sz)) {
                }
            }
        });
    for (auto &t : ts) t.join();
    q.log(6, "%s\n", "the last record");
    log_file_pcap_detach(&q.c->file);
    std::string s = read_file(path);
    auto pk = packets(s);
    ASSERT_FALSE(pk.empty());
    EXPECT_LT(worst.load(), (long)limit + 16 + 1458);
    EXPECT_NE(s.find("the last record", pk.back()), std::string::npos);
    // The halvings put new files in place: none counts as a vanished file.
    EXPECT_EQ(s.find("records dropped"), std::string::npos);
}

TEST_F(LogPcap, AppendedFileWithATornRecordIsCutAndTheDropIsTold)
{
    open();
    q.log(6, "%s\n", "first run");
    log_file_pcap_detach(&q.c->file);
    std::string whole = read_file(path);
    ASSERT_EQ(packets(whole).size(), 1u);
    // The next packet's write was cut short: its header and a part of its data.
    std::string torn = whole.substr(24, 30);
    logtest::write_file(path, whole + torn);
    open("a");
    q.log(6, "%s\n", "second run");
    log_file_pcap_detach(&q.c->file);
    std::string s = read_file(path);
    auto pk = packets(s);
    ASSERT_EQ(pk.size(), 3u);
    EXPECT_EQ(s.substr(0, whole.size()), whole);
    EXPECT_NE(s.find(path + ": the packet at offset " + std::to_string(whole.size()) + " was torn; 30 bytes cut off\n",
                     pk[1]),
              std::string::npos);
    EXPECT_NE(s.find("second run\n", pk[2]), std::string::npos);
}

TEST_F(LogPcap, NameThatCannotBeOpenedAgainDropsCountedRecordsUntilTheRetry)
{
    std::string dir = d / "sub";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    path = dir + "/log.pcap";
    open();
    q.log(6, "%s\n", "first");
    std::filesystem::remove_all(dir);
    logtest::write_file(dir, "a file where the directory was");
    usleep(2000);  // the next record looks at the file
    q.log(6, "%s\n", "dropped");
    q.log(6, "%s\n", "dropped");
    ASSERT_EQ(unlink(dir.c_str()), 0);
    q.log(6, "%s\n", "dropped, the next try is not due yet");
    EXPECT_EQ(logtest::file_size(path), -1);
    q.c->file.pcap->dumper->look_due = 0;  // a second later
    q.log(6, "%s\n", "after");
    std::string s = read_file(path);
    auto pk = packets(s);
    ASSERT_EQ(pk.size(), 3u);
    EXPECT_NE(s.find("log file " + path + " opened after 1 failed attempts\n"), std::string::npos);
    EXPECT_NE(s.find("3 log records dropped: the file could not be written (Not a directory)\n"), std::string::npos);
    EXPECT_NE(s.find("after\n", pk[2]), std::string::npos);
}

TEST_F(LogPcap, ConcurrencyMovedOrRemovedFileAndDirectoryAreMadeAnew)
{
    std::string dir = d / "sub", moved = d / "moved.pcap";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    path = dir + "/log.pcap";
    open();
    std::atomic<bool> stop{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 1000000 && !stop.load(); ++i) q.log(6, "%s\n", "t" + std::to_string(t));
        });
    auto made_again = [&] {
        for (int i = 0; i < 5000 && logtest::file_size(path) <= 24; ++i) usleep(1000);
        return logtest::file_size(path) > 24;
    };
    ASSERT_TRUE(made_again());
    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
    EXPECT_TRUE(made_again()) << "after a move";
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_TRUE(made_again()) << "after a deletion";
    ASSERT_EQ(rename(dir.c_str(), (d / "gone").c_str()), 0);
    std::filesystem::remove_all(d / "gone");
    EXPECT_TRUE(made_again()) << "after the directory went";
    stop.store(true);
    for (auto &t : ts) t.join();
    usleep(2000);  // the next record looks at the file
    q.log(6, "%s\n", "the last record");
    log_file_pcap_detach(&q.c->file);
    // Whole chains behind their headers, in the moved file and the new one.
    std::string s = read_file(path);
    auto pk = packets(s);
    ASSERT_FALSE(pk.empty());
    EXPECT_EQ(le32(s, 0), 0xa1b2c3d4u);
    EXPECT_NE(s.find("the last record", pk.back()), std::string::npos);
    EXPECT_FALSE(packets(read_file(moved)).empty());
}

}  // namespace
