#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/sock_srv"
#include "libnet/sock_srv.h"

#include <cerrno>
#include <cstring>
#include <sys/select.h>
#include <sys/socket.h>

#include "liblog/log.h"
#include "libnet/sock_event.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/string/str_safe.h"

namespace {

void set_buffers(u64 s, u32 rcv, u32 snd)
{
    if (rcv && !os_socket_ctrl(s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, rcv))
        LOG_WARN("OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", (int)rcv);
    if (snd && !os_socket_ctrl(s, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, snd))
        LOG_WARN("OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", (int)snd);
}

bool make_addr(os_ipaddr *a, const char *host, int port)
{
    os_ipaddr_clear(a);
    if (!os_ipaddr_ip_cstr_set(a, host, 0)) {
        LOG_ERR("addr[%s]:%d error\n", host, port);
        return false;
    }
    os_ipaddr_port_set(a, (u16)port);
    return true;
}

// A socket of the kind bound to host:port (the options of a TCP listener
// are set before the bind; it shares its port only when it asks for reuse);
// the port the system chose for port 0 goes to *bound. 0 on failure, logged.
static u64 bind_socket(int kind, const char *host, int port, const char *name,
                       const sock_tcp_server_param *tcp, u32 *bound)
{
    os_ipaddr a;
    if (!make_addr(&a, host, port)) return 0;
    u64 s = os_socket_init(kind, os_ipaddr_family(&a));
    if (!s) {
        LOG_AT(3 | LOG_OPT_ERRNO, "socket_init [%s]:%d error: ", host, port);
        return 0;
    }
    if (tcp) {
        if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
            LOG_WARN("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
        set_buffers(s, tcp->recv_buf_size, tcp->send_buf_size);
        const sock_keepalive &ka = tcp->keepalive;
        if (ka.idle_s || ka.intvl_s || ka.probes) sock_set_keepalive(s, &ka);
    }
    LOG_DBG("bind %s server on [%s]:%d\n", name ? name : "", host, port);
    if (!os_socket_bind2(s, &a, tcp ? tcp->reuse != 0 : port != 0)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "socket_bind port [%s]:%d error: ", host, port);
        os_socket_exit(s);
        return 0;
    }
    if (port == 0) {
        os_ipaddr local;
        if (os_socket_local(s, &local)) *bound = os_ipaddr_port(&local);
    }
    return s;
}

u64 sock_tcp_bind(const char *host, int port, sock_tcp_server_param *p)
{
    u64 s = bind_socket(OS_SOCK_TCP, host, port, p->name, p, &p->bound_port);
    if (s && !os_socket_listen(s, p->backlog)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "socket_listen error: ");
        os_socket_exit(s);
        return 0;
    }
    return s;
}

u64 sock_udp_bind(const char *host, int port, sock_udp_server_param *p)
{
    return bind_socket(OS_SOCK_UDP, host, port, p->name, nullptr, &p->bound_port);
}

u32 bound_port_of(int type, void *param)
{
    return type == SOCKET_TYPE_TCP ? ((sock_tcp_server_param *)param)->bound_port
                                   : ((sock_udp_server_param *)param)->bound_port;
}

// Lists a bound socket with the environment's poller; false (socket closed)
// when it cannot be listed.
bool add_sock(sock_server_ctx *ctx, os_poller *poller, u64 s, u32 events)
{
    if (os_sock_fd(s) >= FD_SETSIZE) {
        LOG_ERR("%s: listening descriptor %d beyond the poller's range\n", ctx->name, os_sock_fd(s));
        os_socket_exit(s);
        return false;
    }
    os_poller_object obj = {OS_POLLER_OBJECT_SOCKET, s};
    if (!os_poller_insert(poller, &obj, events, (u64)(uintptr_t)ctx)) {
        LOG_CRIT("os_poller_insert_sock failed\n");
        os_socket_exit(s);
        return false;
    }
    ctx->socks[ctx->sock_count++] = s;
    return true;
}

}  // namespace

bool sock_set_keepalive(u64 sock, const sock_keepalive *ka)
{
    OS_CHECK_RET(sock && ka, false);
    struct opt {
        u32 code;
        u32 value;
        const char *name;
    };
    const opt opts[] = {
        {OS_SOCKET_CTRL_SET_KEEPALIVE, 1, "SO_KEEPALIVE"},
        {OS_SOCKET_CTRL_SET_KEEPIDLE, ka->idle_s, "TCP_KEEPIDLE"},
        {OS_SOCKET_CTRL_SET_KEEPINTVL, ka->intvl_s, "TCP_KEEPINTVL"},
        {OS_SOCKET_CTRL_SET_KEEPCNT, ka->probes, "TCP_KEEPCNT"},
    };
    bool ok = true;
    for (const opt &o : opts) {
        if (o.value == 0) continue;  // the system default stays
        if (!os_socket_ctrl(sock, o.code, o.value)) {
            LOG_AT(4 | LOG_OPT_ERRNO, "%s %u error: ", o.name, o.value);
            ok = false;
        }
    }
    return ok;
}

u32 sock_log_gate_pass(sock_log_gate *gate, u64 every_ms)
{
    gate->count.fetch_add(1);
    return sock_log_gate_take(gate, every_ms);
}

u32 sock_log_gate_take(sock_log_gate *gate, u64 every_ms)
{
    u32 n = gate->count.load();
    if (!n) return 0;
    u64 now = os_mono_ms();
    u64 last = gate->last_ms.load();
    if (last && now - last < every_ms) return 0;
    if (!gate->last_ms.compare_exchange_strong(last, now)) return 0;
    gate->count.fetch_sub(n);
    return n;
}

u64 sock_bind(const char *host, int port, int type, void *param)
{
    if (!(port > -1 && port < 0xffff)) OS_CHECK_LOG("port>-1 && port<0xffff");
    OS_CHECK_RET(host && param, 0);
    if (type == SOCKET_TYPE_TCP) return sock_tcp_bind(host, port, (sock_tcp_server_param *)param);
    if (type == SOCKET_TYPE_UDP) return sock_udp_bind(host, port, (sock_udp_server_param *)param);
    return 0;
}

sock_server_ctx *sock_server_init_imp(const char *hosts, int port, int type, void *param)
{
    OS_CHECK_RET(param, nullptr);
    OS_CHECK_RET(type == SOCKET_TYPE_TCP || type == SOCKET_TYPE_UDP, nullptr);
    os_poller *poller = sock_env_poller();
    if (!poller) {
        LOG_ERR("socket event environment not started\n");
        return nullptr;
    }
    sock_server_ctx *ctx = (sock_server_ctx *)os_zalloc(sizeof(sock_server_ctx));
    if (!ctx) return nullptr;
    ctx->type = type;
    const char *name;
    if (type == SOCKET_TYPE_TCP) {
        sock_tcp_server_param *p = (sock_tcp_server_param *)param;
        name = p->name;
        ctx->proc = (void *)p->accept_proc;
        ctx->work_proc = p->work_proc;
        ctx->arg = p->arg;
    } else {
        sock_udp_server_param *p = (sock_udp_server_param *)param;
        name = p->name;
        ctx->proc = (void *)p->work_proc;
        ctx->arg = p->arg;
    }
    str_safecopy_trunc(ctx->name, sizeof ctx->name, name ? name : "");
    u32 events = OS_POLLER_READ;
    if (os_poller_support(poller, OS_POLLER_EDGE)) events |= OS_POLLER_EDGE;

    if (!hosts || !hosts[0]) {
        u64 s = sock_bind("0.0.0.0", port, type, param);
        if (!s) {
            os_free(ctx);
            return nullptr;
        }
        add_sock(ctx, poller, s, events);
        // The IPv6 companion takes the port the IPv4 socket got.
        int port6 = port ? port : (int)bound_port_of(type, param);
        u64 s6 = sock_bind("::", port6, type, param);
        if (s6) add_sock(ctx, poller, s6, events);
    } else {
        const char *p = hosts;
        for (int idx = 0; idx < SOCK_SERVER_MAX_SOCKS && p; ++idx) {
            size_t n = strcspn(p, ";,");
            const char *next = p[n] ? p + n + 1 : nullptr;
            if (n >= 512) break;
            char host[512];
            memcpy(host, p, n);
            host[n] = 0;
            p = next;
            if (!host[0]) continue;
            u64 s = sock_bind(host, port, type, param);
            if (!s) continue;
            if (add_sock(ctx, poller, s, events) && port == 0) port = (int)bound_port_of(type, param);
        }
    }
    if (ctx->sock_count == 0) {
        LOG_ERR("%s: no address could be bound on port %d\n", ctx->name, port);
        os_free(ctx);
        return nullptr;
    }
    os_poller_spak(poller);
    return ctx;
}

sock_server_ctx *sock_tcp_server_init(const char *hosts, int port, sock_tcp_server_param *param)
{
    return sock_server_init_imp(hosts, port, SOCKET_TYPE_TCP, param);
}

sock_server_ctx *sock_udp_server_init(const char *hosts, int port, sock_udp_server_param *param)
{
    return sock_server_init_imp(hosts, port, SOCKET_TYPE_UDP, param);
}

int sock_server_exit(sock_server_ctx *ctx)
{
    OS_CHECK_RET(ctx, 0);
    os_poller *poller = sock_env_poller();
    for (int i = 0; i < ctx->sock_count; ++i) {
        if (poller) {
            os_poller_object obj = {OS_POLLER_OBJECT_SOCKET, ctx->socks[i]};
            os_poller_remove(poller, &obj);
        }
        os_socket_exit(ctx->socks[i]);
        ctx->socks[i] = 0;
    }
    ctx->sock_count = 0;
    os_free(ctx);
    return 0;
}

int sock_udp_server_exit(sock_server_ctx *ctx)
{
    return sock_server_exit(ctx);
}

u64 sock_server2(const char *host, int port, u32 *bound_port, int reuse, int buffer_size, int backlog)
{
    u64 s = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_IPV4);
    if (!s) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_socket_init error: ");
        return 0;
    }
    if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1)) LOG_WARN("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    set_buffers(s, (u32)buffer_size, (u32)buffer_size);
    os_ipaddr a;
    os_ipaddr_clear(&a);
    if (!os_ipaddr_set(&a, host, port, OS_IPADDR_FAMILY_IPV4)) {
        LOG_ERR("addr[%s]:%d error\n", host ? host : "", port);
        os_socket_exit(s);
        return 0;
    }
    if (!os_socket_bind2(s, &a, reuse != 0)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_socket_bind port %d error: ", port);
        os_socket_exit(s);
        return 0;
    }
    if (bound_port && port == 0) {
        os_ipaddr local;
        if (os_socket_local(s, &local)) *bound_port = os_ipaddr_port(&local);
    }
    if (!os_socket_listen(s, backlog)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_socket_listen error: ");
        os_socket_exit(s);
        return 0;
    }
    return s;
}

u64 sock_server(const char *host, int port, int reuse, int buffer_size, int backlog)
{
    return sock_server2(host, port, nullptr, reuse, buffer_size, backlog);
}
