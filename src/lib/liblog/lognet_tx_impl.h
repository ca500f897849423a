#pragma once
// Inside the syslog sender: the buffer the logging threads fill
// (lognet_tx.cpp) and the thread that empties it (lognet_send.cpp).
#include <atomic>
#include <cstddef>
#include <pthread.h>
#include <sys/uio.h>

#include "liblog/lognet_tx.h"
#include "libpal/env/os_types.h"

struct os_thread;

// The connection as the logging threads see it: while it is down (between
// a failed attempt and the next) their records are dropped at once.
enum : u8 { kConnecting = 0, kUp = 1, kDown = 2 };
enum : u8 { kRun = 0, kStopNow = 1, kDrain = 2 };

constexpr int kTxNotes = 8;
constexpr int kTxMaxChunks = (int)(LOG_NET_TX_MAX / LOG_NET_TX_CHUNK);

// A piece of the buffer. Messages never straddle two pieces; the bytes a
// piece holds are the queue's bytes [base, base + used).
struct tx_chunk {
    tx_chunk *next;
    u64 base;
    size_t used;
    char data[LOG_NET_TX_CHUNK];
};

// A note queued in the buffer: where it ends, and the drops it tells.
struct note_mark {
    u64 end;
    u32 count;
    i32 why;
};

struct log_net_tx {
    log_net_state *st;
    char url[512];
    char host[1025];
    char service[32];
    bool stream;
    bool host_too_long;
    int wake = -1;  // eventfd: a record for a sleeping sender, or the stop
    std::atomic<int> refs{1};

    // The thread, started and stopped under life; once stopped it is
    // never started again.
    pthread_mutex_t life;
    os_thread *thread = nullptr;
    bool ended = false;
    std::atomic<u32> tid{0};  // the sender's thread id
    std::atomic<u8> link{kConnecting};
    std::atomic<u8> stop{kRun};
    std::atomic<u64> drain_until{0};

    // The buffer and its counts, under lock. The bytes between out and in
    // are the sender's to read without the lock; only the sender takes
    // pieces off the head, the logging threads add them at the tail.
    pthread_mutex_t lock;
    tx_chunk *head = nullptr, *tail = nullptr;
    tx_chunk *spare = nullptr;  // an emptied piece kept for the next growth
    int chunks = 0;             // pieces allocated, the spare included
    u64 in = 0;                 // bytes ever queued
    std::atomic<u64> out{0};    // bytes ever sent (or given up); the crash report reads it
    u64 msgs_in = 0, msgs_out = 0;  // whole messages ever queued, ever sent
    note_mark notes[kTxNotes];
    int note_head = 0, note_n = 0;
    u32 dropped = 0;   // records dropped since the last note was queued
    i32 why = 0;       // why the first of them was
    // Why the last connection (or attempt) ended, or the sender did: the
    // reason of drops while no connection stands.
    i32 down_why = 0;
    bool sleeping = false;  // the sender waits for a record
    u64 told_ms = 0;        // when a faltering peer was last told on standard error

    // The sender's own.
    int sock = -1;
    log_net_lookup *lk = nullptr;  // a look-up that had not answered in time
    u64 next_try = 0;              // no attempt before (after one failed)
    u64 up_since = 0;              // when the connection was made
    bool napped = false;
    bool grew = false;             // pieces were added since the sender last rested
    // The datagram sent last, until the system has had its chance to say
    // that the peer refused it: a note's count and reason (0: a record).
    bool dg_pending = false;
    note_mark dg_note{};
};

// Under lock: a record dropped; drops told before the ones counted so far.
void tx_count(log_net_tx *tx, int why, u64 n = 1);
void tx_count_first(log_net_tx *tx, int why, u64 n);
// Drops for the file to tell, once: those a note told the peer, or that
// none will (n 0: none).
void tx_to_file(log_net_state *st, u64 n, int why);
// One line on standard error, at most every 10 s (under lock).
void tx_tell(log_net_tx *tx, const char *what);
// What the buffer holds is given up (under lock): its records, and those
// its notes tell, are counted as dropped (why: the reason for the records).
// The pieces it no longer needs are handed back in *unused.
void tx_discard(log_net_tx *tx, int why, tx_chunk **unused);
// Under lock: the bytes from out on that one send takes (a stream all it
// can, a datagram its first message) as pieces; their count, 0 when
// nothing waits. *from is out.
int tx_pending(log_net_tx *tx, iovec *v, int max, u64 *from, size_t *n);
// n bytes from from went out (under lock): the messages they end are
// through, and the drops their notes tell are in *note (count 0: none);
// a stream's go to the file. Pieces emptied are handed back in *unused.
void tx_sent(log_net_tx *tx, u64 from, size_t n, note_mark *note, tx_chunk **unused);
// Frees a list of pieces (without the lock).
void tx_free_chunks(tx_chunk *c);
void tx_wake(log_net_tx *tx);
void tx_drain_wake(int fd);

i64 tx_sender_proc(void *arg);
