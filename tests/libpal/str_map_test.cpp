#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_map.h"

namespace {

u64 blocks_now()
{
    log_default_printf(LOG_LVL_VERB, "pal", __FILE__, __LINE__, __func__, "warm\n");
    return malloc_count.load();
}

// The four entry layouts, with and without the sorted mode.
class StrMapLayouts : public ::testing::TestWithParam<u32> {};

TEST_P(StrMapLayouts, AgreesWithStdMap)
{
    const u32 flags = GetParam();
    const bool inline_val = flags & STR_MAP_VAL_COPY;
    u64 before = blocks_now();
    // Key and value texts must outlive a map that keeps pointers.
    static char keys[400][8], vals[400][16];
    for (int i = 0; i < 400; ++i) {
        snprintf(keys[i], sizeof keys[i], "k%03d", i * 7 % 400);
        snprintf(vals[i], sizeof vals[i], "v%d", i);
    }
    str_map *m = str_map_new(flags);
    ASSERT_NE(m, nullptr);
    std::map<std::string, std::string> ref;
    std::mt19937 rng(11);
    for (int step = 0; step < 3000; ++step) {
        int k = rng() % 400, v = rng() % 400;
        if (rng() % 2) {
            int rc = str_map_add(m, keys[k], vals[v]);
            EXPECT_EQ(rc, ref.count(keys[k]) ? -1 : 0);
            ref.emplace(keys[k], vals[v]);
        } else {
            ASSERT_EQ(str_map_set(m, keys[k], vals[v]), 0);
            ref[keys[k]] = vals[v];
        }
        if (step % 97 == 0) {
            ASSERT_EQ(m->count, ref.size());
            for (auto &[key, val] : ref) {
                const char *got = (const char *)str_map_get(m, key.c_str());
                ASSERT_NE(got, nullptr) << key;
                EXPECT_EQ(std::string(got), val);
                if (!inline_val) {
                    EXPECT_EQ(got, vals[std::stoi(val.substr(1))]);
                }
            }
            EXPECT_EQ(str_map_get(m, "absent"), nullptr);
        }
    }
    if (flags & STR_MAP_SORTED) {
        u64 i = 0;
        for (auto &[key, val] : ref) EXPECT_STREQ(str_map_key(m, i++), key.c_str());
    }
    EXPECT_EQ(str_map_key(m, m->count), nullptr);
    EXPECT_EQ(str_map_val(m, m->count), nullptr);
    str_map_free(m);
    EXPECT_EQ(malloc_count.load(), before);
}

INSTANTIATE_TEST_SUITE_P(All, StrMapLayouts,
                         ::testing::Values(0u, STR_MAP_KEY_COPY, STR_MAP_VAL_COPY,
                                           STR_MAP_KEY_COPY | STR_MAP_VAL_COPY,
                                           STR_MAP_SORTED, STR_MAP_SORTED | STR_MAP_KEY_COPY,
                                           STR_MAP_SORTED | STR_MAP_VAL_COPY,
                                           STR_MAP_SORTED | STR_MAP_KEY_COPY | STR_MAP_VAL_COPY));

TEST(StrMap, AddSetGrowthAndSort)
{
    str_map m{};
    ASSERT_EQ(str_map_init(&m, STR_MAP_KEY_COPY | STR_MAP_VAL_COPY), 0);
    EXPECT_EQ(str_map_add(&m, "a", "1"), 0);
    EXPECT_EQ(str_map_add(&m, "a", "2"), -1);
    EXPECT_STREQ((const char *)str_map_get(&m, "a"), "1");
    EXPECT_EQ(str_map_set(&m, "a", "longer value"), 0);
    EXPECT_STREQ((const char *)str_map_get(&m, "a"), "longer value");
    EXPECT_EQ(str_map_set(&m, "a", "s"), 0);
    EXPECT_STREQ((const char *)str_map_get(&m, "a"), "s");
    for (int i = 0; i < 15; ++i) str_map_add(&m, ("z" + std::to_string(i)).c_str(), "x");
    EXPECT_EQ(m.capacity, 16u);
    str_map_add(&m, "b", "y");
    EXPECT_EQ(m.capacity, 32u);
    EXPECT_EQ(str_map_find(&m, "b"), 16);
    str_map_sort(&m);
    EXPECT_TRUE(m.flags & STR_MAP_SORTED);
    EXPECT_STREQ(str_map_key(&m, 0), "a");
    EXPECT_STREQ(str_map_key(&m, 1), "b");
    EXPECT_EQ(str_map_find(&m, "z9"), 16);
    str_map_fini(&m);
    EXPECT_EQ(m.items, nullptr);

    // Flags without a copied key always compare through the key pointer.
    str_map p{};
    str_map_init(&p, 0x2);
    EXPECT_EQ(p.flags & 0xF, (u32)STR_MAP_KEY_PTR);
    str_map_fini(&p);

    // A preset capacity is allocated at init.
    str_map c{};
    c.capacity = 4;
    ASSERT_EQ(str_map_init(&c, STR_MAP_KEY_COPY), 0);
    ASSERT_NE(c.items, nullptr);
    str_map_fini(&c);
}

TEST(StrMap, OwnedValuesAreFreedOnce)
{
    u64 before = blocks_now();
    str_map *m = str_map_new(STR_MAP_KEY_COPY | STR_MAP_VAL_OWN);
    char *v1 = os_strdup("one");
    char *v2 = os_strdup("two");
    EXPECT_EQ(str_map_add(m, "k", v1), 0);
    EXPECT_EQ(str_map_set(m, "k", v1), 0);  // the same pointer again: not freed
    EXPECT_STREQ((const char *)str_map_get(m, "k"), "one");
    EXPECT_EQ(str_map_set(m, "k", v2), 0);  // replaces and frees v1
    EXPECT_EQ(str_map_add(m, "j", os_strdup("three")), 0);
    str_map_clear(m);
    EXPECT_EQ(m->count, 0u);
    str_map_free(m);
    EXPECT_EQ(malloc_count.load(), before);
}

TEST(StrMap, ModeNames)
{
    EXPECT_STREQ(str_map_mode_name(1), "set_always");
    EXPECT_STREQ(str_map_mode_name(2), "set_not_exist");
    EXPECT_STREQ(str_map_mode_name(3), "set_exist");
    EXPECT_STREQ(str_map_mode_name(4), "del_exist");
    EXPECT_STREQ(str_map_mode_name(9), "unkown(9)");
    EXPECT_STREQ(str_map_mode_name(0), "unkown(0)");
}

TEST(KeyValue, WordsTokensAndFields)
{
    EXPECT_EQ(str_to_bool("Enabled"), 1);
    EXPECT_EQ(str_to_bool("OFF"), 0);
    EXPECT_EQ(str_to_bool("2"), -1);
    EXPECT_EQ(str_to_bool("a text longer than fifteen"), -1);
    EXPECT_EQ(str_to_bool(""), -1);

    EXPECT_EQ(str_list_has(" a , b ,,c", ",", "b"), 0);
    EXPECT_EQ(str_list_has("a,b", ",", "ab"), -1);

    char s[] = "x  y z";
    EXPECT_STREQ(str_tok_n(s, " ", 2), "z");
    EXPECT_EQ(str_tok_n_dup("x y", " ", 2), nullptr);
    char *t = str_tok_n_dup("x y", " ", 1);
    EXPECT_STREQ(t, "y");
    os_free(t);

    char out[16];
    EXPECT_STREQ(str_get_key_or_val("a=b=c", "=", 1, out, sizeof out), "b");
    EXPECT_STREQ(str_get_key_or_val("a=b=c", "=", 2, out, sizeof out), "c");
    EXPECT_EQ(str_get_key_or_val("a=b", "=", 2, out, sizeof out), nullptr);
    EXPECT_EQ(str_get_key_or_val("a=bcdef", "=", 1, out, 5), nullptr);
    char key[8], val[8];
    EXPECT_EQ(str_get_key_and_val("k=mid=end", "=", key, sizeof key, val, sizeof val), 0);
    EXPECT_STREQ(key, "k");
    EXPECT_STREQ(val, "mid");
    EXPECT_EQ(str_get_key_and_val("novalue", "=", key, sizeof key, val, sizeof val), -1);

    char *sub = str_substr("hello", 1, 3);
    EXPECT_STREQ(sub, "ell");
    os_free(sub);
    sub = str_substr("hello", 3, 100);
    EXPECT_STREQ(sub, "lo");
    os_free(sub);
    sub = str_substr("hello", 9, 2);  // start past the end
    EXPECT_STREQ(sub, "");
    os_free(sub);
    sub = str_substr("hello", 0, 0);
    EXPECT_STREQ(sub, "");
    os_free(sub);
}

TEST(KeyValue, Lookups)
{
    char out[16];
    EXPECT_EQ(str_get_val("a=1; b = 2 ;c=3", ";", "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "2");
    // The walk stops at the first item without '='.
    EXPECT_EQ(str_get_val("a=1;junk;b=2", ";", "b", out, sizeof out), -1);
    EXPECT_EQ(str_get_kv_val_to("a=1;junk;b=2", ";", '=', "2", out, sizeof out), 0);
    EXPECT_STREQ(out, "b");
    EXPECT_EQ(str_get_val("a=1", ";", "zz", out, sizeof out), -1);
    // A value that does not fit fails and leaves out alone.
    strcpy(out, "keep");
    EXPECT_EQ(str_get_val("a=0123456789", ";", "a", out, 8), -1);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(str_get_line_val("x=1\r\ny=2\r\n", "y", out, sizeof out), 0);
    EXPECT_STREQ(out, "2");

    EXPECT_EQ(str_get_val_unquote("a='q v';b=\"w\";c=[z];d=';e='", ";", '=', "a", out, sizeof out), 0);
    EXPECT_STREQ(out, "q v");
    EXPECT_EQ(str_get_val_unquote("b=\"w\"", ";", '=', "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "w");
    EXPECT_EQ(str_get_val_unquote("c=[z]", ";", '=', "c", out, sizeof out), 0);
    EXPECT_STREQ(out, "z");
    EXPECT_EQ(str_get_val_unquote("d='", ";", '=', "d", out, sizeof out), 0);
    EXPECT_STREQ(out, "'");  // one quote is no pair
    EXPECT_EQ(str_get_line_val_unquote("k=\"\"\n", "k", out, sizeof out), 0);
    EXPECT_STREQ(out, "");

    EXPECT_EQ(str_get_val_bracket("a=1\nlist=x [p [q] r] y\n", "list", out, sizeof out), 0);
    EXPECT_STREQ(out, "p [q] r");
    EXPECT_EQ(str_get_val_bracket("list=] [\n", "list", out, sizeof out), -1);
    EXPECT_EQ(str_get_val_bracket("list=[abcdefgh]\n", "list", out, 4), -1);

    const char *table = "eth0 up 10.0.0.1\n lo  up 127.0.0.1 \neth1 down\n";
    char *col = str_lines_find_col(table, " ", "lo", 0, 2);
    EXPECT_STREQ(col, "127.0.0.1");
    os_free(col);
    EXPECT_EQ(str_lines_find_col(table, " ", "eth1", 0, 2), nullptr);
    col = str_lines_find_col2(table, "down", " ", 0);
    EXPECT_STREQ(col, "eth1");
    os_free(col);
    EXPECT_EQ(str_lines_find_col2(table, "none", " ", 0), nullptr);
}

TEST(KeyValue, UrlArguments)
{
    char q[64] = "";
    str_add_url_arg(q, sizeof q, "cmd", "show log&x=1");
    str_add_url_arg(q, sizeof q, "n", "5");
    EXPECT_STREQ(q, "cmd=show%20log%26x%3D1&n=5");
    char out[32];
    EXPECT_EQ(str_get_url_arg(q, "cmd", out, sizeof out), 0);
    EXPECT_STREQ(out, "show log&x=1");
    EXPECT_EQ(str_get_url_arg(q, "none", out, sizeof out), -1);
    EXPECT_EQ(str_get_url_arg(q, "cmd", out, 5), -1);
    // An argument that does not fit leaves the query as it was.
    str_add_url_arg(q, 30, "more", "x");
    EXPECT_STREQ(q, "cmd=show%20log%26x%3D1&n=5");
}

TEST(KeyValue, SetValByMode)
{
    char b[64];
    strcpy(b, "a=1\r\n\r\nb=2");
    EXPECT_EQ(str_set_val(b, sizeof b, "\r\n", STR_MAP_SET_ALWAYS, "b", "3"), 0);
    EXPECT_STREQ(b, "a=1\r\nb=3");
    EXPECT_EQ(str_set_val(b, sizeof b, "\r\n", STR_MAP_SET_ALWAYS, "c", "4"), 0);
    EXPECT_STREQ(b, "a=1\r\nb=3\r\nc=4");

    strcpy(b, "a=1&&b=2");
    EXPECT_EQ(str_set_val(b, sizeof b, "&", STR_MAP_SET_NOT_EXIST, "a", "9"), 0);
    EXPECT_STREQ(b, "a=1&b=2");
    EXPECT_EQ(str_set_val(b, sizeof b, "&", STR_MAP_SET_NOT_EXIST, "c", "9"), 0);
    EXPECT_STREQ(b, "a=1&b=2&c=9");
    EXPECT_EQ(str_set_val(b, sizeof b, "&", STR_MAP_SET_EXIST, "zz", "9"), 0);
    EXPECT_STREQ(b, "a=1&b=2&c=9");
    EXPECT_EQ(str_set_val(b, sizeof b, "&", STR_MAP_SET_EXIST, "b", "8"), 0);
    EXPECT_STREQ(b, "a=1&b=8&c=9");
    EXPECT_EQ(str_set_val(b, sizeof b, "&", STR_MAP_DEL_EXIST, "a", nullptr), 0);
    EXPECT_STREQ(b, "b=8&c=9");
    // "ab=" is another key than "a".
    strcpy(b, "ab=1");
    EXPECT_EQ(str_set_val(b, sizeof b, "&", STR_MAP_DEL_EXIST, "a", nullptr), 0);
    EXPECT_STREQ(b, "ab=1");
    strcpy(b, "");
    EXPECT_EQ(str_set_val(b, sizeof b, "&", STR_MAP_SET_ALWAYS, "k", "v"), 0);
    EXPECT_STREQ(b, "k=v");

    // A result that does not fit leaves the buffer unchanged.
    char small[12] = "a=1&b=2";
    EXPECT_EQ(str_set_val(small, sizeof small, "&", STR_MAP_SET_ALWAYS, "c", "long"), -1);
    EXPECT_STREQ(small, "a=1&b=2");
}

}  // namespace
