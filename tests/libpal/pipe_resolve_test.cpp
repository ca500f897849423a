#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "libpal/net_test_util.h"
#include "libpal/os/posix/addrinfo.h"
#include "libpal/os/posix/name_pipe_srv.h"
#include "common/tmp_file.h"

namespace {

using nettest::log_capture;

std::string tmp_path(const char *leaf)
{
    std::string dir = testutil::scratch_dir();
    return dir + "/" + leaf + std::to_string(getpid());
}

TEST(NamePipe, StubsKeepTheDescriptorAndCloseClosesIt)
{
    std::string path = tmp_path("fifo");
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    os_name_pipe_srv *p = os_name_pipe_srv_open(path.c_str(), 0, 0);
    ASSERT_NE(p, nullptr);
    int fd = p->fd;
    EXPECT_GT(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    char buf[8];
    EXPECT_EQ(os_name_pipe_srv_wait(p, 100), 0);
    EXPECT_EQ(os_name_pipe_srv_read(p, buf, sizeof buf, 100), -1);
    EXPECT_EQ(os_name_pipe_srv_write(p, "x", 1), -1);
    EXPECT_EQ(os_name_pipe_srv_disconnect(p), 0);
    EXPECT_EQ(os_name_pipe_srv_state(p), 0);
    EXPECT_EQ(p->fd, fd);
    EXPECT_EQ(os_name_pipe_srv_close(p), 0);  // frees the record too (leak-checked)
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_NE(fcntl(0, F_GETFD), -1);  // standard input untouched
    unlink(path.c_str());

    log_capture cap;
    EXPECT_EQ(os_name_pipe_srv_open("/nonexistent/fifo", 0, 0), nullptr);
    EXPECT_TRUE(cap.has("name_pipe=/nonexistent/fifo error:"));
}

TEST(Resolve, NamesToAddressesAndBack)
{
    os_ipaddr a;
    os_ipaddr_clear(&a);
    os_ipaddr_set(&a, nullptr, 80, OS_IPADDR_FAMILY_IPV4);
    ASSERT_EQ(os_addrinfo_addr("localhost", &a), 1);
    char buf[OS_IPADDR_CSTR_MAXN];
    EXPECT_STREQ(os_ipaddr_cstr(&a, buf, sizeof buf), "127.0.0.1:80");

    os_ipaddr b;
    os_ipaddr_clear(&b);
    ASSERT_EQ(os_addrinfo_addr("127.0.0.1", &b), 1);
    EXPECT_EQ(os_ipaddr_port(&b), 0);

    os_ipaddr before = a;
    EXPECT_EQ(os_addrinfo_addr("bad..name", &a), 0);
    EXPECT_EQ(memcmp(&before, &a, sizeof a), 0);

    char host[256];
    EXPECT_STREQ(os_addrinfo_name(&a, host, sizeof host), "localhost");

    log_capture cap;
    EXPECT_EQ(os_addrinfo_addr(nullptr, &a), 0);
    EXPECT_TRUE(cap.has("expr[name && addr]: assert failed"));
    EXPECT_EQ(os_addrinfo_name(&a, host, 0), nullptr);
    EXPECT_TRUE(cap.has("expr[addr && name && maxn]: assert failed"));
    os_ipaddr none;
    os_ipaddr_clear(&none);
    EXPECT_EQ(os_addrinfo_name(&none, host, sizeof host), nullptr);
    EXPECT_TRUE(cap.has("expr[saddrlen]: assert failed"));
}

}  // namespace
