#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/string/str_path.h"

namespace {

std::string normalized(const char *text)
{
    char buf[PATH_BUF_SIZE];
    strcpy(buf, text);
    return path_normalize(buf);
}

TEST(Paths, Normalize)
{
    EXPECT_EQ(normalized(" \"file:///var//log\\x.txt\""), "/var/log/x.txt");
    EXPECT_EQ(normalized("tcp://h/x"), "tcp:/h/x");
    EXPECT_EQ(normalized("'a\\\\b'  "), "a/b");
    EXPECT_EQ(normalized("file://rel"), "rel");
    EXPECT_EQ(normalized("x/file://y"), "x/file:/y");
    EXPECT_EQ(normalized(""), "");

    char dst[8];
    EXPECT_STREQ(path_normalize_copy(" a//b ", dst, sizeof dst), "a/b");
    EXPECT_STREQ(path_normalize_copy("/much/too/long", dst, sizeof dst), "");
}

TEST(Paths, Separators)
{
    char p[32] = "a/b//c";
    EXPECT_STREQ(path_fix_sep(p, '\\'), "a\\b\\c");
    strcpy(p, "\\\\srv\\\\x/");
    EXPECT_STREQ(path_fix_sep_unix(p), "/srv/x/");
    u32 w[] = {'a', '/', '/', 'b', '\\', 'c', 0};
    wpath_fix_sep_win(w);
    const u32 want[] = {'a', '\\', 'b', '\\', 'c', 0};
    EXPECT_EQ(memcmp(w, want, sizeof want), 0);
}

TEST(Paths, Parts)
{
    const char *p = "/a/b/";
    EXPECT_STREQ(path_basename(p), "");
    EXPECT_STREQ(path_basename("name.txt"), "name.txt");
    EXPECT_STREQ(path_basename("c:\\dir\\f.ini"), "f.ini");
    char d[16] = "name.txt";
    EXPECT_STREQ(path_dirname(d), "name.txt");
    strcpy(d, "/a");
    EXPECT_STREQ(path_dirname(d), "/");
    strcpy(d, "a/b/c");
    EXPECT_STREQ(path_dirname(d), "a/b/");
}

TEST(Paths, Absolute)
{
    for (const char *yes : {"~/x", "D:x", "\\\\server", "tcp://h", "/", "x:\\\\y"})
        EXPECT_EQ(path_is_absolute(yes), 1) << yes;
    for (const char *no : {"a/b", "", "1:x", ":\\x"}) EXPECT_EQ(path_is_absolute(no), 0) << no;
    EXPECT_EQ(path_is_absolute(nullptr), 0);
}

TEST(Paths, Equality)
{
    EXPECT_EQ(path_is_equal("/tmp//x", "file:///tmp/x"), 1);
    EXPECT_EQ(path_is_equal("/tmp/x", "/tmp/y"), 0);
    EXPECT_EQ(path_dir_is_equal("/tmp//x", "/tmp/y"), 1);
    EXPECT_EQ(path_dir_is_equal("/tmp/a/x", "/tmp/y"), 0);
    // Paths too long for the working buffers are not both taken as "".
    std::string a(5000, 'a'), b(5000, 'b');
    EXPECT_EQ(path_is_equal(a.c_str(), b.c_str()), 0);
    EXPECT_EQ(path_dir_is_equal(a.c_str(), b.c_str()), 0);
    EXPECT_EQ(path_is_equal(a.c_str(), a.c_str()), 1);
    EXPECT_EQ(path_is_equal(a.c_str(), ""), 0);
}

TEST(Paths, DevicesQuotingAndRealpath)
{
    for (const char *dev : {"\\\\.\\", "//?/", "\\\\\\", "\\\\", "/"})
        EXPECT_EQ(path_is_win_device(dev), 1) << dev;
    for (const char *no : {"\\\\.\\x", "a", ""}) EXPECT_EQ(path_is_win_device(no), 0) << no;

    char p[PATH_BUF_SIZE] = "/a b/c";
    EXPECT_STREQ(path_dquote(p), "\"/a b/c\"");
    EXPECT_STREQ(path_dquote(p), "\"/a b/c\"");  // already quoted
    char out[PATH_BUF_SIZE];
    EXPECT_STREQ(path_dquote_to("/x", out), "/x");
    // A text that would lose its closing quote stays as it is.
    std::string longp(PATH_BUF_SIZE - 2, 'x');
    longp[3] = ' ';
    strcpy(p, longp.c_str());
    EXPECT_EQ(std::string(path_dquote(p)), longp);

    char resolved[PATH_BUF_SIZE];
    EXPECT_STREQ(path_realpath("/", resolved), "/");
    EXPECT_EQ(path_realpath("/no/such/dir/here", resolved), nullptr);
}

}  // namespace
