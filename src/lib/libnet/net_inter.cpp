#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/net_inter"
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libnet/libnet.h"
#include "libpal/os/posix/name_pipe_srv.h"

namespace {

void drop_cr(char *line)
{
    char *w = line;
    for (char *r = line; *r; ++r)
        if (*r != '\r') *w++ = *r;
    *w = 0;
}

// Reads one line ended by a NUL (and, with lf, a line feed). See net_gets.
int gets_imp(net *n, char *line, size_t size, bool lf)
{
    OS_CHECK_RET(n && line && size, -1);
    line[0] = 0;
    if (n->type == NET_TYPE_NPIPE) {
        int r = os_name_pipe_srv_wait((os_name_pipe_srv *)(uintptr_t)n->transport, n->timeout);
        if (r < 1) return r;
    }
    int got = 0;
    int c = net_getc(n, &got);
    if (c < 0) return -1;
    if (!got) return 0;
    if (c == 0 || (lf && c == '\n')) return 1;
    size_t len = 0;
    bool overflow = false;
    for (;;) {
        if (len + 1 < size) line[len++] = (char)c;
        else overflow = true;  // the rest of the line is read and dropped
        c = net_getc(n, &got);
        if (c < 0) {
            line[len] = 0;
            return -1;
        }
        if (!got || c == 0 || (lf && c == '\n')) break;
    }
    line[len] = 0;
    if (overflow) return -1;
    drop_cr(line);
    return (int)strlen(line);
}

}  // namespace

int net_getc(net *n, int *got)
{
    unsigned char c = 0;
    if (got) *got = 0;
    int r = net_read(n, &c, 1);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (got) *got = 1;
    return c;
}

int net_read_timeout(net *n, void *data, size_t size, int timeout_ms)
{
    OS_CHECK_RET(n && data, -1);
    if (size == 0) return 0;
    int r = net_read(n, data, 1);
    if (r <= 0) return r;
    if (size == 1) return 1;
    i32 saved = n->timeout;
    n->timeout = timeout_ms;
    int rest = net_read(n, (char *)data + 1, size - 1);
    n->timeout = saved;
    if (rest < 0) return rest;
    return 1 + rest;
}

int net_gets(net *n, char *line, size_t size)
{
    return gets_imp(n, line, size, true);
}

int net_gets0(net *n, char *line, size_t size)
{
    return gets_imp(n, line, size, false);
}

int net_printf(net *n, const char *fmt, ...)
{
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (len < 0) return -1;
    if ((size_t)len >= sizeof buf) len = (int)sizeof buf - 1;
    return net_write(n, buf, (size_t)len);
}

int net_flush(net *n)
{
    char nul = 0;
    return net_write(n, &nul, 1);
}
