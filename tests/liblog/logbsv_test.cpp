#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/log_capture.h"
#include "common/udp_collector.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "liblog/logfile_util.h"
#include "libpal/env/os_mutex.h"
#include "libpal/os/os_thread.h"

namespace {

using collector = testutil::udp_collector;

// The log message of a frame ("" when the frame does not parse).
std::string message_of(std::string f)
{
    if (bsv_parse_net_type(f.data(), (int)f.size()) != 5) return "";
    size_t host_end = f.find('\0', 8 + 34);
    if (host_end == std::string::npos) return "";
    std::string rec = f.substr(host_end + 1, f.size() - host_end - 2);
    size_t at = 21;
    for (int i = 0; i < 5 && at < rec.size(); ++i) at = rec.find('\0', at) + 1;
    return at < rec.size() ? rec.substr(at, rec.find('\0', at) - at) : "";
}

struct LogBsv : testing::Test {
    logtest::quiet_ctx q;
    log_bsv_udp_state *st() { return &q.c->bsv; }
    void send(const char *text, u32 bits = LOG_OPT_BSVNET)
    {
        log2_printf(q.c, (int)(6 | bits), "tmod", "src/x", 1, "fn", "%s\n", text);
    }
    // Waits (bounded) for the sender to have opened the socket; the flag
    // is the sender's, so it is read under its lock.
    void wait_opened()
    {
        for (int i = 0; i < 200; ++i) {
            {
                pthread_guard g(&st()->lock);
                if (!st()->opening) return;
            }
            usleep(5000);
        }
    }
    void TearDown() override { bsv_net_cipher_set(0); }
};

TEST_F(LogBsv, FramesOfMarkedRecordsReachTheCollector)
{
    collector col;
    ASSERT_EQ(log_bsv_udp_open(st(), col.url().c_str()), 0);
    EXPECT_EQ(log_bsv_udp_close(st()), 0);  // a second open may follow a close
    ASSERT_EQ(log_bsv_udp_open(st(), col.url().c_str()), 0);
    wait_opened();
    send("plain record", 0);
    send("marked record");
    send("bsv only", LOG_OPT_BSVONLY);
    auto fr = col.frames(3000);
    ASSERT_EQ(fr.size(), 2u);
    EXPECT_EQ(message_of(fr[0]), "marked record\n");
    EXPECT_EQ(message_of(fr[1]), "bsv only\n");
    EXPECT_EQ((u8)fr[0][3], 0x02);
    EXPECT_STREQ(log_bsv_get(st())->url, col.url().c_str());
    EXPECT_EQ(log_bsv_udp_close(st()), 0);
    EXPECT_STREQ(st()->url, "");
    send("after close");
    EXPECT_TRUE(col.frames(200).empty());
}

TEST_F(LogBsv, TheFirstFrameBeforeTheSocketIsHeldOthersDropped)
{
    collector col;
    ASSERT_EQ(log_bsv_udp_hold(st(), col.url().c_str()), 0);
    send("held one");
    send("dropped one");
    ASSERT_EQ(log_bsv_udp_start(st()), 0);
    auto fr = col.frames(3000);
    ASSERT_EQ(fr.size(), 1u);
    EXPECT_EQ(message_of(fr[0]), "held one\n");
}

TEST_F(LogBsv, SecondOpenReplacesTheFirstAndCipherFollowsTheScheme)
{
    collector a, b;
    ASSERT_EQ(log_bsv_udp_open(st(), a.url().c_str()), 0);
    ASSERT_EQ(log_bsv_udp_open(st(), b.url("UDPS").c_str()), 0);
    wait_opened();
    send("to b");
    auto fb = b.frames(3000);
    ASSERT_EQ(fb.size(), 1u);
    EXPECT_EQ((u8)fb[0][3], 0x06);
    EXPECT_EQ(message_of(fb[0]), "to b\n");
    EXPECT_TRUE(a.frames(100).empty());
}

TEST_F(LogBsv, UrlDefaultsAndFailures)
{
    testutil::log_capture cap;
    ASSERT_EQ(log_bsv_udp_hold(st(), "udp://127.0.0.1"), 0);
    EXPECT_EQ(st()->port, 514u);
    std::string longurl = "udp://" + std::string(9000, 'h');
    EXPECT_EQ(log_bsv_udp_open(st(), longurl.c_str()), -1);
    EXPECT_STREQ(st()->url, "");
    // An unresolvable host: one record names host and port, frames are
    // dropped.
    ASSERT_EQ(log_bsv_udp_open(st(), "udp://no-such-host.invalid:5140"), 0);
    log_bsv_udp_close(st());
    EXPECT_TRUE(cap.has("os_udp_open no-such-host.invalid:5140 failed\n")) << cap.get();
}

TEST_F(LogBsv, ConcurrencyLoggingWhileTheOutputOpensAndCloses)
{
    collector col;
    std::atomic<bool> stop{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            while (!stop.load()) send("busy");
        });
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(log_bsv_udp_open(st(), col.url().c_str()), 0);
        usleep(2000);
        if (i % 2) log_bsv_udp_close(st());
    }
    stop.store(true);
    for (auto &t : ts) t.join();
    log_bsv_udp_close(st());
    EXPECT_FALSE(col.frames(1000).empty());
}

}  // namespace
