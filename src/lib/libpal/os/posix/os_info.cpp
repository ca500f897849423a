#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_info"
#include "libpal/os/posix/os_info.h"

#include <cstdio>
#include <sys/utsname.h>

#include "liblog/log.h"

int os_get_info(char *buf, size_t size)
{
    struct utsname u;
    if (uname(&u) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "uname error: ");
        return -1;
    }
    snprintf(buf, size, "%s %s %s %s %s %s", u.sysname, u.nodename, u.release, u.version,
             u.machine, "");
    return 0;
}
