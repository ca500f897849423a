#pragma once
// Halving a file in place: its newest part is copied down to an earlier
// offset and the file cut behind it, in the same file, under a marker
// beside it (its name + FD_HALVE_MARK_SUFFIX, in the directory the file was
// opened in) through which an open finishes a halving that a kill cut
// short. Nothing is flushed to the disk. The README ("The halving at the
// size limit") tells the rules.
#include "libpal/env/os_types.h"
#include "libpal/os/fd_open.h"

constexpr char FD_HALVE_MARK_SUFFIX[] = ".halving";
// The end of the last whole record of [from, size) of the file open at fd
// (a record starts at from; from when none is whole), or -1 when the file
// cannot be read. NULL: every byte is whole.
using fd_whole_end = i64 (*)(int fd, i64 from, i64 size, const void *arg);
// Whether [from, end) of the file open at fd, its bytes in place, is a
// part that the writer's halvings copy down to to: 1 it is, 0 it is not,
// -1 the file cannot be read (errno). NULL: any part is.
using fd_part_check = int (*)(int fd, i64 from, i64 end, i64 to, const void *arg);
// The marker's text: one line of FD_HALVE_MARK_LEN bytes.
constexpr size_t FD_HALVE_MARK_LEN = 128;
// What a halving that failed could not do.
constexpr u8 FD_HALVE_COPY = 0, FD_HALVE_CUT = 1, FD_HALVE_MARK = 2;

struct fd_halve_mark {
    int fd;         // the marker file, -1 until the first halving
    int dir;        // the directory that holds the file, -1: no marker
    int busy;       // a halving is under way (atomic access: the crash
                    // report reads it from a signal handler)
    u8 news;        // why holds a finding that was not told yet
    u8 step;        // what the last halving that failed could not do
    fd_whole_end whole_end;
    fd_part_check part_check;
    const void *whole_arg;  // the argument of both
    i64 head;       // where the writer's halvings copy to; -1: anywhere
    // The records are whole from this offset on, not in front of it (a
    // copy whose cut was refused); 0: the file is whole.
    i64 whole_from;
    i64 lost;       // bytes of the kept part the last halving lost
    char why[384];  // the last finding, in words; empty when none
    char text[FD_HALVE_MARK_LEN];  // what the marker holds; "" none yet
    char path[PATH_MAX + sizeof FD_HALVE_MARK_SUFFIX];  // the marker's path
};
// A marker of the writer whose records whole_end and part_check know (arg
// passed to both), whose halvings copy to head; placed nowhere yet.
void fd_halve_mark_init(fd_halve_mark *m, fd_whole_end whole_end = nullptr, const void *arg = nullptr,
                        fd_part_check part_check = nullptr, i64 head = -1);
// m takes over the directory of the file opened at at (at->dir is -1
// after), closing what it held.
void fd_halve_mark_place(fd_halve_mark *m, fd_log_place *at);
// Closes the marker and the directory; the marker is removed unless it
// names work that is not done (one that cannot be removed is emptied, and
// that is kept in m->why for the caller to tell).
void fd_halve_mark_close(fd_halve_mark *m);
// The file was emptied: whatever stands at the marker's name is removed.
void fd_halve_mark_remove(fd_halve_mark *m);
// The finding in m->why when it was not told yet (once), else NULL.
const char *fd_halve_mark_news(fd_halve_mark *m);
// Keeps a finding for the caller to tell (a loss found at an open).
void fd_halve_mark_note(fd_halve_mark *m, const char *fmt, ...) OS_PRINTF(2, 3);

// Copies [from, end) of the file open at fd (readable and writable) down
// to to (to + end - from <= from) and cuts the file behind it, under m's
// marker (none when m is NULL, placed nowhere, or no marker can be made).
// 1 halved under a marker, 0 without one, -1 failed with errno of the
// first failure (EINVAL: parts that overlap; ECANCELED: after
// fd_halve_stop): m->step, m->lost and m->whole_from say what it left.
// The descriptor writes at the file's end after.
int fd_halve(int fd, fd_halve_mark *m, i64 from, i64 end, i64 to);
// No halving starts from now on, in any thread (async-signal-safe).
void fd_halve_stop(void);
// True while a halving under m is under way (async-signal-safe).
bool fd_halve_busy(const fd_halve_mark *m);
// At an open of the file (open at fd, readable and writable, placed in
// m): reads the marker, checks it (the program's text, naming this file at
// a size that its verb leaves, a copy to m->head of a part that
// m->part_check takes), and then does the work it names. 1 a
// halving was finished or mended (a loss is said in m->why), 0 nothing
// was done (no marker; one refused, said in m->why; a copy whose cut was
// refused, kept pending), -1 the copy made again failed (as fd_halve).
int fd_halve_resume(int fd, fd_halve_mark *m);
// The marker's text for a copy of [from, end) down to to in the file of
// the given device and inode (rewrite: the file is cut at to and the part
// is being written back from memory).
void fd_halve_mark_text(char out[FD_HALVE_MARK_LEN], u64 dev, u64 ino, i64 from, i64 end, i64 to,
                        bool rewrite = false);

// The halvings that failed, for the writer to tell: on standard error at
// once when say_eno is set, and in an err record in front of the next
// record.
struct fd_halve_tally {
    u32 fails;     // failed since they were last told in the file
    int eno;       // why the first of them failed
    u8 step;       // what the first of them could not do
    u64 lost;      // bytes of newest records they lost
    u64 retry_us;  // no halving before this monotonic time; 0: the last
                   // one did not fail
    int say_eno;   // a line on standard error is due, with this reason
    u64 say_lost;  // and these bytes lost; 0 with say_eno when none is due
};
// True while the next halving waits (the last one failed).
bool fd_halve_tally_wait(const fd_halve_tally *t);
// Notes the result of a halving under m: rc < 0 a failure (eno why; a
// failure without one is noted as EIO, never as a success).
void fd_halve_tally_note(fd_halve_tally *t, int rc, int eno, const fd_halve_mark *m);
// The err record of told (NULL: of all of them) was written.
void fd_halve_tally_told(fd_halve_tally *t, const fd_halve_tally *told);

// Reads n bytes at offset at, whole; false on an error, or with errno
// ENODATA when the file ends sooner (it shrank).
bool fd_pread_all(int fd, void *buf, size_t n, i64 at);
// Writes n bytes at offset at, whole; the bytes that went out are added to
// *wrote, also when a later part fails. False on an error, or with errno
// ENOSPC when a write takes no byte.
bool fd_pwrite_all(int fd, const void *buf, size_t n, i64 at, i64 *wrote);
// Writes n bytes at the descriptor's offset, whole (async-signal-safe);
// false on an error, or with errno ENOSPC when a write takes no byte.
bool fd_write_all(int fd, const void *buf, size_t n);
// Appends the pieces (at most FD_APPEND_MAX) at the end of a file opened
// for appending, or at the descriptor's offset when that is the file's
// end, whole or not at all: a write that stops part way is taken back by
// cutting the file to its size before. True when every byte went out;
// false with errno of the failed write. One piece is async-signal-safe.
constexpr int FD_APPEND_MAX = 16;
bool fd_append_whole(int fd, const struct iovec *v, int cnt);
