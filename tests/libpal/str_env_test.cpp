#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/string/str_env.h"

namespace {

// A fixed lookup table, so the expected texts do not depend on the host.
const char *table_lookup(const char *name, void *arg)
{
    auto *m = static_cast<std::map<std::string, std::string> *>(arg);
    auto it = m->find(name);
    return it == m->end() ? nullptr : it->second.c_str();
}

std::map<std::string, std::string> g_vars = {
    {"HOME", "/root"}, {"A", "1"}, {"B", "22"}, {"EMPTY", ""}, {"sp ace", "S"}, {"AB", "ab"}};

std::string expand(char *(*form)(const char *, str_env_lookup_fn, void *), const char *text)
{
    char *s = form(text, table_lookup, &g_vars);
    EXPECT_NE(s, nullptr);
    std::string r = s ? s : "<null>";
    os_free(s);
    return r;
}
std::string dollar(const char *text)
{
    return expand(str_env_expand_imp, text);
}
std::string pct(const char *text)
{
    return expand(str_env_expand_pct_imp, text);
}

TEST(StrEnv, DollarForm)
{
    EXPECT_EQ(dollar("$HOME/bin"), "/root/bin");
    EXPECT_EQ(dollar("${HOME}/bin"), "/root/bin");
    EXPECT_EQ(dollar("$HOME_X"), "/root_X");  // "_" ends a name
    EXPECT_EQ(dollar("${HOME}x"), "/rootx");
    EXPECT_EQ(dollar("a$NOPE/b"), "a/b");      // no value: the name disappears
    EXPECT_EQ(dollar("x$A:$B=y\\z"), "x1:22=y\\z");
    EXPECT_EQ(dollar("$A$B"), "122");         // "$" ends one name and starts the next
    EXPECT_EQ(dollar("$$A"), "1");
    EXPECT_EQ(dollar("a$/b"), "a/b");         // "$" before a terminator leaves the terminator
    EXPECT_EQ(dollar("end$"), "end");          // a lone "$" at the end disappears
    EXPECT_EQ(dollar("timeout$"), "timeout");
    EXPECT_EQ(dollar("$sp ace"), "S");        // blanks belong to the name
    EXPECT_EQ(dollar("${HOME"), "HOME");      // unclosed brace: the characters as they are
    EXPECT_EQ(dollar("$A{B}"), "ab");         // a brace inside the name goes on collecting it
    EXPECT_EQ(dollar("${}x"), "x");
    EXPECT_EQ(dollar("$EMPTY."), "");        // "." is part of the name "EMPTY."
    EXPECT_EQ(dollar("$EMPTY/"), "/");
    EXPECT_EQ(dollar("plain text"), "plain text");
    EXPECT_EQ(dollar(""), "");                // empty result: an empty text, not NULL
    EXPECT_EQ(dollar("$NOPE"), "");
    EXPECT_EQ(str_env_expand_imp(nullptr, table_lookup, &g_vars), nullptr);
}

TEST(StrEnv, PercentForm)
{
    EXPECT_EQ(pct("%HOME%/bin"), "/root/bin");
    EXPECT_EQ(pct("a%NOPE%b"), "a%NOPE%b");    // no value: written back as it stood
    EXPECT_EQ(pct("a%%b"), "ab");              // "%%" gives nothing
    EXPECT_EQ(pct("50%"), "50%");              // an open name at the end is written back
    EXPECT_EQ(pct("x%A"), "x%A");
    EXPECT_EQ(pct("%A%%B%"), "122");
    EXPECT_EQ(pct("%EMPTY%|"), "|");
    EXPECT_EQ(pct(""), "");
}

TEST(StrEnv, LongNamesAndTextsGrow)
{
    // Names and literal runs far beyond any fixed buffer.
    std::string name(10000, 'N');
    std::map<std::string, std::string> vars = {{name, std::string(70000, 'v')}};
    std::string text = std::string(9000, 'a') + "${" + name + "}" + std::string(9000, 'b');
    char *s = str_env_expand_imp(text.c_str(), table_lookup, &vars);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(strlen(s), 9000u + 70000u + 9000u);
    EXPECT_EQ(std::string(s, 5), "aaaaa");
    EXPECT_EQ(s[9000], 'v');
    os_free(s);
    std::string t2 = "%" + name + "%";
    s = str_env_expand_pct_imp(t2.c_str(), table_lookup, &vars);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(strlen(s), 70000u);
    os_free(s);
    std::string t3 = "%" + name + "x%";
    s = str_env_expand_pct_imp(t3.c_str(), table_lookup, &vars);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s), t3);
    os_free(s);
}

TEST(StrEnv, ProcessEnvironment)
{
    setenv("VKENVTEST", "val", 1);
    unsetenv("VKENVNONE");
    char *s = str_env_expand("[$VKENVTEST/${VKENVNONE}]");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "[val/]");
    os_free(s);
    s = str_env_expand_pct("%VKENVTEST%-%VKENVNONE%");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "val-%VKENVNONE%");
    os_free(s);
    EXPECT_STREQ(str_env_lookup("VKENVTEST"), "val");
    EXPECT_EQ(str_env_lookup("VKENVNONE"), nullptr);

    char buf[8];
    EXPECT_STREQ(str_env_expand2("%VKENVTEST%!", buf, sizeof buf), "val!");
    EXPECT_STREQ(str_env_expand2("%VKENVTEST%%VKENVTEST%%VKENVTEST%", buf, sizeof buf), "");
    unsetenv("VKENVTEST");
}

TEST(StrEnv, CheckChars)
{
    EXPECT_EQ(str_check_chars("abcXYZ", 1), 1);
    EXPECT_EQ(str_check_chars("abc1", 1), 0);
    EXPECT_EQ(str_check_chars("abc1", 3), 1);
    EXPECT_EQ(str_check_chars("123", 2), 1);
    EXPECT_EQ(str_check_chars("12a", 2), 0);
    EXPECT_EQ(str_check_chars("a b", 3), 0);
    EXPECT_EQ(str_check_chars("", 0), 1);
    EXPECT_EQ(str_check_chars("\xc3\xa9", 3), 0);
}

TEST(HostIdentity, BootTimeIsStable)
{
    u64 b = os_boot_time();
    os_time now;
    os_time_now(&now);
    ASSERT_GT(b, 0u);
    EXPECT_LE(b, (u64)now.sec);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(os_boot_time(), b);
}

TEST(HostIdentity, HostName)
{
    char buf[256];
    EXPECT_EQ(os_hostname(buf, sizeof buf), buf);
    EXPECT_GT(strlen(buf), 0u);
    char tiny[4];
    os_hostname(tiny, sizeof tiny);  // a short buffer gets the head of the name
    EXPECT_EQ(std::string(tiny), std::string(buf).substr(0, 3));
}

// "(none)" needs a host name of its own: a child in a new UTS namespace.
TEST(HostIdentity, HostNameNoneInUtsNamespace)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Without root, a user namespace of its own gives the right to it.
        if (unshare(CLONE_NEWUTS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWUTS) != 0) _exit(77);
        if (sethostname("(none)", 6) != 0) _exit(77);
        char buf[64];
        os_hostname(buf, sizeof buf);
        _exit(strcmp(buf, "none") == 0 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) == 77) GTEST_SKIP() << "no UTS namespace here (needs CAP_SYS_ADMIN or user namespaces)";
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

}  // namespace
