#pragma once
// A full disk without a filesystem of its own: while the guard lives, no
// file of this process grows past the limit; a write that reaches it stops
// short there and the next fails with EFBIG (SIGXFSZ ignored meanwhile).
#include <csignal>
#include <sys/resource.h>

namespace testutil {

struct fsize_limit {
    struct rlimit old;
    sighandler_t prev = signal(SIGXFSZ, SIG_IGN);
    explicit fsize_limit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit r = {bytes, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~fsize_limit()
    {
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, prev);
    }
};

}  // namespace testutil
