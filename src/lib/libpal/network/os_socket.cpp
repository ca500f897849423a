#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/network/os_socket"
#include "libpal/network/os_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log.h"

namespace {

int sock_kind(u32 type)
{
    switch (type & 0xff00) {
    case OS_SOCK_STREAM: return SOCK_STREAM;
    case OS_SOCK_DGRAM: return SOCK_DGRAM;
    case OS_SOCK_RAW: return SOCK_RAW;
    default: return -1;
    }
}

bool set_int_opt(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool get_int_opt(int fd, int level, int name, int *value)
{
    socklen_t len = sizeof *value;
    return getsockopt(fd, level, name, value, &len) == 0;
}

bool would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

i64 xfer_result(ssize_t n)
{
    if (n >= 0) return n;
    return would_block(errno) ? 0 : -1;
}

// Moves size bytes, xfer(offset) being one receive or send from that
// offset; when nothing moves, waits (no limit) once for mode and tries
// again. 1 when every byte moved; 0 on a failure, the end of the stream
// or a second empty try.
template <typename Xfer>
int xfer_all(u64 sock, int mode, size_t size, Xfer xfer)
{
    size_t done = 0;
    bool waited = false;
    while (done < size) {
        errno = 0;
        i64 n = xfer(done);
        if (n > 0) {
            done += (size_t)n;
            waited = false;
            continue;
        }
        // n is 0 with errno 0 only at the end of a received stream.
        if (n < 0 || waited || errno == 0) break;
        if (os_socket_wait(sock, mode, -1) < 1) break;
        waited = true;
    }
    return done == size ? 1 : 0;
}

}  // namespace

// Protocol number for a type word and family; -1 when invalid.
static int os_socket_proto(u32 type, int family, int *domain)
{
    if (family == OS_IPADDR_FAMILY_UNIX) return 0;
    switch (type & 0xff) {
    case OS_SOCK_PROTO_TCP: return IPPROTO_TCP;
    case OS_SOCK_PROTO_UDP: return IPPROTO_UDP;
    case OS_SOCK_PROTO_ICMP:
        if (family == OS_IPADDR_FAMILY_IPV6) {
            *domain = AF_INET6;
            return IPPROTO_ICMPV6;
        }
        if (family == OS_IPADDR_FAMILY_IPV4) return IPPROTO_ICMP;
        OS_CHECK_LOG("0");
        return -1;
    default: return -1;
    }
}

u64 os_socket_init(u32 type, int family)
{
    OS_CHECK_RET(type, 0);
    int domain = family == OS_IPADDR_FAMILY_UNIX ? AF_UNIX
               : family == OS_IPADDR_FAMILY_IPV6 ? AF_INET6
                                                 : AF_INET;
    int t = sock_kind(type);
    int p = os_socket_proto(type, family, &domain);
    int fd = -1;
    if (t >= 0 && p >= 0) {
        fd = socket(domain, t | SOCK_NONBLOCK | SOCK_CLOEXEC, p);
    } else {
        OS_CHECK_LOG("t >= 0 && p >= 0");
        errno = EINVAL;
    }
    OS_CHECK_RET(fd >= 0, 0);
    return os_fd_sock(fd);
}

int os_socket_pair(u32 type, u64 pair[2])
{
    OS_CHECK_RET(type && pair, 0);
    int t = sock_kind(type);
    OS_CHECK_RET(t >= 0, 0);
    int fds[2];
    if (socketpair(AF_UNIX, t | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    pair[0] = os_fd_sock(fds[0]);
    pair[1] = os_fd_sock(fds[1]);
    return 1;
}

int os_socket_ctrl(u64 sock, u32 code, u64 arg)
{
    OS_CHECK_RET(sock, 0);
    int fd = os_sock_fd(sock);
    int v = (int)arg;
    switch (code) {
    case OS_SOCKET_CTRL_SET_BLOCK: {
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0) return 0;
        fl = (arg & 0xff) ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK);
        return fcntl(fd, F_SETFL, fl) == 0;
    }
    case OS_SOCKET_CTRL_GET_BLOCK: {
        u8 *pis_block = (u8 *)(uintptr_t)arg;
        OS_CHECK_RET(pis_block, 0);
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0) return 0;
        *pis_block = (fl & O_NONBLOCK) ? 0 : 1;
        return 1;
    }
    case OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE: return set_int_opt(fd, SOL_SOCKET, SO_RCVBUF, v);
    case OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE: return set_int_opt(fd, SOL_SOCKET, SO_SNDBUF, v);
    case OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE:
    case OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE: {
        u32 *pbuff_size = (u32 *)(uintptr_t)arg;
        OS_CHECK_RET(pbuff_size, 0);
        int n = 0;
        bool ok = get_int_opt(fd, SOL_SOCKET,
                              code == OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE ? SO_RCVBUF : SO_SNDBUF, &n);
        *pbuff_size = ok ? (u32)n : 0;
        return ok;
    }
    case OS_SOCKET_CTRL_SET_TCP_NODELAY: return set_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, v);
    case OS_SOCKET_CTRL_GET_TCP_NODELAY: {
        u8 *penable = (u8 *)(uintptr_t)arg;
        OS_CHECK_RET(penable, 0);
        int n = 0;
        bool ok = get_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, &n);
        *penable = ok && n ? 1 : 0;
        return ok;
    }
    case OS_SOCKET_CTRL_SET_KEEPINTVL: return set_int_opt(fd, IPPROTO_TCP, TCP_KEEPINTVL, v);
    case OS_SOCKET_CTRL_SET_KEEPALIVE: return set_int_opt(fd, SOL_SOCKET, SO_KEEPALIVE, v);
    case OS_SOCKET_CTRL_SET_SOCKOPT_16384: return set_int_opt(fd, SOL_SOCKET, 0x4000, v);
    case OS_SOCKET_CTRL_SET_KEEPIDLE: return set_int_opt(fd, IPPROTO_TCP, TCP_KEEPIDLE, v);
    case OS_SOCKET_CTRL_SET_KEEPCNT: return set_int_opt(fd, IPPROTO_TCP, TCP_KEEPCNT, v);
    case OS_SOCKET_CTRL_ADD_MEMBERSHIP: {
        const char *group = (const char *)(uintptr_t)arg;
        struct ip_mreq mreq = {};
        if (!group || inet_aton(group, &mreq.imr_multiaddr) == 0) return 0;
        mreq.imr_interface.s_addr = htonl(INADDR_ANY);
        return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
    }
    default:
        LOG_ERR("unknown socket ctrl: %lu\n", (unsigned long)code);
        return 0;
    }
}

int os_socket_connect(u64 sock, const os_ipaddr *addr)
{
    OS_CHECK_RET(sock && addr, -1);
    if (os_ipaddr_is_empty(addr) && addr->port == 0) OS_CHECK_TXT(0, "!os_ipaddr_is_empty(addr)", -1);
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    int len = os_sockaddr_load(sa, addr);
    if (len <= 0) return -1;
    if (connect(os_sock_fd(sock), (struct sockaddr *)sa, (socklen_t)len) == 0) return 1;
    switch (errno) {
    case EISCONN: return 1;
    case EINPROGRESS:
    case EALREADY:
    case EAGAIN:
    case EINTR: return 0;
    default: return -1;
    }
}

int os_socket_bind(u64 sock, const os_ipaddr *addr)
{
    return os_socket_bind2(sock, addr, addr && addr->port != 0);
}

int os_socket_bind2(u64 sock, const os_ipaddr *addr, bool reuse_port)
{
    OS_CHECK_RET(sock && addr, 0);
    int fd = os_sock_fd(sock);
    if (!set_int_opt(fd, SOL_SOCKET, SO_REUSEADDR, 1)) LOG_AT(7 | LOG_OPT_ERRNO, "reuseaddr: error: ");
    if (reuse_port && !set_int_opt(fd, SOL_SOCKET, SO_REUSEPORT, 1))
        LOG_AT(7 | LOG_OPT_ERRNO, "reuseport: %u error: ", addr->port);
    if (os_ipaddr_family(addr) == OS_IPADDR_FAMILY_IPV6 && !set_int_opt(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1))
        LOG_AT(7 | LOG_OPT_ERRNO, "set only ipv6 error: ");
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    int len = os_sockaddr_load(sa, addr);
    if (len <= 0) return 0;
    return bind(fd, (struct sockaddr *)sa, (socklen_t)len) == 0;
}

int os_socket_listen(u64 sock, int backlog)
{
    OS_CHECK_RET(sock, 0);
    return listen(os_sock_fd(sock), backlog) == 0;
}

u64 os_socket_accept(u64 sock, os_ipaddr *peer)
{
    OS_CHECK_RET(sock, 0);
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    memset(sa, 0, sizeof sa);
    socklen_t len = sizeof sa;
    int fd = accept4(os_sock_fd(sock), (struct sockaddr *)sa, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return 0;
    int saved = errno;
    if (((struct sockaddr *)sa)->sa_family != AF_UNIX) set_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    if (peer) os_sockaddr_save(peer, sa, len);
    errno = saved;
    return os_fd_sock(fd);
}

namespace {

// The address that get (getsockname or getpeername) gives for sock.
int socket_addr(u64 sock, os_ipaddr *addr, int (*get)(int, struct sockaddr *, socklen_t *))
{
    OS_CHECK_RET(sock, 0);
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    memset(sa, 0, sizeof sa);
    socklen_t len = sizeof sa;
    if (get(os_sock_fd(sock), (struct sockaddr *)sa, &len) != 0) return 0;
    if (addr && !os_sockaddr_save(addr, sa, len)) return 0;
    return 1;
}

}  // namespace

int os_socket_local(u64 sock, os_ipaddr *addr)
{
    return socket_addr(sock, addr, getsockname);
}

int os_socket_peer(u64 sock, os_ipaddr *addr)
{
    return socket_addr(sock, addr, getpeername);
}

int os_socket_kill(u64 sock, int how)
{
    OS_CHECK_RET(sock, 0);
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    if (shutdown(os_sock_fd(sock), h) != 0) {
        LOG_ERR("kill: %p failed, errno: %d\n", (void *)(uintptr_t)sock, errno);
        return 0;
    }
    return 1;
}

int os_socket_exit(u64 sock)
{
    OS_CHECK_RET(sock, 0);
    if (close(os_sock_fd(sock)) != 0) {
        LOG_ERR("close: %p failed, errno: %d\n", (void *)(uintptr_t)sock, errno);
        return 0;
    }
    return 1;
}

i64 os_socket_recv(u64 sock, void *data, size_t size)
{
    OS_CHECK_RET(sock && data, -1);
    if (size == 0) return 0;
    return xfer_result(recv(os_sock_fd(sock), data, size, 0));
}

i64 os_socket_send(u64 sock, const void *data, size_t size)
{
    OS_CHECK_RET(sock && data, -1);
    if (size == 0) return 0;
    return xfer_result(send(os_sock_fd(sock), data, size, MSG_NOSIGNAL));
}

i64 os_socket_urecv(u64 sock, os_ipaddr *from, void *data, size_t size)
{
    OS_CHECK_RET(sock && data, -1);
    if (size == 0) return 0;
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    memset(sa, 0, sizeof sa);
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(os_sock_fd(sock), data, size, 0, (struct sockaddr *)sa, &len);
    if (n >= 0 && from) {
        int saved = errno;
        os_sockaddr_save(from, sa, len);
        errno = saved;
    }
    return xfer_result(n);
}

i64 os_socket_usend(u64 sock, const os_ipaddr *to, const void *data, size_t size)
{
    OS_CHECK_TXT(sock && to && data, "sock && addr && data", -1);
    OS_CHECK_TXT(!os_ipaddr_is_empty(to), "!os_ipaddr_is_empty(addr)", -1);
    if (size == 0) return 0;
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    int len = os_sockaddr_load(sa, to);
    if (len <= 0) return -1;
    return xfer_result(
        sendto(os_sock_fd(sock), data, size, MSG_NOSIGNAL, (struct sockaddr *)sa, (socklen_t)len));
}

i64 os_socket_recvv(u64 sock, const struct iovec *list, int count)
{
    OS_CHECK_TXT(sock && list && count > 0, "sock && list && size", -1);
    return xfer_result(readv(os_sock_fd(sock), list, count));
}

i64 os_socket_sendv(u64 sock, const struct iovec *list, int count)
{
    OS_CHECK_TXT(sock && list && count > 0, "sock && list && size", -1);
    struct msghdr mh = {};
    mh.msg_iov = const_cast<struct iovec *>(list);
    mh.msg_iovlen = (size_t)count;
    return xfer_result(sendmsg(os_sock_fd(sock), &mh, MSG_NOSIGNAL));
}

i64 os_socket_urecvv(u64 sock, os_ipaddr *from, const struct iovec *list, int count)
{
    OS_CHECK_TXT(sock && list && count > 0, "sock && list && size", -1);
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    memset(sa, 0, sizeof sa);
    struct msghdr mh = {};
    mh.msg_name = sa;
    mh.msg_namelen = sizeof sa;
    mh.msg_iov = const_cast<struct iovec *>(list);
    mh.msg_iovlen = (size_t)count;
    ssize_t n = recvmsg(os_sock_fd(sock), &mh, 0);
    if (n >= 0 && from) {
        int saved = errno;
        os_sockaddr_save(from, sa, mh.msg_namelen);
        errno = saved;
    }
    return xfer_result(n);
}

i64 os_socket_usendv(u64 sock, const os_ipaddr *to, const struct iovec *list, int count)
{
    OS_CHECK_TXT(sock && to && list && count > 0, "sock && addr && list && size", -1);
    OS_CHECK_TXT(!os_ipaddr_is_empty(to), "!os_ipaddr_is_empty(addr)", -1);
    alignas(struct sockaddr_storage) char sa[OS_SOCKADDR_MAX];
    int len = os_sockaddr_load(sa, to);
    if (len <= 0) return -1;
    struct msghdr mh = {};
    mh.msg_name = sa;
    mh.msg_namelen = (socklen_t)len;
    mh.msg_iov = const_cast<struct iovec *>(list);
    mh.msg_iovlen = (size_t)count;
    return xfer_result(sendmsg(os_sock_fd(sock), &mh, MSG_NOSIGNAL));
}

int os_socket_wait_impl(u64 sock, int mode, int timeout_ms)
{
    OS_CHECK_RET(sock, -1);
    int fd = os_sock_fd(sock);
    OS_CHECK_RET(fd >= 0, -1);
    struct pollfd pfd = {};
    pfd.fd = fd;
    if (mode & OS_SOCK_WAIT_READ) pfd.events |= POLLIN;
    if (mode & OS_SOCK_WAIT_WRITE) pfd.events |= POLLOUT;
    int r = poll(&pfd, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (r == 0) return 0;
    if (r < 0) {
        if (errno == EINTR) return 0;
        OS_CHECK_RET(r >= 0, -1);
    }
    if (pfd.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    int err = 0;
    if (get_int_opt(fd, SOL_SOCKET, SO_ERROR, &err) && err != 0) {
        errno = err;
        return -1;
    }
    // Hang-up and error states count as ready: the next transfer reports them.
    int res = 0;
    short any = POLLHUP | POLLERR;
    if ((mode & OS_SOCK_WAIT_READ) && (pfd.revents & (POLLIN | POLLRDHUP | any))) res |= 1;
    if ((mode & OS_SOCK_WAIT_WRITE) && (pfd.revents & (POLLOUT | any))) res |= 2;
    return res;
}

int os_socket_wait(u64 sock, int mode, int timeout_ms)
{
    return os_socket_wait_impl(sock, mode, timeout_ms);
}

int os_sock_read_all(u64 sock, void *data, size_t size)
{
    return xfer_all(sock, OS_SOCK_WAIT_READ, size,
                    [&](size_t done) { return os_socket_recv(sock, (char *)data + done, size - done); });
}

int os_sock_write_all(u64 sock, const void *data, size_t size)
{
    return xfer_all(sock, OS_SOCK_WAIT_WRITE, size,
                    [&](size_t done) { return os_socket_send(sock, (const char *)data + done, size - done); });
}
