#pragma once
// Directory iteration with an optional wildcard pattern.
#include "libpal/os/os_path.h"

// The current entry of an iterator, overwritten by each read. A symbolic
// link's kind follows its target (when it has one) plus OS_FILE_KIND_LINK;
// the other status fields are the entry's own.
struct os_dir_entry {
    os_file_stat_rec st;
    char name[512];
    char link[4096];
};

struct os_dir {
    void *stream;     // DIR
    int fd;           // the directory, opened read-only
    char *pattern;    // wildcard, or NULL
    os_dir_entry entry;
    char *path;       // normalised directory path
    u64 pos;          // entries read so far, matching or not
};

os_dir *os_dir_open(const char *path);
// Entries whose names do not match pattern (case-sensitive wildcard) are
// skipped; "." and ".." come back like any other entry.
os_dir *os_dir_open_pattern(const char *path, const char *pattern);
// The next entry, or NULL at the end (errno set on a read error).
os_dir_entry *os_dir_read(os_dir *dir);
// Moves to the given count of entries read; 0, or -1.
int os_dir_seek(os_dir *dir, u64 pos);
int os_dir_close(os_dir *dir);
