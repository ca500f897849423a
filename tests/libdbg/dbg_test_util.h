#pragma once
// Helpers of the debug shell tests: a blocking test peer with deadlines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/udp_collector.h"
#include "libdbg/dbgsrv.h"
#include "libnet/sock_event.h"
#include "libpal/net_test_util.h"
#include "libsh/libsh.h"

namespace dbgtest {

inline long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// One end of a test connection. Every wait has a deadline.
struct peer {
    int fd = -1;
    bool eof = false;  // the other end closed (or reset) the connection

    explicit peer(int f = -1) : fd(f) {}
    peer(const peer &) = delete;
    peer &operator=(const peer &) = delete;
    peer(peer &&o) noexcept : fd(o.fd), eof(o.eof) { o.fd = -1; }
    ~peer()
    {
        if (fd >= 0) close(fd);
    }

    bool send_all(const std::string &data, int ms = 5000)
    {
        size_t done = 0;
        long long end = now_ms() + ms;
        while (done < data.size()) {
            ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += (size_t)n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            long long left = end - now_ms();
            if (left <= 0) return false;
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, (int)left);
        }
        return true;
    }

    // Reads until `nuls` NUL bytes have come, the peer closes or ms pass.
    std::string replies(int nuls, int ms = 5000)
    {
        std::string out;
        long long end = now_ms() + ms;
        int seen = 0;
        while (seen < nuls && !eof) {
            long long left = end - now_ms();
            if (left <= 0) break;
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, (int)left) <= 0) continue;
            char buf[8192];
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                eof = true;
                break;
            }
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == 0) ++seen;
            out.append(buf, (size_t)n);
        }
        return out;
    }

    // True when the other end closes within ms (bytes before that are dropped).
    bool closes_within(int ms)
    {
        long long end = now_ms() + ms;
        while (!eof && now_ms() < end) replies(1 << 30, (int)(end - now_ms()));
        return eof;
    }

    // True when nothing arrives for ms.
    bool silent_for(int ms)
    {
        struct pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }
};

// A blocking connection to 127.0.0.1:port, or an invalid peer.
inline peer dial(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = nettest::loopback4(port);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        fd = -1;
    }
    return peer(fd);
}

using testutil::free_port;

// Waits up to ms for cond; its last value.
template <class F>
bool wait_for(F cond, int ms)
{
    long long end = now_ms() + ms;
    while (!cond()) {
        if (now_ms() >= end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The shell, the event environment and a TCP shell server on a free
// loopback port; stopped in the program's order (the event thread first).
struct server_fixture : testing::Test {
    int port = 0;
    bool stopped = false;

    void SetUp() override
    {
        libsh_init();
        libsh_set_exit_func(nullptr);
        ASSERT_EQ(sock_env_init(), 0);
        port = free_port();
        ASSERT_EQ(debug_shell_server_init("127.0.0.1", port), 0);
    }
    void stop()
    {
        if (stopped) return;
        stopped = true;
        sock_env_stop();
        debug_shell_server_exit();
    }
    void TearDown() override
    {
        stop();
        sock_env_exit();
        libsh_exit();
    }
};

}  // namespace dbgtest
