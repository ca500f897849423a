#pragma once
// Thin socket layer. A socket handle is the descriptor plus one (0 = none).
// Sockets made here are non-blocking and close-on-exec.
#include <sys/uio.h>
#include "libpal/env/os_types.h"
#include "libpal/network/os_ipaddr.h"

// Type word: high byte the kind, low byte the protocol.
enum : u32 {
    OS_SOCK_STREAM = 0x100,
    OS_SOCK_DGRAM = 0x200,
    OS_SOCK_RAW = 0x300,
    OS_SOCK_PROTO_TCP = 1,
    OS_SOCK_PROTO_UDP = 2,
    OS_SOCK_PROTO_ICMP = 3,
    OS_SOCK_TCP = 0x101,
    OS_SOCK_UDP = 0x202,
};

// Wait mode and result bits.
enum : int {
    OS_SOCK_WAIT_READ = 1,
    OS_SOCK_WAIT_WRITE = 2,
};

enum os_socket_ctrl_code : u32 {
    OS_SOCKET_CTRL_SET_BLOCK = 0,
    OS_SOCKET_CTRL_GET_BLOCK = 1,
    OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE = 2,
    OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE = 3,
    OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE = 4,
    OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE = 5,
    OS_SOCKET_CTRL_SET_TCP_NODELAY = 6,
    OS_SOCKET_CTRL_GET_TCP_NODELAY = 7,
    OS_SOCKET_CTRL_SET_KEEPINTVL = 8,
    OS_SOCKET_CTRL_SET_KEEPALIVE = 9,
    OS_SOCKET_CTRL_SET_SOCKOPT_16384 = 10,
    OS_SOCKET_CTRL_SET_KEEPIDLE = 11,
    OS_SOCKET_CTRL_SET_KEEPCNT = 12,
    OS_SOCKET_CTRL_ADD_MEMBERSHIP = 13,
};

// Size of the system socket address buffers used by the conversions.
constexpr size_t OS_SOCKADDR_MAX = 128;

inline int os_sock_fd(u64 sock) { return (int)(sock - 1); }
inline u64 os_fd_sock(int fd) { return (u64)fd + 1; }

u64 os_socket_init(u32 type, int family);
int os_socket_pair(u32 type, u64 pair[2]);
// arg is an integer value, or a pointer cast to an integer for the getters
// and OS_SOCKET_CTRL_ADD_MEMBERSHIP.
int os_socket_ctrl(u64 sock, u32 code, u64 arg);
int os_socket_connect(u64 sock, const os_ipaddr *addr);
// Binds with SO_REUSEADDR (a restarted server gets its port back at once)
// and, for a port other than 0, SO_REUSEPORT.
int os_socket_bind(u64 sock, const os_ipaddr *addr);
// The same, with SO_REUSEPORT exactly when reuse_port is set: without it
// a port that another socket listens on is refused (EADDRINUSE) instead
// of shared.
int os_socket_bind2(u64 sock, const os_ipaddr *addr, bool reuse_port);
int os_socket_listen(u64 sock, int backlog);
// 0 when nothing is pending or on failure; errno tells which.
u64 os_socket_accept(u64 sock, os_ipaddr *peer);
// The socket's own address, or its connected peer's: 1, or 0 on failure.
int os_socket_local(u64 sock, os_ipaddr *addr);
int os_socket_peer(u64 sock, os_ipaddr *addr);
int os_socket_kill(u64 sock, int how);
int os_socket_exit(u64 sock);

// Transfers: byte count; 0 for size 0, EINTR, EAGAIN and (receive) end of
// stream, with errno left as the call set it; -1 on other failures. Sends
// never raise SIGPIPE.
i64 os_socket_recv(u64 sock, void *data, size_t size);
i64 os_socket_send(u64 sock, const void *data, size_t size);
i64 os_socket_urecv(u64 sock, os_ipaddr *from, void *data, size_t size);
i64 os_socket_usend(u64 sock, const os_ipaddr *to, const void *data, size_t size);
i64 os_socket_recvv(u64 sock, const struct iovec *list, int count);
i64 os_socket_sendv(u64 sock, const struct iovec *list, int count);
i64 os_socket_urecvv(u64 sock, os_ipaddr *from, const struct iovec *list, int count);
i64 os_socket_usendv(u64 sock, const os_ipaddr *to, const struct iovec *list, int count);

// Waits for readiness (mode bits 1 read, 2 write) with poll. Ready bits,
// 0 on time-out or EINTR, -1 on failure or a pending socket error (which
// is then in errno). timeout_ms below 0 waits without limit.
int os_socket_wait_impl(u64 sock, int mode, int timeout_ms);
int os_socket_wait(u64 sock, int mode, int timeout_ms);

int os_sock_read_all(u64 sock, void *data, size_t size);
int os_sock_write_all(u64 sock, const void *data, size_t size);

// System address <-> framework address. save reads at most len bytes of
// saddr; load fills OS_SOCKADDR_MAX bytes and returns the length to pass
// to the system (exact for local socket names).
int os_sockaddr_save(os_ipaddr *addr, const void *saddr, u32 len = OS_SOCKADDR_MAX);
int os_sockaddr_load(void *saddr, const os_ipaddr *addr);

// Connected UDP sender (blocking socket).
u64 os_udp_open(const char *host, int port);
i64 os_udp_send(u64 handle, const void *data, size_t size);
int os_udp_close(u64 handle);
