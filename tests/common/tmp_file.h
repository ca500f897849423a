#pragma once
// Files of a test in the build's scratch folder (VK_TEST_TMP, else /tmp),
// named after the process so that parallel test runs do not meet.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace testutil {

// The scratch folder, made when it is missing.
inline std::string scratch_dir()
{
    const char *base = getenv("VK_TEST_TMP");
    std::string dir = base && *base ? base : "/tmp";
    mkdir(dir.c_str(), 0755);
    return dir;
}

// Writes text to <scratch>/<prefix>_<pid>_<name> and returns the path.
inline std::string tmp_file(const std::string &prefix, const std::string &name, const std::string &text)
{
    std::string p = scratch_dir() + "/" + prefix + "_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(p) << text;
    return p;
}

}  // namespace testutil
