#include <gtest/gtest.h>

#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_table.h"

namespace {

u64 blocks_now()
{
    log_default_printf(LOG_LVL_VERB, "pal", __FILE__, __LINE__, __func__, "warm\n");
    return malloc_count.load();
}

TEST(StrTable, ParseTextForm)
{
    u64 before = blocks_now();
    str_table *t = _str_stable_get("cfg\n-\nsec\na\tb\nc\td\n\n");
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->name, "cfg");
    EXPECT_EQ(t->nsections, 1u);  // the unfinished section after the blank line goes
    EXPECT_EQ(str_table_get_rows(t, "sec"), 2);
    EXPECT_EQ(str_table_get_cols(t, "sec"), 2);
    EXPECT_STREQ(str_table_get(t, "sec", 1, 0), "c");
    EXPECT_EQ(str_table_get(t, "sec", 2, 0), nullptr);
    EXPECT_EQ(str_table_get(t, "sec", 0, 2), nullptr);
    EXPECT_EQ(str_table_get(t, "none", 0, 0), nullptr);
    EXPECT_EQ(str_table_get_rows(t, "none"), -1);
    char **row = str_table_get_row(t, "sec", 0);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[1], "b");
    str_table_free(t);

    t = _str_stable_get("cfg\n-\nsec\na\tb\nc\td");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->nsections, 0u);
    str_table_free(t);

    EXPECT_EQ(_str_stable_get("cfg\n-\nsec\na\tb\nc\td\te\n\n"), nullptr);
    EXPECT_EQ(_str_stable_get("cfg\n-"), nullptr);
    EXPECT_EQ(_str_stable_get(nullptr), nullptr);
    EXPECT_EQ(malloc_count.load(), before);
}

TEST(StrTable, SectionsOfTheSameName)
{
    str_table *t = _str_stable_get("t\n-\ns\n1\n\ns\n2\tx\n3\ty\n\nempty\n\n");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->nsections, 3u);
    EXPECT_EQ(str_table_get_rows(t, "s"), 1);  // counts come from the first one
    EXPECT_EQ(str_table_get_cols(t, "s"), 1);
    EXPECT_STREQ(str_table_get(t, "s", 0, 0), "1");
    EXPECT_STREQ(str_table_get(t, "s", 0, 1), "x");  // too narrow: the second answers
    EXPECT_STREQ(str_table_get(t, "s", 1, 0), "3");  // too short: the second answers
    EXPECT_EQ(str_table_get_rows(t, "empty"), 0);
    EXPECT_EQ(str_table_get_cols(t, "empty"), 0);
    str_table_free(t);
}

TEST(StrTable, BuildAndReadRows)
{
    u64 before = blocks_now();
    str_table *t = str_table_new("db");
    const char *r1[] = {"alpha", "10", "x"};
    const char *r2[] = {"beta", "-7", "yz"};
    const char *r3[] = {"gamma", nullptr, "w"};
    EXPECT_EQ(str_table_add_row(t, "rows", 3, r1), 0);
    EXPECT_EQ(str_table_add_row(t, "rows", 3, r2), 0);
    EXPECT_EQ(str_table_add_row(t, "rows", 3, r3), -2);  // the NULL cell makes it narrower
    for (int i = 0; i < 5; ++i) EXPECT_EQ(str_table_add_row(t, "more", 1, r1), 0);
    EXPECT_EQ(str_table_get_rows(t, "more"), 5);
    EXPECT_EQ(str_table_get_rows(t, "rows"), 2);

    EXPECT_EQ(str_table_get_int(t, "rows", 1, 1, 99), -7);
    EXPECT_EQ(str_table_get_int(t, "rows", 5, 1, 99), 99);
    EXPECT_EQ(str_table_get_num(t, "rows", 0, 1), 10);
    EXPECT_EQ(str_table_get_num(t, "rows", 9, 1), 0);
    EXPECT_STREQ(str_table_get_def(t, "rows", 9, 9, "d"), "d");

    str_array *a = str_table_get_row_array(t, "rows", 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->count, 3u);
    EXPECT_STREQ(a->items[2], "yz");
    EXPECT_NE(a->items[2], str_table_get(t, "rows", 1, 2));
    str_array_free(a);
    arr32 *n = str_table_get_row_int(t, "rows", 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->count, 3u);
    EXPECT_EQ(n->data[1], 10);
    EXPECT_EQ(n->data[0], 0);
    arr32_free(n);
    arr8 *c = str_table_get_row_chr(t, "rows", 1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->data[0], 'b');
    EXPECT_EQ(c->data[2], 'y');
    arr8_free(c);
    EXPECT_EQ(str_table_get_row_int(t, "rows", 7), nullptr);

    str_table_kv *kv = str_table_get_kv(t, "rows");
    ASSERT_NE(kv, nullptr);
    EXPECT_STREQ(kv[0].key, "alpha");
    EXPECT_EQ(kv[0].val, 10);
    EXPECT_EQ(kv[1].val, -7);
    EXPECT_EQ(kv[2].key, nullptr);
    str_table_array_free(kv, 2);
    EXPECT_EQ(str_table_get_kv(t, "none"), nullptr);
    str_table_free(t);
    EXPECT_EQ(malloc_count.load(), before);
}

TEST(StrTable, ShortRowsAndUnnamedSections)
{
    str_table *t = str_table_new("t");
    const char *one[] = {"solo"};
    EXPECT_EQ(str_table_add_row(t, "k", 1, one), 0);
    str_table_kv *kv = str_table_get_kv(t, "k");
    ASSERT_NE(kv, nullptr);
    EXPECT_STREQ(kv[0].key, "solo");
    EXPECT_EQ(kv[0].val, 0);  // no second cell
    str_table_array_free(kv, 1);

    EXPECT_EQ(str_table_add_row(t, "z", 0, nullptr), 0);
    kv = str_table_get_kv(t, "z");
    ASSERT_NE(kv, nullptr);
    EXPECT_STREQ(kv[0].key, "");
    EXPECT_EQ(kv[0].val, 0);
    str_table_array_free(kv, 1);

    str_table_section *s = str_table_add_section(t, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(str_table_get_rows(t, nullptr), -1);
    EXPECT_EQ(str_table_get(t, nullptr, 0, 0), nullptr);
    str_table_free(t);
}

TEST(StrTable, OneShotReaders)
{
    const char *text = "cfg\n-\nnet\nport\t80\nhost\tlocal\n\n";
    EXPECT_EQ(str_stable_get_int(text, "net", 0, 1, -1), 80);
    EXPECT_EQ(str_stable_get_int(text, "net", 5, 1, -1), -1);
    EXPECT_EQ(str_stable_get_int("bad", "net", 0, 1, -3), -3);
    char *d = str_stable_get_dup(text, "net", 1, 1, "none");
    EXPECT_STREQ(d, "local");
    os_free(d);
    d = str_stable_get_dup(text, "net", 1, 9, "none");
    EXPECT_STREQ(d, "none");
    os_free(d);
    EXPECT_EQ(str_stable_get_dup(text, "net", 1, 9, nullptr), nullptr);
    char out[8];
    EXPECT_STREQ(str_stable_get_str(text, "net", 0, 0, "x", out, sizeof out), "port");
    EXPECT_STREQ(str_stable_get_str(text, "xx", 0, 0, "dflt", out, sizeof out), "dflt");
}

}  // namespace
