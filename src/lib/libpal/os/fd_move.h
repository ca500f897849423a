#pragma once
// Moving the end of an open file down to an earlier offset in bounded
// steps, and halving a file in place so that a kill leaves it whole: the
// trims of the log files keep their newest part this way, in the same file
// and without reading it whole into memory.
#include "libpal/env/os_types.h"

// Copies the bytes [from, end) of fd to [to, to + end - from) (to <= from)
// and cuts the file behind them. Works on a descriptor opened for reading
// and writing, appending or not. 0, or -1 with the file left as it was
// before the cut.
int fd_move_down(int fd, i64 from, i64 end, i64 to);
// Halving a file in place, so that the file stays the same file (a reader
// that holds it open sees it shrink and goes on) and a kill at any instant
// leaves it whole once it is opened again. The kept part [from, end) is
// copied down to [to, to + end - from), never over its own bytes (to +
// end - from <= from), and the file is cut behind it. A marker beside the
// file (its name + FD_HALVE_MARK_SUFFIX) names the pending copy from before
// it starts until the cut is done; an open of the file that finds the
// marker finishes the copy and the cut first (fd_halve_resume), which is
// safe to repeat because the copy's source is never written. The marker is
// made at the first halving, kept open and written in place (a pending
// copy, or none), and removed when the file is closed. Nothing is flushed
// to the disk: a power cut leaves what any unflushed write leaves.
constexpr char FD_HALVE_MARK_SUFFIX[] = ".halving";
struct fd_halve_mark {
    int fd;  // the marker file, -1 until the first halving
};
void fd_halve_mark_init(fd_halve_mark *m);
// The marker is closed and removed: the file is closed or named anew.
void fd_halve_mark_close(fd_halve_mark *m, const char *name);
// Copies [from, end) of the file open at fd (readable and writable) and
// named name down to to and cuts the file behind it, under a marker beside
// name (name or m NULL, or no marker can be made there: without one, and a
// kill inside the copy may then tear the file). 1 halved under a marker, 0
// without one, -1 failed: a copy that cannot be read or written leaves the
// file cut at to (what it kept before the part is whole) and no pending
// marker; parts that would overlap are refused with the file untouched.
int fd_halve(int fd, const char *name, fd_halve_mark *m, i64 from, i64 end, i64 to);
// At an open of the file named name (open at fd, readable and writable):
// finishes the halving that its marker names and removes the marker. 1 a
// halving was finished, 0 nothing was pending (no marker, or one that names
// another file or does not hold: it is removed, the file left as it is), -1
// when the copy cannot be done: the file keeps what lies before the part
// (the marker stays when even that cut fails).
int fd_halve_resume(int fd, const char *name);
// The file is emptied (created anew): a marker beside it is removed.
void fd_halve_mark_remove(const char *name);
// The marker's text for a copy of [from, end) down to to in the file of the
// given device and inode: one line of FD_HALVE_MARK_LEN bytes.
constexpr size_t FD_HALVE_MARK_LEN = 128;
void fd_halve_mark_text(char out[FD_HALVE_MARK_LEN], u64 dev, u64 ino, i64 from, i64 end, i64 to);
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
