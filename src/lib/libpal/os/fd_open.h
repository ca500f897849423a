#pragma once
// Opening a log file by its name so that another local user cannot turn
// the name against the program. In a directory that is sticky and that
// others may write (as /tmp), any user may put a file, a FIFO or a link at
// the name first: such names are refused here (links, FIFOs, other users'
// files, files of several links), so that the rule holds whether the
// kernel's protected_* switches are on or not. Nothing in such a directory
// can hang the open: the file is opened non-blocking until its type is
// known. The directory that holds the file is opened once, as a
// directory, and the file is opened relative to it; its place is kept so
// that files beside it (the halving's marker) are made and removed there,
// never by resolving the name again.
#include <climits>
#include <cstddef>
#include <sys/types.h>

// Where an open log file lies.
struct fd_log_place {
    int dir;              // the directory that holds the file, open; -1 none
    char real[PATH_MAX];  // the file's real path (its links resolved)
};
void fd_log_place_init(fd_log_place *at);
// The file's name in its directory: the last component of real.
const char *fd_log_place_base(const fd_log_place *at);
// Closes the directory.
void fd_log_place_close(fd_log_place *at);

// Opens path as open(2) would with these flags (close-on-exec added; in a
// shared directory O_TRUNC applies only once the file is accepted). In a
// sticky directory that others may write, a name that is a symbolic link
// or a FIFO, a file owned by neither the effective user nor the
// directory's owner, or a file with more than one link, is refused with
// EACCES (fd_open_refusal says why). Elsewhere a link is followed and a
// FIFO opened (blocking, once open) as before. mkparent: a missing
// directory is made first. The descriptor, or -1 with errno set; at (may
// be NULL) gets the file's place, its directory open for the caller to
// close.
int fd_open_log(const char *path, int flags, mode_t mode, bool mkparent, fd_log_place *at);

// Why fd_open_log refuses path, in words ("a FIFO in a sticky directory
// that others may write"), into buf; NULL when it would not refuse it.
const char *fd_open_refusal(const char *path, char *buf, size_t size);
