#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/name_pipe_srv"
#include "libpal/os/posix/name_pipe_srv.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"

os_name_pipe_srv *os_name_pipe_srv_open(const char *path, int unused, int mode)
{
    (void)unused;
    OS_CHECK_RET(path, nullptr);
    // Non-blocking: opening a FIFO for reading would otherwise wait for a
    // writer to appear.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, (mode_t)mode);
    if (fd < 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "name_pipe=%s error:", path);
        return nullptr;
    }
    if (fd == 0) {
        int nfd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        if (nfd < 0) {
            LOG_AT(3 | LOG_OPT_ERRNO, "name_pipe=%s error:", path);
            return nullptr;
        }
        fd = nfd;
    }
    os_name_pipe_srv *p = (os_name_pipe_srv *)os_zalloc(sizeof(os_name_pipe_srv));
    if (!p) {
        close(fd);
        return nullptr;
    }
    p->fd = fd;
    return p;
}

int os_name_pipe_srv_close(os_name_pipe_srv *pipe)
{
    if (!pipe) return 0;
    if (pipe->fd > 0) close(pipe->fd);
    os_free(pipe);
    return 0;
}

int os_name_pipe_srv_wait(os_name_pipe_srv *pipe, int timeout_ms)
{
    (void)pipe;
    (void)timeout_ms;
    return 0;
}

int os_name_pipe_srv_disconnect(os_name_pipe_srv *pipe)
{
    (void)pipe;
    return 0;
}

int os_name_pipe_srv_read(os_name_pipe_srv *pipe, void *data, size_t size, int timeout_ms)
{
    (void)pipe;
    (void)data;
    (void)size;
    (void)timeout_ms;
    return -1;
}

int os_name_pipe_srv_write(os_name_pipe_srv *pipe, const void *data, size_t size)
{
    (void)pipe;
    (void)data;
    (void)size;
    return -1;
}

int os_name_pipe_srv_state(const os_name_pipe_srv *pipe)
{
    return pipe ? pipe->state : -1;
}
