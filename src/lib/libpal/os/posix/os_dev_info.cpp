#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_dev_info"
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/hdreg.h>
#include <mntent.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_file3.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_info.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_env.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

namespace {

char g_root[PATH_BUF_SIZE];  // prefix of the /proc, /sys and /etc paths

// The system path under the configured root ("" when it does not fit, so
// that nothing is opened).
const char *rooted(const char *path, char (&out)[PATH_BUF_SIZE])
{
    size_t a = strnlen(g_root, sizeof out), b = strlen(path);
    if (a + b >= sizeof out) return "";
    memcpy(out, g_root, a);
    memcpy(out + a, path, b + 1);
    return out;
}

// Whole text of a small system file under the root; NULL when it cannot
// be read.
char *read_text(const char *path)
{
    char p[PATH_BUF_SIZE];
    return os_cat(rooted(path, p));
}

bool is_device(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode));
}

// Trimmed copy of n bytes of a fixed-width field.
void field(const unsigned char *src, size_t n, char *out)
{
    memcpy(out, src, n);
    out[n] = 0;
    str_trim(out);
}

// 1. The ATA identity of the disk.
bool model_identity(int fd, char *buf, size_t size)
{
    unsigned char id[512] = {};
    int r = ioctl(fd, HDIO_GET_IDENTITY, id);
    int e = errno;
    LOG_VERB("HDIO_GET_IDENTITY ret=%d [%s]\n", r, r == 0 ? "ok" : os_errno_text(e));
    if (r != 0) return false;
    char model[41], serial[21];
    field(id + 54, 40, model);
    field(id + 20, 20, serial);
    if (!str_check_chars(serial, 3)) serial[0] = 0;  // letters and digits only
    if (serial[0]) snprintf(buf, size, "%s|%s", model, serial);
    else snprintf(buf, size, "%s", model);
    LOG_VERB("tmp1=%s\n", buf);
    return buf[0] != 0;
}

// 2. A SCSI INQUIRY: vendor and product.
bool model_scsi(int fd, char *buf, size_t size)
{
    int ver = 0;
    int r = ioctl(fd, SG_GET_VERSION_NUM, &ver);
    int e = errno;
    LOG_VERB("SG_GET_VERSION_NUM ret=%d [%s]\n", r, r == 0 ? "ok" : os_errno_text(e));
    if (r != 0 || ver < 30000) return false;
    unsigned char cmd[6] = {0x12, 0, 0, 0, 96, 0};
    unsigned char data[96] = {}, sense[32] = {};
    sg_io_hdr_t io = {};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.cmd_len = sizeof cmd;
    io.cmdp = cmd;
    io.dxfer_len = sizeof data;
    io.dxferp = data;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = 20000;
    if (ioctl(fd, SG_IO, &io) != 0 || (io.info & SG_INFO_OK_MASK) != SG_INFO_OK) return false;
    char vendor[9], product[17], rev[5];
    field(data + 8, 8, vendor);
    field(data + 16, 16, product);
    field(data + 32, 4, rev);
    LOG_VERB("1: %s\n", vendor);
    LOG_VERB("2: %s\n", product);
    LOG_VERB("3: %s\n", rev);
    snprintf(buf, size, "%s-%s", vendor, product);
    return buf[0] != 0;
}

// 3. The block device's sysfs attributes.
bool model_sysfs(const char *path, char *buf, size_t size)
{
    LOG_VERB("read_device_sysfs_file ==>\n");
    char *vendor = os_dev_get_sys_attr(path, "vendor");
    char *model = os_dev_get_sys_attr(path, "model");
    char *rev = os_dev_get_sys_attr(path, "rev");
    bool found = model && *model;
    if (found) str_safecopy_trunc(buf, size, model);
    os_free(vendor);
    os_free(model);
    os_free(rev);
    return found;
}

// 4. The partition name in the MTD table.
bool model_mtd(const char *path, char *buf, size_t size)
{
    LOG_VERB("/proc/mtd ==>\n");
    const char *m = strstr(path, "mtdblock");
    if (!m) return false;
    char name[64];
    snprintf(name, sizeof name, "mtd%s:", m + strlen("mtdblock"));
    LOG_VERB("/dev/mtd dev_name=[%s]\n", name);
    char *text = read_text("/proc/mtd");
    if (!text) {
        LOG_VERB("open /proc/mtd failed\n");
        return false;
    }
    char *col = str_lines_find_col(text, " \t", name, 0, 3);
    os_free(text);
    if (!col) return false;
    str_delchar(col, '"');
    bool found = col[0] != 0;
    if (found) str_safecopy_trunc(buf, size, col);
    os_free(col);
    return found;
}

// 5. The partition name in the kernel command line's mtdparts.
bool model_cmdline(const char *path, char *buf, size_t size)
{
    LOG_VERB("/proc/cmdline ==>\n");
    const char *p = strstr(path, "/mmcblk1p");
    if (p) p += strlen("/mmcblk1p");
    else if ((p = strstr(path, "/bml"))) p += strlen("/bml");
    else return false;
    long num = strtol(p, nullptr, 10);
    int idx = num > 0 && num <= INT_MAX ? (int)(num - 1) : -1;
    LOG_VERB("/proc/cmdline idx=[%d]\n", idx);
    if (idx < 0) return false;
    char *text = read_text("/proc/cmdline");
    if (!text) {
        LOG_VERB("open /proc/cmdline failed\n");
        return false;
    }
    LOG_VERB("/proc/cmdline 1==>\n");
    bool found = false;
    if (char *parts = strstr(text, "mtdparts=")) {
        parts += strlen("mtdparts=");
        parts[strcspn(parts, " \t\r\n")] = 0;
        char *item = str_tok_n(parts, ",", idx);
        char *open = item ? strchr(item, '(') : nullptr;
        char *close = open ? strchr(open + 1, ')') : nullptr;
        if (close && close > open + 1) {
            *close = 0;
            str_safecopy_trunc(buf, size, open + 1);
            found = true;
        }
    }
    os_free(text);
    return found;
}

}  // namespace

void os_dev_info_set_root(const char *prefix)
{
    str_safecopy_trunc(g_root, sizeof g_root, prefix ? prefix : "");
}

char *os_dev_get_sys_attr(const char *dev_path, const char *attr)
{
    if (!dev_path || !attr) return nullptr;
    const char *name = path_basename(dev_path);
    char sys[PATH_BUF_SIZE], p[PATH_BUF_SIZE];
    int n = snprintf(sys, sizeof sys, "/sys/block/%s/device/%s", name, attr);
    if (n < 0 || (size_t)n >= sizeof sys) return nullptr;
    FILE *f = os_fopen(rooted(sys, p), "r");
    if (!f) return nullptr;
    char line[256];
    char *got = fgets(line, sizeof line, f);
    fclose(f);
    if (!got) return nullptr;
    return os_strdup(str_trim(line));
}

int os_dev_get_model(int fd, char *buf, size_t size, const char *dev_path)
{
    if (!buf || size == 0) return 0;
    const char *p = dev_path ? dev_path : "";
    if (!strcmp(p, "/dev/mem") || !strcmp(p, "/dev/pmem") || !strcmp(p, "/dev/ram")) {
        str_safecopy_trunc(buf, size, "PhysicalMemory");
        return 0;
    }
    return os_dev_get_model_imp(fd, buf, size, p);
}

int os_dev_get_model_imp(int fd, char *buf, size_t size, const char *dev_path)
{
    if (!buf || size == 0) return 0;
    const char *p = dev_path ? dev_path : "";
    LOG_VERB("fd=%d name=%s\n", fd, p);
    // A regular file, a pipe or a socket is no disk, whatever its name.
    if (!is_device(fd)) return 0;
    char tmp[512] = "";
    size_t n = size < sizeof tmp ? size : sizeof tmp;
    if (model_identity(fd, tmp, n) || model_scsi(fd, tmp, n) || model_sysfs(p, tmp, n) ||
        model_mtd(p, tmp, n) || model_cmdline(p, tmp, n))
        str_safecopy_trunc(buf, size, tmp);
    return 0;
}

int os_dev_get_mount(const char *dev_path, const char *key, char *buf, size_t size)
{
    if (!dev_path || !key || !buf || size == 0) return -1;
    char p[PATH_BUF_SIZE];
    FILE *mt = setmntent(rooted("/etc/mtab", p), "r");
    if (!mt) mt = setmntent(rooted("/proc/mounts", p), "r");
    if (!mt) {
        LOG_ERR("setmntent failed\n");
        return -1;
    }
    int res = -1;
    struct mntent ent;
    char line[4096];
    while (getmntent_r(mt, &ent, line, sizeof line)) {
        if (strcmp(ent.mnt_fsname, dev_path) != 0) continue;
        const char *v = !strcmp(key, "mnt_dir") ? ent.mnt_dir : !strcmp(key, "mnt_type") ? ent.mnt_type : nullptr;
        if (v) {
            str_safecopy_trunc(buf, size, v);
            res = 0;
        }
        break;
    }
    endmntent(mt);
    return res;
}
