// The embedded HTTP server: request reading, answers and the access list,
// over memory net handles and over real loopback connections.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "libhttpd/api.h"
#include "libhttpd/http_client.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"

namespace {

// One request served over a memory handle; the answer is what the server
// wrote.
struct served {
    int rc = 0;
    std::string out;
    std::string path, query, user, pwd, method;
    int version = 0;
    bool cut = false;
    i32 left = 0;
};

int echo_vars(httpd_server *, httpd_request *r)
{
    for (httpd_var *v = r->variables; v; v = v->nextVariable)
        for (httpd_var *val = v; val; val = val->nextValue) httpdPrintf(r, "%s=[%s];", v->name, val->value);
    return 0;
}

int send_str(httpd_server *, httpd_request *r)
{
    httpdSendStr(r, "sized");
    return 0;
}

int big_output(httpd_server *, httpd_request *r)
{
    std::string text(200000, 'x');
    text += "$name.";
    httpdSetVariableValue(r, "name", "END");
    httpdOutput(r, text.c_str());
    return 0;
}

int auth(httpd_server *, httpd_request *r)
{
    httpdForceAuthenticate(r, "velta");
    return 0;
}

int cookie(httpd_server *, httpd_request *r)
{
    httpdSetCookie(r, "k", "v");
    httpdSetContentType(r, "text/plain\n");
    return httpdSendStr(r, "c");
}

// Every line of the answer's head ends with CR LF.
bool crlf_head(const std::string &answer)
{
    std::string h = httptest::head(answer);
    for (size_t p = 0; (p = h.find('\n', p)) != std::string::npos; ++p)
        if (p == 0 || h[p - 1] != '\r') return false;
    return h.size() >= 4 && h.compare(h.size() - 4, 4, "\r\n\r\n") == 0;
}

served serve(httpd_server *s, const std::string &request, const char *peer = "10.1.2.3")
{
    served res;
    net n{};
    n.type = NET_TYPE_MEM;
    net_mem *m = net_mem_open();
    n.transport = (u64)(uintptr_t)m;
    net_mem_write(m, request.data(), request.size());
    httpd_request *r = httpdGetConnectionNet(s, &n, peer);
    if (!r) {
        res.rc = -100;  // refused: the handle is closed with the request
        return res;
    }
    res.rc = httpdReadRequest(s, r);
    if (res.rc == 0) httpdProcessRequest(s, r);
    httpdFlush(r);
    res.out.assign((const char *)m->buf.data + m->buf.len - m->written, m->written);
    res.path = r->path;
    res.query = r->query;
    res.user = r->authUser;
    res.pwd = r->authPassword;
    res.method = httpdRequestMethodName(r);
    res.version = r->version;
    res.cut = r->targetCut;
    res.left = r->readBufRemain;
    httpdEndRequest(r);
    return res;
}

// A request refused by the access list, over a socket pair (the refusal
// closes the connection); the answer the client reads.
std::string refused(httpd_server *s, const char *peer)
{
    u64 pair[2];
    if (!os_socket_pair(OS_SOCK_TCP, pair)) return "<no pair>";
    int cfd = os_sock_fd(pair[1]);
    httptest::send_all(cfd, "GET /vars HTTP/1.0\r\n\r\n");
    shutdown(cfd, SHUT_WR);
    net n{};
    n.type = NET_TYPE_SOCK;
    n.transport = pair[0];
    httpd_request *r = httpdGetConnectionNet(s, &n, peer);
    std::string out = r ? "<served>" : httptest::read_all(cfd, 2000);
    if (r) httpdEndRequest(r);
    close(cfd);
    return out;
}

struct HttpdTest : ::testing::Test {
    httpd_server *s = nullptr;
    char *errlog = nullptr;
    size_t errlen = 0;
    FILE *err = nullptr;
    void SetUp() override
    {
        s = httpdCreate();
        ASSERT_NE(s, nullptr);
        err = open_memstream(&errlog, &errlen);
        httpdSetErrorLog(s, err);
        ASSERT_EQ(httpdAddCContent(s, "/", "vars", 0, nullptr, echo_vars), 0);
        ASSERT_EQ(httpdAddCContent(s, "/b/c", "d", 0, nullptr, echo_vars), 0);
        ASSERT_EQ(httpdAddCContent(s, "/", "sized", 0, nullptr, send_str), 0);
        ASSERT_EQ(httpdAddCContent(s, "/", "big", 0, nullptr, big_output), 0);
        ASSERT_EQ(httpdAddCContent(s, "/", "auth", 0, nullptr, auth), 0);
        ASSERT_EQ(httpdAddCContent(s, "/", "cookie", 0, nullptr, cookie), 0);
    }
    void TearDown() override
    {
        httpdDestroy(s);
        fclose(err);
        free(errlog);
    }
    std::string errors()
    {
        fflush(err);
        return std::string(errlog, errlen);
    }
};

TEST_F(HttpdTest, MethodsAndRequestLine)
{
    served r = serve(s, "get /vars?a=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.version, 1);
    EXPECT_NE(r.out.find("a=[1];"), std::string::npos);

    // Methods not served get a whole answer: 405 for those of HTTP, 501
    // for any other word; the answer to HEAD has no body.
    const std::string refusal = "\n<B>ERROR : Method Not Implemented</B>\n\n";
    r = serve(s, "HEAD / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out.rfind("HTTP/1.1 405 Method Not Allowed\r\nServer: VELTA Http Server\r\nAllow: GET, POST\r\n", 0),
              0u) << r.out;
    EXPECT_NE(r.out.find("\r\nContent-Length: 44\r\n"), std::string::npos);
    EXPECT_EQ(httptest::body(r.out), "");
    EXPECT_TRUE(crlf_head(r.out));
    EXPECT_NE(errors().find("[error] [client 10.1.2.3] Invalid method received"), std::string::npos);
    r = serve(s, "options * HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.out.rfind("HTTP/1.1 405 ", 0), 0u);
    EXPECT_EQ(httptest::body(r.out), refusal + "options");
    r = serve(s, "BREW /pot HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.out.rfind("HTTP/1.1 501 Not Implemented\r\n", 0), 0u);
    EXPECT_EQ(r.out.find("Allow:"), std::string::npos);
    EXPECT_NE(r.out.find("\r\nContent-Length: 44\r\n"), std::string::npos);
    EXPECT_EQ(httptest::body(r.out), refusal + "BREW");
    r = serve(s, "<b>x</b> / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(httptest::body(r.out), refusal);

    // The echo of a method word is bounded.
    r = serve(s, std::string(5000, 'Q') + " / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(httptest::body(r.out), refusal + std::string(HTTP_METHOD_MAX, 'Q'));

    r = serve(s, "POST /vars?p=2 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.version, 2);

    // Nothing came: no method, nothing answered.
    r = serve(s, "");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.method, "INVALID");
    EXPECT_EQ(r.out, "");
}

TEST_F(HttpdTest, PathCleaningLeavesTheQuery)
{
    served r = serve(s, "GET /a/../b//c/./d?q=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.path, "/b/c/d");
    EXPECT_NE(r.out.find("q=[1];"), std::string::npos);

    r = serve(s, "GET /vars?command=echo%20a/../b//c HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.path, "/vars");
    EXPECT_EQ(r.query, "command=echo%20a/../b//c");
    EXPECT_NE(r.out.find("command=[echo a/../b//c];"), std::string::npos);

    char p[64];
    for (auto [in, want] : {std::pair{"/..", "/"}, {"/x/y/..", "/x/"}, {"//", "/"}, {"/./a/./", "/a/"}, {"", ""}}) {
        snprintf(p, sizeof p, "%s", in);
        httpdSanitiseUrl(p);
        EXPECT_STREQ(p, want) << in;
    }
}

TEST_F(HttpdTest, QueryVariables)
{
    served r = serve(s, "GET /vars?a=1&a=2&b=x+y%41&c&d=%4 HTTP/1.0\r\n\r\n");
    EXPECT_NE(r.out.find("a=[1];a=[2];b=[x yA];d=[];"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("c="), std::string::npos);
}

TEST_F(HttpdTest, Credentials)
{
    // user:pa:ss
    served r = serve(s, "GET /vars HTTP/1.0\r\nauthorization: Basic dXNlcjpwYTpzcw==\r\n\r\n");
    EXPECT_EQ(r.user, "user");
    EXPECT_EQ(r.pwd, "pa:ss");
    // No colon: the whole is the user.
    r = serve(s, "GET /vars HTTP/1.0\r\nAuthorization: Basic YWJj\r\n\r\n");
    EXPECT_EQ(r.user, "abc");
    EXPECT_EQ(r.pwd, "");
    // Long credentials are cut to 100 decoded bytes.
    std::string b64;
    for (int i = 0; i < 60; ++i) b64 += "YWJj";
    char out[128];
    EXPECT_EQ(httpdDecodeBase64(b64.c_str(), out, 100), 100);
    EXPECT_EQ(strlen(out), 100u);
    EXPECT_EQ(httpdDecodeBase64(" \tYQ==", out, 100), 1);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(httpdDecodeBase64("YWJ", out, 100), 2);
    EXPECT_EQ(httpdDecodeBase64("Y", out, 100), 0);
}

// A head that readers could take in more than one way is answered 400 and
// not served: a Host read one way here and another way by a proxy or a
// browser's check could name another site.
TEST_F(HttpdTest, HeadsReadOneWayOnly)
{
    std::string many_lines;
    for (int i = 0; i < 40; ++i) many_lines += "X-" + std::to_string(i) + ": v\r\n";
    const std::string bad[] = {
        "Host: evil.example\r\nHost: 127.0.0.1\r\n", "Host : evil.example\r\n", "Host\t: x\r\n",
        "Host:\r\n evil.example\r\n", "X-A: 1\r\n\tHost: y\r\n", "Host: 127.0.0.1 evil\r\n",
        "Host: a/b\r\n", "Host: a@b\r\n", "Host: ::1\r\n", "Host: [::1\r\n", "Host: [::g]\r\n",
        "Host: x:99999\r\n", "Host: x:0\r\n", "Host: x:8a\r\n", "Host: :80\r\n", "Host: a%4\r\n",
        std::string("X-Y: a\0b\r\n", 11), std::string("\0\r\nHost: evil.example\r\n", 23), "Host: " + std::string(1100, 'a') + "\r\n",
        // lines far into a long head count as the first ones do
        "Host: a\r\n" + many_lines + "Host: b\r\n",
        // a byte above 127 in a name or the Host, or before a second Host
        "X-\xe9: 1\r\n", "\xff\xff\r\n", "Host: 127.0.0.1\xff" "evil.example\r\n", "Host: h\xc3\xa9\r\n",
        "Accept: x\xff\xffy\r\nHost: a\r\nHost: b\r\n",
    };
    for (const auto &h : bad) {
        served r = serve(s, "GET /vars?ran=1 HTTP/1.1\r\n" + h + "\r\n");
        EXPECT_EQ(r.rc, -1) << h;
        EXPECT_EQ(r.out, httpdFixedAnswer(400)) << h;
    }
    EXPECT_NE(errors().find("Bad request: more than one Host line"), std::string::npos);
    // In the request line, before or after the method's word.
    for (const char *line : {"GET /vars?ran=\xe9 HTTP/1.1", "GET /v\xff\xff" "ars HTTP/1.1", "GET /vars HTTP/1.1\x80"}) {
        served r = serve(s, std::string(line) + "\r\nHost: a\r\n\r\n");
        EXPECT_EQ(r.out, httpdFixedAnswer(400)) << line;
    }
    EXPECT_NE(errors().find("Bad request: byte above 127 in the request line"), std::string::npos);
    // The value without the blanks around it; ports and forms a client sends.
    for (auto [h, host] : {std::pair{"Host:\t127.0.0.1\t", "127.0.0.1"}, {"host:  [::1]:8080 ", "[::1]:8080"},
                           {"HOST: a.b-c_d~1:", "a.b-c_d~1:"}, {"Host:", ""}, {"Host: %41x:65535", "%41x:65535"},
                           // bytes above 127 in another header's value are opaque: the lines after it are read
                           {"Accept: x\xff\xffy\r\nHost: h", "h"}, {"X: \xc3\xa9\r\nHost: h2:1", "h2:1"}}) {
        net n{};
        n.type = NET_TYPE_MEM;
        net_mem *m = net_mem_open();
        n.transport = (u64)(uintptr_t)m;
        std::string req = std::string("GET /vars HTTP/1.1\r\n") + h + "\r\nX-Other:x\r\n\r\n";
        net_mem_write(m, req.data(), req.size());
        httpd_request *r = httpdGetConnectionNet(s, &n, "10.1.2.3");
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(httpdReadRequest(s, r), 0) << h;
        EXPECT_STREQ(r->host, host);
        httpdEndRequest(r);
    }
    size_t host_len = 0;
    int port = 0;
    EXPECT_EQ(httpdParseHost("[::1]:80", 8, &host_len, &port), 1);
    EXPECT_EQ(host_len, 5u);
    EXPECT_EQ(port, 80);
    EXPECT_EQ(httpdParseHost("h:", 2, &host_len, &port), 1);
    EXPECT_EQ(port, -1);
}

TEST_F(HttpdTest, AnswerHeads)
{
    served r = serve(s, "GET /vars?a=1 HTTP/1.0\r\n\r\n");
    std::string h = httptest::head(r.out);
    EXPECT_EQ(h.rfind("HTTP/1.1 200 Output Follows\r\nServer: VELTA Http Server\r\nDate: ", 0), 0u) << h;
    EXPECT_NE(h.find(" GMT\r\nConnection: close\r\nContent-Type: text/html\r\nCache-Control: no-store, "
                     "must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n"),
              std::string::npos)
        << h;
    EXPECT_EQ(h.find("Content-Length"), std::string::npos);

    r = serve(s, "GET /sized HTTP/1.0\r\n\r\n");
    EXPECT_NE(r.out.find("Content-Length: 5\r\nLast-Modified: "), std::string::npos);
    EXPECT_EQ(httptest::body(r.out), "sized");

    r = serve(s, "GET /auth HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.out.rfind("HTTP/1.1 401 Please Authenticate\r\nServer: VELTA Http Server\r\n"
                          "WWW-Authenticate: Basic realm=\"velta\"\r\nDate: ",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("\r\nContent-Length: 1\r\n"), std::string::npos);
    EXPECT_EQ(httptest::body(r.out), "\n");
    // Head lines set without their line end, or with a bare LF, end with
    // CR LF on the wire.
    for (const char *target : {"/vars?a=1", "/sized", "/auth", "/cookie", "/none"})
        EXPECT_TRUE(crlf_head(serve(s, std::string("GET ") + target + " HTTP/1.0\r\n\r\n").out)) << target;
}

TEST_F(HttpdTest, NotFoundAndBadPaths)
{
    served r = serve(s, "GET /b/ HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.out.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_NE(r.out.find("\r\nContent-Length: 109\r\n"), std::string::npos);
    EXPECT_EQ(httptest::body(r.out),
              "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H1>The request URL was not found!</H1>\n"
              "</BODY></HTML>\n");
    EXPECT_NE(errors().find("File does not exist: /b/"), std::string::npos);
    // The client's path cannot forge a bracketed field of the line.
    serve(s, "GET /b/x]y[\\ HTTP/1.0\r\n\r\n");
    EXPECT_NE(errors().find("File does not exist: /b/x\\x5dy\\x5b\\x5c\n"), std::string::npos) << errors();
    r = serve(s, "GET /nowhere/x HTTP/1.0\r\n\r\n");
    EXPECT_NE(r.out.find("404 Not Found"), std::string::npos);
    for (const char *line : {"GET vars HTTP/1.0", "GET * HTTP/1.1", "GET"}) {
        r = serve(s, std::string(line) + "\r\n\r\n");
        EXPECT_EQ(r.rc, -1) << line;
        EXPECT_EQ(r.out, httpdFixedAnswer(400)) << line;
    }
}

TEST_F(HttpdTest, BigOutputIsWrittenWhole)
{
    served r = serve(s, "GET /big HTTP/1.0\r\n\r\n");
    std::string b = httptest::body(r.out);
    EXPECT_EQ(b.size(), 200000u + 4);
    EXPECT_EQ(b.substr(b.size() - 4), "END.");
}

TEST_F(HttpdTest, HeadLimits)
{
    // A target longer than the path field is marked cut.
    served r = serve(s, "GET /vars?x=" + std::string(3000, 'a') + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(r.cut);
    EXPECT_EQ(r.path, "/vars");
    // A head that never ends within its size cap is refused with a short
    // answer: 431, or 414 while the request line itself has not ended.
    r = serve(s, "GET /vars HTTP/1.0\r\n" + std::string(70000, 'h'));
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, httpdFixedAnswer(431));
    EXPECT_EQ(r.out.rfind("HTTP/1.1 431 Request Header Fields Too Large\r\n", 0), 0u);
    r = serve(s, "GET /" + std::string(70000, 'u') + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.out, httpdFixedAnswer(414));
    // A POST body is read off before the answer.
    r = serve(s, "POST /vars?k=v HTTP/1.0\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'b'));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.left, 0);
    EXPECT_NE(r.out.find("k=[v];"), std::string::npos);
}

// The reader's named pieces: lines as the head reader ends them, and
// exact-count reads through the read buffer.
TEST_F(HttpdTest, ReadLineAndReadBuf)
{
    net n{};
    n.type = NET_TYPE_MEM;
    net_mem *m = net_mem_open();
    n.transport = (u64)(uintptr_t)m;
    const std::string in = "a\r\nb\xC3x\ncut-this\n0123456789";
    net_mem_write(m, in.data(), in.size());
    httpd_request *r = httpdGetConnectionNet(s, &n, "10.1.2.3");
    ASSERT_NE(r, nullptr);
    char line[16];
    EXPECT_EQ(httpdReadLine(r, line, 15), 1);
    EXPECT_STREQ(line, "a");
    EXPECT_EQ(httpdReadLine(r, line, 15), 1);  // a byte above 127 is kept
    EXPECT_STREQ(line, "b\xC3x");
    EXPECT_EQ(httpdReadLine(r, line, 3), 1);  // cut at the maximum
    EXPECT_STREQ(line, "cut");
    EXPECT_EQ(httpdReadLine(r, line, 15), 1);
    EXPECT_STREQ(line, "-this");
    char buf[16] = {};
    EXPECT_EQ(httpdReadBuf(r, buf, 4), 1);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(httpdReadBuf(r, buf, 0), 1);
    EXPECT_EQ(httpdReadBuf(r, buf, 7), 0);  // only 6 bytes are left
    EXPECT_EQ(httpdReadBuf(nullptr, buf, 1), 0);
    httpdEndRequest(r);
}

// The scan of a head arriving in pieces says "ready" exactly when the
// request reader, given only those bytes, reads the request it would read
// from all of them, so a request thread never waits for input.
TEST_F(HttpdTest, HeadScanAgreesWithTheReader)
{
    const std::string body(20000, 'b');
    const std::string post = "POST /vars?a=5 HTTP/1.0\r\ncontent-length:  20000 \r\n\r\n";
    const std::string line(65534 - 6, 'p');
    // Each head with the number of its bytes the reader needs.
    const std::pair<std::string, size_t> heads[] = {
        {"GET /vars?a=1 HTTP/1.0\r\nHost: x\r\n\r\nextra", 35},
        {"get /vars?a=2 HTTP/1.0\n\r\r\n", 26},
        {"GET /vars?a=3 HTTP/1.0\r\nX: \xff\xff\r\nHost: x\r\n\r\n", 42},  // high bytes end no line
        {"HEAD / HTTP/1.0\r\nHost: x\r\n", 17},               // refused after its first line
        {"\r\nGET / HTTP/1.0\r\n\r\n", 2},
        {std::string("GET /vars?a=6 HTTP/1.0\r\n\0x\r\n\r\nmore", 34), 30},  // a NUL ends no head
        {"POST /vars?a=4 HTTP/1.0\r\nContent-\rLength: 7\r\n\r\n1234567", 54},
        {post + body, post.size() + HTTP_BODY_AHEAD},
        {"GET /" + line + "\n\n", line.size() + 7},  // the line maximum, then the empty line
    };
    for (const auto &[h, need] : heads) {
        httpd_head_scan scan;
        httpdHeadScanInit(&scan);
        size_t ready = 0;
        for (size_t n = 1; n <= h.size() && !ready; ++n)
            if (httpdHeadScan(&scan, h.data(), n) == HTTPD_HEAD_READY) ready = n;
        EXPECT_EQ(ready, need) << h.substr(0, 40);
        httpdHeadScanFree(&scan);
        if (!ready) continue;
        served whole = serve(s, h);
        // The same from the bytes scanned alone, with nothing after them.
        net n{};
        n.type = NET_TYPE_MEM;
        n.transport = (u64)(uintptr_t)net_mem_open();
        httpd_request *r = httpdGetConnectionNet(s, &n, "10.1.2.3");
        ASSERT_NE(r, nullptr);
        char *ahead = (char *)os_malloc(ready);
        memcpy(ahead, h.data(), ready);
        httpdSetInput(r, ahead, ready, os_mono_ms(), 1);
        int rc = httpdReadRequest(s, r);
        if (rc == 0) httpdProcessRequest(s, r);
        httpdFlush(r);
        net_mem *m = (net_mem *)(uintptr_t)r->conn.transport;
        std::string out((const char *)m->buf.data, m->buf.len);
        EXPECT_EQ(rc, whole.rc) << h.substr(0, 40);
        EXPECT_EQ(r->path, whole.path);
        EXPECT_EQ(httptest::body(out), httptest::body(whole.out)) << h.substr(0, 40);
        httpdEndRequest(r);
    }
    // A head that does not end within the cap, by its first line or after.
    for (auto [h, want] : {std::pair{"GET /" + std::string(70000, 'u'), (int)HTTPD_HEAD_URI_TOO_LONG},
                           {"GET / HTTP/1.0\r\n" + std::string(70000, 'h'), (int)HTTPD_HEAD_TOO_LARGE}}) {
        httpd_head_scan scan;
        httpdHeadScanInit(&scan);
        EXPECT_EQ(httpdHeadScan(&scan, h.data(), 1000), HTTPD_HEAD_MORE);
        EXPECT_EQ(httpdHeadScan(&scan, h.data(), h.size()), want);
        httpdHeadScanFree(&scan);
    }
}

u64 g_lingered = 0;
void take_linger(u64 sock, void *) { g_lingered = sock; }

// A request ends at once when its client has nothing more for it (the
// client, still open, reads the answer to its end); input left over goes
// to the linger function with the connection shut down for writing,
// without a wait on the request's thread.
TEST_F(HttpdTest, EndsAtOnceUnlessInputIsLeft)
{
    for (bool extra : {false, true}) {
        u64 pair[2];
        ASSERT_TRUE(os_socket_pair(OS_SOCK_TCP, pair));
        int cfd = os_sock_fd(pair[1]);
        httptest::send_all(cfd, std::string("GET /vars?a=1 HTTP/1.0\r\n\r\n") + (extra ? "more" : ""));
        net n{};
        n.type = NET_TYPE_SOCK;
        n.transport = pair[0];
        httpd_request *r = httpdGetConnectionNet(s, &n, "10.1.2.3");
        ASSERT_NE(r, nullptr);
        httpdSetLinger(r, take_linger, nullptr);
        g_lingered = 0;
        ASSERT_EQ(httpdReadRequest(s, r), 0);
        httpdProcessRequest(s, r);
        long long t0 = httptest::now_ms();
        httpdEndRequest(r);
        EXPECT_LT(httptest::now_ms() - t0, 100) << extra;
        std::string got = httptest::read_all(cfd, 2000);
        EXPECT_NE(got.find("a=[1];"), std::string::npos) << extra;
        EXPECT_EQ(g_lingered, extra ? pair[0] : 0u);
        if (g_lingered) os_socket_exit(g_lingered);
        close(cfd);
    }
}

TEST_F(HttpdTest, ContentTreeAndEscapes)
{
    EXPECT_EQ(httpdFindContentDir(s, "/x/y", 0), nullptr);
    httpd_dir *d = httpdFindContentDir(s, "/x//y/", 1);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(httpdFindContentDir(s, "x/y", 0), d);
    EXPECT_EQ(httpdFindContentDir(s, "/", 0), s->content);
    ASSERT_EQ(httpdAddStaticContent(s, "/x/y", "t", 0, nullptr, "first"), 0);
    ASSERT_EQ(httpdAddStaticContent(s, "/x/y", "t", 1, nullptr, "second $v"), 0);
    served r = serve(s, "GET /x/y/t?v=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(httptest::body(r.out), "second 1");
    EXPECT_NE(r.out.find("\r\nContent-Length: 8\r\n"), std::string::npos);
    r = serve(s, "GET /x/y/ HTTP/1.0\r\n\r\n");  // the index entry
    EXPECT_EQ(httptest::body(r.out), "second $v");
    EXPECT_EQ(httpdSetErrorFunction(s, 500, nullptr), -1);
    EXPECT_NE(errors().find("Invalid error code (500) for custom callback"), std::string::npos);

    char *e = httpdEscape("a b&c@!\"$'()*+,-._~/");
    EXPECT_STREQ(e, "a%20b%26c@!\"$'()*+,-._%7E%2F");
    os_free(e);
    char t[] = "a+b%41%zz%";
    EXPECT_STREQ(httpdUnescape(t), "a bA%zz");
    EXPECT_STREQ(httpdUnescape(nullptr), "");
}

// The file entry's answer names the file's time; asked again with that
// time it is 304 alone.
int file_if_modified(httpd_server *server, httpd_request *r)
{
    httpd_var *since = httpdGetVariableByName(r, "since");
    if (since) snprintf(r->ifModified, sizeof r->ifModified, "%s", since->value);
    httpd_var *path = httpdGetVariableByName(r, "path");
    httpdSendFileEntry(server, r, path ? path->value : "");
    return 0;
}

TEST_F(HttpdTest, FilesAndTheirTypes)
{
    std::string dir = ::testing::TempDir() + "httpd_files_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::string file = dir + "/pic.PNG";
    FILE *f = fopen(file.c_str(), "w");
    fputs("png!", f);
    fclose(f);
    httpdSetFileBase(s, dir.c_str());
    ASSERT_EQ(httpdAddFileContent(s, "/f", "p", 0, nullptr, "pic.PNG"), 0);
    ASSERT_EQ(httpdAddWildcardContent(s, "/w", nullptr, dir.c_str()), 0);
    ASSERT_EQ(httpdAddCContent(s, "/", "since", 0, nullptr, file_if_modified), 0);
    served r = serve(s, "GET /f/p HTTP/1.0\r\n\r\n");
    EXPECT_NE(r.out.find("Content-Type: image/png\r\n"), std::string::npos);
    EXPECT_NE(r.out.find("Content-Length: 4\r\n"), std::string::npos);
    EXPECT_EQ(httptest::body(r.out), "png!");
    r = serve(s, "GET /w/pic.PNG HTTP/1.0\r\n\r\n");
    EXPECT_EQ(httptest::body(r.out), "png!");
    r = serve(s, "GET /w/missing HTTP/1.0\r\n\r\n");
    EXPECT_NE(r.out.find("404 Not Found"), std::string::npos);

    r = serve(s, "GET /since?path=" + file + " HTTP/1.0\r\n\r\n");
    size_t at = r.out.find("Last-Modified: ");
    ASSERT_NE(at, std::string::npos);
    std::string when = r.out.substr(at + 15, r.out.find("\r\n", at) - at - 15);
    std::string q = when;
    for (size_t p; (p = q.find(' ')) != std::string::npos;) q.replace(p, 1, "%20");
    r = serve(s, "GET /since?path=" + file + "&since=" + q + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.out.rfind("HTTP/1.1 304 Not Modified\r\n", 0), 0u) << r.out;
    EXPECT_TRUE(crlf_head(r.out));
    EXPECT_EQ(httptest::body(r.out), "");
    r = serve(s, "GET /since?path=" + dir + "/none.css HTTP/1.0\r\n\r\n");
    EXPECT_NE(r.out.find("404 Not Found"), std::string::npos);
    unlink(file.c_str());
    rmdir(dir.c_str());
}

TEST_F(HttpdTest, AclParsing)
{
    u32 a = 0;
    u8 n = 0;
    EXPECT_EQ(httpdParseAcl("10.1.2.3", &a, &n), 0);
    EXPECT_EQ(a, 0x0a010203u);
    EXPECT_EQ(n, 32);
    EXPECT_EQ(httpdParseAcl("0.0.0.0/0", &a, &n), 0);
    EXPECT_EQ(n, 0);
    for (const char *bad : {"256.1.1.1", "1.2.3.4/33", "1..2.3", "1.2.3", "1.2.3.4x", "1.2.3.4/", "-1.2.3.4",
                            "1.2.3.4/-1", "", " 1.2.3.4", "1.2.3.4.5"})
        EXPECT_EQ(httpdParseAcl(bad, &a, &n), -1) << bad;
    EXPECT_EQ(httpdAddAcl(s, nullptr, "256.1.1.1", HTTP_ACL_PERMIT), nullptr);
    EXPECT_NE(errors().find("Invalid IP address format"), std::string::npos);
    EXPECT_EQ(httpdAddAcl(s, nullptr, "1.2.3.4", 3), nullptr);
    EXPECT_NE(errors().find("Invalid acl action"), std::string::npos);
}

TEST_F(HttpdTest, AclDecides)
{
    httpd_acl *acl = httpdAddAcl(s, nullptr, "10.0.0.0/8", HTTP_ACL_PERMIT);
    ASSERT_NE(acl, nullptr);
    ASSERT_EQ(httpdAddAcl(s, acl, "0.0.0.0/0", HTTP_ACL_DENY), acl);
    httpdSetDefaultAcl(s, acl);
    served r = serve(s, "GET /vars?a=1 HTTP/1.0\r\n\r\n", "10.1.2.3");
    EXPECT_NE(r.out.find("a=[1];"), std::string::npos);
    r = serve(s, "GET /vars?a=1 HTTP/1.0\r\n\r\n", "::ffff:10.9.9.9");
    EXPECT_NE(r.out.find("a=[1];"), std::string::npos);
    for (const char *peer : {"192.168.1.1", "", "::1"}) {
        std::string out = refused(s, peer);
        EXPECT_EQ(out.rfind("HTTP/1.1 403 Permission Denied\r\n", 0), 0u) << peer << out;
        EXPECT_TRUE(crlf_head(out));
        EXPECT_NE(out.find("\r\nContent-Length: 109\r\n"), std::string::npos);
        EXPECT_NE(out.find("<BODY><H1>Access to the request URL was denied!</H1>\n"), std::string::npos);
        EXPECT_EQ(s->lastError, HTTP_ERR_ACL);
    }
    EXPECT_NE(errors().find("Access denied by ACL"), std::string::npos);
}

// The access list over real connections: the client's own address
// decides, and a refused client reads the whole 403 answer.
TEST_F(HttpdTest, AclOnLoopbackAddresses)
{
    httpd_acl *acl = httpdAddAcl(s, nullptr, "127.0.0.1", HTTP_ACL_PERMIT);
    ASSERT_NE(httpdAddAcl(s, acl, "127.0.0.0/8", HTTP_ACL_DENY), nullptr);
    httpdSetDefaultAcl(s, acl);
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(lfd, (struct sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(lfd, 8), 0);
    ASSERT_EQ(getsockname(lfd, (struct sockaddr *)&a, &len), 0);
    int port = ntohs(a.sin_port);
    u64 lsock = os_fd_sock(lfd);
    std::thread srv([&] {
        for (int i = 0; i < 2; ++i) {
            if (os_socket_wait(lsock, OS_SOCK_WAIT_READ, 5000) <= 0) return;
            os_ipaddr peer;
            u64 c = os_socket_accept(lsock, &peer);
            if (!c) return;
            httpd_request *r = httpdGetConnection(c, s, &peer);
            if (!r) continue;
            if (httpdReadRequest(s, r) == 0) httpdProcessRequest(s, r);
            httpdEndRequest(r);
        }
    });
    std::string ok = httptest::raw(port, "GET /vars?a=1 HTTP/1.0\r\n\r\n", "127.0.0.1");
    std::string refused = httptest::raw(port, "GET /vars?a=1 HTTP/1.0\r\n\r\n", "127.0.0.2");
    srv.join();
    close(lfd);
    EXPECT_NE(ok.find("a=[1];"), std::string::npos) << ok;
    EXPECT_EQ(refused.rfind("HTTP/1.1 403 Permission Denied\r\n", 0), 0u) << refused;
    EXPECT_NE(refused.find("denied!</H1>\n"), std::string::npos);
}

}  // namespace
