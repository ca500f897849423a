#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/sock_cli"
#include "libnet/sock_cli.h"

#include <cstdio>

#include <cerrno>

#include "liblog/log.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/posix/addrinfo.h"
#include "libnet/sock_proxy.h"

// Error records name the step that failed (file, line and function).
#define ERR_SET(err, code, ...) os_err_set((err), LOG_SRC, __LINE__, __func__, (code), __VA_ARGS__)
#define ERR_SET_AT(err, func, code, ...) os_err_set((err), LOG_SRC, __LINE__, (func), (code), __VA_ARGS__)
#define ERR_SET_ERRNO(err, eno, ...) \
    os_err_set_reason((err), LOG_SRC, __LINE__, __func__, (eno), os_errno_text(eno), __VA_ARGS__)

namespace {

constexpr int kSliceMs = 200;

}  // namespace

static u64 sock_tcp_init(const os_ipaddr *addr, const sock_opt *opt, os_err *err)
{
    u64 s = os_socket_init(OS_SOCK_TCP, os_ipaddr_family(addr));
    if (!s) {
        int e = errno;
        ERR_SET_ERRNO(err, e, "os_socket_init error: ");
        return 0;
    }
    if (opt->buffer_size) {
        if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, opt->buffer_size))
            LOG_WARN("OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", (int)opt->buffer_size);
        if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, opt->buffer_size))
            LOG_WARN("OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", (int)opt->buffer_size);
    }
    if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1)) LOG_WARN("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    return s;
}

// 1 connected, 0 failed with err filled (the caller closes the socket).
static int sock_connect_imp(u64 s, const os_ipaddr *addr, const sock_opt *opt, os_err *err)
{
    char text[128];
    os_ipaddr_cstr(addr, text, sizeof text);
    const u64 start = os_mono_ms();
    for (;;) {
        int r = os_socket_connect(s, addr);
        if (r == 1) return 1;
        if (r < 0) {
            int e = errno;
            ERR_SET_ERRNO(err, e, "connect %s ", text);
            return 0;
        }
        int w = 0;
        do {
            u64 elapsed = os_mono_ms() - start;
            if (elapsed >= opt->timeout) {
                ERR_SET(err, -1, "connect %s timeout", text);
                return 0;
            }
            if (net_cancel_requested(opt->cancel, kSliceMs)) {
                ERR_SET(err, -1, "User request stop");
                return 0;
            }
            u64 left = opt->timeout - elapsed;
            w = os_socket_wait(s, OS_SOCK_WAIT_WRITE, left < (u64)kSliceMs ? (int)left : kSliceMs);
        } while (w == 0);
        if (w < 0) {
            int e = errno;
            ERR_SET_ERRNO(err, e, "connect %s ", text);
            return 0;
        }
    }
}

static u64 tcp_connect_imp(const char *host, int port, const sock_opt *opt, os_err *err)
{
    if (opt->proxy.type != SOCK_PROXY_NONE) return proxy_tcp_connect(host, port, opt, err);
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    if (!os_addrinfo_addr(host, &addr)) {
        ERR_SET_AT(err, "sock_tcp_connect", -2, "addrinfo_addr %s failed", host);
        return 0;
    }
    os_ipaddr_port_set(&addr, (u16)port);
    u64 s = sock_tcp_init(&addr, opt, err);
    if (!s) return 0;
    if (opt->no_wait) {
        int r = os_socket_connect(s, &addr);
        if (r >= 0) return s;
        int e = errno;
        char text[128];
        os_ipaddr_cstr(&addr, text, sizeof text);
        os_err_set_reason(err, LOG_SRC, __LINE__, "sock_connect_imp", e, os_errno_text(e), "connect %s ", text);
        os_socket_exit(s);
        return 0;
    }
    if (!sock_connect_imp(s, &addr, opt, err)) {
        os_socket_exit(s);
        return 0;
    }
    return s;
}

u64 sock_tcp_connect(const char *host, int port, const sock_opt *options, os_err *err)
{
    static const sock_opt no_options = {};
    const sock_opt *opt = options ? options : &no_options;
    if (!host) {
        ERR_SET(err, EINVAL, "sock_tcp_connect: no host");
        OS_CHECK_RET(host, 0);
    }
    // The reason goes to the caller's record, or to a local one for the log.
    os_err local;
    os_err *e = err ? err : &local;
    e->msg[0] = 0;
    u64 s = tcp_connect_imp(host, port, opt, e);
    if (!s) LOG_DBG("tcp connect %s:%d failed: %s\n", host, port, os_err_str(e));
    return s;
}

u64 sock_udp_open(const char *host, int port, os_err *err)
{
    if (!host) {
        ERR_SET(err, EINVAL, "sock_udp_open: no host");
        OS_CHECK_RET(host, 0);
    }
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    if (!os_addrinfo_addr(host, &addr)) {
        ERR_SET(err, -2, "addrinfo_addr %s failed", host);
        return 0;
    }
    os_ipaddr_port_set(&addr, (u16)port);
    u64 s = os_socket_init(OS_SOCK_UDP, os_ipaddr_family(&addr));
    if (!s) {
        int e = errno;
        ERR_SET_ERRNO(err, e, "os_socket_init error: ");
        return 0;
    }
    if (os_socket_connect(s, &addr) >= 0) return s;
    int e = errno;
    char text[128];
    os_ipaddr_cstr(&addr, text, sizeof text);
    ERR_SET_ERRNO(err, e, "connect %s ", text);
    os_socket_exit(s);
    return 0;
}

int sock_kill(u64 sock, int how)
{
    return os_socket_kill(sock, how) ? 0 : -1;
}

int sock_close(u64 sock)
{
    os_socket_exit(sock);
    return 0;
}

int sock_send(u64 sock, const void *data, size_t size)
{
    return (int)os_socket_send(sock, data, size);
}

int sock_recv(u64 sock, void *data, size_t size)
{
    return (int)os_socket_recv(sock, data, size);
}

int sock_urecv(u64 sock, os_ipaddr *from, void *data, size_t size)
{
    return (int)os_socket_urecv(sock, from, data, size);
}

int sock_usend(u64 sock, const os_ipaddr *to, const void *data, size_t size)
{
    return (int)os_socket_usend(sock, to, data, size);
}

char *sock_ipaddr_cstr(const os_ipaddr *a, char *data, size_t maxn)
{
    return os_ipaddr_cstr(a, data, maxn);
}

char *sock_ipaddr_cstr_noport(const os_ipaddr *a, char *data, size_t maxn)
{
    return os_ipaddr_cstr_noport(a, data, maxn);
}

char *sock_host_port_cstr(const char *host, int port, char *data, size_t maxn)
{
    os_ipaddr at{};
    if (!host || !os_ipaddr_set(&at, host, port, OS_IPADDR_FAMILY_NONE) || !os_ipaddr_cstr(&at, data, maxn))
        snprintf(data, maxn, "%s:%d", host ? host : "", port);
    return data;
}

void sock_ipaddr_copy(os_ipaddr *a, const os_ipaddr *src)
{
    os_ipaddr_copy(a, src);
}
