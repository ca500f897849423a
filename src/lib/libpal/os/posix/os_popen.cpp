#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_popen"
#include "libpal/os/posix/os_popen.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_glob.h"

namespace {

constexpr size_t kChunk = 4096;
constexpr u64 kWaitMs = 1000;

void close_fd(i32 &fd)
{
    if (fd >= 0) close(fd);
    fd = -1;
}

// Moves a fresh descriptor above 2, so that placing the child's ends on 0,
// 1 and 2 never overwrites another of them.
bool lift(int &fd)
{
    if (fd > 2) return true;
    int n = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    fd = n;
    return n >= 0;
}

bool pipe_lifted(int p[2])
{
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    if (lift(p[0]) && lift(p[1])) return true;
    if (p[0] >= 0) close(p[0]);
    if (p[1] >= 0) close(p[1]);
    return false;
}

// The argument vector of the direct form, made before the fork: the child
// of a threaded process must not allocate.
struct argv_block {
    char **argv = nullptr;
    char *buf = nullptr;
    bool make(const char *command)
    {
        int argc = 0;
        size_t nchars = 0;
        str_args_split(command, nullptr, nullptr, &argc, &nchars);
        argv = (char **)os_malloc((size_t)argc * sizeof(char *));
        buf = (char *)os_malloc(nchars ? nchars : 1);
        if (!argv || !buf) return false;
        str_args_split(command, argv, buf, &argc, &nchars);
        return true;
    }
    ~argv_block()
    {
        os_free(argv);
        os_free(buf);
    }
};

// The child between fork and exec: async-signal-safe calls only.
[[noreturn]] void child_run(int shell, const char *command, char **argv, int data_fd, int target,
                            int err_fd, int fd_limit)
{
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);  // the program's own SIGPIPE setting is not the child's
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(data_fd, target) < 0 || dup2(err_fd, STDERR_FILENO) < 0) _exit(errno);
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
        for (int fd = 3; fd < fd_limit; ++fd) close(fd);
    if (shell) execl("/bin/sh", "sh", "-c", command, (char *)nullptr);
    else execvp(argv[0], argv);
    _exit(errno);
}

// Reads the child's pipes until the one wanted (0 standard output, 1
// standard error) reaches its end. What the other pipe delivers meanwhile
// is kept for its own reader, so neither pipe can fill up and stall the
// child.
char *collect(os_popen_child *c, int want)
{
    if (!c) return nullptr;
    for (str_buf *&b : c->pend)
        if (!b && !(b = str_buf_new())) return nullptr;
    i32 *fds[2] = {c->mode_w ? nullptr : &c->fd, &c->efd};
    while (fds[want] && *fds[want] >= 0) {
        struct pollfd p[2];
        int which[2];
        nfds_t n = 0;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i] || *fds[i] < 0) continue;
            p[n] = {*fds[i], POLLIN, 0};
            which[n++] = i;
        }
        if (poll(p, n, -1) < 0) {
            if (errno == EINTR) continue;
            LOG_AT(3 | LOG_OPT_ERRNO, "poll error: ");
            break;
        }
        for (nfds_t k = 0; k < n; ++k) {
            if (!p[k].revents) continue;
            int i = which[k];
            char chunk[kChunk + 1];
            ssize_t r = read(*fds[i], chunk, kChunk);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (r <= 0) {
                close_fd(*fds[i]);
                continue;
            }
            chunk[r] = 0;
            str_buf_append(c->pend[i], chunk, strnlen(chunk, (size_t)r));
        }
    }
    char *text = str_buf_detach_nonnull(c->pend[want]);
    c->pend[want] = nullptr;
    return text;
}

// Waits up to kWaitMs for the child to end or stop; 1 with its status,
// 0 when it is still running, -errno when it cannot be waited for.
int wait_child(pid_t pid, int *status)
{
    const u64 deadline = os_mono_ms() + kWaitMs;
    int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    int res = 0;
    for (;;) {
        pid_t w = waitpid(pid, status, WNOHANG | WUNTRACED);
        if (w == pid) {
            res = 1;
            break;
        }
        if (w < 0 && errno != EINTR) {
            res = -errno;
            break;
        }
        u64 now = os_mono_ms();
        if (now >= deadline) break;
        if (pidfd >= 0) {
            struct pollfd p = {pidfd, POLLIN, 0};
            poll(&p, 1, (int)(deadline - now));
        } else {
            os_msleep(1);
        }
    }
    if (pidfd >= 0) close(pidfd);
    return res;
}

}  // namespace

os_popen_child *os_popen_imp(int shell, const char *command, const char *mode)
{
    if (!command || !mode || (strcmp(mode, "r") != 0 && strcmp(mode, "w") != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    const bool rd = mode[0] == 'r';
    argv_block args;
    if (!shell && !args.make(command)) return nullptr;
    os_popen_child *c = (os_popen_child *)os_zalloc(sizeof(os_popen_child));
    if (!c) return nullptr;
    int data[2], err[2];
    if (!pipe_lifted(data)) {
        os_free(c);
        return nullptr;
    }
    if (!pipe_lifted(err)) {
        close(data[0]);
        close(data[1]);
        os_free(c);
        return nullptr;
    }
    struct rlimit rl;
    int fd_limit = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65536 ? (int)rl.rlim_cur : 65536;
    // What the caller printed comes out before anything the child prints
    // to the streams they share. Only the standard streams: flushing every
    // stream would wait on one that another thread holds while it blocks
    // in a read.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0)
        child_run(shell, command, args.argv, rd ? data[1] : data[0], rd ? STDOUT_FILENO : STDIN_FILENO,
                  err[1], fd_limit);
    int e = errno;
    close(rd ? data[1] : data[0]);
    close(err[1]);
    if (pid < 0) {
        close(rd ? data[0] : data[1]);
        close(err[0]);
        os_free(c);
        errno = e;
        return nullptr;
    }
    c->pid = pid;
    c->fd = rd ? data[0] : data[1];
    c->efd = err[0];
    c->mode_w = rd ? 0 : 1;
    return c;
}

os_popen_child *os_popen(const char *command, const char *mode)
{
    return os_popen_imp(1, command, mode);
}

os_popen_child *os_popen_argv(const char *command, const char *mode)
{
    return os_popen_imp(0, command, mode);
}

char *os_popen_read(os_popen_child *child)
{
    return collect(child, 0);
}

char *os_popen_read_err(os_popen_child *child)
{
    return collect(child, 1);
}

int os_perrno(os_popen_child *child)
{
    if (!child) return -1;
    if (child->pid == 0) return 0;
    pid_t pid = child->pid;
    child->pid = 0;
    int status = 0;
    int r = wait_child(pid, &status);
    if (r <= 0) {
        if (r != -ECHILD) child->reap_pid = pid;
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
        LOG_DBG("WIF_SIGNALED\n");
        return WTERMSIG(status);
    }
    if (WIFSTOPPED(status)) {
        LOG_DBG("WIF_STOPPED\n");
        child->reap_pid = pid;  // stopped, not ended: it is still to be reaped
        return WSTOPSIG(status);
    }
    return -1;
}

int os_pclose(os_popen_child *child)
{
    if (!child) return 0;
    close_fd(child->fd);
    close_fd(child->efd);
    if (child->pid) os_perrno(child);
    if (child->reap_pid > 0) {
        kill(child->reap_pid, SIGKILL);
        int status;
        while (waitpid(child->reap_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    for (str_buf *b : child->pend)
        if (b) str_buf_free(b);
    os_free(child);
    return 0;
}
