#pragma once
// A full disk for the writers under test, without a filesystem of its own:
// while the guard lives, no file of this process grows past the limit. A
// write that reaches it stops short there, and the next one fails with
// EFBIG (SIGXFSZ is ignored meanwhile).
#include <csignal>
#include <sys/resource.h>

namespace testutil {

class fsize_limit {
public:
    explicit fsize_limit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old_);
        prev_ = signal(SIGXFSZ, SIG_IGN);
        set(bytes);
    }
    ~fsize_limit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, prev_);
    }
    fsize_limit(const fsize_limit &) = delete;
    fsize_limit &operator=(const fsize_limit &) = delete;
    void set(rlim_t bytes)
    {
        struct rlimit r = old_;
        r.rlim_cur = bytes < old_.rlim_max ? bytes : old_.rlim_max;
        setrlimit(RLIMIT_FSIZE, &r);
    }

private:
    struct rlimit old_;
    sighandler_t prev_;
};

}  // namespace testutil
