#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/tmp_file.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_thread.h"
#include "libpal/tframe/app.h"
#include "libsh/libsh.h"
#include "libsh/libsh_source.h"

namespace {

// A session whose output is collected in a string; each flush adds '@'.
struct capture {
    std::string text;
};

int cap_write(void *out, const char *t)
{
    ((capture *)out)->text += t;
    return 0;
}

int cap_printf(void *out, const char *fmt, ...)
{
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return cap_write(out, buf);
}

int cap_flush(void *out)
{
    ((capture *)out)->text += '@';
    return 0;
}

// A context whose output goes to cap.
void bind(dbgsh_srv_ctx &ctx, capture &cap)
{
    ctx.out = &cap;
    ctx.printf = cap_printf;
    ctx.write = cap_write;
    ctx.flush = cap_flush;
}

int g_exit_calls = 0;
int count_exit() { return ++g_exit_calls; }

struct shell : testing::Test {
    capture cap;
    dbgsh_srv_ctx ctx{};
    void SetUp() override
    {
        libsh_init();
        bind(ctx, cap);
        exec_commands(&ctx, "#reset");  // clears the previous line of earlier tests
        cap.text.clear();
    }
    void TearDown() override { libsh_exit(); }
    std::string run(const std::string &line, int *rc = nullptr)
    {
        cap.text.clear();
        int r = exec_commands(&ctx, line.c_str());
        if (rc) *rc = r;
        return cap.text;
    }
};

TEST_F(shell, ListsQuotingAndComments)
{
    EXPECT_EQ(run("echo a;echo b"), "a\n@b\n@");
    EXPECT_EQ(run("echo 'x;y'"), "'x;y'\n@");  // single quotes keep the item whole
    EXPECT_EQ(run("echo \"p  q\" r"), "p  q r\n@");  // double quotes group and go
    EXPECT_EQ(run("echo a   b"), "a b\n@");
    // Every line gets at least its one end mark, so that a peer waiting
    // for the reply is answered: lines that run nothing an empty reply,
    // refused lines their error.
    EXPECT_EQ(run(";;;"), "@");
    EXPECT_EQ(run("# only a comment"), "@");
    EXPECT_EQ(run(""), "@");  // repeats the comment
    EXPECT_EQ(run("X_T=1; # c"), "@");
    EXPECT_EQ(run("echo 1; # c; echo 2"), "1\n@2\n@");
    int rc = 0;
    EXPECT_EQ(run("echo \"open;echo x", &rc), "error: unbalanced quotes, nothing run\n@");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(run(""), "@");  // the unbalanced line cleared the previous line
}

TEST_F(shell, EmptyLineRepeatsAndUnknownCommandStops)
{
    EXPECT_EQ(run("echo again"), "again\n@");
    EXPECT_EQ(run("   "), "again\n@");
    int rc = 0;
    EXPECT_EQ(run("nosuch x; echo never", &rc),
              "command not found: [nosuch]\nType `help` to learn how to use prompt\n@");
    EXPECT_EQ(rc, -12);
    EXPECT_EQ(run(""), "@");  // not found clears the previous line
    EXPECT_EQ(run("show nope; echo never", &rc), "error: The show variable 'nope' does not exist\n@");
    EXPECT_EQ(rc, -12);
    // A blank item is looked up as an empty name.
    EXPECT_EQ(run("echo a; ; echo b"),
              "a\n@command not found: []\nType `help` to learn how to use prompt\n@");
}

TEST_F(shell, PreviousLineIsKeptPerSession)
{
    // An empty line repeats its own session's last line, never another's;
    // a session without one gets only its end mark.
    capture other_cap;
    dbgsh_srv_ctx other{};
    bind(other, other_cap);
    EXPECT_EQ(run("echo secret"), "secret\n@");
    exec_commands(&other, " ");
    EXPECT_EQ(other_cap.text, "@");
    exec_commands(&other, "echo other");
    EXPECT_EQ(run(""), "secret\n@");
    other_cap.text.clear();
    exec_commands(&other, "");
    EXPECT_EQ(other_cap.text, "other\n@");
    // A file run by "source" runs within its caller's session.
    std::string f = testutil::tmp_file("src", "prev", "echo from file\n");
    EXPECT_EQ(run("source " + f), "from file\n@");
    EXPECT_EQ(run(""), "from file\n@");
    unlink(f.c_str());
    other_cap.text.clear();
    exec_commands(&other, "");
    EXPECT_EQ(other_cap.text, "other\n@");
}

TEST_F(shell, AssignmentsAndVariables)
{
    EXPECT_EQ(run("FOO_T=bar baz"), "@");
    EXPECT_NE(run("env").find("FOO_T=bar baz\n"), std::string::npos);
    EXPECT_EQ(libsh_assign_var("A=b=c"), -1);  // second '=' is not an assignment
    EXPECT_EQ(libsh_assign_var("A="), -1);
    EXPECT_EQ(libsh_assign_var("A B=c"), -1);
    EXPECT_EQ(run("unset FOO_T"), "@");
    EXPECT_EQ(run("env").find("FOO_T="), std::string::npos);
    EXPECT_EQ(run("unset"), "unsetenv: Too few arguments\n@");
}

TEST_F(shell, VariablesAreBounded)
{
    // Names and values of at most 255 characters.
    const std::string n255(255, 'N'), v255(255, 'v');
    EXPECT_EQ(libsh_assign_var((n255 + "=" + v255).c_str()), 0);
    EXPECT_EQ(libsh_assign_var((n255 + "N=v").c_str()), -1);
    EXPECT_EQ(libsh_assign_var(("N=" + v255 + "v").c_str()), -1);
    // At most LIBSH_VARS_MAX beyond those of the environment at start.
    for (u32 i = 1; i < LIBSH_VARS_MAX; ++i)
        ASSERT_EQ(libsh_assign_var(("B_" + std::to_string(i) + "=x").c_str()), 0) << i;
    const u64 blocks = malloc_count.load();
    int rc = 0;
    // Past the bound: the error and the end mark, nothing stored, the rest
    // of the line not run; a sourced file goes on after it.
    EXPECT_EQ(run("B_NEW=1;echo never", &rc),
              "error: too many shell variables (256): B_NEW not set\n@");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(libsh_getenv("B_NEW"), nullptr);
    EXPECT_EQ(libsh_setenv("B_NEW", "1"), LIBSH_FULL);
    std::string f = testutil::tmp_file("src", "vars", "B_NEW=2\necho on\n");
    EXPECT_EQ(run("source " + f), "error: too many shell variables (256): B_NEW not set\non\n@");
    unlink(f.c_str());
    EXPECT_EQ(malloc_count.load(), blocks);
    // A variable that exists always takes a new value; unset makes room.
    EXPECT_EQ(run("B_1=changed"), "@");
    EXPECT_STREQ(libsh_getenv("B_1"), "changed");
    EXPECT_EQ(run("unset B_2;B_NEW=3"), "@");
    EXPECT_STREQ(libsh_getenv("B_NEW"), "3");
}

TEST_F(shell, AliasesAreBounded)
{
    // Names and values of at most 255 characters, at most 256 aliases in all.
    EXPECT_EQ(alias_set(std::string(255, 'n').c_str(), std::string(255, 'v').c_str()), 0);
    EXPECT_EQ(run("alias long=" + std::string(256, 'v') + ";echo never"),
              "error: alias long not set: its name and its value hold at most 255 characters each\n@");
    u32 n = 0;
    alias_foreach([](const char *, const char *, void *arg) { ++*(u32 *)arg; }, &n);
    for (u32 i = n; i < LIBSH_ALIASES_MAX; ++i) ASSERT_EQ(alias_set(("al_" + std::to_string(i)).c_str(), "x"), 0);
    // Past the bound: the error after what came before it; nothing kept, the
    // rest of the line not run. Replacing and unalias always work.
    EXPECT_EQ(run("alias sc al_new=x;echo never"),
              "sc='show config'\nerror: too many aliases (256): al_new not set\n@");
    EXPECT_EQ(alias_get("al_new"), nullptr);
    EXPECT_EQ(run("alias sc=x;unalias al_" + std::to_string(n) + ";alias al_new=x"), "@@@");
    EXPECT_STREQ(alias_get("al_new"), "x");
}

TEST_F(shell, AliasesExpandOnceOnTheCommandWord)
{
    EXPECT_EQ(run("alias sc"), "sc='show config'\n@");
    EXPECT_EQ(run("alias zz=\"echo hi\""), "@");
    EXPECT_EQ(run("zz there"), "hi there\n@");
    EXPECT_EQ(run("alias yy=zz"), "@");
    EXPECT_EQ(run("yy").substr(0, 25), "command not found: [zz]\nT");
    EXPECT_EQ(run("alias nope"), "nope not found\n@");
    EXPECT_EQ(run("unalias zz nope"), "nope not found\n@");
    EXPECT_EQ(run("help alias"), "@");
    EXPECT_EQ(run("unalias -a"), "@");
    EXPECT_EQ(run("alias"), "@");
}

TEST_F(shell, BuiltinsAndHelp)
{
    std::string h = run("help");
    EXPECT_EQ(h.substr(0, 42), "show      \tShow the status of the program\n");
    EXPECT_NE(h.find("?         \tSynonym for `help'\n"), std::string::npos);
    EXPECT_NE(h.find("e.g. help pwd\n@"), std::string::npos);
    EXPECT_EQ(run("help pwd"), "pwd\nPrint working directory\n\t-h Display this help\n@");
    EXPECT_EQ(run("echo -n"), "@");
    EXPECT_EQ(run("echo"), "\n@");
    EXPECT_EQ(run("echo -e 'a\\tb\\c' x"), "'a\tb' x@");
    EXPECT_EQ(run("echo -x"), "-x\n@");
    // Arguments longer than any command line (a handler called directly).
    std::string big(10000, 'b');
    char *args[] = {(char *)"echo", (char *)"-n", big.data(), big.data(), nullptr};
    cap.text.clear();
    EXPECT_EQ(libsh_cmd_echo(&ctx, 4, args), 0);
    EXPECT_EQ(cap.text, big + " " + big);
    EXPECT_EQ(run("set log.level"), std::string("Set public options\nset log.level "
                                                 "[verb|dbg|info|noti|warn|err|crit] -- Set log "
                                                 "output level\n@"));
    EXPECT_EQ(run("set log.level nope").substr(0, 29), "error: invalid param [nope]\n\n");
    EXPECT_EQ(run("call nope"), "error: The call func 'nope' does not exist\n@");
    // help show and help call give the listings, not an error.
    int rc = -1;
    EXPECT_EQ(run("help show").rfind("Show the status of the program\nshow info -- ", 0), 0u);
    EXPECT_EQ(run("show -h", &rc).rfind("Show the status of the program\n", 0), 0u);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(run("call -h", &rc).rfind("call application commands\ncall kill -- ", 0), 0u);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(run("help call").find("call tlog -- Test All log level output\n@"), std::string::npos);
    EXPECT_EQ(run("call", &rc).rfind("call application commands\n", 0), 0u);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(run("call tlog extra"), "@");  // flushed itself: one end mark
}

TEST_F(shell, ExitAndQuitFlushOnceAndHelpDoesNothingElse)
{
    libsh_set_exit_func(count_exit);
    g_exit_calls = 0;
    EXPECT_EQ(run("help exit"), "exit\nExit the service program\n\t-h Display this help\n@");
    EXPECT_EQ(g_exit_calls, 0);
    EXPECT_EQ(ctx.exit_flag, 0u);
    EXPECT_EQ(run("quit"), "@");
    EXPECT_EQ(ctx.exit_flag, 1u);
    ctx.exit_flag = 0;
    EXPECT_EQ(run("exit"), "@");
    EXPECT_EQ(g_exit_calls, 1);
    EXPECT_EQ(ctx.exit_flag, 1u);
    libsh_set_exit_func(nullptr);
}

TEST_F(shell, LongLinesAreRefusedNotRun)
{
    run("echo prev");
    int rc = 0;
    std::string out = run("echo " + std::string(5000, 'x'), &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out.find("xxx"), std::string::npos);
    EXPECT_NE(out.find("too long"), std::string::npos);
    EXPECT_EQ(out.find("prev"), std::string::npos);
}

struct source_files : shell {
    std::vector<std::string> made;
    std::string file(const std::string &name, const std::string &text)
    {
        std::string p = testutil::tmp_file("src", name, text);
        made.push_back(p);
        return p;
    }
    void TearDown() override
    {
        for (auto &p : made) unlink(p.c_str());
        shell::TearDown();
    }
};

TEST_F(source_files, RunsLinesRepeatsAndLimits)
{
    std::string f = file("a", "echo one\n\necho two\n");
    // The whole run is one reply: one end mark, after the file's output.
    EXPECT_EQ(run("source " + f), "one\none\ntwo\n@");
    // A leading empty line has nothing of its file to repeat: it does not
    // run the file again.
    std::string blank = file("blank", "\necho once\n");
    EXPECT_EQ(run("source " + blank), "once\n@");
    EXPECT_EQ(run("source /nonexistent/file").substr(0, 30), "open:[/nonexistent/file] error");
    EXPECT_EQ(run("source"), "source [opt] [file]...\nExec commands from file\n-h: Display this help\n@");
    std::string longf = file("long", "echo " + std::string(5000, 'y') + "\necho after\n");
    std::string out = run("source " + longf);
    EXPECT_NE(out.find("too long"), std::string::npos);
    EXPECT_EQ(out.find("yyy"), std::string::npos);
    EXPECT_NE(out.find("after\n"), std::string::npos);
    // A NUL early in an over-long line: still dropped whole, its tail never run.
    out = run("source " + file("nul", std::string("echo a\0", 7) + std::string(LIBSH_LINE_MAX - 8, 'p') + "echo T\n"));
    EXPECT_EQ(out, "source: " + made.back() + " line 1 too long (at most 4095 characters), skipped\n@");
    std::string self = file("self", "");
    std::ofstream(self) << "source " << self << "\n";
    out = run("source " + self);
    EXPECT_NE(out.find("nesting too deep"), std::string::npos);
    // A FIFO is read as its writer sends; one that sends nothing ends the
    // run after the wait, and says so. A device's lines are counted.
    std::string fifo = file("fifo", "");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&fifo] {
        int fd = open(fifo.c_str(), O_WRONLY);
        EXPECT_EQ(write(fd, "echo fed\n", 9), 9);
        close(fd);
    });
    EXPECT_EQ(run("source " + fifo), "fed\n@");
    writer.join();
    libsh_source_set_wait(200);
    EXPECT_EQ(run("source " + fifo), "error: source stopped: nothing came from [" + fifo + "] for 0.2 s\n@");
    libsh_source_set_wait(0);
    EXPECT_EQ(run("source /dev/zero").substr(0, 27), "error: source stopped after");
    EXPECT_EQ(run("source /"), "open:[/] error:Is a directory\n@");
}

// Nested files run on the session's thread: the deepest nesting fits a
// stack far smaller than a session thread's, so each level costs little.
struct deep_run {
    dbgsh_srv_ctx *ctx;
    std::string line;
};

TEST_F(source_files, DeepNestingFitsASmallStack)
{
    std::string self = file("deep", "");
    std::ofstream(self) << "echo d\nsource " << self << "\n";
    deep_run d{&ctx, "source " + self};
    cap.text.clear();
    os_thread *t = os_thread_init(
        "deep", [](void *arg) -> i64 {
            deep_run *d = (deep_run *)arg;
            return exec_commands(d->ctx, d->line.c_str());
        },
        &d, 96 * 1024);
    ASSERT_NE(t, nullptr);
    int code = 0;
    EXPECT_EQ(os_thread_wait_kill_exit(t, 10000, &code), 0);
    size_t lines = 0;
    for (size_t p = 0; (p = cap.text.find("d\n", p)) != std::string::npos; p += 2) ++lines;
    EXPECT_EQ(lines, 16u) << cap.text;
    EXPECT_NE(cap.text.find("nesting too deep"), std::string::npos);
}

TEST_F(source_files, OneReplyPerTopLevelCommand)
{
    // Flushes of the file's commands (their own ends, "call tlog" flushing
    // itself, a failing command) do not end the reply of "source".
    std::string f = file("one", "echo a\ncall tlog\nnosuch\necho b; echo c\n# note\nV1=2\n");
    EXPECT_EQ(run("source " + f + "; echo after"),
              "a\ncommand not found: [nosuch]\nType `help` to learn how to use prompt\nb\nc\n@after\n@");
    // A file that sources another: still one reply.
    std::string outer = file("outer", "echo o1\nsource " + f + "\necho o2\n");
    std::string r = run("source " + outer);
    EXPECT_EQ(std::count(r.begin(), r.end(), '@'), 1) << r;
    EXPECT_EQ(r.substr(r.size() - 4), "o2\n@");

    // "quit" and "exit" in a file end the reply at once, and only once.
    std::string q = file("quit", "echo q\nquit\necho never\n");
    EXPECT_EQ(run("source " + q + "; echo never"), "q\n@");
    EXPECT_EQ(ctx.exit_flag, 1u);
    ctx.exit_flag = 0;
    libsh_set_exit_func(count_exit);
    g_exit_calls = 0;
    std::string e = file("exit", "echo e\nsource " + q + "\nexit\n");
    EXPECT_EQ(run("source " + e), "e\nq\n@");
    EXPECT_EQ(g_exit_calls, 0);  // the nested quit ended the run first
    ctx.exit_flag = 0;
    std::string e2 = file("exit2", "echo e\nexit\necho never\n");
    EXPECT_EQ(run("source " + e2), "e\n@");
    EXPECT_EQ(g_exit_calls, 1);
    ctx.exit_flag = 0;
    libsh_set_exit_func(nullptr);

    // A file that does not open: its error is the reply, the line stops.
    std::string r2 = run("source /nonexistent/x; echo no");
    EXPECT_EQ(r2.substr(0, 23), "open:[/nonexistent/x] e");
    EXPECT_EQ(std::count(r2.begin(), r2.end(), '@'), 1);
    EXPECT_EQ(r2.find("no\n"), std::string::npos);
}

// A file that sources itself several times would run an exponential
// number of commands: one top-level run stops after the limit, with an
// error and -1, and the next run gets the whole limit again.
TEST_F(source_files, WorkOfOneRunIsBounded)
{
    for (int fan : {2, 3}) {
        std::string self = file("fan" + std::to_string(fan), "");
        std::string text = "echo x\n";
        for (int i = 0; i < fan; ++i) text += "source " + self + "\n";
        std::ofstream(self) << text;
        int rc = 0;
        std::string out = run("source " + self + "; echo never", &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(std::count(out.begin(), out.end(), '@'), 1);
        const std::string tail = "error: source stopped after 10000 commands (the most one source may run)\n@";
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
        size_t echoes = 0;
        for (size_t p = 0; (p = out.find("x\n", p)) != std::string::npos; p += 2) ++echoes;
        EXPECT_GT(echoes, 1000u);
        EXPECT_LT(echoes, (size_t)LIBSH_SOURCE_CMDS_MAX);
    }
    // Exactly the limit still runs whole.
    std::string text;
    for (u32 i = 0; i < LIBSH_SOURCE_CMDS_MAX; ++i) text += "V=1; echo -n\n";
    std::string just = file("just", text);
    int rc = 1;
    EXPECT_EQ(run("source " + just, &rc), "@");
    EXPECT_EQ(rc, 0);
    std::string over = file("over", text + "echo -n\n");
    EXPECT_EQ(run("source " + over, &rc).substr(0, 27), "error: source stopped after");
    EXPECT_EQ(rc, -1);
    // Lines that run nothing count too.
    EXPECT_EQ(run("source " + file("blank", std::string(LIBSH_SOURCE_CMDS_MAX, '\n')), &rc), "@");
    std::string blanks = file("blanks", std::string(LIBSH_SOURCE_CMDS_MAX + 1, '\n'));
    EXPECT_EQ(run("source " + blanks, &rc).substr(0, 27), "error: source stopped after");
}

int g_checks = 0;
int gone_after_50(dbgsh_srv_ctx *) { return ++g_checks <= 50; }

TEST_F(source_files, StopsWhenTheSessionEndsOrTheProgramStops)
{
    std::string self = file("loop", "");
    std::ofstream(self) << "echo x\nsource " << self << "\nsource " << self << "\n";
    g_checks = 0;
    libsh_set_session_check(gone_after_50);
    int rc = 0;
    std::string out = run("source " + self, &rc);
    libsh_set_session_check(nullptr);
    EXPECT_EQ(rc, -1);
    EXPECT_LT(std::count(out.begin(), out.end(), 'x'), 50);
    // For a client that has shut down only its sending side.
    const std::string why = "error: source stopped: the client closed the connection\n@";
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), why.size())), why);

    g_app.stop_flag.store(1);
    out = run("source " + self, &rc);
    g_app.stop_flag.store(0);
    EXPECT_EQ(out, "error: source stopped: the program is stopping\n@");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(run("source " + file("fine", "echo fine\n")), "fine\n@");
}

// Sessions on several threads share the aliases and the variables; the
// tables must stay consistent, and each session repeats only its own line.
TEST(ShellConcurrency, SessionsShareTablesSafely)
{
    libsh_init();
    std::vector<std::thread> ts;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([t, &wrong] {
            capture cap;
            dbgsh_srv_ctx ctx{};
            bind(ctx, cap);
            for (int i = 0; i < 200; ++i) {
                std::string n = std::to_string(t) + "_" + std::to_string(i % 7);
                exec_commands(&ctx, ("alias a" + n + "=\"echo " + n + "\"").c_str());
                exec_commands(&ctx, ("V" + n + "=x" + n).c_str());
                exec_commands(&ctx, ("a" + n).c_str());
                cap.text.clear();
                exec_commands(&ctx, "");
                if (cap.text != n + "\n@") ++wrong;
                exec_commands(&ctx, "env");
            }
        });
    }
    for (auto &t : ts) t.join();
    EXPECT_EQ(wrong.load(), 0);
    capture cap;
    dbgsh_srv_ctx ctx{};
    bind(ctx, cap);
    exec_commands(&ctx, "a3_6");
    EXPECT_EQ(cap.text, "3_6\n@");
    libsh_exit();
}

// Source runs on several sessions at once: each is limited on its own.
TEST(ShellConcurrency, SourceRunsAreBoundedPerSession)
{
    libsh_init();
    std::string self = testutil::tmp_file("src", "conc", "");
    std::ofstream(self) << "echo x\nsource " << self << "\nsource " << self << "\n";
    std::vector<std::thread> ts;
    std::atomic<int> right{0};
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&] {
            capture cap;
            dbgsh_srv_ctx ctx{};
            bind(ctx, cap);
            int rc = exec_commands(&ctx, ("source " + self).c_str());
            size_t marks = (size_t)std::count(cap.text.begin(), cap.text.end(), '@');
            if (rc == -1 && marks == 1 && cap.text.find("error: source stopped after 10000") != std::string::npos)
                ++right;
        });
    }
    for (auto &t : ts) t.join();
    EXPECT_EQ(right.load(), 4);
    unlink(self.c_str());
    libsh_exit();
}

}  // namespace
