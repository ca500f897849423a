#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/addrinfo"
#include "libpal/os/posix/addrinfo.h"

#include <cstdio>
#include <netdb.h>
#include <sys/socket.h>

#include "liblog/log.h"
#include "libpal/network/os_socket.h"

int os_addrinfo_addr(const char *name, os_ipaddr *addr)
{
    OS_CHECK_RET(name && addr, 0);
    struct addrinfo hints = {};
    int family = os_ipaddr_family(addr);
    hints.ai_family = family == OS_IPADDR_FAMILY_IPV4 ? AF_INET
                    : family == OS_IPADDR_FAMILY_IPV6 ? AF_INET6
                                                      : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char service[16];
    const char *svc = nullptr;
    if (addr->port) {
        snprintf(service, sizeof service, "%u", addr->port);
        svc = service;
    }
    struct addrinfo *answer = nullptr;
    if (getaddrinfo(name, svc, &hints, &answer) != 0) return 0;
    int ok = 0;
    if (!answer || !answer->ai_addr) {
        OS_CHECK_LOG("answer && answer->ai_addr");
    } else {
        os_ipaddr tmp;
        if (os_sockaddr_save(&tmp, answer->ai_addr, (u32)answer->ai_addrlen)) {
            *addr = tmp;
            ok = 1;
        }
    }
    if (answer) freeaddrinfo(answer);
    return ok;
}

char *os_addrinfo_name(const os_ipaddr *addr, char *name, size_t maxn)
{
    OS_CHECK_TXT(addr && name && maxn, "addr && name && maxn", nullptr);
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    int len = os_sockaddr_load(sa, addr);
    OS_CHECK_TXT(len, "saddrlen", nullptr);
    if (getnameinfo((struct sockaddr *)sa, (socklen_t)len, name, (socklen_t)maxn, nullptr, 0,
                    NI_NAMEREQD) != 0)
        return nullptr;
    return name;
}
