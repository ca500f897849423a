#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "common/text_match.h"
#include "liblog/logfile_util.h"

// Opening the log file: its directories, the records kept while it is held.

namespace {

using logtest::read_file;
using testutil::text_like;

struct LogFileOpen : testing::Test {
    logtest::tmp_dir dir;
    logtest::quiet_ctx q;
    log_file_state *st() { return &q.c->file; }
    int release() { log_output_lock g(q.c); return log_file_release(st()); }  // as the start-up checks end
};
using LogFileOpenConcurrency = LogFileOpen;

// file_dir is made by the open, at every attempt: a file in its way fails
// it with that step's error, and it is made once that is gone. Records that
// come while the file is held are kept with their own time and written
// first when it opens; what did not fit is counted and told.
TEST_F(LogFileOpen, DirsAreMadeAtEveryAttemptAndAHeldFilesRecordsComeFirst)
{
    std::string way = dir / "logs", p = way + "/sub/f.log", big(8000, 'b');
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
    auto lines = logtest::lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 3u);  // opened after 2 attempts, 1 dropped, written
    ASSERT_EQ(log_file_hold(st(), "h.log"), 0);
    q.log(6, "%s\n", "kept first");
    usleep(2000);
    for (int i = 0; i < 40; ++i) q.log(6, "%s\n", big);  // over LOG_KEEP_MAX
    ASSERT_EQ(release(), 0);
    q.log(6, "%s\n", "after");
    lines = logtest::lines_of(read_file(way + "/sub/h.log"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(text_like(lines[0].c_str(), "{*} tmod kept first")) << lines[0];
    EXPECT_LT(lines[0].substr(0, 26), lines[1].substr(0, 26)) << "stamped when logged";
    size_t kept = lines.size() - 3;  // big ones; the warn and "after" follow
    EXPECT_TRUE(text_like(lines[kept + 1].c_str(), ("{*} tag " + std::to_string(40 - kept) +
                                                    " log records dropped: {*} (No buffer space available)").c_str()))
        << lines[kept + 1];
}

// Threads log into a held pcap file while it opens: each packet is in the
// file once, in its thread's order, whether it was kept or written.
TEST_F(LogFileOpenConcurrency, PacketsOfAHeldPcapFileAreEachWrittenOnceAcrossItsOpen)
{
    ASSERT_EQ(log_file_hold(st(), (dir / "c.pcap").c_str()), 0);
    constexpr int kThreads = 4, kEach = 300;
    std::atomic<int> logged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i, logged.fetch_add(1))
                q.log(6, "%s\n", "c-" + std::to_string(t) + "-" + std::to_string(i) + ".");
        });
    for (int n = 0; n < 20000 && logged.load() < kThreads * kEach / 2; ++n) usleep(100);  // amid the threads
    EXPECT_EQ(release(), 0);
    for (auto &th : threads) th.join();
    std::string pcap = read_file(dir / "c.pcap");
    int next[kThreads] = {}, t, i;
    for (size_t at = 0; (at = pcap.find("c-", at)) != std::string::npos; ++at) {
        if (sscanf(pcap.c_str() + at, "c-%d-%d.", &t, &i) != 2 || t < 0 || t >= kThreads) continue;
        EXPECT_EQ(i, next[t]++) << "thread " << t << ": each once, in order";
    }
    for (t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach) << t;
}

}  // namespace
