#pragma once
// Flag sets of the file layer and their conversions: init flags, an access
// and creation-disposition pair, the framework's open flags, open(2) flags
// and flag texts; and the path-prefix stripper used when files are opened.
#include "libpal/env/os_types.h"

// Init flags. Of the access bits the first set one wins.
enum : u32 {
    OS_FILE_READ = 1,
    OS_FILE_WRITE = 2,
    OS_FILE_RDWR = 4,
    OS_FILE_CREATE = 8,   // mode 0644
    OS_FILE_APPEND = 16,
    OS_FILE_TRUNC = 32,
    OS_FILE_DIRECT = 64,
    OS_FILE_POSIX = 128,  // set by the open-flag conversion; no effect on local files
    OS_FILE_VSS = 0x10000,  // no effect on local files
};

// Access word and dispositions of os_file_open2.
enum : u32 {
    OS_FILE_ACCESS_READ = 1u << 31,
    OS_FILE_ACCESS_WRITE = 1u << 30,
    OS_FILE_ACCESS_EXEC = 1u << 29,
};
enum : u32 {
    OS_FILE_CREATE_NEW = 1,
    OS_FILE_CREATE_ALWAYS = 2,
    OS_FILE_OPEN_EXISTING = 3,
    OS_FILE_OPEN_ALWAYS = 4,
    OS_FILE_TRUNCATE_EXISTING = 5,
};

// The framework's open flags (os_file_open3); the low two bits are the
// access: 0 read, 1 write, 2 read and write, 3 read.
enum : u32 {
    OS_O_RDONLY = 0,
    OS_O_WRONLY = 1,
    OS_O_RDWR = 2,
    OS_O_ACCMODE = 3,
    OS_O_CREAT = 4,
    OS_O_APPEND = 8,
    OS_O_TRUNC = 16,
    OS_O_DIRECT = 32,
    OS_O_EXCL = 64,
    OS_O_NOFOLLOW = 128,
    OS_O_NONBLOCK = 256,
    OS_O_SYNC = 512,
    OS_O_DIRECTORY = 2048,
    OS_O_CLOEXEC = 4096,
    OS_O_LARGEFILE = 0x80000,
};

u32 os_file_flag_from_access(u32 access, u32 disposition);
u32 os_file_flag_to_init(u32 flags);
int os_file_flag_to_os(u32 flags);
// Init flags from a text of words split at ',', '.' and '-' (any case):
// "rw", "readonly", "direct", "vss", "sync". The text is not changed.
u32 os_sflag2pf(const char *text);
// Drops a "file://" (and a following "?/") prefix; '\' becomes '/'.
char *os_path_strip_prefix(const char *path, char *out, size_t size);
char *os_path_to_native(const char *path, char *out, size_t size);
