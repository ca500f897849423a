#pragma once
// Device tables of the file layer and the slots they share. The devices
// touch no descriptor except stdin (0) and stdout (1); their handle is 1
// (stdout: 2, descriptor 1 plus one).
#include "libpal/os/os_file2.h"

extern const os_file_ops os_file_ops_stdin;
extern const os_file_ops os_file_ops_stdout;
extern const os_file_ops os_file_ops_random;
extern const os_file_ops os_file_ops_zero;
extern const os_file_ops os_file_ops_null;

// Shared slots: sync and truncate do nothing (1); seek, offset and size
// give 0; ioctl answers the information record (kind 3, block size 512)
// and the error class (0).
int os_comm_file_sync(u64 h);
int os_comm_file_truncate(u64 h, i64 length);
i64 os_comm_file_seek(u64 h, i64 offset, int whence);
i64 os_comm_file_offset(u64 h);
i64 os_comm_file_size(u64 h);
int os_comm_file_ioctl(u64 h, u32 code, void *rec, size_t size);
int os_comm_file_exit(u64 h);

ssize_t os_zero_file_read(u64 h, void *buf, size_t size);
ssize_t os_zero_file_pread(u64 h, void *buf, size_t size, i64 offset);
// Bytes from the system's random source.
ssize_t os_random_file_read(u64 h, void *buf, size_t size);
ssize_t os_random_file_pread(u64 h, void *buf, size_t size, i64 offset);
ssize_t os_null_file_writ(u64 h, const void *data, size_t size);
ssize_t os_null_file_pwrit(u64 h, const void *data, size_t size, i64 offset);
ssize_t os_stdin_file_read(u64 h, void *buf, size_t size);
ssize_t os_stdout_file_writ(u64 h, const void *data, size_t size);
int os_stdout_file_sync(u64 h);
