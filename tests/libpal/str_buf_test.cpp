#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"

namespace {

TEST(StrBuf, GrowsInWholeStepsOnce)
{
    str_buf *b = str_buf_new();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->capacity, 4096u);
    std::string s(4095, 'a');
    str_buf_append(b, s.data(), s.size());
    EXPECT_EQ(b->capacity, 4096u);
    str_buf_append_chr(b, 'b');
    EXPECT_EQ(b->capacity, 8192u);
    EXPECT_EQ(b->length, 4096u);
    str_buf_reset(b);
    std::string big(10000, 'x');
    str_buf_append(b, big.data(), big.size());
    EXPECT_EQ(b->capacity, 12288u);
    EXPECT_EQ(b->data[10000], 0);
    // Everything past the text stays zero.
    for (u64 i = b->length; i < b->capacity; ++i) ASSERT_EQ(b->data[i], 0);
    str_buf_free(b);
}

TEST(StrBuf, AppendCutDetach)
{
    str_buf *b = str_buf_new();
    str_buf_append(b, "ignored", 0);
    EXPECT_EQ(b->length, 0u);
    EXPECT_EQ(str_buf_get(b), nullptr);
    EXPECT_EQ(str_buf_printf(b, "%s=%d;", "k", 7), 4);
    str_buf_append_cstr(b, "tail");
    EXPECT_STREQ(str_buf_get(b), "k=7;tail");
    str_buf_cut_tail(b, 4);
    EXPECT_STREQ(b->data, "k=7;");
    str_buf_cut_tail(b, 100);
    EXPECT_EQ(b->length, 0u);
    EXPECT_EQ(b->data[0], 0);
    u64 before = malloc_count.load();
    EXPECT_EQ(str_buf_detach(b), nullptr);
    EXPECT_EQ(malloc_count.load(), before - 2);

    b = str_buf_new();
    char *e = str_buf_detach_nonnull(b);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "");
    os_free(e);
    b = str_buf_new();
    str_buf_append_chr(b, 0);  // a NUL byte counts in the length
    EXPECT_EQ(b->length, 1u);
    str_buf_free(b);
}

TEST(StrLines, KeepsNewestWholeLines)
{
    char buf[16];
    str_lines l;
    str_lines_init(&l, buf, sizeof buf);
    str_lines_add(&l, "aaaaa\n");
    str_lines_add(&l, "bbbbb\n");
    EXPECT_STREQ(buf, "aaaaa\nbbbbb\n");
    str_lines_add(&l, "ccccc\n");
    EXPECT_STREQ(buf, "bbbbb\nccccc\n");
    EXPECT_EQ(l.length, 12u);
    std::string big(20, 'z');
    str_lines_add(&l, big.c_str());
    EXPECT_STREQ(buf, "bbbbb\nccccc\n");
    // A longer line drops as many old lines as it needs.
    str_lines_add(&l, "0123456789\n");
    EXPECT_STREQ(buf, "0123456789\n");
}

TEST(StrRelace, ReplaceAll)
{
    char *r = str_relace("a\nb\nc\n", "\n", "\r\n");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "a\r\nb\r\nc\r\n");
    os_free(r);
    r = str_relace("abc", "x", "yy");
    EXPECT_STREQ(r, "abc");
    os_free(r);
    r = str_relace("abc", "", "yy");  // an empty pattern gives a copy
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "abc");
    os_free(r);
    r = str_relace_imp("aaaa", "a", "b", 2, nullptr, 0);
    EXPECT_STREQ(r, "bbaa");
    os_free(r);
    r = str_relace("aaa", "aa", "b");  // non-overlapping, left to right
    EXPECT_STREQ(r, "ba");
    os_free(r);
    char out[6];
    EXPECT_EQ(str_relace_to("abc", "b", "xyz", out, 5), nullptr);  // 5 bytes, no room for NUL
    EXPECT_STREQ(str_relace_to("abc", "b", "xyz", out, 6), "axyzc");
}

TEST(StrQuote, Quoting)
{
    char out[32];
    EXPECT_STREQ(str_dquote("a b", out, sizeof out), "\"a b\"");
    EXPECT_STREQ(str_dquote("\"a b", out, sizeof out), "\"a b");
    EXPECT_STREQ(str_dquote("", out, sizeof out), "\"\"");
    EXPECT_STREQ(str_dquote(nullptr, out, sizeof out), "\"\"");
    EXPECT_STREQ(str_squote("x;y", out, sizeof out), "'x;y'");
    EXPECT_STREQ(str_squote("plain", out, sizeof out), "plain");
    EXPECT_STREQ(str_squote_shell("$HOME", out, sizeof out), "'$HOME'");
    EXPECT_STREQ(str_dquote_conf("a#b", out, sizeof out), "\"a#b\"");
    ASSERT_NE(str_shell_quote("it's", out, sizeof out), nullptr);
    EXPECT_STREQ(out, "'it'\\''s'");
    ASSERT_NE(str_shell_quote("a''b", out, sizeof out), nullptr);
    EXPECT_STREQ(out, "'a'\"''\"'b'");
    EXPECT_EQ(str_shell_quote("abcdef", out, 8), nullptr);
    EXPECT_NE(str_shell_quote("abcdef", out, 9), nullptr);
}

TEST(StrEdit, Trims)
{
    char t[32];
    strcpy(t, "  \t hi \r\n");
    EXPECT_STREQ(str_trim(t), "hi");
    strcpy(t, "x \xc3\xa9");  // a byte of 0x80 or above ends the trim
    EXPECT_STREQ(str_trim(t), "x \xc3\xa9");
    strcpy(t, "\"'v'\"");
    EXPECT_STREQ(str_trim_quote(t), "v");
    strcpy(t, " ' v ' ");
    EXPECT_STREQ(str_trim_all(t), "v");
    strcpy(t, "--a--");
    EXPECT_STREQ(str_trim_chr(t, '-'), "a");
    strcpy(t, "line \t\n");
    EXPECT_STREQ(str_rtrim(t), "line \t\n");
    strcpy(t, "line \t");
    EXPECT_STREQ(str_rtrim(t), "line");
    strcpy(t, "   ");
    EXPECT_STREQ(str_trim(t), "");
}

TEST(StrEdit, InPlaceEdits)
{
    char t[32];
    strcpy(t, "ab");
    EXPECT_STREQ(str_strip_ends(t), "");
    strcpy(t, "[abc]");
    EXPECT_STREQ(str_strip_ends(t), "abc");
    strcpy(t, "file.txt");
    EXPECT_STREQ(str_del_suffix(t, ".txt"), "file");
    strcpy(t, "abcdef");
    EXPECT_STREQ(str_delete(t, 2, 100), "ab");
    strcpy(t, "abcdef");
    EXPECT_STREQ(str_delete(t, 10, 1), "abcdef");
    char d[32];
    EXPECT_STREQ(str_delete_to(d, "abcdef", 1, 2), "adef");
    strcpy(t, "abcabc");
    EXPECT_EQ(str_del_str(t, "bc"), 1);
    EXPECT_STREQ(t, "aabc");
    EXPECT_EQ(str_del_str(t, "zz"), 0);
    EXPECT_EQ(str_del_str(t, ""), 1);
    strcpy(t, "a-b-c");
    EXPECT_STREQ(str_rdelchar(t, '-'), "a-bc");
    EXPECT_STREQ(str_delchar(t, '-'), "abc");
    strcpy(t, "a1b2");
    EXPECT_STREQ(str_delchars(t, "12"), "ab");
    strcpy(t, "abc");
    str_reverse(t);
    EXPECT_STREQ(t, "cba");
    EXPECT_STREQ(str_toupper(t), "CBA");
    EXPECT_STREQ(str_tolower(t), "cba");
    EXPECT_STREQ(str_replace_chr(t, 'b', 'x'), "cxa");
    EXPECT_STREQ(str_set_last_chr(t, 'z'), "cxz");
}

TEST(StrEdit, AddTailAndInsertHead)
{
    char t[8] = "ab/";
    EXPECT_EQ(str_add_chr_not_exist_tail(t, sizeof t, '/'), 0);
    EXPECT_STREQ(t, "ab/");
    strcpy(t, "ab");
    EXPECT_EQ(str_add_chr_not_exist_tail(t, sizeof t, '/'), 0);
    EXPECT_STREQ(t, "ab/");
    char full[4] = "abc";
    EXPECT_EQ(str_add_chr_not_exist_tail(full, 4, '/'), 0);
    EXPECT_STREQ(full, "ab/");
    char one[1] = "";
    EXPECT_EQ(str_add_chr_not_exist_tail(one, 1, '/'), -1);
    EXPECT_EQ(one[0], 0);
    char h[16] = "world";
    EXPECT_EQ(str_insert_head(h, sizeof h, "hello "), 0);
    EXPECT_STREQ(h, "hello world");
}

TEST(StrEdit, ReplaceSplit)
{
    char t[32] = "a,b,,c";
    EXPECT_EQ(str_replace_split(t, ","), 0);
    EXPECT_STREQ(t, "a,b,,c");
}

}  // namespace
