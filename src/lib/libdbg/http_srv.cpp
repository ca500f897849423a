#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/http"
// The web tool's server: start, stop and accept (see http_srv.h for how
// its parts serve a connection).
#include "libdbg/http_srv.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"

namespace http_srv {

pthread_mutex_t g_lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
pthread_cond_t g_cond;
sock_log_late g_refused =
    SOCK_LOG_LATE(LOG_LVL_ERR, kRefuseLogEveryMs, "%u web requests refused with 503 since the last record\n");

namespace {

constexpr char kPageFile[] = "debug.html";
constexpr size_t kPageFileMax = 4 << 20;
constexpr u64 kStopGraceMs = 400;   // in-flight requests end on their own
constexpr u64 kStopForceMs = 1000;  // then their connections are stopped
constexpr long kSweepMs = 100;      // time-outs of heads and drains are looked at this often

std::once_flag g_cond_once;
web_run *g_run = nullptr;  // g_lock
// Starts and stops run one at a time under g_ctl (never taken by the
// reading thread or a request), so that a start is refused while another
// runs and a stop never finds half a run.
pthread_mutex_t g_ctl = PTHREAD_MUTEX_INITIALIZER;

// Connections beyond the table or an address's share, and heads given up
// for new connections.
sock_log_late g_refused_conn =
    SOCK_LOG_LATE(LOG_LVL_ERR, kRefuseLogEveryMs, "%u web connections refused with 503 since the last record\n");
sock_log_late g_evicted =
    SOCK_LOG_LATE(LOG_LVL_WARN, kRefuseLogEveryMs, "%u unfinished web heads answered 503 since the last record\n");

// The refusals the tool tells late while it runs.
void tell_late(bool on)
{
    for (sock_log_late *l : {&g_refused, &g_refused_conn, &g_evicted, http_check_refusals()}) {
        if (on) sock_log_late_start(l);
        else sock_log_late_stop(l);
    }
}

void cond_init()
{
    std::call_once(g_cond_once, [] { os_cond_init_mono(&g_cond); });
}

// Frees what a run holds (its last reference is gone).
void run_free(web_run *run)
{
    if (run->slots) {
        for (u32 i = 0; i < HTTP_MAX_CONNS; ++i) {
            conn_slot *s = &run->slots[i];
            if (s->sock) os_socket_exit(s->sock);
            drop_head(s);
        }
    }
    http_poll_exit(&run->poll);
    for (int fd : {run->timer, run->wake})
        if (fd >= 0) close(fd);
    os_free(run->slots);
    addr_counts_exit(&run->addrs);
    os_free(run->ready);
    httpdDestroy(run->server);
    http_log_exit();
    os_free(run->page_file);
    run->~web_run();
    os_free(run);
}

// The whole of a small file, or NULL.
char *read_page_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    char *text = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (size_t)st.st_size < kPageFileMax) {
        size_t size = (size_t)st.st_size;
        text = (char *)os_malloc(size + 1);
        size_t got = 0;
        while (text && got < size) {
            ssize_t n = read(fd, text + got, size - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += (size_t)n;
        }
        if (text) text[got] = 0;
    }
    close(fd);
    return text;
}

// A run with its slots, epoll set, sweep timer and stop event; NULL when
// something cannot be made.
web_run *run_new(void)
{
    void *mem = os_zalloc(sizeof(web_run));
    if (!mem) return nullptr;
    web_run *run = new (mem) web_run();
    run->slots = (conn_slot *)os_zalloc(HTTP_MAX_CONNS * sizeof(conn_slot));
    run->ready = (u64 *)os_zalloc(HTTP_MAX_CONNS * sizeof(u64));
    int polled = http_poll_init(&run->poll);
    run->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    run->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ok = run->slots && run->ready && addr_counts_init(&run->addrs, 2 * HTTP_MAX_CONNS) == 0 && polled == 0 &&
              run->timer >= 0 && run->wake >= 0;
    if (ok) {
        for (u32 i = HTTP_MAX_CONNS; i-- > 0;) {
            run->slots[i].next_free = run->free_head;
            run->free_head = i;
        }
        struct itimerspec its = {};
        its.it_interval.tv_nsec = its.it_value.tv_nsec = kSweepMs * 1000000L;
        // The timer is armed while there are connections.
        ok = timerfd_settime(run->timer, 0, &its, nullptr) == 0 &&
             http_poll_add(&run->poll, run->timer, kTagTimer, HTTP_POLL_OFF) == 0 &&
             http_poll_add(&run->poll, run->wake, kTagStop, HTTP_POLL_ALWAYS) == 0;
    }
    if (!ok) {
        LOG_AT(3 | LOG_OPT_ERRNO, "web server set-up: ");
        run_free(run);
        return nullptr;
    }
    return run;
}

// Ends a run that no longer takes connections: its idle threads end, the
// requests in flight finish, given a moment, and after that their
// connections are stopped; the run goes with its last thread.
void stop_run(web_run *run)
{
    {
        pthread_guard g(&g_lock);
        run->stopping.store(true);
        while (run->idle_count) {
            worker *w = run->idle[--run->idle_count];
            w->idle = false;
            sem_post(&w->sem);
        }
    }
    u64 one = 1;
    if (write(run->wake, &one, sizeof one) < 0) LOG_ERR("web server stop: %s\n", os_errno_text(errno));
    {
        pthread_guard g(&g_lock);
        u64 start = os_mono_ms();
        while (run->active > 0 && os_mono_ms() - start < kStopGraceMs)
            os_cond_wait_until(&g_cond, &g_lock, start + kStopGraceMs);
        if (run->active > 0) {
            run->cancel.flag.store(1);
            u64 force = os_mono_ms();
            while (run->active > 0 && os_mono_ms() - force < kStopForceMs)
                os_cond_wait_until(&g_cond, &g_lock, force + kStopForceMs);
        }
        if (run->active > 0)
            LOG_WARN("%u web requests still running; their server goes when they end\n", run->active);
    }
    run_unref(run);
}

}  // namespace

void run_unref(web_run *run)
{
    bool last;
    {
        pthread_guard g(&g_lock);
        last = --run->refs == 0;
    }
    if (last) run_free(run);
}

}  // namespace http_srv

using namespace http_srv;

int http_accept_proc(u64 sock, os_ipaddr *peer, void *arg)
{
    web_run *run = (web_run *)arg;
    // What the client has sent already, taken without waiting: most
    // requests are complete at once and go straight to a request thread.
    char *buf = (char *)os_malloc(HTTPD_HEAD_BUF_FIRST);
    ssize_t n = buf ? recv(os_sock_fd(sock), buf, HTTPD_HEAD_BUF_FIRST, MSG_DONTWAIT) : -1;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || !buf)) n = 0;
    else if (n <= 0) n = -1;  // closed or reset before a word: nothing to serve
    head_job job{sock, *peer, buf, n > 0 ? (u32)n : 0, buf ? HTTPD_HEAD_BUF_FIRST : 0, os_mono_ms(), false, {}};
    httpdHeadScanInit(&job.scan);
    int st = n > 0 ? httpdHeadScan(&job.scan, buf, (size_t)n) : HTTPD_HEAD_MORE;
    if (st == HTTPD_HEAD_NO_MEMORY) n = -1;
    os_ipaddr evicted_peer;
    u64 evicted = 0;
    const char *why = nullptr;
    u32 limit = 0;
    worker *w = nullptr;
    bool start = false;
    {
        pthread_guard g(&g_lock);
        if (run != g_run || run->stopping.load() || n < 0) {
            job_drop(job);
            return -1;
        }
        if (st == HTTPD_HEAD_READY) {
            w = give_locked(run, job, &start);
        } else if (addr_counts_get(&run->addrs, peer) >= HTTP_MAX_CONNS_PER_ADDR) {
            // One address may hold only its share of the table.
            why = "web connections being read from one address";
            limit = HTTP_MAX_CONNS_PER_ADDR;
        } else {
            // A full table makes room by giving up the head that has been
            // arriving longest.
            if (run->free_head == kNone) evicted = evict_oldest_locked(run, &evicted_peer);
            if (hold_head_locked(run, job, SLOT_HEAD) == kNone) {
                why = "web connections being read";
                limit = HTTP_MAX_CONNS;
            }
        }
    }
    wake_or_start(run, w, start);
    if (evicted) {
        if (u32 k = sock_log_late_pass(&g_evicted)) {
            char addr[OS_IPADDR_CSTR_MAXN];
            peer_text(&evicted_peer, addr, sizeof addr);
            LOG_WARN("%u web connections being read: the oldest unfinished head, from %s, closed (%u since the "
                     "last record)\n",
                     HTTP_MAX_CONNS, addr, k);
        }
        send_fixed(evicted, 503);
        os_socket_exit(evicted);
    }
    if (!why) return 0;
    log_refused(&g_refused_conn, why, limit, peer);
    send_fixed(sock, 503);
    job_drop(job);
    return -1;
}

int debug_http_server_init(const char *addrs, int port)
{
    if (port == 0) return 0;
    cond_init();
    pthread_guard ctl(&g_ctl);
    {
        pthread_guard g(&g_lock);
        if (g_run) {
            LOG_ERR("web server already running\n");
            return -1;
        }
    }
    char *page = read_page_file(kPageFile);
    if (page) LOG_DBG("load debug.html ok\n");
    if (http_log_init() < 0) {
        os_free(page);
        return -1;
    }
    web_run *run = run_new();  // with the log view's reference, given back when it goes
    if (!run) {
        os_free(page);
        return -1;
    }
    run->page_file = page;
    run->server = httpdCreate();
    if (!run->server) {
        LOG_ERR("Could not create web server: %s\n", os_errno_text(errno));
        run_free(run);
        return -1;
    }
    if (http_add_callbacks(run->server) != 0) {
        LOG_ERR("Could not create web server: %s\n", os_errno_text(ENOMEM));
        run_free(run);
        return -1;
    }
    run->refs++;  // the reading thread's
    os_thread *t = os_thread_init("http_io", http_io_thread, run, 0);
    if (!t) {
        LOG_ERR("Failed to create a new thread (httpd)\n");
        run_free(run);
        return -1;
    }
    os_thread_free(t);
    sock_tcp_server_param sp = {};
    sp.name = "dbg_http";
    // A port that another program (or another vkto) listens on is refused,
    // not shared with it.
    sp.reuse = 0;
    sp.backlog = SOMAXCONN;
    sp.accept_proc = http_accept_proc;
    sp.arg = run;
    {
        // The accept procedure sees the run only once it is complete.
        pthread_guard g(&g_lock);
        g_run = run;
    }
    sock_server_ctx *l = sock_tcp_server_init(addrs ? addrs : "", port, &sp);
    {
        pthread_guard g(&g_lock);
        if (l) {
            run->listener = l;
            run->port = port;
            tell_late(true);
            return 0;
        }
        g_run = nullptr;
    }
    stop_run(run);
    return -1;
}

int dbg_http_server_stop(void)
{
    LOG_DBG("==>\n");
    cond_init();
    pthread_guard ctl(&g_ctl);
    web_run *run;
    sock_server_ctx *l;
    {
        pthread_guard g(&g_lock);
        run = g_run;
        g_run = nullptr;
        l = run ? run->listener : nullptr;
        if (run) run->listener = nullptr;
    }
    if (!run) return 0;
    // No new connection from here on.
    if (l) sock_server_exit(l);
    stop_run(run);
    tell_late(false);
    return 0;
}

int dbg_http_server_port(void)
{
    pthread_guard g(&g_lock);
    return g_run ? g_run->port : 0;
}
