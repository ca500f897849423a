#pragma once
// TCP and UDP clients: connects with a time limit, a stop request and an
// error record that names the real reason.
#include <atomic>
#include "libpal/comm/verrmsg.h"
#include "libpal/env/os_types.h"
#include "libpal/network/os_ipaddr.h"

// Cancel request shared with another thread: a non-zero flag, or a check
// procedure returning non-zero, stops the operation.
struct net_cancel {
    std::atomic<i32> flag;
    int (*check)(void *arg, int timeout_ms);
    void *arg;
};

// True when c (may be NULL) asks to stop: its flag, or its check procedure
// called with timeout_ms.
inline bool net_cancel_requested(net_cancel *c, int timeout_ms)
{
    if (!c) return false;
    if (c->flag.load()) return true;
    return c->check && c->check(c->arg, timeout_ms);
}

enum : u32 {
    SOCK_PROXY_NONE = 0,
    SOCK_PROXY_HTTP = 1,
    SOCK_PROXY_SOCKS4 = 2,
    SOCK_PROXY_SOCKS5 = 3,
};

struct sock_proxy {
    u32 type;
    char host[1024];
    u32 port;
    char user[4096];  // empty: no authentication
    char passwd[4096];
};

struct sock_opt {
    u32 timeout;      // connect time limit, ms
    u32 buffer_size;  // non-zero: receive and send buffer size
    u32 no_wait;      // non-zero: one attempt, a connection in progress is returned
    sock_proxy proxy;
    net_cancel *cancel;
};

u64 sock_tcp_connect(const char *host, int port, const sock_opt *options, os_err *err);
u64 sock_udp_open(const char *host, int port, os_err *err);

int sock_kill(u64 sock, int how);
int sock_close(u64 sock);
int sock_send(u64 sock, const void *data, size_t size);
int sock_recv(u64 sock, void *data, size_t size);
int sock_urecv(u64 sock, os_ipaddr *from, void *data, size_t size);
int sock_usend(u64 sock, const os_ipaddr *to, const void *data, size_t size);
char *sock_ipaddr_cstr(const os_ipaddr *a, char *data, size_t maxn);
char *sock_ipaddr_cstr_noport(const os_ipaddr *a, char *data, size_t maxn);
// "host:port" in the address type's own text form (an IPv6 address in
// brackets) into data (OS_IPADDR_CSTR_MAXN bytes is enough); host as given
// when it is not an address.
char *sock_host_port_cstr(const char *host, int port, char *data, size_t maxn);
void sock_ipaddr_copy(os_ipaddr *a, const os_ipaddr *src);
