#pragma once
// Helpers of the listener and connection-context tests: clients, an
// environment guard and listener parameters.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "libnet/libnet.h"
#include "libnet/sock_ctx.h"
#include "libnet/sock_event.h"
#include "libnet/sock_srv.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/net_test_util.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"

namespace listenertest {

using nettest::fd_count;
using nettest::int_opt;
using nettest::log_capture;
using nettest::loopback4;
using nettest::peer_closed;
using nettest::read_n;
using nettest::thread_count;
using nettest::wait_until;

struct env_guard {
    env_guard() { EXPECT_EQ(sock_env_init(), 0); }
    ~env_guard() { sock_env_exit(); }
};

// Blocking client connection to host:port; -1 on failure.
inline int dial(const char *host, int port)
{
    bool v6 = strchr(host, ':') != nullptr;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_storage ss = {};
    socklen_t len;
    if (v6) {
        auto *a = (struct sockaddr_in6 *)&ss;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons((u16)port);
        inet_pton(AF_INET6, host, &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto *a = (struct sockaddr_in *)&ss;
        a->sin_family = AF_INET;
        a->sin_port = htons((u16)port);
        inet_pton(AF_INET, host, &a->sin_addr);
        len = sizeof *a;
    }
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, (struct sockaddr *)&ss, len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer closes or 5 s pass; the bytes read.
inline std::string read_all(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, (size_t)n);
    }
    return out;
}

inline u16 local_port(u64 s)
{
    os_ipaddr a;
    os_socket_local(s, &a);
    return os_ipaddr_port(&a);
}

// Accept procedure that counts and closes.
inline std::atomic<int> g_accepted{0};
inline int count_and_close(u64 sock, os_ipaddr *, void *)
{
    g_accepted++;
    os_socket_exit(sock);
    return 0;
}

// Listener parameters with a name and an accept procedure (NULL: none).
inline sock_tcp_server_param tcp_param(const char *name, sock_accept_proc accept = count_and_close)
{
    sock_tcp_server_param p = {};
    p.name = name;
    p.accept_proc = accept;
    return p;
}

}  // namespace listenertest
