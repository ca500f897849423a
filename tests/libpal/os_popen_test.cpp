#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/log_capture.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/os/posix/os_popen.h"

namespace {

// Ends the test binary with SIGALRM if a case hangs (a pipe deadlock).
struct watchdog {
    explicit watchdog(unsigned s) { alarm(s); }
    ~watchdog() { alarm(0); }
};

struct result {
    int status;
    std::string out, err;
};

result run(const char *cmd, bool shell = true)
{
    char *o = nullptr, *e = nullptr;
    result r;
    r.status = shell ? os_system(cmd, 0, &o, &e) : os_system_argv(cmd, 0, &o, &e);
    r.out = o ? o : "(null)";
    r.err = e ? e : "(null)";
    os_free(o);
    os_free(e);
    return r;
}

std::set<int> fd_list(const std::string &text)
{
    std::set<int> fds;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        if (!line.empty()) fds.insert(atoi(line.c_str()));
        pos = nl + 1;
    }
    return fds;
}

TEST(OsPopen, ModeOtherThanReadOrWriteStartsNothing)
{
    for (const char *mode : {"rw", "", "x", "rr"}) {
        errno = 0;
        EXPECT_EQ(os_popen("echo hi", mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
    errno = 0;
    EXPECT_EQ(os_popen_argv("true", nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was started";
    EXPECT_EQ(errno, ECHILD);
}

TEST(OsPopen, OutputErrorAndExitStatus)
{
    result r = run("printf a; printf b >&2; exit 3");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "a");
    EXPECT_EQ(r.err, "b");

    r = run("true");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "") << "no output is an empty text, not NULL";
    EXPECT_EQ(r.err, "");

    EXPECT_EQ(run("exit 255").status, 255);
    EXPECT_EQ(run("no_such_program_vk").status, 127) << "the shell's own status";
    // A path, so that no directory of PATH that this user cannot search
    // turns the answer into EACCES.
    EXPECT_EQ(run("/no_such_dir_vk/no_such_program_vk", false).status, ENOENT) << "exec's errno";
    EXPECT_EQ(run("printf %s| one \"two three\"", false).out, "one|two three|")
        << "arguments split before the fork, quotes kept together";
    {
        testutil::log_capture cap;
        EXPECT_EQ(run("kill -9 $$").status, SIGKILL);
        EXPECT_TRUE(cap.has("WIF_SIGNALED\n"));
    }
    EXPECT_EQ(os_system("exit 4", 0, nullptr, nullptr), 4) << "outputs may be dropped";
}

// A child that fills its standard error while the caller waits on standard
// output (and the other way round) must not stall: both pipes are read
// together.
TEST(OsPopen, CapturesOneMebibyteOnEachStream)
{
    watchdog w(60);
    const size_t mib = 1 << 20;
    for (const char *cmd :
         {"head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o",
          "head -c 1048576 /dev/zero | tr '\\0' o; head -c 1048576 /dev/zero | tr '\\0' e >&2"}) {
        result r = run(cmd);
        EXPECT_EQ(r.status, 0) << cmd;
        ASSERT_EQ(r.out.size(), mib) << cmd;
        ASSERT_EQ(r.err.size(), mib) << cmd;
        EXPECT_EQ(r.out.find_first_not_of('o'), std::string::npos);
        EXPECT_EQ(r.err.find_first_not_of('e'), std::string::npos);
    }
    // The error text asked for first, the output kept meanwhile.
    os_popen_child *c = os_popen("head -c 1048576 /dev/zero | tr '\\0' o; printf done >&2", "r");
    ASSERT_NE(c, nullptr);
    char *e = os_popen_read_err(c);
    char *o = os_popen_read(c);
    ASSERT_TRUE(e && o);
    EXPECT_STREQ(e, "done");
    EXPECT_EQ(strlen(o), mib);
    EXPECT_EQ(os_perrno(c), 0);
    EXPECT_EQ(os_perrno(c), 0) << "already collected";
    os_free(e);
    os_free(o);
    EXPECT_EQ(os_pclose(c), 0);
}

TEST(OsPopen, WriteModeFeedsStandardInput)
{
    char path[] = "/tmp/vk_popen_w_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string cmd = std::string("cat > ") + path;
    os_popen_child *c = os_popen(cmd.c_str(), "w");
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(write(c->fd, "fed\n", 4), 4);
    EXPECT_EQ(os_pclose(c), 0);
    FILE *f = fopen(path, "r");
    ASSERT_NE(f, nullptr);
    char buf[16] = {};
    EXPECT_NE(fgets(buf, sizeof buf, f), nullptr);
    fclose(f);
    unlink(path);
    EXPECT_STREQ(buf, "fed\n");
}

// A child that outlives the wait gives -1 and is not lost: os_pclose ends
// and reaps it.
TEST(OsPopen, TimedOutChildIsKilledAndReaped)
{
    os_popen_child *c = os_popen_argv("sleep 30", "r");
    ASSERT_NE(c, nullptr);
    pid_t pid = c->pid;
    u64 t0 = os_mono_ms();
    EXPECT_EQ(os_perrno(c), -1);
    u64 waited = os_mono_ms() - t0;
    EXPECT_GE(waited, 900u);
    EXPECT_LT(waited, 10000u);
    EXPECT_EQ(os_perrno(c), 0) << "the second call finds the pid cleared";
    EXPECT_EQ(kill(pid, 0), 0) << "still running, not yet reaped";
    t0 = os_mono_ms();
    EXPECT_EQ(os_pclose(c), 0);
    EXPECT_LT(os_mono_ms() - t0, 10000u);
    errno = 0;
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "os_pclose reaped the child";
}

// Descriptors of the parent (close-on-exec or not, however high) never
// reach the child.
TEST(OsPopen, NoDescriptorAboveTwoInTheChild)
{
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    int high = rl.rlim_cur > 5000 ? 4321 : (int)rl.rlim_cur - 10;
    int plain = open("/dev/null", O_RDONLY);  // without close-on-exec
    ASSERT_GE(plain, 0);
    ASSERT_EQ(dup2(plain, high), high);
    for (bool shell : {true, false}) {
        result r = run(shell ? "ls -1 /proc/self/fd" : "ls -1 /proc/self/fd", shell);
        ASSERT_EQ(r.status, 0) << r.err;
        std::set<int> fds = fd_list(r.out);
        EXPECT_EQ(fds.count(plain), plain <= 3 ? 1u : 0u);
        EXPECT_EQ(fds.count(high), 0u);
        // 0, 1 and 2, and the descriptor ls reads the directory with.
        EXPECT_LE(fds.size(), 4u) << r.out;
        for (int fd : fds) EXPECT_LE(fd, 3) << r.out;
    }
    close(high);
    close(plain);
}

TEST(OsPopen, PopenFromManyThreadsConcurrency)
{
    watchdog w(60);
    std::atomic<int> ok{0};
    std::thread t[4];
    for (int i = 0; i < 4; ++i)
        t[i] = std::thread([&ok, i] {
            for (int k = 0; k < 5; ++k) {
                char cmd[64];
                snprintf(cmd, sizeof cmd, "printf %d-%d", i, k);
                char *o = nullptr;
                int st = os_system(cmd, 0, &o, nullptr);
                char want[16];
                snprintf(want, sizeof want, "%d-%d", i, k);
                if (st == 0 && o && strcmp(o, want) == 0) ++ok;
                os_free(o);
            }
        });
    for (auto &x : t) x.join();
    EXPECT_EQ(ok.load(), 20);
}

TEST(OsProcess, ResourceLimitRaisedToTheHardLimit)
{
    struct rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    testutil::log_capture cap;
    EXPECT_EQ(os_ulimit(RLIMIT_NOFILE), 0);
    struct rlimit after;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, after.rlim_max);
    EXPECT_GE(after.rlim_max, before.rlim_max);
    if (after.rlim_max != RLIM_INFINITY) {
        EXPECT_TRUE(cap.has("rlim.rlim_max=")) << cap.get();
    }
    EXPECT_EQ(os_ulimit(-1), -1);
    EXPECT_TRUE(cap.has("getrlimit [-1] error:"));
}

TEST(OsProcess, RootAndThreadCount)
{
    EXPECT_EQ(os_is_root(), geteuid() == 0 ? 1 : 0);
    int n = os_thread_count();
    ASSERT_GE(n, 1);
    std::atomic<bool> stop{false};
    std::thread t([&] {
        while (!stop.load()) usleep(1000);
    });
    EXPECT_EQ(os_thread_count(), n + 1);
    stop = true;
    t.join();
}

// Reads what a daemon wrote to path within a few seconds.
std::string wait_report(const char *path)
{
    for (int i = 0; i < 500; ++i) {
        FILE *f = fopen(path, "r");
        if (f) {
            char buf[512] = {};
            size_t n = fread(buf, 1, sizeof buf - 1, f);
            fclose(f);
            if (n && strchr(buf, '\n')) return buf;
        }
        usleep(10000);
    }
    return "";
}

// After os_daemonize: no controlling terminal, standard streams on
// /dev/null, a new session, the caller's unwritten output printed once
// (by the caller only), and of the descriptors above 2 only the
// close-on-exec ones of its own left open.
TEST(OsProcess, DaemonizeDetaches)
{
    char report[] = "/tmp/vk_daemon_XXXXXX";
    int rfd = mkstemp(report);
    ASSERT_GE(rfd, 0);
    close(rfd);
    unlink(report);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    int handed[2];
    ASSERT_EQ(pipe(handed), 0);
    int own = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(own, 0);
    const pid_t my_sid = getsid(0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        printf("unflushed");  // a pipe: fully buffered
        std::string path = report;
        if (os_daemonize() != 0 || os_daemon_ready(5) != 0) _exit(3);
        const int kept = (fcntl(handed[0], F_GETFD) >= 0) + (fcntl(handed[1], F_GETFD) >= 0);
        const int own_open = fcntl(own, F_GETFD) >= 0;
        struct stat null_st, st;
        stat("/dev/null", &null_st);
        int on_null = 0;
        for (int fd = 0; fd < 3; ++fd)
            if (fstat(fd, &st) == 0 && st.st_rdev == null_st.st_rdev) ++on_null;
        int tty = open("/dev/tty", O_RDWR);
        char line[256];
        snprintf(line, sizeof line, "null=%d tty=%d new_session=%d leader=%d threads=%d inherited=%d own=%d\n",
                 on_null, tty >= 0 ? 1 : 0, getsid(0) != my_sid ? 1 : 0, getsid(0) == getpid() ? 1 : 0,
                 os_thread_count(), kept, own_open);
        FILE *f = fopen((path + ".tmp").c_str(), "w");
        if (f) {
            fputs(line, f);
            fclose(f);
            rename((path + ".tmp").c_str(), path.c_str());
        }
        _exit(0);
    }
    close(out[1]);
    close(handed[1]);
    close(own);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << "the caller ends with the reported status";
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) got.append(buf, (size_t)n);
    close(out[0]);
    EXPECT_EQ(got, "unflushed") << "printed once, by the caller";
    std::string r = wait_report(report);
    unlink(report);
    EXPECT_EQ(r, "null=3 tty=0 new_session=1 leader=0 threads=1 inherited=0 own=1\n");
    struct pollfd p = {handed[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(read(handed[0], buf, sizeof buf), 0) << "the daemon let go of the pipe";
    close(handed[0]);
}

TEST(OsProcess, DaemonGoneUnreportedFailsTheStart)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(os_daemonize() == 0 ? 0 : 3);  // the daemon ends without a report
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

}  // namespace
