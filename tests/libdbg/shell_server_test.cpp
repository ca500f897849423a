// The TCP shell server over loopback: concurrent sessions, a full session
// table, stopping with sessions open, and the thread and descriptor counts
// afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dbg_test_util.h"
#include "libdbg/dbgsrv.h"
#include "libnet/sock_event.h"
#include "libsh/libsh.h"

namespace {

using dbgtest::dial;
using dbgtest::now_ms;
using dbgtest::peer;
using dbgtest::wait_for;
using nettest::fd_count;
using nettest::thread_count;

std::string reply_of(const std::string &text)
{
    return text + "\r\n" + std::string(1, '\0');
}

struct server_fixture : dbgtest::server_fixture {
    int base_threads = 0;
    int base_fds = 0;

    void SetUp() override
    {
        dbgtest::server_fixture::SetUp();
        base_threads = thread_count();
        base_fds = fd_count();
    }
    bool back_to_baseline(int ms = 8000)
    {
        return wait_for([&] { return thread_count() == base_threads && fd_count() == base_fds; }, ms);
    }
};

struct ShellServer : server_fixture {};
struct ShellServerConcurrency : server_fixture {};

TEST_F(ShellServerConcurrency, SixteenSessionsFiftyCommandsEach)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 16; ++c) {
        clients.emplace_back([&, c] {
            peer p = dial(port);
            if (p.fd < 0) {
                wrong += 50;
                return;
            }
            for (int i = 0; i < 50; ++i) {
                std::string word = "c" + std::to_string(c) + "_" + std::to_string(i);
                // Alternate the two terminators.
                std::string req = "echo " + word + (i % 2 ? std::string("\n") : std::string(1, '\0'));
                if (!p.send_all(req) || p.replies(1) != reply_of(word)) ++wrong;
            }
        });
    }
    for (auto &t : clients) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(back_to_baseline());
}

TEST_F(ShellServerConcurrency, StopWithSessionsOpenAndBusy)
{
    std::vector<peer> peers;
    for (int i = 0; i < 32; ++i) {
        peers.push_back(dial(port));
        ASSERT_TRUE(peers.back().send_all("echo " + std::to_string(i) + "\n"));
        ASSERT_EQ(peers.back().replies(1), reply_of(std::to_string(i)));
    }
    // Half of them stop in the middle of a request, the other half keep
    // sending while the server stops.
    for (int i = 0; i < 16; ++i) peers[i].send_all("echo unfinished");
    std::atomic<bool> go{true};
    std::thread noise([&] {
        while (go.load())
            for (int i = 16; i < 32; ++i) peers[i].send_all("echo n\n", 50);
    });
    long long t0 = now_ms();
    stop();
    EXPECT_LT(now_ms() - t0, 5000);  // not one join limit (1000 ms) per session
    go = false;
    noise.join();
    for (auto &p : peers) EXPECT_TRUE(p.closes_within(5000));
    peers.clear();
    // Every session thread has ended, and so has "sock_listen".
    EXPECT_TRUE(wait_for([&] { return thread_count() == base_threads - 1; }, 5000));
    // Nobody can connect any more.
    EXPECT_LT(dial(port).fd, 0);
}

TEST_F(ShellServer, FullTableMakesWayThenBaseline)
{
    nettest::log_capture log;
    auto answered = [](peer &p, const std::string &word) {
        return p.send_all("echo " + word + "\n") && p.replies(1) == reply_of(word);
    };
    std::vector<peer> peers;
    // Each connection is answered before the next one comes.
    for (u32 i = 0; i < DBGSRV_MAX_SESSIONS; ++i) {
        peers.push_back(dial(port));
        ASSERT_GE(peers.back().fd, 0) << i;
        ASSERT_TRUE(answered(peers.back(), std::to_string(i))) << i;
    }
    // All but the last one are asked again: the last, accepted last, has
    // now been idle longest, then the first ones in turn.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (u32 i = 0; i + 1 < DBGSRV_MAX_SESSIONS; ++i) ASSERT_TRUE(answered(peers[i], "s" + std::to_string(i))) << i;
    // Each new connection is served, and the session idle longest makes
    // way for it; one record for the burst.
    std::vector<peer> extra;
    for (int k = 0; k < 3; ++k) {
        extra.push_back(dial(port));
        EXPECT_TRUE(answered(extra.back(), "new" + std::to_string(k))) << k;
    }
    for (u32 k : {DBGSRV_MAX_SESSIONS - 1, 0u, 1u}) EXPECT_TRUE(peers[k].closes_within(5000)) << k;
    EXPECT_TRUE(answered(peers[2], "still"));
    EXPECT_TRUE(wait_for([&] { return log.has("256 sessions open, the one idle longest ("); }, 5000));
    std::string text = log.get();
    size_t first = text.find("sessions open");
    EXPECT_EQ(text.find("sessions open", first + 1), std::string::npos) << "rate-limited";
    EXPECT_NE(text.find(" closed for a connection from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(text.find(" (1 closed since the last record)\n"), std::string::npos);
    // The two held back are told within two seconds, with no further one.
    EXPECT_TRUE(wait_for([&] { return log.has("2 sessions closed for new connections since the last record\n"); },
                         4000));
    // quit ends only its own session, and leaves room: the next connection
    // ends no other.
    ASSERT_TRUE(peers[2].send_all("quit\n"));
    EXPECT_TRUE(peers[2].closes_within(5000));
    EXPECT_TRUE(wait_for([&] { return thread_count() == base_threads + (int)DBGSRV_MAX_SESSIONS - 1; }, 5000));
    {
        peer again = dial(port);
        EXPECT_TRUE(answered(again, "again"));
    }
    for (u32 i = 3; i + 1 < DBGSRV_MAX_SESSIONS; ++i) EXPECT_TRUE(answered(peers[i], "on")) << i;
    peers.clear();
    extra.clear();
    EXPECT_TRUE(back_to_baseline());
}

TEST_F(ShellServer, ResetAndVanishingClients)
{
    // Each client asks for far more than the socket buffers hold, reads
    // one reply and goes away: half with a reset, half with a plain close.
    std::string big = "echo " + std::string(4000, 'v') + "\n";
    std::string burst;
    for (int k = 0; k < 32; ++k) burst += big;
    for (int i = 0; i < 8; ++i) {
        peer p = dial(port);
        p.send_all(burst, 2000);
        EXPECT_FALSE(p.replies(1).empty());
        if (i % 2) {
            struct linger lg = {1, 0};
            setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
    }
    {
        peer p = dial(port);
        ASSERT_TRUE(p.send_all("echo x\n"));
        EXPECT_EQ(p.replies(1), reply_of("x"));
    }
    EXPECT_TRUE(back_to_baseline(5000));
}

TEST_F(ShellServer, ExitFromSessionIsHandedOver)
{
    static std::atomic<int> calls{0};
    static std::atomic<bool> on_session_thread{false};
    static std::thread::id test_thread;
    test_thread = std::this_thread::get_id();
    libsh_set_exit_func([] {
        on_session_thread = std::this_thread::get_id() != test_thread;
        return ++calls;
    });
    // A browser's request runs nothing, its exit included: a first line
    // METHOD TARGET HTTP/1.x (any method word), or a Host: line, which takes
    // what came with it. Judged as received: aliases named so change nothing.
    nettest::log_capture log;
    alias_set("M-SEARCH", "echo hijacked");
    alias_set("Host:", "echo hijacked");
    {
        peer p = dial(port);
        ASSERT_TRUE(p.send_all("M-SEARCH /?a=1;exit HTTP/1.0\r\n"));
        EXPECT_TRUE(p.closes_within(5000));
        peer q = dial(port);
        ASSERT_TRUE(q.send_all("echo GET / HTTP/1.1\n"));  // not the shape: runs
        EXPECT_EQ(q.replies(1), reply_of("GET / HTTP/1.1"));
        ASSERT_TRUE(q.send_all("x\nHost: y\nexit\n"));
        EXPECT_EQ(q.replies(1), "");  // closed, "x" not run either
    }
    EXPECT_TRUE(log.has("connection from 127.0.0.1:"));
    peer other = dial(port);
    peer p = dial(port);
    ASSERT_TRUE(p.send_all("exit\n"));
    EXPECT_EQ(p.replies(1), std::string(1, '\0'));
    EXPECT_TRUE(p.closes_within(5000));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(on_session_thread.load());
    // The server itself is stopped by its owner, which joins what is left.
    ASSERT_TRUE(other.send_all("echo other\n"));
    EXPECT_EQ(other.replies(1), reply_of("other"));
    long long t0 = now_ms();
    stop();
    EXPECT_LT(now_ms() - t0, 5000);  // not one join limit (1000 ms) per session
    EXPECT_TRUE(other.closes_within(5000));
    libsh_set_exit_func(nullptr);
}

// Two threads start the server at once (on two ports, so that both binds
// could work): one start wins, and the stop leaves nothing listening.
TEST(ShellServerInitConcurrency, TwoStartsAtOnceLeaveOneServer)
{
    const int ports[2] = {dbgtest::free_port(), dbgtest::free_port()};
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(sock_env_init(), 0);
        std::atomic<int> ready{0}, started{0};
        auto start = [&](int port) {
            ++ready;
            while (ready.load() < 2) std::this_thread::yield();
            if (debug_shell_server_init("127.0.0.1", port) == 0) ++started;
        };
        std::thread a(start, ports[0]), b(start, ports[1]);
        a.join();
        b.join();
        EXPECT_EQ(started.load(), 1);
        sock_env_stop();
        debug_shell_server_exit();
        sock_env_exit();
        EXPECT_TRUE(dial(ports[0]).fd < 0 && dial(ports[1]).fd < 0);
    }
}

TEST(ShellServerInit, BusyPortAndRestart)
{
    ASSERT_EQ(sock_env_init(), 0);
    int port = dbgtest::free_port();
    ASSERT_EQ(debug_shell_server_init("127.0.0.1", port), 0);
    EXPECT_EQ(debug_shell_server_init("127.0.0.1", port), -1);  // already running
    sock_env_stop();
    debug_shell_server_exit();
    debug_shell_server_exit();  // idempotent
    sock_env_exit();
    ASSERT_EQ(sock_env_init(), 0);
    EXPECT_EQ(debug_shell_server_init("256.1.1.1", port), -1);
    // A failed start leaves nothing behind: the next one works.
    ASSERT_EQ(debug_shell_server_init("127.0.0.1", port), 0);
    libsh_init();
    {
        peer p = dial(port);
        ASSERT_TRUE(p.send_all("echo back\n"));
        EXPECT_EQ(p.replies(1), reply_of("back"));
    }
    sock_env_stop();
    debug_shell_server_exit();
    sock_env_exit();
    libsh_exit();
}

}  // namespace
