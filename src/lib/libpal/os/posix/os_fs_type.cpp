#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_fs_type"
#include <linux/magic.h>

#include "liblog/log.h"
#include "libpal/os/posix/os_info.h"

namespace {

// Magic numbers that are no longer in the kernel's exported headers.
constexpr u64 kBalloonKvmMagic = 0x13661366;
constexpr u64 kZsmallocMagic = 0x58295829;

struct fs_name {
    u64 magic;
    const char *name;
};

constexpr fs_name kFsNames[] = {
    {AAFS_MAGIC, "AAFS"},
    {ADFS_SUPER_MAGIC, "ADFS"},
    {AFFS_SUPER_MAGIC, "AFFS"},
    {AFS_SUPER_MAGIC, "AFS"},
    {AFS_FS_MAGIC, "AFS"},
    {ANON_INODE_FS_MAGIC, "ANON"},
    {AUTOFS_SUPER_MAGIC, "AUTOFS"},
    {kBalloonKvmMagic, "BALLOON"},
    {BDEVFS_MAGIC, "BDEVFS"},
    {BINFMTFS_MAGIC, "BINFMTFS"},
    {BPF_FS_MAGIC, "BPF"},
    {BTRFS_SUPER_MAGIC, "BTRFS"},
    {BTRFS_TEST_MAGIC, "BTRFS"},
    {CGROUP_SUPER_MAGIC, "CGROUP"},
    {CGROUP2_SUPER_MAGIC, "CGROUP2"},
    {CODA_SUPER_MAGIC, "CODA"},
    {CRAMFS_MAGIC, "CRAMFS"},
    {CRAMFS_MAGIC_WEND, "CRAMFS"},
    {DAXFS_MAGIC, "DAXFS"},
    {DEBUGFS_MAGIC, "DEBUGFS"},
    {DEVPTS_SUPER_MAGIC, "DEVPTS"},
    {ECRYPTFS_SUPER_MAGIC, "ECRYPTFS"},
    {EFIVARFS_MAGIC, "EFIVARFS"},
    {EFS_SUPER_MAGIC, "EFS"},
    {EXT4_SUPER_MAGIC, "EXT4"},  // ext2 and ext3 share it
    {F2FS_SUPER_MAGIC, "F2FS"},
    {FUTEXFS_SUPER_MAGIC, "FUTEXFS"},
    {HOSTFS_SUPER_MAGIC, "HOSTFS"},
    {HPFS_SUPER_MAGIC, "HPFS"},
    {HUGETLBFS_MAGIC, "HUGETLBFS"},
    {ISOFS_SUPER_MAGIC, "ISOFS"},
    {JFFS2_SUPER_MAGIC, "JFFS2"},
    {MINIX_SUPER_MAGIC, "MINIX"},
    {MINIX_SUPER_MAGIC2, "MINIX"},
    {MINIX2_SUPER_MAGIC, "MINIX2"},
    {MINIX2_SUPER_MAGIC2, "MINIX2"},
    {MINIX3_SUPER_MAGIC, "MINIX3"},
    {MSDOS_SUPER_MAGIC, "MSDOS"},
    {MTD_INODE_FS_MAGIC, "MTD"},
    {NCP_SUPER_MAGIC, "NCP"},
    {NFS_SUPER_MAGIC, "NFS"},
    {NILFS_SUPER_MAGIC, "NILFS"},
    {NSFS_MAGIC, "NSFS"},
    {OCFS2_SUPER_MAGIC, "OCFS2"},
    {OPENPROM_SUPER_MAGIC, "OPENPROM"},
    {OVERLAYFS_SUPER_MAGIC, "OVERLAYFS"},
    {PIPEFS_MAGIC, "PIPEFS"},
    {PROC_SUPER_MAGIC, "PROC"},
    {PSTOREFS_MAGIC, "PSTOREFS"},
    {QNX4_SUPER_MAGIC, "QNX4"},
    {QNX6_SUPER_MAGIC, "QNX6"},
    {RAMFS_MAGIC, "RAMFS"},
    {RDTGROUP_SUPER_MAGIC, "RDTGROUP"},
    {REISERFS_SUPER_MAGIC, "REISERFS"},
    {SECURITYFS_MAGIC, "SECURITYFS"},
    {SELINUX_MAGIC, "SELINUX"},
    {SMACK_MAGIC, "SMACK"},
    {SMB_SUPER_MAGIC, "SMB"},
    {SOCKFS_MAGIC, "SOCKFS"},
    {SQUASHFS_MAGIC, "SQUASHFS"},
    {STACK_END_MAGIC, "STACK"},
    {SYSFS_MAGIC, "SYSFS"},
    {TMPFS_MAGIC, "TMPFS"},
    {TRACEFS_MAGIC, "TRACEFS"},
    {UDF_SUPER_MAGIC, "UDF"},
    {USBDEVICE_SUPER_MAGIC, "USBDEVICE"},
    {V9FS_MAGIC, "V9FS"},
    {FUSE_SUPER_MAGIC, "VMHGFS-FUSE"},
    {XENFS_SUPER_MAGIC, "XENFS"},
    {kZsmallocMagic, "ZSMALLOC"},
};

}  // namespace

const char *os_fs_type(u64 magic)
{
    for (const fs_name &f : kFsNames)
        if (f.magic == magic) return f.name;
    LOG_VERB("unkown fs_type=0x%x\n", (unsigned)magic);
    return "UNKOWN";
}
