#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/text_match.h"
#include "libpal/env/tid_name.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "liblog/logfile_util.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"

#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/dir/unit"

namespace {

struct log_fixture : testing::Test {
    struct log2 *c = nullptr;
    void SetUp() override
    {
        c = log_ctx_get(nullptr);
        c->flags.store(0);
        c->level.store(LOG_LEVEL_DEFAULT);
        c->con_on.store(1);
        c->hook_hi.store(nullptr);
        c->hook_lo.store(nullptr);
        c->redirect.store(nullptr);
    }
    static std::string run(const std::function<void()> &f)
    {
        testing::internal::CaptureStderr();
        f();
        return testing::internal::GetCapturedStderr();
    }
};

using Log = log_fixture;

TEST_F(Log, LevelFilter)
{
    std::string out = run([] {
        EXPECT_GT(LOG_DBG("seven\n"), 0);
        EXPECT_EQ(LOG_VERB("eight\n"), 0);
    });
    EXPECT_EQ(out.find("eight"), std::string::npos);
    EXPECT_NE(out.find("seven\n"), std::string::npos);
    c->level.store(2);
    out = run([] {
        EXPECT_EQ(LOG_ERR("three\n"), 0);
        EXPECT_GT(LOG_AT(2 | LOG_OPT_NOEXIT, "two\n"), 0);
    });
    EXPECT_EQ(out, "two\n");
}

TEST_F(Log, DroppedRecordsDoNotEvaluateTheirArguments)
{
    int evaluated = 0;
    auto arg = [&] { return ++evaluated; };
    std::string out = run([&] {
        EXPECT_EQ(LOG_VERB("x=%d\n", arg()), 0);
        EXPECT_GT(LOG_DBG("y=%d\n", arg()), 0);
    });
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(out, "y=1\n");
    // With a redirect hook every record reaches the hook, filtered or not.
    log_redirect_set(nullptr, [](int, const char *, const char *, int, const char *, int,
                                 const char *, va_list) {});
    EXPECT_EQ(LOG_VERB("z=%d\n", arg()), 0);
    log_redirect_set(nullptr, nullptr);
    EXPECT_EQ(evaluated, 2);
}

TEST_F(Log, BareLineAndNewline)
{
    std::string out = run([] {
        EXPECT_EQ(LOG_INFO("abc"), 3);
        EXPECT_EQ(LOG_INFO("def\n"), 4);
    });
    EXPECT_EQ(out, "abc\ndef\n");
}

TEST_F(Log, PrefixesPerFlag)
{
    c->flags.store(LOG_F_FUNC);
    EXPECT_EQ(run([] { log2_printf(nullptr, 6, "tag", "f", 1, "fn", "m\n"); }), "fn(): m\n");
    c->flags.store(LOG_F_FILE | LOG_F_BASENAME);
    std::string out = run([] { log2_printf(nullptr, 6, "tag", "a/b/c.cpp", 12, "f", "m\n"); });
    EXPECT_EQ(out, "[c.cpp:12] m\n");
    out = run([] { log2_printf(nullptr, 6, "tag", "a\\b\\d.cpp", 13, "f", "m\n"); });
    EXPECT_EQ(out, "[d.cpp:13] m\n");
    c->flags.store(LOG_F_FILE);
    out = run([] { log2_printf(nullptr, 6, "tag", "a/b/c.cpp", 12, "f", "m\n"); });
    EXPECT_EQ(out, "[a/b/c.cpp:12] m\n");
    c->flags.store(LOG_F_TID);
    out = run([] { LOG_INFO("m\n"); });
    EXPECT_EQ(out, "[" + std::to_string(os_gettid()) + "] m\n");
    c->flags.store(LOG_F_TIME);
    out = run([] { LOG_INFO("m\n"); });
    EXPECT_TRUE(testutil::text_like(out, "{dd}:{dd}:{dd} m\n")) << out;
    c->flags.store(LOG_F_TIME_MS);
    out = run([] { LOG_INFO("m\n"); });
    EXPECT_TRUE(testutil::text_like(out, "{dd}:{dd}:{dd}.{ddd} m\n")) << out;
    c->flags.store(LOG_F_TIME_MS | LOG_F_TIME);
    out = run([] { LOG_INFO("m\n"); });
    EXPECT_TRUE(testutil::text_like(out, "{dd}:{dd}:{dd} m\n")) << out;
    os_thread_name_set("unit");
    c->flags.store(LOG_F_TID_NAME);
    out = run([] { LOG_INFO("m\n"); });
    EXPECT_TRUE(testutil::text_like(out, "[unit_{x4}_" + std::to_string(os_gettid()) + "] m\n"))
        << out;
    // All of them, in their order.
    c->flags.store(LOG_F_TIME | LOG_F_TID | LOG_F_TID_NAME | LOG_F_FILE | LOG_F_BASENAME |
                   LOG_F_FUNC);
    out = run([] { log2_printf(nullptr, 6, "tag", "x/y.cpp", 7, "fn", "msg %d\n", 5); });
    EXPECT_TRUE(testutil::text_like(out, "{dd}:{dd}:{dd} [{d}] [unit_{x4}_{d}] [y.cpp:7] fn(): msg 5\n"))
        << out;
}

TEST_F(Log, ColoursByLevel)
{
    c->flags.store(LOG_F_COLOUR);
    EXPECT_EQ(run([] { LOG_INFO("i\n"); }), "i\n");
    EXPECT_EQ(run([] { LOG_ERR("e\n"); }), "\033[01;31me\n\033[0m");
    EXPECT_EQ(run([] { LOG_WARN("w\n"); }), "\033[01;33mw\n\033[0m");
    EXPECT_EQ(run([] { LOG_NOTI("n\n"); }), "\033[07;37mn\n\033[0m");
    EXPECT_EQ(run([] { LOG_DBG("d\n"); }), "\033[36md\n\033[0m");
    EXPECT_EQ(run([] { LOG_AT(2 | LOG_OPT_NOEXIT, "c\n"); }), "\033[01;07;31mc\n\033[0m");
    c->level.store(8);
    EXPECT_EQ(run([] { LOG_VERB("v\n"); }), "\033[32mv\n\033[0m");
    c->flags.store(log_flags_2_int("no_colour"));
    EXPECT_EQ(run([] { LOG_ERR("e\n"); }), "e\n");
}

TEST_F(Log, ErrnoBitAndErrnoKept)
{
    std::string out = run([] {
        errno = 0;
        LOG_AT(6 | LOG_OPT_ERRNO, "open: ");
        errno = ENOENT;
        LOG_AT(6 | LOG_OPT_ERRNO, "open: ");
        EXPECT_EQ(errno, ENOENT);
    });
    EXPECT_EQ(out, "open: ok\nopen: No such file or directory\n");
}

TEST_F(Log, BsvOnlyBitSkipsLockedOutputs)
{
    size_t before = strlen(log_last_log_get(c));
    std::string out = run([] { EXPECT_GT(LOG_AT(6 | LOG_OPT_BSVONLY, "hidden\n"), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(strlen(log_last_log_get(c)), before);
    run([] { LOG_INFO("shown\n"); });
    EXPECT_NE(std::string(log_last_log_get(c)).find("shown\n"), std::string::npos);
}

std::string g_redirected;
void redirect_hook(int level, const char *module, const char *, int, const char *func, int,
                   const char *fmt, va_list ap)
{
    char buf[256];
    vsnprintf(buf, sizeof buf, fmt, ap);
    g_redirected += std::to_string(level) + ":" + module + ":" + func + ":" + buf;
}

TEST_F(Log, RedirectTakesTheWholeCall)
{
    g_redirected.clear();
    log_redirect_set(nullptr, redirect_hook);
    std::string out = run([] { EXPECT_EQ(log2_printf(nullptr, 8, "tag", "f", 1, "fn", "x=%d\n", 1), 0); });
    log_redirect_set(nullptr, nullptr);
    EXPECT_EQ(out, "");
    EXPECT_EQ(g_redirected, "8:tag:fn:x=1\n");
}

std::string g_hi, g_lo;
void hook_hi(int, const char *m, const char *line, int) { g_hi += std::string(m) + ">" + line; }
void hook_lo(int, const char *m, const char *line, int) { g_lo += std::string(m) + ">" + line; }

TEST_F(Log, HookPairOnlyWhenBothSet)
{
    g_hi.clear();
    g_lo.clear();
    c->hook_hi.store(hook_hi);
    run([] { LOG_INFO("one\n"); });
    EXPECT_EQ(g_hi, "");
    c->hook_lo.store(hook_lo);
    run([] {
        LOG_INFO("two\n");
        LOG_WARN("three\n");
    });
    EXPECT_EQ(g_hi, "tag>two\n");
    EXPECT_EQ(g_lo, "tag>three\n");
}

TEST_F(Log, LongMessagesAreCut)
{
    c->flags.store(LOG_F_FUNC);
    std::string big(20000, 'x');
    std::string out =
        run([&] { EXPECT_EQ(log2_printf(nullptr, 6, "tag", "f", 1, "fn", "%s", big.c_str()), 8191); });
    // The line keeps at most 8191 characters, the newline included.
    EXPECT_EQ(out.size(), 8191u);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.rfind("fn(): ", 0), 0u);
}

TEST_F(Log, Puts)
{
    std::string out = run([] { log2_puts(nullptr, 6, "tag", "f", 1, "fn", "%d literal\n"); });
    EXPECT_EQ(out, "%d literal\n");
    out = run([] { log2_printf(nullptr, 6, "tag", "f", 1, "fn", nullptr); });
    EXPECT_EQ(out, "\n");
}

// The text file writer on its own: the header, then the bytes of the line
// it is given.
TEST_F(Log, FileWriterPutsTheHeaderBeforeTheGivenBytes)
{
    logtest::tmp_dir dir;
    logtest::quiet_ctx q;
    std::string p = dir / "w.log";
    ASSERT_EQ(log_file_open(&q.c->file, p.c_str()), 0);
    EXPECT_EQ(log_file_write(q.c, 4, "tmod", "ready line\nnot this", 11), 0);
    EXPECT_EQ(log_file_write(q.c, 4, "tmod", nullptr, 0), -1);
    EXPECT_EQ(log_file_write(q.c, 4, "tmod", "x\n", -1), -1);
    auto lines = logtest::lines_of(logtest::read_file(p));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(testutil::text_like(lines[0].c_str(), "{d}-{dd}-{dd} {dd}:{dd}:{dd}.{d} WARN  {d} --- [{*}] tmod ready line"))
        << lines[0];
}

TEST(LogNames, ConversionsAndTables)
{
    EXPECT_EQ(log_level_2_int("warn"), 4);
    EXPECT_EQ(log_prefix_2_int("WARN"), 4);
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_level_2_int("WARN"), -1);
    EXPECT_EQ(log_prefix_2_int("warn"), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("error: invalid level [WARN]\n"), std::string::npos);
    EXPECT_NE(err.find("error: invalid prefix [warn]\n"), std::string::npos);
    // A client may have sent the name: it is shown with \xNN escapes.
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_prefix_2_int("]\x1b\xff"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: invalid prefix [\\x5d\\x1b\\xff]\n");
    EXPECT_STREQ(log_level_2_str(5), "noti");
    EXPECT_STREQ(log_level_2_prefix(3), "ERROR");
    EXPECT_STREQ(log_level_2_severity(4), "warning");
    EXPECT_STREQ(log_level_2_str(9), "unkown(9)");
    EXPECT_STREQ(log_level_names(), "verb|dbg|info|noti|warn|err|crit");
    EXPECT_STREQ(log_level_conf_str(),
                 "log.verb=8\nlog.dbg=7\nlog.info=6\nlog.noti=5\nlog.warn=4\nlog.err=3\nlog.crit=2");
}

TEST(LogNames, FlagTags)
{
    EXPECT_EQ(log_flags_2_int(""), 32u);
    EXPECT_EQ(log_flags_2_int("time|tid|func"), 39u);
    EXPECT_EQ(log_flags_2_int("no_colour|file"), 24u);
    EXPECT_EQ(log_flags_2_int("time_ms|time"), 32u | 64u | 2u);
    EXPECT_EQ(log_flags_2_int("time|time_ms"), 32u | 64u);
    EXPECT_EQ(log_flags_2_int("tid_name"), 32u | 128u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_flags_2_int("bogus|tid"), 33u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid tags: [bogus]\n");
}

TEST(LogDeath, CritEndsWithStatusOne)
{
    EXPECT_EXIT(
        {
            log_ctx_get(nullptr)->flags.store(0);
            LOG_CRIT("fatal thing\n");
            fprintf(stderr, "not reached\n");
        },
        testing::ExitedWithCode(1), "fatal thing\n$");
    EXPECT_EXIT(
        {
            LOG_AT(2 | LOG_OPT_NOEXIT, "survives\n");
            LOG_AT(2 | LOG_OPT_BSVONLY, "bsv only\n");
            exit(7);
        },
        testing::ExitedWithCode(7), "survives");
}

// Once closed, the default context drops the records logged to it, by NULL
// or by its address, but a crit still ends the process; the leak check closes nothing.
TEST(LogDeath, ClosedDefaultDropsLaterRecords)
{
    EXPECT_EXIT(
        {
            struct log2 *d = log_ctx_get(nullptr);
            d->flags.store(0);
            os_malloc_leak_check();
            LOG_INFO("before\n");
            log2_exit(nullptr);
            LOG_INFO("after\n");
            log2_puts(nullptr, 6, "tag", "f", 1, "fn", "puts after\n");
            log2_printf(d, 6, "tag", "f", 1, "fn", "by address\n");
            fprintf(stderr, "end\n");
            if (log2_exit(nullptr) == 0) LOG_CRIT("crit after\n");
            exit(4);
        },
        testing::ExitedWithCode(1), "^before\nend\n$");
}

// The logger's own diagnostics reach standard error only once switched on,
// and then stay on.
TEST(LogDeath, DiagnosticsOnlyOnceSwitchedOn)
{
    EXPECT_EXIT(
        {
            bool off = log_debug_get() == 0;
            log_debug_printf("hidden\n");
            log_debug_set(1);
            log_debug_set(0);
            log_debug_printf("shown %d\n", 5);
            exit(off && log_debug_get() == 1 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "^shown 5\n$");
}

// The last-log text keeps exactly the lines a line log of its size keeps,
// through lines of every length, those too long for it included.
TEST(LogLastLog, KeepsWhatTheLineLogKeeps)
{
    struct log2 *ctx = log_ctx_new();
    ASSERT_NE(ctx, nullptr);
    ctx->con_on.store(0);
    ctx->flags.store(0);
    char ref_buf[LOG_LAST_LOG_SIZE];
    str_lines ref;
    str_lines_init(&ref, ref_buf, sizeof ref_buf);
    unsigned seed = 7;
    for (int i = 0; i < 3000; ++i) {
        seed = seed * 1103515245u + 12345u;
        size_t n = 1 + (seed >> 16) % (i % 100 == 0 ? 1100 : 300);
        std::string text(n - 1, (char)('a' + i % 26));
        text += '\n';
        log2_puts(ctx, 6, "tag", "f", 1, "fn", text.c_str());
        str_lines_add(&ref, text.c_str());
        ASSERT_STREQ(log_last_log_get(ctx), ref_buf) << "record " << i;
    }
    log2_exit(ctx);
}

TEST(LogConcurrency, LinesDoNotInterleave)
{
    struct log2 *ctx = log_ctx_new();
    ASSERT_NE(ctx, nullptr);
    ctx->flags.store(LOG_F_TID);
    ctx->con_on.store(0);
    static std::atomic<int> bad{0}, lines{0};
    ctx->hook_hi.store([](int, const char *, const char *line, int len) {
        // hooks run under the output mutex, one record at a time
        const char *nl = strchr(line, '\n');
        if (!nl || nl[1] != 0 || (int)strlen(line) != len) ++bad;
        ++lines;
    });
    ctx->hook_lo.store([](int, const char *, const char *, int) {});
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([ctx, t] {
            for (int i = 0; i < 2000; ++i)
                log2_printf(ctx, 6, "tag", "f", 1, "fn", "thread %d record %d\n", t, i);
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(lines.load(), 8000);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_LT(strlen(log_last_log_get(ctx)), LOG_LAST_LOG_SIZE);
    log2_exit(ctx);
}

// Eight threads log to the default context's file while it closes, in
// rounds (log2_init opens it again): the file holds as many records as
// calls returned a length.
TEST(LogConcurrency, CloseWritesOrRefusesEveryRecord)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    logtest::tmp_dir dir;
    auto rounds = [&] {
        for (int round = 0; round < 20; ++round) {
            std::string path = dir / ("close" + std::to_string(round) + ".log");
            struct log2 *d = log2_init(nullptr, nullptr);
            if (d != log_ctx_get(nullptr) || log2_ioctl(d, LOG_IOC_FILE_OPEN, (intptr_t)path.c_str(), 0) != 0) return 2;
            d->con_on.store(0);
            log2_ioctl(d, LOG_IOC_FILE_ON, 1, 0);
            // No halving however long the close waits for its turn: each
            // line written stays.
            log2_ioctl(d, LOG_IOC_FILE_SIZE, INT32_MAX, 0);
            std::atomic<int> logged{0}, written{0};
            std::vector<std::thread> ts;
            for (int t = 0; t < 8; ++t)
                ts.emplace_back([&] {
                    for (int i = 0; i < 200000 && !d->closed.load(); ++i, ++logged) written += LOG_INFO("r%d\n", i) > 0;
                });
            for (int i = 0; i < 10000 && logged.load() < 2000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            log2_exit(nullptr);
            for (auto &t : ts) t.join();
            if (logtest::lines_of(logtest::read_file(path)).size() != (size_t)written.load()) return 1;
        }
        return 0;
    };
    EXPECT_EXIT(exit(rounds()), testing::ExitedWithCode(0), "");
}

}  // namespace
