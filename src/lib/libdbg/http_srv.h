#pragma once
// The web tool's server, in three parts that share what is below:
//   http_srv.cpp      start, stop and accept;
//   http_conns.cpp    the table of connections whose heads are still
//                     arriving (or that are drained after their answer),
//                     read event-driven by one thread ("http_io");
//   http_workers.cpp  the pool of request threads ("http_cli").
// The accept procedure takes what the client has sent already, without
// waiting: a complete head goes straight to an idle request thread, woken
// alone through its own semaphore (the one idle longest ends first), or to
// a new one. A head that has not arrived yet goes to the table, and from
// there to a request thread once complete; so does a connection drained
// after its answer. A slow client therefore holds a few bytes of buffer,
// never a request thread. Everything marked "g_lock" is read and written
// under g_lock; functions named *_locked are called with it held.
#include <atomic>
#include <pthread.h>
#include <semaphore.h>

#include "libdbg/addr_count.h"
#include "libdbg/http.h"
#include "libdbg/http_poll.h"
#include "libhttpd/api.h"
#include "libnet/sock_event.h"
#include "libpal/network/os_ipaddr.h"

namespace http_srv {

constexpr u64 kRefuseLogEveryMs = 1000;
constexpr u64 kPlaceWaitMs = 1000;  // a complete head waits this long for a place among the requests
constexpr u32 kNone = ~0u;

enum slot_state : u8 { SLOT_FREE, SLOT_HEAD, SLOT_READY, SLOT_DRAIN };

// A connection of the table: its head arriving, complete and waiting for
// a place among the requests (ready), or drained after its answer. Heads
// and drains are listed for one event; while busy the reading thread
// works on one outside the lock.
struct conn_slot {
    u64 sock;
    u64 started;   // accepted, or its drain began (monotonic ms)
    u64 last;      // the last input arrived, or the head became ready (monotonic ms)
    u64 dropped;   // bytes drained
    char *buf;     // the head so far
    u32 len;
    u32 cap;
    u32 gen;       // told apart from earlier connections of the slot
    u32 next_free;
    slot_state state;
    u8 busy;
    u8 ended;      // the client closed its side, or its time to send ran out
    os_ipaddr peer;
    httpd_head_scan scan;  // of buf
};

// A complete head on its way to a request thread, with its scan.
struct head_job {
    u64 sock;
    os_ipaddr peer;
    char *buf;
    u32 len;
    u32 cap;  // room of buf
    u64 accepted;
    bool ended;
    httpd_head_scan scan;
};

struct web_run;

// A request thread: it waits for a job, serves it, and waits again.
struct worker {
    web_run *run;
    sem_t sem;
    head_job job;
    bool has_job;  // g_lock; set with job before sem is posted
    bool idle;     // g_lock; on the run's idle stack
};

// One start of the tool: the server, its listener, its connections and
// threads. It lives until the tool has stopped and its last thread has let
// go of it, so a request never sees its server freed.
struct web_run {
    httpd_server *server;
    sock_server_ctx *listener;
    char *page_file;  // the page read from debug.html, or NULL
    int port;
    http_poll poll;   // the table's connections, the sweep timer and the stop event
    int timer = -1;
    int wake = -1;
    net_cancel cancel;  // set when the tool stops: waiting reads of its requests end
    std::atomic<bool> stopping{false};
    // g_lock:
    u32 refs = 1;      // the tool's own, the reading thread's and one per request thread
    u32 workers = 0;   // request threads
    u32 active = 0;    // of them with a request
    worker *idle[HTTP_MAX_REQUESTS];  // idle request threads, the latest on top
    u32 idle_count = 0;
    u32 used = 0;      // slots not free
    u32 free_head = kNone;
    bool timer_armed = false;
    conn_slot *slots = nullptr;
    addr_counts addrs;  // heads being read, and ready ones, per client address
    // Complete heads waiting for a place among the requests (slots in state
    // SLOT_READY, by their tags), oldest first.
    u64 *ready = nullptr;
    u32 ready_head = 0;
    u32 ready_len = 0;
};

extern pthread_mutex_t g_lock;
extern pthread_cond_t g_cond;  // a request ended while the tool stops (monotonic clock)
extern sock_log_late g_refused;  // requests beyond the cap

// ---- http_srv.cpp
// Drops a reference of the run; the last one frees it.
void run_unref(web_run *run);

// ---- http_conns.cpp
constexpr u64 kTagTimer = ~0ull;
constexpr u64 kTagStop = ~0ull - 1;
// A free slot for sock in state st, listed for its first event (off while
// it is ready); kNone (sock left open) when there is none or it cannot be
// listed. peer may be NULL.
u32 take_slot_locked(web_run *run, u64 sock, slot_state st, const os_ipaddr *peer);
// Frees slot i; its socket is closed unless it was taken out (sock 0).
void free_slot_locked(web_run *run, u32 i);
// Frees the head a slot holds (its buffer and scan).
void drop_head(conn_slot *s);
// Puts job's connection and head in a free slot in state st (SLOT_HEAD:
// read on; SLOT_READY: complete), the job left empty; kNone (the job
// kept) when no slot is free. take_head_locked is the way back.
u32 hold_head_locked(web_run *run, head_job &job, slot_state st);
// The head that has been arriving longest, taken out of its slot (its
// socket returned, to be answered and closed), or 0 when every head is
// being read.
u64 evict_oldest_locked(web_run *run, os_ipaddr *peer);
// Puts a complete head that finds no place among the requests in a slot,
// at the end of the heads waiting for one; false when no slot is free.
bool wait_for_place_locked(web_run *run, head_job &job);
// The oldest head waiting for a place, taken when there is one (counted
// among the requests).
bool next_ready_locked(web_run *run, head_job *h);
// The reading thread of the table.
i64 http_io_thread(void *arg);
// One err record per second at most, with the number refused meanwhile.
void log_refused(sock_log_late *gate, const char *what, u32 limit, const os_ipaddr *peer);
// Sends a short fixed answer on a connection that is not a request's,
// without waiting.
void send_fixed(u64 sock, int code);
void peer_text(const os_ipaddr *peer, char *out, size_t size);

// ---- http_workers.cpp
// Gives a complete head to a request thread: the idle one that waited
// least, else a new one; with every place taken it waits in a slot
// (kPlaceWaitMs at most), or, without a slot, is answered 503. Returns the
// thread to wake (its semaphore posted once g_lock is released) or to
// start, and sets *start for a new one; NULL when nothing is to be done.
worker *give_locked(web_run *run, head_job &job, bool *start);
// Wakes the request thread give_locked chose, or starts it.
void wake_or_start(web_run *run, worker *w, bool start);
// Closes the job's connection and frees what it holds.
void job_drop(head_job &job);

}  // namespace http_srv
