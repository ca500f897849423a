#pragma once
// Test helpers: loopback sockets on free ports, and a UDP socket that
// collects the datagrams (bsv frames) sent to it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace testutil {

// A socket of the given type bound to 127.0.0.1 on a port the system
// chose, which goes to *port.
inline int bind_loopback(int type, int *port)
{
    *port = 0;
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd >= 0 && bind(fd, (struct sockaddr *)&a, sizeof a) == 0 &&
        getsockname(fd, (struct sockaddr *)&a, &len) == 0)
        *port = ntohs(a.sin_port);
    return fd;
}

// A loopback TCP port that nothing listens on right now, or 0.
inline int free_port()
{
    int port = 0;
    int fd = bind_loopback(SOCK_STREAM, &port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}

struct udp_collector {
    int port = 0;
    int fd = bind_loopback(SOCK_DGRAM, &port);
    udp_collector() = default;
    ~udp_collector() { close(fd); }
    udp_collector(const udp_collector &) = delete;
    udp_collector &operator=(const udp_collector &) = delete;
    std::string url(const char *scheme = "udp") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
    }
    // Frames arriving within ms (stops at the first quiet gap after one).
    std::vector<std::string> frames(int ms)
    {
        std::vector<std::string> out;
        char buf[65536];
        struct pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, out.empty() ? ms : 200) > 0) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.emplace_back(buf, (size_t)n);
        }
        return out;
    }
};

}  // namespace testutil
