#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

#include "libpal/env/os_time.h"
#include "libpal/net_test_util.h"
#include "libpal/network/os_socket.h"

namespace {

using nettest::int_opt;
using nettest::log_capture;

int fd_of(u64 s) { return os_sock_fd(s); }

bool is_nonblock(u64 s) { return fcntl(fd_of(s), F_GETFL) & O_NONBLOCK; }
bool is_cloexec(u64 s) { return fcntl(fd_of(s), F_GETFD) & FD_CLOEXEC; }

os_ipaddr loop4(u16 port = 0)
{
    os_ipaddr a;
    os_ipaddr_clear(&a);
    os_ipaddr_set(&a, "127.0.0.1", port, OS_IPADDR_FAMILY_IPV4);
    return a;
}

// A listening TCP socket on 127.0.0.1 with its port.
u64 listener(u16 *port)
{
    u64 s = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr a = loop4();
    EXPECT_EQ(os_socket_bind(s, &a), 1);
    EXPECT_EQ(os_socket_listen(s, 16), 1);
    os_ipaddr local;
    EXPECT_EQ(os_socket_local(s, &local), 1);
    *port = os_ipaddr_port(&local);
    return s;
}

// Connected pair over loopback TCP: client and accepted server socket.
void tcp_pair(u64 *cli, u64 *srv)
{
    u16 port;
    u64 l = listener(&port);
    *cli = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr a = loop4(port);
    int r = os_socket_connect(*cli, &a);
    ASSERT_GE(r, 0);
    if (r == 0) {
        ASSERT_EQ(os_socket_wait(*cli, OS_SOCK_WAIT_WRITE, 2000), OS_SOCK_WAIT_WRITE);
    }
    ASSERT_EQ(os_socket_wait(l, OS_SOCK_WAIT_READ, 2000), OS_SOCK_WAIT_READ);
    *srv = os_socket_accept(l, nullptr);
    ASSERT_NE(*srv, 0u);
    os_socket_exit(l);
}

TEST(Socket, CreationKindsAndFlags)
{
    u64 s = os_socket_init(0x101, OS_IPADDR_FAMILY_IPV6);
    ASSERT_NE(s, 0u);
    EXPECT_TRUE(is_nonblock(s));
    EXPECT_TRUE(is_cloexec(s));
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_DOMAIN), AF_INET6);
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_PROTOCOL), IPPROTO_TCP);
    os_socket_exit(s);

    s = os_socket_init(0x101, OS_IPADDR_FAMILY_UNIX);
    ASSERT_NE(s, 0u);
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_DOMAIN), AF_UNIX);
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_TYPE), SOCK_STREAM);
    os_socket_exit(s);

    s = os_socket_init(0x202, OS_IPADDR_FAMILY_IPV4);
    ASSERT_NE(s, 0u);
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
    os_socket_exit(s);

    u64 pair[2];
    ASSERT_EQ(os_socket_pair(0x101, pair), 1);
    EXPECT_TRUE(is_nonblock(pair[0]) && is_nonblock(pair[1]));
    EXPECT_TRUE(is_cloexec(pair[0]) && is_cloexec(pair[1]));
    os_socket_exit(pair[0]);
    os_socket_exit(pair[1]);

    log_capture cap;
    EXPECT_EQ(os_socket_init(0, 1), 0u);
    EXPECT_EQ(os_socket_init(0x401, 1), 0u);
    EXPECT_TRUE(cap.has("expr[t >= 0 && p >= 0]: assert failed"));
    EXPECT_EQ(os_socket_pair(0x101, nullptr), 0);
    EXPECT_TRUE(cap.has("expr[type && pair]: assert failed"));
}

TEST(Socket, ControlCodes)
{
    u64 s = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_IPV4);
    u8 b = 9;
    ASSERT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_GET_BLOCK, (u64)(uintptr_t)&b), 1);
    EXPECT_EQ(b, 0);
    ASSERT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_BLOCK, 1), 1);
    os_socket_ctrl(s, OS_SOCKET_CTRL_GET_BLOCK, (u64)(uintptr_t)&b);
    EXPECT_EQ(b, 1);
    os_socket_ctrl(s, OS_SOCKET_CTRL_SET_BLOCK, 0);
    EXPECT_TRUE(is_nonblock(s));

    ASSERT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, 65536), 1);
    u32 size = 0;
    ASSERT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, (u64)(uintptr_t)&size), 1);
    EXPECT_GE(size, 65536u);
    ASSERT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, 32768), 1);
    ASSERT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, (u64)(uintptr_t)&size), 1);
    EXPECT_GE(size, 32768u);
    ASSERT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1), 1);
    u8 nd = 0;
    ASSERT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_GET_TCP_NODELAY, (u64)(uintptr_t)&nd), 1);
    EXPECT_EQ(nd, 1);
    EXPECT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_KEEPALIVE, 1), 1);
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_KEEPIDLE, 30), 1);
    EXPECT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_SOCKOPT_16384, 1), 0);

    log_capture cap;
    EXPECT_EQ(os_socket_ctrl(s, 14, 0), 0);
    EXPECT_TRUE(cap.has("unknown socket ctrl: 14\n"));
    EXPECT_EQ(os_socket_ctrl(s, OS_SOCKET_CTRL_GET_BLOCK, 0), 0);
    EXPECT_TRUE(cap.has("expr[pis_block]: assert failed"));
    EXPECT_EQ(os_socket_ctrl(0, OS_SOCKET_CTRL_SET_BLOCK, 0), 0);
    os_socket_exit(s);
}

TEST(Socket, BindOptionsFollowThePort)
{
    u64 s = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr a = loop4(0);
    ASSERT_EQ(os_socket_bind(s, &a), 1);
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_REUSEPORT), 0);
    os_socket_exit(s);

    u16 port;
    u64 l = listener(&port);
    os_socket_exit(l);
    s = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_IPV6);
    os_ipaddr a6;
    os_ipaddr_clear(&a6);
    os_ipaddr_set(&a6, "::1", port, OS_IPADDR_FAMILY_IPV6);
    ASSERT_EQ(os_socket_bind(s, &a6), 1);
    EXPECT_EQ(int_opt(s, SOL_SOCKET, SO_REUSEPORT), 1);
    EXPECT_EQ(int_opt(s, IPPROTO_IPV6, IPV6_V6ONLY), 1);
    os_socket_exit(s);
}

TEST(Socket, StreamTransfersAndEndOfStream)
{
    u64 c, s;
    tcp_pair(&c, &s);
    EXPECT_TRUE(is_nonblock(s));
    EXPECT_TRUE(is_cloexec(s));
    EXPECT_EQ(int_opt(s, IPPROTO_TCP, TCP_NODELAY), 1);
    char buf[64];
    EXPECT_EQ(os_socket_recv(s, buf, 0), 0);
    errno = 0;
    EXPECT_EQ(os_socket_recv(s, buf, sizeof buf), 0);  // nothing yet: 0, not an error
    EXPECT_EQ(errno, EAGAIN);

    struct iovec out[2] = {{(void *)"hello ", 6}, {(void *)"world", 5}};
    EXPECT_EQ(os_socket_sendv(c, out, 2), 11);
    ASSERT_EQ(os_socket_wait(s, OS_SOCK_WAIT_READ, 2000), OS_SOCK_WAIT_READ);
    char a[6], b[5];
    struct iovec in[2] = {{a, sizeof a}, {b, sizeof b}};
    EXPECT_EQ(os_socket_recvv(s, in, 2), 11);
    EXPECT_EQ(std::string(a, 6) + std::string(b, 5), "hello world");

    // The peer sends part of what we wait for, then closes.
    EXPECT_EQ(os_socket_send(c, "0123456789", 10), 10);
    EXPECT_EQ(os_socket_kill(c, 1), 1);
    char big[20];
    EXPECT_EQ(os_sock_read_all(s, big, sizeof big), 0);
    os_socket_exit(c);
    os_socket_exit(s);

    tcp_pair(&c, &s);
    std::string payload(300000, 'x');
    std::thread reader([&] {
        std::string got(payload.size(), 0);
        EXPECT_EQ(os_sock_read_all(s, got.data(), got.size()), 1);
        EXPECT_EQ(got, payload);
    });
    EXPECT_EQ(os_sock_write_all(c, payload.data(), payload.size()), 1);
    reader.join();
    os_socket_exit(c);
    os_socket_exit(s);
}

TEST(Socket, SendToClosedPeerFailsWithoutSigpipe)
{
    struct sigaction old, dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    u64 c, s;
    tcp_pair(&c, &s);
    os_socket_exit(s);
    char buf[4096] = {};
    i64 r = 0;
    for (int i = 0; i < 100 && r >= 0; ++i) {
        r = os_socket_send(c, buf, sizeof buf);
        if (r >= 0) os_msleep(5);
    }
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
    os_socket_exit(c);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(Socket, WaitReportsTheRealConnectError)
{
    u16 port;
    u64 l = listener(&port);
    os_socket_exit(l);  // nothing listens there now
    u64 c = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr a = loop4(port);
    int r = os_socket_connect(c, &a);
    if (r == 0) {
        errno = 0;
        EXPECT_EQ(os_socket_wait(c, OS_SOCK_WAIT_WRITE, 2000), -1);
    } else {
        EXPECT_EQ(r, -1);
    }
    EXPECT_EQ(errno, ECONNREFUSED);
    os_socket_exit(c);

    u64 pair[2];
    ASSERT_EQ(os_socket_pair(0x101, pair), 1);
    u64 t0 = os_mono_ms();
    EXPECT_EQ(os_socket_wait(pair[0], OS_SOCK_WAIT_READ, 100), 0);
    EXPECT_GE(os_mono_ms() - t0, 90u);
    EXPECT_EQ(os_socket_wait(pair[0], OS_SOCK_WAIT_WRITE, 0), OS_SOCK_WAIT_WRITE);
    os_socket_exit(pair[0]);
    os_socket_exit(pair[1]);
}

TEST(Socket, UdpDatagramsOnLoopback)
{
    for (int fam : {OS_IPADDR_FAMILY_IPV4, OS_IPADDR_FAMILY_IPV6}) {
        const char *host = fam == OS_IPADDR_FAMILY_IPV4 ? "127.0.0.1" : "::1";
        u64 rx = os_socket_init(OS_SOCK_UDP, fam);
        os_ipaddr a;
        os_ipaddr_clear(&a);
        os_ipaddr_set(&a, host, 0, fam);
        ASSERT_EQ(os_socket_bind(rx, &a), 1);
        os_ipaddr bound;
        ASSERT_EQ(os_socket_local(rx, &bound), 1);
        u64 tx = os_socket_init(OS_SOCK_UDP, fam);
        EXPECT_EQ(os_socket_usend(tx, &bound, "ping", 4), 4);
        struct iovec v[2] = {{(void *)"po", 2}, {(void *)"ng", 2}};
        EXPECT_EQ(os_socket_usendv(tx, &bound, v, 2), 4);
        ASSERT_EQ(os_socket_wait(rx, OS_SOCK_WAIT_READ, 2000), OS_SOCK_WAIT_READ);
        char buf[16];
        os_ipaddr from;
        EXPECT_EQ(os_socket_urecv(rx, &from, buf, sizeof buf), 4);
        EXPECT_EQ(std::string(buf, 4), "ping");
        EXPECT_EQ(os_ipaddr_ip_is_loopback(&from), 1);
        os_ipaddr tx_local;
        os_socket_local(tx, &tx_local);
        EXPECT_EQ(os_ipaddr_port(&from), os_ipaddr_port(&tx_local));
        ASSERT_EQ(os_socket_wait(rx, OS_SOCK_WAIT_READ, 2000), OS_SOCK_WAIT_READ);
        struct iovec in = {buf, sizeof buf};
        EXPECT_EQ(os_socket_urecvv(rx, &from, &in, 1), 4);
        EXPECT_EQ(std::string(buf, 4), "pong");

        log_capture cap;
        os_ipaddr empty;
        os_ipaddr_clear(&empty);
        EXPECT_EQ(os_socket_usend(tx, &empty, "x", 1), -1);
        EXPECT_TRUE(cap.has("expr[!os_ipaddr_is_empty(addr)]: assert failed"));
        os_socket_exit(rx);
        os_socket_exit(tx);
    }

    // The connected sender resolves its host.
    u64 rx = os_socket_init(OS_SOCK_UDP, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr a = loop4(0);
    ASSERT_EQ(os_socket_bind(rx, &a), 1);
    os_ipaddr bound;
    os_socket_local(rx, &bound);
    u64 h = os_udp_open("localhost", os_ipaddr_port(&bound));
    if (h) {  // localhost may resolve to ::1 first
        EXPECT_TRUE(is_cloexec(h));
        os_udp_close(h);
    }
    h = os_udp_open("127.0.0.1", os_ipaddr_port(&bound));
    ASSERT_NE(h, 0u);
    EXPECT_EQ(os_udp_send(h, "abc", 3), 3);
    ASSERT_EQ(os_socket_wait(rx, OS_SOCK_WAIT_READ, 2000), OS_SOCK_WAIT_READ);
    char buf[8];
    EXPECT_EQ(os_socket_recv(rx, buf, sizeof buf), 3);
    EXPECT_EQ(os_udp_close(h), 0);
    log_capture cap;
    EXPECT_EQ(os_udp_open("bad..name", 9), 0u);
    EXPECT_TRUE(cap.has("failed to resolve name bad..name port 9 error: "));
    os_socket_exit(rx);
}

TEST(Socket, LocalAddressesHonourTheirLength)
{
    // An abstract name round-trips, and a peer that uses the exact length
    // (as the system's own tools do) reaches it.
    std::string name = "vk-net-test-" + std::to_string(getpid());
    os_ipaddr a;
    ASSERT_EQ(os_ipaddr_unix_set_cstr(&a, name.c_str(), 1), 1);
    u64 l = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_UNIX);
    ASSERT_EQ(os_socket_bind(l, &a), 1);
    ASSERT_EQ(os_socket_listen(l, 4), 1);
    os_ipaddr local;
    ASSERT_EQ(os_socket_local(l, &local), 1);
    EXPECT_EQ(os_unixaddr_is_abstract(&local.u.un), 1);
    EXPECT_EQ(std::string(local.u.un.path), name);

    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path + 1, name.data(), name.size());
    socklen_t len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
    EXPECT_EQ(connect(fd, (struct sockaddr *)&sun, len), 0) << strerror(errno);
    close(fd);
    os_socket_exit(l);

    // System -> framework -> system keeps the abstract name.
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    os_ipaddr back;
    ASSERT_EQ(os_sockaddr_save(&back, &sun, len), (int)sizeof(struct sockaddr_un));
    EXPECT_EQ(os_unixaddr_is_abstract(&back.u.un), 1);
    EXPECT_EQ(os_sockaddr_load(sa, &back), (int)len);
    EXPECT_EQ(memcmp(sa, &sun, len), 0);

    // A path without a NUL in the reported length is cut at that length,
    // never read past it.
    struct sockaddr_un full;
    memset(&full, 'z', sizeof full);
    full.sun_family = AF_UNIX;
    log_capture cap;
    EXPECT_EQ(os_sockaddr_save(&back, &full, sizeof full), 0);
    EXPECT_TRUE(cap.has("expr[n < sizeof(addru->sun_path)]: assert failed"));
    EXPECT_EQ(os_sockaddr_save(&back, &full, offsetof(struct sockaddr_un, sun_path) + 5),
              (int)sizeof(struct sockaddr_un));
    EXPECT_EQ(std::string(back.u.un.path), "zzzzz");
}

TEST(Socket, ScopeIdsAndConversionFamilies)
{
    struct sockaddr_in6 in6 = {};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(99);
    inet_pton(AF_INET6, "fe80::1", &in6.sin6_addr);
    in6.sin6_scope_id = 4;
    os_ipaddr a;
    ASSERT_EQ(os_sockaddr_save(&a, &in6, sizeof in6), 28);
    EXPECT_EQ(a.u.ipv6.scope_id, 4u);
    EXPECT_EQ(os_ipaddr_port(&a), 99);
    inet_pton(AF_INET6, "2001:db8::1", &in6.sin6_addr);
    ASSERT_EQ(os_sockaddr_save(&a, &in6, sizeof in6), 28);
    EXPECT_EQ(a.u.ipv6.scope_id, 0u);

    os_ipaddr v4;
    os_ipaddr_clear(&v4);
    os_ipaddr_set(&v4, nullptr, 7, OS_IPADDR_FAMILY_IPV4);
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    ASSERT_EQ(os_sockaddr_load(sa, &v4), 16);
    struct sockaddr_in in;
    memcpy(&in, sa, sizeof in);
    EXPECT_EQ(in.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(ntohs(in.sin_port), 7);

    log_capture cap;
    os_ipaddr none;
    os_ipaddr_clear(&none);
    EXPECT_EQ(os_sockaddr_load(sa, &none), 0);
    EXPECT_TRUE(cap.has("expr[0]: assert failed"));
}

}  // namespace
