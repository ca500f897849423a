#pragma once
// Loopback sockets for the network benchmarks' own peers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
