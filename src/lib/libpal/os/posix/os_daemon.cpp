#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_daemon"
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/os/posix/os_popen.h"

int os_ulimit(int resource)
{
    struct rlimit rl;
    if (getrlimit(resource, &rl) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "getrlimit [%d] error:", resource);
        return -1;
    }
    rlim_t hard = rl.rlim_max;
    rl.rlim_cur = rl.rlim_max = RLIM_INFINITY;
    if (setrlimit(resource, &rl) == 0) return 0;
    LOG_VERB("rlim.rlim_max=%d\n", (int)hard);
    rl.rlim_cur = rl.rlim_max = hard;
    if (setrlimit(resource, &rl) == 0) return 0;
    LOG_AT(3 | LOG_OPT_ERRNO, "setrlimit [%d] error:", resource);
    return -1;
}

int os_socket_init_env(void)
{
    signal(SIGPIPE, SIG_IGN);
    return 1;
}

int os_thread_count(void)
{
    DIR *d = opendir("/proc/self/task");
    if (!d) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// A fork copies only the calling thread: whatever another thread held at
// that moment (the log lock, the allocator) would stay held in the child
// for good, and the thread itself would be gone.
static pid_t fork_alone(void)
{
    int n = os_thread_count();
    if (n > 1) LOG_ERR("fork with %d threads running\n", n);
    fflush(nullptr);
    return fork();
}

int os_daemonize(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) LOG_AT(3 | LOG_OPT_ERRNO, "can't get file limit\n");
    pid_t pid = fork_alone();
    if (pid < 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "can't fork\n");
        return -1;
    }
    if (pid > 0) exit(0);
    setsid();
    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGHUP, &sa, nullptr) != 0) LOG_AT(3 | LOG_OPT_ERRNO, "can't ignore SIGHUP\n");
    pid = fork_alone();
    if (pid < 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "can't fork\n");
        return -1;
    }
    if (pid > 0) _exit(0);
    umask(0);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    if (open("/dev/null", O_RDWR) < 0) LOG_DBG("open /dev/null fail\n");
    if (dup(0) < 0) LOG_DBG("dup(0)fail\n");
    if (dup(0) < 0) LOG_DBG("dup(0)fail\n");
    return 0;
}

int os_is_root(void)
{
    return geteuid() == 0 ? 1 : 0;
}
