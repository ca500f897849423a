#pragma once
// Connection contexts: each accepted connection gets a record from the
// manager's pool "sock_ctx" and a joinable thread of its own, on a stack
// the manager maps (default size). A thread that has closed its
// connection is joined by the next one to close, or by the manager's
// exit, which stops every live session and joins its thread. After a
// burst of connections, the last one to end gives the memory they used
// back to the system.
//
// Link with a session's net handle: the session thread registers its
// handle with sock_tcp_ctx_set_net; the manager's exit, or
// sock_tcp_ctx_make_room, then sets that handle's stop flag (and the
// record's state word), which ends the session's waiting reads and writes
// within their wait slices.
#include <atomic>
#include "libpal/env/os_types.h"
#include "libpal/os/os_thread.h"

struct net;
struct sock_tcp_ctx_mgr;

// When a connection last showed life, for choosing the one to close when
// the table is full. The session's thread keeps it: the time (os_mono_ms)
// of the last input taken or of the end of the last request, or kBusy from
// before it takes input until no complete request of it is left unrun.
// The manager claims an idle session (kClaimed) while it looks at the
// session's socket for unread input, then gives the claim back or marks
// the session kClosed. Both sides change it atomically: a session takes
// input, and so runs the requests in it, only when it is not closed, and a
// session that takes input while claimed keeps it (the claim fails). So a
// request that has reached the session, read or not, is always answered.
struct sock_ctx_activity {
    static constexpr u64 kBusy = 1ull << 63;
    static constexpr u64 kClosed = 1ull << 62;
    static constexpr u64 kClaimed = 1ull << 61;
    std::atomic<u64> v;

    // Input is waiting: busy from now on. False when the session has been
    // chosen to close; it then takes nothing more and ends.
    bool take()
    {
        u64 cur = v.load(std::memory_order_relaxed);
        do {
            if (cur & kClosed) return false;
            if (cur == kBusy) return true;
        } while (!v.compare_exchange_weak(cur, kBusy));
        return true;
    }
    // No complete request left: idle since now_ms (a closed session stays
    // closed).
    void idle(u64 now_ms)
    {
        u64 cur = v.load(std::memory_order_relaxed);
        do {
            if (cur & kClosed) return;
        } while (!v.compare_exchange_weak(cur, now_ms));
    }
};

constexpr u32 SOCK_CTX_STATE_STOP = 2;

// Header of every connection record; the owner's fields follow it (the
// owner's record type begins with this header).
struct sock_tcp_ctx {
    u64 sock;                  // the connection; closed by sock_tcp_ctx_close
    std::atomic<u32> state;    // SOCK_CTX_STATE_STOP once the manager stops
    os_thread *thread;
    sock_tcp_ctx_mgr *mgr;
    net *session;              // registered net handle, or NULL
    void *stack;               // the thread's stack, mapped by the manager
    u32 mstate;                // manager bookkeeping, under its lock
    sock_ctx_activity active;  // from the accept on; its thread keeps it
    u64 seq;                   // accept order, under the manager's lock
};

typedef void (*sock_ctx_close_proc)(sock_tcp_ctx *rec, sock_tcp_ctx *rec2);

struct sock_tcp_ctx_param {
    const char *name;               // thread name
    u32 size;                       // record size, header included
    sock_ctx_close_proc close_proc; // may be NULL
    os_thread_proc thread_proc;     // runs with the record as argument and
                                    // ends by calling sock_tcp_ctx_close
};

sock_tcp_ctx_mgr *sock_tcp_ctx_init(const sock_tcp_ctx_param *param);
// A new record holding sock, with its thread started; NULL on failure (the
// socket then stays with the caller). The thread owns the record: it may
// have ended and given the record back by the time this returns.
sock_tcp_ctx *sock_tcp_ctx_open(sock_tcp_ctx_mgr *mgr, u64 sock);
// Called by the connection's own thread when it ends: runs the close
// procedure, closes the socket and gives the record back.
void sock_tcp_ctx_close(sock_tcp_ctx_mgr *mgr, sock_tcp_ctx *rec);
// Registers the session's handle (NULL to unregister); when the manager is
// already stopping, the handle's stop flag is set at once. A session that
// closes its socket itself unregisters first: the manager looks at a
// registered handle's socket.
void sock_tcp_ctx_set_net(sock_tcp_ctx_mgr *mgr, sock_tcp_ctx *rec, net *session);
// Stops and joins every live session (1000 ms each; a thread that does not
// end in time is detached and keeps its record until it closes it).
void sock_tcp_ctx_exit(sock_tcp_ctx_mgr *mgr);
// Number of live records.
u32 sock_tcp_ctx_count(sock_tcp_ctx_mgr *mgr);
// Makes room for one more connection when max of them are open (sessions
// already told to stop not counted): of the idle sessions with a
// registered handle and no unread input, the one idle longest (the oldest
// activity time; of equal ones the first accepted) is marked closed, told
// to stop as the manager's exit does, and its connection shut down, so
// that its peer learns it at once and its thread ends. 0 when there was
// room; 1 when a session was closed, with how long it had been idle in
// *idle_ms; -1 when every open session is busy (running a request, with
// input waiting, or still starting).
int sock_tcp_ctx_make_room(sock_tcp_ctx_mgr *mgr, u32 max, u64 *idle_ms);
