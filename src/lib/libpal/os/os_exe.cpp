#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_exe"
#include "libpal/os/os_exe.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"

int os_exe_get_name(char *buf, size_t size)
{
    if (!buf || size == 0) return -1;
    ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    if (n >= 0) {
        buf[n] = 0;
        return 0;
    }
    LOG_AT(3 | LOG_OPT_ERRNO, "readlink /proc/self/exe error: ");
    char cmd[4096];
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    ssize_t m = fd >= 0 ? read(fd, cmd, sizeof cmd - 1) : -1;
    if (fd >= 0) close(fd);
    if (m <= 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_cat /proc/self/cmdline error: ");
        return -1;
    }
    cmd[m] = 0;
    if (cmd[0] == '/') return str_safecopy(buf, size, cmd) == 0 ? 0 : -1;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "getcwd error:");
        return -1;
    }
    char joined[8192];
    snprintf(joined, sizeof joined, "%s/%s", cwd, cmd);
    char *slash = strrchr(joined, '/');
    *slash = 0;
    char real[PATH_MAX];
    if (!realpath(joined, real)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "realpath [%s] error:", joined);
        return -1;
    }
    snprintf(buf, size, "%s/%s", real, slash + 1);
    return 0;
}

int os_exe_get_dir(char *buf, size_t size)
{
    if (os_exe_get_name(buf, size) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_exe_get_name error:");
        return -1;
    }
    char *a = strrchr(buf, '/'), *b = strrchr(buf, '\\');
    char *cut = a > b ? a : b;
    if (cut) *cut = 0;
    return 0;
}

char *os_cmdline_copy(int argc, char **argv, char *buf, size_t size)
{
    if (!buf || size == 0) return buf;
    char line[4096];
    line[0] = 0;
    if (argv) str_args_join(argc, argv, line, sizeof line);
    str_safecopy_trunc(buf, size, line);
    return buf;
}
