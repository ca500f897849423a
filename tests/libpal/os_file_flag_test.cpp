#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <string>

#include "common/log_capture.h"
#include "libpal/os/os_file_flag.h"

namespace {

using testutil::log_capture;

TEST(OsFileFlag, FlagTexts)
{
    EXPECT_EQ(os_sflag2pf("readonly,direct"), 65u);
    EXPECT_EQ(os_sflag2pf("rw.sync"), 4u);
    EXPECT_EQ(os_sflag2pf("RW"), 4u);
    EXPECT_EQ(os_sflag2pf("rw-readonly"), 1u);  // the last access word wins
    EXPECT_EQ(os_sflag2pf("vss,,Direct."), (u32)(OS_FILE_VSS | OS_FILE_DIRECT));
    EXPECT_EQ(os_sflag2pf(""), 0u);
    EXPECT_EQ(os_sflag2pf(nullptr), 0u);
    {
        log_capture cap;
        EXPECT_EQ(os_sflag2pf("fast"), 0u);
        EXPECT_EQ(cap.get(), "flags=[fast] not support\n");
    }
    // The caller's text stays as it was.
    char text[] = "rw,direct";
    EXPECT_EQ(os_sflag2pf(text), 68u);
    EXPECT_STREQ(text, "rw,direct");
}

TEST(OsFileFlag, Conversions)
{
    const u32 rw = OS_FILE_ACCESS_READ | OS_FILE_ACCESS_WRITE;
    EXPECT_EQ(os_file_flag_from_access(rw, OS_FILE_CREATE_ALWAYS), 4u | 8u | 32u);
    EXPECT_EQ(os_file_flag_from_access(OS_FILE_ACCESS_EXEC | OS_FILE_ACCESS_WRITE, 3), 4u);
    EXPECT_EQ(os_file_flag_from_access(OS_FILE_ACCESS_EXEC, OS_FILE_CREATE_NEW), 1u | 8u);
    EXPECT_EQ(os_file_flag_from_access(OS_FILE_ACCESS_WRITE, OS_FILE_OPEN_ALWAYS), 2u | 8u);
    EXPECT_EQ(os_file_flag_from_access(0, OS_FILE_TRUNCATE_EXISTING), 32u);
    EXPECT_EQ(os_file_flag_from_access(rw, 9), 4u);

    EXPECT_EQ(os_file_flag_to_init(2 | 4 | 16), 4u | 8u | 32u | 128u);
    EXPECT_EQ(os_file_flag_to_init(0), 1u | 128u);
    EXPECT_EQ(os_file_flag_to_init(1 | 8), 2u | 16u | 128u);
    EXPECT_EQ(os_file_flag_to_init(3 | 16), 32u | 128u);
    EXPECT_EQ(os_file_flag_to_init(32), 1u | 64u | 128u);

    // open(2) flags by their symbols, whatever the architecture's numbers.
    EXPECT_EQ(os_file_flag_to_os(OS_O_RDONLY), O_RDONLY);
    EXPECT_EQ(os_file_flag_to_os(OS_O_ACCMODE), O_RDONLY);
    EXPECT_EQ(os_file_flag_to_os(OS_O_WRONLY | OS_O_CREAT | OS_O_TRUNC), O_WRONLY | O_CREAT | O_TRUNC);
    EXPECT_EQ(os_file_flag_to_os(OS_O_RDWR | OS_O_APPEND | OS_O_EXCL | OS_O_NOFOLLOW),
              O_RDWR | O_APPEND | O_EXCL | O_NOFOLLOW);
    EXPECT_EQ(os_file_flag_to_os(OS_O_DIRECT | OS_O_NONBLOCK | OS_O_SYNC | OS_O_DIRECTORY |
                                 OS_O_CLOEXEC | OS_O_LARGEFILE),
              O_DIRECT | O_NONBLOCK | O_SYNC | O_DIRECTORY | O_CLOEXEC | O_LARGEFILE);
}

TEST(OsFileFlag, PathPrefixes)
{
    char out[64];
    EXPECT_STREQ(os_path_strip_prefix("file://x/y", out, sizeof out), "x/y");
    EXPECT_STREQ(os_path_strip_prefix("a/b\\c", out, sizeof out), "a/b/c");
    EXPECT_STREQ(os_path_strip_prefix("file:\\\\\\?\\c:\\x", out, sizeof out), "c:/x");
    EXPECT_STREQ(os_path_strip_prefix("file:///?/c:/x", out, sizeof out), "c:/x");
    EXPECT_STREQ(os_path_strip_prefix("FILE://x", out, sizeof out), "FILE://x");
    EXPECT_STREQ(os_path_strip_prefix(nullptr, out, sizeof out), "");
    char tiny[4];
    EXPECT_STREQ(os_path_strip_prefix("file://abcdef", tiny, sizeof tiny), "abc");
    std::string huge(10000, '\\');
    EXPECT_STREQ(os_path_strip_prefix(huge.c_str(), out, sizeof out), std::string(63, '/').c_str());
    EXPECT_STREQ(os_path_to_native("a\\b", out, sizeof out), "a\\b");
}

}  // namespace
