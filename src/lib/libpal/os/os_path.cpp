#include "libpal/os/os_path.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

namespace {

// Normalised copy of path in buf (4096 bytes); NULL when it does not fit.
const char *norm(const char *path, char *buf)
{
    if (!path || str_safecopy_trunc(buf, 4096, path) != 0) return nullptr;
    return path_normalize(buf);
}

}  // namespace

int os_path_is_dir(const char *path)
{
    char buf[4096];
    struct stat st;
    const char *p = norm(path, buf);
    if (!p || stat(p, &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

mode_t os_umask(mode_t mask)
{
    return umask(mask);
}

int os_access(const char *path, int mode)
{
    char buf[4096];
    const char *p = norm(path, buf);
    return p ? access(p, mode) : -1;
}

int os_chdir(const char *path)
{
    char buf[4096];
    const char *p = norm(path, buf);
    return p ? chdir(p) : -1;
}

FILE *os_fopen(const char *path, const char *mode)
{
    char buf[4096], m[16];
    const char *p = norm(path, buf);
    if (!p || !mode) return nullptr;
    // 'e': the descriptor is close-on-exec.
    str_safecopy_trunc(m, sizeof m - 1, mode);
    if (!strchr(m, 'e')) str_safecat_trunc(m, sizeof m, "e");
    if (m[0] != 'w' && m[0] != 'a') return fopen(p, m);
    // A file this opens may be created: with mode 0644, whatever the umask.
    int flags = O_CREAT | O_CLOEXEC | (strchr(m, '+') ? O_RDWR : O_WRONLY) |
                (m[0] == 'w' ? O_TRUNC : O_APPEND);
    int fd = open(p, flags, 0644);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, m);
    if (!f) close(fd);
    return f;
}

FILE *os_fsopen(const char *path, const char *mode, int)
{
    return os_fopen(path, mode);
}
