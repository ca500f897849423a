#pragma once
// Moving the end of an open file down to an earlier offset in bounded
// steps: the trims of the log files keep their newest part this way, in
// the same file and without reading it whole into memory.
#include "libpal/env/os_types.h"

// Copies the bytes [from, end) of fd to [to, to + end - from) (to <= from)
// and cuts the file behind them. Works on a descriptor opened for reading
// and writing, appending or not. 0, or -1 with the file left as it was
// before the cut.
int fd_move_down(int fd, i64 from, i64 end, i64 to);
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
