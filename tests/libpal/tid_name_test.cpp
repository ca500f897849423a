#include <gtest/gtest.h>

#include <set>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/child.h"
#include "common/text_match.h"
#include "libpal/env/code_str.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/tid_name.h"
#include "liblog/log.h"

namespace {

std::string name_of_self()
{
    char buf[256];
    return os_thread_name_get(buf, sizeof buf);
}

TEST(TidName, UnregisteredThreadShowsBareId)
{
    std::string got;
    std::thread([&] { got = name_of_self(); }).join();
    EXPECT_TRUE(testutil::text_like(got, "{d}")) << got;
}

TEST(TidName, RegisterReplaceDelete)
{
    ASSERT_EQ(os_thread_name_set("main"), 0);
    std::string tid = std::to_string(os_gettid());
    EXPECT_TRUE(testutil::text_like(name_of_self(), "main_{x4}_" + tid));
    ASSERT_EQ(os_thread_name_set("other"), 0);
    EXPECT_TRUE(testutil::text_like(name_of_self(), "other_{x4}_" + tid));
    EXPECT_EQ(os_thread_name_del(), 0);
    EXPECT_EQ(name_of_self(), tid);
}

TEST(TidName, ForkedChildHasItsOwnIdsAndName)
{
    // The parent's ids and name text are kept before the fork.
    ASSERT_EQ(os_thread_name_set("main"), 0);
    ASSERT_NE(name_of_self(), "");
    ASSERT_EQ(os_getpid(), (u32)getpid());
    int rc = testutil::in_child([] {
        if (os_getpid() != (u32)getpid()) return 1;
        u32 tid = (u32)syscall(SYS_gettid);
        if (os_gettid() != tid) return 2;
        // The name registered for the parent's thread is not this one's.
        char cached[256];
        if (name_of_self() != std::to_string(tid)) return 3;
        if (os_thread_name_get_cached(cached, sizeof cached) != std::to_string(tid)) return 4;
        if (os_thread_name_set("main") != 0) return 5;
        if (!testutil::text_like(name_of_self(), "main_{x4}_" + std::to_string(tid))) return 6;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(os_thread_name_del(), 0);
}

TEST(TidNameDeath, AfterExitLookupsAreBareAndRegistrationsFail)
{
    // Runs in a child: closing the registry is for good.
    EXPECT_EXIT(
        {
            if (os_thread_name_set("x") != 0) exit(2);
            os_thread_name_exit();
            if (name_of_self() != std::to_string(os_gettid())) exit(3);
            if (os_thread_name_set("y") != -1) exit(4);
            os_thread_name_exit();  // twice is harmless
            if (os_thread_name_del() != 0) exit(5);
            exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(TidNameConcurrency, ManyThreadsRegisterAndLookUp)
{
    constexpr int kThreads = 16;
    std::vector<std::string> names(kThreads);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&names, t] {
            for (int i = 0; i < 200; ++i) {
                EXPECT_EQ(os_thread_name_set("bsvnet"), 0);
                names[t] = name_of_self();
            }
            EXPECT_EQ(os_thread_name_del(), 0);
        });
    for (auto &t : ts) t.join();
    std::set<std::string> distinct(names.begin(), names.end());
    EXPECT_EQ(distinct.size(), (size_t)kThreads);
    for (auto &n : names) EXPECT_TRUE(testutil::text_like(n, "bsvnet_{x4}_{d}")) << n;
}

TEST(Mutex, LockTrylock)
{
    os_mutex *m = os_mutex_new();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(os_mutex_lock(m), 1);
    int got = -1;
    std::thread([&] { got = os_mutex_trylock(m); }).join();
    EXPECT_EQ(got, 0);
    EXPECT_EQ(os_mutex_unlock(m), 1);
    EXPECT_EQ(os_mutex_trylock(m), 1);
    EXPECT_EQ(os_mutex_unlock(m), 1);
    os_mutex_free(m);
    os_mutex_free(nullptr);
    EXPECT_EQ(os_mutex_lock(nullptr), 0);
}

TEST(CodeStr, Lookups)
{
    EXPECT_STREQ(os_code_to_str(5, 0, log_level_name_tab, 7), "noti");
    EXPECT_STREQ(os_code_to_str(9, 0, log_level_name_tab, 7), "unkown(9)");
    static const os_code_str direct[] = {{0, "zero"}, {1, "one"}, {2, nullptr}, {7, "seven"}};
    EXPECT_STREQ(os_code_to_str(1, 3, direct, 4), "one");
    EXPECT_STREQ(os_code_to_str(7, 3, direct, 4), "seven");
    EXPECT_EQ(os_code_to_str(2, 3, direct, 4), nullptr);
    EXPECT_EQ(os_str_to_code("WARN", log_level_label_tab, 7), 4);
    EXPECT_EQ(os_str_to_code("warn", log_level_label_tab, 7), -1);
    EXPECT_EQ(os_str_to_code("seven", direct, 4), 7);
}

}  // namespace
