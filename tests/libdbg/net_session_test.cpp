// Network shell sessions over a socket pair: the wire form of requests
// and replies, limits, and every way a session ends.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "common/tmp_file.h"
#include "dbg_test_util.h"
#include "libdbg/shell.h"
#include "libnet/libnet.h"
#include "libpal/network/os_socket.h"
#include "libsh/libsh.h"

namespace {

using dbgtest::now_ms;
using dbgtest::peer;

// One session on its own thread; the test talks to it through `client`.
struct session {
    dbgsh_srv_ctx ctx{};
    net n{};
    peer client;
    std::thread th;
    std::atomic<bool> done{false};
    std::atomic<int> result{-2};

    // read_ms replaces the handle's read limit before the session starts.
    explicit session(int read_ms = 1000)
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        client.fd = fds[1];
        EXPECT_EQ(dbgsh_srv_ctx_init(&ctx, &n, NET_MODE, (void *)(uintptr_t)os_fd_sock(fds[0])), 0);
        n.timeout = read_ms;
        th = std::thread([this] {
            result = dbgsh_srv_imp(&ctx);
            done = true;
        });
    }
    ~session()
    {
        n.stop.store(1);
        th.join();
    }
    bool ends_within(int ms)
    {
        return dbgtest::wait_for([this] { return done.load(); }, ms);
    }
    std::string ask(const std::string &request, int nuls = 1)
    {
        EXPECT_TRUE(client.send_all(request));
        return client.replies(nuls);
    }
};

struct NetSession : testing::Test {
    void SetUp() override
    {
        libsh_init();
        libsh_set_exit_func(nullptr);
    }
    void TearDown() override { libsh_exit(); }
};

TEST(NetSessionInit, ModesAndHandle)
{
    dbgsh_srv_ctx ctx{};
    net n{};
    EXPECT_EQ(dbgsh_srv_ctx_init(&ctx, &n, NET_MODE, (void *)(uintptr_t)7), 0);
    EXPECT_EQ(n.type, (u32)NET_TYPE_SOCK);
    EXPECT_EQ(n.timeout, 1000);
    EXPECT_EQ(n.transport, 7u);
    EXPECT_EQ(ctx.out, &n);
    EXPECT_EQ(ctx.mode, (u32)NET_MODE);
    EXPECT_EQ(dbgsh_srv_ctx_init(&ctx, &n, PIPE_MODE, nullptr), 0);
    EXPECT_EQ(n.type, (u32)NET_TYPE_NPIPE);
    nettest::log_capture log;
    EXPECT_EQ(dbgsh_srv_ctx_init(&ctx, &n, 2, nullptr), -1);
    EXPECT_TRUE(log.has("mode=2 invalid\n"));
    ctx.mode = 7;
    EXPECT_EQ(dbgsh_srv_imp(&ctx), -1);
}

TEST_F(NetSession, RequestAndReplyForms)
{
    session s;
    // NUL and LF end a request; CRs are dropped; LF becomes CR LF in replies.
    EXPECT_EQ(s.ask(std::string("echo a\0", 7)), std::string("a\r\n\0", 4));
    EXPECT_EQ(s.ask("echo b\n"), std::string("b\r\n\0", 4));
    EXPECT_EQ(s.ask("ec\rho c\r\n"), std::string("c\r\n\0", 4));
    // One NUL per command, and none for items that run nothing.
    EXPECT_EQ(s.ask("echo x; X9=1; #c; echo y\n", 2), std::string("x\r\n\0y\r\n\0", 8));
    // An empty request repeats the previous line.
    EXPECT_EQ(s.ask(std::string("\0", 1), 2), std::string("x\r\n\0y\r\n\0", 8));
    // Several requests in one packet each get their replies, in order.
    EXPECT_EQ(s.ask(std::string("echo 1\necho 2\0echo 3\n", 21), 3),
              std::string("1\r\n\0" "2\r\n\0" "3\r\n\0", 12));
    // Only CRs, a comment, an assignment or only ';': an empty reply (a
    // request of CRs runs nothing, not even the previous line);
    // unbalanced quotes: the refusal.
    EXPECT_EQ(s.ask(std::string("\r\n\r\r\0", 5), 2), std::string(2, '\0'));
    EXPECT_EQ(s.ask("#x\nA=b\n;;\n", 3), std::string(3, '\0'));
    EXPECT_TRUE(s.client.silent_for(100));
    EXPECT_EQ(s.ask("echo 'oops;echo x\n"), "error: unbalanced quotes, nothing run\r\n" + std::string(1, '\0'));
    EXPECT_EQ(s.ask("echo after\n"), std::string("after\r\n\0", 8));
    EXPECT_EQ(s.ask("nosuch\n"),
              "command not found: [nosuch]\r\nType `help` to learn how to use prompt\r\n" + std::string(1, '\0'));
}

TEST(DbgOut, LineEndsAndTrailingBlanks)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer reader(fds[1]);
    net n{};
    n.type = NET_TYPE_SOCK;
    n.timeout = 1000;
    n.transport = os_fd_sock(fds[0]);
    // Blanks inside stay, blanks at the very end go, line ends never do.
    EXPECT_EQ(dbgout_write(&n, "a \t\nb \v\f\t "), 6);
    EXPECT_EQ(dbgout_write(&n, "c\n  "), 3);
    EXPECT_EQ(dbgout_write(&n, " \t"), 0);
    EXPECT_EQ(dbgout_printf(&n, "%d\n", 42), 4);
    EXPECT_EQ(dbgout_flush(&n), 1);
    EXPECT_EQ(reader.replies(1), std::string("a \t\r\nbc\r\n42\r\n\0", 14));
    // Longer than any working buffer, with line ends on every boundary.
    std::string text, want;
    for (int i = 0; i < 5000; ++i) {
        text += std::string((size_t)(i % 3), 'x') + "\n";
        want += std::string((size_t)(i % 3), 'x') + "\r\n";
    }
    EXPECT_EQ(dbgout_write(&n, text.c_str()), (int)want.size());
    EXPECT_EQ(dbgout_flush(&n), 1);
    EXPECT_EQ(reader.replies(1), want + std::string(1, '\0'));
    net_close(&n);
}

TEST_F(NetSession, PauseInsideRequestRunsNothing)
{
    session s;
    EXPECT_TRUE(s.client.send_all("echo mid"));
    // Longer than the session's 1000 ms read limit: the fragment waits.
    EXPECT_TRUE(s.client.silent_for(1300));
    EXPECT_EQ(s.ask("dle\n"), std::string("middle\r\n\0", 9));
    EXPECT_FALSE(s.done.load());
}

TEST_F(NetSession, RequestLimit)
{
    session s;
    // 4094 characters fit (CRs count as received bytes).
    std::string fits = "echo " + std::string(4089, 'a');
    std::string r = s.ask(fits + "\n");
    EXPECT_EQ(r, std::string(4089, 'a') + "\r\n" + std::string(1, '\0'));
    std::string fits_cr = "echo " + std::string(4088, 'b') + "\r";
    EXPECT_EQ(s.ask(fits_cr + "\n"), std::string(4088, 'b') + "\r\n" + std::string(1, '\0'));
    // 4095 and more: the error text and one NUL, nothing of the request
    // runs, and the session goes on.
    const std::string refused =
        "error: command line too long (at most 4094 characters)\r\n" + std::string(1, '\0');
    EXPECT_EQ(s.ask(std::string(4095, 'c') + "\n"), refused);
    EXPECT_EQ(s.ask("echo " + std::string(4090, 'd') + "\r" + std::string(1, '\0')), refused);
    // Far longer, arriving in pieces: refused once it passes the limit,
    // the rest up to its terminator dropped.
    std::string huge = "echo " + std::string(300000, 'e');
    EXPECT_EQ(s.ask(huge.substr(0, 150000)), refused);
    EXPECT_TRUE(s.client.send_all(huge.substr(150000, 100000)));
    EXPECT_TRUE(s.client.silent_for(200));
    EXPECT_EQ(s.ask(huge.substr(250000) + "\necho next\n"), "next\r\n" + std::string(1, '\0'));
    // The refused line is not the previous line.
    EXPECT_EQ(s.ask(std::string(1, '\0')), std::string("next\r\n\0", 7));
    EXPECT_FALSE(s.done.load());
}

TEST_F(NetSession, BinaryGarbageAndNulFlood)
{
    session s;
    std::string junk;
    for (int i = 1; i < 256; ++i)
        if (i != '\n' && i != '\r' && i != ';' && i != '"' && i != '\'' && i != '#') junk += (char)i;
    std::string r;
    {
        // The request's record shows its bytes escaped, none of them raw.
        nettest::log_capture log;
        r = s.ask(junk + std::string(1, '\0'));
        std::string text = log.get();
        EXPECT_NE(text.find("cmd=[\\x01\\x02\\x03"), std::string::npos) << text;
        EXPECT_EQ(std::count_if(text.begin(), text.end(), [](char c) { return (unsigned char)c >= 0x7f; }), 0);
    }
    EXPECT_NE(r.find("command not found: ["), std::string::npos);
    EXPECT_EQ(r.back(), '\0');
    // A flood of empty requests with no previous line (unbalanced quotes
    // clear it): one NUL each.
    EXPECT_EQ(s.ask("echo 'x\n"), "error: unbalanced quotes, nothing run\r\n" + std::string(1, '\0'));
    std::string nuls(2000, '\0');
    EXPECT_EQ(s.ask(nuls, 2000), nuls);
    EXPECT_EQ(s.ask("echo ok\n"), std::string("ok\r\n\0", 5));
}

TEST_F(NetSession, QuitExitAndPeerClose)
{
    {
        session s;
        EXPECT_EQ(s.ask("quit\necho never\n"), std::string("\0", 1));
        EXPECT_TRUE(s.client.closes_within(5000));
        EXPECT_TRUE(s.ends_within(5000));
    }
    {
        static std::atomic<int> calls{0};
        libsh_set_exit_func([] { return ++calls; });
        session s;
        EXPECT_EQ(s.ask("echo a; exit; echo never\n", 3), std::string("a\r\n\0\0", 5));
        EXPECT_TRUE(s.client.eof);
        EXPECT_TRUE(s.ends_within(5000));
        EXPECT_EQ(calls.load(), 1);
        libsh_set_exit_func(nullptr);
    }
    {
        // A peer that closes after a request without its terminator: the
        // fragment does not run and the session ends.
        session s;
        EXPECT_TRUE(s.client.send_all("echo partial"));
        shutdown(s.client.fd, SHUT_WR);
        EXPECT_TRUE(s.client.closes_within(5000));
        EXPECT_TRUE(s.ends_within(5000));
    }
    {
        // A half-closed peer still gets the replies of complete requests.
        session s;
        EXPECT_TRUE(s.client.send_all("echo last\n"));
        shutdown(s.client.fd, SHUT_WR);
        std::string r = s.client.replies(1, 3000);
        EXPECT_EQ(r, std::string("last\r\n\0", 7));
        EXPECT_TRUE(s.ends_within(5000));
    }
}

std::string test_file(const std::string &name, const std::string &text)
{
    return testutil::tmp_file("netsrc", name, text);
}

std::atomic<int> g_ticks{0};

// A slow command with a line of output, so that a long run fills the
// session's reply buffer.
int cmd_tick(dbgsh_srv_ctx *ctx, int, char **)
{
    ++g_ticks;
    ctx->write(ctx->out, (std::string(1000, 't') + "\n").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return 0;
}

const libsh_cmd g_tick_cmds[] = {{"tick", cmd_tick, "test"}, {nullptr, nullptr, nullptr}};

TEST_F(NetSession, SourceIsOneReplyAndEndsWithItsPeer)
{
    std::string f = test_file("two", "echo s1\necho s2; echo s3\n");
    std::string self = test_file("self", "");
    std::ofstream(self) << "tick\nsource " << self << "\nsource " << self << "\nsource " << self << "\n";
    {
        session s;
        EXPECT_EQ(s.ask("source " + f + ";echo z\n", 2), std::string("s1\r\ns2\r\ns3\r\n\0z\r\n\0", 17));
        EXPECT_EQ(s.ask("echo after\n"), std::string("after\r\n\0", 8));
    }
    libsh_set_app_cmds(g_tick_cmds);
    {
        // The run takes seconds; the peer leaves once output has come.
        session s;
        g_ticks = 0;
        EXPECT_TRUE(s.client.send_all("source " + self + "\n"));
        std::string got;
        long long end = now_ms() + 10000;
        while (got.size() < 40000 && now_ms() < end) {
            char buf[8192];
            struct pollfd p = {s.client.fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(s.client.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got.append(buf, (size_t)n);
        }
        EXPECT_GE(got.size(), 40000u);
        EXPECT_EQ(got.find('\0'), std::string::npos);  // still running
        close(s.client.fd);
        s.client.fd = -1;
        int at_close = g_ticks.load();
        EXPECT_TRUE(s.ends_within(5000));
        EXPECT_LT(g_ticks.load() - at_close, 20);
    }
    libsh_set_app_cmds(nullptr);
    unlink(f.c_str());
    unlink(self.c_str());
}

TEST_F(NetSession, StopFlagEndsWaitingSession)
{
    // A read limit far beyond the checks below: the stop is seen by the
    // wait slices (300 ms), not at the end of a read.
    session s(30000);
    EXPECT_EQ(s.ask("echo up\n"), std::string("up\r\n\0", 5));
    long long t0 = now_ms();
    s.n.stop.store(1);
    EXPECT_TRUE(s.ends_within(10000));
    EXPECT_LT(now_ms() - t0, 5000);
    EXPECT_TRUE(s.client.closes_within(5000));
}

TEST_F(NetSession, ClientThatNeverReads)
{
    session s;
    // Requests keep coming, replies are never read: once a reply cannot be
    // written for the handle's time limit the session ends.
    std::string req;
    for (int i = 0; i < 8; ++i) req += "echo " + std::string(4000, 'z') + "\n";
    long long end = now_ms() + 15000;
    while (!s.done.load() && now_ms() < end) {
        ssize_t n = ::send(s.client.fd, req.data(), req.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(s.ends_within(5000));
}

}  // namespace
