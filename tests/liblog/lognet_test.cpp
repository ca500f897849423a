#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include <poll.h>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "common/log_capture.h"
#include "common/text_match.h"
#include "common/udp_collector.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "liblog/logfile_util.h"
#include "liblog/lognet.h"
#include "liblog/lognet_tx.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"

namespace {

// A loopback socket of the given type bound to a free port.
struct peer {
    int port = 0;
    int fd;
    explicit peer(int type) : fd(testutil::bind_loopback(type, &port))
    {
        if (type == SOCK_STREAM) listen(fd, 4);
    }
    ~peer() { close(fd); }
    // One datagram, or what one stream delivers within ms.
    static std::string recv_from(int fd, int ms)
    {
        std::string out;
        char buf[4096];
        u64 end = os_mono_ms() + (u64)ms;
        for (;;) {
            u64 now = os_mono_ms();
            if (now >= end) break;
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, (int)(end - now)) <= 0) break;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, (size_t)n);
        }
        return out;
    }
    std::string datagram(int ms = 2000)
    {
        char buf[4096];
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return "";
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, (size_t)n) : "";
    }
};

std::string url_of(const char *scheme, int port)
{
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
}

// The records among what a peer got (all), each whole, and in *noted the
// drops that the notes among them tell.
int records_of(const std::string &all, const std::string &url, u64 *noted)
{
    int records = 0;
    size_t at = 0;
    for (size_t z; (z = all.find('\0', at)) != std::string::npos; at = z + 1) {
        std::string m = all.substr(at, z - at);
        unsigned n = 0;
        if (testutil::text_like(m.c_str(), "<14>{*} tmod[{d}]: {*}\n")) {
            ++records;
        } else if (sscanf(m.c_str(), "<12>%*[^]]]: %u log records dropped: syslog", &n) == 1) {
            EXPECT_TRUE(testutil::text_like(m.c_str(), ("<12>{*} tag[{d}]: {d} log records dropped: syslog " + url +
                                                        " could not take them ({*})\n").c_str()))
                << m;
            *noted += n;
        } else {
            ADD_FAILURE() << "not a whole message: " << m.substr(0, 100);
        }
    }
    EXPECT_EQ(at, all.size()) << "a message cut at the end";
    return records;
}

struct Syslog : testing::Test {
    logtest::quiet_ctx q;
    void open(const std::string &url)
    {
        ASSERT_EQ(log2_ioctl(q.c, LOG_IOC_SYSLOG_URL, (intptr_t)url.c_str(), 0), 0);
        ASSERT_EQ(log2_ioctl(q.c, LOG_IOC_SYSLOG_ON, 1, 0), 0);
    }
};

TEST(SyslogCodes, NamesNumbersAndLevels)
{
    EXPECT_EQ(syslog_code_get("LOCAL3", syslog_facility_tab), 152);
    EXPECT_EQ(syslog_code_get("8", syslog_facility_tab), 8);
    EXPECT_EQ(syslog_code_get("8x", syslog_facility_tab), -1);
    EXPECT_EQ(syslog_code_get("9", syslog_facility_tab), -1);
    EXPECT_EQ(syslog_code_get("", syslog_facility_tab), -1);
    EXPECT_EQ(syslog_code_get(nullptr, syslog_facility_tab), -1);
    EXPECT_EQ(syslog_code_get("Warning", syslog_priority_tab), 4);
    EXPECT_EQ(syslog_code_get("nosuch", syslog_priority_tab), -1);
    EXPECT_STREQ(syslog_level_name(3), "error");
    EXPECT_STREQ(syslog_level_name(7), "debug");
    EXPECT_STREQ(syslog_level_name(8), "debug");
    EXPECT_STREQ(syslog_level_name(9), "debug");
    EXPECT_STREQ(syslog_level_name(255), "debug");
}

TEST(SyslogFormat, FieldsCutsAndTimePrefix)
{
    logtest::quiet_ctx q;
    q.c->flags.store(LOG_F_TIME | LOG_F_TID);
    char out[1536];
    int n = syslog_format(q.c, "user.error", "tmod", "12:34:56 [77] fn(): boom\n", out, sizeof out);
    ASSERT_GT(n, 0);
    std::string want = "<11>{*} {dd}:{dd}:{dd} {*} tmod[" + std::to_string(os_getpid()) + "]: [77] fn(): boom\n";
    EXPECT_TRUE(testutil::text_like(out, want.c_str())) << out;
    EXPECT_EQ(std::string(out).find('>') + 16, std::string(out).find(' ', std::string(out).find(':') + 6));
    // Time with milliseconds: 13 characters go; no time: nothing goes.
    q.c->flags.store(LOG_F_TIME_MS);
    syslog_format(q.c, "user.debug", nullptr, "12:34:56.789 msg\n", out, sizeof out);
    EXPECT_TRUE(testutil::text_like(out, "<15>{*} <someone>[{d}]: msg\n")) << out;
    q.c->flags.store(0);
    syslog_format(q.c, "local3.bogus", "", "ab", out, sizeof out);
    EXPECT_TRUE(testutil::text_like(out, "<-1>{*}: ab")) << out;
    syslog_format(q.c, "notice", "t", "ab", out, sizeof out);
    EXPECT_EQ(std::string(out).rfind("<13>", 0), 0u);
    // Tag 64 and message 800 characters at most; the whole in 1535.
    std::string tag(100, 'T'), msg(2000, 'm');
    n = syslog_format(q.c, "user.info", tag.c_str(), msg.c_str(), out, sizeof out);
    std::string s(out);
    EXPECT_NE(s.find(std::string(64, 'T') + "["), std::string::npos);
    EXPECT_EQ(s.find(std::string(65, 'T')), std::string::npos);
    EXPECT_EQ(s.size() - s.find(": ") - 2, 800u);
    char small[40];
    n = syslog_format(q.c, "user.info", "t", msg.c_str(), small, sizeof small);
    EXPECT_EQ(n, 39);
    EXPECT_EQ(strlen(small), 39u);
}

// The hand-made message of the crash report: ctime's stamp (day padded with
// a blank), the PRI as a signed number, the time prefix skipped.
TEST(SyslogFormat, ComposedByHandAsTheFormatterWouldWriteIt)
{
    struct tm tm = {};
    tm.tm_mon = 1;
    tm.tm_mday = 3;
    tm.tm_hour = 4;
    tm.tm_min = 5;
    tm.tm_sec = 6;
    char out[1536];
    size_t n = syslog_compose(out, sizeof out, 10, &tm, "pal", 42, "12:34:56 [7] x\n", LOG_F_TIME);
    EXPECT_EQ(n, strlen(out));
    EXPECT_TRUE(testutil::text_like(out, "<10>Feb  3 04:05:06 {*} pal[42]: [7] x\n")) << out;
    tm.tm_mon = 11;
    tm.tm_mday = 25;
    syslog_compose(out, sizeof out, -1, &tm, "", 7, "m", 0);
    EXPECT_TRUE(testutil::text_like(out, "<-1>Dec 25 04:05:06 {*} <someone>[7]: m")) << out;
    EXPECT_EQ(syslog_compose(out, 12, 10, &tm, "pal", 42, "m", 0), 11u);
    EXPECT_STREQ(out, "<10>Dec 25 ");
}

TEST_F(Syslog, UdpRecordsCarrySeverityTagAndNul)
{
    peer rx(SOCK_DGRAM);
    open(url_of("udp", rx.port));
    q.c->flags.store(LOG_F_TIME | LOG_F_TID);
    log2_printf(q.c, 3, "tmod", "f", 1, "fn", "an error %d\n", 42);
    std::string d = rx.datagram();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back(), '\0');
    std::string want = "<11>{*} tmod[{d}]: [" + std::to_string(os_gettid()) + "] an error 42\n";
    EXPECT_TRUE(testutil::text_like(d.c_str(), want.c_str())) << d;
    log2_printf(q.c, 8, "tmod", "f", 1, "fn", "verbose\n");
    log2_printf(q.c, 7, "tmod", "f", 1, "fn", "debug\n");
    EXPECT_EQ(rx.datagram().rfind("<15>", 0), 0u);
    EXPECT_EQ(rx.datagram().rfind("<15>", 0), 0u);
    char *dump = log_info_dump(q.c);
    EXPECT_NE(std::string(dump).find("log_syslog_enale_out=1\nlog_syslog_url=" + url_of("udp", rx.port)),
              std::string::npos);
    os_free(dump);
}

TEST_F(Syslog, TcpSendsEveryMessageWholeWithItsNul)
{
    peer lst(SOCK_STREAM);
    open(url_of("TCP", lst.port));
    EXPECT_EQ(q.c->net.transport, LOG_NET_STREAM);
    std::string big(700, 'q');
    for (int i = 0; i < 200; ++i) log2_printf(q.c, 6, "tmod", "f", 1, "fn", "%d %s\n", i, big.c_str());
    int fd = accept(lst.fd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    std::string all = peer::recv_from(fd, 500);
    close(fd);
    std::vector<std::string> msgs;
    size_t at = 0;
    for (size_t z; (z = all.find('\0', at)) != std::string::npos; at = z + 1) msgs.push_back(all.substr(at, z - at));
    ASSERT_EQ(msgs.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_TRUE(testutil::text_like(msgs[i].c_str(), ("<14>{*} tmod[{d}]: " + std::to_string(i) + " q{*}\n").c_str()))
            << msgs[i].substr(0, 80);
}

// The crash report's form sends on the connection the output has open, the
// message whole with its NUL; without one it connects to nothing.
TEST_F(Syslog, CrashFormUsesTheOpenConnectionOnly)
{
    peer lst(SOCK_STREAM);
    open(url_of("tcp", lst.port));
    struct tm tm = {};
    tm.tm_mday = 9;
    EXPECT_EQ(log_net_write_safe(q.c, 2 | LOG_OPT_NOEXIT, "pal", "early\n", &tm), 0);
    struct pollfd p = {lst.fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0) << "no connection is made";
    log2_printf(q.c, 6, "tmod", "f", 1, "fn", "first\n");
    int fd = accept(lst.fd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_GT(log_net_write_safe(q.c, 2 | LOG_OPT_NOEXIT, "pal", "signo=11\n", &tm), 0);
    std::string all = peer::recv_from(fd, 300);
    close(fd);
    size_t z = all.find('\0');
    ASSERT_NE(z, std::string::npos) << all;
    std::string want = "<10>Jan  9 00:00:00 {*} pal[" + std::to_string(getpid()) + "]: signo=11\n";
    EXPECT_TRUE(testutil::text_like(all.substr(z + 1).c_str(), want.c_str())) << all;
    EXPECT_EQ(all.back(), '\0');
}

TEST_F(Syslog, ReceiverThatIsNotThereCostsOneBoundedAttemptPerPause)
{
    int port = testutil::free_port();
    open(url_of("tcp", port));
    testing::internal::CaptureStderr();
    // Records wait for the first attempt; once it is refused they are
    // dropped at once until the pause is over.
    u64 t0 = os_mono_ms();
    while (log_net_write(q.c, 6, "tmod", "lost\n", 5) >= 0 && os_mono_ms() - t0 < 3000) usleep(1000);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(log_net_write(q.c, 6, "tmod", "lost\n", 5), -1);
    u64 took = os_mono_ms() - t0;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(took, 1500u);
    // One refused attempt, then the pause: the message, with its reason,
    // appears once.
    std::string said = "connect: Connection refused\nfailed to connect to 127.0.0.1 port " + std::to_string(port);
    size_t first = err.find(said + "\n");
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("failed to connect", first + said.size()), std::string::npos) << err;
    // A receiver that comes up is reached once the pause is over.
    peer back(SOCK_STREAM);
    open(url_of("tcp", back.port));
    log2_printf(q.c, 6, "tmod", "f", 1, "fn", "found\n");
    int fd = accept(back.fd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_NE(peer::recv_from(fd, 300).find("found\n"), std::string::npos);
    // It resets the connection: what fills the buffer while the next one
    // waits for its pause is told with that reason, not as records that
    // found no connection yet.
    struct linger off = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    close(fd);
    std::string big(700, 'r'), all;
    for (int i = 0; i < 9000; ++i) log2_printf(q.c, 6, "tmod", "f", 1, "fn", "%d %s\n", i, big.c_str());
    struct pollfd p = {back.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    fd = accept(back.fd, nullptr, nullptr);
    for (t0 = os_mono_ms(); all.find("after\n") == std::string::npos && os_mono_ms() - t0 < 10000;) {
        log2_printf(q.c, 6, "tmod", "f", 1, "fn", "after\n");
        all += peer::recv_from(fd, 20);
    }
    close(fd);
    EXPECT_NE(all.find(" could not take them (Connection reset by peer)\n"), std::string::npos) << all.substr(0, 300);
    EXPECT_EQ(all.find("no connection stood yet"), std::string::npos);
}

// Four threads log while the peer holds the connection and reads nothing:
// no record waits for it, what does not fit is dropped whole and counted,
// and once it reads, a warn note says how many before the next record. The
// records received and the counts add up to all that was logged.
TEST_F(Syslog, ConcurrencyStalledPeerStallsNoRecordAndEveryDropIsCounted)
{
    peer lst(SOCK_STREAM);
    int small = 4096;
    setsockopt(lst.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    open(url_of("tcp", lst.port));
    std::atomic<int> logged{1};
    log2_printf(q.c, 6, "tmod", "f", 1, "fn", "first\n");
    int fd = accept(lst.fd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStderr();
    auto bytes = [] { return os_malloc_detail::g_ctr.bytes.load(); };
    auto grown = [&, before = bytes()] { return bytes() - before; };
    std::atomic<u64> worst{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            std::string big(700, 's');
            for (int i = 0; i < 3000; ++i) {
                u64 t0 = os_mono_ms();
                log2_printf(q.c, 6, "tmod", "f", 1, "fn", "%d %s\n", i, big.c_str());
                u64 d = os_mono_ms() - t0, w = worst.load();
                while (d > w && !worst.compare_exchange_weak(w, d)) {
                }
                ++logged;
            }
        });
    for (auto &t : ts) t.join();
    EXPECT_LT(worst.load(), 500u);
    // The buffer grew for them (some MiB) while the sender lagged.
    EXPECT_GE(grown(), 2 * 1024 * 1024);
    // The peer reads again: records go on until one gets through.
    std::string all;
    u64 t0 = os_mono_ms();
    while (all.find("last\n") == std::string::npos && os_mono_ms() - t0 < 10000) {
        log2_printf(q.c, 6, "tmod", "f", 1, "fn", "last\n");
        ++logged;
        all += peer::recv_from(fd, 20);
    }
    // It read all: the buffer gives the memory back.
    for (t0 = os_mono_ms(); grown() > (i64)LOG_NET_TX_CHUNK && os_mono_ms() - t0 < 5000;) usleep(1000);
    EXPECT_LE(grown(), (i64)LOG_NET_TX_CHUNK);
    log_net_stop(&q.c->net, 2000);
    all += peer::recv_from(fd, 2000);
    close(fd);
    log_net_close(&q.c->net);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("syslog_write " + url_of("tcp", lst.port) + " err: the peer takes records too slowly"),
              std::string::npos) << err;
    u64 noted = 0;
    int records = records_of(all, url_of("tcp", lst.port), &noted);
    EXPECT_GT(noted, 0u);
    u64 counted = (u32)__atomic_load_n(&q.c->net.file_note, __ATOMIC_RELAXED);
    EXPECT_GE(counted, noted);
    EXPECT_EQ((u64)records + counted, (u64)logged.load());
}

// While nothing reads the UDP port the system refuses the datagrams, and
// says so at a later send: each refusal is counted, and once a reader of
// the port is there, a note of them goes before a later record. What
// arrived and what was counted (the last counts are handed to the file at
// the close) add up to all that was logged.
TEST_F(Syslog, UdpRefusedDatagramsAreCountedAndTold)
{
    int port = testutil::free_port(), logged = 0;
    open(url_of("udp", port));
    testing::internal::CaptureStderr();
    for (; logged < 40; ++logged, usleep(2000)) log2_printf(q.c, 6, "tmod", "f", 1, "fn", "refused %d\n", logged);
    peer rx(SOCK_DGRAM);
    struct sockaddr_in a = {AF_INET, htons((u16)port), {htonl(INADDR_LOOPBACK)}, {}};
    close(rx.fd);
    rx.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(rx.fd, (sockaddr *)&a, sizeof a), 0) << "the port was taken meanwhile";
    // The sender may still be at the refused ones: records go on until
    // the note comes.
    std::string all;
    size_t note = std::string::npos;
    for (u64 t0 = os_mono_ms(); note == std::string::npos && os_mono_ms() - t0 < 5000; ++logged) {
        log2_printf(q.c, 6, "tmod", "f", 1, "fn", "found\n");
        all += peer::recv_from(rx.fd, 20);
        note = all.find("log records dropped: syslog");
    }
    log_net_stop(&q.c->net, 1000);
    all += peer::recv_from(rx.fd, 200);
    log_net_close(&q.c->net);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(note, std::string::npos) << all.substr(0, 200);
    size_t from = all.rfind('\0', note);
    from = from == std::string::npos ? 0 : from + 1;
    EXPECT_TRUE(testutil::text_like(all.c_str() + from, "<12>{*} tag[{d}]: {d} log records dropped: syslog {*} could not "
                                                        "take them (Connection refused)\n"))
        << all.substr(from, 200);
    u64 noted = 0;
    int records = records_of(all, url_of("udp", port), &noted);
    EXPECT_EQ((u64)records + (u32)q.c->net.file_note, (u64)logged);
}

// Two threads set the URL at once while a third stops and closes the
// output as the log's close does, and a fourth logs: each sender is
// stopped and freed once (ASan and TSan watch), and a URL set afterwards
// sends again.
TEST_F(Syslog, ConcurrencyUrlChangesAndClosesLetEachSenderGoOnce)
{
    peer a(SOCK_DGRAM), b(SOCK_DGRAM);
    const std::string urls[2] = {url_of("udp", a.port), url_of("udp", b.port)};
    open(urls[0]);
    std::atomic<int> setting{2};
    std::vector<std::thread> ts;
    for (int t = 0; t < 2; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) log2_ioctl(q.c, LOG_IOC_SYSLOG_URL, (intptr_t)urls[(i + t) % 2].c_str(), 0);
            --setting;
        });
    ts.emplace_back([&] {
        for (int i = 0; setting.load(); ++i) {
            log_net_stop(&q.c->net, i % 2);
            log_output_lock g(q.c);
            if (i % 8 == 0) log_net_close(&q.c->net);
        }
    });
    ts.emplace_back([&] {
        while (setting.load()) log2_printf(q.c, 6, "tmod", "f", 1, "fn", "busy\n");
    });
    for (auto &t : ts) t.join();
    open(urls[1]);
    while (!b.datagram(0).empty()) {
    }
    log2_printf(q.c, 6, "tmod", "f", 1, "fn", "after\n");
    EXPECT_NE(b.datagram().find("after\n"), std::string::npos);
}

TEST_F(Syslog, BadUrlLeavesTheOutputClosed)
{
    testutil::log_capture cap;
    std::string url(9000, 'x');
    url = "udp://" + url;
    log_net_state *st = &q.c->net;
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_net_open(st, url.c_str()), -1);
    EXPECT_EQ(st->state, 0);
    EXPECT_STREQ(log_net_get(st)->url, "");
    EXPECT_EQ(log_net_write(q.c, 6, "m", "x\n", 2), 0);
    // Without a scheme the text is a path: nothing to send to. The value
    // stays shown as configured.
    EXPECT_EQ(log_net_open(st, "127.0.0.1"), -1);
    EXPECT_EQ(st->state, 0);
    EXPECT_STREQ(st->url, "127.0.0.1");
    EXPECT_EQ(log_net_write(q.c, 6, "m", "x\n", 2), 0);
    // A port above 65535 is refused, not wrapped round.
    EXPECT_EQ(log_net_open(st, "udp://127.0.0.1:96536"), -1);
    EXPECT_EQ(st->state, 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("test_liblog: syslog udp://xxx"), std::string::npos) << err;
    EXPECT_NE(err.find("test_liblog: syslog 127.0.0.1: not a URL (udp://host[:port] or tcp://host[:port])\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("test_liblog: syslog udp://127.0.0.1:96536: port 96536 out of range (0..65535), syslog off\n"),
              std::string::npos);
    EXPECT_EQ(log_net_open(st, "udp://127.0.0.1:65535"), 0);
    EXPECT_EQ(st->port, 65535);
    EXPECT_EQ(log_net_open(st, "udp://127.0.0.1"), 0);
    EXPECT_EQ(st->port, 0);
    EXPECT_EQ(st->transport, LOG_NET_DGRAM);
    EXPECT_NE(st->tx, nullptr);
    EXPECT_EQ(log_net_close(st), 0);
}

TEST_F(Syslog, HostThatDoesNotResolveIsToldByTheCheckOnly)
{
    open("udp://bad..name:514");
    testing::internal::CaptureStderr();
    u64 t0 = os_mono_ms();
    EXPECT_EQ(log_net_check(q.c, 1000), -1);
    EXPECT_LT(os_mono_ms() - t0, 1500u);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(testutil::text_like(err.c_str(), "test_liblog: syslog udp://bad..name:514: host bad..name does "
                                                 "not resolve ({*})\n"))
        << err;
    // The output stays on for a name that may resolve later; a host that
    // resolves and a closed output say nothing.
    EXPECT_EQ(q.c->net.state, 1);
    peer lst(SOCK_DGRAM);
    open(url_of("udp", lst.port));
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_net_check(q.c, 1000), 0);
    log_net_close(&q.c->net);
    EXPECT_EQ(log_net_check(q.c, 1000), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
