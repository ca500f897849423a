#pragma once
// Test helper: collects the records of the default log context while alive.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "liblog/log.h"

namespace testutil {

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

}  // namespace testutil
