#pragma once
// Helpers shared by the socket, poller, thread and network tests.
#include <dirent.h>
#include <sys/resource.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "liblog/log.h"

namespace nettest {

// Collects every record of the default context (thread-safe) while alive.
struct log_capture {
    static std::mutex &mu()
    {
        static std::mutex m;
        return m;
    }
    static std::string &text()
    {
        static std::string t;
        return t;
    }
    static void hook(int, const char *, const char *, int, const char *, int, const char *fmt, va_list ap)
    {
        char buf[2048];
        vsnprintf(buf, sizeof buf, fmt, ap);
        std::lock_guard<std::mutex> g(mu());
        text() += buf;
    }
    log_capture()
    {
        {
            std::lock_guard<std::mutex> g(mu());
            text().clear();
        }
        log_redirect_set(nullptr, hook);
    }
    ~log_capture() { log_redirect_set(nullptr, nullptr); }
    std::string get() const
    {
        std::lock_guard<std::mutex> g(mu());
        return text();
    }
    bool has(const std::string &s) const { return get().find(s) != std::string::npos; }
};

inline int count_dir(const char *path)
{
    DIR *d = opendir(path);
    if (!d) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// Open descriptors of the process (the directory stream's own excluded).
inline int fd_count() { return count_dir("/proc/self/fd") - 1; }
inline int thread_count() { return count_dir("/proc/self/task"); }

inline void raise_nofile()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

}  // namespace nettest
