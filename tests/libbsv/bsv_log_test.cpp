#define LOG_MOD "tst"
#define LOG_SRC "tests/libbsv/bsv_log_test"
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_type.h"
#include "liblog/log.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"

namespace {

using bytes_t = std::vector<u8>;

// Records and frames handed to the output hooks, and the lines that reach
// the text outputs, while a test runs.
struct sink {
    std::mutex m;
    std::vector<bytes_t> files, frames;
    std::vector<int> file_levels, frame_levels;
    std::vector<std::string> lines;
};
sink *g_sink = nullptr;

int on_file(int level, const void *rec, int len, void *arg)
{
    sink *s = (sink *)arg;
    std::lock_guard<std::mutex> g(s->m);
    s->files.emplace_back((const u8 *)rec, (const u8 *)rec + len);
    s->file_levels.push_back(level);
    return 0;
}

int on_udp(int level, const void *frame, int len, void *arg)
{
    sink *s = (sink *)arg;
    std::lock_guard<std::mutex> g(s->m);
    s->frames.emplace_back((const u8 *)frame, (const u8 *)frame + len);
    s->frame_levels.push_back(level);
    return 0;
}

void on_line(int, const char *, const char *line, int len)
{
    std::lock_guard<std::mutex> g(g_sink->m);
    g_sink->lines.emplace_back(line, (size_t)len);
}

struct BsvLog : ::testing::Test {
    void SetUp() override
    {
        c = log_ctx_get(nullptr);
        level = c->level.load();
        con = c->con_on.load();
        c->level.store(LOG_LVL_DBG);
        c->con_on.store(0);
        g_sink = &s;
        c->hook_hi.store(on_line);
        c->hook_lo.store(on_line);
        bsv_log_set_file_proc(on_file, &s);
        bsv_log_set_udp_proc(on_udp, &s);
        v = bsv_type_open_value(BSV_TYPE_LOG);
        info = bsv_type_open_value(BSV_TYPE_INFO);
    }
    void TearDown() override
    {
        bsv_log_set_file_proc(nullptr, nullptr);
        bsv_log_set_udp_proc(nullptr, nullptr);
        c->hook_hi.store(nullptr);
        c->hook_lo.store(nullptr);
        c->level.store(level);
        c->con_on.store(con);
        g_sink = nullptr;
        bsv_value_exit(v);
        bsv_value_exit(info);
    }
    bsv_log_rec parse(const bytes_t &r)
    {
        bsv_log_rec p{};
        EXPECT_EQ(bsv_log_parse(r.data(), (int)r.size(), v, &p), 0);
        return p;
    }
    bool has_line(const std::string &text)
    {
        std::lock_guard<std::mutex> g(s.m);
        for (auto &l : s.lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    struct log2 *c = nullptr;
    int level = 0;
    u8 con = 0;
    sink s;
    bsv_value *v = nullptr, *info = nullptr;
};

TEST_F(BsvLog, BuildAndParseRoundTrip)
{
    os_thread_name_set("rec");
    u8 buf[BSV_LOG_REC_MAX];
    u64 before = os_time_ms();
    int n = bsv_log_build(buf, 6 | 0x400, "pal", "src/lib/x", 42, "fn", "hello\n");
    ASSERT_GT(n, BSV_LOG_HDR);
    bytes_t r(buf, buf + n);
    bsv_log_rec p = parse(r);
    EXPECT_GE(p.sec * 1000 + p.usec / 1000, before / 1000 * 1000);
    EXPECT_LE(p.sec, os_time_ms() / 1000 + 1);
    EXPECT_EQ(p.pid, os_getpid());
    EXPECT_EQ(p.tid, os_gettid());
    EXPECT_EQ(p.level, 6);
    EXPECT_STREQ(p.tag, "pal");
    EXPECT_EQ(std::string(p.tid_name).rfind("rec_", 0), 0u);
    EXPECT_EQ(std::string(p.tid_name).substr(strlen(p.tid_name) - std::to_string(os_gettid()).size()),
              std::to_string(os_gettid()));
    EXPECT_STREQ(p.file, "src/lib/x");
    EXPECT_STREQ(p.line, "42");
    EXPECT_STREQ(p.func, "fn");
    EXPECT_STREQ(p.msg, "hello\n");
    EXPECT_EQ(n, BSV_LOG_HDR + 4 + (int)strlen(p.tid_name) + 1 + 10 + 3 + 3 + 7);
    os_thread_name_del();

    // v2: cpu 1, irql 2, level at 23, strings from 24.
    u8 b2[BSV_LOG2_REC_MAX];
    int n2 = bsv_log_build2(b2, 3, "t", "f", -7, "g", "m");
    ASSERT_GT(n2, BSV_LOG2_HDR);
    EXPECT_EQ(b2[20], 1);
    EXPECT_EQ(b2[22], 2);
    EXPECT_EQ(b2[23], 3);
    bsv_value *v2 = bsv_type_open_value(BSV_TYPE_LOG2);
    bsv_log_rec2 p2;
    ASSERT_EQ(bsv_log_parse2(b2, n2, v2, &p2), 0);
    EXPECT_EQ(p2.cpu_num, 1);
    EXPECT_EQ(p2.irql, 2);
    EXPECT_EQ(p2.level, 3);
    EXPECT_STREQ(p2.line, "-7");
    EXPECT_STREQ(p2.msg, "m");
    // A context of the other layout is refused.
    EXPECT_EQ(bsv_log_parse2(b2, n2, v, &p2), -1);
    bsv_value_exit(v2);
}

TEST_F(BsvLog, LongTextsAreCutAtTheLimit)
{
    u8 buf[BSV_LOG_REC_MAX];
    std::string msg(2000, 'm');
    int n = bsv_log_build(buf, 6, "pal", "f", 1, "fn", msg.c_str());
    ASSERT_EQ(n, BSV_LOG_REC_MAX);
    EXPECT_EQ(buf[n - 1], 0);
    bytes_t r(buf, buf + n);
    bsv_log_rec p = parse(r);
    EXPECT_EQ(strlen(p.msg), (size_t)(n - 1 - (p.msg - (const char *)r.data())));
    // Too long for an info frame.
    u8 f[BSV_NET_MAX];
    EXPECT_EQ(bsv_net_info_build(f, 0, buf, n), -1);

    // A long tag leaves the later texts out; they read as empty.
    std::string tag(1500, 't');
    n = bsv_log_build(buf, 6, tag.c_str(), "f", 1, "fn", "m");
    ASSERT_EQ(n, BSV_LOG_REC_MAX);
    r.assign(buf, buf + n);
    p = parse(r);
    EXPECT_EQ(strlen(p.tag), (size_t)BSV_LOG_STR_MAX - 1);
    EXPECT_STREQ(p.tid_name, "");
    EXPECT_STREQ(p.msg, "");
    EXPECT_EQ(bsv_log_parse(buf, BSV_LOG_HDR - 1, v, &p), -1);
}

TEST_F(BsvLog, HookRoutesRecordsToTheOutputs)
{
    LOG_INFO("plain %d\n", 1);
    LOG_AT(6 | 0x400, "net %d\n", 2);
    LOG_AT(6 | 0x800, "bsv only %d\n", 3);
    log2_printf(nullptr, 6, "net", "src/x", 1, "f", "from net\n");
    log2_printf(nullptr, 6, "bsv", "src/x", 1, "f", "from bsv\n");
    log2_printf(nullptr, 6, "tst", "d:\\work\\vel\\src/rel/path", 9, "f", "prefixed\n");

    ASSERT_EQ(s.files.size(), 4u);
    EXPECT_STREQ(parse(s.files[0]).msg, "plain 1\n");
    EXPECT_STREQ(parse(s.files[0]).file, LOG_SRC);
    EXPECT_STREQ(parse(s.files[0]).func, "TestBody");
    EXPECT_EQ(s.file_levels[1], 6 | 0x400);
    EXPECT_STREQ(parse(s.files[2]).msg, "bsv only 3\n");
    EXPECT_STREQ(parse(s.files[3]).file, "src/rel/path");

    // Frames only for the records with 0x400 or 0x800; each carries the record.
    ASSERT_EQ(s.frames.size(), 2u);
    EXPECT_EQ(s.frame_levels[0], 6 | 0x400);
    bytes_t fr = s.frames[1];
    ASSERT_EQ(bsv_parse_net_type(fr.data(), (int)fr.size()), BSV_TYPE_INFO);
    bsv_net_info ni;
    ASSERT_EQ(bsv_net_info_parse(fr.data(), (int)fr.size(), info, &ni), 0);
    EXPECT_EQ(ni.type_id, 1);
    EXPECT_EQ(bytes_t(ni.data, ni.data + ni.data_len), s.files[2]);

    // 0x800 skips the text outputs only.
    EXPECT_TRUE(has_line("plain 1"));
    EXPECT_FALSE(has_line("bsv only 3"));
    EXPECT_TRUE(has_line("from net"));
    EXPECT_EQ(bsv_log_type_get(), 1);
}

// A consumer that logs: the nested record reaches the text outputs but not
// the bsv outputs, and nothing deadlocks or recurses.
int g_nested = 0;
int logging_file_proc(int level, const void *rec, int len, void *arg)
{
    ++g_nested;
    LOG_ERR("consumer logs while it runs\n");
    return on_file(level, rec, len, arg);
}

TEST_F(BsvLog, ConsumerThatLogsDoesNotReenter)
{
    bsv_log_set_file_proc(logging_file_proc, &s);
    g_nested = 0;
    LOG_INFO("outer\n");
    EXPECT_EQ(g_nested, 1);
    ASSERT_EQ(s.files.size(), 1u);
    EXPECT_STREQ(parse(s.files[0]).msg, "outer\n");
    EXPECT_TRUE(has_line("consumer logs while it runs"));
    EXPECT_TRUE(has_line("outer"));
}

// Clearing a hook waits for the threads still inside the old procedure.
std::atomic<int> g_slow_state{0};
int slow_file_proc(int, const void *, int, void *)
{
    g_slow_state = 1;
    os_msleep(50);
    g_slow_state = 2;
    return 0;
}

TEST_F(BsvLog, ConcurrencyClearingAHookWaitsForItsCallers)
{
    g_slow_state = 0;
    bsv_log_set_file_proc(slow_file_proc, nullptr);
    std::thread t([] { LOG_INFO("slow consumer\n"); });
    while (g_slow_state.load() == 0) os_msleep(1);
    bsv_log_set_file_proc(nullptr, nullptr);
    EXPECT_EQ(g_slow_state.load(), 2);
    t.join();

    // Many threads log while the hook is switched back and forth.
    std::atomic<bool> stop{false};
    std::vector<std::thread> ws;
    for (int i = 0; i < 4; ++i)
        ws.emplace_back([&stop] {
            while (!stop) LOG_AT(6 | 0x400, "busy\n");
        });
    for (int i = 0; i < 200; ++i) {
        bsv_log_set_file_proc(i % 2 ? on_file : nullptr, &s);
        bsv_log_set_udp_proc(i % 2 ? nullptr : on_udp, &s);
    }
    stop = true;
    for (auto &w : ws) w.join();
    std::lock_guard<std::mutex> g(s.m);
    for (auto &r : s.files) EXPECT_GT(r.size(), (size_t)BSV_LOG_HDR);
}

}  // namespace
