#pragma once
// The queue in front of a log context's output mutex: one thread writes
// the records of those that wait, so that the file gets one system call
// for many records and the mutex changes hands once per batch, not once
// per record.
//
// Who leads and who waits: a thread that finds the queue empty and the
// mutex free writes its record alone. Otherwise it pushes the record onto
// the queue. The thread whose record went onto an empty queue leads: it
// takes the mutex, takes every record queued by then, writes them in the
// order they came and, once the mutex is released, marks each of them
// done. Every other thread follows: it waits until its own record is
// marked done and returns. A record queued after the leader took the
// queue finds it empty, and its thread leads the next batch.
#include <atomic>

#include "liblog/log_out.h"
#include "libpal/env/os_mutex.h"

// The parts of the two below that run only when threads meet, out of line.
log_rec *log_queue_join(std::atomic<log_rec *> *queue, os_mutex *m, log_rec *r);
void log_queue_mark_done(log_rec *followers);

// Takes the output mutex m for record r. Returns the records to write
// under it, oldest first and r the first of them (r alone when nobody
// waited), or NULL when a leader has written r meanwhile.
inline log_rec *log_queue_enter(std::atomic<log_rec *> *queue, os_mutex *m, log_rec *r)
{
    r->next = nullptr;
    if (!queue->load(std::memory_order_relaxed) && os_mutex_trylock(m)) return r;
    return log_queue_join(queue, m, r);
}

// After the leader has written the batch that log_queue_enter returned
// and released the mutex: the records behind its own are through, and
// their threads go on. They may be gone as soon as they are marked, so
// the batch is not touched after this.
inline void log_queue_leave(log_rec *batch)
{
    if (batch->next) log_queue_mark_done(batch->next);
}
