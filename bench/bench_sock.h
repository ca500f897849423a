#pragma once
// Loopback sockets for the network benchmarks' own peers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

inline struct sockaddr_in loopback(int port)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listening TCP socket on 127.0.0.1 with a free port (put in *port).
inline int listen_loopback(int backlog, int *port)
{
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(l, (struct sockaddr *)&a, sizeof a) != 0 || listen(l, backlog) != 0 ||
        getsockname(l, (struct sockaddr *)&a, &len) != 0) {
        close(l);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return l;
}

// A listener on 127.0.0.1 whose one thread accepts connections (TCP_NODELAY
// set) and hands each to serve, which owns the descriptor from then on.
// With a serve that answers and closes at once, this is the raw accept
// floor of this machine. Every wait is bounded, so finish() returns.
struct accept_loop {
    int lfd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread th;

    bool start(int backlog, std::function<void(int fd)> serve)
    {
        lfd = listen_loopback(backlog, &port);
        if (lfd < 0) return false;
        th = std::thread([this, serve] {
            while (!stop.load()) {
                struct pollfd p = {lfd, POLLIN, 0};
                if (poll(&p, 1, 200) <= 0) continue;
                int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                serve(c);
            }
        });
        return true;
    }
    void finish()
    {
        stop = true;
        if (th.joinable()) th.join();
        if (lfd >= 0) close(lfd);
        lfd = -1;
    }
};
