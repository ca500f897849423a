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

// Closes every descriptor above 2 that came down from whoever started the
// process: one a command line hands over (3>&1) would otherwise stay open
// for the daemon's life, and its reader would never see the end. They are
// told apart by close-on-exec, which every descriptor the framework opens
// carries and none passed on through exec can.
static void close_inherited(rlim_t limit)
{
    int fds[256];
    for (int round = 0; round < 64; ++round) {
        int n = 0;
        bool more = false;
        DIR *d = opendir("/proc/self/fd");
        if (!d) break;
        while (struct dirent *e = readdir(d)) {
            char *end;
            long fd = strtol(e->d_name, &end, 10);
            if (*end || end == e->d_name || fd <= 2 || fd == dirfd(d)) continue;
            int flags = fcntl((int)fd, F_GETFD);
            if (flags < 0 || (flags & FD_CLOEXEC)) continue;
            if (n == (int)(sizeof fds / sizeof fds[0])) {
                more = true;
                break;
            }
            fds[n++] = (int)fd;
        }
        closedir(d);
        for (int i = 0; i < n; ++i) close(fds[i]);
        if (!more) return;
    }
    // No /proc: every number up to the open-file limit.
    if (limit == RLIM_INFINITY || limit > 65536) limit = 65536;
    for (int fd = 3; fd < (int)limit; ++fd) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) close(fd);
    }
}

int os_daemonize(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "can't get file limit\n");
        rl.rlim_cur = 1024;
    }
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
    close_inherited(rl.rlim_cur);
    return 0;
}

int os_is_root(void)
{
    return geteuid() == 0 ? 1 : 0;
}
