#pragma once
// Opening a log file by its name so that another local user cannot turn
// the name against the program: the path is walked from "/" one name at a
// time, each step judged before it is taken. The README ("Log outputs")
// says what is refused.
#include <climits>
#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

// Where an open log file lies.
struct fd_log_place {
    int dir;              // the directory that holds the file (O_PATH); -1 none
    char real[PATH_MAX];  // the file's real path (its links resolved)
};
void fd_log_place_init(fd_log_place *at);
// The file's name in its directory: the last component of real.
const char *fd_log_place_base(const fd_log_place *at);
// Closes the directory.
void fd_log_place_close(fd_log_place *at);

// Opens path as open(2) would with these flags (close-on-exec added; in a
// shared directory O_TRUNC only once the file is accepted; a relative path
// is taken from the current directory). mkparent (with O_CREAT): missing
// directories are made, mode 0755 less the umask, but none that a later
// ".." of the path would leave (ENOENT then, nothing made). The
// descriptor, or -1 with errno of the step that failed and nothing left
// open; EACCES from a refusal has its reason in fd_open_last_refusal().
// at (may be NULL) gets the file's place, its directory open for the
// caller to close (-1 for a file reached through a link of /proc, as
// /dev/stdout).
int fd_open_log(const char *path, int flags, mode_t mode, bool mkparent, fd_log_place *at);

// Makes the directory path and its missing parents as fd_open_log makes
// them. 0, or -1 with errno (a refusal: EACCES, reason in
// fd_open_last_refusal()).
int fd_make_dirs(const char *path);

// Why this thread's last fd_open_log or fd_make_dirs was refused, in words
// ("the directory /srv/l is owned by uid 1000"); NULL when it was not.
const char *fd_open_last_refusal(void);

// Walks path as fd_open_log would and gives why it would refuse it now,
// into buf; NULL when it would not. Looks only: makes nothing.
const char *fd_path_refusal(const char *path, char *buf, size_t size);
