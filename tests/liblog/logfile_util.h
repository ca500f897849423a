#pragma once
// Helpers of the log output tests: a private temporary directory, whole
// files, and a quiet log context of its own.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/tmp_dir.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"

namespace logtest {

using tmp_dir = testutil::tmp_dir;

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) {
            out.push_back(text.substr(at));
            break;
        }
        out.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

inline off_t file_size(const std::string &path)
{
    struct stat sb;
    return stat(path.c_str(), &sb) == 0 ? sb.st_size : -1;
}

// A context of its own with the console off, the level at verb and no
// prefix flags.
struct quiet_ctx {
    struct log2 *c = log_ctx_new();
    quiet_ctx()
    {
        c->con_on.store(0);
        c->level.store(8);
        c->flags.store(0);
    }
    ~quiet_ctx() { log2_exit(c); }
    int log(int level, const char *fmt, const std::string &arg)
    {
        return log2_printf(c, level, "tmod", "src/x", 1, "fn", fmt, arg.c_str());
    }
};

}  // namespace logtest
