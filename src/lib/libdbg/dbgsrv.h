#pragma once
// TCP shell server: one network shell session per connection, each on its
// own "netsh_srv" thread, at most DBGSRV_MAX_SESSIONS at once: a connection
// that finds them all open ends the session that has been idle longest
// (received nothing for the longest time) and takes its place. The
// listener queues up to SOMAXCONN connects, and sessions use TCP keepalive,
// so that a peer that vanished without closing loses its session after
// about 90 s.
#include "libpal/env/os_types.h"
#include "libpal/network/os_ipaddr.h"

constexpr u32 DBGSRV_MAX_SESSIONS = 256;

// addrs: a ';' or ','-separated list of local addresses, empty for all.
int debug_shell_server_init(const char *addrs, int port);
int debug_shell_server_exit(void);

// The listener's accept procedure and the thread of one connection.
int accept_proc(u64 sock, os_ipaddr *peer, void *arg);
i64 netsh_srv_thread(void *rec);

// The warn record of a session closed for what shell_guard_feed found
// (what), naming the peer of sock; counted with the refused connections.
void debug_shell_log_browser(u64 sock, int what);
