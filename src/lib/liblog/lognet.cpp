#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/lognet"
#include "liblog/lognet.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log.h"
#include "liblog/lognet_tx.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_url.h"

const os_code_str syslog_facility_tab[] = {
    {32, "auth"},      {80, "authpriv"}, {72, "cron"},    {24, "daemon"},  {88, "ftp"},
    {0, "kern"},       {48, "lpr"},      {16, "mail"},    {192, "mark"},   {56, "news"},
    {32, "security"},  {40, "syslog"},   {8, "user"},     {64, "uucp"},    {128, "local0"},
    {136, "local1"},   {144, "local2"},  {152, "local3"}, {160, "local4"}, {168, "local5"},
    {176, "local6"},   {184, "local7"},  {-1, nullptr},
};

const os_code_str syslog_priority_tab[] = {
    {1, "alert"}, {2, "crit"},   {7, "debug"}, {0, "emerg"}, {3, "err"},
    {3, "error"}, {6, "info"},   {16, "none"}, {5, "notice"}, {0, "panic"},
    {4, "warn"},  {4, "warning"}, {-1, nullptr},
};

namespace {

constexpr char kNotUrl[] = "not a URL (udp://host[:port] or tcp://host[:port])";
constexpr int kSendMs = 1000;  // time for one message to go out

// Waits for the socket to take data (POLLOUT) until the deadline; false
// once the time is up or on an error.
bool wait_out(int fd, u64 deadline)
{
    for (;;) {
        u64 now = os_mono_ms();
        if (now >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, (int)(deadline - now));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// Every byte within kSendMs; the count, or -1 with errno.
long send_all(int fd, const char *p, size_t n)
{
    u64 deadline = os_mono_ms() + kSendMs;
    size_t sent = 0;
    while (sent < n) {
        ssize_t r = send(fd, p + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            sent += (size_t)r;
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (!wait_out(fd, deadline)) return -1;
    }
    return (long)sent;
}

// The port written in a URL as the parser reads it (the digits after the
// host, *digits long), before it is cut to 16 bits; -1 when none is
// written, 65536 for any above 65535.
long url_port_written(const char *url, const char **text, int *digits)
{
    while (*url == ' ' || (*url >= '\t' && *url <= '\r')) ++url;
    const char *p = strncmp(url, "///", 3) == 0 ? url : strstr(url, "://");
    if (!p) return -1;
    p += 3;
    size_t auth = strcspn(p, "/\\?#");
    for (size_t i = auth; i-- > 0;)
        if (p[i] == '@') {
            p += i + 1;
            break;
        }
    if (*p == '[') {
        const char *e = strchr(p, ']');
        p = e ? e + 1 : p + strlen(p);
    } else {
        p += strcspn(p, " \t\n\v\f\r&/\\:?#");
    }
    if (*p != ':' || p[1] < '0' || p[1] > '9') return -1;
    *text = ++p;
    long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) v = v > 65535 ? v : v * 10 + (*p - '0');
    *digits = (int)(p - *text);
    return v > 65535 ? 65536 : v;
}

// The fields of a URL for the output (st's url, host, port and transport
// in *shown), or -1 after saying why it cannot be used.
int parse_url(const char *url, log_net_state *shown)
{
    const char *digits = nullptr;
    int len = 0;
    if (url_port_written(url, &digits, &len) > 65535) {
        // The parser would wrap it round: no port of that number is used.
        str_safecopy_trunc(shown->url, sizeof shown->url, url);
        log_tell("syslog %.256s: port %.*s out of range (0..65535), syslog off", url, len > 20 ? 20 : len, digits);
        return -1;
    }
    char buf[URL_BUF_SIZE];
    struct url u;
    int rc = url_parser(&u, buf, url);
    if (rc < 0) {
        LOG_DBG("url_parser %s failed\n", url);
        shown->url[0] = 0;
        log_tell("syslog %.256s: %s", url, kNotUrl);
        return -1;
    }
    str_safecopy_trunc(shown->url, sizeof shown->url, url);
    shown->transport = strcasecmp(u.protocol, "tcp") == 0 ? LOG_NET_STREAM : LOG_NET_DGRAM;
    str_safecopy_trunc(shown->host, sizeof shown->host, u.host);
    shown->port = u.port;
    // A text without a scheme is a file path to the parser: no host to
    // send to, so the output stays closed.
    if (!u.host[0]) {
        log_tell("syslog %.256s: %s", url, kNotUrl);
        return -1;
    }
    return rc;
}

}  // namespace

int syslog_code_get(const char *name, const os_code_str *tab)
{
    if (!name || !*name || !tab) return -1;
    if (*name >= '0' && *name <= '9') {
        char *end = nullptr;
        errno = 0;
        long v = strtol(name, &end, 10);
        if (errno || *end) return -1;
        for (const os_code_str *r = tab; r->text; ++r)
            if (r->code == v) return r->code;
        return -1;
    }
    for (const os_code_str *r = tab; r->text; ++r)
        if (strcasecmp(r->text, name) == 0) return r->code;
    return -1;
}

const char *syslog_level_name(int level)
{
    static const char *const names[] = {"panic", "alert", "crit", "error", "warn",
                                         "notice", "info", "debug", "debug"};
    // Levels above the table are the most verbose kind.
    return level >= 0 && level <= 8 ? names[level] : "debug";
}

int syslog_open(const char *host, const char *port, int transport)
{
    log_debug_printf("syslog_open [%s:%s]==>\n", host ? host : "", port ? port : "");
    syslog_host_name();
    for (int kind : {LOG_NET_DGRAM, LOG_NET_STREAM}) {
        if (!(transport & kind)) continue;
        const char *service = port && *port ? port : kind == LOG_NET_DGRAM ? "syslog" : "syslog-conn";
        struct addrinfo hints = {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = kind == LOG_NET_DGRAM ? SOCK_DGRAM : SOCK_STREAM;
        struct addrinfo *res = nullptr;
        int r = getaddrinfo(host, service, &hints, &res);
        int eno = errno, why = 0;
        int fd = log_net_connect_found(host ? host : "", service, r, eno, res, -1, nullptr, &why);
        if (res) freeaddrinfo(res);
        return fd;
    }
    return -1;
}

int syslog_format(struct log2 *ctx, const char *facpri, const char *tag, const char *msg,
                  char *out, size_t size)
{
    if (!out || size == 0) return -1;
    int pri = -1;
    char fp[64];
    str_safecopy_trunc(fp, sizeof fp, facpri ? facpri : "");
    const char *prio = fp;
    int fac = 8;
    if (char *dot = strchr(fp, '.')) {
        *dot = 0;
        prio = dot + 1;
        fac = syslog_code_get(fp, syslog_facility_tab);
        if (fac < 0) fprintf(stderr, "unknown facility name: %s\n", fp);
    }
    int sev = syslog_code_get(prio, syslog_priority_tab);
    if (sev < 0) fprintf(stderr, "unknown priority name: %s\n", prio);
    if (fac >= 0 && sev >= 0) pri = (fac & 0x3f8) | (sev & 7);

    struct tm tm;
    os_time_stamp(&tm, nullptr, nullptr);
    syslog_host_name();
    u32 flags = ctx ? ctx->flags.load(std::memory_order_relaxed) : 0;
    return (int)syslog_compose(out, size, pri, &tm, tag, os_getpid(), msg, flags);
}

int syslog_write(struct log2 *ctx, int sock, const char *facpri, const char *tag, const char *msg)
{
    char buf[LOG_NET_MSG_MAX];
    int n = syslog_format(ctx, facpri, tag, msg, buf, sizeof buf);
    if (n < 0 || sock < 0) return -1;
    // The NUL goes with the message.
    return (int)send_all(sock, buf, (size_t)n + 1);
}

void syslog_close(int sock)
{
    if (sock >= 0) close(sock);
}

void log_net_init(log_net_state *st)
{
    if (!st) return;
    memset(st, 0, sizeof *st);
    st->transport = LOG_NET_DGRAM;
    pthread_mutex_init(&st->ctl, nullptr);
}

void log_net_stop(log_net_state *st, int drain_ms)
{
    if (!st) return;
    // A reference of its own: the output may let the sender go meanwhile.
    log_net_tx *tx;
    {
        pthread_guard g(&st->ctl);
        tx = st->tx;
        log_net_tx_ref(tx);
    }
    log_net_tx_stop(tx, drain_ms);
    log_net_tx_unref(tx);
}

int log_net_close(log_net_state *st)
{
    if (!st) return 0;
    log_net_tx *tx;
    {
        pthread_guard g(&st->ctl);
        tx = st->tx;
        st->tx = nullptr;
        st->state = 0;
        st->held = 0;
    }
    log_net_tx_unref(tx);
    return 0;
}

int log_net_set(struct log2 *c, log_net_state *st, const char *url, bool hold)
{
    if (!st || !url) return -1;
    log_debug_printf("log_net_open [%s]\n", url);
    // The new sender is made, and started, before it takes the place of
    // the one in place, which the caller alone then stops and frees.
    log_net_state *shown = (log_net_state *)os_zalloc(sizeof(log_net_state));
    if (!shown) return -1;
    int rc = parse_url(url, shown);
    log_net_tx *tx = nullptr;
    if (rc >= 0) {
        log_net_peer peer = {shown->url, shown->host, shown->port, shown->transport == LOG_NET_STREAM};
        tx = log_net_tx_new(&peer, st);
        if (!tx) rc = -1;
        else if (!hold && log_net_tx_start(tx) != 0) rc = -1;  // records wait unsent
    }
    log_net_tx *old;
    {
        log_output_lock g(c);
        pthread_guard l(&st->ctl);
        if (c && c->closed.load()) {
            // The log closed meanwhile: it gets no sender again.
            old = tx;
            rc = -1;
        } else {
            old = st->tx;
            st->tx = tx;
            memcpy(st->url, shown->url, sizeof st->url);
            memcpy(st->host, shown->host, sizeof st->host);
            st->port = shown->port;
            st->transport = shown->transport ? shown->transport : LOG_NET_DGRAM;
            st->state = tx ? 1 : 0;
            st->held = tx && hold;
        }
    }
    log_net_tx_unref(old);
    os_free(shown);
    return rc;
}

int log_net_hold(log_net_state *st, const char *url)
{
    return log_net_set(nullptr, st, url, true);
}

int log_net_open(log_net_state *st, const char *url)
{
    return log_net_set(nullptr, st, url, false);
}

int log_net_start(log_net_state *st)
{
    if (!st || !st->held) return 0;
    st->held = 0;
    return log_net_tx_start(st->tx);
}

int log_net_check(struct log2 *ctx, int wait_ms)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c) return 0;
    log_net_state *st = &c->net;
    char url[256], host[1025], service[32];
    int socktype;
    {
        log_output_lock g(c);
        if (st->state == 0) return 0;
        bool stream = st->transport == LOG_NET_STREAM;
        socktype = stream ? SOCK_STREAM : SOCK_DGRAM;
        if (st->port) snprintf(service, sizeof service, "%d", st->port);
        else str_safecopy_trunc(service, sizeof service, stream ? "syslog-conn" : "syslog");
        // A name longer than a host name can be is left to the connection.
        if (strnlen(st->host, sizeof host) >= sizeof host) return 0;
        str_safecopy_trunc(url, sizeof url, st->url);
        str_safecopy_trunc(host, sizeof host, st->host);
    }
    log_net_lookup *l = log_net_lookup_start(host, service, socktype);
    if (!l) return 0;
    int rc = 0, eno = 0, result = 0;
    if (log_net_lookup_wait(l, os_mono_ms() + (u64)(wait_ms > 0 ? wait_ms : 0), nullptr, &rc, &eno, nullptr) &&
        rc != 0) {
        char et[256];
        log_tell("syslog %s: host %s does not resolve (%s)", url, host,
                 rc == EAI_SYSTEM ? os_errno_str(eno, et, sizeof et) : gai_strerror(rc));
        result = -1;
    }
    log_net_lookup_unref(l);
    return result;
}

int log_net_connect(log_net_state *st)
{
    if (!st) return -1;
    char port[16];
    if (st->port) snprintf(port, sizeof port, "%d", st->port);
    return syslog_open(st->host, st->port ? port : nullptr, st->transport);
}

int log_net_write(struct log2 *ctx, int level, const char *module, const char *line, int)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c) return 0;
    log_net_tx *tx = c->net.tx;
    if (c->net.state == 0 || !tx) return 0;
    // While the peer is away a record costs no more than its count.
    if (!log_net_tx_wants(tx)) return log_net_tx_put(tx, nullptr, 0);
    char msg[LOG_NET_MSG_MAX];
    size_t n = syslog_message(msg, sizeof msg, level, module, line, c->flags.load(std::memory_order_relaxed)) + 1;
    return log_net_tx_put(tx, msg, n);
}

int log_net_write_safe(struct log2 *ctx, int level, const char *module, const char *line,
                       const struct tm *local)
{
    if (!ctx || !local) return 0;
    log_net_state *st = &ctx->net;
    if (st->state == 0 || !st->tx) return 0;
    // Facility user; the severity of syslog_level_name's names.
    int sev = (level & 0xff) < 7 ? (level & 0xff) : 7;
    char buf[LOG_NET_MSG_MAX];
    size_t n = syslog_compose(buf, sizeof buf, 8 | sev, local, module, (unsigned)getpid(), line,
                              ctx->flags.load(std::memory_order_relaxed));
    return log_net_tx_put_safe(st->tx, buf, n + 1);
}

size_t log_net_crash_note(struct log2 *ctx, char *out, size_t size)
{
    if (!ctx || !ctx->net.tx || !out || !size) return 0;
    int why = 0;
    u32 n = log_net_tx_crash_count(ctx->net.tx, &why);
    return n ? (size_t)log_net_dropped_text(out, size, ctx->net.url, n, why) : 0;
}

log_net_state *log_net_get(log_net_state *st)
{
    return st;
}
