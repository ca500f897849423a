#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_file2"
#include "libpal/os/os_file2.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_file_vdev.h"
#include "libpal/os/posix/os_file2.h"
#include "libpal/os/posix/os_info.h"
#include "libpal/string/str_path.h"

namespace {

constexpr size_t kSlots = 4;
std::atomic<const os_file_backend *> g_backends[kSlots];

// Devices by the name after "/dev/", in the order they are looked up.
const os_file_ops *const kDevices[] = {
    &os_file_ops_local, &os_file_ops_stdout, &os_file_ops_stdin,
    &os_file_ops_null,  &os_file_ops_zero,   &os_file_ops_random,
};

// The caller's path in the form the tables see: normalised, without a
// "file://" prefix. NULL (errno set) when it does not fit.
struct prepared {
    char norm[PATH_BUF_SIZE];
    char path[PATH_BUF_SIZE];
    const char *get(const char *src)
    {
        if (!os_path_norm(src, norm)) return nullptr;
        os_path_strip_prefix(norm, path, sizeof path);
        // The other platform's name of physical memory, as prepared.
        if (strcmp(path, "/./PhysicalMemory") == 0) memcpy(path, "/dev/pmem", sizeof "/dev/pmem");
        return path;
    }
};

// Opens through one of the table's open slots; NULL when it gives 0.
template <typename F>
os_file *open_with(const char *path, F open_slot)
{
    prepared prep;
    const char *p = prep.get(path);
    if (!p) return nullptr;
    os_file *f = (os_file *)os_zalloc(sizeof(os_file));
    if (!f) {
        errno = ENOMEM;
        return nullptr;
    }
    f->ops = os_file_ops_find(p);
    f->handle = open_slot(f->ops, p);
    if (f->handle == 0) {
        int e = errno;
        os_free(f);
        errno = e;
        return nullptr;
    }
    f->path = os_strdup(path);
    if (!f->path) {
        if (f->ops->exit) f->ops->exit(f->handle);
        os_free(f);
        errno = ENOMEM;
        return nullptr;
    }
    return f;
}

u64 init_or_fail(const os_file_ops *ops, const char *p, u32 flags)
{
    OS_CHECK_TXT(ops->init != nullptr, "ctx->ops->init", 0);
    return ops->init(p, flags);
}

}  // namespace

const os_file_ops *os_file_ops_find(const char *path)
{
    for (auto &slot : g_backends) {
        const os_file_backend *b = slot.load(std::memory_order_acquire);
        if (!b) break;
        if (const os_file_ops *ops = b->match ? b->match(path) : nullptr) return ops;
    }
    if (!path || (strncmp(path, "\\dev\\", 5) != 0 && strncmp(path, "/dev/", 5) != 0))
        return &os_file_ops_local;
    for (const os_file_ops *ops : kDevices)
        if (strcmp(path + 5, ops->name) == 0) return ops;
    return &os_file_ops_local;
}

int os_file_ops_register(const os_file_backend *backend)
{
    if (!backend) return -1;
    for (auto &slot : g_backends) {
        const os_file_backend *empty = nullptr;
        if (slot.compare_exchange_strong(empty, backend, std::memory_order_acq_rel)) return 0;
    }
    return -1;
}

os_file *os_file_open(const char *path, u32 flags)
{
    return open_with(path, [&](const os_file_ops *ops, const char *p) {
        return init_or_fail(ops, p, flags);
    });
}

os_file *os_file_open2(const char *path, u32 access, u32 share, void *, u32 disposition,
                       u32 attributes)
{
    return open_with(path, [&](const os_file_ops *ops, const char *p) {
        if (ops->open2) return ops->open2(p, access, share, disposition, attributes);
        return init_or_fail(ops, p, os_file_flag_from_access(access, disposition));
    });
}

os_file *os_file_open3(const char *path, u32 flags, int mode)
{
    return open_with(path, [&](const os_file_ops *ops, const char *p) {
        if (ops->open3) return ops->open3(p, os_file_flag_to_os(flags), mode);
        return init_or_fail(ops, p, os_file_flag_to_init(flags));
    });
}

int os_file_close(os_file *file)
{
    OS_CHECK_TXT(file != nullptr, "ctx", 0);
    OS_CHECK_TXT(file->ops->exit != nullptr, "ctx->ops->exit", 0);
    int r = file->ops->exit(file->handle);
    os_free(file->path);
    os_free(file);
    return r;
}

// Forwards to a slot with the backend handle, or fails with the slot's
// text when the device lacks it.
#define OS_FILE_FORWARD(slot, fail, ...)                                   \
    do {                                                                   \
        OS_CHECK_TXT(file != nullptr, "ctx", fail);                        \
        OS_CHECK_TXT(file->ops->slot != nullptr, "ctx->ops->" #slot, fail); \
        return file->ops->slot(file->handle __VA_OPT__(, ) __VA_ARGS__);   \
    } while (0)

ssize_t os_file_read(os_file *file, void *buf, size_t size)
{
    OS_FILE_FORWARD(read, -1, buf, size);
}

ssize_t os_file_write(os_file *file, const void *data, size_t size)
{
    OS_FILE_FORWARD(writ, -1, data, size);
}

ssize_t os_file_pread(os_file *file, void *buf, size_t size, i64 offset)
{
    OS_FILE_FORWARD(pread, -1, buf, size, offset);
}

ssize_t os_file_pwrit(os_file *file, const void *data, size_t size, i64 offset)
{
    OS_FILE_FORWARD(pwrit, -1, data, size, offset);
}

ssize_t os_file_readv(os_file *file, const struct iovec *list, int count)
{
    OS_FILE_FORWARD(readv, -1, list, count);
}

ssize_t os_file_writv(os_file *file, const struct iovec *list, int count)
{
    OS_FILE_FORWARD(writv, -1, list, count);
}

ssize_t os_file_preadv(os_file *file, const struct iovec *list, int count, i64 offset)
{
    OS_FILE_FORWARD(preadv, -1, list, count, offset);
}

ssize_t os_file_pwritv(os_file *file, const struct iovec *list, int count, i64 offset)
{
    OS_FILE_FORWARD(pwritv, -1, list, count, offset);
}

int os_file_fsync(os_file *file)
{
    OS_FILE_FORWARD(sync, 0);
}

int os_file_ftruncate(os_file *file, i64 length)
{
    OS_FILE_FORWARD(truncate, 0, length);
}

i64 os_file_seek(os_file *file, i64 offset, int whence)
{
    OS_FILE_FORWARD(seek, -1, offset, whence);
}

i64 os_file_offset(os_file *file)
{
    OS_FILE_FORWARD(offset, -1);
}

i64 os_file_size(os_file *file)
{
    OS_FILE_FORWARD(size, -1);
}

int os_file_ioctl(os_file *file, u32 code, void *rec, size_t size)
{
    if (!file) return 0;
    OS_CHECK_TXT(file->ops->ioctl != nullptr, "ctx->ops->ioctl", 0);
    int r = file->ops->ioctl(file->handle, code, rec, size);
    if (code == OS_FILE_IOCTL_INFO && rec && size >= sizeof(os_file_info)) {
        // Only a local descriptor can name a disk: the devices have none,
        // and the query itself passes over anything but block and
        // character devices.
        os_file_info *info = (os_file_info *)rec;
        info->model[0] = 0;
        if (file->ops == &os_file_ops_local)
            os_dev_get_model(os_file_fd(file), info->model, sizeof info->model, file->path);
    }
    return r;
}

int os_file_fd(os_file *file)
{
    if (!file || file->handle == 0) return -1;
    return (int)(file->handle - 1);
}

int os_file_info_by_path(const char *path, os_file_info *info)
{
    os_file *f = os_file_open(path, OS_FILE_READ);
    if (!f) return 0;
    int r = os_file_ioctl(f, OS_FILE_IOCTL_INFO, info, sizeof *info);
    os_file_close(f);
    return r;
}

int os_file_stat(os_file *file, os_file_stat_rec *rec)
{
    return os_file_ioctl(file, OS_FILE_IOCTL_STAT, rec, sizeof *rec);
}

int os_file_set_times(os_file *file, const os_file_times *times)
{
    return os_file_ioctl(file, OS_FILE_IOCTL_TIMES, (void *)times, sizeof *times);
}

int os_file_range_lock(os_file *file, int type, u64 offset, u64 length)
{
    os_file_lock_rec l = {type, offset, length};
    return os_file_ioctl(file, OS_FILE_IOCTL_LOCK, &l, sizeof l);
}

int os_file_read_write_timeout(os_file *file, int write, u32 ms)
{
    if (ms < OS_FILE_TIMEOUT_MIN) {
        LOG_AT(4, "timeout=%ds fix=%ds error: too short\n", (int)(ms / 1000),
               (int)(OS_FILE_TIMEOUT_MIN / 1000));
        ms = OS_FILE_TIMEOUT_MIN;
    } else if (ms > OS_FILE_TIMEOUT_MAX) {
        LOG_AT(4, "timeout=%ds fix=%ds error: too long\n", (int)(ms / 1000),
               (int)(OS_FILE_TIMEOUT_MAX / 1000));
        ms = OS_FILE_TIMEOUT_MAX;
    }
    u32 code = write ? OS_FILE_IOCTL_WTIMEOUT : OS_FILE_IOCTL_RTIMEOUT;
    return os_file_ioctl(file, code, &ms, sizeof ms);
}

int os_file_read_timeout(os_file *file, u32 ms)
{
    return os_file_read_write_timeout(file, 0, ms);
}

int os_file_write_timeout(os_file *file, u32 ms)
{
    return os_file_read_write_timeout(file, 1, ms);
}

int os_file_ioctl7(os_file *file, u64 a, u64 b)
{
    u64 rec[2] = {a, b};
    return os_file_ioctl(file, OS_FILE_IOCTL_7, rec, sizeof rec);
}

int os_file_ioctl8(os_file *file, void *ptr)
{
    return os_file_ioctl(file, OS_FILE_IOCTL_8, ptr, sizeof ptr);
}

int os_file_chmod(os_file *file, u32 mode)
{
    return os_file_ioctl(file, OS_FILE_IOCTL_CHMOD, (void *)(uintptr_t)mode, sizeof mode);
}

int os_file_chown(os_file *file, u32 uid, u32 gid)
{
    os_file_owner o = {uid, gid};
    return os_file_ioctl(file, OS_FILE_IOCTL_CHOWN, &o, sizeof o);
}
