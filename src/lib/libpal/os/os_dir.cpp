#include "libpal/os/os_dir.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/env/malloc.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

static DIR *stream_of(os_dir *d)
{
    return (DIR *)d->stream;
}

os_dir *os_dir_open(const char *path)
{
    return os_dir_open_pattern(path, nullptr);
}

os_dir *os_dir_open_pattern(const char *path, const char *pattern)
{
    char buf[PATH_BUF_SIZE];
    const char *p = os_path_norm(path, buf);
    if (!p) return nullptr;
    DIR *stream = opendir(p);
    if (!stream) return nullptr;
    int fd = open(p, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        closedir(stream);
        errno = e;
        return nullptr;
    }
    os_dir *d = (os_dir *)os_zalloc(sizeof(os_dir));
    char *path_copy = os_strdup(p);
    char *pat_copy = pattern ? os_strdup(pattern) : nullptr;
    if (!d || !path_copy || (pattern && !pat_copy)) {
        os_free(d);
        os_free(path_copy);
        os_free(pat_copy);
        closedir(stream);
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    d->stream = stream;
    d->fd = fd;
    d->pattern = pat_copy;
    d->path = path_copy;
    return d;
}

// Fills the entry for one name. Status calls go through the directory's
// descriptor, so no joined path is formed and a later chdir does not
// matter.
static void fill_entry(os_dir *d, const struct dirent *de)
{
    os_dir_entry *e = &d->entry;
    memset(e, 0, sizeof *e);
    str_safecopy_trunc(e->name, sizeof e->name, de->d_name);
    struct stat st;
    bool have_lstat = false;
    unsigned char type = de->d_type;
    if (type == DT_UNKNOWN) {
        // Some file systems do not report the type in the entry.
        have_lstat = fstatat(d->fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (have_lstat) type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    e->st.kind = type == DT_DIR ? OS_FILE_KIND_DIR : OS_FILE_KIND_FILE;
    if (type == DT_LNK) {
        ssize_t n = readlinkat(d->fd, de->d_name, e->link, sizeof e->link);
        // A target that fills the buffer may be cut: none is kept.
        e->link[n > 0 && (size_t)n < sizeof e->link ? n : 0] = 0;
        struct stat target;
        if (fstatat(d->fd, de->d_name, &target, 0) == 0)
            e->st.kind = S_ISDIR(target.st_mode) ? OS_FILE_KIND_DIR : OS_FILE_KIND_FILE;
        e->st.kind |= OS_FILE_KIND_LINK;
    }
    if (!have_lstat && fstatat(d->fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    u32 kind = e->st.kind;
    os_file_stat_from(&st, &e->st);
    e->st.kind = kind;
}

os_dir_entry *os_dir_read(os_dir *d)
{
    if (!d) {
        errno = EINVAL;
        return nullptr;
    }
    errno = 0;
    for (;;) {
        struct dirent *de = readdir(stream_of(d));
        if (!de) return nullptr;
        ++d->pos;
        if (d->pattern && !str_wildcard(de->d_name, d->pattern)) continue;
        fill_entry(d, de);
        return &d->entry;
    }
}

static void skip_entries(os_dir *d, u64 n)
{
    for (u64 i = 0; i < n && readdir(stream_of(d)); ++i) {
    }
}

int os_dir_seek(os_dir *d, u64 pos)
{
    if (!d) {
        errno = EINVAL;
        return -1;
    }
    errno = 0;
    if (pos == d->pos) return 0;
    if (pos > d->pos) {
        skip_entries(d, pos - d->pos);
        d->pos = pos;
        return 0;
    }
    // Back: a fresh stream on the same directory, read forward.
    int fd = openat(d->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *stream = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!stream) {
        if (fd >= 0) close(fd);
        return -1;
    }
    closedir(stream_of(d));
    d->stream = stream;
    skip_entries(d, pos);
    d->pos = pos;
    return 0;
}

int os_dir_close(os_dir *d)
{
    if (!d) {
        errno = EINVAL;
        return -1;
    }
    closedir(stream_of(d));
    close(d->fd);
    os_free(d->pattern);
    os_free(d->path);
    os_free(d);
    return 0;
}
