#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_panic"
#include "libpal/os/posix/os_panic.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "libpal/os/posix/os_popen.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app.h"

namespace {
char g_dump_dir[4096];
std::atomic<bool> g_dump_on{false};
std::atomic<void (*)(void)> g_callback{nullptr};
}  // namespace

int os_panic_init(void)
{
    for (int s : {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV}) signal(s, panic_handler);
    return 0;
}

void os_panic_set_callback(void (*fn)(void))
{
    g_callback.store(fn);
}

int os_panic_init_core_dump(const char *dir, const char *)
{
    struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_CORE, &rl) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "setrlimit error: ");
        return -1;
    }
    str_safecopy_trunc(g_dump_dir, sizeof g_dump_dir, dir);
    char pattern[1200];
    snprintf(pattern, sizeof pattern, "%.1024s/%%e-%%p-%%t-%%c.core", dir);
    LOG_VERB("buf=%s\n", pattern);
    int fd = open("/proc/sys/kernel/core_pattern", O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0 || write(fd, pattern, strlen(pattern)) != (ssize_t)strlen(pattern))
        LOG_AT(3 | LOG_OPT_ERRNO, "write /proc/sys/kernel/core_pattern error:");
    if (fd >= 0) close(fd);
    g_dump_on.store(true);
    return 0;
}

int os_painc_set_dump_dir(const char *dir, const char *app_name)
{
    LOG_VERB("[%s][%s]==>\n", dir ? dir : "(null)", app_name ? app_name : "(null)");
    if (!os_is_root()) return -1;
    if (!dir) return 0;
    if (*dir) return os_panic_init_core_dump(dir, app_name);
    return 0;
}

void panic_handler(int signo)
{
    LOG_AT(2 | LOG_OPT_NOEXIT | LOG_OPT_BSVONLY, "[%s]", log_last_log_get(nullptr));
    LOG_AT(2 | LOG_OPT_NOEXIT | LOG_OPT_BSVNET, "signo=%d [%s]\n", signo, strsignal(signo));
    LOG_AT(2 | LOG_OPT_NOEXIT, "appver: %s\n", g_app.app_ver ? g_app.app_ver : "");
    if (auto cb = g_callback.load()) cb();
    if (!g_dump_on.load()) _exit(254);
    if (mkdir(g_dump_dir, 0755) != 0) LOG_AT(3 | LOG_OPT_ERRNO, "mkdir [%s] error:", g_dump_dir);
    signal(signo, SIG_IGN);
}
