#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_mac"
#include "libpal/os/os_mac.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/memory/mem_util.h"
#include "libpal/string/conv_num.h"

u64 os_mac_to_u64(const u8 *bytes, int n)
{
    if (n < 6 || n > 8) return 0;
    u64 v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | bytes[i];
    return v;
}

arr64 *os_mac_get_all(void)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return nullptr;
    struct ifreq reqs[16];
    struct ifconf ifc;
    ifc.ifc_len = sizeof reqs;
    ifc.ifc_req = reqs;
    if (ioctl(s, SIOCGIFCONF, &ifc) != 0) {
        LOG_AT(8 | LOG_OPT_ERRNO, "ioctl: SIOCGIFCONF error: ");
        close(s);
        return nullptr;
    }
    int n = ifc.ifc_len / (int)sizeof(struct ifreq);
    if (n == 0) {
        close(s);
        return nullptr;
    }
    LOG_VERB("interface num is intrface=%d\n", n);
    arr64 *a = arr64_new(8);
    if (!a) {
        close(s);
        return nullptr;
    }
    for (int i = n - 1; i >= 0; --i) {
        struct ifreq r = reqs[i];
        LOG_VERB("net device %s\n", r.ifr_name);
        if (ioctl(s, SIOCGIFFLAGS, &r) != 0) {
            LOG_AT(8 | LOG_OPT_ERRNO, "ioctl %s SIOCGIFFLAGS error: ", r.ifr_name);
            continue;
        }
        if (!(r.ifr_flags & IFF_UP)) {
            LOG_VERB("interface status is DOWN\n");
            continue;
        }
        LOG_VERB("interface status is UP\n");
        if (ioctl(s, SIOCGIFADDR, &r) != 0) {
            LOG_AT(8 | LOG_OPT_ERRNO, "ioctl %s SIOCGIFADDR error: ", r.ifr_name);
            continue;
        }
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &((struct sockaddr_in *)&r.ifr_addr)->sin_addr, ip, sizeof ip);
        LOG_VERB("ip=%s\n", ip);
        if (ioctl(s, SIOCGIFHWADDR, &r) != 0) {
            LOG_AT(8 | LOG_OPT_ERRNO, "ioctl %s SIOCGIFHWADDR error: ", r.ifr_name);
            continue;
        }
        const u8 *hw = (const u8 *)r.ifr_hwaddr.sa_data;
        LOG_VERB("%02x:%02x:%02x:%02x:%02x:%02x\n", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
        u64 v = os_mac_to_u64(hw, 6);
        if (v > 0xFFFFFF) arr64_push(a, v);
    }
    close(s);
    return a;
}

u64 os_mem_phys_size(void)
{
    long pages = sysconf(_SC_PHYS_PAGES), ps = sysconf(_SC_PAGESIZE);
    return pages > 0 && ps > 0 ? (u64)pages * (u64)ps : 0;
}

const char *os_mem_info_str(void)
{
    thread_local char text[128];
    char size[64];
    str_size_human_imp(mem_phys_size(), 0, size, sizeof size);
    snprintf(text, sizeof text, "%s PS=%u", size, (unsigned)mem_page_size());
    return text;
}

const char *os_getenv(const char *name) { return getenv(name); }
int os_setenv(const char *name, const char *value, int overwrite)
{
    return setenv(name, value, overwrite);
}
int os_unsetenv(const char *name) { return unsetenv(name); }
