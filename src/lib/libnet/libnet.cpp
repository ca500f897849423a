#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/libnet"
#include "libnet/libnet.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/posix/os_serial.h"
#include "libpal/string/str_url.h"

net_ssl_proc g_ssl_read_proc = nullptr;
net_ssl_proc g_ssl_write_proc = nullptr;

namespace {

constexpr u64 kMemInitial = 4096;

net_ssl_proc ssl_proc(net *n, bool read)
{
    net_ssl_proc p = read ? n->ssl_read : n->ssl_write;
    if (!p) p = read ? g_ssl_read_proc : g_ssl_write_proc;
    return p;
}

int open_tcp(net *n, const char *url, const char *host, int port, int timeout_ms)
{
    n->type = NET_TYPE_SOCK;
    n->timeout = timeout_ms;
    sock_opt opt = {};
    opt.timeout = (u32)timeout_ms;
    os_err err = {};
    u64 s = sock_tcp_connect(host, port, &opt, &err);
    if (!s) {
        LOG_DBG("tcp_connect %s error: %s\n", url, os_err_str(&err));
        return -1;
    }
    n->transport = s;
    n->disconnected = 0;
    n->wdisconnected = 0;
    return 0;
}

}  // namespace

int net_init(void)
{
    return 0;
}

int net_open(net *n, const char *url, int timeout_ms)
{
    OS_CHECK_RET(n && url, -1);
    if (strcmp(url, "net://mem") == 0) {
        net_mem *m = net_mem_open();
        if (!m) return -1;
        n->type = NET_TYPE_MEM;
        n->transport = (u64)(uintptr_t)m;
        return 0;
    }
    struct url u;
    char *buf = (char *)os_malloc(URL_BUF_SIZE);
    if (!buf) return -1;
    int rc = -1;
    if (url_parser(&u, buf, url) != 0) LOG_ERR("url %s syntax error\n", url);
    else if (strcmp(u.protocol, "tcp") != 0) LOG_ERR("unkouwn protocol [%s]\n", u.protocol);
    else rc = open_tcp(n, url, u.host, u.port, timeout_ms);
    os_free(buf);
    return rc;
}

int net_ssl_read_proc(net *n, void *data, size_t size)
{
    net_ssl_proc p = ssl_proc(n, true);
    OS_CHECK_TXT(p, "g_ssl_read_proc!=NULL", -1);
    return p(n, data, size);
}

int net_ssl_write_proc(net *n, void *data, size_t size)
{
    net_ssl_proc p = ssl_proc(n, false);
    OS_CHECK_TXT(p, "g_ssl_write_proc!=NULL", -1);
    return p(n, data, size);
}

void net_ssl_set_proc(net_ssl_proc read, net_ssl_proc write)
{
    g_ssl_read_proc = read;
    g_ssl_write_proc = write;
}

int net_read(net *n, void *data, size_t size)
{
    OS_CHECK_RET(n && data, -1);
    switch (n->type) {
    case NET_TYPE_SOCK:
    case NET_TYPE_SOCK2: return n->ssl ? net_ssl_read_proc(n, data, size) : net_sock_read(n, data, size);
    case NET_TYPE_STD: return net_std_read(n, data, size);
    case NET_TYPE_NPIPE: return npipe_read(n, data, size);
    case NET_TYPE_SERIAL: return os_serial_read((int)n->transport, data, size, n->timeout);
    case NET_TYPE_MEM: return net_mem_read((net_mem *)(uintptr_t)n->transport, data, size);
    default: return -1;
    }
}

int net_write(net *n, const void *data, size_t size)
{
    OS_CHECK_RET(n && data, -1);
    switch (n->type) {
    case NET_TYPE_SOCK:
    case NET_TYPE_SOCK2:
        return n->ssl ? net_ssl_write_proc(n, const_cast<void *>(data), size) : net_sock_write(n, data, size);
    case NET_TYPE_STD: return net_std_write(n, data, size);
    case NET_TYPE_NPIPE: return npipe_write(n, data, size);
    case NET_TYPE_SERIAL: return os_serial_write((int)n->transport, data, size);
    case NET_TYPE_MEM: return net_mem_write((net_mem *)(uintptr_t)n->transport, data, size);
    default: return -1;
    }
}

void net_clear_flags(net *n)
{
    if (!n) return;
    n->stop.store(0);
    n->disconnected = 0;
    n->wdisconnected = 0;
}

int net_close(net *n)
{
    OS_CHECK_RET(n, -1);
    net_clear_flags(n);
    switch (n->type) {
    case NET_TYPE_SOCK:
    case NET_TYPE_SOCK2:
        if (n->transport) os_socket_exit(n->transport);
        n->transport = 0;
        return 0;
    case NET_TYPE_STD:
    case NET_TYPE_NPIPE: return 0;
    case NET_TYPE_SERIAL: return -1;
    case NET_TYPE_MEM:
        if (n->transport) net_mem_close((net_mem *)(uintptr_t)n->transport);
        n->transport = 0;
        return 0;
    default: return -1;
    }
}

// ---- memory transport ----------------------------------------------------

net_mem *net_mem_open(void)
{
    net_mem *m = (net_mem *)os_zalloc(sizeof(net_mem));
    if (!m) return nullptr;
    if (mem_buf_init(&m->buf, kMemInitial) != 0) {
        os_free(m);
        return nullptr;
    }
    return m;
}

int net_mem_read(net_mem *m, void *data, size_t size)
{
    OS_CHECK_RET(m && data, -1);
    m->written = 0;
    u64 avail = m->buf.len - m->rd;
    u64 n = size < avail ? size : avail;
    if (n > 0x7fffffff) n = 0x7fffffff;
    memcpy(data, m->buf.data + m->rd, n);
    m->rd += n;
    return (int)n;
}

int net_mem_write(net_mem *m, const void *data, size_t size)
{
    OS_CHECK_RET(m && data, -1);
    if (size > 0x7fffffff) return -1;
    if (m->rd != 0) {
        // Data written after a read replaces what was there.
        m->buf.len = 0;
        m->rd = 0;
    }
    if (mem_buf_append(&m->buf, data, size) != 0) return -1;
    m->written += size;
    return (int)size;
}

int net_mem_close(net_mem *m)
{
    if (!m) return 0;
    mem_buf_free(&m->buf);
    os_free(m);
    return 0;
}
