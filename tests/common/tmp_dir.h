#pragma once
// Test helper: a fresh directory under $VK_TEST_TMP (else /tmp), removed
// with everything in it when the helper goes.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/tmp_file.h"

namespace testutil {

struct tmp_dir {
    std::string path;
    explicit tmp_dir(const char *tag = "vk")
    {
        std::string t = scratch_dir() + "/" + tag + "_XXXXXX";
        if (mkdtemp(t.data())) path = t;
    }
    ~tmp_dir()
    {
        if (path.empty()) return;
        nftw(
            path.c_str(),
            [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    tmp_dir(const tmp_dir &) = delete;
    tmp_dir &operator=(const tmp_dir &) = delete;
    std::string operator/(const std::string &leaf) const { return path + "/" + leaf; }
};

}  // namespace testutil
