#pragma once
// Path and directory operations. Every path is copied into 4096 bytes and
// normalised ('\' to '/', no "file://" prefix, no doubled separators)
// before the system call; a path that does not fit fails with
// ENAMETOOLONG. Results are the call's: 0, or -1 with errno.
#include <cstdio>
#include <sys/types.h>
#include "libpal/env/os_types.h"

struct stat;

// Status record of the file layer and of the path operations.
enum : u32 {
    OS_FILE_KIND_DIR = 1,
    OS_FILE_KIND_FILE = 2,   // anything but a directory
    OS_FILE_KIND_LINK = 0x100,
};
struct os_file_stat_rec {
    u32 kind;
    u32 mode;
    u32 uid;
    u32 gid;
    u64 size;
    u64 atime_sec;
    u64 atime_nsec;
    u64 mtime_sec;
    u64 mtime_nsec;
    u64 ctime_sec;
    u64 ctime_nsec;
    u64 nlink;
    u64 dev;
    u64 rdev;
    u64 ino;
    u64 blksize;
    u64 blocks;
};

// Access, modification and status-change times.
struct os_file_time {
    u64 sec;
    u32 nsec;
};
struct os_file_times {
    os_file_time atime;
    os_file_time mtime;
    os_file_time ctime;
};

// The status fields of st (kind from its type).
void os_file_stat_from(const struct stat *st, os_file_stat_rec *rec);
// All three times set to now (whole seconds).
void os_file_touch_times(os_file_times *times);

// Normalised copy of path in buf (4096 bytes); NULL with errno EINVAL for
// no path and ENAMETOOLONG when it does not fit.
char *os_path_norm(const char *path, char *buf);

int os_path_stat(const char *path, os_file_stat_rec *rec);
int os_path_lstat(const char *path, os_file_stat_rec *rec);
// Without force an existing new path is never replaced (EEXIST). A renamed
// entry gets the current access and modification times.
int os_path_rename(const char *oldpath, const char *newpath, int force);
int os_path_unlink(const char *path);
int os_path_mknod(const char *path, mode_t mode, dev_t dev);
int os_path_mkfifo(const char *path, mode_t mode);
int os_path_symlink(const char *target, const char *linkpath);
int os_path_link(const char *existing, const char *newpath);
int os_path_chmod(const char *path, mode_t mode);
// Linux has no modes on symbolic links: fails with EOPNOTSUPP on a link.
int os_path_lchmod(const char *path, mode_t mode);
int os_path_chown(const char *path, uid_t uid, gid_t gid);
int os_path_lchown(const char *path, uid_t uid, gid_t gid);
int os_path_truncate(const char *path, i64 length);
int os_path_set_times(const char *path, const os_file_times *times);
int os_path_set_times_nofollow(const char *path, const os_file_times *times);
// realpath into buf (4096 bytes); "" on failure. Returns buf.
char *os_realpath(const char *path, char *buf);
mode_t os_umask(mode_t mask);
// 1 directory, 0 exists but is no directory, -1 stat failed.
int os_path_is_dir(const char *path);
// An existing directory is success; an existing non-directory fails with
// EACCES.
int os_mkdir(const char *path, mode_t mode);
int os_mkdir_0755(const char *path);
// Every missing component with mode 0755; safe against concurrent creators.
int os_mkdirs(const char *path);
// os_mkdirs of the part before the last separator; -1 without one.
int os_mkdir_parent(const char *path);
int os_rmdir(const char *path);
// open(2) of a normalised path with close-on-exec added; with O_CREAT a
// missing parent directory (ENOENT) is created and the open tried once more.
int os_open_mkparent(const char *path, int flags, mode_t mode);
// The link's target in buf; its length, or -1. A target that does not fit
// below size fails with ENAMETOOLONG; otherwise buf is NUL-terminated.
int os_readlink(const char *path, char *buf, size_t size);

// fcntl record locks over (offset, length) from the start of the file:
// (flags & 15) == 1 a read lock, else a write lock; flags & 16 fails at
// once instead of waiting.
enum : int { OS_LOCK_READ = 1, OS_LOCK_WRITE = 2, OS_LOCK_UNLOCK = 3, OS_LOCK_NOWAIT = 16 };
int os_file_lock(int fd, int flags, i64 offset, i64 length);
int os_file_unlock(int fd, int flags, i64 offset, i64 length);

int os_access(const char *path, int mode);
int os_chdir(const char *path);
// Opens with close-on-exec; mode as for fopen. Created files get 0644.
FILE *os_fopen(const char *path, const char *mode);
FILE *os_fsopen(const char *path, const char *mode, int share);
// Opens path for reading, close-on-exec and non-blocking, so that the open
// never waits (on a FIFO without a writer, a device); st gets what was
// opened. -1 with errno.
int os_open_nowait(const char *path, struct stat *st);
// Opens a regular file for reading (close-on-exec) and never waits on the
// open: a FIFO without a writer or a device is refused, not read. NULL
// with errno from the open, or, when the path is something else than a
// regular file, with *kind naming it ("a directory", "a FIFO", "a
// character device", "a block device", "a socket", "another kind of file").
FILE *os_fopen_regular(const char *path, const char **kind);
