#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "libpal/env/os_time.h"
#include "libpal/net_test_util.h"
#include "libpal/os/posix/os_serial.h"

namespace {

using nettest::log_capture;

struct pty_t {
    int master = -1, slave = -1;
    char name[128] = {};
    pty_t() { EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0); }
    ~pty_t()
    {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

TEST(Serial, OpenAppliesRaw8N1)
{
    pty_t pty;
    int h = os_serial_open(pty.name, 9600, 0);
    ASSERT_GT(h, 0);
    EXPECT_TRUE(fcntl(h, F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(fcntl(h, F_GETFL) & O_NONBLOCK);
    struct termios t;
    ASSERT_EQ(tcgetattr(h, &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B9600);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    EXPECT_EQ(os_serial_close(h), 0);
}

TEST(Serial, ReadsAreBoundedByTheTimeOut)
{
    pty_t pty;
    int h = os_serial_open(pty.name, 38400, 0);
    ASSERT_GT(h, 0);
    char buf[64];
    u64 t0 = os_mono_ms();
    EXPECT_EQ(os_serial_read(h, buf, sizeof buf, 150), 0);
    u64 took = os_mono_ms() - t0;
    EXPECT_GE(took, 140u);
    EXPECT_LT(took, 1000u);

    // Fewer bytes than asked for: what came is returned, without waiting
    // for the rest.
    ASSERT_EQ(write(pty.master, "hello", 5), 5);
    t0 = os_mono_ms();
    int n = os_serial_read(h, buf, sizeof buf, 2000);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_LT(os_mono_ms() - t0, 1000u);

    EXPECT_EQ(os_serial_write(h, "raw\n", 4), 4);
    char back[8] = {};
    ASSERT_EQ(read(pty.master, back, 4), 4);
    EXPECT_EQ(std::string(back, 4), "raw\n");  // no output processing (no CR added)
    os_serial_close(h);
}

TEST(Serial, FailuresAreLogged)
{
    pty_t pty;
    log_capture cap;
    EXPECT_EQ(os_serial_open(pty.name, 115200, 0), 0);
    EXPECT_TRUE(cap.has("BaudRate=115200 invaild\n"));
    EXPECT_EQ(os_serial_open("/nonexistent/tty", 9600, 0), 0);
    EXPECT_TRUE(cap.has("open /nonexistent/tty error: "));
    EXPECT_EQ(os_serial_open("/dev/null", 9600, 0), 0);  // not a terminal
    EXPECT_TRUE(cap.has("tcgetattr error: "));
    EXPECT_EQ(os_serial_close(0), -1);
}

// 0 means "no port", so a port opened while descriptor 0 is free must not
// be handed out as 0.
TEST(Serial, NeverHandsOutDescriptorZero)
{
    pty_t pty;
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    int h = os_serial_open(pty.name, 9600, 0);
    int zero_open = fcntl(0, F_GETFD);
    dup2(saved, 0);
    close(saved);
    EXPECT_GT(h, 0);
    EXPECT_EQ(zero_open, -1);  // nothing was left on 0
    if (h > 0) os_serial_close(h);
}

}  // namespace
