#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_file_stdin"
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/os/os_file_vdev.h"

// The handle is descriptor 0 plus one; closing it leaves descriptor 0 open.
static u64 stdin_init(const char *, u32)
{
    return 1;
}

ssize_t os_stdin_file_read(u64 h, void *buf, size_t size)
{
    OS_CHECK_TXT(h != 0 && buf != nullptr, "file && data", -1);
    return read(STDIN_FILENO, buf, size);
}

const os_file_ops os_file_ops_stdin = {
    .name = "stdin", .init = stdin_init, .exit = os_comm_file_exit,
    .read = os_stdin_file_read, .sync = os_comm_file_sync,
    .truncate = os_comm_file_truncate, .seek = os_comm_file_seek,
    .offset = os_comm_file_offset, .size = os_comm_file_size, .ioctl = os_comm_file_ioctl,
};
