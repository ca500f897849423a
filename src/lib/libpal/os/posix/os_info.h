#pragma once
// Host, disk and device information: the operating-system description,
// file-system statistics with the type name and volume label, a device's
// model text and its mount entry.
#include "libpal/env/os_types.h"

// Filled by os_disk_info.
struct os_disk_info_rec {
    u32 mask;         // the fields filled (0x8E)
    u32 name_max;     // longest file name (255 when the file system reports 0)
    u64 avail;        // bytes available to unprivileged users
    u64 free;         // free bytes
    u64 total;        // total bytes
    char fs_type[16];
    char label[256];
};

// The eleven values of statvfs, in its order.
enum {
    OS_STATFS_BSIZE,
    OS_STATFS_FRSIZE,
    OS_STATFS_BLOCKS,
    OS_STATFS_BFREE,
    OS_STATFS_BAVAIL,
    OS_STATFS_FILES,
    OS_STATFS_FFREE,
    OS_STATFS_FAVAIL,
    OS_STATFS_FSID,
    OS_STATFS_FLAG,
    OS_STATFS_NAMEMAX,
    OS_STATFS_COUNT
};

int os_get_info(char *buf, size_t size);
int os_disk_info(const char *path, os_disk_info_rec *rec);
int os_statfs(const char *path, u64 values[OS_STATFS_COUNT]);
const char *os_fs_type(u64 magic);
// Runs command through the shell and, in the line of its output whose text
// before ':' is key, takes the text after the first '=' without its quotes
// into out (at most size - 1 characters). 0 when found, -1 otherwise (out
// is then empty).
int get_popen_val(const char *command, const char *key, char *out, size_t size);

// The first line of /sys/block/<last component of the device path>/device/<attr>,
// trimmed, as a heap text; NULL when it cannot be read.
char *os_dev_get_sys_attr(const char *dev_path, const char *attr);
// The model text of the device open on fd (buffer left as it was when
// none is found). The queries run only for block and character devices.
int os_dev_get_model(int fd, char *buf, size_t size, const char *dev_path);
int os_dev_get_model_imp(int fd, char *buf, size_t size, const char *dev_path);
// The mount entry of a device: key "mnt_dir" (mount point) or "mnt_type".
int os_dev_get_mount(const char *dev_path, const char *key, char *buf, size_t size);
// Prefix put before /proc, /sys and /etc paths read here (NULL or "": none).
// Tests point it at a directory of fixture files.
void os_dev_info_set_root(const char *prefix);
