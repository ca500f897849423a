#pragma once
// The web tool's tests: a fixture that starts the tool on a free loopback
// port, and checks of its answers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "common/fd_limit.h"
#include "common/log_capture.h"
#include "common/tmp_dir.h"
#include "common/tmp_file.h"
#include "common/udp_collector.h"
#include "libdbg/addr_count.h"
#include "libdbg/http.h"
#include "libhttpd/http_client.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "libnet/libnet.h"
#include "libnet/sock_event.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpwd/libpwd.h"
#include "libhttpd/api.h"
#include "libpal/value/fvar.h"
#include "libsh/libsh.h"

namespace webtest {

inline std::atomic<int> g_exit_calls{0};
inline int test_exit() { return ++g_exit_calls; }

inline std::atomic<u64> g_now{5000000};
inline u64 test_clock() { return g_now.load(); }

// A JSON text is well formed: strings closed, escapes complete, brackets
// balanced, nothing after the end.
inline bool json_ok(const std::string &s)
{
    int depth = 0;
    bool in = false;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = (unsigned char)s[i];
        if (in) {
            if (c < 0x20) return false;
            if (c == '\\') {
                char e = i + 1 < s.size() ? s[i + 1] : 0;
                if (e == 'u') {
                    if (i + 5 >= s.size()) return false;
                    for (int k = 2; k < 6; ++k)
                        if (!isxdigit((unsigned char)s[i + k])) return false;
                    i += 5;
                } else if (strchr("\"\\/bfnrt", e) && e) {
                    ++i;
                } else {
                    return false;
                }
            } else if (c == '"') {
                in = false;
            }
            continue;
        }
        if (c == '"') in = true;
        else if (c == '[' || c == '{') ++depth;
        else if (c == ']' || c == '}') {
            if (--depth < 0) return false;
            if (depth == 0 && i + 1 != s.size()) return false;
        }
    }
    return !in && depth == 0 && !s.empty();
}

// The value of the answer's header name, "" when it has none.
inline std::string header(const std::string &answer, const std::string &name)
{
    std::string head = httptest::head(answer);
    for (size_t p = 0, e; (e = head.find('\n', p)) != std::string::npos; p = e + 1) {
        std::string line = head.substr(p, e - p);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > name.size() + 1 && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
            line[name.size()] == ':')
            return line.substr(name.size() + 2);
    }
    return "";
}

inline constexpr char kMetrics[] = "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";

struct WebTest : ::testing::Test {
    int port = 0;
    debug_http_param p = {0, "Test Tool", "", "", "t>"};
    static void SetUpTestSuite()
    {
        sock_env_init();
        libsh_init();
        libsh_set_exit_func(test_exit);
    }
    static void TearDownTestSuite()
    {
        libsh_set_exit_func(nullptr);
        libsh_exit();
        sock_env_stop();
        sock_env_exit();
    }
    // A port of 0 starts nothing, so a free one is taken (and taken again
    // should another program get it first).
    void start()
    {
        debug_http_server_set_param(&p);
        for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
            int want = testutil::free_port();
            if (want > 0 && debug_http_server_init("127.0.0.1", want) == 0) port = dbg_http_server_port();
        }
        ASSERT_GT(port, 0);
    }
    void TearDown() override { dbg_http_server_stop(); }
    std::string body(const std::string &target, const std::string &extra = "")
    {
        return httptest::body(httptest::get(port, target, extra));
    }
};

}  // namespace webtest
