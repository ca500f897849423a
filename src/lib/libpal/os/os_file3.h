#pragma once
// Whole-file helpers by path: load, save, copy, create, and the UTF-8
// byte-order mark on open streams. Paths take either separator and a
// "file://" prefix; buffers are freed with os_free.
#include <cstdio>
#include "libpal/env/os_types.h"

// The file's bytes in a heap buffer (an empty file gives an empty buffer,
// not NULL); with add_nul one NUL byte follows them. *size, when given,
// gets the count of the buffer's bytes, that NUL included. NULL on failure.
char *os_file_load(const char *path, size_t *size, int add_nul);
char *os_file_load_bin(const char *path, size_t *size);
char *os_file_load_text(const char *path);
// The file as text: every 4096-byte block ends at its first NUL byte.
char *os_cat(const char *path);

// Write in place, creating the parent directories; 0, or -1 (also for an
// empty text or size 0, which leave an empty file).
int os_file_save_text(const char *path, const char *text);
int os_file_save(const char *path, const void *data, size_t size);

// Writes a file through a stream; a negative result fails the save.
typedef int (*os_file_writer)(FILE *f, void *arg);
// Replaces a regular file as a whole: the data goes to a temporary file in
// the same directory, which is synced and renamed over the old one, so a
// crash leaves either the old or the new file. A replaced file keeps its
// mode (a new one gets 0644); a symbolic link is followed and kept. Files
// that are no regular files (devices, /proc and /sys entries), and
// directories where no temporary file can be made, are written in place.
// Parent directories are created. 0, or -1 with errno.
int os_file_save_atomic_fn(const char *path, os_file_writer writer, void *arg);
int os_file_save_atomic(const char *path, const void *data, size_t size);

// 0, or -1 when a read, a write or the final close failed, or when both
// paths name the same file (EINVAL).
int os_file_copy(const char *src, const char *dst);
// 1 exists and is no directory, 0 directory, -1 stat failed.
int os_path_is_file(const char *path);
// Creates an empty file (0644) unless one exists; a directory fails with
// EACCES.
int os_file_touch(const char *path);
// 0 when the file (created if missing) can be extended to size bytes.
int os_file_save_space_check(const char *path, u64 size);

// Skips a UTF-8 byte-order mark; returns the final fseek's result.
int os_file_skip_bom(FILE *f);
// Writes the UTF-8 byte-order mark; fwrite's item count.
int os_file_write_bom(FILE *f);
