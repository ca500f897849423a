#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_serial"
#include "libpal/os/posix/os_serial.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/os_time.h"

namespace {

struct baud_row {
    int rate;
    speed_t speed;
};

constexpr baud_row kBaudTab[] = {
    {38400, B38400}, {19200, B19200}, {9600, B9600}, {4800, B4800},
    {2400, B2400},   {1200, B1200},   {300, B300},
};

// Raw 8N1 at the given rate, receiver on, modem control lines ignored;
// reads return what is there (VMIN 0, VTIME 0) and the wait is ours.
bool serial_set_parity(int fd, int baud_rate)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "tcgetattr error: ");
        return false;
    }
    const baud_row *row = nullptr;
    for (const baud_row &r : kBaudTab) {
        if (r.rate == baud_rate) {
            row = &r;
            break;
        }
    }
    if (!row) {
        LOG_ERR("BaudRate=%d invaild\n", baud_rate);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, row->speed);
    cfsetospeed(&tio, row->speed);
    tcflush(fd, TCIOFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "tcsetattr error: ");
        return false;
    }
    return true;
}

}  // namespace

int os_serial_open(const char *path, int baud_rate, int mode)
{
    OS_CHECK_RET(path, 0);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, (mode_t)mode);
    if (fd < 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "open %s error: ", path);
        return 0;
    }
    if (fd == 0) {
        // 0 means "no port" to every caller: move the port off it.
        int nfd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        if (nfd < 0) {
            LOG_AT(3 | LOG_OPT_ERRNO, "open %s error: ", path);
            return 0;
        }
        fd = nfd;
    }
    if (fcntl(fd, F_SETFL, 0) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "fcntl %s error: ", path);
        close(fd);
        return 0;
    }
    if (!serial_set_parity(fd, baud_rate)) {
        close(fd);
        return 0;
    }
    return fd;
}

int os_serial_read(int handle, void *data, size_t size, int timeout_ms)
{
    OS_CHECK_RET(handle > 0 && data, -1);
    if (size == 0) return 0;
    u64 deadline = os_mono_ms() + (u64)(timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        struct pollfd pfd = {handle, POLLIN, 0};
        int wait_ms = 0;
        if (timeout_ms < 0) {
            wait_ms = -1;
        } else {
            u64 now = os_mono_ms();
            wait_ms = now >= deadline ? 0 : (int)(deadline - now);
        }
        int r = poll(&pfd, 1, wait_ms);
        if (r == 0) return 0;
        if (r < 0) {
            if (errno == EINTR) continue;
            LOG_AT(3 | LOG_OPT_ERRNO, "select error: ");
            return -1;
        }
        break;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(handle, (char *)data + got, size - got);
        if (n > 0) {
            got += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && got == 0 && errno != EAGAIN) return -1;
        break;
    }
    return (int)got;
}

int os_serial_write(int handle, const void *data, size_t size)
{
    OS_CHECK_RET(handle > 0 && data, -1);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(handle, (const char *)data + done, size - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            os_sleep(1);
            continue;
        }
        return -1;
    }
    return (int)size;
}

int os_serial_close(int handle)
{
    if (handle <= 0) return -1;
    return close(handle);
}
