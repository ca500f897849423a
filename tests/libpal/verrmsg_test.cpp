#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "libpal/comm/verrmsg.h"
#include "liblog/log.h"

namespace {

TEST(StatusTable, SpotRows)
{
    EXPECT_STREQ(verr2str(0), "Success.");
    EXPECT_STREQ(verr2str(-1), "General failure - DON'T USE THIS!!!.");
    EXPECT_STREQ(verr2str(-102), "File not found.");
    EXPECT_STREQ(verr2str(203), "RTDirReadEx() failed to retrieve the extra data which was requested.");
    EXPECT_STREQ(verr2str(-40), "Timeout.");
    EXPECT_STREQ(verr2str(-461), "Connection refused.");
    EXPECT_STREQ(verr2str(-902), "An account is restricted in a certain way.");
    EXPECT_STREQ(verr2str(-459), verr2str(-460));
    EXPECT_STREQ(verr2str(-230), "Internal error: Unexpected status code.");
    EXPECT_STREQ(verr2str(-14), "Invalid error code");
    EXPECT_STREQ(verr2str(12345), "Invalid error code");
}

TEST(StatusTable, ShapeOfTable)
{
    int rows = 0;
    std::set<int> codes;
    int positive = 0;
    for (const verr_msg *r = verr_msg_tab; r->msg; ++r, ++rows) {
        codes.insert(r->code);
        if (r->code > 0) ++positive;
        EXPECT_GT(strlen(r->msg), 0u);
    }
    EXPECT_EQ(rows, 258);
    EXPECT_EQ(codes.size(), 258u);
    EXPECT_EQ(positive, 1);
    EXPECT_EQ(*codes.begin(), -902);
}

TEST(StatusTable, PosixMapping)
{
    EXPECT_EQ(verr_2_posix(0), 0);
    EXPECT_EQ(verr_2_posix(-1), EPERM);
    EXPECT_EQ(verr_2_posix(-2), EINVAL);
    EXPECT_EQ(verr_2_posix(-40), ETIMEDOUT);
    EXPECT_EQ(verr_2_posix(-102), ENOENT);
    EXPECT_EQ(verr_2_posix(-461), ECONNREFUSED);
    EXPECT_EQ(verr_2_posix(-608), ENOEXEC);
    EXPECT_EQ(verr_2_posix(-258), ENXIO);
    EXPECT_EQ(verr_2_posix(-3), EPERM);  // unmapped: warning and EPERM
    EXPECT_EQ(os_verr_2_posix(-8), ENOMEM);
    // Every code of the table maps to a positive errno value, 0 aside.
    for (const verr_msg *r = verr_msg_tab; r->msg; ++r)
        if (r->code != 0) {
            EXPECT_GT(verr_2_posix(r->code), 0) << r->code;
        }
    errno = 0;
    EXPECT_EQ(verr_set_errno(-70), EPERM);
    EXPECT_EQ(verr_set_errno(-134), EPERM);
    EXPECT_EQ(verr_set_errno(-454), ECONNRESET);
    EXPECT_EQ(errno, ECONNRESET);
}

TEST(ErrRecord, SetReasonCopy)
{
    os_err e;
    os_err_set(&e, "f.c", 10, "fn", -40, nullptr);
    EXPECT_STREQ(os_err_str(&e), "Timeout.");
    EXPECT_EQ(e.line, 10u);
    os_err_set(&e, "f.c", 11, "fn", -1, "connect %s:%d", "h", 5);
    EXPECT_STREQ(os_err_str(&e), "connect h:5");
    os_err_set_reason(&e, "f.c", 12, "fn", ECONNREFUSED, "Connection refused", "sock %d", 3);
    EXPECT_STREQ(e.msg, "sock 3: Connection refused");
    os_err c;
    os_err_copy(&c, &e);
    EXPECT_STREQ(c.msg, e.msg);
    EXPECT_EQ(c.code, ECONNREFUSED);
    os_err_copy(&c, &c);
    EXPECT_STREQ(c.msg, e.msg);
    os_err_set(nullptr, "f", 1, "fn", 0, "x");  // ignored
    std::string longmsg(5000, 'm');
    os_err_set(&e, "f.c", 1, "fn", -1, "%s", longmsg.c_str());
    EXPECT_EQ(strlen(e.msg), 4094u);
    os_err_set_reason(&e, "f.c", 1, "fn", -1, "why", "%s", longmsg.c_str());
    EXPECT_EQ(strlen(e.msg), 4095u);
}

TEST(ErrRecord, ErrnoTexts)
{
    char buf[4096];
    EXPECT_STREQ(os_errno_str(0, buf, sizeof buf), "ok");
    EXPECT_STREQ(os_errno_str(ENOENT, buf, sizeof buf), "No such file or directory");
    EXPECT_STREQ(os_errno_text(0), "ok");
    errno = EACCES;
    EXPECT_STREQ(os_strerror(), "Permission denied");
    char small[6];
    EXPECT_STREQ(os_errno_str(ENOENT, small, sizeof small), "No su");
}

}  // namespace
