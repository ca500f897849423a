#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_vector.h"

namespace {

// Blocks outstanding, after the log context has been made (the first log
// call allocates it).
u64 blocks_now()
{
    log_default_printf(LOG_LVL_VERB, "pal", __FILE__, __LINE__, __func__, "warm\n");
    return malloc_count.load();
}

std::vector<std::string> items_of(const str_vector &v)
{
    std::vector<std::string> r;
    for (u64 i = 0; i < v.count; ++i) r.emplace_back(v.items[i] ? v.items[i] : "<null>");
    return r;
}

TEST(StrVector, InitFlagsAndGrowth)
{
    str_vector v;
    str_vector_init(&v, 0);
    EXPECT_EQ(v.flags, (u32)STR_VEC_ADDR);
    str_vector_init(&v, 97);
    EXPECT_EQ(v.flags, 97u);

    u64 before = blocks_now();
    str_vector *h = str_vector_new(STR_VEC_OWN);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(str_vector_add(h, std::to_string(i).c_str()), 0);
    EXPECT_EQ(h->capacity, 16u);
    ASSERT_EQ(str_vector_add(h, "16"), 0);
    EXPECT_EQ(h->capacity, 32u);
    EXPECT_EQ(h->count, 17u);
    EXPECT_EQ(str_vector_add(h, nullptr), -1);
    EXPECT_EQ(str_vector_find(h, "7"), 7);
    EXPECT_EQ(str_vector_find(h, nullptr), -1);
    str_vector_free(h);
    EXPECT_EQ(malloc_count.load(), before);
}

TEST(StrVector, AddSkipsEmptyAndDuplicates)
{
    str_vector v;
    str_vector_init(&v, STR_VEC_OWN | STR_VEC_SKIP_EMPTY | STR_VEC_UNIQUE | STR_VEC_NOCASE);
    EXPECT_EQ(str_vector_add(&v, ""), 0);
    EXPECT_EQ(str_vector_add(&v, "Abc"), 0);
    EXPECT_EQ(str_vector_add(&v, "aBC"), 0);
    EXPECT_EQ(str_vector_add(&v, "x"), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"Abc", "x"}));
    EXPECT_EQ(str_vector_find_case(&v, "abc"), -1);
    EXPECT_EQ(str_vector_find_nocase(&v, "ABC"), 0);
    str_vector_fini(&v);
}

TEST(StrVector, DeleteRemovesEveryMatchInOrder)
{
    u64 before = blocks_now();
    str_vector v;
    str_vector_init(&v, STR_VEC_OWN);
    for (const char *s : {"a", "b", "a", "c", "a"}) str_vector_add(&v, s);
    EXPECT_EQ(str_vector_del(&v, "a"), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(v.items[2], nullptr);
    EXPECT_EQ(str_vector_del(&v, "zz"), -1);
    EXPECT_EQ(str_vector_del(&v, nullptr), -1);
    str_vector_fini(&v);
    EXPECT_EQ(malloc_count.load(), before);
}

TEST(StrVector, SplitKeepsEmptyPiecesAndTerminates)
{
    str_vector v;
    str_vector_init(&v, 0);
    ASSERT_EQ(str_split("a,,b", ",", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(v.items[3], nullptr);
    str_vector_fini(&v);

    str_vector_init(&v, STR_VEC_SKIP_EMPTY);
    ASSERT_EQ(str_split("a,,b", ",", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"a", "b"}));
    // A second, shorter split reuses the buffer and replaces the items.
    ASSERT_EQ(str_split("x;y", ";", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"x", "y"}));
    str_vector_fini(&v);
}

TEST(StrVector, SplitOfOwningVectorFreesOldItems)
{
    u64 before = blocks_now();
    str_vector v;
    str_vector_init(&v, STR_VEC_OWN);
    ASSERT_EQ(str_split("one two three", " ", &v), 0);
    ASSERT_EQ(str_split("four five", " ", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"four", "five"}));
    // The text may be one of the vector's own items.
    ASSERT_EQ(str_split(v.items[0], "u", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"fo", "r"}));
    str_vector_fini(&v);
    EXPECT_EQ(malloc_count.load(), before);

    // ...also for a vector that only points into its split buffer.
    str_vector_init(&v, 0);
    ASSERT_EQ(str_split("ab:cd", ":", &v), 0);
    ASSERT_EQ(str_split(v.items[1], "c", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"", "d"}));
    str_vector_fini(&v);
}

TEST(StrVector, SplitEscapeQuotes)
{
    str_vector v;
    str_vector_init(&v, 0);
    EXPECT_EQ(str_split_esape("echo \"a b", " ", "\"", &v), -1);
    str_vector_fini(&v);

    str_vector_init(&v, 0);
    ASSERT_EQ(str_split_esape("echo \"a b\" c ", " ", "\"", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"echo", "\"a b\"", "c"}));
    EXPECT_EQ(v.items[3], nullptr);
    str_vector_fini(&v);

    // Without quote characters it splits like str_split: a last empty piece stays.
    str_vector_init(&v, 0);
    ASSERT_EQ(str_split_esape("a b ", " ", "\"", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"a", "b", ""}));
    str_vector_fini(&v);

    str_vector_init(&v, 0);
    ASSERT_EQ(str_split_esape("a;b", ";", nullptr, &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"a", "b"}));
    str_vector_fini(&v);
}

TEST(StrVector, SplitEscapeNeverLeavesDanglingItems)
{
    // Items of an earlier split point into the old split buffer; they go,
    // while an item the caller added stays.
    static const char keep[] = "kept";
    str_vector v;
    str_vector_init(&v, 0);
    ASSERT_EQ(str_split("p q", " ", &v), 0);
    str_vector_add(&v, keep);
    ASSERT_EQ(str_split_esape("r 's t'", " ", "'", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"kept", "r", "'s t'"}));
    str_vector_fini(&v);

    // An owning vector keeps its copies.
    u64 before = blocks_now();
    str_vector_init(&v, STR_VEC_OWN);
    str_vector_add(&v, "first");
    ASSERT_EQ(str_split_esape("x y", " ", "\"", &v), 0);
    ASSERT_EQ(str_split_esape("z", " ", "\"", &v), 0);
    EXPECT_EQ(items_of(v), (std::vector<std::string>{"first", "x", "y", "z"}));
    str_vector_fini(&v);
    EXPECT_EQ(malloc_count.load(), before);
}

TEST(StrVector, SortAndUniqAgainstStd)
{
    std::mt19937 rng(7);
    for (u32 flags : {(u32)STR_VEC_OWN, (u32)STR_VEC_TEXT}) {
        u64 before = blocks_now();
        std::vector<std::string> src;  // a non-owning vector points at these
        for (int i = 0; i < 300; ++i) src.push_back(std::to_string(rng() % 60));
        str_vector v;
        str_vector_init(&v, flags);
        for (auto &s : src) str_vector_add(&v, s.c_str());
        std::vector<std::string> ref = src;
        str_vector_sort(&v);
        std::sort(ref.begin(), ref.end());
        EXPECT_EQ(items_of(v), ref);
        EXPECT_EQ(str_vector_sort_uniq(&v), 0);
        ref.erase(std::unique(ref.begin(), ref.end()), ref.end());
        EXPECT_EQ(items_of(v), ref);
        EXPECT_EQ(v.items[v.count], nullptr);
        str_vector_fini(&v);
        EXPECT_EQ(malloc_count.load(), before);
    }

    // Flag 4 orders by the item addresses.
    static const char block[] = "c\0b\0a";
    str_vector v;
    str_vector_init(&v, 0);
    str_vector_add(&v, block + 4);
    str_vector_add(&v, block);
    str_vector_add(&v, block + 2);
    str_vector_sort(&v);
    EXPECT_EQ(v.items[0], block);
    EXPECT_EQ(v.items[2], block + 4);
    str_vector_fini(&v);
}

TEST(StrTools, PrefixSuffixAndCaseRules)
{
    EXPECT_EQ(str_start_with("abc", ""), 1);
    EXPECT_EQ(str_start_with("abc", "ab"), 1);
    EXPECT_EQ(str_start_with("ab", "abc"), 0);
    EXPECT_EQ(str_istart_with("ABC def", "abc"), 1);
    EXPECT_EQ(str_istart_with("ABC def", "abc d"), 0);
    EXPECT_EQ(str_istart_with("ABC", "abcd"), 0);
    EXPECT_EQ(str_istart_with("[x", "{x"), 0);  // 0x5B and 0x7B are no letters
    EXPECT_EQ(str_end_with("file.ini", ".ini"), 1);
    EXPECT_EQ(str_end_with("ini", "x.ini"), 0);
    EXPECT_EQ(str_iend_with("FILE.INI", ".ini"), 1);
    EXPECT_EQ(str_iend_with("a b", " b"), 0);
    EXPECT_EQ(str_iend_with("b", "ab"), 0);
    EXPECT_EQ(str_is_enclosed("[x]", '[', ']'), 1);
    EXPECT_EQ(str_is_enclosed("'", '\'', '\''), 0);
    EXPECT_EQ(str_is_enclosed("''", '\'', '\''), 1);
}

TEST(StrTools, Searches)
{
    const char *t = "Hello World";
    EXPECT_EQ(str_istr(t, "WORLD"), t + 6);
    EXPECT_EQ(str_istr("ab", "abc"), nullptr);
    EXPECT_EQ(str_istr(nullptr, "a"), nullptr);
    const char *r = "abcabc";
    EXPECT_EQ(str_rstr(r, "bc"), r + 4);
    EXPECT_EQ(str_rstr(r, ""), r + 5);
    EXPECT_EQ(str_rstr("", ""), nullptr);
    EXPECT_EQ(str_rstr(r, "x"), nullptr);
    const char *s = "a/b\\c";
    EXPECT_EQ(str_rchr_any(s, "/\\"), s + 3);
    EXPECT_EQ(str_rchr_any("", "/"), nullptr);
    // The first byte of the set that occurs wins, not the leftmost hit.
    const char *h = "x=1;y";
    EXPECT_EQ(str_has_any_chr(h, ";="), h + 3);
    EXPECT_EQ(str_count_chrs("a,b;c,", ",;"), 3u);
    EXPECT_EQ(str_in_list("a,b,c", "b", ','), 0);
    EXPECT_EQ(str_in_list("a,b,c", "ab", ','), -1);
    EXPECT_EQ(str_in_list("a,b,", "", ','), 0);
    EXPECT_EQ(str_multi_find("one\0two\0three\0", "three"), 2);
    EXPECT_EQ(str_multi_find("one\0two\0", "on"), -1);
}

TEST(StrTools, WholeWords)
{
    const char *t = "pid id";
    EXPECT_EQ(str_find_word(t, "id"), t + 4);
    EXPECT_EQ(str_find_word("idle", "id"), nullptr);
    // After a rejected match the search resumes inside a word: that is no
    // word start.
    EXPECT_EQ(str_find_word("idid", "id"), nullptr);
    const char *u = "idid id";
    EXPECT_EQ(str_find_word(u, "id"), u + 5);
    const char *c = "Port PORT";
    EXPECT_EQ(str_ifind_word(c, "port"), c);
    EXPECT_EQ(str_find_word(c, "PORT"), c + 5);
    EXPECT_EQ(str_find_word("x", ""), nullptr);
    const char *next = nullptr;
    EXPECT_EQ(str_find_word_imp("pid", "id", &next, 0), nullptr);
    EXPECT_STREQ(next, "");
}

TEST(StrTools, TokensHeadsAndCopies)
{
    char buf[8];
    const char *kv = "key=value";
    EXPECT_EQ(str_get_token(kv, "=", buf, sizeof buf), kv + 3);
    EXPECT_STREQ(buf, "key");
    strcpy(buf, "keep");
    EXPECT_EQ(str_get_token(kv, "=", buf, 3), nullptr);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(*str_get_token("nodelim", "=", buf, sizeof buf), 0);

    char head[6];
    EXPECT_STREQ(str_get_head("a\r\nbcdefg", head, sizeof head), "abc");

    u64 before = blocks_now();
    char *c = str_concat_dup("ab", "cd");
    EXPECT_STREQ(c, "abcd");
    os_free(c);
    c = str_concat_dup("ab", nullptr);
    EXPECT_STREQ(c, "ab");
    os_free(c);
    EXPECT_EQ(str_concat_dup(nullptr, "x"), nullptr);
    c = str_dup_add_chr("ab", '/');
    EXPECT_STREQ(c, "ab/");
    os_free(c);
    EXPECT_EQ(str_dup_add_chr("ab", 0), nullptr);
    EXPECT_EQ(malloc_count.load(), before);
    EXPECT_EQ(str_cmp_show_dbg("abc", "axc"), 0);
    EXPECT_EQ(str_cmp_show_dbg("abc", "a"), 0);
}

}  // namespace
