#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_file_vdev"
#include "libpal/os/os_file_vdev.h"

#include <cstring>

#include "liblog/log.h"
#include "libpal/memory/mem_util.h"

int os_comm_file_sync(u64 h)
{
    OS_CHECK_TXT(h != 0, "file", 0);
    return 1;
}

int os_comm_file_truncate(u64 h, i64)
{
    OS_CHECK_TXT(h != 0, "file", 0);
    return 1;
}

i64 os_comm_file_seek(u64 h, i64, int)
{
    OS_CHECK_TXT(h != 0, "file", -1);
    return 0;
}

i64 os_comm_file_offset(u64 h)
{
    OS_CHECK_TXT(h != 0, "file", -1);
    return 0;
}

i64 os_comm_file_size(u64 h)
{
    OS_CHECK_TXT(h != 0, "file", -1);
    return 0;
}

int os_comm_file_ioctl(u64 h, u32 code, void *rec, size_t size)
{
    OS_CHECK_TXT(h != 0, "file", 0);
    switch (code) {
    case OS_FILE_IOCTL_INFO: {
        OS_CHECK_TXT(rec && size >= sizeof(os_file_info), "info", 0);
        os_file_info *info = (os_file_info *)rec;
        info->kind = OS_FILE_INFO_VDEV;
        info->size = 0;
        info->offset = 0;
        info->block_size = 512;
        return 1;
    }
    case OS_FILE_IOCTL_ERROR:
        OS_CHECK_TXT(rec && size >= sizeof(u64), "err", 0);
        *(u64 *)rec = OS_FILE_ERR_NONE;
        return 1;
    default:
        return 0;
    }
}

static u64 vdev_init(const char *, u32)
{
    return 1;
}

int os_comm_file_exit(u64)
{
    return 1;
}

ssize_t os_zero_file_read(u64 h, void *buf, size_t size)
{
    OS_CHECK_TXT(h != 0 && buf != nullptr, "file && data", -1);
    memset(buf, 0, size);
    return (ssize_t)size;
}

ssize_t os_zero_file_pread(u64 h, void *buf, size_t size, i64)
{
    return os_zero_file_read(h, buf, size);
}

ssize_t os_random_file_read(u64 h, void *buf, size_t size)
{
    OS_CHECK_TXT(h != 0 && buf != nullptr, "file && buf", -1);
    if (size) mem_random(buf, size);
    return (ssize_t)size;
}

ssize_t os_random_file_pread(u64 h, void *buf, size_t size, i64)
{
    return os_random_file_read(h, buf, size);
}

ssize_t os_null_file_writ(u64 h, const void *data, size_t size)
{
    OS_CHECK_TXT(h != 0 && data != nullptr, "file && data", -1);
    return (ssize_t)size;
}

ssize_t os_null_file_pwrit(u64 h, const void *data, size_t size, i64)
{
    return os_null_file_writ(h, data, size);
}

// Tables of the devices that touch no descriptor (slots left out refuse).
const os_file_ops os_file_ops_random = {
    .name = "random", .init = vdev_init, .exit = os_comm_file_exit,
    .read = os_random_file_read, .pread = os_random_file_pread,
    .seek = os_comm_file_seek, .offset = os_comm_file_offset, .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops os_file_ops_zero = {
    .name = "zero", .init = vdev_init, .exit = os_comm_file_exit,
    .read = os_zero_file_read, .pread = os_zero_file_pread,
    .seek = os_comm_file_seek, .offset = os_comm_file_offset, .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops os_file_ops_null = {
    .name = "null", .init = vdev_init, .exit = os_comm_file_exit,
    .writ = os_null_file_writ, .pwrit = os_null_file_pwrit,
    .sync = os_comm_file_sync, .truncate = os_comm_file_truncate,
    .seek = os_comm_file_seek, .offset = os_comm_file_offset, .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};
