#pragma once
// Local files of the file layer: the backend handle is the descriptor plus
// one, and every slot works on handle minus one.
#include "libpal/os/os_file2.h"

extern const os_file_ops os_file_ops_local;

// Init flags as in os_file_flag.h; with OS_FILE_CREATE the file gets mode
// 0644 and missing parent directories are created.
u64 os_local_file_init(const char *path, u32 flags);
// Disposition OS_FILE_CREATE_NEW fails with EEXIST on any existing entry.
u64 os_local_file_open2(const char *path, u32 access, u32 share, u32 disposition, u32 attributes);
u64 os_local_file_open3(const char *path, int flags, int mode);
int os_local_file_exit(u64 h);
ssize_t os_local_file_read(u64 h, void *buf, size_t size);
ssize_t os_local_file_writ(u64 h, const void *data, size_t size);
ssize_t os_local_file_pread(u64 h, void *buf, size_t size, i64 offset);
ssize_t os_local_file_pwrit(u64 h, const void *data, size_t size, i64 offset);
ssize_t os_local_file_readv(u64 h, const struct iovec *list, int count);
ssize_t os_local_file_writv(u64 h, const struct iovec *list, int count);
// Positioned vector transfers leave the descriptor's offset alone.
ssize_t os_local_file_preadv(u64 h, const struct iovec *list, int count, i64 offset);
ssize_t os_local_file_pwritv(u64 h, const struct iovec *list, int count, i64 offset);
int os_local_file_sync(u64 h);
int os_local_file_truncate(u64 h, i64 length);
i64 os_local_file_seek(u64 h, i64 offset, int whence);
i64 os_local_file_offset(u64 h);
// Regular files: their size; block devices: the device size; files that
// report 0 (such as /proc entries): probed in 4096-byte units.
i64 os_local_file_size(u64 h);
int os_local_file_ioctl(u64 h, u32 code, void *rec, size_t size);

// Size by positioned reads of 4096 bytes, rounded up to 4096; 0 for a file
// that never ends.
i64 os_local_file_probe_size(int fd);
// The first of 512, 1024, 2048 and 4096 that a read returns whole, or 0.
u32 os_local_file_probe_block(int fd);
