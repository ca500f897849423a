// The database open path fed odd URLs. Every file it may create lies in a
// temporary directory: the input goes behind the directory's path with its
// slashes replaced, so it names a file inside, and the directory is emptied
// after every input.
#include "fuzz_common.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libvdb/libvdb.h"

namespace {

std::string g_dir;

void empty_dir()
{
    DIR *d = opendir(g_dir.c_str());
    if (!d) return;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            unlink((g_dir + "/" + e->d_name).c_str());
    closedir(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_dir.empty()) {
        // Memory-backed when there is /dev/shm: a file made and removed
        // for every input is slow on a disk file system.
        char shm[] = "/dev/shm/fuzz_vdb_XXXXXX", tmp[] = "/tmp/fuzz_vdb_XXXXXX";
        const char *d = mkdtemp(shm);
        if (!d) d = mkdtemp(tmp);
        FUZZ_ASSERT(d);
        g_dir = d;
        atexit([] { rmdir(g_dir.c_str()); });
    }
    if (size < 1) return 0;
    std::string text((const char *)data + 1, size - 1);
    text = text.substr(0, strnlen(text.c_str(), text.size()));
    for (char &c : text)
        if (c == '/' || c == '\\') c = '_';
    static const char *const forms[] = {"", "file://", "sqlite://h", "///"};
    std::string url = std::string(forms[data[0] % 4]) + g_dir + "/" + text;
    const std::string before = url;
    libdb *db = libdb_open(url.c_str());
    FUZZ_ASSERT(url == before);
    if (db) {
        libdb_last_errno(db);
        libdb_close(db);
    }
    empty_dir();
    return 0;
}
