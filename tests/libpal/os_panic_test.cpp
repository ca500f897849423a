#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/tmp_dir.h"
#include "liblog/log.h"
#include "libpal/env/os_mutex.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/tframe/app.h"

namespace {

// Every case crashes in a child process: the handler ends the process.

std::string slurp(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return "(missing)";
    char buf[512] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    return std::string(buf, n);
}

// Runs fn in a child with its standard error in a pipe; the child's wait
// status and what it wrote.
template <class F>
std::pair<int, std::string> in_child(F fn)
{
    int p[2];
    if (pipe(p) != 0) return {-1, ""};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], STDERR_FILENO);
        close(p[0]);
        close(p[1]);
        fn();
        _exit(77);
    }
    close(p[1]);
    std::string err;
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) err.append(buf, (size_t)n);
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {status, err};
}

bool exited(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

void no_core()
{
    struct rlimit rl = {0, 0};
    setrlimit(RLIMIT_CORE, &rl);
}

TEST(OsPanic, ReportThenStatus254WithoutDumps)
{
    g_app.app_ver = "9.8.7";
    auto [st, err] = in_child([] {
        os_panic_init();
        raise(SIGSEGV);
    });
    EXPECT_TRUE(exited(st, 254)) << st;
    EXPECT_NE(err.find("signo=11 [Segmentation fault]\n"), std::string::npos) << err;
    EXPECT_NE(err.find("appver: 9.8.7\n"), std::string::npos) << err;
    EXPECT_LT(err.find("signo=11"), err.find("appver:"));

    for (int sig : {SIGILL, SIGABRT, SIGBUS, SIGFPE}) {
        auto [s2, e2] = in_child([sig] {
            os_panic_init();
            raise(sig);
        });
        EXPECT_TRUE(exited(s2, 254)) << sig;
        EXPECT_NE(e2.find("signo=" + std::to_string(sig) + " ["), std::string::npos) << e2;
    }
}

void callback()
{
    const char t[] = "callback ran\n";
    ssize_t n = write(STDERR_FILENO, t, sizeof t - 1);
    (void)n;
}

TEST(OsPanic, CallbackRunsAfterTheReportAndBeforeTheExit)
{
    auto [st, err] = in_child([] {
        os_panic_init();
        os_panic_set_callback(callback);
        volatile uintptr_t addr = 16;  // an address no mapping covers
        *(volatile int *)addr = 1;     // a real fault
    });
    EXPECT_TRUE(exited(st, 254)) << st;
    size_t a = err.find("appver:"), c = err.find("callback ran\n");
    ASSERT_NE(c, std::string::npos) << err;
    EXPECT_LT(a, c);
}

volatile int g_depth_limit = -1;  // never reached: the stack runs out first

int deep(int n)
{
    if (n == g_depth_limit) return 0;
    volatile char frame[2048];
    frame[0] = (char)n;
    frame[sizeof frame - 1] = (char)n;
    int r = deep(n + 1);
    asm volatile("" ::: "memory");
    return r + frame[0] + frame[sizeof frame - 1];
}

// A thread that ran out of stack still reports: the handler runs on the
// alternate stack.
TEST(OsPanic, StackOverflowStillReports)
{
    auto [st, err] = in_child([] {
        os_panic_init();
        deep(0);
    });
    EXPECT_TRUE(exited(st, 254)) << st << " " << err;
    EXPECT_NE(err.find("signo=11 [Segmentation fault]"), std::string::npos) << err;

    auto [st2, err2] = in_child([] {
        os_panic_init();
        os_thread *t = os_thread_init("deep", [](void *) -> i64 { return deep(0); }, nullptr, 0);
        os_thread_join(t, 10000, nullptr);
    });
    EXPECT_TRUE(exited(st2, 254)) << st2 << " " << err2;
    EXPECT_NE(err2.find("signo=11 [Segmentation fault]"), std::string::npos) << err2;
}

// The thread that crashes may hold the log lock: the report waits only
// briefly for it.
TEST(OsPanic, ReportsWhileTheLogLockIsHeld)
{
    auto [st, err] = in_child([] {
        os_panic_init();
        os_mutex_lock(log_ctx_get(nullptr)->mutex);
        raise(SIGSEGV);
    });
    EXPECT_TRUE(exited(st, 254)) << st;
    EXPECT_NE(err.find("signo=11"), std::string::npos) << err;
}

// With dumps set up, the pattern goes to the (test's own) core-pattern file,
// the dump directory exists at once, and the signal ends the process with
// its default action even when it was sent rather than caused.
TEST(OsPanic, DumpSetUpWritesThePatternAndLetsTheSignalEndTheProcess)
{
    if (geteuid() != 0) GTEST_SKIP() << "dump set-up needs root";
    testutil::tmp_dir d("vk_panic");
    std::string pattern_file = d.path + "/core_pattern";
    std::string dump = d.path + "/dumps/app";
    FILE *f = fopen(pattern_file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("core", f);
    fclose(f);
    auto [st, err] = in_child([&] {
        os_panic_init();
        os_panic_set_core_pattern_path(pattern_file.c_str());
        if (os_painc_set_dump_dir(dump.c_str(), "app") != 0) _exit(5);
        struct stat s;
        if (stat(dump.c_str(), &s) != 0 || !S_ISDIR(s.st_mode)) _exit(6);
        rmdir(dump.c_str());  // the handler makes it again
        no_core();
        raise(SIGSEGV);
    });
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGSEGV) << st << " " << err;
    EXPECT_NE(err.find("signo=11"), std::string::npos) << err;
    EXPECT_EQ(slurp(pattern_file), dump + "/%e-%p-%t-%c.core");
    struct stat s;
    EXPECT_EQ(stat(dump.c_str(), &s), 0) << "the handler creates the dump directory";
}

TEST(OsPanic, OverlongPatternRefusedAndDumpsStayOff)
{
    if (geteuid() != 0) GTEST_SKIP() << "dump set-up needs root";
    testutil::tmp_dir d("vk_panic");
    std::string pattern_file = d.path + "/core_pattern";
    std::string dump = d.path + "/" + std::string(120, 'd');
    auto [st, err] = in_child([&] {
        os_panic_init();
        os_panic_set_core_pattern_path(pattern_file.c_str());
        if (os_painc_set_dump_dir(dump.c_str(), "app") != -1) _exit(5);
        raise(SIGSEGV);
    });
    EXPECT_TRUE(exited(st, 254)) << st << " " << err;
    EXPECT_NE(err.find("is longer than 127 bytes"), std::string::npos) << err;
    EXPECT_EQ(slurp(pattern_file), "(missing)");
}

TEST(OsPanic, DumpDirectoryNeedsRootAndAText)
{
    testutil::tmp_dir d("vk_panic");
    std::string pattern_file = d.path + "/core_pattern";
    auto [st, err] = in_child([&] {
        os_panic_set_core_pattern_path(pattern_file.c_str());
        if (os_painc_set_dump_dir("", "app") != 0) _exit(1);
        if (os_painc_set_dump_dir(nullptr, "app") != 0 && geteuid() == 0) _exit(2);
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) _exit(3);
        if (os_painc_set_dump_dir((pattern_file + ".d").c_str(), "app") != -1) _exit(4);
        _exit(0);
    });
    EXPECT_TRUE(exited(st, 0)) << st << " " << err;
    EXPECT_EQ(slurp(pattern_file), "(missing)");
}

}  // namespace
