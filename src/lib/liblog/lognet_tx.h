#pragma once
// The syslog output's sender: a buffer of whole messages that the logging
// threads fill and the thread "syslog" empties towards the peer, so that no
// logging thread ever waits for the peer, a name look-up or a connection.
// The buffer grows while the sender lags, up to LOG_NET_TX_MAX, and gives
// its memory back once the sender has caught up. What does not fit, or
// comes while the peer is away, is dropped whole and counted; the first
// message queued after drops is a warn record that says how many they were.
#include <atomic>
#include <cstddef>
#include "liblog/lognet_msg.h"
#include "libpal/env/os_types.h"

struct addrinfo;
struct log_net_state;
struct log_net_tx;

constexpr size_t LOG_NET_TX_CHUNK = 64 * 1024;       // the buffer grows and shrinks by this
constexpr size_t LOG_NET_TX_MAX = 4 * 1024 * 1024;   // bytes of messages waiting, at most
constexpr int LOG_NET_CONNECT_MS = 1000;             // time for one connection attempt

// Where the sender sends: the output's URL (for messages), host, service
// and transport.
struct log_net_peer {
    const char *url;
    const char *host;
    int port;  // 0: the transport's syslog service
    bool stream;
};

// The buffer and sender of a peer, without its thread; counts it could not
// send go to st->file_note. NULL without memory. The caller holds the one
// reference.
log_net_tx *log_net_tx_new(const log_net_peer *peer, log_net_state *st);
// Starts the sender thread once; 0, or -1 (the messages then wait unsent,
// as they do once it was stopped).
int log_net_tx_start(log_net_tx *tx);
// Stops and joins the sender thread, after it has sent what it holds for
// at most drain_ms while its connection stands (0: at once). Any number of
// threads may stop one sender: its thread is joined once.
void log_net_tx_stop(log_net_tx *tx, int drain_ms);
// Another reference to tx, for a caller that stops it while the output may
// let it go.
void log_net_tx_ref(log_net_tx *tx);
// Lets a reference go; the last one stops the sender, counts what it did
// not send, hands every count not yet told to the file (st->file_note) and
// frees tx.
void log_net_tx_unref(log_net_tx *tx);
// Queues one message of n bytes, its NUL included (called under the output
// mutex): n, or -1 when it was dropped and counted. While the peer is away
// a message need not be made (log_net_tx_wants tells): msg NULL counts a
// record dropped.
int log_net_tx_put(log_net_tx *tx, const char *msg, size_t n);
bool log_net_tx_wants(const log_net_tx *tx);
// The crash report's form (async-signal-safe): queues msg (n bytes with
// its NUL) when a connection stands or is being made for messages that
// wait, and waits for the sender to send it, all messages of one report
// within a second. n once sent, 0 when nothing was queued, -1 otherwise.
int log_net_tx_put_safe(log_net_tx *tx, const char *msg, size_t n);
// The crash report's count (async-signal-safe): stops the sender from
// sending more and gives the records it dropped or still holds that the
// text file has not been told of, with the first one's reason in *why.
u32 log_net_tx_crash_count(log_net_tx *tx, int *why);

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

// Connects to res, getaddrinfo's answer rc for host and service (eno: the
// system's error of EAI_SYSTEM): a socket (non-blocking, close-on-exec) of
// the first address that takes the connection within LOG_NET_CONNECT_MS,
// or -1 with *why (LOG_NET_WHY_NO_NAME for a name that did not resolve),
// told on standard error with its reason unless a stop ended it. A byte on
// wake_fd (when not -1) ends the waits once *stop is set.
int log_net_connect_found(const char *host, const char *service, int rc, int eno, const addrinfo *res, int wake_fd,
                          const std::atomic<u8> *stop, int *why);
