#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/liblog/logbsv"
#include <atomic>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "liblog/log.h"
#include "libpal/env/os_mutex.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_url.h"

// The bsv UDP output. A sender thread "bsvnet" opens the socket, so that
// start-up never waits for name resolution; the first frame logged before
// the socket exists is held and sent by it, later ones in that time are
// dropped. Every record of this file is of the module "bsv", which the
// record layer never turns into a frame, so nothing here feeds itself.

namespace {

constexpr char kNotUrl[] = "not a URL (udp://host[:port] or udps://host[:port])";

// The handle is also read without the lock, by the crash report.
inline u64 udp_load(log_bsv_udp_state *st)
{
    return std::atomic_ref<u64>(st->udp).load(std::memory_order_acquire);
}

inline void udp_store(log_bsv_udp_state *st, u64 h)
{
    std::atomic_ref<u64>(st->udp).store(h, std::memory_order_release);
}

i64 net_open_thread(void *arg)
{
    log_bsv_udp_state *st = (log_bsv_udp_state *)arg;
    u64 h = os_udp_open(st->host, (int)st->port);
    u8 frame[sizeof st->pend];
    u32 len = 0;
    {
        pthread_guard g(&st->lock);
        udp_store(st, h);
        st->opening = 0;
        if (h && st->pend_len) {
            len = st->pend_len;
            memcpy(frame, st->pend, len);
        }
        st->pend_len = 0;
    }
    if (len) os_udp_send(h, frame, len);
    if (!h) {
        LOG_DBG("os_udp_open %s:%d failed\n", st->host, (int)st->port);
        log_tell("bsvlog %.256s: no socket to %.256s port %d (the host does not resolve or cannot be "
                 "reached); no frames are sent", st->url, st->host, (int)st->port);
    }
    return 0;
}

}  // namespace

void log_bsv_init(log_bsv_udp_state *st)
{
    if (!st) return;
    st->port = 514;
    pthread_mutex_init(&st->lock, nullptr);
}

int log_bsv_udp_send(int level, const void *frame, int len, void *state)
{
    log_bsv_udp_state *st = (log_bsv_udp_state *)state;
    if (!st || !frame || len <= 0) return 0;
    u64 h;
    {
        pthread_guard g(&st->lock);
        if (st->opening) {
            if (!st->pend_len) {
                u32 n = (u32)len < sizeof st->pend ? (u32)len : (u32)sizeof st->pend;
                memcpy(st->pend, frame, n);
                st->pend_len = n;
                st->pend_level = (u32)level;
            }
            return 0;
        }
        h = udp_load(st);
    }
    // The handle stays open while any thread is inside this hook: close
    // unregisters the hook, which waits for them, before it closes it.
    if (h) os_udp_send(h, frame, (size_t)len);
    return 0;
}

int log_bsv_udp_send_safe(int, const void *frame, int len, void *state)
{
    log_bsv_udp_state *st = (log_bsv_udp_state *)state;
    if (!st || !frame || len <= 0) return 0;
    // No lock and no log record: a socket that is not open yet sends
    // nothing, and a failed send is not reported.
    u64 h = udp_load(st);
    if (h) send(os_sock_fd(h), frame, (size_t)len, MSG_NOSIGNAL | MSG_DONTWAIT);
    return 0;
}

int log_bsv_udp_close(log_bsv_udp_state *st)
{
    if (!st) return 0;
    // Unregistering returns once no thread runs the send hook.
    bsv_log_set_udp_proc(nullptr, nullptr);
    if (st->thread) {
        os_thread_join(st->thread, -1, nullptr);
        os_thread_free(st->thread);
        st->thread = nullptr;
    }
    pthread_guard g(&st->lock);
    u64 h = udp_load(st);
    udp_store(st, 0);
    if (h) os_udp_close(h);
    st->opening = 0;
    st->pend_len = 0;
    st->held = 0;
    st->url[0] = 0;
    return 0;
}

int log_bsv_udp_hold(log_bsv_udp_state *st, const char *url)
{
    if (!st || !url) return -1;
    log_bsv_udp_close(st);
    char buf[URL_BUF_SIZE];
    struct url u;
    if (url_parser(&u, buf, url) < 0) {
        LOG_DBG("url_parser%s failed\n", url);
        log_tell("bsvlog %.256s: %s", url, kNotUrl);
        return -1;
    }
    // A text without a scheme is a file path to the parser: no host to
    // send to, so the output stays closed.
    if (!u.host[0]) {
        log_tell("bsvlog %.256s: %s", url, kNotUrl);
        return -1;
    }
    str_safecopy_trunc(st->host, sizeof st->host, u.host);
    st->port = u.port ? u.port : 514;
    if (strcasecmp(u.protocol, "udps") == 0) bsv_net_cipher_set(1);
    {
        // Under the lock, where log_info_get reads it.
        pthread_guard g(&st->lock);
        str_safecopy_trunc(st->url, sizeof st->url, url);
        st->opening = 1;
        st->held = 1;
    }
    // Frames are held from now on; the first one waits for the sender.
    bsv_log_set_udp_proc(log_bsv_udp_send, st, log_bsv_udp_send_safe);
    return 0;
}

int log_bsv_udp_start(log_bsv_udp_state *st)
{
    if (!st || !st->held) return 0;
    st->held = 0;
    st->thread = os_thread_init("bsvnet", net_open_thread, st, 0);
    if (!st->thread) net_open_thread(st);
    return 0;
}

int log_bsv_udp_open(log_bsv_udp_state *st, const char *url)
{
    int rc = log_bsv_udp_hold(st, url);
    return rc == 0 ? log_bsv_udp_start(st) : rc;
}

log_bsv_udp_state *log_bsv_get(log_bsv_udp_state *st)
{
    return st;
}
