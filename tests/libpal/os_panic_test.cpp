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

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/text_match.h"
#include "common/tmp_dir.h"
#include "common/udp_collector.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_rbuf.h"
#include "libbsvf/pcap.h"
#include "liblog/log.h"
#include "liblog/log_out.h"
#include "libpal/env/os_mutex.h"
#include "libpal/mpcap/mpcap.h"
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
// briefly for it, and then writes the text file only while no halving of
// it is under way (the halving's descriptor does not append).
TEST(OsPanic, ReportsWhileTheLogLockIsHeld)
{
    testutil::tmp_dir d;
    std::string path = d.path + "/t.log";
    for (int busy : {0, 1}) {
        auto [st, err] = in_child([&] {
            os_panic_init();
            struct log2 *c = log_ctx_get(nullptr);
            if (log_file_open(&c->file, path.c_str()) != 0) _exit(10);
            c->file_on.store(1);
            c->file.mark.busy = busy;
            os_mutex_lock(c->mutex);
            raise(SIGSEGV);
        });
        EXPECT_TRUE(exited(st, 254)) << st;
        EXPECT_NE(err.find("signo=11"), std::string::npos) << err;
        EXPECT_EQ(slurp(path).find("signo=11") != std::string::npos, !busy) << busy;
    }
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

// The kernel keeps 127 bytes of a pattern: a directory of 110 bytes is the
// longest that fits before "/%e-%p-%t-%c.core".
TEST(OsPanic, OverlongPatternRefusedAndDumpsStayOff)
{
    if (geteuid() != 0) GTEST_SKIP() << "dump set-up needs root";
    testutil::tmp_dir d("vk_panic");
    std::string pattern_file = d.path + "/core_pattern";
    ASSERT_LT(d.path.size(), 100u);
    std::string longest = d.path + "/" + std::string(110 - d.path.size() - 1, 'd');
    auto [st0, err0] = in_child([&] {
        os_panic_set_core_pattern_path(pattern_file.c_str());
        _exit(os_painc_set_dump_dir(longest.c_str(), "app") == 0 ? 0 : 5);
    });
    EXPECT_TRUE(exited(st0, 0)) << st0 << " " << err0;
    EXPECT_EQ(slurp(pattern_file).size(), 127u);
    unlink(pattern_file.c_str());
    std::string dump = longest + "d";
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
    const bool root = geteuid() == 0;
    auto [st, err] = in_child([&] {
        os_panic_set_core_pattern_path(pattern_file.c_str());
        if (root) {
            if (os_painc_set_dump_dir("", "app") != 0) _exit(1);
            if (os_painc_set_dump_dir(nullptr, "app") != 0) _exit(2);
            if (setresuid(65534, 65534, 65534) != 0) _exit(3);
        }
        if (os_painc_set_dump_dir((pattern_file + ".d").c_str(), "app") != -1) _exit(4);
        _exit(0);
    });
    EXPECT_TRUE(exited(st, 0)) << st << " " << err;
    EXPECT_EQ(slurp(pattern_file), "(missing)");
    if (!root) GTEST_SKIP() << "the answers to an empty directory as root need root";
}

// ---- the crash report on the bsv outputs -----------------------------------

// Bound before the child is forked.
using collector = testutil::udp_collector;

// The six strings of a log record from its byte `at` on.
std::vector<std::string> strings_at(const std::string &b, size_t at)
{
    std::vector<std::string> out;
    while (at < b.size() && out.size() < 6) {
        size_t z = b.find('\0', at);
        if (z == std::string::npos) break;
        out.push_back(b.substr(at, z - at));
        at = z + 1;
    }
    return out;
}

// The strings of the log record in an info frame (empty when the frame
// does not check).
std::vector<std::string> frame_strings(std::string f)
{
    if (bsv_parse_net_type(f.data(), (int)f.size()) != 5) return {};
    size_t rec = f.find('\0', BSV_NET_HDR + BSV_NET_INFO_HDR) + 1;
    return strings_at(f.substr(0, f.size() - 1), rec + BSV_LOG_HDR);
}

// The strings of every packet of a little-endian log pcap file; a chain
// that does not end at the end of the file gives a last entry "broken".
std::vector<std::vector<std::string>> pcap_strings(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<std::string>> out;
    size_t off = PCAP_HDR_SIZE;
    while (off + PCAP_REC_HDR_SIZE <= d.size()) {
        u32 incl = 0;
        memcpy(&incl, d.data() + off + 8, 4);
        if (off + PCAP_REC_HDR_SIZE + incl > d.size()) break;
        // The packet is the record from its byte 12 on.
        out.push_back(strings_at(d.substr(off + PCAP_REC_HDR_SIZE, incl), BSV_LOG_HDR - 12));
        off += PCAP_REC_HDR_SIZE + incl;
    }
    if (off != d.size()) out.push_back({"broken"});
    return out;
}

// Messages of the records the crash handler wrote (function panic_handler).
std::vector<std::string> crash_messages(const std::vector<std::vector<std::string>> &recs)
{
    std::vector<std::string> out;
    for (const auto &s : recs)
        if (s.size() == 6 && s[4] == "panic_handler") out.push_back(s[5]);
    return out;
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bsv_log_handle *g_ring;

void put_err(const char *s, size_t n)
{
    ssize_t w = write(STDERR_FILENO, s, n);
    (void)w;
}

// Writes the messages of the crash records the ring holds to standard
// error, as "ring:[message]". It runs in the crash handler: no allocation.
void dump_ring()
{
    const u8 *rec = nullptr;
    int n;
    while ((n = bsv_read_raw_log(g_ring, &rec)) > 0) {
        const char *s[6] = {};
        const char *p = (const char *)rec + BSV_LOG_HDR, *end = (const char *)rec + n;
        int k = 0;
        for (const char *z; k < 6 && p < end && (z = (const char *)memchr(p, 0, (size_t)(end - p))); p = z + 1)
            s[k++] = p;
        if (k < 6 || strcmp(s[4], "panic_handler") != 0) continue;
        put_err("ring:[", 6);
        put_err(s[5], strlen(s[5]));
        put_err("]", 1);
    }
}

// In the child: the default log context with a pcap log file, the bsv
// sender (its socket open) and a ring reader; one record logged before.
struct child_outputs {
    struct log2 *c;
    explicit child_outputs(const std::string &pcap, const std::string &url)
    {
        alarm(30);  // a report that hung would end the child without 254
        os_panic_init();
        os_thread_name_set("crasher");
        c = log_ctx_get(nullptr);
        if (log_file_open(&c->file, pcap.c_str()) != 0) _exit(10);
        if (log_bsv_udp_open(&c->bsv, url.c_str()) != 0) _exit(11);
        for (int i = 0; i < 5000 && !std::atomic_ref<u64>(c->bsv.udp).load(); ++i) usleep(1000);
        if (!std::atomic_ref<u64>(c->bsv.udp).load()) _exit(12);
        if (!(g_ring = bsv_open_log())) _exit(13);
        log2_printf(nullptr, 4, "tst", "src/t", 1, "fn", "before the crash\n");
    }
};

// Every crash record reaches the bsv outputs: the last-log text and the
// signal as frames, all three in the pcap log file and the ring; the text
// outputs show the signal and the version only.
TEST(OsPanic, CrashRecordsReachTheBsvOutputs)
{
    g_app.app_ver = "9.8.7";
    testutil::tmp_dir d("vk_panic");
    collector col;
    std::string pcap = d.path + "/crash.pcap";
    auto [st, err] = in_child([&] {
        child_outputs out(pcap, col.url());
        os_panic_set_callback(dump_ring);
        raise(SIGSEGV);
    });
    EXPECT_TRUE(exited(st, 254)) << st << " " << err;

    auto frames = col.frames(5000);
    ASSERT_EQ(frames.size(), 2u) << "the last-log text and the signal, nothing else";
    auto last = frame_strings(frames[0]), sig = frame_strings(frames[1]);
    ASSERT_EQ(last.size(), 6u);
    ASSERT_EQ(sig.size(), 6u);
    EXPECT_EQ(last[0], "pal");
    EXPECT_EQ(last[1].rfind("crasher_", 0), 0u) << last[1];
    EXPECT_EQ(last[2], "src/lib/libpal/os/posix/os_panic");
    EXPECT_EQ(last[4], "panic_handler");
    EXPECT_EQ(last[5].front(), '[');
    EXPECT_EQ(last[5].back(), ']');
    EXPECT_NE(last[5].find("fn(): before the crash\n"), std::string::npos) << last[5];
    EXPECT_EQ(sig[5], "signo=11 [Segmentation fault]\n");
    EXPECT_EQ(sig[1], last[1]);

    auto in_file = crash_messages(pcap_strings(pcap));
    ASSERT_EQ(in_file.size(), 3u);
    EXPECT_EQ(in_file[0], last[5]);
    EXPECT_EQ(in_file[1], sig[5]);
    EXPECT_EQ(in_file[2], "appver: 9.8.7\n");
    EXPECT_NE(pcap_strings(pcap).back().at(0), "broken");

    EXPECT_NE(err.find("ring:[" + last[5] + "]ring:[" + sig[5] + "]ring:[appver: 9.8.7\n]"), std::string::npos)
        << err;
    // Standard error: the signal and the version, not the last-log text.
    EXPECT_EQ(count_of(err, "panic_handler(): "), 2u) << err;
    EXPECT_NE(err.find("panic_handler(): signo=11 [Segmentation fault]\n"), std::string::npos) << err;
    EXPECT_NE(err.find("panic_handler(): appver: 9.8.7\n"), std::string::npos) << err;
}

void hook_to_err(int level, const char *module, const char *line, int len)
{
    char head[32] = "hook:";
    head[5] = (char)('0' + level % 10);
    put_err(head, 6);
    put_err(":", 1);
    put_err(module, strlen(module));
    put_err(":", 1);
    put_err(line, (size_t)len);
}

void last_log_to_err()
{
    const char *t = log_ctx_get(nullptr)->last_lines.buffer;
    put_err("last:[", 6);
    put_err(t, strlen(t));
    put_err("]", 1);
}

// The signal and the version also reach syslog (RFC 3164, user.crit, each
// datagram ended by its NUL), the hook pair and the last-log text.
TEST(OsPanic, CrashRecordsReachSyslogTheHooksAndTheLastLogText)
{
    g_app.app_ver = "9.8.7";
    collector rx;
    auto [st, err] = in_child([&] {
        alarm(30);
        os_panic_init();
        struct log2 *c = log_ctx_get(nullptr);
        c->flags.store(LOG_F_TIME | LOG_F_FUNC);
        c->hook_hi.store(hook_to_err);
        c->hook_lo.store(hook_to_err);
        if (log_net_open(&c->net, rx.url().c_str()) < 0) _exit(10);
        c->syslog_on.store(1);
        log2_printf(nullptr, 4, "tst", "src/t", 1, "fn", "before the crash\n");  // connects
        os_panic_set_callback(last_log_to_err);
        raise(SIGSEGV);
    });
    EXPECT_TRUE(exited(st, 254)) << st << " " << err;
    auto msgs = rx.frames(5000);
    ASSERT_EQ(msgs.size(), 3u);
    std::string head = "<10>{*} {dd}:{dd}:{dd} {*} pal[{d}]: panic_handler(): ";
    EXPECT_TRUE(testutil::text_like(msgs[1].c_str(), (head + "signo=11 [Segmentation fault]\n").c_str())) << msgs[1];
    EXPECT_TRUE(testutil::text_like(msgs[2].c_str(), (head + "appver: 9.8.7\n").c_str())) << msgs[2];
    for (const auto &m : msgs) EXPECT_EQ(m.back(), '\0');
    EXPECT_TRUE(testutil::text_like(err.c_str(), "{*}hook:2:pal:{dd}:{dd}:{dd} panic_handler(): signo=11 "
                                                 "[Segmentation fault]\n{*}hook:2:pal:{dd}:{dd}:{dd} "
                                                 "panic_handler(): appver: 9.8.7\n{*}"))
        << err;
    size_t last = err.find("last:[");
    ASSERT_NE(last, std::string::npos) << err;
    EXPECT_TRUE(testutil::text_like(err.substr(last).c_str(),
                                    "last:[{*}fn(): before the crash\n{dd}:{dd}:{dd} panic_handler(): signo=11 "
                                    "[Segmentation fault]\n{dd}:{dd}:{dd} panic_handler(): appver: 9.8.7\n]"))
        << err.substr(last);
}

// The crashing thread holds the locks of the pcap file, the ring, the bsv
// sender and the log: the report waits only briefly for each, still sends
// its frames (the sender's lock is not needed for that), writes standard
// error and ends the process with 254.
TEST(OsPanic, LocksHeldByTheCrashingThreadDoNotStopTheReport)
{
    testutil::tmp_dir d("vk_panic");
    collector col;
    std::string pcap = d.path + "/held.pcap";
    auto t0 = std::chrono::steady_clock::now();
    auto [st, err] = in_child([&] {
        child_outputs out(pcap, col.url());
        pthread_mutex_lock(&out.c->file.pcap->dumper->lock);
        pthread_mutex_lock(&g_ring->reader->ring->mutex);
        pthread_mutex_lock(&out.c->bsv.lock);
        os_mutex_lock(out.c->mutex);
        os_panic_set_callback(callback);
        raise(SIGSEGV);
    });
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(exited(st, 254)) << st << " " << err;
    EXPECT_LT(secs, 20.0);
    EXPECT_NE(err.find("signo=11 [Segmentation fault]\n"), std::string::npos) << err;
    EXPECT_NE(err.find("appver: "), std::string::npos) << err;
    EXPECT_NE(err.find("callback ran\n"), std::string::npos) << err;
    auto frames = col.frames(5000);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frame_strings(frames[1]).at(5), "signo=11 [Segmentation fault]\n");
    // The file's lock stayed taken: the file is left as it was.
    auto recs = pcap_strings(pcap);
    EXPECT_TRUE(crash_messages(recs).empty());
    EXPECT_NE(recs.back().at(0), "broken");
}

}  // namespace
