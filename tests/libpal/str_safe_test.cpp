#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/log_capture.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"
#include "liblog/log.h"

namespace {

using testutil::log_capture;

TEST(StrSafe, CopyReportsOverflowAndEmptiesDest)
{
    char d[8];
    EXPECT_EQ(str_safecopy(d, 4, "abc"), 0);
    EXPECT_STREQ(d, "abc");
    {
        log_capture cap;
        errno = 0;
        EXPECT_EQ(str_safecopy(d, 3, "abc"), 34);
        EXPECT_EQ(errno, 34);
        EXPECT_EQ(d[0], 0);
        EXPECT_NE(cap.get().find("need_size=4 buf_size=3 head=[abc]"), std::string::npos)
            << cap.get();
    }
    EXPECT_EQ(str_safecopy_trunc(d, 3, "abc"), 0);
    EXPECT_STREQ(d, "ab");
    EXPECT_EQ(str_safecopy(d, 1, ""), 0);
    EXPECT_STREQ(d, "");
}

TEST(StrSafe, BadArguments)
{
    log_capture cap;
    char d[4] = "xy";
    errno = 0;
    EXPECT_EQ(str_safecopy(nullptr, 4, "a"), 22);
    EXPECT_EQ(errno, 22);
    EXPECT_EQ(str_safecopy(d, 0, "a"), 22);
    EXPECT_STREQ(d, "xy");
    EXPECT_EQ(str_safecopy(d, 4, nullptr), 22);
    EXPECT_STREQ(d, "");
    EXPECT_NE(cap.get().find("expr[_Expr_val]: (dest) != NULL && (size) > 0"), std::string::npos);
    EXPECT_NE(cap.get().find("expr[_Expr_val]: (src) != NULL"), std::string::npos);
}

TEST(StrSafe, CatRules)
{
    char d[5] = "ab";
    EXPECT_EQ(str_safecat(d, 5, "cd"), 0);
    EXPECT_STREQ(d, "abcd");
    {
        log_capture cap;
        strcpy(d, "ab");
        EXPECT_EQ(str_safecat(d, 5, "cde"), 34);
        EXPECT_STREQ(d, "");
        EXPECT_NE(cap.get().find("need_size=6 buf_size=5"), std::string::npos);
    }
    strcpy(d, "ab");
    EXPECT_EQ(str_safecat_trunc(d, 5, "cdefg"), 0);
    EXPECT_STREQ(d, "abcd");
    log_capture cap;
    strcpy(d, "ab");
    EXPECT_EQ(str_safecat(d, 5, nullptr), 22);
    EXPECT_STREQ(d, "");
    char full[3] = {'a', 'b', 'c'};  // no terminator within size
    EXPECT_EQ(str_safecat(full, 3, "x"), 22);
    EXPECT_EQ(full[0], 0);
    EXPECT_NE(cap.get().find("String is not null terminated"), std::string::npos);
    strcpy(d, "a");
    EXPECT_EQ(str_safecat_chr(d, 5, 'z'), 0);
    EXPECT_STREQ(d, "az");
}

TEST(StrSafe, HeadIsCutThenCleaned)
{
    log_capture cap;
    char d[4];
    // The first 15 characters hold a CR and a LF: the head keeps 13.
    EXPECT_EQ(str_safecopy(d, 4, "ab\r\ncdefghijklmnopqrstuvwxyz"), 34);
    EXPECT_NE(cap.get().find("head=[abcdefghijklm]"), std::string::npos) << cap.get();
    // A client's bytes in the head are escaped (the copy's record alike).
    strcpy(d, "a");
    EXPECT_EQ(str_safecat(d, 4, "\\\x7f\x01" "bc"), 34);
    EXPECT_NE(cap.get().find("need_size=7 buf_size=4 head=[\\x5c\\x7f\\x01bc]"), std::string::npos) << cap.get();
}

TEST(StrSafe, SafencopyAndPrintf)
{
    char d[16];
    EXPECT_EQ(str_safencopy(d, "abcde", 3), 2u);
    EXPECT_STREQ(d, "ab");
    EXPECT_EQ(str_safencopy(nullptr, "a", 3), 3u);

    strcpy(d, "ab");
    EXPECT_EQ(strcat_printf(d, sizeof d, "%d", 123), 5);
    EXPECT_STREQ(d, "ab123");
    {
        log_capture cap;
        EXPECT_EQ(strcat_printf(d, 8, "%s", "xyzw"), 9);  // cut, untruncated total
        EXPECT_STREQ(d, "ab123xy");
        EXPECT_NE(cap.get().find("expr[ret<clen]: assert failed"), std::string::npos);
        char f[3] = {'a', 'b', 'c'};
        EXPECT_EQ(strcat_printf(f, 3, "x"), -1);
        EXPECT_EQ(f[0], 'a');
    }
    EXPECT_EQ(str_sprintf_s(d, 10, "%s", "123456789"), 9);
    log_capture cap;
    EXPECT_EQ(str_sprintf_s(d, 9, "%s", "123456789"), 9);
    EXPECT_STREQ(d, "12345678");
    EXPECT_NE(cap.get().find("need_size=10 buf_size=9"), std::string::npos);
    EXPECT_EQ(str_sprintf_s(nullptr, 9, "x"), 22);
}

TEST(StrSafe, NeverWritesPastSize)
{
    char buf[32];
    for (size_t size = 1; size < 16; ++size) {
        memset(buf, 'Z', sizeof buf);
        str_safecopy_trunc(buf, size, "0123456789abcdefghij");
        for (size_t i = size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 'Z') << size;
        memset(buf, 'Z', sizeof buf);
        buf[0] = 0;
        str_safecat_trunc(buf, size, "0123456789abcdefghij");
        for (size_t i = size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 'Z') << size;
        ASSERT_EQ(strlen(buf), size - 1);
    }
}

TEST(StrSafe, AllocationWrappers)
{
    char *p = (char *)safe_malloc(16);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], 0);
    p = (char *)safe_realloc(p, 64);
    ASSERT_NE(p, nullptr);
    os_free(p);
    char *s = safe_strdup("hi");
    EXPECT_STREQ(s, "hi");
    os_free(s);
    char *f = nullptr;
    EXPECT_EQ(safe_asprintf(&f, "%s-%d", "a", 1), 3);
    EXPECT_STREQ(f, "a-1");
    os_free(f);
}

TEST(StrSafeDeath, FailedAllocationIsCrit)
{
    EXPECT_EXIT(safe_strdup(nullptr), testing::ExitedWithCode(1),
                "safe_strdup called with NULL");
}

}  // namespace
