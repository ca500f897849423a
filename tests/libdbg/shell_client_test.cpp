// The shell client against the real server and against scripted peers:
// item splitting, replies per command, over-long replies, time limits and
// refused connections.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dbg_test_util.h"
#include "libdbg/dbgcli.h"
#include "libdbg/dbgsrv.h"
#include "libnet/sock_event.h"
#include "libsh/libsh.h"

namespace {

using dbgtest::peer;

// Output and input of the client under test.
std::vector<std::string> g_out;
std::vector<std::string> g_in;
size_t g_in_next = 0;

int collect(const char *text)
{
    g_out.push_back(text);
    return 0;
}

char *script_reader(char *buf, int size)
{
    if (g_in_next >= g_in.size()) return nullptr;
    snprintf(buf, (size_t)size, "%s", g_in[g_in_next++].c_str());
    return buf;
}

int run_client(int port, const char *cmds, std::vector<std::string> input = {})
{
    g_out.clear();
    g_in = std::move(input);
    g_in_next = 0;
    debug_shell_req req;
    req.state.store(7);
    req.prompt = "t>";
    req.cmds = cmds;
    req.reader = script_reader;
    req.output = collect;
    int r = debug_shell_connet_exec_cmd("127.0.0.1", port, &req);
    EXPECT_EQ(req.state.load(), (u32)DBGCLI_IDLE);
    return r;
}

struct ShellClient : dbgtest::server_fixture {};

TEST_F(ShellClient, CommandStringItems)
{
    // ';' inside quotes stays in its item; an assignment and a comment are
    // sent and their empty replies taken, not printed; "quit" ends the
    // list without being sent.
    EXPECT_EQ(run_client(port, "echo a; echo 'b;c' \"d;e\";CLI_X=hello;# note;env;quit;echo never"), 0);
    ASSERT_EQ(g_out.size(), 3u);
    EXPECT_EQ(g_out[0], "a");
    EXPECT_EQ(g_out[1], "'b;c' d;e");
    EXPECT_NE(g_out[2].find("CLI_X=hello"), std::string::npos);
    // One reply per command, also for an unknown command and an empty reply.
    EXPECT_EQ(run_client(port, "nosuch;echo -n;echo z"), 0);
    ASSERT_EQ(g_out.size(), 3u);
    EXPECT_EQ(g_out[0], "command not found: [nosuch]\nType `help` to learn how to use prompt");
    EXPECT_EQ(g_out[1], "");
    EXPECT_EQ(g_out[2], "z");
    // Blank items are not sent (an empty request would repeat a line).
    EXPECT_EQ(run_client(port, " ; ;echo only"), 0);
    EXPECT_EQ(g_out, std::vector<std::string>{"only"});
    // An alias that stands for an assignment runs nothing either.
    alias_set("setq", "Q=1");
    EXPECT_EQ(libsh_item_runs_cmd("setq"), 0);
    EXPECT_EQ(libsh_item_runs_cmd("  #x; y"), 0);
    EXPECT_EQ(libsh_item_runs_cmd("A=b=c"), 1);
    EXPECT_EQ(libsh_item_runs_cmd("echo A=b"), 1);
    EXPECT_EQ(libsh_item_runs_cmd("e"), 2);  // alias of exit
    // Unbalanced quotes: the line goes whole, and the shell's refusal is
    // its answer.
    EXPECT_EQ(run_client(port, "echo 'open;echo x"), 0);
    EXPECT_EQ(g_out, std::vector<std::string>{"error: unbalanced quotes, nothing run"});
}

TEST_F(ShellClient, LineFeedsEndRequestsAsOnTheServer)
{
    // Each line of the text is a request of its own, its carriage returns
    // dropped; every answer is printed, and blank lines send nothing.
    EXPECT_EQ(run_client(port, "echo a\necho b;ec\rho c\r\n\r\n\nCLI_LF=1\necho 'x\ny'\nenv"), 0);
    ASSERT_EQ(g_out.size(), 6u);
    EXPECT_EQ(g_out[0], "a");
    EXPECT_EQ(g_out[1], "b");
    EXPECT_EQ(g_out[2], "c");
    // A quote does not carry over a line feed, on the server either.
    EXPECT_EQ(g_out[3], "error: unbalanced quotes, nothing run");
    EXPECT_EQ(g_out[4], g_out[3]);
    EXPECT_NE(g_out[5].find("CLI_LF=1"), std::string::npos);
    // "quit" on a later line still ends the text unsent.
    EXPECT_EQ(run_client(port, "echo 1\nquit\necho never"), 0);
    EXPECT_EQ(g_out, std::vector<std::string>{"1"});
    // exit and quit with -h only describe themselves: the items after them
    // are sent.
    EXPECT_EQ(libsh_item_runs_cmd("exit -h"), 1);
    EXPECT_EQ(libsh_item_runs_cmd("e --help"), 1);
    EXPECT_EQ(libsh_item_runs_cmd("exit -- -h"), 2);
    EXPECT_EQ(libsh_item_runs_cmd("quit x -h"), 2);
    EXPECT_EQ(run_client(port, "quit -h\necho after"), 0);
    ASSERT_EQ(g_out.size(), 2u);
    EXPECT_EQ(g_out[1], "after");
    // An assignment the shell refuses answers with its error, which is
    // printed although a stored one prints nothing.
    for (u32 i = 0; i < LIBSH_VARS_MAX; ++i) libsh_setenv(("CLI_F" + std::to_string(i)).c_str(), "v");
    EXPECT_EQ(run_client(port, "CLI_FULL=1\nCLI_F0=w;echo after"), 0);
    EXPECT_EQ(g_out, (std::vector<std::string>{"error: too many shell variables (256): CLI_FULL not set", "after"}));
    EXPECT_STREQ(libsh_getenv("CLI_F0"), "w");
}

TEST_F(ShellClient, InteractiveLines)
{
    // Several commands on one line each get their own reply; an empty line
    // repeats this console's previous line; the end of input ends it.
    EXPECT_EQ(run_client(port, "sh", {"echo a;echo b", "", "  ", "nosuch; echo c", "X=1;echo d"}), 0);
    std::vector<std::string> want = {"a", "b", "a", "b", "a", "b",
                                     "command not found: [nosuch]\nType `help` to learn how to use prompt", "c", "d"};
    EXPECT_EQ(g_out, want);
    EXPECT_EQ(run_client(port, nullptr, {"echo 1", "quit", "echo never"}), 0);
    EXPECT_EQ(g_out, std::vector<std::string>{"1"});
    EXPECT_EQ(g_in_next, 2u);
    // "exit" from the console: its reply ends the client, which sends
    // nothing more on the session that exit ends.
    static std::atomic<int> calls{0};
    libsh_set_exit_func([] { return ++calls; });
    EXPECT_EQ(run_client(port, nullptr, {"exit", "echo never"}), 0);
    // The session calls the exit function after sending the reply.
    EXPECT_TRUE(dbgtest::wait_for([] { return calls.load() == 1; }, 5000));
    EXPECT_EQ(g_out, std::vector<std::string>{""});
    EXPECT_EQ(g_in_next, 1u);
}

// A scripted server: answers each request (read up to its NUL) with the
// next reply of the script, each after its delay; stops when the script
// ends.
struct scripted_server {
    int lfd = -1;
    int port = 0;
    std::thread th;
    std::vector<std::string> got;

    explicit scripted_server(std::vector<std::string> replies, std::vector<int> delays_ms = {})
    {
        lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd, (struct sockaddr *)&a, sizeof a);
        listen(lfd, 4);
        socklen_t len = sizeof a;
        getsockname(lfd, (struct sockaddr *)&a, &len);
        port = ntohs(a.sin_port);
        delays_ms.resize(replies.size());
        th = std::thread([this, replies, delays_ms] {
            struct pollfd p = {lfd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return;
            peer c(accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC));
            for (size_t i = 0; i < replies.size(); ++i) {
                std::string req = c.replies(1, 5000);
                if (req.empty()) return;
                got.push_back(req.substr(0, req.size() - 1));
                if (delays_ms[i]) std::this_thread::sleep_for(std::chrono::milliseconds(delays_ms[i]));
                c.send_all(replies[i]);
            }
            c.replies(1, 2000);  // until the client goes
        });
    }
    ~scripted_server()
    {
        th.join();
        close(lfd);
    }
};

TEST(ShellClientLimits, LongReplyPrintsWhatFits)
{
    nettest::log_capture log;
    std::string huge(20000, 'r');
    scripted_server srv({huge + "\r\n" + std::string(1, '\0'), "after\r\n" + std::string(1, '\0')});
    EXPECT_EQ(run_client(srv.port, "echo 1;echo 2"), 0);
    ASSERT_EQ(g_out.size(), 3u);
    EXPECT_EQ(g_out[0], std::string(DBGCLI_REPLY_SIZE - 1, 'r'));
    EXPECT_EQ(g_out[1], "... output cut at 16383 bytes");
    EXPECT_EQ(g_out[2], "after");  // the rest of the long reply is not shifted onto it
    EXPECT_TRUE(log.has("reply longer than 16383 bytes"));
}

TEST(ShellClientLimits, Exec2ReplyBufferAndTimeLimit)
{
    {
        scripted_server srv({"a\r\nb\r\n" + std::string(1, '\0')});
        char buf[64];
        debug_shell_req2 r = {"show x", buf, (i32)sizeof buf, 0};
        EXPECT_EQ(debug_shell_connet_exec2_cmd("127.0.0.1", srv.port, &r), 4);
        EXPECT_STREQ(buf, "a\nb\n");
        ASSERT_EQ(srv.got.size(), 1u);
        EXPECT_EQ(srv.got[0], "show x");
    }
    {
        nettest::log_capture log;
        scripted_server srv({"0123456789" + std::string(1, '\0')});
        char buf[5];
        debug_shell_req2 r = {"x", buf, (i32)sizeof buf, 0};
        EXPECT_EQ(debug_shell_connet_exec2_cmd("127.0.0.1", srv.port, &r), 4);
        EXPECT_STREQ(buf, "0123");
        EXPECT_TRUE(log.has("reply longer than 4 bytes"));
    }
    {
        nettest::log_capture log;
        // The reply comes long after the 200 ms limit: the client gives up
        // at its limit (the margin is wide for a loaded machine).
        scripted_server srv({"late" + std::string(1, '\0')}, {2500});
        char buf[64];
        debug_shell_req2 r = {"x", buf, (i32)sizeof buf, 200};
        long long t0 = dbgtest::now_ms();
        EXPECT_LT(debug_shell_connet_exec2_cmd("127.0.0.1", srv.port, &r), 0);
        EXPECT_LT(dbgtest::now_ms() - t0, 2000);
        EXPECT_STREQ(buf, "");
        EXPECT_TRUE(log.has("error: read command returns timeout\n"));
    }
}

TEST(ShellClientLimits, LateReplyOfATimedOutCommandIsDiscarded)
{
    // The first reply comes after the client gave up on it; it arrives
    // while the client waits for the second, which gets its own reply.
    // The margins are wide for a loaded machine.
    nettest::log_capture log;
    scripted_server srv({"late\r\n" + std::string(1, '\0'), "second\r\n" + std::string(1, '\0')}, {3000, 0});
    g_out.clear();
    debug_shell_req req;
    req.state.store(DBGCLI_IDLE);
    req.prompt = "t>";
    req.cmds = "echo 1;echo 2";
    req.reader = script_reader;
    req.output = collect;
    req.reply_ms = 2000;
    // The answer that did not come in time is a failure.
    EXPECT_EQ(debug_shell_connet_exec_cmd("127.0.0.1", srv.port, &req), -1);
    EXPECT_EQ(g_out, std::vector<std::string>{"second"});
    EXPECT_TRUE(log.has("error: read command returns timeout\n"));
}

TEST(ShellClientLimits, AnswerThatNeverComesIsAFailure)
{
    // The connection ends before the second answer: what came is printed,
    // and the client reports the failure.
    scripted_server srv({"1\r\n" + std::string(1, '\0')});
    EXPECT_EQ(run_client(srv.port, "echo 1;echo 2;echo 3"), -1);
    EXPECT_EQ(g_out, std::vector<std::string>{"1"});
}

TEST(ShellClientLimits, RefusedConnection)
{
    nettest::log_capture log;
    int port = dbgtest::free_port();
    EXPECT_EQ(run_client(port, "echo x"), -1);
    EXPECT_TRUE(log.has("sock_connect 127.0.0.1:" + std::to_string(port) + " error: "));
    EXPECT_TRUE(log.has("refused"));
    char buf[8];
    debug_shell_req2 r = {"x", buf, (i32)sizeof buf, 0};
    EXPECT_EQ(debug_shell_connet_exec2_cmd("127.0.0.1", port, &r), -1);
}

}  // namespace
