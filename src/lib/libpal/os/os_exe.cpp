#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_exe"
#include "libpal/os/os_exe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_file3.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

int os_exe_get_name_imp(const char *exe_link, const char *cmdline, char *buf, size_t size)
{
    if (!buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    if (os_readlink(exe_link, buf, size) >= 0) return 0;
    LOG_AT(3 | LOG_OPT_ERRNO, "readlink /proc/self/exe error: ");
    buf[0] = 0;
    // The program as started: the first item of the command line.
    char *cmd = os_cat(cmdline);
    if (!cmd) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_cat /proc/self/cmdline error: ");
        return -1;
    }
    int ret = -1;
    if (cmd[0] == '/') {
        size_t n = strlen(cmd);
        if (n < size) {
            memcpy(buf, cmd, n + 1);
            ret = 0;
        } else {
            errno = ENAMETOOLONG;
        }
    } else {
        char cwd[PATH_BUF_SIZE];
        if (!getcwd(cwd, sizeof cwd)) {
            LOG_AT(3 | LOG_OPT_ERRNO, "getcwd error:");
        } else {
            char *joined = os_asprintf("%s/%s", cwd, cmd);
            char real[PATH_BUF_SIZE];
            char *slash = joined ? strrchr(joined, '/') : nullptr;
            if (slash) *slash = 0;
            if (!slash || !realpath(joined, real)) {
                LOG_AT(3 | LOG_OPT_ERRNO, "realpath [%s] error:", joined ? joined : cmd);
            } else if ((size_t)snprintf(buf, size, "%s/%s", real, slash + 1) >= size) {
                errno = ENAMETOOLONG;
                buf[0] = 0;
            } else {
                ret = 0;
            }
            os_free(joined);
        }
    }
    if (ret != 0) buf[0] = 0;
    os_free(cmd);
    return ret;
}

int os_exe_get_name(char *buf, size_t size)
{
    return os_exe_get_name_imp("/proc/self/exe", "/proc/self/cmdline", buf, size);
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
