// Path preparation of the file and directory helpers: the normal form
// fits its 4096 bytes or the path is refused, and every prepared path maps
// to a table.
#include "fuzz_common.h"

#include <cerrno>

#include "libpal/os/os_file2.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts in(data, size, 1);
    char norm[PATH_BUF_SIZE], prep[PATH_BUF_SIZE];
    errno = 0;
    char *p = os_path_norm(in[0], norm);
    if (in.len(0) >= PATH_BUF_SIZE) {
        FUZZ_ASSERT(!p && errno == ENAMETOOLONG);
        return 0;
    }
    FUZZ_ASSERT(p == norm);
    FUZZ_ASSERT(strlen(p) <= in.len(0));
    FUZZ_ASSERT(!strchr(p, '\\'));
    FUZZ_ASSERT(!strstr(p, "//"));
    os_path_strip_prefix(p, prep, sizeof prep);
    FUZZ_ASSERT(strlen(prep) <= strlen(p));
    FUZZ_ASSERT(os_file_ops_find(prep) != nullptr);
    // Queries that change nothing.
    os_path_is_dir(in[0]);
    os_access(in[0], F_OK);
    os_file_stat_rec rec;
    os_path_lstat(in[0], &rec);
    return 0;
}
