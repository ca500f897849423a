#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/poller_select"
#include "libpal/os/os_poller.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"

namespace {

constexpr u64 kTypeBit = 1ull << 63;
// Wake byte of a removal: restarts the waiter's select without ending its wait.
constexpr char kRemoveByte = 'r';
// Bound on how long a removal waits for the waiter to leave select (it
// leaves at once on the wake byte; this only guards a lost byte).
constexpr u64 kLeaveSelectMs = 2000;

struct locker : pthread_guard {
    explicit locker(os_poller *p) : pthread_guard(&p->lock) {}
};

// Index of the entry for fd, or -1. The list is sorted by descriptor.
i64 find_locked(const os_poller *p, i64 fd)
{
    i64 lo = 0, hi = (i64)p->list_count - 1;
    while (lo <= hi) {
        i64 mid = lo + (hi - lo) / 2;
        i64 v = p->list[mid].fd;
        if (v == fd) return mid;
        if (v < fd) lo = mid + 1;
        else hi = mid - 1;
    }
    return -1;
}

// Adds or updates the entry for fd; 1 when it was added, 0 when updated,
// -1 when there is no room.
int list_set_locked(os_poller *p, i64 fd, u64 events, u64 value)
{
    if (!p->list) {
        p->list = (os_poller_entry *)os_zalloc(sizeof(os_poller_entry) * OS_POLLER_MAX_OBJECTS);
        if (!p->list) {
            OS_CHECK_LOG("poller->list");
            return -1;
        }
    }
    u64 i = 0;
    while (i < p->list_count && p->list[i].fd < fd) ++i;
    if (i < p->list_count && p->list[i].fd == fd) {
        p->list[i].value = value;
        p->list[i].events = events;
        return 0;
    }
    if (p->list_count >= OS_POLLER_MAX_OBJECTS) return -1;
    memmove(&p->list[i + 1], &p->list[i], (p->list_count - i) * sizeof(os_poller_entry));
    p->list[i] = {fd, value, events, ++p->serial};
    p->list_count++;
    return 1;
}

bool fd_in_range(i64 fd, const char *what)
{
    if (fd >= 0 && fd < FD_SETSIZE) return true;
    LOG_ERR("%s: descriptor %lld outside the select range (0..%d)\n", what, (long long)fd,
            FD_SETSIZE - 1);
    return false;
}

int set_locked(os_poller *p, const os_poller_object *object, u32 events, u64 priv, bool count_limit)
{
    i64 fd = (i64)object->handle - 1;
    if (!fd_in_range(fd, "poller insert")) return 0;
    bool listed = p->list && find_locked(p, fd) >= 0;
    if (!listed && count_limit && p->count > OS_POLLER_MAX_OBJECTS - 1) return 0;
    int r = list_set_locked(p, fd, events, os_poller_priv_set_object_type(priv, object->type));
    if (r < 0) return 0;
    if (fd > p->max_fd) p->max_fd = fd;
    if (events & OS_POLLER_READ) FD_SET((int)fd, &p->rset);
    else FD_CLR((int)fd, &p->rset);
    if (events & OS_POLLER_WRITE) FD_SET((int)fd, &p->wset);
    else FD_CLR((int)fd, &p->wset);
    if (r == 1) p->count++;
    p->generation++;
    return 1;
}

void remove_locked(os_poller *p, i64 fd)
{
    if (fd < 0 || fd >= FD_SETSIZE) return;
    FD_CLR((int)fd, &p->rset);
    FD_CLR((int)fd, &p->wset);
    p->generation++;
    if (!p->list) return;
    i64 i = find_locked(p, fd);
    if (i < 0) return;
    memmove(&p->list[i], &p->list[i + 1], (p->list_count - (u64)i - 1) * sizeof(os_poller_entry));
    p->list_count--;
    if (p->count > 0) p->count--;
}

// Makes the wake pair and lists its reading end; false on failure (logged).
bool make_pair_locked(os_poller *p)
{
    u64 pair[2] = {0, 0};
    if (!os_socket_pair(OS_SOCK_TCP, pair)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_socket_pair error: ");
        return false;
    }
    p->wake[0] = pair[0];
    p->wake[1] = pair[1];
    os_poller_object obj = {OS_POLLER_OBJECT_SOCKET, pair[1]};
    if (!set_locked(p, &obj, OS_POLLER_READ, 0, true)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_poller_select_insert error: ");
        os_socket_exit(pair[0]);
        os_socket_exit(pair[1]);
        p->wake[0] = p->wake[1] = 0;
        return false;
    }
    return true;
}

void close_pair_locked(os_poller *p)
{
    if (p->wake[1]) remove_locked(p, (i64)p->wake[1] - 1);
    if (p->wake[0]) os_socket_exit(p->wake[0]);
    if (p->wake[1]) os_socket_exit(p->wake[1]);
    p->wake[0] = p->wake[1] = 0;
}

int send_wake_locked(os_poller *p, char byte)
{
    if (!p->wake[0]) return 0;
    ssize_t n = send(os_sock_fd(p->wake[0]), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    return (int)n;
}

int send_wake(os_poller *p, char byte)
{
    locker g(p);
    return send_wake_locked(p, byte);
}

// A select that watches fd keeps the file open even after close, so the
// peer would not see the close and the number could be reused under it.
// Wakes the waiter and waits (bounded) until that select has returned.
void leave_select_locked(os_poller *p, i64 fd)
{
    const u64 seen = p->selects;
    send_wake_locked(p, kRemoveByte);
    const u64 deadline = os_mono_ms() + kLeaveSelectMs;
    while (p->in_select && p->selects == seen) {
        if (os_mono_ms() >= deadline) {
            LOG_WARN("poller remove: descriptor %lld still watched by select after %llu ms\n", (long long)fd,
                     (unsigned long long)kLeaveSelectMs);
            return;
        }
        os_cond_wait_until(&p->cond, &p->lock, deadline);
    }
}

struct ready_event {
    i64 fd;
    u64 value;
    u64 serial;
    u32 events;
};

}  // namespace

u64 os_poller_priv_set_object_type(u64 priv, u8 type)
{
    return type == OS_POLLER_OBJECT_OTHER ? (priv | kTypeBit) : (priv & ~kTypeBit);
}

// ---- dispatchers ---------------------------------------------------------

os_poller *os_poller_init(u64 priv)
{
    os_poller *p = os_poller_select_init(priv);
    OS_CHECK_TXT(p, "poller", nullptr);
    return p;
}

u64 os_poller_priv(const os_poller *p)
{
    OS_CHECK_TXT(p, "poller", 0);
    return p->priv;
}

int os_poller_type(const os_poller *p)
{
    OS_CHECK_TXT(p, "poller", 0);
    return p->type;
}

int os_poller_support(const os_poller *p, u32 features)
{
    OS_CHECK_TXT(p, "poller", 0);
    return (u32)(p->features | features) == p->features ? 1 : 0;
}

int os_poller_kill(os_poller *p)
{
    OS_CHECK_TXT(p, "poller", -1);
    return p->kill ? p->kill(p) : 0;
}

int os_poller_spak(os_poller *p)
{
    OS_CHECK_TXT(p, "poller", -1);
    return p->spak ? p->spak(p) : 0;
}

int os_poller_attach(os_poller *p)
{
    OS_CHECK_TXT(p, "poller", -1);
    return p->attach ? p->attach(p) : 0;
}

void os_poller_exit(os_poller *p)
{
    OS_CHECK_TXT(p, "poller", );
    os_poller_kill(p);
    if (p->exit) p->exit(p);
}

int os_poller_insert(os_poller *p, const os_poller_object *object, u32 events, u64 priv)
{
    OS_CHECK_TXT(p && p->insert && object, "poller && poller->insert && object", 0);
    OS_CHECK_TXT(object->type != OS_POLLER_OBJECT_PROC, "object->type != OS_POLLER_OBJECT_PROC", 0);
    return p->insert(p, object, events, priv);
}

int os_poller_remove(os_poller *p, const os_poller_object *object)
{
    OS_CHECK_TXT(p && p->remove && object, "poller && poller->remove && object", 0);
    OS_CHECK_TXT(object->type != OS_POLLER_OBJECT_PROC, "object->type != OS_POLLER_OBJECT_PROC", 0);
    return p->remove(p, object);
}

int os_poller_modify(os_poller *p, const os_poller_object *object, u32 events, u64 priv)
{
    OS_CHECK_TXT(p && p->modify && object, "poller && poller->modify && object", 0);
    OS_CHECK_TXT(object->type != OS_POLLER_OBJECT_PROC, "object->type != OS_POLLER_OBJECT_PROC", 0);
    return p->modify(p, object, events, priv);
}

int os_poller_wait(os_poller *p, os_poller_func func, int timeout_ms)
{
    OS_CHECK_TXT(p && p->wait && func, "poller && poller->wait && func", -1);
    return p->wait(p, func, timeout_ms);
}

// ---- select implementation -----------------------------------------------

os_poller *os_poller_select_init(u64 priv)
{
    os_poller *p = (os_poller *)os_zalloc(sizeof(os_poller));
    OS_CHECK_TXT(p, "poller", nullptr);
    p->priv = priv;
    p->type = OS_POLLER_TYPE_SELECT;
    p->features = OS_POLLER_SELECT_FEATURES;
    p->exit = os_poller_select_exit;
    p->kill = os_poller_select_kill;
    p->spak = os_poller_select_spak;
    p->wait = os_poller_select_wait;
    p->insert = os_poller_select_insert;
    p->remove = os_poller_select_remove;
    p->modify = os_poller_select_modify;
    p->attach = nullptr;
    FD_ZERO(&p->rset);
    FD_ZERO(&p->wset);
    FD_ZERO(&p->rset_work);
    FD_ZERO(&p->wset_work);
    p->dispatch_fd = -1;
    pthread_mutex_init(&p->lock, nullptr);
    os_cond_init_mono(&p->cond);
    bool ok;
    {
        locker g(p);
        ok = make_pair_locked(p);
    }
    if (!ok) {
        pthread_cond_destroy(&p->cond);
        pthread_mutex_destroy(&p->lock);
        os_free(p->list);
        os_free(p);
        return nullptr;
    }
    return p;
}

void os_poller_select_exit(os_poller *p)
{
    OS_CHECK_TXT(p, "poller", );
    {
        locker g(p);
        close_pair_locked(p);
        os_free(p->list);
        p->list = nullptr;
        p->list_count = 0;
        p->count = 0;
        FD_ZERO(&p->rset);
        FD_ZERO(&p->wset);
    }
    pthread_cond_destroy(&p->cond);
    pthread_mutex_destroy(&p->lock);
    os_free(p);
}

int os_poller_select_kill(os_poller *p)
{
    OS_CHECK_TXT(p, "poller", -1);
    return send_wake(p, 'k');
}

int os_poller_select_spak(os_poller *p)
{
    OS_CHECK_TXT(p, "poller", -1);
    return send_wake(p, 'p');
}

int os_poller_select_insert(os_poller *p, const os_poller_object *object, u32 events, u64 priv)
{
    OS_CHECK_TXT(p && object, "poller && object", 0);
    OS_CHECK_TXT(object->handle != 0, "object->handle", 0);
    locker g(p);
    return set_locked(p, object, events, priv, true);
}

int os_poller_select_modify(os_poller *p, const os_poller_object *object, u32 events, u64 priv)
{
    OS_CHECK_TXT(p && object, "poller && object", 0);
    OS_CHECK_TXT(object->handle != 0, "object->handle", 0);
    locker g(p);
    return set_locked(p, object, events, priv, true);
}

int os_poller_select_remove(os_poller *p, const os_poller_object *object)
{
    OS_CHECK_TXT(p && object, "poller && object", 0);
    i64 fd = (i64)object->handle - 1;
    locker g(p);
    const bool watched = fd >= 0 && fd < FD_SETSIZE && (FD_ISSET((int)fd, &p->rset) || FD_ISSET((int)fd, &p->wset));
    remove_locked(p, fd);
    // The caller is about to close the descriptor and free its value: the
    // waiter's select must let go of it, and a callback for it that runs
    // now must finish first.
    if (fd >= 0 && p->waiting && !pthread_equal(p->waiter, pthread_self())) {
        if (watched && p->in_select) leave_select_locked(p, fd);
        while (p->dispatch_fd == fd) pthread_cond_wait(&p->cond, &p->lock);
    }
    return 1;
}

void os_poller_select_list_set(os_poller *p, i64 fd, u64 events, u64 value)
{
    OS_CHECK_TXT(p, "poller", );
    locker g(p);
    if (list_set_locked(p, fd, events, value) == 1) p->count++;
}

int os_poller_select_wait(os_poller *p, os_poller_func func, int timeout_ms)
{
    OS_CHECK_TXT(p && func, "poller && func", -1);
    const u64 start = os_mono_ms();
    {
        locker g(p);
        p->waiter = pthread_self();
        p->waiting = 1;
    }
    struct done_guard {
        os_poller *p;
        ~done_guard()
        {
            locker g(p);
            p->waiting = 0;
        }
    } done{p};

    ready_event table[OS_POLLER_MAX_EVENTS];
    for (;;) {
        i64 remain = -1;
        if (timeout_ms >= 0) {
            u64 now = os_mono_ms();
            if (now >= start + (u64)timeout_ms) return 0;
            remain = (i64)(start + (u64)timeout_ms - now);
        }
        int nfds;
        u64 gen;
        {
            locker g(p);
            p->rset_work = p->rset;
            p->wset_work = p->wset;
            nfds = (int)p->max_fd + 1;
            gen = p->generation;
            p->in_select = 1;
        }
        struct timeval tv;
        struct timeval *ptv = nullptr;
        if (remain >= 0) {
            tv.tv_sec = remain / 1000;
            tv.tv_usec = (remain % 1000) * 1000;
            ptv = &tv;
        }
        int r = select(nfds, &p->rset_work, &p->wset_work, nullptr, ptv);
        const int select_errno = errno;
        bool changed;
        {
            locker g(p);
            p->in_select = 0;
            p->selects++;
            pthread_cond_broadcast(&p->cond);
            changed = gen != p->generation;
        }
        if (r == 0) return 0;
        if (r < 0) {
            if (select_errno == EINTR) return 0;
            // A descriptor closed without its removal; the next pass works
            // on the new sets.
            if (select_errno == EBADF && changed) continue;
            errno = select_errno;
            return -1;
        }

        int n_ev = 0;
        bool killed = false, woken = false, bad = false;
        int wake_ret = 0, wake_errno = 0;
        bool rebuild = false;
        {
            locker g(p);
            for (u64 i = 0; i < p->list_count; ++i) {
                const os_poller_entry &e = p->list[i];
                if (e.fd < 0) {
                    bad = true;
                    break;
                }
                int fd = (int)e.fd;
                if (e.fd + 1 == (i64)p->wake[1]) {
                    if (!FD_ISSET(fd, &p->rset_work)) continue;
                    char b = 0;
                    ssize_t n = recv(fd, &b, 1, MSG_DONTWAIT);
                    if (n == 1) {
                        if (b == 'k') {
                            killed = true;
                            break;
                        }
                        if (b != kRemoveByte) woken = true;
                    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                        // Another pass took the byte; nothing to do.
                    } else {
                        rebuild = true;
                        wake_ret = (int)n;
                        wake_errno = errno;
                        break;
                    }
                    continue;
                }
                u32 ev = 0;
                if (e.fd < (i64)nfds) {
                    if (FD_ISSET(fd, &p->rset_work)) ev |= OS_POLLER_READ;
                    if (FD_ISSET(fd, &p->wset_work)) ev |= OS_POLLER_WRITE;
                }
                int err = 0;
                socklen_t len = sizeof err;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) ev |= OS_POLLER_ERROR;
                if (!ev) continue;
                if (e.events & OS_POLLER_ONESHOT) ev |= OS_POLLER_ONESHOT;
                if (n_ev < (int)OS_POLLER_MAX_EVENTS) table[n_ev++] = {e.fd, e.value, e.serial, ev};
            }
            if (rebuild) {
                errno = wake_errno;
                LOG_AT(3 | LOG_OPT_ERRNO, "recv ret=%d error: ", wake_ret);
                close_pair_locked(p);
                return make_pair_locked(p) ? 0 : -1;
            }
        }
        if (bad) {
            OS_CHECK_LOG("ptr");
            return -1;
        }
        if (killed) LOG_DBG("req killed exit\n");

        int dispatched = 0;
        for (int k = 0; k < n_ev; ++k) {
            ready_event ev = table[k];
            {
                locker g(p);
                i64 idx = p->list ? find_locked(p, ev.fd) : -1;
                // Removed (and possibly freed by its owner, its descriptor
                // and value reused by a new object) since the scan.
                if (idx < 0 || p->list[idx].serial != ev.serial || p->list[idx].value != ev.value) continue;
                if (ev.events & OS_POLLER_ONESHOT) {
                    ev.events &= ~(u32)OS_POLLER_ONESHOT;
                    remove_locked(p, ev.fd);
                }
                p->dispatch_fd = ev.fd;
            }
            os_poller_object obj = {(u8)((ev.value & kTypeBit) ? OS_POLLER_OBJECT_OTHER : OS_POLLER_OBJECT_SOCKET),
                                    (u64)ev.fd + 1};
            func(p, &obj, ev.events, ev.value & ~kTypeBit);
            {
                locker g(p);
                p->dispatch_fd = -1;
                pthread_cond_broadcast(&p->cond);
            }
            ++dispatched;
        }
        if (killed) return -1;
        if (dispatched > 0) return dispatched;
        if (woken) return 0;
    }
}
