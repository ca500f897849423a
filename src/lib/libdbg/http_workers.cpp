#define LOG_MOD "dbg"
// Records of every part of the web tool's server carry the path the tool
// is known by in the log.
#define LOG_SRC "src/lib/libdbg/http"
// The pool of request threads ("http_cli"): each waits for a job, serves
// it and waits again; one idle too long ends. A complete head goes to the
// idle thread that waited least, else to a new thread while fewer than
// HTTP_MAX_REQUESTS run, else it waits in the table for a place.
#include "libdbg/http_srv.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"

namespace http_srv {

namespace {

constexpr u64 kIdleWorkerMs = 2000;  // an idle request thread ends after this long

// The run whose request this thread serves now (its reference keeps it).
thread_local const web_run *t_serving = nullptr;

void linger_proc(u64 sock, void *arg)
{
    web_run *run = (web_run *)arg;
    pthread_guard g(&g_lock);
    if (run->stopping.load() || take_slot_locked(run, sock, SLOT_DRAIN, nullptr) == kNone) os_socket_exit(sock);
}

// Serves one connection whose head is in job.buf.
void serve(web_run *run, head_job &job)
{
    // The access list and the refusal's answer run here, off the
    // listener's thread; the socket is closed whatever happens.
    httpd_request *r = httpdGetConnection(job.sock, run->server, &job.peer);
    if (!r) {
        os_free(job.buf);
        httpdHeadScanFree(&job.scan);
        LOG_ERR("httpdAccpetConnection sock=%p error\n", (void *)(uintptr_t)job.sock);
        return;
    }
    httpdSetInput(r, job.buf, job.len, job.accepted, job.ended);
    httpdSetHeadScan(r, &job.scan);
    httpdSetLinger(r, linger_proc, run);
    r->conn.cancel = &run->cancel;
    t_serving = run;
    if (httpdReadRequest(run->server, r) == 0) httpdProcessRequest(run->server, r);
    else LOG_DBG("No valid request received\n");
    t_serving = nullptr;
    httpdEndRequest(r);
}

void worker_free(worker *w)
{
    sem_destroy(&w->sem);
    os_free(w);
}

// Waits on the semaphore until ms pass: false on time-out.
bool sem_wait_ms(sem_t *sem, u64 ms)
{
    u64 at = os_mono_us() + ms * 1000;
    struct timespec ts;
    ts.tv_sec = (time_t)(at / 1000000);
    ts.tv_nsec = (long)(at % 1000000) * 1000L;
    while (sem_clockwait(sem, CLOCK_MONOTONIC, &ts) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Takes the thread off the idle stack; false when it was not on it (a job
// was given to it meanwhile, or the stop woke it).
bool leave_idle_locked(web_run *run, worker *w)
{
    if (!w->idle) return false;
    w->idle = false;
    for (u32 k = 0; k < run->idle_count; ++k) {
        if (run->idle[k] != w) continue;
        memmove(&run->idle[k], &run->idle[k + 1], (run->idle_count - k - 1) * sizeof(worker *));
        run->idle_count--;
        break;
    }
    return true;
}

// Ends the job just served (served), then waits for the thread's next
// job: the one it was started or woken with, or the oldest head waiting
// for a place; idle on its semaphore while there is none. false when the
// tool stops or the thread was idle too long (it has then left the pool).
//
// The served job ends under the same hold of g_lock that puts the thread
// on the idle stack: every request thread is either running a job or idle,
// so a head arriving in between finds it idle instead of starting a thread
// beyond HTTP_MAX_REQUESTS (and the idle stack never overflows).
bool wait_for_job(worker *w, bool served)
{
    web_run *run = w->run;
    {
        pthread_guard g(&g_lock);
        if (served) {
            w->has_job = false;
            run->active--;
            if (run->stopping.load() && run->active == 0) pthread_cond_broadcast(&g_cond);
        }
        if (w->has_job) return true;
        if (run->stopping.load()) return false;
        if (next_ready_locked(run, &w->job)) {
            w->has_job = true;
            return true;
        }
        if (run->idle_count >= HTTP_MAX_REQUESTS) return false;  // cannot happen: see above
        w->idle = true;
        run->idle[run->idle_count++] = w;
    }
    // A job given meanwhile posts the semaphore once g_lock is released.
    while (!sem_wait_ms(&w->sem, kIdleWorkerMs)) {
        pthread_guard g(&g_lock);
        if (leave_idle_locked(run, w)) return false;
    }
    pthread_guard g(&g_lock);
    return w->has_job;  // not set when the stop woke it
}

}  // namespace

void job_drop(head_job &job)
{
    os_socket_exit(job.sock);
    os_free(job.buf);
    httpdHeadScanFree(&job.scan);
}

worker *give_locked(web_run *run, head_job &job, bool *start)
{
    *start = false;
    if (run->stopping.load()) {
        job_drop(job);
        return nullptr;
    }
    if (run->active < HTTP_MAX_REQUESTS && !run->ready_len) {
        worker *w = nullptr;
        if (run->idle_count) {
            w = run->idle[--run->idle_count];
            w->idle = false;
        } else if ((w = (worker *)os_zalloc(sizeof(worker))) != nullptr) {
            if (sem_init(&w->sem, 0, 0) != 0) {
                os_free(w);
                w = nullptr;
            } else {
                w->run = run;
                run->workers++;
                run->refs++;
                *start = true;
            }
        }
        if (w) {
            w->job = job;
            w->has_job = true;
            run->active++;
            return w;
        }
    }
    if (!wait_for_place_locked(run, job)) {
        log_refused(&g_refused, "web requests running", HTTP_MAX_REQUESTS, &job.peer);
        send_fixed(job.sock, 503);
        job_drop(job);
    }
    return nullptr;
}

void wake_or_start(web_run *run, worker *w, bool start)
{
    if (!w) return;
    if (!start) {
        sem_post(&w->sem);
        return;
    }
    os_thread *t = os_thread_init("http_cli", httpd_client_thread, w, 0);
    if (t) {
        os_thread_free(t);
        return;
    }
    LOG_ERR("Failed to create a new thread (httpd)\n");
    send_fixed(w->job.sock, 503);
    job_drop(w->job);
    {
        pthread_guard g(&g_lock);
        run->workers--;
        run->active--;
    }
    worker_free(w);
    run_unref(run);
}

}  // namespace http_srv

using namespace http_srv;

const char *http_page_text(void)
{
    return t_serving ? t_serving->page_file : nullptr;
}

i64 httpd_client_thread(void *arg)
{
    worker *w = (worker *)arg;
    web_run *run = w->run;
    for (bool served = false; wait_for_job(w, served); served = true) serve(run, w->job);
    {
        pthread_guard g(&g_lock);
        run->workers--;
    }
    worker_free(w);
    run_unref(run);
    return 0;
}
