#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_info"
#include "libpal/os/posix/os_info.h"

#include <cstdio>
#include <cstring>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_popen.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

namespace {
constexpr u32 kDiskMask = 0x8E;
constexpr size_t kLineVal = 512;
}  // namespace

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

int get_popen_val(const char *command, const char *key, char *out, size_t size)
{
    if (!out || size == 0) return -1;
    out[0] = 0;
    if (!command || !key) return -1;
    os_popen_child *c = os_popen(command, "r");
    if (!c) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_popen error: ");
        return -1;
    }
    char *text = os_popen_read(c);
    os_pclose(c);
    if (!text) return -1;
    int found = -1;
    char val[kLineVal];
    char *save = nullptr;
    // Line by line: the output may be longer than one lookup takes.
    for (char *line = strtok_r(text, "\n", &save); line && found < 0;
         line = strtok_r(nullptr, "\n", &save)) {
        if (str_get_kv_val(line, "\n", ':', key, val, sizeof val) != 0) continue;
        const char *eq = strchr(val, '=');
        if (!eq) continue;
        char v[kLineVal];
        str_safecopy_trunc(v, sizeof v, eq + 1);
        str_safecopy_trunc(out, size, str_trim_quote(v));
        found = 0;
    }
    os_free(text);
    return found;
}

int os_disk_info(const char *path, os_disk_info_rec *rec)
{
    if (!path || !rec) return -1;
    char p[PATH_BUF_SIZE];
    if (!os_path_norm(path, p)) return -1;
    struct statfs st;
    if (statfs(p, &st) != 0) return -1;
    rec->avail = (u64)st.f_bavail * (u64)st.f_bsize;
    rec->free = (u64)st.f_bfree * (u64)st.f_bsize;
    rec->total = (u64)st.f_blocks * (u64)st.f_bsize;
    rec->name_max = st.f_namelen ? (u32)st.f_namelen : 255;
    str_safecopy_trunc(rec->fs_type, sizeof rec->fs_type, os_fs_type((u64)(unsigned long)st.f_type));
    rec->mask |= kDiskMask;
    rec->label[0] = 0;
    get_popen_val("blkid -s LABEL", p, rec->label, sizeof rec->label);
    return 0;
}

int os_statfs(const char *path, u64 values[OS_STATFS_COUNT])
{
    if (!path || !values) return -1;
    char p[PATH_BUF_SIZE];
    if (!os_path_norm(path, p)) return -1;
    struct statvfs st;
    int r = statvfs(p, &st);
    if (r < 0) return r;
    const u64 v[OS_STATFS_COUNT] = {st.f_bsize, st.f_frsize, st.f_blocks, st.f_bfree,
                                    st.f_bavail, st.f_files, st.f_ffree, st.f_favail,
                                    st.f_fsid,  st.f_flag,   st.f_namemax};
    memcpy(values, v, sizeof v);
    return 0;
}
