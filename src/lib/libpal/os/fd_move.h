#pragma once
// Moving the end of an open file down to an earlier offset in bounded
// steps, and halving a file in place so that a kill leaves it whole: the
// trims of the log files keep their newest part this way, in the same file
// and without reading it whole into memory.
#include "libpal/env/os_types.h"
#include "libpal/os/fd_open.h"

// Copies the bytes [from, end) of fd to [to, to + end - from) (to <= from)
// and cuts the file behind them. Works on a descriptor opened for reading
// and writing, appending or not; it writes at the file's end after. 0, or
// -1 when the copy or the cut failed (bytes in front of from may have
// been written over).
int fd_move_down(int fd, i64 from, i64 end, i64 to);
// Halving a file in place, so that the file stays the same file (a reader
// that holds it open sees it shrink and goes on) and a kill at any instant
// but one leaves it whole once it is opened again. The kept part [from,
// end) is copied down to [to, to + end - from), never over its own bytes
// (to + end - from <= from), and the file is cut behind it. A marker beside
// the file (its name + FD_HALVE_MARK_SUFFIX, in the directory the file was
// opened in) names the pending copy from before it starts until the cut is
// done; an open of the file that finds the marker finishes the copy and
// the cut first (fd_halve_resume), which is safe to repeat because the
// copy's source is never written. The marker is made anew at the first
// halving (whatever stood at its name is removed first, never reused),
// kept open and written in place (a pending copy, or none), and removed
// when the file is closed with nothing pending. Nothing is flushed to the
// disk: a power cut leaves what any unflushed write leaves.
constexpr char FD_HALVE_MARK_SUFFIX[] = ".halving";
// How the records of a file lie: the end of the last whole record of
// [from, size), where a record starts at from (from when none is whole
// there), or -1 when the file cannot be read. NULL: every byte is whole.
using fd_whole_end = i64 (*)(int fd, i64 from, i64 size, const void *arg);
struct fd_halve_mark {
    int fd;         // the marker file, -1 until the first halving
    int dir;        // the directory that holds the file, -1: no marker
    int busy;       // a halving is under way (atomic access: the crash
                    // report reads it from a signal handler)
    u8 news;        // why holds a finding that was not told yet
    u8 pending;     // the marker names work that is not done
    fd_whole_end whole_end;
    const void *whole_arg;
    // The records from this offset to the end are whole, and those in
    // front of it may not be (a copy of the kept part that could not be
    // cut off): the next halving keeps records from here on. 0: the file
    // is whole.
    i64 whole_from;
    i64 lost;       // bytes of the kept part the last halving lost
    char why[384];  // the last finding about the marker, in words (a
                    // marker not followed, one that cannot be removed, a
                    // loss found at an open); empty when none
    char path[PATH_MAX + sizeof FD_HALVE_MARK_SUFFIX];  // the marker's path
};
void fd_halve_mark_init(fd_halve_mark *m, fd_whole_end whole_end = nullptr, const void *arg = nullptr);
// The file opened at the place at is the one halved from now on: m takes
// over its directory (at->dir is -1 after). What m held before is closed
// as fd_halve_mark_close closes it.
void fd_halve_mark_place(fd_halve_mark *m, fd_log_place *at);
// The file is closed: the marker is closed, and removed unless it names
// work that is not done (the next open finishes it), and the directory
// closed.
void fd_halve_mark_close(fd_halve_mark *m);
// The file was emptied (opened anew): a marker beside it is removed.
void fd_halve_mark_remove(fd_halve_mark *m);
// The finding in m->why when it was not told yet (once), else NULL.
const char *fd_halve_mark_news(fd_halve_mark *m);
// Copies [from, end) of the file open at fd (readable and writable) down
// to to and cuts the file behind it, under the marker of m (m NULL, or
// placed nowhere, or no marker can be made there: without one, and a kill
// inside the copy may then tear the file). 1 halved under a marker, 0
// without one, -1 failed (errno of the first failure). A copy that fails
// before it wrote a byte leaves the file as it was, over its limit; one
// that fails later reads the kept part (whole at its source) into memory,
// cuts the file at to and writes it back; a write-back that stops part
// way is cut back to the last whole record it wrote (m->whole_end), and
// m->lost says how many bytes of the part were lost. A cut that is
// refused leaves the copy in front and the part at its source:
// m->whole_from says where the whole records start, and the marker stays
// pending. Whatever happened, the descriptor writes at the file's end
// after. Parts that would overlap are refused with the file untouched,
// and after fd_halve_stop no halving starts (ECANCELED).
int fd_halve(int fd, fd_halve_mark *m, i64 from, i64 end, i64 to);
// No halving starts from now on, in any thread (async-signal-safe): the
// crash report calls it before it looks whether one is under way.
void fd_halve_stop(void);
// True while a halving under m is under way (async-signal-safe). A writer
// that does not hold the file's lock must then leave the file alone: its
// descriptor may not append until the halving ends.
bool fd_halve_busy(const fd_halve_mark *m);
// At an open of the file (open at fd, readable and writable, placed in m):
// finishes the work that its marker names. The marker is followed only
// when it is this program's own: a regular file with one link, owned by
// the effective user, that group and others may not write, naming the
// file's device and inode; it is opened without blocking and its type is
// known before it is read. A marker that fails these checks is removed
// where the program may, and said in m->why. A copy cut short is made
// again; a write-back cut short (the file cut at to, the kept part only
// partly written back) is cut to its last whole record, and the bytes lost
// are said in m->why; a copy whose source is still in place with records
// behind it (a cut that was refused) sets m->whole_from and keeps the
// marker. 1 a halving was finished, 0 nothing was pending (no marker, or
// one that is not followed: the file is left as it is), -1 when the copy
// cannot be done: fd_halve's rules keep the newest part.
int fd_halve_resume(int fd, fd_halve_mark *m);
// The marker's text for a copy of [from, end) down to to in the file of the
// given device and inode (rewrite: the file is cut at to and the part is
// being written back from memory): one line of FD_HALVE_MARK_LEN bytes.
constexpr size_t FD_HALVE_MARK_LEN = 128;
void fd_halve_mark_text(char out[FD_HALVE_MARK_LEN], u64 dev, u64 ino, i64 from, i64 end, i64 to,
                        bool rewrite = false);
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
