#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "common/log_capture.h"
#include "common/tmp_dir.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_info.h"

namespace {

// A fixture tree standing in for /proc, /sys and /etc.
struct fixture_root {
    testutil::tmp_dir dir{"vk_devinfo"};
    const std::string &path = dir.path;
    fixture_root() { os_dev_info_set_root(path.c_str()); }
    ~fixture_root() { os_dev_info_set_root(nullptr); }
    void put(const std::string &rel, const std::string &text) const
    {
        std::string full = path + rel;
        os_mkdir_parent(full.c_str());
        FILE *f = fopen(full.c_str(), "w");
        ASSERT_NE(f, nullptr) << full;
        fputs(text.c_str(), f);
        fclose(f);
    }
};

// A character device for the queries to run against: its ioctls fail, so
// the file-based steps are the ones that answer.
struct char_dev {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ~char_dev() { close(fd); }
};

std::string model(int fd, const char *path)
{
    char buf[128] = "";
    EXPECT_EQ(os_dev_get_model(fd, buf, sizeof buf, path), 0);
    return buf;
}

TEST(OsInfo, SystemDescriptionEndsWithABlank)
{
    char buf[512];
    ASSERT_EQ(os_get_info(buf, sizeof buf), 0);
    EXPECT_EQ(strncmp(buf, "Linux ", 6), 0) << buf;
    EXPECT_EQ(buf[strlen(buf) - 1], ' ');
}

TEST(OsInfo, FileSystemTypeNames)
{
    EXPECT_STREQ(os_fs_type(0xEF53), "EXT4");
    EXPECT_STREQ(os_fs_type(0x9123683E), "BTRFS");
    EXPECT_STREQ(os_fs_type(0x73727279), "BTRFS");
    EXPECT_STREQ(os_fs_type(0x137F), "MINIX");
    EXPECT_STREQ(os_fs_type(0x138F), "MINIX");
    EXPECT_STREQ(os_fs_type(0x65735546), "VMHGFS-FUSE");
    EXPECT_STREQ(os_fs_type(0x01021994), "TMPFS");
    EXPECT_STREQ(os_fs_type(0x9FA1), "OPENPROM");
    EXPECT_STREQ(os_fs_type(0x517B), "SMB");
    EXPECT_STREQ(os_fs_type(0x9FA0), "PROC");
    testutil::log_capture cap;
    EXPECT_STREQ(os_fs_type(0x12345), "UNKOWN");
    EXPECT_TRUE(cap.has("unkown fs_type=0x12345\n")) << cap.get();
}

TEST(OsInfo, DiskInfoAndStatistics)
{
    os_disk_info_rec rec;
    memset(&rec, 0, sizeof rec);
    strcpy(rec.label, "stale");
    ASSERT_EQ(os_disk_info("/tmp", &rec), 0);
    EXPECT_EQ(rec.mask, 0x8Eu);
    struct statfs sf;
    ASSERT_EQ(statfs("/tmp", &sf), 0);
    EXPECT_EQ(rec.total, (u64)sf.f_blocks * (u64)sf.f_bsize);
    EXPECT_STREQ(rec.fs_type, os_fs_type((u64)(unsigned long)sf.f_type));
    EXPECT_GT(rec.name_max, 0u);
    EXPECT_STREQ(rec.label, "") << "no blkid line for a directory";
    EXPECT_EQ(os_disk_info("/no/such/dir", &rec), -1);
    EXPECT_EQ(os_disk_info(std::string(5000, 'a').c_str(), &rec), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    u64 v[OS_STATFS_COUNT];
    ASSERT_EQ(os_statfs("//tmp", v), 0) << "the path is normalised";
    struct statvfs sv;
    ASSERT_EQ(statvfs("/tmp", &sv), 0);
    EXPECT_EQ(v[OS_STATFS_BSIZE], sv.f_bsize);
    EXPECT_EQ(v[OS_STATFS_BLOCKS], sv.f_blocks);
    EXPECT_EQ(v[OS_STATFS_NAMEMAX], sv.f_namemax);
    EXPECT_LT(os_statfs("/no/such/dir", v), 0);
}

TEST(OsInfo, LabelFromCommandOutput)
{
    const char *cmd = "printf '/dev/sda1: LABEL=\"boot\"\\n/dev/sdb: LABEL=\"root fs\"\\n/dev/sdc: TYPE=x\\n'";
    char label[256] = "x";
    EXPECT_EQ(get_popen_val(cmd, "/dev/sdb", label, sizeof label), 0);
    EXPECT_STREQ(label, "root fs");
    EXPECT_EQ(get_popen_val(cmd, "/dev/sda1", label, sizeof label), 0);
    EXPECT_STREQ(label, "boot");
    EXPECT_EQ(get_popen_val(cmd, "/dev/sdz", label, sizeof label), -1);
    EXPECT_STREQ(label, "");
    char small[4];
    EXPECT_EQ(get_popen_val(cmd, "/dev/sdb", small, sizeof small), 0);
    EXPECT_STREQ(small, "roo") << "cut to the buffer";
}

TEST(OsDevInfo, PhysicalMemoryWithoutTouchingTheDescriptor)
{
    EXPECT_EQ(model(-1, "/dev/mem"), "PhysicalMemory");
    EXPECT_EQ(model(-1, "/dev/pmem"), "PhysicalMemory");
    EXPECT_EQ(model(-1, "/dev/ram"), "PhysicalMemory");
    EXPECT_EQ(model(-1, "/dev/ram0"), "") << "not a device descriptor";
}

TEST(OsDevInfo, ModelFromSysfsMtdAndCommandLine)
{
    fixture_root root;
    char_dev dev;
    ASSERT_GE(dev.fd, 0);
    root.put("/sys/block/sdq/device/model", "  Fixture Disk  \n second line\n");
    root.put("/sys/block/sdq/device/vendor", "ACME\n");
    EXPECT_EQ(model(dev.fd, "/dev/sdq"), "Fixture Disk");
    char *attr = os_dev_get_sys_attr("/dev/sdq", "vendor");
    ASSERT_NE(attr, nullptr);
    EXPECT_STREQ(attr, "ACME");
    os_free(attr);
    EXPECT_EQ(os_dev_get_sys_attr("/dev/sdq", "rev"), nullptr);

    root.put("/proc/mtd",
             "dev:    size   erasesize  name\nmtd0: 00040000 00020000 \"u-boot\"\n"
             "mtd3: 00400000 00020000 \"rootfs\"\n");
    EXPECT_EQ(model(dev.fd, "/dev/mtdblock3"), "rootfs");
    EXPECT_EQ(model(dev.fd, "/dev/mtdblock7"), "");

    root.put("/proc/cmdline", "console=ttyS0 mtdparts=x:1m(boot),2m(root) quiet\n");
    EXPECT_EQ(model(dev.fd, "/dev/mmcblk1p2"), "root");
    EXPECT_EQ(model(dev.fd, "/dev/mmcblk1p1"), "boot");
    EXPECT_EQ(model(dev.fd, "/dev/mmcblk1p3"), "") << "no such item";
    EXPECT_EQ(model(dev.fd, "/dev/mmcblk1p0"), "") << "index -1";
    EXPECT_EQ(model(dev.fd, "/dev/mmcblk1p99999999999999999999"), "") << "huge index";
    EXPECT_EQ(model(dev.fd, "/dev/bml2"), "root");

    char small[5] = "";
    os_dev_get_model(dev.fd, small, sizeof small, "/dev/sdq");
    EXPECT_STREQ(small, "Fixt");
}

// A regular file named like a disk is no disk: nothing is looked up for it.
TEST(OsDevInfo, NoModelQueryForRegularFiles)
{
    fixture_root root;
    root.put("/sys/block/sdq/device/model", "Real Disk\n");
    root.put("/proc/mtd", "mtd3: 00400000 00020000 \"rootfs\"\n");
    std::string file = root.path + "/sdq";
    root.put("/sdq", "data");
    int fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(model(fd, "/dev/sdq"), "");
    EXPECT_EQ(model(fd, "/dev/mtdblock3"), "");
    close(fd);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(model(p[0], "/dev/sdq"), "");
    close(p[0]);
    close(p[1]);
}

TEST(OsDevInfo, MountEntry)
{
    fixture_root root;
    root.put("/etc/mtab", "/dev/sdz1 /mnt/data ext4 rw 0 0\n/dev/sdz2 /mnt/b vfat ro 0 0\n");
    char buf[64];
    ASSERT_EQ(os_dev_get_mount("/dev/sdz1", "mnt_dir", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/mnt/data");
    ASSERT_EQ(os_dev_get_mount("/dev/sdz2", "mnt_type", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "vfat");
    EXPECT_EQ(os_dev_get_mount("/dev/sdz1", "mnt_opts", buf, sizeof buf), -1);
    EXPECT_EQ(os_dev_get_mount("/dev/sdy", "mnt_dir", buf, sizeof buf), -1);
    char small[4];
    ASSERT_EQ(os_dev_get_mount("/dev/sdz1", "mnt_dir", small, sizeof small), 0);
    EXPECT_STREQ(small, "/mn");

    fixture_root empty;
    testutil::log_capture cap;
    EXPECT_EQ(os_dev_get_mount("/dev/sdz1", "mnt_dir", buf, sizeof buf), -1);
    EXPECT_TRUE(cap.has("setmntent failed\n"));
}

}  // namespace
