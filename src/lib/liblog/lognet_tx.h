#pragma once
// The syslog output's sender: a bounded buffer of whole messages that the
// logging threads fill and the thread "syslog" empties towards the peer,
// so that no logging thread ever waits for the peer, a name look-up or a
// connection. What does not fit, or comes while the peer is away, is
// dropped whole and counted; the first message queued after drops is a
// warn record that says how many they were.
#include <atomic>
#include <cstddef>
#include "libpal/env/os_types.h"

struct addrinfo;
struct log_net_state;
struct log_net_tx;

constexpr size_t LOG_NET_TX_RING = 256 * 1024;  // bytes of messages waiting
constexpr size_t LOG_NET_MSG_MAX = 1536;        // one syslog message, its NUL included
constexpr int LOG_NET_CONNECT_MS = 1000;        // time for one connection attempt

// Reasons of drops beside errno values (log_net_dropped_text names them).
constexpr int LOG_NET_WHY_SLOW = -1;     // the buffer was full: the peer reads too slowly
constexpr int LOG_NET_WHY_NOT_YET = -2;  // the buffer was full before a connection stood
constexpr int LOG_NET_WHY_NO_NAME = -3;  // the host does not resolve
constexpr int LOG_NET_WHY_SLOW_NAME = -4;
constexpr int LOG_NET_WHY_CLOSED = -5;   // the output closed before they went out

// The buffer and sender of st's peer as st names it now, without its
// thread; NULL without memory.
log_net_tx *log_net_tx_new(log_net_state *st);
// Starts the sender thread; 0, or -1 (the messages then wait unsent).
int log_net_tx_start(log_net_tx *tx);
// Stops and joins the sender thread, after it has sent what it holds for
// at most drain_ms while its connection stands (0: at once).
void log_net_tx_stop(log_net_tx *tx, int drain_ms);
// log_net_tx_stop, then counts what was not sent and hands every count not
// yet told to the file (st->file_note); frees tx.
void log_net_tx_free(log_net_tx *tx);
// Queues the message of one record (called under the output mutex): the
// bytes queued, or -1 when it was dropped and counted.
int log_net_tx_put(log_net_tx *tx, int level, const char *module, const char *line, u32 flags);
// The crash report's form (async-signal-safe): queues msg (n bytes with
// its NUL) when a connection stands or is being made for messages that
// wait, and waits for the sender to send it, all messages of one report
// within a second. n once sent, 0 when nothing was queued, -1 otherwise.
int log_net_tx_put_safe(log_net_tx *tx, const char *msg, size_t n);

// A name looked up on a thread of its own, so that the caller can stop
// waiting for it; whichever of the two lets go last frees it.
struct log_net_lookup;
log_net_lookup *log_net_lookup_start(const char *host, const char *service, int socktype);
// Waits until the answer is in, deadline_ms (monotonic) passes or *stop
// is set; true once the answer is in: *rc (getaddrinfo's result), *eno
// and, when rc is 0, *res (owned by the look-up) are set.
bool log_net_lookup_wait(log_net_lookup *l, u64 deadline_ms, const std::atomic<u8> *stop, int *rc, int *eno,
                         const addrinfo **res);
void log_net_lookup_unref(log_net_lookup *l);

// A socket connected to the first address of res that takes the
// connection within timeout_ms each (non-blocking, close-on-exec), or -1
// with *eno. A byte on wake_fd (when not -1) ends the waits once *stop is
// set.
int log_net_connect_addrs(const addrinfo *res, int timeout_ms, int wake_fd, const std::atomic<u8> *stop,
                          int *eno);
