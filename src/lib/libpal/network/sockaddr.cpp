#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/network/sockaddr"
#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "liblog/log.h"
#include "libpal/network/os_socket.h"

static_assert(sizeof(struct sockaddr_un) <= OS_SOCKADDR_MAX);
static_assert(sizeof(struct sockaddr_in6) <= OS_SOCKADDR_MAX);

// Only link-local addresses carry a scope id.
static bool scoped6(const os_ipv6 *ip6)
{
    return os_ipv6_is_linklocal(ip6) || os_ipv6_is_mc_linklocal(ip6);
}

int os_sockaddr_save(os_ipaddr *addr, const void *saddr, u32 len)
{
    OS_CHECK_RET(addr && saddr, 0);
    os_ipaddr_clear(addr);
    sa_family_t family;
    if (len < sizeof family) {
        OS_CHECK_LOG("0");
        return 0;
    }
    memcpy(&family, saddr, sizeof family);
    switch (family) {
    case AF_INET: {
        struct sockaddr_in in;
        if (len < sizeof in) break;
        memcpy(&in, saddr, sizeof in);
        addr->family = OS_IPADDR_FAMILY_IPV4 | OS_IPADDR_IP_FLAG;
        memcpy(addr->u.ipv4.addr, &in.sin_addr, 4);
        addr->port = ntohs(in.sin_port);
        return (int)sizeof in;
    }
    case AF_INET6: {
        struct sockaddr_in6 in6;
        if (len < sizeof in6) break;
        memcpy(&in6, saddr, sizeof in6);
        addr->family = OS_IPADDR_FAMILY_IPV6 | OS_IPADDR_IP_FLAG;
        memcpy(addr->u.ipv6.addr, &in6.sin6_addr, 16);
        addr->u.ipv6.scope_id = scoped6(&addr->u.ipv6) ? in6.sin6_scope_id : 0;
        addr->port = ntohs(in6.sin6_port);
        return (int)sizeof in6;
    }
    case AF_UNIX: {
        struct sockaddr_un un;
        memset(&un, 0, sizeof un);
        size_t n = len < sizeof un ? len : sizeof un;
        memcpy(&un, saddr, n);
        // Only the bytes the system reported belong to the name.
        size_t avail = n - offsetof(struct sockaddr_un, sun_path);
        addr->family = OS_IPADDR_FAMILY_UNIX | OS_IPADDR_IP_FLAG;
        if (avail == 0) return (int)sizeof un;  // unnamed
        if (un.sun_path[0] != 0) {
            size_t plen = strnlen(un.sun_path, avail);
            OS_CHECK_TXT(plen < sizeof un.sun_path, "n < sizeof(addru->sun_path)", 0);
            memcpy(addr->u.un.path, un.sun_path, plen);
        } else {
            size_t nlen = strnlen(un.sun_path + 1, avail - 1);
            OS_CHECK_TXT(nlen < sizeof un.sun_path - 1, "n < sizeof(addru->sun_path) - 1", 0);
            memcpy(addr->u.un.path, un.sun_path + 1, nlen);
            addr->u.un.abstract = 1;
        }
        return (int)sizeof un;
    }
    default: break;
    }
    OS_CHECK_LOG("0");
    return 0;
}

int os_sockaddr_load(void *saddr, const os_ipaddr *addr)
{
    OS_CHECK_TXT(saddr && addr, "saddr && ipaddr", 0);
    memset(saddr, 0, OS_SOCKADDR_MAX);
    bool ip = !os_ipaddr_is_empty(addr);
    switch (os_ipaddr_family(addr)) {
    case OS_IPADDR_FAMILY_IPV4: {
        struct sockaddr_in in = {};
        in.sin_family = AF_INET;
        in.sin_port = htons(addr->port);
        if (ip) memcpy(&in.sin_addr, addr->u.ipv4.addr, 4);
        else in.sin_addr.s_addr = htonl(INADDR_ANY);
        memcpy(saddr, &in, sizeof in);
        return (int)sizeof in;
    }
    case OS_IPADDR_FAMILY_IPV6: {
        struct sockaddr_in6 in6 = {};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(addr->port);
        if (ip) {
            memcpy(&in6.sin6_addr, addr->u.ipv6.addr, 16);
            if (scoped6(&addr->u.ipv6)) in6.sin6_scope_id = addr->u.ipv6.scope_id;
        } else {
            in6.sin6_addr = in6addr_any;
        }
        memcpy(saddr, &in6, sizeof in6);
        return (int)sizeof in6;
    }
    case OS_IPADDR_FAMILY_UNIX: {
        struct sockaddr_un un;
        memset(&un, 0, sizeof un);
        un.sun_family = AF_UNIX;
        const os_unixaddr *ua = &addr->u.un;
        size_t n = strnlen(ua->path, sizeof ua->path);
        size_t base = offsetof(struct sockaddr_un, sun_path);
        int len;
        if (ua->abstract) {
            OS_CHECK_TXT(n < sizeof un.sun_path - 1, "n < sizeof(addru->sun_path) - 1", 0);
            memcpy(un.sun_path + 1, ua->path, n);
            // The name is exactly the bytes after the leading NUL.
            len = (int)(base + 1 + n);
        } else {
            OS_CHECK_TXT(n < sizeof un.sun_path, "n < sizeof(addru->sun_path)", 0);
            memcpy(un.sun_path, ua->path, n);
            len = (int)(base + n + 1);
        }
        memcpy(saddr, &un, sizeof un);
        return len;
    }
    default: break;
    }
    OS_CHECK_LOG("0");
    return 0;
}
