#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/libpal.h"
#include "libpal/env/os_time.h"
#include "libpal/hash/rand.h"
#include "libpal/memory/mem_util.h"
#include "libpal/os/os_exe.h"
#include "libpal/os/os_mac.h"
#include "libpal/string/str_env.h"

namespace {

TEST(Runtime, InitFillsIdentityOnce)
{
    EXPECT_EQ(pl_init(), 0);
    pl_sys_info *si = pl_sys_info_get();
    EXPECT_STREQ(si->os_name, "linux");
    EXPECT_STREQ(si->arch_name, "powerpc64le");
    EXPECT_EQ(si->os_id, 2);
    EXPECT_EQ(si->arch_id, 42);
    EXPECT_GT(si->host_name[0], 0);
    EXPECT_GT(si->stime, 0u);
    EXPECT_NEAR((double)si->start_ms / 1000.0, (double)si->stime, 2.0);
    EXPECT_LE(si->boot_time, si->stime);
    EXPECT_EQ(umask(0), 0u);
    EXPECT_GT(mem_page_size(), 0);
    EXPECT_EQ(1 << mem_page_shift(), mem_page_size());
    // A second start changes nothing.
    u64 stime = si->stime;
    strcpy(si->host_name, "marker");
    EXPECT_EQ(pl_init(), 0);
    EXPECT_EQ(si->stime, stime);
    EXPECT_STREQ(si->host_name, "marker");
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    EXPECT_EQ(rl.rlim_cur, rl.rlim_max);
}

TEST(Runtime, HostFacts)
{
    char name[128];
    os_hostname(name, sizeof name);
    EXPECT_GT(strlen(name), 0u);
    u64 id = os_mac_id();
    EXPECT_EQ(std::string(os_hw_info()), [&] {
        char b[32];
        snprintf(b, sizeof b, "%llx", (unsigned long long)id);
        return std::string(b);
    }());
    EXPECT_EQ(os_hostid(), id);
    std::string info = os_get_info_cstr();
    EXPECT_EQ(info.rfind("Linux ", 0), 0u) << info;
    EXPECT_NE(info.back(), ' ');
    u8 mac6[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(os_mac_to_u64(mac6, 6), 0x001122334455ull);
    u8 mac8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(os_mac_to_u64(mac8, 8), 0x0102030405060708ull);
    EXPECT_EQ(os_mac_to_u64(mac8, 5), 0u);
    EXPECT_EQ(os_mac_to_u64(mac8, 9), 0u);
    arr64 *all = os_mac_get_all();
    if (all) {
        for (u64 i = 0; i < all->count; ++i) EXPECT_GT(all->data[i], 0xFFFFFFull);
        arr64_free(all);
    }
}

// Shell sessions and web requests ask for the host texts at once ("show
// info"): each caller gets whole texts.
TEST(RuntimeConcurrency, HostTextsFromSeveralThreads)
{
    const std::string hw = os_hw_info();
    std::atomic<int> wrong{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                wrong += std::string(os_get_info_cstr()).rfind("Linux ", 0) != 0 || os_hw_info() != hw;
        });
    for (auto &th : ts) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Runtime, UsagePercentAndConfPath)
{
    os_capacity c = {0, 0, 10, 0};
    EXPECT_EQ(os_usage_percent(&c), 0.0);
    c = {0, 0, 50, 40};
    EXPECT_EQ(os_usage_percent(&c), 0.0);
    EXPECT_EQ(c.free, 40u);
    c = {0, 0, 25, 100};
    EXPECT_DOUBLE_EQ(os_usage_percent(&c), 75.0);

    char dir[4096], path[4096];
    ASSERT_EQ(os_exe_get_dir(dir, sizeof dir), 0);
    EXPECT_EQ(std::string(os_conf_path(path, "x.ini")), std::string(dir) + "/x.ini");
}

TEST(Time, AfterMsCarries)
{
    for (int i = 0; i < 200; ++i) {
        struct timespec ts;
        os_timespec_after_ms(&ts, (u64)i * 37);
        EXPECT_LT(ts.tv_nsec, 1000000000L);
        EXPECT_GE(ts.tv_nsec, 0L);
    }
    os_time now, later;
    os_time_now(&now);
    os_time_after_ms(&later, 1500);
    i64 diff_ms = (later.sec - now.sec) * 1000 + ((i64)later.nsec - (i64)now.nsec) / 1000000;
    EXPECT_GE(diff_ms, 1499);
    EXPECT_LE(diff_ms, 1600);
}

TEST(Time, ClocksAndDates)
{
    u64 ms = os_time_ms(), us = os_time_us();
    EXPECT_NEAR((double)ms, (double)us / 1000.0, 50.0);
    EXPECT_NEAR((double)ms / 1000.0, (double)time(nullptr), 2.0);
    u64 m0 = os_mono_ms();
    os_msleep(20);
    EXPECT_GE(os_mono_ms() - m0, 20u);
    os_time_parts p;
    os_time_local(&p);
    struct tm tm;
    time_t t = time(nullptr);
    localtime_r(&t, &tm);
    EXPECT_EQ(p.year, tm.tm_year + 1900);
    EXPECT_GE(p.month, 1);
    EXPECT_LE(p.month, 12);
    EXPECT_LT(p.msec, 1000);
    u32 code = os_date_code();
    EXPECT_EQ(code >> 16, (u32)tm.tm_year);
    EXPECT_LE((code >> 8) & 0xff, 11u);
    EXPECT_GT(os_uptime_ms(), 0u);
}

}  // namespace
