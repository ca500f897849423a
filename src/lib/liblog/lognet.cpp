#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/lognet"
#include "liblog/lognet.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log.h"
#include "liblog/lognet_tx.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
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
constexpr int kSendMs = 1000;      // time for one message to go out
constexpr char kDroppedFmt[] = "%u log records dropped: syslog %.256s could not take them (%s)\n";

// The host name of the messages, read once (by the first connection).
char g_host[64];
std::once_flag g_host_once;
std::atomic<bool> g_host_read{false};

const char *host_name()
{
    std::call_once(g_host_once, [] {
        char h[256] = "";
        if (gethostname(h, sizeof h - 1) != 0) h[0] = 0;
        h[sizeof h - 1] = 0;
        if (!h[0] || strcmp(h, "(none)") == 0) str_safecopy_trunc(h, sizeof h, "unknown");
        str_safecopy_trunc(g_host, sizeof g_host, h);
        g_host_read.store(true, std::memory_order_release);
    });
    return g_host;
}

// Appends to a bounded text without the formatter.
struct text_out {
    char *p;
    size_t size, n = 0;
    void add(const char *s, size_t max = (size_t)-1)
    {
        for (; max && *s && n + 1 < size; --max) p[n++] = *s++;
    }
    void add_num(long v, int width = 0, char fill = '0')
    {
        char t[24];
        int k = 0;
        unsigned long u = v < 0 ? 0ul - (unsigned long)v : (unsigned long)v;
        do {
            t[k++] = (char)('0' + u % 10);
            u /= 10;
        } while (u);
        while (k < width) t[k++] = fill;
        if (v < 0) t[k++] = '-';
        while (k && n + 1 < size) p[n++] = t[--k];
    }
};

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

// "Mmm dd hh:mm:ss" of a local time, as ctime writes it from its fifth
// character on.
void add_stamp(text_out &o, const struct tm *t)
{
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    int mon = t->tm_mon >= 0 && t->tm_mon < 12 ? t->tm_mon : 0;
    o.add(months + 3 * mon, 3);
    o.add(" ");
    o.add_num((unsigned)t->tm_mday % 100, 2, ' ');
    o.add(" ");
    o.add_num((unsigned)t->tm_hour % 100, 2);
    o.add(":");
    o.add_num((unsigned)t->tm_min % 100, 2);
    o.add(":");
    o.add_num((unsigned)t->tm_sec % 100, 2);
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
    host_name();
    for (int kind : {LOG_NET_DGRAM, LOG_NET_STREAM}) {
        if (!(transport & kind)) continue;
        const char *service = port && *port ? port : kind == LOG_NET_DGRAM ? "syslog" : "syslog-conn";
        struct addrinfo hints = {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = kind == LOG_NET_DGRAM ? SOCK_DGRAM : SOCK_STREAM;
        struct addrinfo *res = nullptr;
        int r = getaddrinfo(host, service, &hints, &res);
        if (r != 0) {
            fprintf(stderr, "getaddrinfo: %s\n", r == EAI_SYSTEM ? strerror(errno) : gai_strerror(r));
            fprintf(stderr, "failed to resolve name %s port %s\n", host ? host : "", service);
            return -1;
        }
        int fd = log_net_connect_addrs(res, LOG_NET_CONNECT_MS, -1, nullptr, nullptr);
        freeaddrinfo(res);
        if (fd >= 0) return fd;
        fprintf(stderr, "failed to connect to %s port %s\n", host ? host : "", service);
        return -1;
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
    host_name();
    u32 flags = ctx ? ctx->flags.load(std::memory_order_relaxed) : 0;
    return (int)syslog_compose(out, size, pri, &tm, tag, os_getpid(), msg, flags);
}

size_t syslog_compose(char *out, size_t size, int pri, const struct tm *local, const char *tag,
                      unsigned pid, const char *msg, u32 flags)
{
    if (!out || size == 0) return 0;
    // The message leaves out the line's time prefix.
    size_t skip = (flags & LOG_F_TIME) ? 9 : (flags & LOG_F_TIME_MS) ? 13 : 0;
    if (!msg) msg = "";
    if (skip && strnlen(msg, skip) == skip) msg += skip;
    // "<%d>%.15s %.32s %.64s[%u]: %.800s"
    text_out o{out, size};
    o.add("<");
    o.add_num(pri);
    o.add(">");
    add_stamp(o, local);
    o.add(" ");
    o.add(g_host_read.load(std::memory_order_acquire) ? g_host : "unknown", 32);
    o.add(" ");
    o.add(tag && *tag ? tag : "<someone>", 64);
    o.add("[");
    o.add_num(pid);
    o.add("]: ");
    o.add(msg, 800);
    out[o.n] = 0;
    return o.n;
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

size_t syslog_message(char *out, size_t size, int level, const char *tag, const char *msg, u32 flags)
{
    struct tm tm;
    os_time_stamp(&tm, nullptr, nullptr);
    host_name();
    // Facility user, the severity of syslog_level_name's names.
    int sev = (level & 0xff) < 7 ? (level & 0xff) : 7;
    return syslog_compose(out, size, 8 | sev, &tm, tag, os_getpid(), msg, flags);
}

int log_net_dropped_text(char *buf, size_t size, const char *url, u32 count, int why)
{
    char et[256];
    const char *text = why == LOG_NET_WHY_SLOW       ? "the peer read too slowly"
                       : why == LOG_NET_WHY_NOT_YET  ? "no connection stood yet"
                       : why == LOG_NET_WHY_NO_NAME  ? "its host does not resolve"
                       : why == LOG_NET_WHY_SLOW_NAME ? "its host name was not found in time"
                       : why == LOG_NET_WHY_CLOSED   ? "the output closed before they were sent"
                                                     : os_errno_str(why, et, sizeof et);
    int n = snprintf(buf, size, kDroppedFmt, count, url ? url : "", text);
    return n < 0 ? 0 : (size_t)n < size ? n : (int)size - 1;
}

void log_net_init(log_net_state *st)
{
    if (!st) return;
    memset(st, 0, sizeof *st);
    st->transport = LOG_NET_DGRAM;
}

void log_net_stop(log_net_state *st, int drain_ms)
{
    if (st) log_net_tx_stop(st->tx, drain_ms);
}

int log_net_close(log_net_state *st)
{
    if (!st) return 0;
    log_net_tx_free(st->tx);
    st->tx = nullptr;
    st->state = 0;
    st->held = 0;
    return 0;
}

int log_net_hold(log_net_state *st, const char *url)
{
    if (!st || !url) return -1;
    log_debug_printf("log_net_open [%s]\n", url);
    log_net_close(st);
    char buf[URL_BUF_SIZE];
    struct url u;
    int rc = url_parser(&u, buf, url);
    if (rc < 0) {
        LOG_DBG("url_parser %s failed\n", url);
        st->url[0] = 0;
        log_tell("syslog %.256s: %s", url, kNotUrl);
        return -1;
    }
    str_safecopy_trunc(st->url, sizeof st->url, url);
    st->transport = strcasecmp(u.protocol, "tcp") == 0 ? LOG_NET_STREAM : LOG_NET_DGRAM;
    str_safecopy_trunc(st->host, sizeof st->host, u.host);
    st->port = u.port;
    // A text without a scheme is a file path to the parser: no host to
    // send to, so the output stays closed.
    if (!u.host[0]) {
        log_tell("syslog %.256s: %s", url, kNotUrl);
        return -1;
    }
    // Records wait in the buffer until the sender starts.
    st->tx = log_net_tx_new(st);
    if (!st->tx) return -1;
    st->state = 1;
    st->held = 1;
    return rc;
}

int log_net_start(log_net_state *st)
{
    if (!st || !st->held) return 0;
    st->held = 0;
    return log_net_tx_start(st->tx);
}

int log_net_open(log_net_state *st, const char *url)
{
    int rc = log_net_hold(st, url);
    if (rc >= 0 && log_net_start(st) != 0) return -1;
    return rc;
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
    log_net_state *st = &c->net;
    if (st->state == 0 || !st->tx) return 0;
    return log_net_tx_put(st->tx, level, module, line, c->flags.load(std::memory_order_relaxed));
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

log_net_state *log_net_get(log_net_state *st)
{
    return st;
}
