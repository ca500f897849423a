#pragma once
// Following a file by its name: a writer that keeps a log file open
// notices, with a look every so often, when the name no longer leads to
// that file (deleted, moved away, or another file put in its place), and
// can then open the name anew.
#include "libpal/env/os_types.h"

// Records that follow each other this closely share one look at the link
// count, and these one look at the name (microseconds).
constexpr u64 FD_FOLLOW_BURST_US = 100;
constexpr u64 FD_FOLLOW_NAME_US = 1000;
// A name that cannot be opened again, or a file that cannot be written, is
// tried again after this.
constexpr u64 FD_FOLLOW_RETRY_US = 1000000;

struct fd_follow {
    u64 dev, ino;     // identity of the open file
    u64 checked_us;   // time of the last look at its link count
    u64 named_us;     // and of the last look at its name
};

// Takes the identity of the file open at fd (and its size, when size is
// not NULL); the next look is due at once. False when it cannot be read.
bool fd_follow_start(fd_follow *f, int fd, u64 *size);

enum class fd_look {
    none,      // records this close to the last look share it
    in_place,  // the name leads to the open file
    gone,      // it does not (or the name leads nowhere)
};
// Looks at the file when a look is due. The link count is read through the
// descriptor, which costs less than a lookup of the name; the name is
// looked at when the link count is gone, or once per FD_FOLLOW_NAME_US (the
// file may have been moved away). now: microseconds of any clock that
// moves on. No change watch: a watched file makes every write to its file
// system cost more. The check whether a look is due is inline: most
// records share the last look.
fd_look fd_follow_look_due(fd_follow *f, int fd, const char *name, u64 now);
inline fd_look fd_follow_look(fd_follow *f, int fd, const char *name, u64 now)
{
    if (now - f->checked_us < FD_FOLLOW_BURST_US) return fd_look::none;
    return fd_follow_look_due(f, fd, name, now);
}

// The size of the file open at fd, or -1.
i64 fd_size(int fd);
// True when the file open at fd has no name left (it was deleted).
bool fd_unlinked(int fd);
