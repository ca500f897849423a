// Path normal form and the other path texts.
#include "fuzz_common.h"

#include "libpal/string/str_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts in(data, size, 2);
    std::vector<char> p(in.parts[1]);
    p.resize(p.size() < PATH_BUF_SIZE ? PATH_BUF_SIZE : p.size() + 1, 0);
    path_normalize(p.data());
    FUZZ_ASSERT(!strchr(p.data(), '\\'));
    FUZZ_ASSERT(!strstr(p.data(), "//"));

    char dst[PATH_BUF_SIZE];
    path_normalize_copy(in[1], dst, sizeof dst);
    FUZZ_ASSERT(strlen(dst) < sizeof dst);
    path_is_equal(in[0], in[1]);
    path_dir_is_equal(in[0], in[1]);
    path_is_absolute(in[1]);
    path_is_win_device(in[1]);
    path_basename(in[1]);

    std::vector<char> q(in.parts[1]);
    path_fix_sep(q.data(), '\\');
    FUZZ_ASSERT(!strchr(q.data(), '/') && !strstr(q.data(), "\\\\"));
    path_dirname(q.data());
    if (in.len(1) < PATH_BUF_SIZE) {
        char quoted[PATH_BUF_SIZE];
        strcpy(quoted, in[1]);
        path_dquote(quoted);
        FUZZ_ASSERT(strlen(quoted) < PATH_BUF_SIZE);
    }
    return 0;
}
