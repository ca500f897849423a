#pragma once
// Test client of the HTTP server: one request over a fresh loopback
// connection, the whole answer read until the server closes. Every wait is
// bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace httptest {

inline long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A connected socket to 127.0.0.1:port, from the local address src when
// given (any 127.0.0.0/8 address); -1 on failure.
inline int dial(int port, const char *src = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (src) {
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, src, &a.sin_addr);
        if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0) {
            close(fd);
            return -1;
        }
    }
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

// Everything until the peer closes (or ms pass).
inline std::string read_all(int fd, int ms = 5000)
{
    std::string out;
    long long end = now_ms() + ms;
    for (;;) {
        long long left = end - now_ms();
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) continue;
        char buf[16384];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, (size_t)n);
    }
    return out;
}

// One raw request and its whole answer.
inline std::string raw(int port, const std::string &request, const char *src = nullptr, int ms = 5000)
{
    int fd = dial(port, src);
    if (fd < 0) return "<connect failed>";
    std::string out;
    if (send_all(fd, request)) out = read_all(fd, ms);
    close(fd);
    return out;
}

inline std::string get(int port, const std::string &target, const std::string &extra = "")
{
    return raw(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + extra + "\r\n");
}

// The body of an answer (after the blank line), or the whole text.
inline std::string body(const std::string &answer)
{
    size_t p = answer.find("\r\n\r\n");
    return p == std::string::npos ? answer : answer.substr(p + 4);
}

inline std::string head(const std::string &answer)
{
    size_t p = answer.find("\r\n\r\n");
    return p == std::string::npos ? answer : answer.substr(0, p + 4);
}

}  // namespace httptest
