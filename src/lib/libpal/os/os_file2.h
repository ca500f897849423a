#pragma once
// Virtual file layer: one handle type over local files and the devices
// /dev/stdin, /dev/stdout, /dev/random, /dev/zero and /dev/null. A path is
// mapped to a device's operation table; every operation forwards the
// backend handle to the table's slot of the same meaning.
#include <sys/types.h>
#include <sys/uio.h>

#include "libpal/env/os_types.h"
#include "libpal/os/os_file_flag.h"
#include "libpal/os/os_path.h"

// A device's operations; an empty slot refuses the operation. Slots that
// only succeed or fail return 1 or 0; slots that move data return the
// count or -1. Tables name the slots they fill; the others stay empty.
struct os_file_ops {
    const char *name = nullptr;
    u64 (*init)(const char *path, u32 flags) = nullptr;
    u64 (*open2)(const char *path, u32 access, u32 share, u32 disposition, u32 attributes) = nullptr;
    u64 (*open3)(const char *path, int flags, int mode) = nullptr;
    int (*exit)(u64 h) = nullptr;
    ssize_t (*read)(u64 h, void *buf, size_t size) = nullptr;
    ssize_t (*writ)(u64 h, const void *data, size_t size) = nullptr;
    ssize_t (*pread)(u64 h, void *buf, size_t size, i64 offset) = nullptr;
    ssize_t (*pwrit)(u64 h, const void *data, size_t size, i64 offset) = nullptr;
    ssize_t (*readv)(u64 h, const struct iovec *list, int count) = nullptr;
    ssize_t (*writv)(u64 h, const struct iovec *list, int count) = nullptr;
    ssize_t (*preadv)(u64 h, const struct iovec *list, int count, i64 offset) = nullptr;
    ssize_t (*pwritv)(u64 h, const struct iovec *list, int count, i64 offset) = nullptr;
    int (*sync)(u64 h) = nullptr;
    int (*truncate)(u64 h, i64 length) = nullptr;
    i64 (*seek)(u64 h, i64 offset, int whence) = nullptr;
    i64 (*offset)(u64 h) = nullptr;
    i64 (*size)(u64 h) = nullptr;
    int (*ioctl)(u64 h, u32 code, void *rec, size_t size) = nullptr;
};

// An open file. The backend handle of a local file is its descriptor plus
// one; 0 never denotes an open handle.
struct os_file {
    u64 handle;
    const os_file_ops *ops;
    char *path;  // as the caller gave it
    u64 reserved;
};

// A backend registered at run time: match returns the table for a
// prepared path, or NULL to pass.
struct os_file_backend {
    const char *name;
    const os_file_ops *(*match)(const char *path);
};

// ioctl codes.
enum : u32 {
    OS_FILE_IOCTL_INFO = 0,       // os_file_info
    OS_FILE_IOCTL_ERROR = 1,      // u64 error class of errno
    OS_FILE_IOCTL_STAT = 2,       // os_file_stat_rec
    OS_FILE_IOCTL_TIMES = 3,      // os_file_times
    OS_FILE_IOCTL_LOCK = 4,       // os_file_lock_rec; 0 or -1
    OS_FILE_IOCTL_RTIMEOUT = 5,   // u32 milliseconds
    OS_FILE_IOCTL_WTIMEOUT = 6,   // u32 milliseconds
    OS_FILE_IOCTL_7 = 7,          // two u64 values
    OS_FILE_IOCTL_8 = 8,          // a pointer
    OS_FILE_IOCTL_CHMOD = 9,      // the mode itself in the record argument
    OS_FILE_IOCTL_CHOWN = 10,     // os_file_owner
};

// Kinds of the information record.
enum : u32 {
    OS_FILE_INFO_DIR = 1,
    OS_FILE_INFO_FILE = 2,
    OS_FILE_INFO_VDEV = 3,
    OS_FILE_INFO_BLOCK = 5,
};

// Error classes of OS_FILE_IOCTL_ERROR.
enum : u64 { OS_FILE_ERR_NONE = 0, OS_FILE_ERR_IO = 1, OS_FILE_ERR_NODEV = 2, OS_FILE_ERR_OTHER = 3 };

constexpr size_t OS_FILE_MODEL_SIZE = 128;
struct os_file_info {
    u32 kind;
    u64 size;
    u64 offset;
    u32 block_size;
    char model[OS_FILE_MODEL_SIZE];
};

// Lock record: type OS_LOCK_UNLOCK releases; otherwise as os_file_lock.
struct os_file_lock_rec {
    i32 type;
    u64 offset;
    u64 length;
};

struct os_file_owner {
    u32 uid;
    u32 gid;
};

// Time-outs are kept within these bounds (milliseconds).
constexpr u32 OS_FILE_TIMEOUT_MIN = 1000;
constexpr u32 OS_FILE_TIMEOUT_MAX = 600000;

os_file *os_file_open(const char *path, u32 flags);
os_file *os_file_open2(const char *path, u32 access, u32 share, void *security, u32 disposition,
                       u32 attributes);
os_file *os_file_open3(const char *path, u32 flags, int mode);
// The exit slot's result; frees the handle (not when the slot is empty).
int os_file_close(os_file *file);

ssize_t os_file_read(os_file *file, void *buf, size_t size);
ssize_t os_file_write(os_file *file, const void *data, size_t size);
ssize_t os_file_pread(os_file *file, void *buf, size_t size, i64 offset);
ssize_t os_file_pwrit(os_file *file, const void *data, size_t size, i64 offset);
ssize_t os_file_readv(os_file *file, const struct iovec *list, int count);
ssize_t os_file_writv(os_file *file, const struct iovec *list, int count);
ssize_t os_file_preadv(os_file *file, const struct iovec *list, int count, i64 offset);
ssize_t os_file_pwritv(os_file *file, const struct iovec *list, int count, i64 offset);
int os_file_fsync(os_file *file);
int os_file_ftruncate(os_file *file, i64 length);
i64 os_file_seek(os_file *file, i64 offset, int whence);
i64 os_file_offset(os_file *file);
i64 os_file_size(os_file *file);
// The slot's result, 0 for no file. After OS_FILE_IOCTL_INFO the model
// text is filled for block and character devices.
int os_file_ioctl(os_file *file, u32 code, void *rec, size_t size);
// The descriptor behind the handle, or -1.
int os_file_fd(os_file *file);

// 0 when stored, -1 when all four slots are taken. Register before other
// threads open files.
int os_file_ops_register(const os_file_backend *backend);
// The table for a prepared path (never NULL).
const os_file_ops *os_file_ops_find(const char *path);

// Wrappers over os_file_ioctl.
int os_file_info_by_path(const char *path, os_file_info *info);
int os_file_stat(os_file *file, os_file_stat_rec *rec);
int os_file_set_times(os_file *file, const os_file_times *times);
int os_file_range_lock(os_file *file, int type, u64 offset, u64 length);
// write 0 reads, else writes; the time-out is clamped with a warning.
int os_file_read_write_timeout(os_file *file, int write, u32 ms);
int os_file_read_timeout(os_file *file, u32 ms);
int os_file_write_timeout(os_file *file, u32 ms);
int os_file_ioctl7(os_file *file, u64 a, u64 b);
int os_file_ioctl8(os_file *file, void *ptr);
int os_file_chmod(os_file *file, u32 mode);
int os_file_chown(os_file *file, u32 uid, u32 gid);
