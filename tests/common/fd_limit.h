#pragma once
// Cases that open many descriptors: the soft open-file limit is raised to
// the hard one (as vkto does at start; with CAP_SYS_RESOURCE the hard one
// is raised too); when that is still too low for the case, it is skipped
// with the limit named.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>

namespace testutil {

// Room for `need` open descriptors: "" when there is (after raising the
// soft limit), else why not.
inline std::string fd_limit_raise(rlim_t need)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return "getrlimit(RLIMIT_NOFILE) failed";
    if (rl.rlim_cur >= need) return "";
    if (rl.rlim_max >= need) {
        struct rlimit up = {rl.rlim_max, rl.rlim_max};
        // An unlimited hard limit is capped by the kernel (fs.nr_open).
        if (setrlimit(RLIMIT_NOFILE, &up) == 0) return "";
        up.rlim_cur = need;
        if (setrlimit(RLIMIT_NOFILE, &up) == 0) return "";
    } else {
        struct rlimit up = {need, need};  // needs CAP_SYS_RESOURCE
        if (setrlimit(RLIMIT_NOFILE, &up) == 0) return "";
    }
    return "needs " + std::to_string(need) + " open descriptors; the hard limit (ulimit -Hn) is " +
           std::to_string(rl.rlim_max);
}

}  // namespace testutil

// Raises the open-file limit for the current case or skips it.
#define NEED_OPEN_FILES(n)                                           \
    do {                                                             \
        std::string fd_limit_why_ = testutil::fd_limit_raise(n);     \
        if (!fd_limit_why_.empty()) GTEST_SKIP() << fd_limit_why_;   \
    } while (0)
