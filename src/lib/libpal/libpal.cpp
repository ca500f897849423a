#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/libpal"
#include "libpal/libpal.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/resource.h>

#include "libpal/basic/arr.h"
#include "libpal/hash/rand.h"
#include "libpal/memory/mem_util.h"
#include "libpal/os/os_exe.h"
#include "libpal/os/os_mac.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_info.h"
#include "libpal/os/posix/os_popen.h"
#include "libpal/string/str_env.h"

namespace {
std::atomic<u8> g_started{0};
pl_sys_info g_sys;
}  // namespace

pl_sys_info *pl_sys_info_get(void)
{
    return &g_sys;
}

void pl_assert_hook(void)
{
}

void pl_sys_init(void)
{
    g_sys.os_name = "linux";
    g_sys.arch_name = "powerpc64le";
    g_sys.os_id = 2;
    g_sys.arch_id = 42;
    g_sys.sid = os_hostid();
    os_hostname(g_sys.host_name, sizeof g_sys.host_name);
    g_sys.boot_time = os_boot_time();
    os_time now;
    os_time_now(&now);
    g_sys.stime = (u64)now.sec;
    g_sys.start_ms = os_time_ms();
}

int pl_rlimit_init(void)
{
    os_ulimit(RLIMIT_NOFILE);
    os_ulimit(RLIMIT_FSIZE);
    os_ulimit(RLIMIT_LOCKS);
    os_umask(0);
    return 0;
}

int pl_init(void)
{
    u8 expected = 0;
    if (!g_started.compare_exchange_strong(expected, 1)) return 0;
    // A runtime stopped by pl_exit starts again with a registry of its own.
    os_thread_name_init();
    pl_sys_init();
    if (os_socket_init_env() == 0) LOG_ERR("os_socket_init_env failed\n");
    pl_rlimit_init();
    srand((unsigned)time(nullptr));
    rand_xorshift_seed((u64)time(nullptr));
    return mem_init();
}

int pl_exit(void)
{
    os_thread_name_exit();
    log2_exit(nullptr);
    os_malloc_leak_check();
    g_started.store(0);
    return 0;
}

const char *os_get_info_cstr(void)
{
    // Made once, by whichever thread asks first; the others wait for it.
    static const char *const text = [] {
        static char buf[256];
        if (os_get_info(buf, sizeof buf) == 0) str_trim(buf);
        else buf[0] = 0;
        return buf;
    }();
    return text;
}

u64 os_mac_id(void)
{
    arr64 *a = os_mac_get_all();
    if (!a) return 0;
    u64 id = a->count ? a->data[0] : 0;
    arr64_free(a);
    return id;
}

const char *os_hw_info(void)
{
    // Read anew each time (an interface may change): each thread its own text.
    thread_local char text[32];
    snprintf(text, sizeof text, "%llx", (unsigned long long)os_mac_id());
    return text;
}

double os_usage_percent(os_capacity *cap)
{
    if (cap->total == 0) return 0.0;
    if (cap->free > cap->total) cap->free = cap->total;
    return (double)(cap->total - cap->free) / (double)cap->total * 100.0;
}

char *os_conf_path(char *buf, const char *name)
{
    constexpr size_t kSize = 4096;
    char dir[kSize];
    if (os_exe_get_dir(dir, sizeof dir) != 0) dir[0] = 0;
    str_safecopy_trunc(buf, kSize, dir);
    str_safecat_trunc(buf, kSize, "/conf");
    if (os_path_is_dir(buf) != 1) str_safecopy_trunc(buf, kSize, dir);
    str_safecat_trunc(buf, kSize, "/");
    str_safecat_trunc(buf, kSize, name);
    return buf;
}
