#define LOG_MOD "tst"
#define LOG_SRC "tests/libbsv/bsv_rbuf_test"
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_rbuf.h"
#include "libbsv/bsv_type.h"
#include "libpal/env/malloc.h"
#include "liblog/log.h"

namespace {

using bytes_t = std::vector<u8>;

// Console off while a test logs records into the rings.
struct quiet_log {
    quiet_log()
    {
        c = log_ctx_get(nullptr);
        con = c->con_on.load();
        level = c->level.load();
        c->con_on.store(0);
        c->level.store(LOG_LVL_DBG);
    }
    ~quiet_log()
    {
        c->con_on.store(con);
        c->level.store(level);
    }
    struct log2 *c;
    u8 con;
    int level;
};

// The log record of the worked example: 2023-11-14 22:13:20.250 UTC.
bytes_t example_record()
{
    bytes_t r(21);
    bsv_put_le(r.data(), 1700000000, 8);
    bsv_put_le(r.data() + 8, 250000, 4);
    bsv_put_le(r.data() + 12, 4242, 4);
    bsv_put_le(r.data() + 16, 4243, 4);
    r[20] = 6;
    for (const char *s : {"main", "main_1a2b_4243", "src/opt/vkto/main", "42", "main", "hello\n"})
        r.insert(r.end(), s, s + strlen(s) + 1);
    return r;
}

// Messages of tag "tst" that the reader got, in order.
std::vector<std::string> drain(bsv_log_handle *h)
{
    std::vector<std::string> out;
    bsv_value *v = bsv_type_open_value(BSV_TYPE_LOG);
    const u8 *rec;
    int n;
    while ((n = bsv_read_raw_log(h, &rec)) > 0) {
        bsv_log_rec r;
        if (bsv_log_parse(rec, n, v, &r) == 0 && strcmp(r.tag, "tst") == 0) out.push_back(r.msg);
    }
    bsv_value_exit(v);
    return out;
}

TEST(BsvRbuf, OpenSizesNamesAndReaderLimit)
{
    bsv_log_handle *h = bsv_open_log();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->reader->ring->BlockSize, 1474u);
    EXPECT_EQ(h->reader->ring->MaxQueueSize, 711u);
    EXPECT_EQ(h->reader->ring->all_size, 1048576u);
    EXPECT_EQ(bsv_rbuf_find(h->reader), 0);

    char err[BSV_RBUF_ERR_SIZE];
    bsv_rbuf_reader *r = bsv_rbuf_open("log?bsv_rbuf_size=65536", err);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ring->MaxQueueSize, 44u);
    bsv_rbuf_reader_info info;
    ASSERT_EQ(bsv_rbuf_info(r, &info), 0);
    EXPECT_EQ(info.type_id, 1);
    EXPECT_EQ(info.swap, 0);
    EXPECT_EQ(info.max_rec, 1472u);
    EXPECT_STREQ(info.schema, BSV_SCHEMA_LOG);

    EXPECT_EQ(bsv_rbuf_open("nolog", err), nullptr);
    EXPECT_STREQ(err, "name does not exist");
    EXPECT_EQ(bsv_rbuf_open("lo", err), nullptr);
    EXPECT_EQ(bsv_rbuf_open("log?bsv_rbuf_size=100g", err), nullptr);
    EXPECT_NE(strstr(err, "too large"), nullptr);

    // Eight readers at most: the ninth is refused, not handed out unfed.
    std::vector<bsv_rbuf_reader *> more;
    for (int i = 0; i < 6; ++i) {
        more.push_back(bsv_rbuf_open("log?bsv_rbuf_size=16k", err));
        ASSERT_NE(more.back(), nullptr);
    }
    EXPECT_EQ(bsv_rbuf_open("log", err), nullptr);
    EXPECT_STREQ(err, "too many readers");
    bsv_rbuf_close(more.back());
    more.pop_back();
    bsv_rbuf_reader *again = bsv_rbuf_open("log?bsv_rbuf_size=16k", err);
    ASSERT_NE(again, nullptr);
    more.push_back(again);
    for (auto *m : more) bsv_rbuf_close(m);
    bsv_rbuf_close(r);
    bsv_close_log(h);
}

TEST(BsvRbuf, EveryReaderGetsEveryRecord)
{
    quiet_log q;
    bsv_log_handle *a = bsv_open_log();
    bsv_log_handle *b = bsv_open_log();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(bsv_read_raw_log(a, nullptr), -1);
    const u8 *rec;
    EXPECT_EQ(bsv_read_raw_log(a, &rec), 0);  // empty: at once
    LOG_INFO("one\n");
    LOG_AT(6 | 0x800, "two\n");
    log2_printf(nullptr, 6, "net", "x", 1, "f", "from net\n");
    EXPECT_EQ(drain(a), (std::vector<std::string>{"one\n", "two\n"}));
    bsv_close_log(a);
    LOG_INFO("three\n");
    EXPECT_EQ(drain(b), (std::vector<std::string>{"one\n", "two\n", "three\n"}));

    char *st = bsv_rbuf_stat_dump(b);
    ASSERT_NE(st, nullptr);
    EXPECT_NE(strstr(st, "write_count=3\n"), nullptr) << st;
    EXPECT_NE(strstr(st, "drop_count=0\n"), nullptr) << st;
    EXPECT_EQ(strncmp(st, "write_byte=", 11), 0);
    os_free(st);
    bsv_close_log(b);
}

TEST(BsvRbuf, ReadLogFormatsTheRecord)
{
    setenv("TZ", "UTC", 1);
    tzset();
    bsv_log_handle *h = bsv_open_log();
    ASSERT_NE(h, nullptr);
    bytes_t r = example_record();
    bsv_rbuf_write(h->reader->type, r.data(), (int)r.size());
    u32 level = 0;
    char text[1472];
    int n = bsv_read_log(h, &level, text, sizeof text);
    const char *want = "2023-11-14 22:13:20.250 INFO  4242 --- [main_1a2b_4243] main main(): hello\n";
    EXPECT_STREQ(text, want);
    EXPECT_EQ(n, (int)strlen(want));
    EXPECT_EQ(level, 6u);

    // A short buffer gets the start of the text and its length.
    bsv_rbuf_write(h->reader->type, r.data(), (int)r.size());
    char small[12];
    EXPECT_EQ(bsv_read_log(h, &level, small, sizeof small), 11);
    EXPECT_STREQ(small, "2023-11-14 ");
    EXPECT_EQ(bsv_read_log(h, &level, text, sizeof text), 0);
    bsv_close_log(h);
}

TEST(BsvRbuf, BrokenBlockIsSkippedOnce)
{
    testutil::log_capture cap;
    bsv_log_handle *h = bsv_open_log();
    ASSERT_NE(h, nullptr);
    bytes_t r = example_record();
    bsv_rbuf_write(h->reader->type, r.data(), (int)r.size());
    memset(h->buf, 0, 8);
    h->fill = 8;
    h->pos = 0;
    const u8 *rec;
    EXPECT_EQ(bsv_read_raw_log(h, &rec), -1);
    EXPECT_TRUE(cap.has("expr[vlen != 0]: assert failed\n"));
    EXPECT_EQ(bsv_read_raw_log(h, &rec), (int)r.size());
    EXPECT_EQ(bytes_t(rec, rec + r.size()), r);
    bsv_close_log(h);
}

// Filtered readers get only the records their rules keep; a plain reader
// beside them gets everything.
TEST(BsvRbuf, FilteredReaderPassesOnlyMatchingRecords)
{
    quiet_log q;
    bsv_reg_log();
    char err[BSV_RBUF_ERR_SIZE];
    bsv_rbuf_reader *warn = bsv_rbuf_open("log", err);
    bsv_rbuf_reader *nopal = bsv_rbuf_open("log", err);
    bsv_log_handle *all = bsv_open_log();
    ASSERT_TRUE(warn && nopal && all);
    EXPECT_EQ(bsv_rbuf_set_filter(warn, "level <= 4"), 0);
    EXPECT_EQ(bsv_rbuf_set_filter(nopal, "!tag == pal"), 0);
    {
        testutil::log_capture cap;  // the refusal is logged, the filter stays
        EXPECT_EQ(bsv_rbuf_set_filter(warn, "level === 3"), -1);
    }

    LOG_WARN("w1\n");
    LOG_INFO("i1\n");
    log2_printf(nullptr, 4, "pal", "x", 1, "f", "p1\n");
    LOG_ERR("DISK full\n");

    auto msgs = [](bsv_rbuf_reader *r) {
        std::vector<std::string> out;
        bsv_value *v = bsv_type_open_value(BSV_TYPE_LOG);
        u8 buf[4096];
        i64 m;
        while ((m = bsv_rbuf_read(r, buf, sizeof buf)) > 0)
            for (i64 off = 0; off < m;) {
                u16 len;
                memcpy(&len, buf + off, 2);
                bsv_log_rec rec;
                if (bsv_log_parse(buf + off + 2, len, v, &rec) == 0) out.push_back(std::string(rec.tag) + ":" + rec.msg);
                off += 2 + len;
            }
        bsv_value_exit(v);
        return out;
    };
    EXPECT_EQ(msgs(warn), (std::vector<std::string>{"tst:w1\n", "pal:p1\n", "tst:DISK full\n"}));
    EXPECT_EQ(msgs(nopal), (std::vector<std::string>{"tst:w1\n", "tst:i1\n", "tst:DISK full\n"}));
    EXPECT_EQ(drain(all), (std::vector<std::string>{"w1\n", "i1\n", "DISK full\n"}));

    // A new rule text replaces the old one.
    EXPECT_EQ(bsv_rbuf_set_filter(warn, "msg find disk"), 0);
    LOG_WARN("w2\n");
    LOG_INFO("disk again\n");
    EXPECT_EQ(msgs(warn), (std::vector<std::string>{"tst:disk again\n"}));
    bsv_rbuf_close(warn);
    bsv_rbuf_close(nopal);
    bsv_close_log(all);
}

// A rule that logs while it runs (here: a field the records lack) runs under
// the registry lock: its record reaches the text outputs, never the rings,
// and nothing deadlocks.
std::vector<std::string> *g_lines = nullptr;
void keep_line(int, const char *, const char *line, int len)
{
    if (g_lines) g_lines->emplace_back(line, (size_t)len);
}

TEST(BsvRbuf, RuleThatLogsDoesNotDeadlock)
{
    quiet_log q;
    std::vector<std::string> lines;
    g_lines = &lines;
    q.c->hook_hi.store(keep_line);
    q.c->hook_lo.store(keep_line);
    bsv_reg_log();
    char err[BSV_RBUF_ERR_SIZE];
    bsv_rbuf_reader *r = bsv_rbuf_open("log", err);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(bsv_rbuf_set_filter(r, "nofield == 1"), 0);
    LOG_INFO("kept\n");
    LOG_INFO("kept too\n");
    q.c->hook_hi.store(nullptr);
    q.c->hook_lo.store(nullptr);
    g_lines = nullptr;
    bool logged = false;
    for (auto &l : lines) logged |= l.find("var_proc get_arg1 [nofield] failed") != std::string::npos;
    EXPECT_TRUE(logged);
    // A rule without a variable decides nothing: the records are kept, the
    // nested record is not among them.
    rbuf_stat st;
    bsv_rbuf_stat(r, &st);
    EXPECT_EQ(st.write_count, 2u);
    bsv_rbuf_close(r);
}

// Registration limit, and the tear-down that leaves readers with their
// owners: each runs in a child process, since both change the registry for
// good.
TEST(BsvRbuf, NinthTypeIsRefused)
{
    EXPECT_EXIT(
        {
            static bsv_rbuf_type types[9];
            static char names[9][16];
            int ok = 0;
            int before = bsv_log_type_id() != 0 ? 1 : 0;
            for (int i = 0; i < 9; ++i) {
                snprintf(names[i], sizeof names[i], "t%d", i);
                types[i].name = names[i];
                types[i].schema = BSV_SCHEMA_LOG;
                types[i].max_rec = 100;
                types[i].max_readers = 2;
                if (bsv_rbuf_reg(&types[i]) == 0) ++ok;
            }
            // Eight slots, one of them taken by "log" when it was registered.
            exit(ok == 8 - before && bsv_rbuf_reg(&types[0]) == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(BsvRbuf, TearDownLeavesReadersToTheirOwners)
{
    EXPECT_EXIT(
        {
            quiet_log q;
            bsv_log_handle *h = bsv_open_log();
            if (!h) exit(2);
            LOG_INFO("before\n");
            bsv_rbuf_exit();
            LOG_INFO("after\n");
            int rc = 0;
            if (bsv_rbuf_find(h->reader) != -1) rc = 3;
            if (drain(h) != std::vector<std::string>{"before\n"}) rc = 4;
            if (bsv_open_log() != nullptr) rc = 5;  // "log" stays gone
            bsv_close_log(h);
            exit(rc);
        },
        ::testing::ExitedWithCode(0), "");
}

// Writers log from several threads while readers drain their own rings:
// a ring big enough loses nothing and keeps each thread's order; a small
// one counts every record it could not keep.
TEST(BsvRbufConcurrency, ReadersUnderConcurrentWriters)
{
    quiet_log q;
    constexpr int kThreads = 4, kEach = 400;
    char err[BSV_RBUF_ERR_SIZE];
    bsv_reg_log();
    // Room for every record in one ring, 44 slots in the other.
    bsv_rbuf_reader *big = bsv_rbuf_open("log?bsv_rbuf_size=4m", err);
    bsv_rbuf_reader *small = bsv_rbuf_open("log?bsv_rbuf_size=64k", err);
    bsv_rbuf_reader *odd = bsv_rbuf_open("log?bsv_rbuf_size=4m", err);
    ASSERT_TRUE(big && small && odd);
    // Writers log their odd records as warnings; this reader keeps only those.
    ASSERT_EQ(bsv_rbuf_set_filter(odd, "level <= 4; @rule_mode and; tag == tst"), 0);

    std::atomic<int> writers{kThreads};
    std::map<int, int> next;  // thread -> next sequence number expected
    int got = 0, bad = 0;
    u64 small_read = 0, odd_read = 0, odd_bad = 0;
    std::thread reader([&] {
        bsv_value *v = bsv_type_open_value(BSV_TYPE_LOG);
        u8 buf[4096];
        while (true) {
            bool last = writers.load() == 0;
            i64 m;
            while ((m = bsv_rbuf_read(big, buf, sizeof buf)) > 0) {
                for (i64 off = 0; off < m;) {
                    u16 len;
                    memcpy(&len, buf + off, 2);
                    bsv_log_rec r;
                    int t, seq;
                    if (bsv_log_parse(buf + off + 2, len, v, &r) != 0) {
                        ++bad;
                    } else if (strcmp(r.tag, "tst") == 0 && sscanf(r.msg, "w%d s%d", &t, &seq) == 2) {
                        if (next[t] != seq) ++bad;
                        next[t] = seq + 1;
                        ++got;
                    }
                    off += 2 + len;
                }
            }
            while ((m = bsv_rbuf_read(odd, buf, sizeof buf)) > 0) {
                for (i64 off = 0; off < m;) {
                    u16 len;
                    memcpy(&len, buf + off, 2);
                    bsv_log_rec r;
                    int t, seq;
                    if (bsv_log_parse(buf + off + 2, len, v, &r) != 0 || r.level != 4 ||
                        sscanf(r.msg, "w%d s%d", &t, &seq) != 2 || seq % 2 == 0)
                        ++odd_bad;
                    ++odd_read;
                    off += 2 + len;
                }
            }
            while ((m = bsv_rbuf_read(small, buf, sizeof buf)) > 0) {
                for (i64 off = 0; off < m; ++small_read) {
                    u16 len;
                    memcpy(&len, buf + off, 2);
                    off += 2 + len;
                }
            }
            if (last) break;
            std::this_thread::yield();
        }
        bsv_value_exit(v);
    });
    std::vector<std::thread> ws;
    for (int t = 0; t < kThreads; ++t)
        ws.emplace_back([&writers, t] {
            for (int s = 0; s < kEach; ++s) {
                if (s % 2)
                    LOG_WARN("w%d s%d\n", t, s);
                else
                    LOG_INFO("w%d s%d\n", t, s);
            }
            --writers;
        });
    for (auto &w : ws) w.join();
    reader.join();

    EXPECT_EQ(bad, 0);
    EXPECT_EQ(got, kThreads * kEach);
    rbuf_stat big_st, small_st;
    bsv_rbuf_stat(big, &big_st);
    bsv_rbuf_stat(small, &small_st);
    EXPECT_EQ(big_st.drop_count, 0u);
    EXPECT_EQ(small_st.write_count, small_read + small_st.drop_count);
    EXPECT_GE(small_st.write_count, (u64)kThreads * kEach);
    EXPECT_EQ(odd_read, (u64)kThreads * kEach / 2);
    EXPECT_EQ(odd_bad, 0u);
    bsv_rbuf_close(odd);
    bsv_rbuf_close(small);
    bsv_rbuf_close(big);
}

}  // namespace
