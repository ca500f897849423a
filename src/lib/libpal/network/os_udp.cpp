#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/network/os_udp"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/network/os_socket.h"

u64 os_udp_open(const char *host, int port)
{
    OS_CHECK_RET(host, 0);
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    int r = getaddrinfo(host, service, &hints, &res);
    if (r != 0 || !res) {
        if (r == EAI_SYSTEM) {
            LOG_AT(7 | LOG_OPT_ERRNO, "failed to resolve name %s port %s error: ", host, service);
        } else {
            LOG_DBG("failed to resolve name %s port %s error: %s\n", host, service, gai_strerror(r));
        }
        if (res) freeaddrinfo(res);
        return 0;
    }
    int fd = socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC, res->ai_protocol);
    if (fd < 0) {
        freeaddrinfo(res);
        return 0;
    }
    if (connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
        close(fd);
        freeaddrinfo(res);
        return 0;
    }
    freeaddrinfo(res);
    return os_fd_sock(fd);
}

i64 os_udp_send(u64 handle, const void *data, size_t size)
{
    OS_CHECK_RET(handle && data, -1);
    ssize_t n = send(os_sock_fd(handle), data, size, MSG_NOSIGNAL);
    return n < 0 ? -1 : n;
}

int os_udp_close(u64 handle)
{
    if (!handle) return -1;
    return close(os_sock_fd(handle));
}
