#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/text_match.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "liblog/logfile_util.h"

// Opening the log file: its directories at every attempt, the records of
// a file that is held.

namespace {

using logtest::lines_of;
using logtest::read_file;

struct LogFileOpen : testing::Test {
    logtest::tmp_dir dir;
    logtest::quiet_ctx q;
    log_file_state *st() { return &q.c->file; }
};

// file_dir is made by the open, at every attempt: one that a file stands
// in the way of is made once that is gone, and the records dropped
// meanwhile are told with the error of the step that failed.
TEST_F(LogFileOpen, FileDirIsMadeAtEveryAttemptAndItsOwnErrorIsTold)
{
    std::string way = dir / "logs", p = way + "/sub/f.log";
    logtest::write_file(way, "in the way");
    ASSERT_EQ(log_file_dir_set(st(), (way + "/sub").c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_file_open(st(), "f.log"), -1);
    q.c->file_on.store(1);
    q.log(6, "%s\n", "dropped");
    ASSERT_EQ(unlink(way.c_str()), 0);
    st()->retry_us = 0;  // a second later
    q.log(6, "%s\n", "written");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "test_liblog: cannot open log file " + p + ": Not a directory (its records are dropped until it opens)\n");
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(testutil::text_like(lines[0].c_str(), ("{*} tag log file " + p + " opened after 2 failed attempts").c_str()))
        << lines[0];
    EXPECT_TRUE(testutil::text_like(lines[1].c_str(), "{*} tag 1 log records dropped: the file could not be written "
                                                      "(Not a directory)"))
        << lines[1];
}

// Records that come while the file is held are kept with their own time
// and written first when it opens, a pcap file's packets too; what did not
// fit is counted and told.
TEST_F(LogFileOpen, RecordsOfAHeldFileAreWrittenFirstWhenItOpens)
{
    std::string p = dir / "h.log", big(8000, 'b');
    ASSERT_EQ(log_file_hold(st(), p.c_str()), 0);
    q.c->file_on.store(1);
    q.log(6, "%s\n", "kept first");
    for (int i = 0; i < 40; ++i) q.log(6, "%s\n", big);  // over LOG_KEEP_MAX
    EXPECT_EQ(logtest::file_size(p), -1);
    usleep(2000);
    {
        log_output_lock g(q.c);
        ASSERT_EQ(log_file_release(st()), 0);
    }
    q.log(6, "%s\n", "after");
    auto lines = lines_of(read_file(p));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(testutil::text_like(lines[0].c_str(), "{*} INFO  {d} --- [{*}] tmod kept first")) << lines[0];
    EXPECT_LT(lines[0].substr(0, 26), lines.back().substr(0, 26)) << "stamped when logged";
    size_t kept = lines.size() - 3;
    EXPECT_TRUE(testutil::text_like(lines[kept + 1].c_str(), ("{*} WARN  {d} --- [{*}] tag " + std::to_string(40 - kept) +
                                                              " log records dropped: the file could not be written "
                                                              "(No buffer space available)").c_str()))
        << lines[kept + 1];
    EXPECT_TRUE(testutil::text_like(lines.back().c_str(), "{*} tmod after")) << lines.back();
    std::string pc = dir / "h.pcap";
    ASSERT_EQ(log_file_hold(st(), pc.c_str()), 0);
    q.log(6, "%s\n", "packet kept");
    {
        log_output_lock g(q.c);
        ASSERT_EQ(log_file_release(st()), 0);
    }
    q.log(6, "%s\n", "packet after");
    std::string pcap = read_file(pc);
    size_t at = pcap.find("packet kept");
    EXPECT_NE(at, std::string::npos);
    EXPECT_GT(pcap.find("packet after"), at);
}

// Threads log into a held pcap file while it opens: each packet is in the
// file once, in its thread's order, whether it was kept or written.
TEST(LogFileOpenConcurrency, PacketsOfAHeldPcapFileAreEachWrittenOnceAcrossItsOpen)
{
    logtest::tmp_dir dir;
    logtest::quiet_ctx q;
    std::string p = dir / "c.pcap";
    ASSERT_EQ(log_file_hold(&q.c->file, p.c_str()), 0);
    constexpr int kThreads = 4, kEach = 300;
    std::atomic<int> logged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                char text[32];
                snprintf(text, sizeof text, "c-%d-%04d", t, i);
                q.log(6, "%s\n", text);
                logged.fetch_add(1);
            }
        });
    while (logged.load() < kThreads * kEach / 2) usleep(100);
    {
        log_output_lock g(q.c);
        EXPECT_EQ(log_file_release(&q.c->file), 0);
    }
    for (auto &th : threads) th.join();
    std::string pcap = read_file(p);
    for (int t = 0; t < kThreads; ++t) {
        size_t last = 0;
        for (int i = 0; i < kEach; ++i) {
            char text[32];
            snprintf(text, sizeof text, "c-%d-%04d", t, i);
            size_t at = pcap.find(text);
            ASSERT_NE(at, std::string::npos) << text;
            EXPECT_EQ(pcap.find(text, at + 1), std::string::npos) << text;
            EXPECT_GT(at, last) << text;
            last = at;
        }
    }
}

}  // namespace
