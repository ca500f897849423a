#pragma once
// Moving the end of an open file down to an earlier offset in bounded
// steps, and halving a file in place so that a kill leaves it whole: the
// trims of the log files keep their newest part this way, in the same file
// and without reading it whole into memory.
#include "libpal/env/os_types.h"

// Copies the bytes [from, end) of fd to [to, to + end - from) (to <= from)
// and cuts the file behind them. Works on a descriptor opened for reading
// and writing, appending or not. 0, or -1 when the copy or the cut failed
// (bytes in front of from may have been written over).
int fd_move_down(int fd, i64 from, i64 end, i64 to);
// Halving a file in place, so that the file stays the same file (a reader
// that holds it open sees it shrink and goes on) and a kill at any instant
// leaves it whole once it is opened again. The kept part [from, end) is
// copied down to [to, to + end - from), never over its own bytes (to +
// end - from <= from), and the file is cut behind it. A marker beside the
// file (its real name + FD_HALVE_MARK_SUFFIX) names the pending copy from
// before it starts until the cut is done; an open of the file that finds
// the marker finishes the copy and the cut first (fd_halve_resume), which
// is safe to repeat because the copy's source is never written. The marker
// is made anew at the first halving (whatever stood at its name is removed
// first, never reused), kept open and written in place (a pending copy, or
// none), and removed when the file is closed. Nothing is flushed to the
// disk: a power cut leaves what any unflushed write leaves.
constexpr char FD_HALVE_MARK_SUFFIX[] = ".halving";
struct fd_halve_mark {
    int fd;         // the marker file, -1 until the first halving
    int busy;       // a halving is under way (atomic access: the crash
                    // report reads it from a signal handler)
    u8 news;        // why holds a finding that was not told yet
    char why[384];  // the last marker found that is not followed (or that
                    // cannot be removed), in words; empty when none
};
void fd_halve_mark_init(fd_halve_mark *m);
// The marker is closed and removed: the file is closed or named anew.
void fd_halve_mark_close(fd_halve_mark *m, const char *name);
// The finding in m->why when it was not told yet (once), else NULL.
const char *fd_halve_mark_news(fd_halve_mark *m);
// Copies [from, end) of the file open at fd (readable and writable) and
// named name down to to and cuts the file behind it, under a marker beside
// name (name or m NULL, or no marker can be made there: without one, and a
// kill inside the copy may then tear the file). 1 halved under a marker, 0
// without one, -1 failed (errno of the first failure), and the newest part
// is never lost for it: a copy that fails before it wrote a byte leaves the
// file as it was, over its limit; one that fails later reads the kept part
// (whole at its source) into memory, cuts the file at to and writes it
// back, and only when that write fails too is the file cut behind what it
// wrote. Parts that would overlap are refused with the file untouched, and
// after fd_halve_stop no halving starts.
int fd_halve(int fd, const char *name, fd_halve_mark *m, i64 from, i64 end, i64 to);
// No halving starts from now on, in any thread (async-signal-safe): the
// crash report calls it before it looks whether one is under way.
void fd_halve_stop(void);
// True while a halving under m is under way (async-signal-safe). A writer
// that does not hold the file's lock must then leave the file alone: its
// descriptor may not append until the halving ends.
bool fd_halve_busy(const fd_halve_mark *m);
// At an open of the file named name (open at fd, readable and writable):
// finishes the halving that its marker names and removes the marker. The
// marker is followed only when it is this program's own: a regular file
// with one link, owned by the effective user, that group and others may
// not write, naming the file's device and inode; it is opened without
// blocking and its type is known before it is read. A marker that fails
// these checks is removed where the program may, and said in m->why (m
// may be NULL). 1 a halving was finished, 0 nothing was pending (no
// marker, or one that is not followed: the file is left as it is), -1
// when the copy cannot be done: fd_halve's rules keep the newest part (the
// marker stays for the next open when the file is left as it was).
int fd_halve_resume(int fd, const char *name, fd_halve_mark *m);
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
