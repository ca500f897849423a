#define LOG_MOD "pwd"
#define LOG_SRC "src/lib/libpwd/ipchk"
#include <atomic>
#include <cstdio>
#include <pthread.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/hash/dict.h"
#include "libpal/string/str_safe.h"
#include "libpwd/libpwd.h"

namespace {

struct ip_entry {
    u64 created;
    u64 last_fail;     // 0 until the first failure
    u64 locked_until;  // 0 until the limit is reached
    i32 failures;
};

constexpr i32 kDefaultMinutes = 60;
constexpr i32 kDefaultTableSize = 4096;

// Everything below is read and written under g_lock.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
dict *g_table = nullptr;  // address text -> ip_entry (owned)
i32 g_limit = 0;
u64 g_lock_ms = 0;
u32 g_table_size = 0;
bool g_set_up = false;  // ipcheck_init has run (the lock-out may be off)
std::atomic<u64 (*)(void)> g_clock{nullptr};

u64 now_ms()
{
    u64 (*fn)(void) = g_clock.load();
    return fn ? fn() : os_mono_ms();
}

// Makes room for one more address: the entries with the oldest last
// failure go, locked or not; those that never failed (0) before any.
void evict()
{
    bool found = false;
    u64 oldest = 0;
    const char *key;
    void *value;
    for (int rank = dict_enumerate(g_table, 0, &key, &value); rank >= 0 && !(found && oldest == 0);
         rank = dict_enumerate(g_table, rank, &key, &value)) {
        const ip_entry *e = (const ip_entry *)value;
        if (!found || e->last_fail < oldest) oldest = e->last_fail;
        found = true;
    }
    // A deletion only marks its slot, so the walk goes on past it.
    for (int rank = dict_enumerate(g_table, 0, &key, &value); found && rank >= 0;
         rank = dict_enumerate(g_table, rank, &key, &value)) {
        if (((const ip_entry *)value)->last_fail == oldest) dict_del(g_table, key);
    }
}

// The entry of ip, made (room made first when the table is full) when it
// has none; NULL when none can be made.
ip_entry *entry_of(const char *ip, u64 now)
{
    ip_entry *e = (ip_entry *)dict_get(g_table, ip, nullptr);
    if (e) return e;
    if (dict_count(g_table) >= g_table_size) evict();
    e = (ip_entry *)os_zalloc(sizeof(ip_entry));
    if (!e) return nullptr;
    e->created = now;
    if (dict_add(g_table, ip, e) != 0) {
        os_free(e);
        return nullptr;
    }
    return e;
}

int init_locked(const libpwd_param *param)
{
    g_set_up = true;
    i32 limit = param ? param->fail_count : 0;
    if (limit <= 0) {
        LOG_WARN("vkdm_login_fail_count==0 stop ipcheck\n");
        if (g_table) dict_free(g_table);
        g_table = nullptr;
        g_limit = 0;
        return 0;
    }
    // Started again: the new limits hold, the addresses counted so far stay.
    if (!g_table) {
        g_table = dict_new(DICT_KEY_COPY | DICT_VAL_FREE);
        if (!g_table) {
            LOG_ERR("ipcheck table cannot be made\n");
            return -1;
        }
    }
    i32 minutes = param->lock_minutes > 0 ? param->lock_minutes : kDefaultMinutes;
    i32 size = param->table_size > 0 ? param->table_size : kDefaultTableSize;
    g_limit = limit;
    g_lock_ms = 60000ull * (u64)minutes;
    g_table_size = (u32)size;
    return 0;
}

}  // namespace

int ipcheck_init(const libpwd_param *param)
{
    pthread_guard g(&g_lock);
    return init_locked(param);
}

int ipcheck_init_default(void)
{
    pthread_guard g(&g_lock);
    if (g_set_up) return 0;
    libpwd_param p = {nullptr, nullptr, LIBPWD_FAIL_COUNT_DEFAULT, 0, 0};
    return init_locked(&p);
}

int ipcheck_exit(void)
{
    pthread_guard g(&g_lock);
    if (g_table) dict_free(g_table);
    g_table = nullptr;
    g_limit = 0;
    return 0;
}

int ipcheck_check(const char *ip, char *err)
{
    if (!ip) ip = "";
    pthread_guard g(&g_lock);
    if (!g_table) return 0;
    u64 now = now_ms();
    ip_entry *e = entry_of(ip, now);
    if (e && e->failures >= g_limit) {
        if (now < e->locked_until) {
            if (err)
                str_sprintf_s(err, LIBPWD_TEXT_MAX, "Login failed %d times, Please try again in %0.2f minutes",
                              e->failures, (double)(e->locked_until - now) / 60000.0);
            return LIBPWD_LOCKED;
        }
        e->failures = 0;
        e->locked_until = 0;
    }
    return 0;
}

int ipcheck_fail(const char *ip)
{
    if (!ip) return 0;
    pthread_guard g(&g_lock);
    if (!g_table) return 0;
    // An address whose entry went to make room since its check is counted
    // afresh: making room never spares it a failure.
    u64 now = now_ms();
    ip_entry *e = entry_of(ip, now);
    if (!e) return 0;
    e->last_fail = now;
    if (e->failures < INT32_MAX) e->failures++;
    if (e->failures >= g_limit) {
        e->locked_until = now + g_lock_ms;
        LOG_WARN("ip=[%s] locked out for %llu minutes after %d failures\n", ip,
                 (unsigned long long)(g_lock_ms / 60000), e->failures);
    }
    return 0;
}

int ipcheck_clear(const char *ip)
{
    if (!ip) return 0;
    pthread_guard g(&g_lock);
    if (g_table) dict_del(g_table, ip);
    return 0;
}

u32 ipcheck_count(void)
{
    pthread_guard g(&g_lock);
    return g_table ? dict_count(g_table) : 0;
}

void ipcheck_set_clock(u64 (*fn)(void))
{
    g_clock.store(fn);
}
