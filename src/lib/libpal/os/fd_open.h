#pragma once
// Opening a log file by its name so that another local user cannot turn
// the name against the program. In a directory that is sticky and that
// others may write (as /tmp), any user may put a file, a FIFO or a link at
// the name first: the kernel's protected_symlinks, protected_fifos,
// protected_regular and protected_hardlinks rules refuse such names, but
// they are off on many systems. The same rules are applied here, so that
// they hold wherever the program runs. Nothing in such a directory can hang
// the open: the file is opened non-blocking until its type is known.
#include <cstddef>
#include <sys/types.h>

// Opens path as open(2) would with these flags (close-on-exec added; in a
// shared directory O_TRUNC applies only once the file is accepted). In a sticky directory
// that others may write, a name that is a symbolic link or a FIFO, a file
// owned by neither the effective user nor the directory's owner, or a file
// with more than one link, is refused with EACCES (fd_open_refusal says
// why). Elsewhere a link is followed and a FIFO opened (blocking, once
// open) as before. mkparent: a missing directory is made first. The
// descriptor, or -1 with errno set.
int fd_open_log(const char *path, int flags, mode_t mode, bool mkparent);

// Why fd_open_log refuses path, in words ("a FIFO in a sticky directory
// that others may write"), into buf; NULL when it would not refuse it.
const char *fd_open_refusal(const char *path, char *buf, size_t size);
