#include "libpal/os/os_path.h"

#include <sys/stat.h>

int os_path_is_dir(const char *path)
{
    struct stat st;
    if (!path || stat(path, &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

mode_t os_umask(mode_t mask)
{
    return umask(mask);
}
