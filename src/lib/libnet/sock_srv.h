#pragma once
// Listening servers: TCP listeners and UDP sockets bound on one or more
// local addresses and served by the socket event environment.
#include <atomic>

#include "libpal/env/os_types.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_thread.h"

// Runs on "sock_listen" for every accepted connection; must return
// quickly. The connection socket belongs to the procedure.
typedef int (*sock_accept_proc)(u64 sock, os_ipaddr *peer, void *arg);
// Runs on "sock_listen" whenever the UDP socket is readable.
typedef int (*sock_udp_work_proc)(u64 sock, int unused, void *arg);

constexpr int SOCK_SERVER_MAX_SOCKS = 32;

// TCP keepalive of a listener's connections: seconds of silence before
// the first probe, seconds between probes, unanswered probes before the
// connection is dropped. All 0 keeps the system default (off).
struct sock_keepalive {
    u32 idle_s;
    u32 intvl_s;
    u32 probes;
};

struct sock_tcp_server_param {
    const char *name;
    u32 reuse;           // non-zero: SO_REUSEPORT, so that listeners share the
                         // port; 0: a port already listened on is refused.
                         // SO_REUSEADDR is set either way.
    u32 recv_buf_size;   // 0 keeps the system default
    u32 send_buf_size;   // 0 keeps the system default
    i32 backlog;
    sock_accept_proc accept_proc;
    os_thread_proc work_proc;  // thread per connection when accept_proc is NULL;
                               // its argument is the socket handle
    u32 bound_port;      // out: the port bound when 0 was asked for
    void *arg;
    sock_keepalive keepalive;  // set on the listener; every accepted
                               // connection takes it over
};

struct sock_udp_server_param {
    const char *name;
    sock_udp_work_proc work_proc;
    u32 bound_port;  // out
    void *arg;
};

struct sock_server_ctx {
    i32 type;  // SOCKET_TYPE_TCP or SOCKET_TYPE_UDP
    char name[128];
    void *proc;       // accept proc (TCP) or work proc (UDP)
    os_thread_proc work_proc;
    void *arg;
    i32 sock_count;
    u64 socks[SOCK_SERVER_MAX_SOCKS];
};

// Switches TCP keepalive on for sock with the given times; true when every
// option took (failures are logged). A listener's settings pass to the
// connections it accepts.
bool sock_set_keepalive(u64 sock, const sock_keepalive *ka);

// A listener's record of an event that may come in bursts (a connection
// refused, accept out of descriptors): it counts the events and lets one
// record in every_ms through. Zero-initialised before first use.
struct sock_log_gate {
    std::atomic<u64> last_ms;
    std::atomic<u32> count;
};
// Counts one event; the number of events since the last record let through,
// this one included, when this one is to be logged, else 0.
u32 sock_log_gate_pass(sock_log_gate *gate, u64 every_ms);
// The events counted but not yet told, when every_ms have passed since the
// last record (that many are then taken as told now), else 0: for telling
// them late when no further event comes.
u32 sock_log_gate_take(sock_log_gate *gate, u64 every_ms);

u64 sock_bind(const char *host, int port, int type, void *param);
// NULL when no address could be bound.
sock_server_ctx *sock_server_init_imp(const char *hosts, int port, int type, void *param);
sock_server_ctx *sock_tcp_server_init(const char *hosts, int port, sock_tcp_server_param *param);
sock_server_ctx *sock_udp_server_init(const char *hosts, int port, sock_udp_server_param *param);
int sock_server_exit(sock_server_ctx *ctx);
int sock_udp_server_exit(sock_server_ctx *ctx);

// A plain IPv4 listener outside the event environment; reuse as in
// sock_tcp_server_param.
u64 sock_server2(const char *host, int port, u32 *bound_port, int reuse, int buffer_size, int backlog);
u64 sock_server(const char *host, int port, int reuse, int buffer_size, int backlog);
