// Device model lookup from the MTD table and the kernel command line, with
// both files and the device path taken from the input (fixture files under
// a private root).
#include "fuzz_common.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/os/posix/os_info.h"

namespace {

// Memory-backed when there is /dev/shm: both files are rewritten for every
// input, which on a disk file system costs a truncation and a flush each.
char g_shm[] = "/dev/shm/vk_fuzz_dev_XXXXXX", g_tmp[] = "/tmp/vk_fuzz_dev_XXXXXX";
const char *g_root = nullptr;

void remove_root()
{
    std::string d = g_root;
    unlink((d + "/proc/mtd").c_str());
    unlink((d + "/proc/cmdline").c_str());
    rmdir((d + "/proc").c_str());
    rmdir(d.c_str());
}

const std::string &root()
{
    static const std::string r = [] {
        g_root = mkdtemp(g_shm);
        if (!g_root) g_root = mkdtemp(g_tmp);
        FUZZ_ASSERT(g_root);
        std::string d = g_root;
        mkdir((d + "/proc").c_str(), 0755);
        os_dev_info_set_root(d.c_str());
        atexit(remove_root);
        return d;
    }();
    return r;
}

void put(const std::string &rel, const char *text, size_t n)
{
    FILE *f = fopen((root() + rel).c_str(), "w");
    if (!f) return;
    fwrite(text, 1, n, f);
    fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    static int dev = open("/dev/null", O_RDONLY | O_CLOEXEC);
    size_t room = data[0] % 64 + 1;
    fuzz_parts in(data + 1, size - 1, 3);
    put("/proc/mtd", in[0], in.len(0));
    put("/proc/cmdline", in[1], in.len(1));
    static const char *const kinds[] = {"/dev/mtdblock", "/dev/mmcblk1p", "/dev/bml"};
    std::string path = std::string(kinds[(data[0] >> 6) % 3]) + in[2];
    std::vector<char> buf(room, 0);
    FUZZ_ASSERT(os_dev_get_model(dev, buf.data(), room, path.c_str()) == 0);
    FUZZ_ASSERT(memchr(buf.data(), 0, room));
    return 0;
}
