#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <vector>

#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/net_test_util.h"
#include "libpal/os/os_thread.h"

namespace {

using nettest::log_capture;

i64 return_seven(void *) { return 7; }

struct probe_t {
    std::string name;
    size_t stack = 0;
    bool sigint_blocked = false;
    bool sigterm_blocked = false;
};

i64 probe(void *arg)
{
    probe_t *p = (probe_t *)arg;
    char buf[512];
    p->name = os_thread_name_get(buf, sizeof buf);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &p->stack);
        pthread_attr_destroy(&attr);
    }
    sigset_t set;
    pthread_sigmask(SIG_BLOCK, nullptr, &set);
    p->sigint_blocked = sigismember(&set, SIGINT);
    p->sigterm_blocked = sigismember(&set, SIGTERM);
    return 0;
}

TEST(Thread, StartJoinAndExitCode)
{
    os_thread *t = os_thread_init("seven", return_seven, nullptr, 0);
    ASSERT_NE(t, nullptr);
    int code = 0;
    EXPECT_EQ(os_thread_join(t, -1, &code), 0);
    EXPECT_EQ(code, 7);
    // A second join reports the same; free after a join does not detach.
    code = 0;
    EXPECT_EQ(os_thread_join(t, 100, &code), 0);
    EXPECT_EQ(code, 7);
    os_thread_free(t);

    t = os_thread_init("exit5", [](void *) -> i64 { os_thread_exit(5); }, nullptr, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(os_thread_wait_kill_exit(t, 2000, &code), 0);
    EXPECT_EQ(code, 5);
}

TEST(Thread, NameStackAndSignalMask)
{
    probe_t p;
    os_thread *t = os_thread_init("probe", probe, &p, 0);
    ASSERT_EQ(os_thread_join(t, 2000, nullptr), 0);
    os_thread_free(t);
    EXPECT_TRUE(nettest::is_thread_name(p.name, "probe")) << p.name;
#ifndef __SANITIZE_THREAD__  // the thread sanitizer enlarges stacks
    EXPECT_EQ(p.stack, (size_t)OS_THREAD_STACK_DEFAULT);
#endif
    EXPECT_TRUE(p.sigint_blocked);
    EXPECT_TRUE(p.sigterm_blocked);

    // The caller's own mask is left as it was.
    sigset_t set;
    pthread_sigmask(SIG_BLOCK, nullptr, &set);
    EXPECT_FALSE(sigismember(&set, SIGTERM));

    probe_t q;
    std::string long_name(300, 'n');
    t = os_thread_init(long_name.c_str(), probe, &q, 65536);
    ASSERT_EQ(os_thread_join(t, 2000, nullptr), 0);
    os_thread_free(t);
    // The C library may hand out a cached, larger stack; never a smaller one.
    EXPECT_GE(q.stack, 65536u);
#ifndef __SANITIZE_THREAD__
    EXPECT_LE(q.stack, (size_t)OS_THREAD_STACK_DEFAULT);
#endif
    EXPECT_EQ(q.name.find("nnnnnnnn"), 0u) << q.name;
    EXPECT_EQ(q.name.find(std::string(256, 'n')), std::string::npos);
}

// A thread on stack memory of the caller's runs there (named, signals
// blocked like any other), and once joined the memory can be used again
// for the next thread.
#ifndef __SANITIZE_THREAD__  // the thread sanitizer wants larger stacks of its own
TEST(Thread, CallersStack)
{
    const size_t size = 128 * 1024;
    std::vector<char> mem(size + 4096);
    char *stack = (char *)(((uintptr_t)mem.data() + 4095) & ~(uintptr_t)4095);
    for (int round = 0; round < 2; ++round) {
        probe_t p;
        static std::atomic<uintptr_t> local{0};
        os_thread *t = os_thread_init_stack("own_stack", [](void *arg) -> i64 {
            char here;
            local = (uintptr_t)&here;
            return probe(arg);
        }, &p, stack, size);
        ASSERT_NE(t, nullptr);
        ASSERT_EQ(os_thread_wait_kill_exit(t, 2000, nullptr), 0);
        EXPECT_GE(local.load(), (uintptr_t)stack);
        EXPECT_LT(local.load(), (uintptr_t)stack + size);
        EXPECT_TRUE(nettest::is_thread_name(p.name, "own_stack")) << p.name;
        EXPECT_EQ(p.stack, size);
        EXPECT_TRUE(p.sigint_blocked);
    }
    log_capture cap;
    EXPECT_EQ(os_thread_init_stack("none", return_seven, nullptr, nullptr, size), nullptr);
    EXPECT_EQ(os_thread_init_stack("tiny", return_seven, nullptr, stack, 1024), nullptr);
}
#endif

// A join that cannot succeed is logged and returns -1; the thread is
// detached and the process goes on (no signal is ever sent).
TEST(Thread, FailedJoinsNeverKill)
{
    static std::atomic<bool> release{false};
    static std::atomic<bool> ended{false};
    release = false;
    ended = false;
    os_thread *t = os_thread_init("slow", [](void *) -> i64 {
        while (!release.load()) os_msleep(5);
        ended = true;
        return 0;
    }, nullptr, 0);
    ASSERT_NE(t, nullptr);
    log_capture cap;
    u64 t0 = os_mono_ms();
    int code = -9;
    EXPECT_EQ(os_thread_wait_kill_exit(t, 200, &code), -1);
    u64 took = os_mono_ms() - t0;
    EXPECT_GE(took, 190u);
    EXPECT_LT(took, 3000u);
    EXPECT_TRUE(cap.has("thread join timeout after 200 ms"));
    EXPECT_FALSE(ended.load());
    release = true;
    for (int i = 0; i < 400 && !ended.load(); ++i) os_msleep(5);
    EXPECT_TRUE(ended.load());

    // Joining oneself.
    static std::atomic<int> self_result{0};
    static os_thread *self_handle = nullptr;
    static std::atomic<bool> go{false};
    go = false;
    self_handle = os_thread_init("selfjoin", [](void *) -> i64 {
        while (!go.load()) os_msleep(1);
        self_result = os_thread_join(self_handle, 100, nullptr);
        return 0;
    }, nullptr, 0);
    ASSERT_NE(self_handle, nullptr);
    go = true;
    for (int i = 0; i < 400 && self_result.load() == 0; ++i) os_msleep(5);
    EXPECT_EQ(self_result.load(), -1);
    EXPECT_TRUE(cap.has("thread cannot join itself"));
    os_thread_free(self_handle);  // already detached: frees the handle only

    os_thread *k = os_thread_init("k", return_seven, nullptr, 0);
    EXPECT_EQ(os_thread_kill(k), -1);
    EXPECT_EQ(os_thread_wait_kill_exit(k, 2000, &code), 0);
    EXPECT_EQ(code, 7);
}

TEST(Thread, BadArguments)
{
    log_capture cap;
    EXPECT_EQ(os_thread_init("x", nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(os_thread_join(nullptr, 0, nullptr), -1);
    os_thread_free(nullptr);
    // A stack too large to map fails with a record naming the thread.
    os_thread *t = os_thread_init("huge", return_seven, nullptr, 0xfffff000u);
    if (t) {
        os_thread_wait_kill_exit(t, 2000, nullptr);
    } else {
        EXPECT_TRUE(cap.has("pthread_create name:huge error: "));
    }
}

TEST(ThreadConcurrency, ManyShortThreads)
{
    static std::atomic<int> ran{0};
    ran = 0;
    const int n = 64;
    os_thread *ts[n];
    for (int i = 0; i < n; ++i) {
        ts[i] = os_thread_init("short", [](void *arg) -> i64 {
            ran++;
            return (i64)(intptr_t)arg;
        }, (void *)(intptr_t)i, 0);
        ASSERT_NE(ts[i], nullptr);
    }
    for (int i = 0; i < n; ++i) {
        int code = -1;
        EXPECT_EQ(os_thread_wait_kill_exit(ts[i], 5000, &code), 0);
        EXPECT_EQ(code, i);
    }
    EXPECT_EQ(ran.load(), n);
    // Detached right away, as the per-connection threads are.
    for (int i = 0; i < n; ++i) os_thread_free(os_thread_init("det", return_seven, nullptr, 0));
}

}  // namespace
