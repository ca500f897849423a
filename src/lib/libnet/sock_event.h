#pragma once
// The socket event environment: one poller, one thread "sock_listen" that
// waits on it and dispatches listeners, UDP sockets and event sockets, and
// the pool "events" of event records.
#include <atomic>
#include "libpal/env/os_types.h"
#include "libnet/sock_srv.h"
#include "libpal/os/os_poller.h"

// Leading type word of every record the event thread dispatches.
enum : i32 {
    SOCKET_TYPE_UDP = 1,
    SOCKET_TYPE_TCP = 2,
    SOCKET_TYPE_EVENT = 3,
};

// Called with the socket, the poller event bits and arg; a negative
// result closes the socket and frees the record.
typedef int (*sock_event_proc)(u64 sock, u32 events, void *arg);

struct sock_event_ctx {
    i32 type;  // SOCKET_TYPE_EVENT
    sock_event_proc callback;
    void *arg;
    u64 sock;
    u64 last;  // last activity, monotonic milliseconds
    u8 fresh;  // 1 until the first event
};

struct sock_env_param {
    u32 fresh_idle_ms;   // idle limit of records without an event yet; 0 never
    u32 active_idle_ms;  // idle limit of records that had events; 0 never
    void (*periodic)(void *arg);
    void *periodic_arg;
};

int sock_env_set_param(const sock_env_param *param);

// Work of the libraries that must be done even when no event comes (a
// held-back record told late, for instance): the event thread runs every
// tick after each wait, so at least once a second, under the ticks' lock.
// A tick returns quickly and adds or removes no tick.
typedef void (*sock_env_tick)(void *arg);
enum : u32 { SOCK_ENV_TICKS = 8 };
// 0, or -1 when all SOCK_ENV_TICKS are taken.
int sock_env_tick_add(sock_env_tick fn, void *arg);
// Once this returns, fn no longer runs with arg.
void sock_env_tick_del(sock_env_tick fn, void *arg);
// The record of an event that may come in bursts (a connection refused,
// or closed for another): the caller logs the event with its own record,
// at most one per every_ms, which tells how many came since the last one
// told (sock_log_late_pass); those that come after it are told late, in a
// record "<late>" with their number, by a tick within two periods even
// when no further event comes, and when the teller stops. Defined with
// SOCK_LOG_LATE, whose record names the caller's module and file.
struct sock_log_late {
    sock_log_gate gate;
    u64 every_ms;
    int level;
    const char *late;  // format of the late record; one %u, the number
    const char *mod;
    const char *src;
};
#define SOCK_LOG_LATE(level, every_ms, late) {{}, (every_ms), (level), (late), LOG_MOD, LOG_SRC}
// Counts one event: the number the caller's record is to tell now (this
// event included), or 0 when it is told later.
u32 sock_log_late_pass(sock_log_late *l);
// Registers the late records' tick: 0, or -1 when no tick is free.
int sock_log_late_start(sock_log_late *l);
// Removes the tick and tells the events not yet told.
void sock_log_late_stop(sock_log_late *l);

// Starts the environment once; later calls while it runs return 0.
int sock_env_init(void);
int sock_env_stop(void);
int sock_env_exit(void);
// The environment's poller (NULL before sock_env_init).
os_poller *sock_env_poller(void);

sock_event_ctx *sock_insert_event_proc(u64 sock, u32 events, sock_event_proc callback, void *arg);
int sock_del_event_proc(sock_event_ctx *ectx);
void sock_events_callback(os_poller *poller, os_poller_object *object, u32 events, u64 priv);
