#pragma once
// Moving the end of an open file down to an earlier offset in bounded
// steps, and keeping a part of an open file under its name: the trims of
// the log files keep their newest part this way without reading it whole
// into memory.
#include "libpal/env/os_types.h"

// Copies the bytes [from, end) of fd to [to, to + end - from) (to <= from)
// and cuts the file behind them. Works on a descriptor opened for reading
// and writing, appending or not. 0, or -1 with the file left as it was
// before the cut.
int fd_move_down(int fd, i64 from, i64 end, i64 to);
// Keeps the bytes [0, head) and [from, end) of the regular file open at fd
// (readable) and named name: they are written to the file name + ".tmp"
// beside it (one fixed name: a leftover of a halving cut short is replaced
// by the next), which is flushed to the disk and renamed over the name, so
// that a kill or a power cut at any moment leaves the old file or the new
// one, whole, under the name. The new file keeps the old one's permission
// bits and append flag, and takes the place of the old one at fd (the same
// descriptor number), positioned at its end. When that cannot be done (no
// room for the temporary file, a directory that cannot be written, a name
// that no longer leads to fd's file, name NULL) the part is moved down in
// place instead (fd_move_down). 1 replaced, 0 moved in place, -1 failed.
int fd_keep_part(int fd, const char *name, i64 head, i64 from, i64 end);
constexpr char FD_KEEP_TMP_SUFFIX[] = ".tmp";
// Where a test can stop a process inside fd_keep_part: the temporary file
// written, flushed to the disk, renamed over the name, and taken over at
// fd. A hook set here is called at each step (none by default); the
// environment variable VK_TEST_HALVE_KILL=N, read at the first
// replacement, ends the process with SIGKILL at step N.
enum : int { FD_KEEP_WRITTEN = 1, FD_KEEP_SYNCED, FD_KEEP_RENAMED, FD_KEEP_DONE };
void fd_keep_hook_set(void (*hook)(int step));
// Reads n bytes at offset at, whole; false on a short read or an error.
bool fd_pread_all(int fd, void *buf, size_t n, i64 at);
// Writes n bytes at the descriptor's offset, whole (async-signal-safe);
// false on an error.
bool fd_write_all(int fd, const void *buf, size_t n);
// Appends the pieces (at most FD_APPEND_MAX) at the end of a file opened for
// appending, or at the descriptor's offset when that is the file's end,
// whole or not at all: a write that stops part way (a full disk, the
// file size limit) is taken back by cutting the file to the size it had
// before, so that no torn record stays behind. True when every byte went
// out; false with errno of the failed write. A single piece goes through
// write(2), which keeps that form async-signal-safe.
constexpr int FD_APPEND_MAX = 16;
bool fd_append_whole(int fd, const struct iovec *v, int cnt);
