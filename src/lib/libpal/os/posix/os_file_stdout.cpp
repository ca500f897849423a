#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_file_stdout"
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/os/os_file_vdev.h"

// The handle is descriptor 1 plus one; closing it leaves descriptor 1 open.
static u64 stdout_init(const char *, u32)
{
    return 2;
}

ssize_t os_stdout_file_writ(u64 h, const void *data, size_t size)
{
    OS_CHECK_TXT(h != 0 && data != nullptr, "file && data", -1);
    return write(STDOUT_FILENO, data, size);
}

int os_stdout_file_sync(u64 h)
{
    OS_CHECK_TXT(h != 0, "file", 0);
    return fsync(STDOUT_FILENO) == 0 ? 1 : 0;
}

const os_file_ops os_file_ops_stdout = {
    .name = "stdout", .init = stdout_init, .exit = os_comm_file_exit,
    .writ = os_stdout_file_writ, .sync = os_stdout_file_sync,
    .truncate = os_comm_file_truncate, .seek = os_comm_file_seek,
    .offset = os_comm_file_offset, .size = os_comm_file_size, .ioctl = os_comm_file_ioctl,
};
