#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "libnet/sock_cli.h"
#include "libpal/env/os_time.h"
#include "libpal/net_test_util.h"
#include "libpal/network/os_socket.h"

namespace {

using nettest::log_capture;

// A TCP listener on 127.0.0.1 (blocking, plain system calls).
struct plain_listener {
    int fd = -1;
    int port = 0;
    explicit plain_listener(int backlog = 16)
    {
        fd = nettest::listen_loopback(backlog, &port);
        EXPECT_GE(fd, 0);
    }
    ~plain_listener()
    {
        if (fd >= 0) close(fd);
    }
};

int closed_port()
{
    plain_listener l;
    return l.port;  // closed when l goes
}

// A peer that never answers: a listener with a backlog of 0 whose one
// queue slot is already taken, so further connection requests are dropped.
struct silent_peer {
    plain_listener l{0};
    u64 filler = 0;
    silent_peer()
    {
        sock_opt o = {};
        o.no_wait = 1;
        filler = sock_tcp_connect("127.0.0.1", l.port, &o, nullptr);
        os_msleep(50);
    }
    ~silent_peer()
    {
        if (filler) os_socket_exit(filler);
    }
};

TEST(Client, ConnectsAndReportsTheRealReason)
{
    plain_listener l;
    sock_opt o = {};
    o.timeout = 2000;
    o.buffer_size = 32768;
    os_err err = {};
    u64 s = sock_tcp_connect("127.0.0.1", l.port, &o, &err);
    ASSERT_NE(s, 0u);
    u32 size = 0;
    os_socket_ctrl(s, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, (u64)(uintptr_t)&size);
    EXPECT_GE(size, 32768u);
    sock_close(s);

    s = sock_tcp_connect("localhost", l.port, &o, &err);
    if (s) sock_close(s);  // localhost may resolve to ::1, where nothing listens

    int port = closed_port();
    memset(&err, 0, sizeof err);
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", port, &o, &err), 0u);
    EXPECT_EQ(err.code, ECONNREFUSED);
    std::string msg = os_err_str(&err);
    EXPECT_EQ(msg.rfind("connect 127.0.0.1:" + std::to_string(port), 0), 0u) << msg;
    EXPECT_NE(msg.find(strerror(ECONNREFUSED)), std::string::npos) << msg;
    EXPECT_STREQ(err.func, "sock_connect_imp");

    memset(&err, 0, sizeof err);
    EXPECT_EQ(sock_tcp_connect("bad..name", 80, &o, &err), 0u);
    EXPECT_EQ(err.code, -2);
    EXPECT_STREQ(os_err_str(&err), "addrinfo_addr bad..name failed");
    EXPECT_STREQ(err.func, "sock_tcp_connect");

    // With a proxy in the options the proxy is reached first: one that
    // cannot be resolved fails with the resolver's reason.
    o.proxy.type = SOCK_PROXY_SOCKS5;
    snprintf(o.proxy.host, sizeof o.proxy.host, "bad..name");
    o.proxy.port = 1080;
    memset(&err, 0, sizeof err);
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", l.port, &o, &err), 0u);
    EXPECT_EQ(err.code, -2);
    EXPECT_STREQ(os_err_str(&err), "addrinfo_addr bad..name failed");
    EXPECT_EQ(o.proxy.type, (u32)SOCK_PROXY_SOCKS5);  // the caller's options are untouched
}

TEST(Client, TimeOutAndStopRequest)
{
    silent_peer peer;
    sock_opt o = {};
    o.timeout = 1000;
    os_err err = {};
    u64 t0 = os_mono_ms();
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", peer.l.port, &o, &err), 0u);
    u64 took = os_mono_ms() - t0;
    EXPECT_GE(took, 990u);
    EXPECT_LT(took, 2500u);
    EXPECT_EQ(err.code, -1);
    EXPECT_EQ(std::string(os_err_str(&err)), "connect 127.0.0.1:" + std::to_string(peer.l.port) + " timeout");

    // A stop request from another thread ends the attempt within a slice.
    net_cancel cancel{};
    o.timeout = 10000;
    o.cancel = &cancel;
    // Counted from the moment of the request (its thread may start late).
    std::atomic<u64> asked{0};
    std::thread stopper([&] {
        os_msleep(300);
        asked = os_mono_ms();
        cancel.flag.store(1);
    });
    memset(&err, 0, sizeof err);
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", peer.l.port, &o, &err), 0u);
    u64 end = os_mono_ms();
    stopper.join();
    ASSERT_NE(asked.load(), 0u);
    EXPECT_LT(end - asked.load(), 400u);
    EXPECT_STREQ(os_err_str(&err), "User request stop");
    EXPECT_EQ(err.code, -1);

    // The check procedure does the same.
    net_cancel by_check{};
    by_check.check = [](void *arg, int) { return os_mono_ms() >= *(u64 *)arg ? 1 : 0; };
    u64 when = os_mono_ms() + 200;
    by_check.arg = &when;
    o.cancel = &by_check;
    memset(&err, 0, sizeof err);
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", peer.l.port, &o, &err), 0u);
    EXPECT_STREQ(os_err_str(&err), "User request stop");
}

TEST(Client, NoWaitAndUdp)
{
    silent_peer peer;
    sock_opt o = {};
    o.no_wait = 1;
    os_err err = {};
    u64 s = sock_tcp_connect("127.0.0.1", peer.l.port, &o, &err);
    ASSERT_NE(s, 0u);  // in progress
    EXPECT_EQ(os_socket_wait(s, OS_SOCK_WAIT_WRITE, 0), 0);
    sock_close(s);

    // A failing no-wait connect fills the record too.
    memset(&err, 0, sizeof err);
    EXPECT_EQ(sock_tcp_connect("bad..name", 1, &o, &err), 0u);
    EXPECT_EQ(err.code, -2);

    os_ipaddr bound;
    u64 rx = nettest::udp_loopback(&bound);
    ASSERT_NE(rx, 0u);
    u64 u = sock_udp_open("127.0.0.1", os_ipaddr_port(&bound), &err);
    ASSERT_NE(u, 0u);
    EXPECT_EQ(sock_send(u, "dgram", 5), 5);
    ASSERT_EQ(os_socket_wait(rx, OS_SOCK_WAIT_READ, 2000), OS_SOCK_WAIT_READ);
    char buf[16];
    os_ipaddr from;
    EXPECT_EQ(sock_urecv(rx, &from, buf, sizeof buf), 5);
    EXPECT_EQ(sock_usend(rx, &from, "back", 4), 4);
    ASSERT_EQ(os_socket_wait(u, OS_SOCK_WAIT_READ, 2000), OS_SOCK_WAIT_READ);
    EXPECT_EQ(sock_recv(u, buf, sizeof buf), 4);
    sock_close(u);
    sock_close(rx);
    memset(&err, 0, sizeof err);
    EXPECT_EQ(sock_udp_open("bad..name", 1, &err), 0u);
    EXPECT_EQ(err.code, -2);
    EXPECT_EQ(sock_kill(os_fd_sock(0x7ffffff), 2), -1);
}

}  // namespace
