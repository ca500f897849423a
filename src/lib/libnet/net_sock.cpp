#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/net_sock"
#include <cerrno>
#include <cstdio>

#include "liblog/log.h"
#include "libnet/libnet.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/posix/name_pipe_srv.h"

namespace {

constexpr int kReadSliceMs = 300;
constexpr int kWriteSliceMs = 500;

// The next wait: at most slice, and no longer than what is left of the
// limit (timeout below 0: no limit, but still in slices so that a stop
// request is seen).
int next_slice(i32 timeout, u64 start, int slice)
{
    if (timeout < 0) return slice;
    u64 elapsed = os_mono_ms() - start;
    if (elapsed >= (u64)timeout) return 0;
    u64 left = (u64)timeout - elapsed;
    return left < (u64)slice ? (int)left : slice;
}

bool expired(i32 timeout, u64 start)
{
    return timeout >= 0 && os_mono_ms() - start >= (u64)timeout;
}

enum class wait_end { ready, stopped, cancelled, failed, expired };

// Waits in slices until the socket is ready for mode, looking at the stop
// flag (and, with may_cancel, the cancel record) before every slice. A
// failed wait is logged with errno left as it set it.
wait_end wait_slices(net *n, int mode, int slice, u64 start, bool may_cancel)
{
    for (;;) {
        if (n->stop.load()) return wait_end::stopped;
        if (may_cancel && net_cancel_requested(n->cancel, n->timeout)) return wait_end::cancelled;
        int w = os_socket_wait(n->transport, mode, next_slice(n->timeout, start, slice));
        if (w < 0) {
            int e = errno;
            LOG_DBG("socket_wait error [%d] [%s]\n", e, os_errno_text(e));
            return wait_end::failed;
        }
        if (w & mode) return wait_end::ready;
        if (expired(n->timeout, start)) return wait_end::expired;
    }
}

}  // namespace

int net_sock_read(net *n, void *data, size_t size)
{
    OS_CHECK_RET(n && data, -1);
    if (n->type == NET_TYPE_STD) return net_std_read(n, data, size);
    const u64 start = os_mono_ms();
    if (n->disconnected) {
        LOG_VERB("_disconnect!!\n");
        return -1;
    }
    if (size > 0x7fffffff) size = 0x7fffffff;
    size_t got = 0;
    while (got < size) {
        errno = 0;
        i64 r = os_socket_recv(n->transport, (char *)data + got, size - got);
        if (r > 0) {
            got += (size_t)r;
            continue;
        }
        if (r < 0) {
            int e = errno;
            LOG_DBG("socket_recv error [%d] [%s]\n", e, os_errno_text(e));
            return -1;
        }
        if (errno == 0) {
            // End of stream: no more reads, but the handle may still write
            // (a peer that half-closed after its request gets its answer).
            n->disconnected = 1;
            return (int)got;
        }
        switch (wait_slices(n, OS_SOCK_WAIT_READ, kReadSliceMs, start, true)) {
        case wait_end::ready: break;
        case wait_end::cancelled: errno = ECANCELED; return -1;
        case wait_end::stopped: return -1;
        case wait_end::failed: return got ? (int)got : -1;
        case wait_end::expired: return (int)got;
        }
    }
    return (int)got;
}

int net_sock_write(net *n, const void *data, size_t size)
{
    OS_CHECK_RET(n && data, -1);
    if (n->type == NET_TYPE_STD) return net_std_write(n, data, size);
    if (n->wdisconnected) {
        LOG_DBG("_disconnect!!\n");
        return -1;
    }
    if (size > 0x7fffffff) size = 0x7fffffff;
    // The limit is one of inactivity: every byte that goes out restarts it.
    u64 start = os_mono_ms();
    size_t sent = 0;
    while (sent < size) {
        i64 r = os_socket_send(n->transport, (const char *)data + sent, size - sent);
        if (r > 0) {
            sent += (size_t)r;
            start = os_mono_ms();
            continue;
        }
        if (r < 0) {
            int e = errno;
            LOG_DBG("socket_send error [%d] [%s]\n", e, os_errno_text(e));
            if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) n->wdisconnected = 1;
            return -1;
        }
        switch (wait_slices(n, OS_SOCK_WAIT_WRITE, kWriteSliceMs, start, false)) {
        case wait_end::ready: break;
        case wait_end::stopped:
        case wait_end::cancelled: return -1;
        case wait_end::failed: n->wdisconnected = 1; return -1;
        case wait_end::expired:
            LOG_DBG("socket_send stalled %d ms: %zu of %zu bytes sent\n", (int)n->timeout, sent, size);
            return (int)sent;
        }
    }
    return (int)sent;
}

int net_std_read(net *n, void *data, size_t size)
{
    (void)n;
    return (int)fread(data, 1, size, stdin);
}

int net_std_write(net *n, const void *data, size_t size)
{
    (void)n;
    fwrite(data, 1, size, stdout);
    fflush(stdout);
    return (int)size;
}

int npipe_read(net *n, void *data, size_t size)
{
    os_name_pipe_srv *p = (os_name_pipe_srv *)(uintptr_t)n->transport;
    if (os_name_pipe_srv_state(p) != 0) return -1;
    int r = os_name_pipe_srv_read(p, data, size, n->timeout);
    if (r < 0) {
        LOG_AT(8 | LOG_OPT_ERRNO, "os_name_pipe_srv_read error: ");
        return 0;
    }
    return r;
}

int npipe_write(net *n, const void *data, size_t size)
{
    return os_name_pipe_srv_write((os_name_pipe_srv *)(uintptr_t)n->transport, data, size);
}
