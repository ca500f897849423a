#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/http"
#include "libdbg/http.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libhttpd/api.h"
#include "liblog/log.h"
#include "libnet/sock_srv.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"
#include "libpal/value/dvar.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpwd/libpwd.h"
#include "libsh/libsh.h"

namespace {

constexpr char kPageFile[] = "debug.html";
constexpr size_t kPageFileMax = 4 << 20;
constexpr u64 kRefuseLogEveryMs = 1000;
constexpr u64 kStopGraceMs = 400;   // in-flight requests end on their own
constexpr u64 kStopForceMs = 1000;  // then their connections are stopped
constexpr u64 kIdleWorkerMs = 2000; // an idle request thread waits this long for work

// One start of the tool: the server, its listener and the requests being
// served. It lives until the tool has stopped and the last request thread
// has let go of it, so a request never sees its server freed.
struct web_run {
    httpd_server *server;
    sock_server_ctx *listener;
    char *page_file;  // the page read from debug.html, or NULL
    int port;
    u32 refs;         // the tool's own and one per request thread
    u32 active;       // request threads
    net_cancel cancel;  // set when the tool stops: waiting reads of its requests end
};

// A connection on its way to its thread.
struct client_rec {
    web_run *run;
    u64 sock;
    os_ipaddr peer;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cond;  // a request ended (monotonic clock)
pthread_cond_t g_work;  // a connection was queued, or the tool stops
std::once_flag g_cond_once;
web_run *g_run = nullptr;  // under g_lock

// Accepted connections waiting for a request thread, and the threads.
// A thread serves one connection at a time and, once idle, waits a while
// for the next one before it ends, so a busy server does not start a
// thread per request. All under g_lock.
client_rec g_queue[HTTP_MAX_REQUESTS];
u32 g_queue_head = 0, g_queue_len = 0;
u32 g_workers = 0, g_idle = 0;

// Written before the listener starts, only read afterwards.
// The run whose request this thread serves now (its reference keeps it).
thread_local const web_run *t_serving = nullptr;

sock_log_gate g_refused;

void cond_init()
{
    std::call_once(g_cond_once, [] {
        os_cond_init_mono(&g_cond);
        os_cond_init_mono(&g_work);
    });
}

// Frees what a run holds (its last reference is gone).
void run_free(web_run *run)
{
    httpdDestroy(run->server);
    http_log_exit();
    os_free(run->page_file);
    os_free(run);
}

// Drops one reference (g_lock held); true when it was the last.
bool run_unref_locked(web_run *run)
{
    return --run->refs == 0;
}

// One err record per second at most, with the number refused meanwhile.
void log_refused(const os_ipaddr *peer)
{
    u32 n = sock_log_gate_pass(&g_refused, kRefuseLogEveryMs);
    if (!n) return;
    char addr[OS_IPADDR_CSTR_MAXN] = "";
    os_ipaddr_ip_cstr(peer, addr, sizeof addr);
    LOG_ERR("%u web requests running, connection from %s closed (%u refused since the last record)\n",
            HTTP_MAX_REQUESTS, addr, n);
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

// One request of run is over (g_lock held); true when the run is to be
// freed.
bool request_done_locked(web_run *run)
{
    run->active--;
    pthread_cond_broadcast(&g_cond);
    return run_unref_locked(run);
}

}  // namespace

const char *http_page_text(void)
{
    return t_serving ? t_serving->page_file : nullptr;
}

int http_accept_proc(u64 sock, os_ipaddr *peer, void *arg)
{
    web_run *run = (web_run *)arg;
    bool spawn = false;
    {
        pthread_guard g(&g_lock);
        if (run != g_run) {
            os_socket_exit(sock);
            return -1;
        }
        // The queue is shared with the requests a stopped run may still
        // have waiting, so it is bounded on its own too.
        if (run->active >= HTTP_MAX_REQUESTS || g_queue_len >= HTTP_MAX_REQUESTS) {
            os_socket_exit(sock);
            log_refused(peer);
            return -1;
        }
        run->active++;
        run->refs++;
        g_queue[(g_queue_head + g_queue_len) % HTTP_MAX_REQUESTS] = client_rec{run, sock, *peer};
        g_queue_len++;
        // Idle threads woken but not yet running still count as idle: a
        // connection beyond them gets a thread of its own, never a place
        // behind a request that may hold its thread for seconds.
        if (g_queue_len <= g_idle) {
            pthread_cond_signal(&g_work);
        } else {
            g_workers++;
            spawn = true;
        }
    }
    if (!spawn) return 0;
    os_thread *t = os_thread_init("http_cli", httpd_client_thread, nullptr, 0);
    if (t) {
        os_thread_free(t);
        return 0;
    }
    LOG_ERR("Failed to create a new thread (httpd)\n");
    // The connection queued last goes unless a running thread takes it.
    client_rec c{};
    bool last;
    {
        pthread_guard g(&g_lock);
        g_workers--;
        if (g_queue_len == 0 || g_workers > 0) return -1;
        g_queue_len--;
        c = g_queue[(g_queue_head + g_queue_len) % HTTP_MAX_REQUESTS];
        last = request_done_locked(c.run);
    }
    os_socket_exit(c.sock);
    if (last) run_free(c.run);
    return -1;
}

namespace {

// Serves one accepted connection.
void serve_client(const client_rec &c)
{
    web_run *run = c.run;
    // The access list and the refusal's answer run here, off the
    // listener's thread; the socket is closed whatever happens.
    httpd_request *r = httpdGetConnection(c.sock, run->server, &c.peer);
    if (!r) {
        LOG_ERR("httpdAccpetConnection sock=%p error\n", (void *)(uintptr_t)c.sock);
        return;
    }
    r->conn.cancel = &run->cancel;
    t_serving = run;
    if (httpdReadRequest(run->server, r) == 0) httpdProcessRequest(run->server, r);
    else LOG_DBG("No valid request received\n");
    t_serving = nullptr;
    httpdEndRequest(r);
}

}  // namespace

i64 httpd_client_thread(void *)
{
    web_run *done = nullptr;  // the run of the request just served
    pthread_mutex_lock(&g_lock);
    for (;;) {
        if (done) {
            if (request_done_locked(done)) run_free(done);
            done = nullptr;
        }
        if (g_queue_len == 0) {
            // Idle: wait for work a while, not once the tool has stopped.
            u64 deadline = os_mono_ms() + kIdleWorkerMs;
            g_idle++;
            while (g_queue_len == 0 && g_run && os_mono_ms() < deadline)
                os_cond_wait_until(&g_work, &g_lock, deadline);
            g_idle--;
            if (g_queue_len == 0) break;
        }
        client_rec c = g_queue[g_queue_head];
        g_queue_head = (g_queue_head + 1) % HTTP_MAX_REQUESTS;
        g_queue_len--;
        pthread_mutex_unlock(&g_lock);
        serve_client(c);
        done = c.run;
        pthread_mutex_lock(&g_lock);
    }
    g_workers--;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

int debug_http_server_init(const char *addrs, int port)
{
    if (port == 0) return 0;
    cond_init();
    {
        pthread_guard g(&g_lock);
        if (g_run) {
            LOG_ERR("web server already running\n");
            return -1;
        }
    }
    web_run *run = (web_run *)os_zalloc(sizeof(web_run));
    if (!run) return -1;
    run->refs = 1;
    run->page_file = read_page_file(kPageFile);
    if (run->page_file) LOG_DBG("load debug.html ok\n");
    if (http_log_init() < 0) {
        os_free(run->page_file);
        os_free(run);
        return -1;
    }
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
    sock_tcp_server_param sp = {};
    sp.name = "dbg_http";
    sp.reuse = 1;
    sp.backlog = SOMAXCONN;
    sp.accept_proc = http_accept_proc;
    sp.arg = run;
    {
        // The accept procedure sees the run only once it is complete.
        pthread_guard g(&g_lock);
        g_run = run;
    }
    sock_server_ctx *l = sock_tcp_server_init(addrs ? addrs : "", port, &sp);
    bool last = false;
    {
        pthread_guard g(&g_lock);
        if (l) {
            run->listener = l;
            run->port = port;
        } else {
            g_run = nullptr;
            last = run_unref_locked(run);
        }
    }
    if (!l && last) run_free(run);
    return l ? 0 : -1;
}

int dbg_http_server_stop(void)
{
    LOG_DBG("==>\n");
    cond_init();
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
    // No new connection from here on; then the requests in flight finish,
    // given a moment, and after that their connections are stopped.
    if (l) sock_server_exit(l);
    bool last;
    {
        pthread_guard g(&g_lock);
        pthread_cond_broadcast(&g_work);  // idle request threads end
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
        last = run_unref_locked(run);
    }
    if (last) run_free(run);
    return 0;
}

int dbg_http_server_port(void)
{
    pthread_guard g(&g_lock);
    return g_run ? g_run->port : 0;
}
