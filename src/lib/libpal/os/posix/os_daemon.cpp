#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_daemon"
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/os_time.h"
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

namespace {

// The daemon's end of the pipe on which it reports its start, and of the
// one on which the first process answers that it has the report.
std::atomic<int> g_report_fd{-1};
std::atomic<int> g_ack_fd{-1};

// Points descriptors from to last (0-2) at /dev/null.
void to_null(int from, int last)
{
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        LOG_DBG("open /dev/null fail\n");
        return;
    }
    for (int i = from; i <= last; ++i)
        if (i != fd && dup2(fd, i) < 0) LOG_DBG("dup(0)fail\n");
    if (fd > 2) close(fd);
    else fcntl(fd, F_SETFD, 0);  // it is one of 0-2 itself
}

// Waits at most OS_DAEMON_REPORT_MS for fd to be readable and reads one
// byte: 1 with it in *b, 0 at the end of the pipe, -1 when the time ran out.
int read_byte(int fd, unsigned char *b)
{
    const u64 end = os_mono_ms() + OS_DAEMON_REPORT_MS;
    for (;;) {
        u64 now = os_mono_ms();
        if (now >= end) return -1;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)(end - now)) <= 0) continue;
        ssize_t n = read(fd, b, 1);
        if (n == 1) return 1;
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

// The first process: waits for the daemon's start status and gives it. A
// daemon that serves is told that its report arrived; it stops when that
// answer does not come (this process was killed before it read it).
int wait_report(int fd, int ack)
{
    // Ctrl-C or a SIGTERM ends the wait (and so the start, see
    // os_daemon_ready); the daemon's own handlers stay.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    unsigned char b;
    int got = read_byte(fd, &b);
    if (got < 0) {
        LOG_ERR("the daemon has not reported its start within %d s: not waiting longer\n",
                OS_DAEMON_REPORT_MS / 1000);
        return 1;
    }
    if (got == 0) {
        LOG_ERR("the daemon ended before it reported its start\n");
        return 1;
    }
    if (b != 0) return b;
    ssize_t n;
    do n = write(ack, &b, 1);
    while (n < 0 && errno == EINTR);
    if (n == 1) return 0;
    LOG_ERR("the daemon stopped before it heard that its start was reported\n");
    return 1;
}

void close_pair(int p[2])
{
    close(p[0]);
    close(p[1]);
}

}  // namespace

int os_daemonize(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "can't get file limit\n");
        rl.rlim_cur = 1024;
    }
    int rep[2], ack[2];
    if (pipe2(rep, O_CLOEXEC) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "can't make the start report pipe: ");
        return -1;
    }
    if (pipe2(ack, O_CLOEXEC) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "can't make the start report pipe: ");
        close_pair(rep);
        return -1;
    }
    pid_t pid = fork_alone();
    if (pid < 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "can't fork\n");
        close_pair(rep);
        close_pair(ack);
        return -1;
    }
    if (pid > 0) {
        close(rep[1]);
        close(ack[0]);
        exit(wait_report(rep[0], ack[1]));
    }
    // Only the first process holds these ends: its end closes them.
    close(rep[0]);
    close(ack[1]);
    setsid();
    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGHUP, &sa, nullptr) != 0) LOG_AT(3 | LOG_OPT_ERRNO, "can't ignore SIGHUP\n");
    pid = fork_alone();
    if (pid < 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "can't fork\n");
        close(rep[1]);
        close(ack[0]);
        return -1;
    }
    if (pid > 0) _exit(0);
    g_report_fd.store(rep[1]);
    g_ack_fd.store(ack[0]);
    umask(0);
    to_null(0, 0);
    close_inherited(rl.rlim_cur);
    return 0;
}

int os_daemon_ready(int status)
{
    int fd = g_report_fd.exchange(-1);
    if (fd < 0) return 0;
    int ack = g_ack_fd.exchange(-1);
    fflush(nullptr);
    // The caller's streams are let go before it returns.
    to_null(1, 2);
    unsigned char b = (unsigned char)status;
    if (status != 0 && b == 0) b = 1;
    ssize_t n;
    do n = write(fd, &b, 1);
    while (n < 0 && errno == EINTR);
    close(fd);
    // The byte fits in the pipe even when nobody is left to read it: the
    // first process answers once it has it, and its end of the answer's
    // pipe closes when it dies before.
    unsigned char answer;
    int heard = n == 1 && b == 0 ? read_byte(ack, &answer) : 1;
    close(ack);
    return n == 1 && heard == 1 ? 0 : -1;
}

int os_is_root(void)
{
    return geteuid() == 0 ? 1 : 0;
}
