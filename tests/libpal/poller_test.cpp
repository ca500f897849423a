#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "libpal/env/os_time.h"
#include "libpal/net_test_util.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_poller.h"

namespace {

using nettest::log_capture;

struct pair_t {
    u64 a = 0, b = 0;  // bytes written to a are read from b
    pair_t()
    {
        u64 p[2];
        EXPECT_EQ(os_socket_pair(0x101, p), 1);
        a = p[0];
        b = p[1];
    }
    ~pair_t()
    {
        if (a) os_socket_exit(a);
        if (b) os_socket_exit(b);
    }
    void poke() const { EXPECT_EQ(os_socket_send(a, "x", 1), 1); }
};

struct seen_t {
    std::vector<std::pair<u64, u32>> events;  // (priv, events)
    static void cb(os_poller *p, os_poller_object *obj, u32 events, u64 priv)
    {
        seen_t *self = (seen_t *)os_poller_priv(p);
        self->events.push_back({priv, events});
        char c;
        while (os_socket_recv(obj->handle, &c, 1) > 0) {
        }
    }
};

os_poller_object sock_obj(u64 handle) { return {OS_POLLER_OBJECT_SOCKET, handle}; }

TEST(Poller, FeaturesTimeoutsAndWakeBytes)
{
    seen_t seen;
    os_poller *p = os_poller_init((u64)(uintptr_t)&seen);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(os_poller_type(p), 5);
    EXPECT_EQ(os_poller_support(p, 1), 1);
    EXPECT_EQ(os_poller_support(p, 3), 1);
    EXPECT_EQ(os_poller_support(p, 32), 1);
    EXPECT_EQ(os_poller_support(p, 16), 0);
    EXPECT_EQ(p->count, 1u);  // the wake socket

    u64 t0 = os_mono_ms();
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 0), 0);
    EXPECT_LT(os_mono_ms() - t0, 500u);
    t0 = os_mono_ms();
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 150), 0);
    EXPECT_GE(os_mono_ms() - t0, 140u);

    EXPECT_EQ(os_poller_spak(p), 1);
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 2000), 0);
    {
        log_capture cap;
        EXPECT_EQ(os_poller_kill(p), 1);
        EXPECT_EQ(os_poller_wait(p, seen_t::cb, 2000), -1);
        EXPECT_TRUE(cap.has("req killed exit\n"));
    }
    // The kill byte is consumed: a later wait runs normally.
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 20), 0);
    EXPECT_TRUE(seen.events.empty());

    log_capture cap;
    os_poller_object proc = {OS_POLLER_OBJECT_PROC, 5};
    EXPECT_EQ(os_poller_insert(p, &proc, 1, 0), 0);
    EXPECT_TRUE(cap.has("expr[object->type != OS_POLLER_OBJECT_PROC]: assert failed"));
    EXPECT_EQ(os_poller_insert(nullptr, &proc, 1, 0), 0);
    EXPECT_TRUE(cap.has("expr[poller && poller->insert && object]: assert failed"));
    EXPECT_EQ(os_poller_wait(p, nullptr, 0), -1);
    os_poller_exit(p);
}

TEST(Poller, DispatchOrderOneShotAndTypes)
{
    seen_t seen;
    os_poller *p = os_poller_init((u64)(uintptr_t)&seen);
    pair_t p1, p2, p3;
    // Move the reading ends to known descriptors 909, 904 and 907.
    const int fds[3] = {909, 904, 907};
    pair_t *pairs[3] = {&p1, &p2, &p3};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(dup2(os_sock_fd(pairs[i]->b), fds[i]), fds[i]);
        os_socket_exit(pairs[i]->b);
        pairs[i]->b = os_fd_sock(fds[i]);
        os_poller_object o = sock_obj(pairs[i]->b);
        ASSERT_EQ(os_poller_insert(p, &o, OS_POLLER_READ, (u64)fds[i]), 1);
        pairs[i]->poke();
    }
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 2000), 3);
    ASSERT_EQ(seen.events.size(), 3u);
    EXPECT_EQ(seen.events[0].first, 904u);
    EXPECT_EQ(seen.events[1].first, 907u);
    EXPECT_EQ(seen.events[2].first, 909u);
    EXPECT_EQ(seen.events[0].second, (u32)OS_POLLER_READ);

    // One-shot: removed before its callback, which gets the bits without 32.
    seen.events.clear();
    u64 before = p->count;
    os_poller_object o = sock_obj(p2.b);
    ASSERT_EQ(os_poller_modify(p, &o, 33, 42), 1);
    EXPECT_EQ(p->count, before);
    p2.poke();
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 2000), 1);
    ASSERT_EQ(seen.events.size(), 1u);
    EXPECT_EQ(seen.events[0], std::make_pair((u64)42, (u32)1));
    EXPECT_EQ(p->count, before - 1);
    p2.poke();
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 100), 0);

    // Type 2 objects carry their type in the stored value's top bit.
    struct typed_t {
        u8 type = 0;
        u64 priv = 0;
        static void cb(os_poller *p, os_poller_object *obj, u32, u64 priv)
        {
            typed_t *t = (typed_t *)os_poller_priv(p);
            t->type = obj->type;
            t->priv = priv;
            char c;
            os_socket_recv(obj->handle, &c, 1);
        }
    } typed;
    os_poller *q = os_poller_init((u64)(uintptr_t)&typed);
    os_poller_object t2 = {OS_POLLER_OBJECT_OTHER, p3.b};
    ASSERT_EQ(os_poller_insert(q, &t2, OS_POLLER_READ, 77), 1);
    p3.poke();
    EXPECT_EQ(os_poller_wait(q, typed_t::cb, 2000), 1);
    EXPECT_EQ(typed.type, OS_POLLER_OBJECT_OTHER);
    EXPECT_EQ(typed.priv, 77u);
    os_poller_exit(q);
    os_poller_exit(p);
}

TEST(Poller, CountsAndLimits)
{
    seen_t seen;
    os_poller *p = os_poller_init((u64)(uintptr_t)&seen);
    pair_t x;
    os_poller_object o = sock_obj(x.b);
    ASSERT_EQ(os_poller_insert(p, &o, 1, 1), 1);
    ASSERT_EQ(os_poller_insert(p, &o, 1, 2), 1);  // again: an update, not a new object
    EXPECT_EQ(p->count, 2u);
    EXPECT_EQ(p->list_count, 2u);
    os_poller_object unknown = sock_obj(os_fd_sock(1000));
    EXPECT_EQ(os_poller_remove(p, &unknown), 1);
    EXPECT_EQ(p->count, 2u);
    EXPECT_EQ(os_poller_remove(p, &o), 1);
    EXPECT_EQ(os_poller_remove(p, &o), 1);
    EXPECT_EQ(p->count, 1u);

    // Descriptors the sets cannot hold are refused with a record.
    {
        log_capture cap;
        os_poller_object high = sock_obj(os_fd_sock(FD_SETSIZE));
        EXPECT_EQ(os_poller_insert(p, &high, 1, 0), 0);
        EXPECT_TRUE(cap.has("outside the select range"));
        EXPECT_EQ(p->count, 1u);
    }
    // Every other descriptor number fits: 1023 caller objects and the wake
    // socket make the 1024 the sets and the list hold.
    int wake_fd = os_sock_fd(p->wake[1]);
    int added = 0;
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
        if (fd == wake_fd) continue;
        os_poller_object h = sock_obj(os_fd_sock(fd));
        if (os_poller_insert(p, &h, 0, (u64)fd) == 1) ++added;
    }
    EXPECT_EQ(added, 1023);
    EXPECT_EQ(p->count, 1024u);
    EXPECT_EQ(p->list_count, 1024u);
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
        if (fd == wake_fd) continue;
        os_poller_object h = sock_obj(os_fd_sock(fd));
        os_poller_remove(p, &h);
    }
    EXPECT_EQ(p->count, 1u);
    // The poller still works after all that.
    os_poller_spak(p);
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 2000), 0);
    os_poller_exit(p);
}

TEST(Poller, PendingErrorIsReported)
{
    seen_t seen;
    os_poller *p = os_poller_init((u64)(uintptr_t)&seen);
    // A UDP socket connected to a closed port gets ECONNREFUSED pending
    // after its first send.
    os_ipaddr port;
    u64 rx = nettest::udp_loopback(&port);
    ASSERT_NE(rx, 0u);
    os_socket_exit(rx);
    u64 s = os_socket_init(OS_SOCK_UDP, OS_IPADDR_FAMILY_IPV4);
    ASSERT_GE(os_socket_connect(s, &port), 0);
    os_socket_send(s, "x", 1);
    os_msleep(50);
    os_poller_object o = sock_obj(s);
    ASSERT_EQ(os_poller_insert(p, &o, 0, 5), 1);  // asks for nothing
    os_poller_spak(p);
    int r = os_poller_wait(p, seen_t::cb, 1000);
    EXPECT_EQ(r, 1);
    ASSERT_EQ(seen.events.size(), 1u);
    EXPECT_EQ(seen.events[0].first, 5u);
    EXPECT_EQ(seen.events[0].second, (u32)OS_POLLER_ERROR);
    os_poller_remove(p, &o);
    os_socket_exit(s);
    os_poller_exit(p);
}

TEST(Poller, ManyDescriptorsAndFullPasses)
{
    seen_t seen;
    os_poller *p = os_poller_init((u64)(uintptr_t)&seen);
    std::vector<pair_t> pairs(300);
    for (size_t i = 0; i < pairs.size(); ++i) {
        os_poller_object o = sock_obj(pairs[i].b);
        ASSERT_EQ(os_poller_insert(p, &o, OS_POLLER_READ, i), 1);
    }
    std::set<u64> poked;
    for (size_t i = 0; i < pairs.size(); i += 7) {
        pairs[i].poke();
        poked.insert(i);
    }
    ASSERT_EQ(os_poller_wait(p, seen_t::cb, 2000), (int)poked.size());
    std::set<u64> got;
    for (auto &e : seen.events) got.insert(e.first);
    EXPECT_EQ(got, poked);

    os_poller_exit(p);
}

// More ready objects than one pass takes: the rest come in the next.
TEST(Poller, ReadyBeyondOnePass)
{
    seen_t seen;
    os_poller *p = os_poller_init((u64)(uintptr_t)&seen);
    const int n = 600;
    std::vector<u64> socks;
    u64 tx = os_socket_init(OS_SOCK_UDP, OS_IPADDR_FAMILY_IPV4);
    for (int i = 0; i < n; ++i) {
        os_ipaddr bound;
        u64 s = nettest::udp_loopback(&bound);
        ASSERT_NE(s, 0u);
        ASSERT_EQ(os_socket_usend(tx, &bound, "d", 1), 1);
        os_poller_object o = sock_obj(s);
        ASSERT_EQ(os_poller_insert(p, &o, OS_POLLER_READ, (u64)i), 1);
        socks.push_back(s);
    }
    os_msleep(20);
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 2000), (int)OS_POLLER_MAX_EVENTS);
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 2000), n - (int)OS_POLLER_MAX_EVENTS);
    std::set<u64> all;
    for (auto &e : seen.events) all.insert(e.first);
    EXPECT_EQ(all.size(), (size_t)n);
    for (u64 s : socks) os_socket_exit(s);
    os_socket_exit(tx);
    os_poller_exit(p);
}

// A callback that removes another ready object (whose owner then frees it)
// must not see that object dispatched in the same pass.
TEST(Poller, ObjectRemovedDuringPassIsNotDispatched)
{
    struct ctx_t {
        os_poller *p = nullptr;
        u64 victim = 0;
        std::vector<u64> order;
        static void cb(os_poller *p, os_poller_object *obj, u32, u64 priv)
        {
            ctx_t *c = (ctx_t *)os_poller_priv(p);
            c->order.push_back(priv);
            char ch;
            os_socket_recv(obj->handle, &ch, 1);
            if (priv == 1) {
                os_poller_object v = {OS_POLLER_OBJECT_SOCKET, c->victim};
                os_poller_remove(p, &v);
            }
        }
    } ctx;
    ctx.p = os_poller_init(0);
    ctx.p->priv = (u64)(uintptr_t)&ctx;
    pair_t first, second;
    // The remover has the lower descriptor, so it runs first.
    u64 lo = first.b < second.b ? first.b : second.b;
    u64 hi = first.b < second.b ? second.b : first.b;
    ctx.victim = hi;
    os_poller_object o1 = sock_obj(lo), o2 = sock_obj(hi);
    os_poller_insert(ctx.p, &o1, 1, 1);
    os_poller_insert(ctx.p, &o2, 1, 2);
    first.poke();
    second.poke();
    EXPECT_EQ(os_poller_wait(ctx.p, ctx_t::cb, 2000), 1);
    EXPECT_EQ(ctx.order, std::vector<u64>{1});
    os_poller_exit(ctx.p);
}

// A callback that removes a ready object, closes it and lists a new socket
// under the same descriptor and value: the old readiness must not reach the
// new object.
TEST(Poller, StaleEventNeverReachesAReusedDescriptor)
{
    struct ctx_t {
        u64 victim = 0;
        pair_t *fresh = nullptr;
        std::vector<u64> order;
        static void cb(os_poller *p, os_poller_object *obj, u32, u64 priv)
        {
            ctx_t *c = (ctx_t *)os_poller_priv(p);
            c->order.push_back(priv);
            char ch;
            os_socket_recv(obj->handle, &ch, 1);
            if (priv != 1) return;
            os_poller_object v = {OS_POLLER_OBJECT_SOCKET, c->victim};
            os_poller_remove(p, &v);
            // A new, idle socket under the same number (dup2 closes the old
            // one) and value.
            int fd = os_sock_fd(c->victim);
            c->fresh = new pair_t;
            ASSERT_EQ(dup2(os_sock_fd(c->fresh->b), fd), fd);
            os_socket_exit(c->fresh->b);
            c->fresh->b = os_fd_sock(fd);
            os_poller_object n = {OS_POLLER_OBJECT_SOCKET, c->fresh->b};
            ASSERT_EQ(os_poller_insert(p, &n, OS_POLLER_READ, 2), 1);
        }
    } ctx;
    os_poller *p = os_poller_init((u64)(uintptr_t)&ctx);
    pair_t first, second;
    u64 lo = first.b < second.b ? first.b : second.b;
    u64 hi = first.b < second.b ? second.b : first.b;
    ctx.victim = hi;
    os_poller_object o1 = sock_obj(lo), o2 = sock_obj(hi);
    os_poller_insert(p, &o1, OS_POLLER_READ, 1);
    os_poller_insert(p, &o2, OS_POLLER_READ, 2);
    first.poke();
    second.poke();
    EXPECT_EQ(os_poller_wait(p, ctx_t::cb, 2000), 1);
    EXPECT_EQ(ctx.order, std::vector<u64>{1});
    ASSERT_NE(ctx.fresh, nullptr);
    // The new object is idle: nothing more comes.
    EXPECT_EQ(os_poller_wait(p, ctx_t::cb, 50), 0);
    EXPECT_EQ(ctx.order, std::vector<u64>{1});
    os_poller_exit(p);
    if (first.b == hi) first.b = 0;  // closed in the callback
    if (second.b == hi) second.b = 0;
    delete ctx.fresh;
}

TEST(Poller, BrokenWakePairIsRebuilt)
{
    seen_t seen;
    os_poller *p = os_poller_init((u64)(uintptr_t)&seen);
    // End of stream on the watched end.
    shutdown(os_sock_fd(p->wake[0]), SHUT_WR);
    log_capture cap;
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 1000), 0);
    EXPECT_TRUE(cap.has("recv ret=0 error: "));
    EXPECT_EQ(p->count, 1u);
    EXPECT_EQ(os_poller_spak(p), 1);
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 1000), 0);
    EXPECT_EQ(os_poller_kill(p), 1);
    EXPECT_EQ(os_poller_wait(p, seen_t::cb, 1000), -1);
    os_poller_exit(p);
}

// One waiter; other threads insert, remove and free their objects while it
// dispatches. A record freed by its owner after remove must never reach a
// callback (checked by a magic value and, in sanitizer builds, by ASan).
TEST(PollerConcurrency, InsertRemoveWhileWaiting)
{
    struct rec_t {
        u64 magic;
        u64 sock;
    };
    static constexpr u64 kMagic = 0x5eed5eed5eedull;
    struct shared_t {
        std::atomic<u64> dispatched{0};
        std::atomic<u64> bad{0};
        static void cb(os_poller *p, os_poller_object *obj, u32, u64 priv)
        {
            shared_t *s = (shared_t *)os_poller_priv(p);
            rec_t *r = (rec_t *)(uintptr_t)priv;
            if (r->magic != kMagic || r->sock != obj->handle) s->bad++;
            char buf[16];
            while (os_socket_recv(obj->handle, buf, sizeof buf) > 0) {
            }
            s->dispatched++;
        }
    } shared;
    os_poller *p = os_poller_init((u64)(uintptr_t)&shared);
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        while (!stop.load()) os_poller_wait(p, shared_t::cb, 50);
    });
    const int kThreads = 4, kRounds = 1000;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&] {
            u64 deadline = os_mono_ms() + 20000;
            for (int i = 0; i < kRounds && os_mono_ms() < deadline; ++i) {
                u64 pr[2];
                ASSERT_EQ(os_socket_pair(0x101, pr), 1);
                rec_t *r = new rec_t{kMagic, pr[1]};
                os_poller_object o = sock_obj(pr[1]);
                ASSERT_EQ(os_poller_insert(p, &o, OS_POLLER_READ, (u64)(uintptr_t)r), 1);
                os_socket_send(pr[0], "abc", 3);
                os_poller_spak(p);
                if (i % 3) std::this_thread::yield();
                os_poller_remove(p, &o);
                r->magic = 0;
                delete r;
                os_socket_exit(pr[0]);
                os_socket_exit(pr[1]);
            }
        });
    }
    for (auto &w : workers) w.join();
    stop = true;
    os_poller_spak(p);
    waiter.join();
    EXPECT_EQ(shared.bad.load(), 0u);
    EXPECT_GT(shared.dispatched.load(), 0u);
    EXPECT_EQ(p->count, 1u);
    os_poller_exit(p);
}

// A removal while the waiter sits in select lets go of the descriptor at
// once: closed right after the removal, the peer sees the end of the stream
// without waiting for the select to time out, and the wait itself goes on.
TEST(PollerConcurrency, RemovalReleasesTheDescriptorAtOnce)
{
    struct shared_t {
        std::atomic<int> returns{0};
        static void cb(os_poller *, os_poller_object *obj, u32, u64)
        {
            char c;
            while (os_socket_recv(obj->handle, &c, 1) > 0) {
            }
        }
    } shared;
    os_poller *p = os_poller_init(0);
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        while (!stop.load()) {
            os_poller_wait(p, shared_t::cb, 10000);
            shared.returns++;
        }
    });
    for (int round = 0; round < 20; ++round) {
        u64 pr[2];
        ASSERT_EQ(os_socket_pair(0x101, pr), 1);
        os_poller_object o = sock_obj(pr[1]);
        ASSERT_EQ(os_poller_insert(p, &o, OS_POLLER_READ, 7), 1);
        int before = shared.returns.load();
        os_poller_spak(p);
        nettest::wait_until([&] { return shared.returns.load() != before; }, 3000);
        os_msleep(20);  // back in select, now watching pr[1]
        before = shared.returns.load();
        u64 t0 = os_mono_ms();
        EXPECT_EQ(os_poller_remove(p, &o), 1);
        os_socket_exit(pr[1]);
        EXPECT_TRUE(nettest::peer_closed(pr[0])) << "round " << round;
        EXPECT_LT(os_mono_ms() - t0, 1000u);
        os_msleep(20);
        EXPECT_EQ(shared.returns.load(), before);  // the removal did not end the wait
        os_socket_exit(pr[0]);
    }
    stop = true;
    os_poller_spak(p);
    waiter.join();
    EXPECT_EQ(p->count, 1u);
    os_poller_exit(p);
}

}  // namespace
