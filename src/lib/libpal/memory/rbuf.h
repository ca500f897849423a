#pragma once
// Ring buffer of length-prefixed blocks in one fixed memory area, and the
// event object (a condition variable with its own mutex).
//
// Writers never block: a full ring drops its oldest block and counts it.
// Readers take blocks in one of four modes and may wait, with a time-out in
// milliseconds (0xFFFFFFFF: no limit), for data to arrive. Waits run on the
// ring's own mutex with a predicate, so a write can never slip between a
// reader's test and its wait.
#include <atomic>
#include <pthread.h>

#include "libpal/env/os_types.h"

constexpr u32 OS_WAIT_FOREVER = 0xFFFFFFFF;

// Event object: keeps no signalled state; a signal that finds no waiter is
// lost.
struct os_event {
    pthread_cond_t cond;
    pthread_mutex_t mutex;
};

os_event *os_event_new(void);
void os_event_del(os_event *ev);
int os_event_reset(os_event *ev);
int os_event_signal(os_event *ev);
// 0 when woken, -2 on time-out, -1 on any other error.
int os_event_wait(os_event *ev, u32 timeout_ms);

// Counters copied by rbuf_get_stat, in this order.
struct rbuf_stat {
    u64 write_bytes;
    u64 read_bytes;
    u64 drop_bytes;
    u64 write_count;
    u64 read_count;
    u64 drop_count;
};

struct rbuf {
    u64 all_size;      // bytes of the data area
    u64 BlockSize;     // bytes of one slot: block size + prefix
    u64 blocks;        // blocks now queued
    u64 MaxQueueSize;  // number of slots
    u8 *data;
    u64 read_idx;      // blocks ever taken out (read or dropped)
    u64 write_idx;     // blocks ever written
    rbuf_stat stat;
    u64 read_slot;             // slot of the read index
    u64 write_slot;            // slot of the write index
    u32 data_waiters;          // readers waiting for data
    u32 space_waiters;         // writers waiting for room
    std::atomic<u64> pending;  // payload bytes queued; changed under the mutex
    pthread_mutex_t mutex;     // guards everything above
    pthread_cond_t data_cond;  // blocks were queued
    pthread_cond_t space_cond; // a read call ran, or the ring was cleared
    u8 wide;                   // 1 when the length prefix is 4 bytes
    i32 bs_byte;               // length of the prefix: 2 or 4
};

// Read modes of rbuf_read_imp.
enum {
    RBUF_READ_RAW = 0,    // prefix and payload of as many blocks as fit
    RBUF_READ_ONE = 1,    // the payload of one block
    RBUF_READ_CB = 2,     // every queued block to a callback, no waiting
    RBUF_READ_MULTI = 3,  // payloads of as many blocks as fit, back to back
};

typedef void (*rbuf_read_fn)(const void *payload, u64 len);

rbuf *rbuf_init(u64 all_size, u32 block_size);
int rbuf_exit(rbuf *h);
int rbuf_clear(rbuf *h);
// Reserves a block of size bytes and returns its payload with the ring's
// mutex held; rbuf_unlock releases it and wakes a reader. NULL (no lock
// held) for a bad size.
void *rbuf_alloc_lock(rbuf *h, u64 size);
void rbuf_unlock(rbuf *h);
// Reserves a block of size bytes for a caller that holds h->mutex itself
// (no check is logged, no reader is woken): its payload, or NULL for a bad
// size.
void *rbuf_reserve_locked(rbuf *h, u64 size);
int rbuf_write(rbuf *h, const void *block, u64 size);
// Waits up to timeout_ms while the ring is full: 0, -1, or -2 on time-out.
int rbuf_write_wait(rbuf *h, const void *block, u64 size, u32 timeout_ms);
int rbuf_is_full(rbuf *h);
int rbuf_is_empty(rbuf *h);
i64 rbuf_read_imp(rbuf *h, void *buf, u64 len, int mode, u32 timeout_ms);
i64 rbuf_read(rbuf *h, void *buf, u64 len);
i64 rbuf_read_timeout(rbuf *h, void *buf, u64 len, u32 timeout_ms);
i64 rbuf_read_cb(rbuf *h, rbuf_read_fn cb);
i64 rbuf_read_raw(rbuf *h, void *buf, u64 len);
i64 rbuf_read_multi(rbuf *h, void *buf, u64 len);
i64 rbuf_read_multi_timeout(rbuf *h, void *buf, u64 len, u32 timeout_ms);
int rbuf_get_stat(rbuf *h, rbuf_stat *out);
u64 rbuf_get_drop_count(rbuf *h);
