#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/libpal/memory/rbuf"
#include "libpal/memory/rbuf.h"

#include <cerrno>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/os/os_thread.h"

// ---- event object ----

os_event *os_event_new(void)
{
    os_event *ev = (os_event *)os_zalloc(sizeof(os_event));
    if (!ev) return nullptr;
    if (pthread_mutex_init(&ev->mutex, nullptr) != 0) {
        os_free(ev);
        return nullptr;
    }
    os_cond_init_mono(&ev->cond);
    return ev;
}

void os_event_del(os_event *ev)
{
    if (!ev) return;
    pthread_mutex_destroy(&ev->mutex);
    pthread_cond_destroy(&ev->cond);
    os_free(ev);
}

// The event keeps no signalled state, so there is nothing to reset; the
// condition variable is never re-initialised under a waiter.
int os_event_reset(os_event *)
{
    return 0;
}

int os_event_signal(os_event *ev)
{
    if (!ev) return -1;
    pthread_guard g(&ev->mutex);
    pthread_cond_signal(&ev->cond);
    return 0;
}

int os_event_wait(os_event *ev, u32 timeout_ms)
{
    if (!ev) return -1;
    u64 deadline = timeout_ms == OS_WAIT_FOREVER ? 0 : os_mono_ms() + timeout_ms;
    int rc;
    {
        pthread_guard g(&ev->mutex);
        rc = timeout_ms == OS_WAIT_FOREVER ? pthread_cond_wait(&ev->cond, &ev->mutex)
                                           : os_cond_wait_until(&ev->cond, &ev->mutex, deadline);
    }
    if (rc == 0) return 0;
    return rc == ETIMEDOUT ? -2 : -1;
}

// ---- ring buffer ----

namespace {

inline u64 prefix_get(const rbuf *h, const u8 *slot)
{
    if (h->wide) {
        u32 v;
        memcpy(&v, slot, 4);
        return v;
    }
    u16 v;
    memcpy(&v, slot, 2);
    return v;
}

inline void prefix_put(const rbuf *h, u8 *slot, u64 len)
{
    if (h->wide) {
        u32 v = (u32)len;
        memcpy(slot, &v, 4);
    } else {
        u16 v = (u16)len;
        memcpy(slot, &v, 2);
    }
}

inline u8 *slot_at(const rbuf *h, u64 slot)
{
    return h->data + slot * h->BlockSize;
}

// Next slot number, wrapping at the end of the ring.
inline u64 next_slot(const rbuf *h, u64 slot)
{
    return slot + 1 == h->MaxQueueSize ? 0 : slot + 1;
}

inline bool size_ok(const rbuf *h, u64 size)
{
    return size > 0 && size <= h->BlockSize - (u64)h->bs_byte;
}

// Only the mutex holder changes the pending count, so a plain load and
// store suffice; readers outside the mutex only look at it.
inline void pending_add(rbuf *h, u64 n)
{
    h->pending.store(h->pending.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

inline void pending_sub(rbuf *h, u64 n)
{
    h->pending.store(h->pending.load(std::memory_order_relaxed) - n, std::memory_order_relaxed);
}

// Reserves the slot of the next block (mutex held); a full ring gives up
// its oldest block first. Returns the payload.
u8 *reserve_locked(rbuf *h, u64 size)
{
    if (h->blocks >= h->MaxQueueSize) {
        u64 len = prefix_get(h, slot_at(h, h->read_slot));
        ++h->read_idx;
        h->read_slot = next_slot(h, h->read_slot);
        h->stat.drop_bytes += len;
        ++h->stat.drop_count;
        pending_sub(h, len);
    } else {
        ++h->blocks;
    }
    u8 *slot = slot_at(h, h->write_slot);
    ++h->write_idx;
    h->write_slot = next_slot(h, h->write_slot);
    prefix_put(h, slot, size);
    h->stat.write_bytes += size;
    ++h->stat.write_count;
    pending_add(h, size);
    return slot + h->bs_byte;
}

// Takes the oldest block (mutex held, ring not empty); returns its slot.
u8 *take_locked(rbuf *h, u64 *len)
{
    u8 *slot = slot_at(h, h->read_slot);
    *len = prefix_get(h, slot);
    ++h->read_idx;
    h->read_slot = next_slot(h, h->read_slot);
    --h->blocks;
    h->stat.read_bytes += *len;
    pending_sub(h, *len);
    return slot;
}

// Waits (mutex held) until pred() holds or the time-out passes; false on
// time-out. waiters counts the threads asleep on cond, so that the other
// side signals only when someone listens.
template <class Pred>
bool wait_locked(rbuf *h, pthread_cond_t *cond, u32 *waiters, u32 timeout_ms, Pred pred)
{
    if (pred()) return true;
    if (timeout_ms == 0) return false;
    u64 deadline = timeout_ms == OS_WAIT_FOREVER ? 0 : os_mono_ms() + timeout_ms;
    bool ok = true;
    ++*waiters;
    while (!pred()) {
        if (timeout_ms == OS_WAIT_FOREVER) {
            pthread_cond_wait(cond, &h->mutex);
        } else if (os_cond_wait_until(cond, &h->mutex, deadline) == ETIMEDOUT) {
            ok = pred();
            break;
        }
    }
    --*waiters;
    return ok;
}

// Signals cond after the mutex is released, when a waiter was counted.
inline void wake(pthread_cond_t *cond, u32 waiters)
{
    if (waiters) pthread_cond_signal(cond);
}

}  // namespace

rbuf *rbuf_init(u64 all_size, u32 block_size)
{
    OS_CHECK_TXT(all_size > 2, "all_size>2", nullptr);
    int bs = 4;
    if (block_size < 65536) {
        OS_CHECK_TXT(block_size > 2 && block_size <= UINT16_MAX,
                     "block_size>2 && block_size<=UINT16_MAX", nullptr);
        bs = 2;
    }
    u64 slot = (u64)block_size + (u64)bs;
    u64 slots = all_size / slot;
    if (slots <= 1) {
        LOG_ERR("MaxQueueSize=%d <2 error\n", (int)slots);
        return nullptr;
    }
    u8 *data = (u8 *)os_malloc(all_size);
    if (!data) return nullptr;
    rbuf *h = (rbuf *)os_zalloc(sizeof(rbuf));
    if (!h) {
        os_free(data);
        return nullptr;
    }
    if (pthread_mutex_init(&h->mutex, nullptr) != 0) {
        os_free(h);
        os_free(data);
        return nullptr;
    }
    os_cond_init_mono(&h->data_cond);
    os_cond_init_mono(&h->space_cond);
    h->all_size = all_size;
    h->BlockSize = slot;
    h->MaxQueueSize = slots;
    h->data = data;
    h->wide = bs == 4;
    h->bs_byte = bs;
    return h;
}

int rbuf_exit(rbuf *h)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", -1);
    pthread_cond_destroy(&h->data_cond);
    pthread_cond_destroy(&h->space_cond);
    pthread_mutex_destroy(&h->mutex);
    os_free(h->data);
    os_free(h);
    return 0;
}

int rbuf_clear(rbuf *h)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", -1);
    {
        pthread_guard g(&h->mutex);
        h->blocks = 0;
        h->read_idx = 0;
        h->write_idx = 0;
        h->read_slot = 0;
        h->write_slot = 0;
        h->stat = rbuf_stat{};
        h->pending.store(0, std::memory_order_relaxed);
    }
    pthread_cond_broadcast(&h->space_cond);
    return 0;
}

void *rbuf_alloc_lock(rbuf *h, u64 size)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", nullptr);
    OS_CHECK_TXT(size_ok(h, size), "size>0 && size<=ctx->BlockSize-ctx->bs_byte", nullptr);
    pthread_mutex_lock(&h->mutex);
    return reserve_locked(h, size);
}

void *rbuf_reserve_locked(rbuf *h, u64 size)
{
    return h && size_ok(h, size) ? reserve_locked(h, size) : nullptr;
}

void rbuf_unlock(rbuf *h)
{
    if (!h) return;
    u32 waiters = h->data_waiters;
    pthread_mutex_unlock(&h->mutex);
    wake(&h->data_cond, waiters);
}

int rbuf_write(rbuf *h, const void *block, u64 size)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", -1);
    OS_CHECK_TXT(block != nullptr, "block!=NULL", -1);
    OS_CHECK_TXT(size_ok(h, size), "size>0 && size<=ctx->BlockSize-ctx->bs_byte", -1);
    u32 waiters;
    {
        pthread_guard g(&h->mutex);
        memcpy(reserve_locked(h, size), block, size);
        waiters = h->data_waiters;
    }
    wake(&h->data_cond, waiters);
    return 0;
}

int rbuf_write_wait(rbuf *h, const void *block, u64 size, u32 timeout_ms)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", -1);
    OS_CHECK_TXT(block != nullptr, "block!=NULL", -1);
    OS_CHECK_TXT(size_ok(h, size), "size>0 && size<=ctx->BlockSize-ctx->bs_byte", -1);
    u32 waiters;
    {
        pthread_guard g(&h->mutex);
        if (!wait_locked(h, &h->space_cond, &h->space_waiters, timeout_ms,
                         [h] { return h->blocks + 1 < h->MaxQueueSize; }))
            return -2;
        memcpy(reserve_locked(h, size), block, size);
        waiters = h->data_waiters;
    }
    wake(&h->data_cond, waiters);
    return 0;
}

int rbuf_is_full(rbuf *h)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", 0);
    pthread_guard g(&h->mutex);
    return h->blocks + 1 >= h->MaxQueueSize ? 1 : 0;
}

int rbuf_is_empty(rbuf *h)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", 0);
    pthread_guard g(&h->mutex);
    return h->read_idx >= h->write_idx ? 1 : 0;
}

i64 rbuf_read_imp(rbuf *h, void *buf, u64 len, int mode, u32 timeout_ms)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", -1);
    OS_CHECK_TXT(buf != nullptr, "buf!=NULL", -1);
    OS_CHECK_TXT(mode >= RBUF_READ_RAW && mode <= RBUF_READ_MULTI, "mode>=0 && mode<=3", -1);
    if (mode == RBUF_READ_RAW) OS_CHECK_TXT(len >= h->BlockSize, "len>=ctx->BlockSize", -1);
    if (mode == RBUF_READ_ONE || mode == RBUF_READ_MULTI)
        OS_CHECK_TXT(len + (u64)h->bs_byte >= h->BlockSize, "len+ctx->bs_byte>=ctx->BlockSize", -1);

    // Nothing queued and no wait asked for: answer without the lock.
    if (mode != RBUF_READ_CB && timeout_ms == 0 && h->pending.load(std::memory_order_relaxed) == 0)
        return 0;

    i64 out = 0;
    u32 waiters;
    {
        pthread_guard g(&h->mutex);
        if (mode != RBUF_READ_CB &&
            !wait_locked(h, &h->data_cond, &h->data_waiters, timeout_ms,
                         [h] { return h->read_idx < h->write_idx; }))
            return 0;
        ++h->stat.read_count;
        u8 *dst = (u8 *)buf;
        u64 room = len;
        u64 bs = (u64)h->bs_byte;
        while (h->read_idx < h->write_idx) {
            u64 n;
            if (mode == RBUF_READ_RAW) {
                if (room < h->BlockSize) break;
                u8 *slot = take_locked(h, &n);
                memcpy(dst, slot, bs + n);
                dst += bs + n;
                room -= bs + n;
                out += (i64)(bs + n);
            } else if (mode == RBUF_READ_CB) {
                u8 *slot = take_locked(h, &n);
                ((rbuf_read_fn)buf)(slot + bs, n);
            } else {
                if (room + bs < h->BlockSize) break;
                u8 *slot = take_locked(h, &n);
                memcpy(dst, slot + bs, n);
                dst += n;
                room -= n;
                out += (i64)n;
                if (mode == RBUF_READ_ONE) break;
            }
        }
        waiters = h->space_waiters;
    }
    wake(&h->space_cond, waiters);
    return out;
}

i64 rbuf_read(rbuf *h, void *buf, u64 len)
{
    return rbuf_read_imp(h, buf, len, RBUF_READ_ONE, 0);
}

i64 rbuf_read_timeout(rbuf *h, void *buf, u64 len, u32 timeout_ms)
{
    return rbuf_read_imp(h, buf, len, RBUF_READ_ONE, timeout_ms);
}

i64 rbuf_read_cb(rbuf *h, rbuf_read_fn cb)
{
    return rbuf_read_imp(h, (void *)cb, 0, RBUF_READ_CB, 0);
}

i64 rbuf_read_raw(rbuf *h, void *buf, u64 len)
{
    return rbuf_read_imp(h, buf, len, RBUF_READ_RAW, 0);
}

i64 rbuf_read_multi(rbuf *h, void *buf, u64 len)
{
    return rbuf_read_imp(h, buf, len, RBUF_READ_MULTI, 0);
}

i64 rbuf_read_multi_timeout(rbuf *h, void *buf, u64 len, u32 timeout_ms)
{
    return rbuf_read_imp(h, buf, len, RBUF_READ_MULTI, timeout_ms);
}

int rbuf_get_stat(rbuf *h, rbuf_stat *out)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", -1);
    OS_CHECK_TXT(out != nullptr, "stat!=NULL", -1);
    pthread_guard g(&h->mutex);
    *out = h->stat;
    return 0;
}

u64 rbuf_get_drop_count(rbuf *h)
{
    OS_CHECK_TXT(h != nullptr, "h!=NULL", 0);
    pthread_guard g(&h->mutex);
    return h->stat.drop_count;
}
