// The web debug tool over real loopback connections: its URLs, JSON
// answers, capacity and its stop while requests are in flight.
#define LOG_MOD "tst"
#define LOG_SRC "tests/libdbg/http_test"
#include "web_test_util.h"

#include <filesystem>

namespace {

using namespace webtest;

TEST_F(WebTest, PageIconMetricsAndNotFound)
{
    start();
    std::string page = httptest::get(port, "/?title=<script>");
    EXPECT_NE(page.find("HTTP/1.1 200 Output Follows\r\n"), std::string::npos);
    EXPECT_NE(page.find("<title>Test Tool</title>"), std::string::npos);
    EXPECT_NE(page.find("value=\"52718364\""), std::string::npos);
    EXPECT_NE(page.find(">t></span>"), std::string::npos);
    EXPECT_EQ(page.find("<script>\""), std::string::npos);
    EXPECT_EQ(page.find("$title"), std::string::npos);

    std::string icon = body("/favicon.ico");
    EXPECT_EQ(icon.size(), g_http_icon_size);
    EXPECT_EQ(icon.substr(1, 3), "PNG");

    EXPECT_EQ(body("/metrics"), kMetrics);
    std::string nf = httptest::get(port, "/nope");
    EXPECT_EQ(nf.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(header(nf, "Content-Length"), "109");
    EXPECT_EQ(httptest::body(nf), "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n"
                                  "<BODY><H1>The request URL was not found!</H1>\n</BODY></HTML>\n");
    EXPECT_EQ(header(nf, "X-Content-Type-Options") + header(nf, "X-Frame-Options"), "nosniffDENY");

    std::string put = httptest::raw(port, "PUT / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(put.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u) << put;
    EXPECT_EQ(header(put, "Allow"), "GET, POST");
    EXPECT_EQ(httptest::body(put), "\n<B>ERROR : Method Not Implemented</B>\n\nPUT");
}

// A "debug.html" in the working directory replaces the page: its three
// templates are expanded, and nothing of the query is.
TEST_F(WebTest, PageFromFileExpandsOnlyItsTemplates)
{
    testutil::tmp_dir dir("web");
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    FILE *f = fopen("debug.html", "w");
    ASSERT_NE(f, nullptr);
    fputs("<p>$title|$sh_psa|$token_value|$x|$</p>", f);
    fclose(f);
    start();
    EXPECT_EQ(chdir(old_cwd), 0);
    std::string page = httptest::get(port, "/?x=%3Cscript%3E&title=y");
    EXPECT_EQ(httptest::body(page), "<p>Test Tool|t>|52718364|$x|$</p>");
    EXPECT_EQ(header(page, "Content-Length"), "33");
}

TEST_F(WebTest, CommandAnswers)
{
    start();
    EXPECT_EQ(body("/cmd?token=1&command=echo%20hi"), "[{\"resp\":\"hi\\n\\u0000\"}]");
    std::string help = body("/cmd?command=help");
    EXPECT_EQ(help.rfind("[{\"resp\":\"", 0), 0u);
    EXPECT_NE(help.find("\\n"), std::string::npos);
    EXPECT_NE(help.find("\\u0000\"}]"), std::string::npos);
    EXPECT_TRUE(json_ok(help));

    // Quotes, backslashes, control and non-UTF-8 bytes stay valid JSON.
    std::string odd = body("/cmd?command=echo%20x%01%FF%C3%A9%E2%82y");
    EXPECT_TRUE(json_ok(odd)) << odd;
    EXPECT_NE(odd.find("x\\u0001\\u00FF\xC3\xA9\\u00E2\\u0082y"), std::string::npos) << odd;
    std::string quoted = body("/cmd?command=echo%20%22a%5C%5Cb%22");
    EXPECT_TRUE(json_ok(quoted)) << quoted;
    // No markup ever: a browser that takes the answer for a page runs nothing.
    EXPECT_EQ(body("/cmd?command=echo%20%3Cscript%3Ea%26b%3C/script%3E"),
              "[{\"resp\":\"\\u003cscript\\u003ea\\u0026b\\u003c/script\\u003e\\n\\u0000\"}]");

    // Comment-only: an empty reply, its end mark only.
    EXPECT_EQ(body("/cmd?command=%23x"), "[{\"resp\":\"\\u0000\"}]");

    // Refused arguments never run anything, nor another line in their place.
    EXPECT_EQ(body("/cmd?command=echo%20prev"), "[{\"resp\":\"prev\\n\\u0000\"}]");
    for (const char *t : {"/cmd", "/cmd?command=", "/cmd?command=%20%20", "/cmd?command=echo%2", "/cmd?command=a%00b"}) {
        std::string b = body(t);
        EXPECT_TRUE(json_ok(b)) << t << " " << b;
        EXPECT_NE(b.find("\"error\""), std::string::npos) << t << " " << b;
        EXPECT_EQ(b.find("prev"), std::string::npos) << t;
    }
    std::string longcmd = body("/cmd?command=echo%20" + std::string(2000, 'a'));
    EXPECT_EQ(longcmd, "[{\"resp\":\"\",\"error\":\"command too long\"}]");

    // Output beyond the answer keeps its whole lines that fit, and its last
    // line says it was cut; the JSON stays closed.
    std::string many = "/cmd?command=help";
    for (int i = 0; i < 100; ++i) many += "%3Bhelp";
    std::string big = body(many);
    EXPECT_LE(big.size(), HTTP_ANSWER_SIZE - 1);
    EXPECT_GT(big.size(), HTTP_ANSWER_SIZE - 200);
    EXPECT_TRUE(json_ok(big));
    const std::string note = "\\n... output cut at 16383 bytes\\n\\u0000\"}]";
    EXPECT_EQ(big.substr(big.size() - std::min(big.size(), note.size())), note) << big.substr(big.size() - 200);
}

TEST_F(WebTest, VariablesAndExit)
{
    start();
    std::string cfg = body("/config");
    EXPECT_TRUE(json_ok(cfg)) << cfg;
    EXPECT_NE(cfg.find("\"name\":\"log.level\""), std::string::npos);
    EXPECT_EQ(body("/update?token=1&name=log.level&value=dbg"), "{ \"success\" : true, \"msg\" : \"ok\" }");
    EXPECT_NE(body("/config").find("\"value\":\"dbg\""), std::string::npos);
    EXPECT_EQ(body("/update?name=log.level&value=info"), "{ \"success\" : true, \"msg\" : \"ok\" }");
    std::string bad = body("/update?name=log.level&value=%22loud%22");
    EXPECT_TRUE(json_ok(bad)) << bad;
    EXPECT_NE(bad.find("[\\\"loud\\\"]\\n\" }"), std::string::npos) << bad;
    EXPECT_NE(bad.find("\"success\" : false"), std::string::npos);
    EXPECT_EQ(body("/update?name=log.level&value=%3Cb%3E"),
              "{ \"success\" : false, \"msg\" : \"invalid param [\\u003cb\\u003e]\\n\" }");
    // A name or value with a control byte changes nothing.
    for (const char *t : {"/update?name=log.level%00x&value=err", "/update?name=log.level&value=err%00",
                          "/update?name=log.level&value=e%0Ar", "/update?name=log.level%7F&value=err"})
        EXPECT_EQ(body(t), "{ \"success\" : false, \"msg\" : \"name and value may not hold control characters\" }")
            << t;
    EXPECT_NE(body("/config").find("\"value\":\"info\""), std::string::npos);
    std::string none = body("/update?name=nothing&value=1");
    EXPECT_TRUE(json_ok(none)) << none;
    EXPECT_NE(none.find("nothing"), std::string::npos);
    EXPECT_TRUE(json_ok(body("/update?name=x")));

    // "exit" asks the program to stop and the server goes on serving.
    int before = g_exit_calls.load();
    EXPECT_EQ(body("/cmd?command=exit"), "[{\"resp\":\"\\u0000\"}]");
    EXPECT_EQ(g_exit_calls.load(), before + 1);
    EXPECT_EQ(body("/cmd?command=echo%20alive"), "[{\"resp\":\"alive\\n\\u0000\"}]");
}

// A stop while requests wait for their head ends them within its bound,
// and a new start serves again.
TEST_F(WebTest, StopWithRequestsInFlight)
{
    start();
    std::vector<int> held;
    for (int i = 0; i < 4; ++i) {
        int fd = httptest::dial(port);
        ASSERT_GE(fd, 0);
        httptest::send_all(fd, "GET /cmd?command=echo%20x HTTP/1.0\r\n");  // head not finished
        held.push_back(fd);
    }
    os_msleep(100);
    u64 t0 = os_mono_ms();
    dbg_http_server_stop();
    EXPECT_LT(os_mono_ms() - t0, 3000u);
    for (int fd : held) close(fd);
    port = 0;
    start();
    EXPECT_EQ(body("/cmd?command=echo%20again"), "[{\"resp\":\"again\\n\\u0000\"}]");
}

// The log view gives each record once, as valid JSON with its severity; a
// record too long for one entry is cut, not emptied.
TEST_F(WebTest, LogView)
{
    start();
    body("/log?token=52718364");  // what was queued before
    std::string empty = body("/log");
    if (empty != "[]") empty = body("/log");
    EXPECT_EQ(empty, "[]");
    EXPECT_NE(body("/cmd?command=call%20tlog").find("resp"), std::string::npos);
    std::string recs = body("/log");
    EXPECT_TRUE(json_ok(recs)) << recs;
    EXPECT_NE(recs.find("call_tlog(): log_warn\\n\",\"level\":\"warning\"}"), std::string::npos) << recs;
    EXPECT_NE(recs.find("log_error\\n\",\"level\":\"error\"}"), std::string::npos);
    EXPECT_EQ(body("/log").find("log_warn"), std::string::npos);  // given out once

    LOG_INFO("long <&\"%s\"\x01\n", std::string(3000, 'q').c_str());
    std::string longrec = body("/log");
    EXPECT_TRUE(json_ok(longrec)) << longrec.substr(0, 200);
    EXPECT_NE(longrec.find("long \\u003c\\u0026\\\"qqqq"), std::string::npos);
    EXPECT_LT(longrec.size(), 1600u);

    // Many records: each answer stays within its size, none is lost.
    for (int i = 0; i < 300; ++i) LOG_INFO("bulk record %03d with some text to fill the answer\n", i);
    int seen = 0;
    for (int round = 0; round < 20; ++round) {
        std::string part = body("/log");
        EXPECT_TRUE(json_ok(part));
        EXPECT_LT(part.size(), HTTP_ANSWER_SIZE);
        for (size_t p = part.find("bulk record "); p != std::string::npos; p = part.find("bulk record ", p + 1)) ++seen;
        if (part == "[]") break;
    }
    EXPECT_EQ(seen, 300);
    char *stat = http_log_stat();
    EXPECT_NE(stat, nullptr);
    os_free(stat);
}

// A "call" function that holds its request until released (10 s at most).
std::atomic<bool> g_release{false};
std::atomic<int> g_held{0};
int call_hold(dbgsh_srv_ctx *, int, char **)
{
    g_held++;
    for (int i = 0; i < 1000 && !g_release.load(); ++i) os_msleep(10);
    g_held--;
    return 0;
}
fvar_item g_hold = {"hold", "holds its request until released", call_hold};

// Beyond 256 requests at once a complete request waits a moment for a
// place: it gets the short 503 answer, with an err record, when none frees
// in time, and is served when one does.
TEST_F(WebTest, CapOfRequestThreads)
{
    start();
    static bool added = libsh_call_add(&g_hold) >= 0;
    ASSERT_TRUE(added);
    g_release = false;
    testutil::log_capture cap;
    std::vector<int> held;
    for (u32 i = 0; i < HTTP_MAX_REQUESTS; ++i) {
        int fd = httptest::dial(port);
        ASSERT_GE(fd, 0);
        httptest::send_all(fd, "GET /cmd?command=call%20hold HTTP/1.0\r\n\r\n");
        held.push_back(fd);
    }
    for (int i = 0; i < 1000 && g_held.load() < (int)HTTP_MAX_REQUESTS; ++i) os_msleep(10);
    EXPECT_EQ(g_held.load(), (int)HTTP_MAX_REQUESTS);
    long long t0 = httptest::now_ms();
    EXPECT_EQ(httptest::get(port, "/metrics"), httpdFixedAnswer(503));
    long long took = httptest::now_ms() - t0;
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 3000);
    for (int i = 0; i < 100 && !cap.has("web requests running"); ++i) os_msleep(10);  // logged after the answer
    EXPECT_TRUE(cap.has("256 web requests running, connection from 127.0.0.1 closed")) << cap.get();

    std::string late;
    std::thread waiter([&] { late = body("/metrics"); });
    os_msleep(300);
    g_release = true;
    waiter.join();
    EXPECT_EQ(late, "#HELP xxxx \r\nTYPE xxx\r\ng_type=0");
    for (int fd : held) {
        EXPECT_NE(httptest::read_all(fd, 5000).find("resp"), std::string::npos);
        close(fd);
    }
}

// Connections that arrive together while request threads are idle each get
// a thread: none waits behind a client that holds its thread (silent
// clients hold one for the first-byte wait, 2 s).
TEST_F(WebTest, BurstBesideIdleThreadsIsServedAtOnce)
{
    start();
    for (int round = 0; round < 5; ++round) {
        // A few request threads end their request and wait idle.
        std::vector<std::thread> warm;
        for (int i = 0; i < 4; ++i) warm.emplace_back([this] { body("/metrics"); });
        for (auto &th : warm) th.join();
        std::vector<int> silent;
        for (int i = 0; i < 8; ++i) silent.push_back(httptest::dial(port));
        int fd = httptest::dial(port);
        ASSERT_GE(fd, 0);
        long long t0 = httptest::now_ms();
        httptest::send_all(fd, "GET /metrics HTTP/1.0\r\n\r\n");
        std::string got = httptest::read_all(fd, 1900);
        long long took = httptest::now_ms() - t0;
        close(fd);
        for (int s : silent) close(s);
        EXPECT_EQ(httptest::body(got), "#HELP xxxx \r\nTYPE xxx\r\ng_type=0") << "round " << round;
        EXPECT_LT(took, 1500) << "round " << round;
    }
}

// The deepest "source" nesting runs on a request thread's stack, with every
// log record of the way formatted.
TEST_F(WebTest, DeepestSourceFitsARequestThread)
{
    start();
    testutil::tmp_dir dir("deep");
    std::string self = dir / "self";
    FILE *f = fopen(self.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "echo d\nsource %s\n", self.c_str());
    fclose(f);
    EXPECT_NE(body("/cmd?command=set%20log.level%20verb").find("resp"), std::string::npos);
    std::string b = body("/cmd?command=source%20" + self);
    body("/cmd?command=set%20log.level%20info");
    EXPECT_NE(b.find("nesting too deep"), std::string::npos) << b;
}

// A slow command of a sourced file, 2 ms each.
std::atomic<int> g_ticks{0};
fvar_item g_tick = {"tick", "takes 2 ms", [](dbgsh_srv_ctx *, int, char **) { return ++g_ticks, os_msleep(2), 0; }};

// A web "source" whose client has gone stops at its next command.
TEST_F(WebTest, SourceEndsWithItsClient)
{
    start();
    static bool added = libsh_call_add(&g_tick) >= 0;
    ASSERT_TRUE(added);
    std::string lines;
    for (int i = 0; i < 5000; ++i) lines += "call tick\n";
    std::string ticks = testutil::tmp_file("web", "ticks", lines);
    int fd = httptest::dial(port);
    httptest::send_all(fd, "GET /cmd?command=source%20" + ticks + " HTTP/1.0\r\n\r\n");
    for (int i = 0; i < 500 && g_ticks.load() < 10; ++i) os_msleep(10);
    close(fd);
    const int at = g_ticks.load();
    int last = -1;
    for (int i = 0; i < 40 && g_ticks.load() != last; ++i, os_msleep(50)) last = g_ticks.load();
    EXPECT_EQ(g_ticks.load(), last);  // it has stopped
    EXPECT_LT(last - at, 100);
    unlink(ticks.c_str());
}

// Connections that trickle their heads: each one opened sends the start of
// a head at once, then one byte every 300 ms, so that none is closed as
// silent however long opening the others takes.
struct trickle {
    std::mutex m;
    std::vector<int> fds;
    std::atomic<bool> done{false};
    std::thread th{[this] {
        while (!done.load()) {
            {
                std::lock_guard<std::mutex> g(m);
                for (int fd : fds) send(fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            for (int k = 0; k < 3 && !done.load(); ++k) os_msleep(100);
        }
    }};
    int open(int port, const std::string &src)
    {
        int fd = httptest::dial(port, src.c_str());
        if (fd < 0) return -1;
        httptest::send_all(fd, "GET /metrics HTTP/1.0\r\nX-Slow: a");
        std::lock_guard<std::mutex> g(m);
        fds.push_back(fd);
        return fd;
    }
    ~trickle()
    {
        done = true;
        th.join();
        for (int fd : fds) close(fd);
    }
};

// Heads that arrive slowly hold no request thread: beside more of them
// than requests may run at once, requests are served at once. One address
// holds at most its share of the connections whose heads are being read,
// and heads too large get their short answers.
TEST_F(WebTest, SlowHeadsHoldNoThread)
{
    NEED_OPEN_FILES(2048);  // both ends of every connection are in this process
    start();
    trickle slow;
    for (int i = 0; i < 300; ++i) ASSERT_GE(slow.open(port, "127.0.1." + std::to_string(i % 250 + 1)), 0);
    for (int i = 0; i < 5; ++i) {
        long long t0 = httptest::now_ms();
        EXPECT_EQ(body("/metrics"), "#HELP xxxx \r\nTYPE xxx\r\ng_type=0");
        EXPECT_LT(httptest::now_ms() - t0, 1000);
    }
    {
        testutil::log_capture cap;
        trickle same;
        for (u32 i = 0; i < HTTP_MAX_CONNS_PER_ADDR; ++i) ASSERT_GE(same.open(port, "127.0.2.1"), 0);
        // Their heads not there yet, they need places: refused, one record
        // at once, the other two told late.
        for (int k = 0; k < 3; ++k) {
            int more = httptest::dial(port, "127.0.2.1");
            EXPECT_EQ(httptest::read_all(more, 3000), httpdFixedAnswer(503));
            close(more);
        }
        EXPECT_TRUE(cap.has(" (1 refused since the last record)")) << cap.get();
        for (int i = 0; i < 400 && !cap.has("2 web connections refused with 503 since the last record\n"); ++i)
            os_msleep(10);
        EXPECT_TRUE(cap.has("2 web connections refused with 503 since the last record\n")) << cap.get();
        EXPECT_EQ(httptest::body(httptest::raw(port, "GET /metrics HTTP/1.0\r\n\r\n", "127.0.2.2")),
                  "#HELP xxxx \r\nTYPE xxx\r\ng_type=0");
    }
    EXPECT_EQ(httptest::raw(port, "GET /metrics HTTP/1.0\r\n" + std::string(70000, 'h')), httpdFixedAnswer(431));
    EXPECT_EQ(httptest::raw(port, "GET /" + std::string(70000, 'u')), httpdFixedAnswer(414));
}

// A full table of connections being read makes room for a new one by
// answering the head that has been arriving longest with 503.
TEST_F(WebTest, FullTableGivesUpTheOldestHead)
{
    NEED_OPEN_FILES(2560);  // both ends of a full table's connections
    start();
    trickle heads;
    int oldest = heads.open(port, "127.0.3.1");
    ASSERT_GE(oldest, 0);
    os_msleep(20);  // the oldest by far
    for (u32 i = 1; i < HTTP_MAX_CONNS; ++i) ASSERT_GE(heads.open(port, "127.0.3." + std::to_string(i % 8 + 1)), 0);
    // A client that connects and only then sends its head needs a place in
    // the table.
    int late = httptest::dial(port);
    os_msleep(300);
    httptest::send_all(late, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(httptest::body(httptest::read_all(late, 3000)), "#HELP xxxx \r\nTYPE xxx\r\ng_type=0");
    close(late);
    EXPECT_EQ(httptest::read_all(oldest, 2000), httpdFixedAnswer(503));
}

// The counts per address stay exact while addresses come and go in any
// order, however their entries collide in the table.
TEST(AddrCounts, ExactThroughCollisionsAndRemovals)
{
    addr_counts t;
    ASSERT_EQ(addr_counts_init(&t, 64), 0);
    std::vector<os_ipaddr> peers;
    for (int i = 0; i < 32; ++i) {
        os_ipaddr a;
        os_ipaddr_clear(&a);
        a.family = OS_IPADDR_FAMILY_IPV4 | OS_IPADDR_IP_FLAG;
        a.u.ipv4.addr[0] = 10;
        a.u.ipv4.addr[3] = (u8)i;
        peers.push_back(a);
    }
    std::vector<u32> want(peers.size());
    u32 seed = 7;
    for (int step = 0; step < 5000; ++step) {
        seed = seed * 1103515245 + 12345;
        size_t k = (seed >> 8) % peers.size();
        if ((seed >> 20) % 3 && want[k] < 3) {
            addr_counts_add(&t, &peers[k]);
            want[k]++;
        } else if (want[k]) {
            addr_counts_remove(&t, &peers[k]);
            want[k]--;
        }
        for (size_t j = 0; j < peers.size(); ++j) ASSERT_EQ(addr_counts_get(&t, &peers[j]), want[j]) << step;
    }
    addr_counts_exit(&t);
}

// Open descriptors of this process.
int open_fds()
{
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return (int)std::distance(begin(fds), end(fds));
}

// Two starts at once: one serves, the other is refused as already running,
// and each stop closes all that its start opened: nothing listens on the
// port afterwards, and the cycles leave no descriptor behind.
TEST_F(WebTest, StartStopConcurrency)
{
    debug_http_server_set_param(&p);
    testutil::log_capture cap;
    int base = -1, served = 0;
    for (int round = 0; round < 30; ++round) {
        const int want = testutil::free_port();
        std::atomic<int> ready{0};
        int rc[2] = {-1, -1};
        auto starter = [&](int k) {
            ready++;
            while (ready.load() < 2) std::this_thread::yield();
            rc[k] = debug_http_server_init("127.0.0.1", want);
        };
        std::thread a(starter, 0), b(starter, 1);
        a.join();
        b.join();
        const int started = (rc[0] == 0) + (rc[1] == 0);
        EXPECT_LE(started, 1) << "round " << round;
        served += started;
        dbg_http_server_stop();
        int fd = httptest::dial(want);
        EXPECT_LT(fd, 0) << "round " << round << ": a listener was left";
        if (fd >= 0) close(fd);
        if (round == 0)  // once the first run's threads have let go of it
            for (int i = 0; i < 60 && base != open_fds(); ++i, os_msleep(50)) base = open_fds();
    }
    EXPECT_GE(served, 25);  // a port another program took in between starts nothing
    EXPECT_TRUE(cap.has("web server already running")) << cap.get().substr(0, 500);
    int now = open_fds();
    for (int i = 0; i < 300 && now > base; ++i, os_msleep(10)) now = open_fds();
    EXPECT_LE(now, base);
}

// Many clients at once while commands run and variables change.
TEST_F(WebTest, RequestsConcurrency)
{
    start();
    std::atomic<int> ok{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t) {
        ts.emplace_back([this, t, &ok] {
            for (int i = 0; i < 25; ++i) {
                std::string b = t % 4 == 3 ? body("/update?name=log.level&value=info") : body("/cmd?command=echo%20c");
                if (b.find(t % 4 == 3 ? "true" : "c\\n") != std::string::npos) ok++;
            }
        });
    }
    for (auto &th : ts) th.join();
    EXPECT_EQ(ok.load(), 200);
}

}  // namespace
