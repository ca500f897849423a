#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/env/malloc.h"
#include "libpal/net_test_util.h"
#include "libpal/value/dvar.h"
#include "libpal/value/fvar.h"
#include "libpal/value/rvar.h"

namespace {

std::string take(char *p)
{
    std::string s = p ? p : "<null>";
    os_free(p);
    return s;
}

char *hello() { return os_strdup("hello\n"); }
int g_called = 0;
int fn_count(dbgsh_srv_ctx *, int argc, char **) { g_called = argc; return 7; }

TEST(Registry, AddFindListAndDuplicates)
{
    rvar_mgr *r = rvar_mgr_init();
    EXPECT_EQ(take(rvar_mgr_show(r)), "<null>");  // empty listing is NULL
    rvar_item a{"info", "View info", hello};
    rvar_item dup{"info", "other", hello};
    rvar_item noh{"bad", "no handler", nullptr};
    EXPECT_EQ(rvar_mgr_add(r, &a), 0);
    {
        nettest::log_capture cap;
        EXPECT_EQ(rvar_mgr_add(r, &dup), -1);
        EXPECT_EQ(rvar_mgr_add(r, &noh), -1);
        EXPECT_TRUE(cap.has("error: var=info already exists\n"));
        EXPECT_TRUE(cap.has("var=bad init error\n"));
    }
    EXPECT_EQ(rvar_mgr_find(r, "info"), &a);  // the first stays
    EXPECT_EQ(rvar_mgr_find(r, "INFO"), nullptr);
    EXPECT_EQ(take(rvar_mgr_show(r)), "show info -- View info\n");
    EXPECT_EQ(take(rvar_mgr_call(r, "info")), "hello\n");
    EXPECT_EQ(take(rvar_mgr_call(r, "none")), "<null>");
    rvar_mgr_exit(r);

    fvar_mgr *f = fvar_mgr_init();
    fvar_item k{"kill", "Exit", fn_count};
    EXPECT_EQ(fvar_mgr_add(f, &k), 0);
    char *argv[] = {(char *)"kill", (char *)"x", nullptr};
    EXPECT_EQ(fvar_mgr_call(f, "kill", nullptr, 2, argv), 7);
    EXPECT_EQ(g_called, 2);
    g_called = 0;
    EXPECT_EQ(fvar_mgr_call(f, "nope", nullptr, 1, argv), -12);
    EXPECT_EQ(g_called, 0);
    EXPECT_EQ(take(fvar_mgr_show(f, "call")), "call kill -- Exit\n");
    fvar_mgr_exit(f);
}

TEST(Registry, DvarHeldIntegerZeroAndPointer)
{
    dvar_mgr *d = dvar_mgr_init();
    char buf[DVAR_VALUE_SIZE], err[DVAR_ERR_SIZE];
    // A held 0 in a zero-filled record is no value: refused, and unreadable.
    dvar_item zero{};
    zero.name = "zero";
    zero.value.type = VALUE2_I32;
    zero.value.i = 0;
    {
        nettest::log_capture cap;
        EXPECT_EQ(dvar_mgr_add(d, &zero), -1);
        EXPECT_TRUE(cap.has("var=zero set error\n"));
        EXPECT_EQ(dvar_mgr_get(&zero, buf), -1);
        EXPECT_STREQ(buf, "error: not support");
    }
    EXPECT_EQ(dvar_mgr_set(d, "zero", "1", err), -12);

    // A held value stays readable and settable after it was set to 0.
    dvar_item held{};
    held.name = "held";
    held.range = "int";
    held.desc = "held";
    held.value.type = VALUE2_I32;
    held.value.i = 7;
    EXPECT_EQ(dvar_mgr_add(d, &held), 0);
    EXPECT_EQ(dvar_mgr_set(d, "held", "0", err), 0);
    EXPECT_EQ(dvar_mgr_get(&held, buf), 0);
    EXPECT_STREQ(buf, "0");
    EXPECT_EQ(dvar_mgr_set(d, "held", "42x", err), 0);
    EXPECT_EQ(held.value.i, 42);

    i32 target = 5;
    dvar_item ptr{};
    ptr.name = "ptr";
    ptr.value.type = VALUE2_I32_PTR;
    ptr.value.p = &target;
    EXPECT_EQ(dvar_mgr_add(d, &ptr), 0);
    EXPECT_EQ(dvar_mgr_set(d, "ptr", "-3", err), 0);
    EXPECT_EQ(target, -3);

    dvar_item none{};
    none.name = "none";
    {
        nettest::log_capture cap;
        EXPECT_EQ(dvar_mgr_add(d, &none), -1);
        EXPECT_TRUE(cap.has("var=none set error\n"));
    }
    EXPECT_EQ(dvar_mgr_get(&none, buf), -1);
    EXPECT_STREQ(buf, "error: not support");

    EXPECT_EQ(dvar_mgr_set(d, "missing", "1", err), -12);
    EXPECT_STREQ(err, "The set variable 'missing' does not exist");
    EXPECT_EQ(take(dvar_mgr_print(d)), "held=42\nptr=-3\n");
    dvar_mgr_exit(d);
}

int set_bad(const char *v, char *err) { snprintf(err, DVAR_ERR_SIZE, "bad [%s]", v); return -1; }
int get_quoted(char *buf, size_t size) { snprintf(buf, size, "a \"b\"\\\n"); return 0; }

TEST(Registry, DvarJsonEscapesAndEnumRange)
{
    dvar_mgr *d = dvar_mgr_init();
    EXPECT_EQ(take(dvar_mgr_dump_json(d)), "[]");
    dvar_item e{};
    e.name = "log.level";
    e.kind = DVAR_KIND_ENUM;
    e.range = "verb|dbg|info";
    e.desc = "Set \"level\" <&>";
    e.set_fn = set_bad;
    e.get_fn = get_quoted;
    EXPECT_EQ(dvar_mgr_add(d, &e), 0);
    EXPECT_EQ(take(dvar_mgr_dump_json(d)),
              "[{\"desc\":\"Set \\\"level\\\" \\u003c\\u0026\\u003e\",\"name\":\"log.level\",\"value\":\"a "
              "\\\"b\\\"\\\\\\n\",\"type\":\"enum\",\"range\":\"verb/dbg/info\"} ]");
    char err[DVAR_ERR_SIZE];
    EXPECT_EQ(dvar_mgr_set(d, "log.level", "zz", err), -1);
    EXPECT_STREQ(err, "bad [zz]");
    EXPECT_EQ(take(dvar_mgr_show(d)), "set log.level [verb|dbg|info] -- Set \"level\" <&>\n");
    dvar_mgr_exit(d);
}

}  // namespace
