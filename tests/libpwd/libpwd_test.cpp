// Login checks and the lock-out of client addresses, on a test clock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_escape.h"
#include "libpwd/libpwd.h"

namespace {

std::atomic<u64> g_now{1000000};
u64 test_clock() { return g_now.load(); }

struct PwdTest : ::testing::Test {
    char err[LIBPWD_TEXT_MAX];
    void start(i32 limit, i32 minutes = 60, i32 size = 0)
    {
        ipcheck_set_clock(test_clock);
        libpwd_param p = {"admin", "s3cret", limit, minutes, size};
        ASSERT_EQ(libpwd_init(&p), 0);
    }
    void TearDown() override
    {
        libpwd_exit();
        ipcheck_set_clock(nullptr);
    }
    int check(const char *ip, const char *pwd) { return libpwd_check_user_pwd(ip, "admin", pwd, err); }
};

TEST_F(PwdTest, LockOutAfterTheLimitAndItsEnd)
{
    start(3, 60);
    testutil::log_capture cap;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(check("1.1.1.1", "wrong"), LIBPWD_WRONG);
        EXPECT_STREQ(err, "Wrong user or password");
    }
    EXPECT_TRUE(cap.has("ip=[1.1.1.1] locked out for 60 minutes after 3 failures")) << cap.get();
    g_now += 60000;  // one minute later
    EXPECT_EQ(check("1.1.1.1", "s3cret"), LIBPWD_LOCKED);
    EXPECT_STREQ(err, "Login failed 3 times, Please try again in 59.00 minutes");
    EXPECT_EQ(check("2.2.2.2", "s3cret"), LIBPWD_OK);  // another address is not touched
    // The challenge login is refused too while the lock holds, with the 1
    // its callers know as a refusal and the lock-out's text.
    err[0] = 0;
    EXPECT_EQ(libpwd_check_key("1.1.1.1", "k", "k", err), LIBPWD_WRONG);
    EXPECT_STREQ(err, "Login failed 3 times, Please try again in 59.00 minutes");
    char cert[300], key[64];
    int count = 0;
    err[0] = 0;
    EXPECT_EQ(libpwd_user_get_cert("1.1.1.1", 1, &count, "admin", cert, sizeof cert, key, sizeof key, err),
              LIBPWD_WRONG);
    EXPECT_STREQ(err, "Login failed 3 times, Please try again in 59.00 minutes");
    EXPECT_EQ(libpwd_check_login("1.1.1.1", "admin", "s3cret", "admin", "s3cret", err), LIBPWD_LOCKED);
    g_now += 59 * 60000;  // the lock has run out: the count starts again
    EXPECT_EQ(check("1.1.1.1", "wrong"), LIBPWD_WRONG);
    EXPECT_EQ(check("1.1.1.1", "s3cret"), LIBPWD_OK);
}

TEST_F(PwdTest, SuccessForgetsAndLongLocksHold)
{
    start(2, 40000);  // 40000 minutes do not fit 32-bit milliseconds
    EXPECT_EQ(check("3.3.3.3", "wrong"), LIBPWD_WRONG);
    EXPECT_EQ(check("3.3.3.3", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(check("3.3.3.3", "wrong"), LIBPWD_WRONG);  // one failure again, not two
    EXPECT_EQ(check("3.3.3.3", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(check("3.3.3.3", "wrong"), LIBPWD_WRONG);
    EXPECT_EQ(check("3.3.3.3", "wrong"), LIBPWD_WRONG);
    g_now += 30000ull * 60000;
    EXPECT_EQ(check("3.3.3.3", "s3cret"), LIBPWD_LOCKED);
    EXPECT_STREQ(err, "Login failed 2 times, Please try again in 10000.00 minutes");
}

TEST_F(PwdTest, UserPasswordForms)
{
    start(0);
    char sha[128];
    libpwd_sha_pwd("s3cret", sha, sizeof sha);
    EXPECT_EQ(std::string(sha).rfind("{SHA}", 0), 0u);
    EXPECT_EQ(check("4.4.4.4", sha), LIBPWD_OK);
    EXPECT_EQ(libpwd_check_user_pwd("4.4.4.4", "Admin", "s3cret", err), LIBPWD_WRONG);
    EXPECT_EQ(check("4.4.4.4", "S3cret"), LIBPWD_WRONG);
    libpwd_sha_pwd("", sha, sizeof sha);
    EXPECT_STREQ(sha, "");
    char *dup = libpwd_sha_pwd_dup("abc");
    EXPECT_STREQ(dup, "{SHA}qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    os_free(dup);
    // A limit of 0 never locks.
    for (int i = 0; i < 20; ++i) check("4.4.4.4", "bad");
    EXPECT_EQ(check("4.4.4.4", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(ipcheck_count(), 0u);

    EXPECT_EQ(libpwd_set_user_pwd("new user", "x", err), -1);
    EXPECT_STREQ(err, "user is invalid, Cannot use [;/\\\"'?:@# ]");
    EXPECT_EQ(libpwd_set_user_pwd("u", "p;", err), -1);
    EXPECT_STREQ(err, "passwd is invalid, Cannot use [;/\\\"'?:@# ]");
    EXPECT_EQ(libpwd_set_user_pwd("u", "p", err), 0);
    EXPECT_EQ(libpwd_check_user_pwd("4.4.4.4", "u", "p", err), LIBPWD_OK);

    // A login of the caller's own, any characters in it.
    EXPECT_EQ(libpwd_check_login("4.4.4.4", "web", "p w;", "web", "p w;", err), LIBPWD_OK);
    libpwd_sha_pwd("p w;", sha, sizeof sha);
    EXPECT_EQ(libpwd_check_login("4.4.4.4", "web", sha, "web", "p w;", err), LIBPWD_OK);
    EXPECT_EQ(libpwd_check_login("4.4.4.4", "u", "p", "web", "p w;", err), LIBPWD_WRONG);
    EXPECT_STREQ(err, "Wrong user or password");
}

TEST_F(PwdTest, NoClearPasswordInTheLog)
{
    start(5);
    testutil::log_capture cap;
    libpwd_check_user_pwd("5.5.5.5", "admin", "guess-123", err);
    char key[64];
    libpwd_build_key("admin", "s3cret", 1, "c0ffee", key, sizeof key);
    EXPECT_TRUE(cap.has("ip=[5.5.5.5] wrong pwd"));
    EXPECT_FALSE(cap.has("guess-123"));
    EXPECT_FALSE(cap.has("s3cret"));
    // A user name cannot forge a record of its own.
    libpwd_check_user_pwd("5.5.5.5", "x\n[warn] forged", "pw", err);
    EXPECT_TRUE(cap.has("wrong user [x\\x0a\\x5bwarn\\x5d forged]")) << cap.get();
}

// Names and keys as a client sends them: one record each, brackets and
// bytes outside printable ASCII escaped, so no record reads as another.
TEST_F(PwdTest, ClientTextEscapedInRecords)
{
    start(5);
    testutil::log_capture cap;
    const char *forged = "x] ip=[10.9.9.9] locked out for 60 minutes after 5 failures [";
    EXPECT_EQ(libpwd_check_user_pwd("127.0.0.1", forged, "pw", err), LIBPWD_WRONG);
    EXPECT_EQ(cap.get(), "ip=[127.0.0.1] wrong user [x\\x5d ip=\\x5b10.9.9.9\\x5d locked out for 60 minutes after 5 "
                         "failures \\x5b]\n");
    char cert[300], key[64];
    int count = 0;
    libpwd_user_get_cert("127.0.0.1", 1, &count, "\xe9\xff\xfe", cert, sizeof cert, key, sizeof key, err);
    libpwd_check_key("127.0.0.1", "k]\x01\\x5d", "other", err);
    std::string text = cap.get();
    EXPECT_NE(text.find("ip=[127.0.0.1] wrong user [\\xe9\\xff\\xfe]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ip=[127.0.0.1] wrong key [k\\x5d\\x01\\x5cx5d]\n"), std::string::npos) << text;
    for (unsigned char c : text) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << text;
}

// A full table makes room by forgetting the entries with the oldest
// failure, locked or not: an address that has not failed is never refused.
TEST_F(PwdTest, EvictionTakesTheOldestFailures)
{
    start(2, 60, 2);
    check("a", "x");
    check("a", "x");  // a is locked
    g_now += 10;
    check("b", "x");
    check("b", "x");  // b is locked
    g_now += 10;
    EXPECT_EQ(check("c", "s3cret"), LIBPWD_OK);  // a went to make room
    EXPECT_EQ(check("b", "s3cret"), LIBPWD_LOCKED);
    // a comes back with its tries whole, and is locked after them.
    EXPECT_EQ(check("a", "x"), LIBPWD_WRONG);
    EXPECT_EQ(check("a", "x"), LIBPWD_WRONG);
    EXPECT_EQ(check("a", "s3cret"), LIBPWD_LOCKED);
    EXPECT_EQ(ipcheck_count(), 2u);
    // An entry that goes between its check and its failure: counted anyway.
    EXPECT_EQ(ipcheck_check("d", err), 0);
    EXPECT_EQ(ipcheck_check("e", err), 0);  // d, which never failed, made room
    ipcheck_fail("d");
    ipcheck_fail("d");
    EXPECT_EQ(check("d", "s3cret"), LIBPWD_LOCKED);
}

TEST_F(PwdTest, ChallengeLogin)
{
    start(3);
    char cert[300], cert2[300], key[64], key2[64], expect[64];
    int count = 0;
    ASSERT_EQ(libpwd_user_get_cert("6.6.6.6", 5, &count, "admin", cert, sizeof cert, key, sizeof key, err), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(strlen(cert), 256u);
    EXPECT_EQ(strspn(cert, "0123456789abcdef"), 256u);
    libpwd_build_key("admin", "s3cret", 1, cert, expect, sizeof expect);
    EXPECT_STREQ(key, expect);
    EXPECT_EQ(strlen(key), 40u);
    ASSERT_EQ(libpwd_user_get_cert("6.6.6.6", 1, &count, "admin", cert2, sizeof cert2, key2, sizeof key2, err), 0);
    EXPECT_STRNE(cert, cert2);
    EXPECT_EQ(libpwd_check_key("6.6.6.6", key, key, err), LIBPWD_OK);
    EXPECT_EQ(libpwd_check_key("6.6.6.6", "nope", key, err), LIBPWD_WRONG);
    EXPECT_EQ(libpwd_user_get_cert("6.6.6.6", 1, &count, "root", cert, sizeof cert, key, sizeof key, err),
              LIBPWD_WRONG);
    EXPECT_STREQ(err, "Wrong user or password");
    EXPECT_EQ(libpwd_check_key("6.6.6.6", "nope", key2, err), LIBPWD_WRONG);
    EXPECT_EQ(libpwd_check_key("6.6.6.6", key2, key2, err), LIBPWD_WRONG);
    EXPECT_EQ(std::string(err).rfind("Login failed 3 times", 0), 0u) << err;
}

TEST_F(PwdTest, Rc4Base64)
{
    char b64[256], plain[256];
    ASSERT_EQ(libpwd_encrypt_b64("hello world", "k3y", b64, sizeof b64), 0);
    EXPECT_STRNE(b64, "hello world");
    ASSERT_EQ(libpwd_decrypt_b64(b64, "k3y", plain, sizeof plain), 0);
    EXPECT_STREQ(plain, "hello world");
    EXPECT_EQ(libpwd_decrypt_b64("", "k3y", plain, sizeof plain), -1);
    EXPECT_EQ(libpwd_decrypt_b64(b64, "k3y", plain, 11), -1);  // no room for the NUL
    EXPECT_EQ(libpwd_encrypt_b64("hello world", "k3y", b64, 8), -1);
}

// Many threads check, fail and clear addresses while the user and
// password are changed: every operation holds its lock.
TEST_F(PwdTest, LockOutConcurrency)
{
    start(3, 60, 64);
    log_ctx_get(nullptr);  // the log's default context exists before the threads log
    std::vector<std::thread> ts;
    std::atomic<int> locked{0};
    for (int t = 0; t < 8; ++t) {
        ts.emplace_back([t, &locked] {
            char e[LIBPWD_TEXT_MAX];
            for (int i = 0; i < 400; ++i) {
                std::string ip = "10.0." + std::to_string(t) + "." + std::to_string(i % 100);
                int r = libpwd_check_user_pwd(ip.c_str(), "admin", i % 3 ? "bad" : "s3cret", e);
                if (r == LIBPWD_LOCKED) locked++;
                if (t == 0 && i % 50 == 0) libpwd_set_user_pwd("admin", "s3cret", e);
            }
        });
    }
    for (auto &th : ts) th.join();
    EXPECT_LE(ipcheck_count(), 64u);
}

}  // namespace
