#pragma once
// Opening a log file by its name so that another local user cannot turn
// the name against the program. The directory that holds the file is
// reached by a walk from "/", one component at a time, each opened
// without following it, so that what is checked is what is used: a
// symbolic link in a sticky directory that others may write is followed
// only when it is the effective user's or the directory's owner's (as the
// kernel's protected_symlinks does, whether that is on or not), and the
// holding directory must be the effective user's or root's and, when
// others may write it, sticky. In a sticky directory that others may
// write (as /tmp) any user may put a file, a FIFO or a link at the name
// first: such names are refused too (links, FIFOs, other users' files,
// files of several links). Nothing in such a directory can hang the open:
// the file is opened non-blocking until its type is known. The file is
// opened relative to its directory, and that directory is handed to the
// caller, so that files beside it (the halving's marker) are made and
// removed there, never by resolving the name again.
#include <climits>
#include <cstddef>
#include <sys/types.h>

// Where an open log file lies.
struct fd_log_place {
    int dir;              // the directory that holds the file, open (O_PATH or O_RDONLY); -1 none
    char real[PATH_MAX];  // the file's real path (its links resolved)
};
void fd_log_place_init(fd_log_place *at);
// The file's name in its directory: the last component of real.
const char *fd_log_place_base(const fd_log_place *at);
// Closes the directory.
void fd_log_place_close(fd_log_place *at);

// Opens path as open(2) would with these flags (close-on-exec added; in a
// shared directory O_TRUNC applies only once the file is accepted). A
// relative path starts at the current directory. Refused with EACCES
// (fd_open_refusal says why): a link of another user on the way in a
// sticky directory that others may write; a directory that holds the last
// name (also one where a link at it is met) of another user than the
// effective one or root, or one that others may write and that is not
// sticky; in a sticky directory that others may write, a name
// that is a symbolic link or a FIFO, a file owned by neither the effective
// user nor the directory's owner, or a file with more than one link.
// Elsewhere a link is followed (at most 40 on the way, else ELOOP) and a
// FIFO opened (blocking, once open) as before. mkparent (with O_CREAT):
// missing directories are made, mode 0755 whatever the umask. The
// descriptor, or -1 with errno set and nothing left open; at (may be NULL)
// gets the file's place: its real path, and its directory open
// (close-on-exec) for the caller to close.
int fd_open_log(const char *path, int flags, mode_t mode, bool mkparent, fd_log_place *at);

// Why fd_open_log refuses path, in words ("a FIFO in a sticky directory
// that others may write", "the directory /srv/l is owned by uid 1000"),
// into buf; NULL when it would not refuse it. Looks only: makes nothing.
const char *fd_open_refusal(const char *path, char *buf, size_t size);
