#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "libnet/libnet.h"
#include "libnet/sock_proxy.h"
#include "libpal/env/os_time.h"
#include "libpal/net_test_util.h"
#include "libpal/string/str_base64.h"

extern char **environ;

namespace {

using nettest::log_capture;

// ---- the proxies of proxy_peer.py ------------------------------------------

// Runs proxy_peer.py (beside this file) for the whole suite; it ends when
// its standard input closes.
struct python_peers {
    pid_t pid = -1;
    int in_fd = -1;
    std::map<std::string, int> ports;
    std::string error;

    python_peers()
    {
        std::string script = __FILE__;
        script = script.substr(0, script.rfind('/') + 1) + "proxy_peer.py";
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            error = "pipe failed";
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        char *argv[] = {(char *)"python3", (char *)script.c_str(), nullptr};
        int r = posix_spawnp(&pid, "python3", &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        in_fd = in[1];
        if (r != 0) {
            pid = -1;
            error = "python3 cannot be started";
            close(out[0]);
            return;
        }
        // One JSON line of ports, e.g. {"echo": 41234, "http": 41235}.
        std::string line;
        u64 deadline = os_mono_ms() + 20000;
        while (line.find('\n') == std::string::npos && os_mono_ms() < deadline) {
            struct pollfd p = {out[0], POLLIN, 0};
            if (poll(&p, 1, 500) <= 0) continue;
            char buf[512];
            ssize_t k = read(out[0], buf, sizeof buf);
            if (k <= 0) break;
            line.append(buf, (size_t)k);
        }
        close(out[0]);
        for (size_t i = 0; (i = line.find('"', i)) != std::string::npos;) {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos) break;
            std::string key = line.substr(i + 1, end - i - 1);
            size_t colon = line.find(':', end);
            if (colon == std::string::npos) break;
            ports[key] = atoi(line.c_str() + colon + 1);
            i = colon;
        }
        if (!ports.count("socks5_auth")) error = "proxy_peer.py did not start: [" + line + "]";
    }
    ~python_peers()
    {
        if (in_fd >= 0) close(in_fd);
        if (pid > 0) {
            for (int i = 0; i < 100; ++i) {
                if (waitpid(pid, nullptr, WNOHANG) == pid) return;
                os_msleep(20);
            }
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

python_peers *g_peers = nullptr;

class ProxyPeers : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { g_peers = new python_peers; }
    static void TearDownTestSuite()
    {
        delete g_peers;
        g_peers = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(g_peers->error.empty()) << g_peers->error; }
    static int port(const char *name) { return g_peers->ports[name]; }
};

sock_opt proxy_opt(u32 type, int port, const char *user = "", const char *passwd = "", u32 timeout = 5000)
{
    sock_opt o = {};
    o.timeout = timeout;
    o.proxy.type = type;
    snprintf(o.proxy.host, sizeof o.proxy.host, "127.0.0.1");
    o.proxy.port = (u32)port;
    snprintf(o.proxy.user, sizeof o.proxy.user, "%s", user);
    snprintf(o.proxy.passwd, sizeof o.proxy.passwd, "%s", passwd);
    return o;
}

// Talks to the echo server through the tunnel with a net handle.
void expect_echo(u64 s, const std::string &what)
{
    ASSERT_NE(s, 0u) << what;
    net n = {};
    n.type = NET_TYPE_SOCK;
    n.transport = s;
    n.timeout = 5000;
    std::string msg = "hello through " + what;
    EXPECT_EQ(net_write(&n, msg.data(), msg.size()), (int)msg.size());
    char buf[128] = {};
    EXPECT_EQ(net_read(&n, buf, msg.size()), (int)msg.size()) << what;
    EXPECT_EQ(std::string(buf), msg);
    net_close(&n);
}

TEST_F(ProxyPeers, EveryHandshakeReachesTheTarget)
{
    struct route {
        u32 type;
        const char *proxy, *user, *passwd, *target;
    };
    const route routes[] = {
        {SOCK_PROXY_HTTP, "http", "", "", "127.0.0.1"},
        {SOCK_PROXY_HTTP, "http", "", "", "echo.test"},
        {SOCK_PROXY_HTTP, "http_auth", "alice", "s3cret", "127.0.0.1"},
        {SOCK_PROXY_SOCKS4, "socks4", "", "", "127.0.0.1"},
        {SOCK_PROXY_SOCKS4, "socks4", "someone", "", "127.0.0.1"},
        {SOCK_PROXY_SOCKS4, "socks4", "", "", "255.255.255.255"},  // the SOCKS4a form
        {SOCK_PROXY_SOCKS5, "socks5", "", "", "127.0.0.1"},
        {SOCK_PROXY_SOCKS5, "socks5", "", "", "echo.test"},
        {SOCK_PROXY_SOCKS5, "socks5_auth", "alice", "s3cret", "127.0.0.1"},
    };
    for (const route &r : routes) {
        sock_opt o = proxy_opt(r.type, port(r.proxy), r.user, r.passwd);
        os_err err = {};
        u64 s = sock_tcp_connect(r.target, port("echo"), &o, &err);
        std::string what = std::string(r.proxy) + " to " + r.target;
        expect_echo(s, what);
        EXPECT_EQ(o.proxy.type, r.type);  // the caller's options are untouched
    }
    if (port("echo6")) {
        for (auto [type, name] : {std::pair{SOCK_PROXY_HTTP, "http"}, std::pair{SOCK_PROXY_SOCKS5, "socks5"}}) {
            sock_opt o = proxy_opt(type, port(name));
            expect_echo(sock_tcp_connect("::1", port("echo6"), &o, nullptr), std::string(name) + " to ::1");
        }
    }
}

TEST_F(ProxyPeers, RefusalsCarryTheirTexts)
{
    int closed = 0;
    {
        int fd = nettest::listen_loopback(1, &closed);
        close(fd);
    }
    struct refusal {
        u32 type;
        const char *proxy, *user, *passwd;
        int target_port;
        int code;
        const char *text;
    };
    const refusal cases[] = {
        {SOCK_PROXY_HTTP, "http_auth", "", "", 0, -1, "proxy user or pwd error"},
        {SOCK_PROXY_HTTP, "http_auth", "alice", "wrong", 0, -1, "proxy user or pwd error"},
        {SOCK_PROXY_HTTP, "http", "", "", closed, -1, "proxy read return error"},  // 502
        {SOCK_PROXY_SOCKS4, "socks4", "", "", closed, -1, "proxy read return error"},
        {SOCK_PROXY_SOCKS5, "socks5", "", "", closed, -1, "Connection refused!"},
        {SOCK_PROXY_SOCKS5, "socks5_auth", "", "", 0, -2, "Proxy read return error"},
        {SOCK_PROXY_SOCKS5, "socks5_auth", "alice", "wrong", 0, -2, "Proxy password or user name error"},
        {SOCK_PROXY_SOCKS5, "socks5", "bob", "pw", 0, 0, nullptr},  // method 0 chosen: no sub-negotiation
    };
    int fds = nettest::fd_count();
    for (const refusal &c : cases) {
        sock_opt o = proxy_opt(c.type, port(c.proxy), c.user, c.passwd);
        os_err err = {};
        u64 s = sock_tcp_connect("127.0.0.1", c.target_port ? c.target_port : port("echo"), &o, &err);
        std::string what = std::string(c.proxy) + " user=" + c.user;
        if (!c.text) {
            expect_echo(s, what);
            continue;
        }
        EXPECT_EQ(s, 0u) << what;
        EXPECT_EQ(err.code, c.code) << what;
        EXPECT_STREQ(os_err_str(&err), c.text) << what;
    }
    EXPECT_EQ(nettest::fd_count(), fds);  // every refused socket was closed

    // A proxy that cannot be reached leaves the connect's own reason.
    sock_opt o = proxy_opt(SOCK_PROXY_SOCKS5, closed);
    os_err err = {};
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", port("echo"), &o, &err), 0u);
    EXPECT_EQ(err.code, ECONNREFUSED);
    EXPECT_EQ(std::string(os_err_str(&err)).rfind("connect 127.0.0.1:" + std::to_string(closed), 0), 0u);
}

// ---- scripted proxies for exact bytes and bad replies ---------------------

// One connection, served by a script of steps: read a request part (a byte
// count, or up to a terminator), then answer. Keeps what it read.
struct scripted_peer {
    struct step {
        size_t want = 0;    // bytes to read first
        std::string until;  // or: read up to and including this text
        std::string reply;
        int drip_ms = 0;    // > 0: the reply goes out one byte per drip_ms
    };
    int lfd = -1;
    int port = 0;
    std::string got;
    std::thread th;

    explicit scripted_peer(std::vector<step> steps, int hold_ms = 5000)
    {
        lfd = nettest::listen_loopback(4, &port);
        th = std::thread([this, steps, hold_ms] { run(steps, hold_ms); });
    }
    ~scripted_peer() { finish(); }
    // Waits for the script to end; afterwards got is stable.
    const std::string &finish()
    {
        if (th.joinable()) th.join();
        if (lfd >= 0) close(lfd);
        lfd = -1;
        return got;
    }

  private:
    static bool readable(int fd, int ms)
    {
        struct pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    void run(const std::vector<step> &steps, int hold_ms)
    {
        if (!readable(lfd, 5000)) return;
        int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        for (const step &s : steps) {
            std::string part;
            while (s.until.empty() ? part.size() < s.want : part.find(s.until) == std::string::npos) {
                char ch;
                if (!readable(c, 3000) || recv(c, &ch, 1, 0) != 1) break;
                part += ch;
            }
            got += part;
            if (s.drip_ms <= 0) {
                if (!s.reply.empty()) send(c, s.reply.data(), s.reply.size(), MSG_NOSIGNAL);
                continue;
            }
            for (char ch : s.reply) {
                if (send(c, &ch, 1, MSG_NOSIGNAL) != 1) break;
                os_msleep((u64)s.drip_ms);
            }
        }
        // Hold the connection until the client closes it.
        u64 end = os_mono_ms() + (u64)hold_ms;
        char buf[4096];
        while (os_mono_ms() < end) {
            if (!readable(c, 50)) continue;
            ssize_t k = recv(c, buf, sizeof buf, 0);
            if (k <= 0) break;
            got.append(buf, (size_t)k);
        }
        close(c);
    }
};

using step = scripted_peer::step;

std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b) s += (char)c;
    return s;
}

struct outcome {
    u64 sock;
    os_err err;
    u64 ms;
};

outcome connect_via(scripted_peer &peer, u32 type, const char *host, int port, const char *user = "",
                    const char *passwd = "", u32 timeout = 3000)
{
    sock_opt o = proxy_opt(type, peer.port, user, passwd, timeout);
    outcome r = {};
    u64 t0 = os_mono_ms();
    r.sock = sock_tcp_connect(host, port, &o, &r.err);
    r.ms = os_mono_ms() - t0;
    return r;
}

TEST(ProxyWire, RequestsAreWrittenAsTheProtocolsSay)
{
    // HTTP to an IPv6 target: brackets in both lines; credentials in Base64.
    {
        scripted_peer peer({{0, "\r\n\r\n", "HTTP/1.1 200 OK\r\nA: b\r\n\r\nafter"}});
        outcome r = connect_via(peer, SOCK_PROXY_HTTP, "fe80::1", 443, "u", "p:w");
        ASSERT_NE(r.sock, 0u) << os_err_str(&r.err);
        char buf[6] = {};
        ASSERT_EQ(os_socket_wait(r.sock, OS_SOCK_WAIT_READ, 3000), OS_SOCK_WAIT_READ);
        EXPECT_EQ(sock_recv(r.sock, buf, 5), 5);
        EXPECT_STREQ(buf, "after");  // the tunnel starts right after the head
        sock_close(r.sock);
        EXPECT_EQ(peer.finish(), "CONNECT [fe80::1]:443 HTTP/1.1\r\nHost: [fe80::1]:443\r\n"
                                 "Proxy-Authorization: Basic dTpwOnc=\r\n\r\n");
    }
    // A status line ended by CR LF LF ends the head too.
    {
        scripted_peer peer({{0, "\r\n\r\n", "HTTP/1.0 200 Connection established\r\n\n"}});
        outcome r = connect_via(peer, SOCK_PROXY_HTTP, "example.org", 80);
        EXPECT_NE(r.sock, 0u) << os_err_str(&r.err);
        sock_close(r.sock);
        EXPECT_EQ(peer.finish(), "CONNECT example.org:80 HTTP/1.1\r\nHost: example.org:80\r\n\r\n");
    }
    // SOCKS5 with a name and authentication; the bound address as IPv6.
    {
        scripted_peer peer({{4, "", bytes({5, 2})},
                            {1 + 1 + 3 + 1 + 2, "", bytes({1, 0})},
                            {4 + 1 + 11 + 2, "", bytes({5, 0, 0, 4}) + std::string(18, '\x01')}});
        outcome r = connect_via(peer, SOCK_PROXY_SOCKS5, "example.org", 0x1234, "bob", "pw");
        EXPECT_NE(r.sock, 0u) << os_err_str(&r.err);
        sock_close(r.sock);
        EXPECT_EQ(peer.finish(), bytes({5, 2, 0, 2}) + bytes({1, 3}) + "bob" + bytes({2}) + "pw" +
                                     bytes({5, 1, 0, 3, 11}) + "example.org" + bytes({0x12, 0x34}));
    }
    // SOCKS5 to IPv4 and IPv6 addresses.
    {
        scripted_peer peer({{3, "", bytes({5, 0})}, {10, "", bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80})}});
        outcome r = connect_via(peer, SOCK_PROXY_SOCKS5, "10.1.2.3", 80);
        EXPECT_NE(r.sock, 0u) << os_err_str(&r.err);
        sock_close(r.sock);
        EXPECT_EQ(peer.finish(), bytes({5, 1, 0, 5, 1, 0, 1, 10, 1, 2, 3, 0, 80}));
    }
    {
        scripted_peer peer({{3, "", bytes({5, 0})}, {22, "", bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80})}});
        outcome r = connect_via(peer, SOCK_PROXY_SOCKS5, "2001:db8::7", 8080);
        EXPECT_NE(r.sock, 0u) << os_err_str(&r.err);
        sock_close(r.sock);
        std::string v6 = bytes({0x20, 1, 0x0d, 0xb8}) + std::string(11, '\0') + "\x07";
        EXPECT_EQ(peer.finish(), bytes({5, 1, 0, 5, 1, 0, 4}) + v6 + bytes({0x1f, 0x90}));
    }
    // SOCKS4 with a user, and the SOCKS4a form.
    {
        scripted_peer peer({{8 + 4, "", bytes({0, 0x5A, 0, 0, 0, 0, 0, 0})}});
        outcome r = connect_via(peer, SOCK_PROXY_SOCKS4, "127.0.0.2", 21, "joe");
        EXPECT_NE(r.sock, 0u) << os_err_str(&r.err);
        sock_close(r.sock);
        EXPECT_EQ(peer.finish(), bytes({4, 1, 0, 21, 127, 0, 0, 2}) + "joe" + std::string(1, '\0'));
    }
    {
        scripted_peer peer({{8 + 1 + 16, "", bytes({0, 0x5A, 0, 0, 0, 0, 0, 0})}});
        outcome r = connect_via(peer, SOCK_PROXY_SOCKS4, "255.255.255.255", 21);
        EXPECT_NE(r.sock, 0u) << os_err_str(&r.err);
        sock_close(r.sock);
        EXPECT_EQ(peer.finish(), bytes({4, 1, 0, 21, 0, 0, 0, 1, 0}) + "255.255.255.255" + std::string(1, '\0'));
    }
}

TEST(ProxyWire, CredentialsStayOutOfTheLog)
{
    log_capture cap;
    scripted_peer peer({{0, "\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n"}});
    outcome r = connect_via(peer, SOCK_PROXY_HTTP, "example.org", 80, "alice", "s3cret");
    EXPECT_NE(r.sock, 0u) << os_err_str(&r.err);
    sock_close(r.sock);
    peer.finish();
    char b64[64];
    str_base64_encode("alice:s3cret", 12, b64, sizeof b64);
    EXPECT_NE(peer.got.find(b64), std::string::npos);
    EXPECT_FALSE(cap.has(b64));
    EXPECT_FALSE(cap.has("s3cret"));
    EXPECT_TRUE(cap.has("Proxy-Authorization: Basic ***\r\n")) << cap.get();
}

TEST(ProxyWire, BadRepliesFailWithTheirTexts)
{
    struct bad {
        u32 type;
        std::vector<step> steps;
        int code;
        std::string text;
    };
    const std::string http = "\r\n\r\n";
    const std::string ok5 = bytes({5, 0});
    std::vector<bad> cases = {
        {SOCK_PROXY_HTTP, {{0, http, "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"}}, -1, "proxy user or pwd error"},
        {SOCK_PROXY_HTTP, {{0, http, "HTTP/1.1 503 Service Unavailable\r\n\r\n"}}, -1, "proxy read return error"},
        {SOCK_PROXY_HTTP, {{0, http, "HTTP/1.1 2"}}, -1, "proxy recv len error"},
        {SOCK_PROXY_HTTP, {{0, http, "HTTP/1.1 200 OK\r\nVia: x\r\n"}}, -1, "proxy read return error"},
        {SOCK_PROXY_HTTP, {{0, http, "HTTP/1.1 200 OK\r\n" + std::string(20000, 'x')}}, -1,
         "proxy reply head longer than 16384 bytes"},
        {SOCK_PROXY_SOCKS4, {{9, "", bytes({0, 0x5B, 0, 0, 0, 0, 0, 0})}}, -1, "proxy read return error"},
        {SOCK_PROXY_SOCKS4, {{9, "", bytes({4, 0x5A, 0, 0, 0, 0, 0, 0})}}, -1, "proxy read return error"},
        {SOCK_PROXY_SOCKS4, {{9, "", bytes({0, 0x5A, 0})}}, -1, "proxy read return error"},
        {SOCK_PROXY_SOCKS5, {{3, "", bytes({5, 2})}}, -2, "Proxy read return error"},  // not offered
        {SOCK_PROXY_SOCKS5, {{3, "", bytes({5, 1})}}, -2, "Proxy read return error"},
        {SOCK_PROXY_SOCKS5, {{3, "", bytes({4, 0})}}, -2, "Proxy read return error"},
        {SOCK_PROXY_SOCKS5, {{3, "", bytes({5})}}, -2, "Proxy read return error"},
        {SOCK_PROXY_SOCKS5, {{3, "", ok5}, {10, "", bytes({5, 0, 0, 9, 0, 0})}}, -1,
         "Proxy reply address type 0x9 unknown"},
        {SOCK_PROXY_SOCKS5, {{3, "", ok5}, {10, "", bytes({5, 0, 0, 1, 1, 2})}}, -1, "Proxy read return error"},
        {SOCK_PROXY_SOCKS5, {{3, "", ok5}, {10, "", bytes({5, 0, 0, 3, 200}) + "short"}}, -1,
         "Proxy read return error"},
        {SOCK_PROXY_SOCKS5, {{3, "", ok5}, {10, "", bytes({5, 0, 0})}}, -1, "proxy unkown error: 0"},
        {SOCK_PROXY_SOCKS5, {{3, "", ok5}, {10, "", bytes({4, 0, 0, 1})}}, -1, "proxy unkown error: 0"},
        {SOCK_PROXY_SOCKS5, {{3, "", ok5}, {10, "", bytes({5, 9, 0, 1})}}, -1, "proxy unkown error: 9"},
    };
    const char *socks5_texts[] = {"General SOCKS server failure!", "Connection not allowed by ruleset!",
                                  "Network unreachable!", "Host unreachable!", "Connection refused!",
                                  "TTL (packet time to live) expired!", "SOCKS Command not supported!",
                                  "Address type not supported!"};
    for (int code = 1; code <= 8; ++code)
        cases.push_back({SOCK_PROXY_SOCKS5,
                         {{3, "", ok5}, {10, "", bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0})}},
                         -1,
                         socks5_texts[code - 1]});
    int fds = nettest::fd_count();
    for (size_t i = 0; i < cases.size(); ++i) {
        scripted_peer peer(cases[i].steps, 300);
        outcome r = connect_via(peer, cases[i].type, "10.0.0.1", 80);
        EXPECT_EQ(r.sock, 0u) << "case " << i;
        EXPECT_EQ(r.err.code, cases[i].code) << "case " << i;
        EXPECT_EQ(os_err_str(&r.err), cases[i].text) << "case " << i;
        peer.finish();
    }
    EXPECT_EQ(nettest::fd_count(), fds);
}

TEST(ProxyWire, FieldsThatDoNotFitAreRefusedBeforeSending)
{
    std::string u256(256, 'u'), u255(255, 'u'), long_name(256, 'h');
    struct too_long {
        u32 type;
        std::string host, user, passwd, text;
    };
    const too_long cases[] = {
        {SOCK_PROXY_SOCKS5, "10.0.0.1", u256, "pw", "proxy user too long (at most 255 bytes)"},
        {SOCK_PROXY_SOCKS5, "10.0.0.1", "bob", u256, "proxy password too long (at most 255 bytes)"},
        {SOCK_PROXY_SOCKS5, long_name + ".org", "", "", "proxy host name too long (at most 255 bytes)"},
        {SOCK_PROXY_SOCKS4, "10.0.0.1", std::string(4088, 'u'), "", "proxy request too long"},
        {SOCK_PROXY_HTTP, "10.0.0.1", std::string(3000, 'u'), std::string(1000, 'p'), "proxy request too long"},
        {SOCK_PROXY_HTTP, std::string(2100, 'h'), "", "", "proxy request too long"},
        {SOCK_PROXY_SOCKS4, "::1", "", "", "SOCK4 does not support IPv6"},
    };
    for (const too_long &c : cases) {
        scripted_peer peer({}, 300);
        outcome r = connect_via(peer, c.type, c.host.c_str(), 80, c.user.c_str(), c.passwd.c_str());
        EXPECT_EQ(r.sock, 0u);
        EXPECT_EQ(os_err_str(&r.err), c.text);
        EXPECT_EQ(r.err.code, -1);
        EXPECT_EQ(peer.finish(), "") << c.text;  // nothing was sent
    }
    // The longest fields that fit go out whole.
    scripted_peer peer({{4, "", bytes({5, 2})}, {2 + 255 + 1 + 255, "", bytes({1, 1})}});
    outcome r = connect_via(peer, SOCK_PROXY_SOCKS5, "10.0.0.1", 80, u255.c_str(), u255.c_str());
    EXPECT_EQ(r.sock, 0u);
    EXPECT_STREQ(os_err_str(&r.err), "Proxy password or user name error");
    EXPECT_EQ(peer.finish().size(), 4u + 2 + 255 + 1 + 255);

    sock_opt o = proxy_opt(7, 1);
    os_err err = {};
    EXPECT_EQ(sock_tcp_connect("10.0.0.1", 80, &o, &err), 0u);
    EXPECT_STREQ(os_err_str(&err), "Unsupported proxy type=7");
}

TEST(ProxyWire, TheTimeLimitBoundsTheWholeHandshake)
{
    // A proxy that takes the request and never answers.
    for (u32 type : {SOCK_PROXY_HTTP, SOCK_PROXY_SOCKS4, SOCK_PROXY_SOCKS5}) {
        scripted_peer peer({}, 4000);
        outcome r = connect_via(peer, type, "10.0.0.1", 80, "", "", 600);
        EXPECT_EQ(r.sock, 0u);
        EXPECT_GE(r.ms, 550u);
        EXPECT_LT(r.ms, 2500u) << "type " << type;
        EXPECT_NE(os_err_str(&r.err)[0], 0);
    }
    // A proxy that dribbles an endless reply head, one byte at a time,
    // each byte well within the limit.
    std::string head = "HTTP/1.1 200 OK\r\n" + std::string(200, 'x');
    scripted_peer peer({{0, "\r\n\r\n", head, 20}}, 0);
    outcome r = connect_via(peer, SOCK_PROXY_HTTP, "10.0.0.1", 80, "", "", 800);
    EXPECT_EQ(r.sock, 0u);
    EXPECT_LT(r.ms, 2800u);
    EXPECT_STREQ(os_err_str(&r.err), "proxy read return error");

    // A stop request ends a handshake too.
    scripted_peer quiet({}, 4000);
    net_cancel cancel{};
    sock_opt o = proxy_opt(SOCK_PROXY_SOCKS5, quiet.port, "", "", 10000);
    o.cancel = &cancel;
    std::thread stopper([&] {
        os_msleep(300);
        cancel.flag.store(1);
    });
    u64 t0 = os_mono_ms();
    EXPECT_EQ(sock_tcp_connect("10.0.0.1", 80, &o, nullptr), 0u);
    EXPECT_LT(os_mono_ms() - t0, 3000u);
    stopper.join();
}

}  // namespace
