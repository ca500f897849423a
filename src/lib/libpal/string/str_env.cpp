#include "libpal/string/str_env.h"

#include <cstring>
#include <sys/sysinfo.h>
#include <unistd.h>

#include "libpal/env/os_time.h"
#include "libpal/libpal.h"

u64 os_hostid(void)
{
    return os_mac_id();
}

char *os_hostname(char *buf, size_t size)
{
    if (!buf || size == 0) return buf;
    if (gethostname(buf, size) != 0) buf[0] = 0;
    buf[size - 1] = 0;
    if (!buf[0] || strcmp(buf, "(none)") == 0) str_safecopy_trunc(buf, size, "none");
    return buf;
}

u64 os_boot_time(void)
{
    struct sysinfo si;
    if (sysinfo(&si) != 0) return 0;
    os_time now;
    os_time_now(&now);
    return (u64)(now.sec - si.uptime);
}
