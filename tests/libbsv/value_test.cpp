#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "libbsv/bsv_type.h"
#include "libbsv/value.h"

namespace {

// A record in its own exactly-sized heap block, so that a read past its end
// is caught by the address sanitizer.
std::vector<u8> bytes(std::initializer_list<u8> b)
{
    return std::vector<u8>(b);
}

void append(std::vector<u8> &r, const std::string &s)
{
    r.insert(r.end(), s.begin(), s.end());
    r.push_back(0);
}

TEST(BsvValue, SchemaLayoutAndReads)
{
    bsv_value *v = bsv_value_init("a-u8,b-u32,s|t-str", 0);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(bsv_value_get_count(v), 4);
    EXPECT_EQ(v->val[0].offset, 0);
    EXPECT_EQ(v->val[1].offset, 1);
    EXPECT_EQ(v->val[2].offset, 5);
    EXPECT_EQ(v->val[3].offset, -1);
    EXPECT_EQ(v->str_idx, 2);
    EXPECT_STREQ(bsv_value_get_name(v, 3), "t");

    std::vector<u8> r = bytes({7, 0x04, 0x03, 0x02, 0x01});
    append(r, "hi");
    append(r, "there");
    EXPECT_EQ(bsv_value_get_u8(v, r.data(), r.size(), 0), 7);
    EXPECT_EQ(bsv_value_get_u32(v, r.data(), r.size(), 1), 0x01020304u);
    EXPECT_STREQ(bsv_value_get_str(v, r.data(), r.size(), 3), "there");
    EXPECT_STREQ(bsv_value_get_str(v, r.data(), r.size(), 2), "hi");
    EXPECT_EQ(bsv_value_get(v, r.data(), r.size(), 1), 0x01020304u);

    bsv_value_res res;
    ASSERT_EQ(bsv_value_match(v, r.data(), r.size(), "t", &res), 0);
    EXPECT_EQ(res.type, (u32)VALUE_TYPE_STRING);
    EXPECT_STREQ(res.str, "there");
    ASSERT_EQ(bsv_value_match(v, r.data(), r.size(), "b", &res), 0);
    EXPECT_EQ(res.type, (u32)VALUE_U32);
    EXPECT_EQ(res.num, 0x01020304u);
    EXPECT_EQ(bsv_value_match(v, r.data(), r.size(), "nope", &res), -1);

    testutil::log_capture cap;
    EXPECT_EQ(bsv_value_get_u8(v, r.data(), r.size(), 2), 0);
    EXPECT_TRUE(cap.has("expr[ctx->val[idx].type!=VALUE_TYPE_STRING]: assert failed\n"));
    EXPECT_EQ(bsv_value_get_str(v, r.data(), r.size(), 0), nullptr);
    EXPECT_TRUE(cap.has("expr[ctx->val[idx].type==VALUE_TYPE_STRING]: assert failed\n"));
    EXPECT_EQ(bsv_value_get(v, r.data(), r.size(), 4), 0u);
    EXPECT_TRUE(cap.has("expr[idx<ctx->count_idx]: assert failed\n"));
    EXPECT_EQ(bsv_value_get_name(v, 4), nullptr);
    EXPECT_EQ(bsv_value_get_count(nullptr), 0);
    EXPECT_TRUE(cap.has("expr[ctx!=NULL]: assert failed\n"));
    bsv_value_exit(v);
}

TEST(BsvValue, BadSchemasAreRefused)
{
    testutil::log_capture cap;
    EXPECT_EQ(bsv_value_init("a-u8,b-u24", 0), nullptr);
    EXPECT_TRUE(cap.has("type=[u24] error\n"));
    EXPECT_EQ(value_get_info(nullptr, "a-u8,bu8"), -1);
    EXPECT_TRUE(cap.has("buf=[bu8] info=[a-u8,bu8] error\n"));

    std::string name31(31, 'n'), name32(32, 'n');
    EXPECT_EQ(value_get_info(nullptr, (name31 + "-u8").c_str()), 1);
    EXPECT_EQ(value_get_info(nullptr, (name32 + "-u8").c_str()), -1);
    EXPECT_EQ(value_get_info(nullptr, ("a|" + name32 + "-str").c_str()), -1);
    std::string item255 = "a|" + std::string(249, 'x') + "-str";  // names of 31 joined by "|"
    for (size_t i = 2 + 31; i < 2 + 249; i += 32) item255[i] = '|';
    ASSERT_EQ(item255.size(), 255u);
    EXPECT_GT(value_get_info(nullptr, item255.c_str()), 1);
    EXPECT_EQ(value_get_info(nullptr, (item255 + ",b-u8").c_str()), -1);  // fixed after strings
    EXPECT_EQ(value_get_info(nullptr, ("x" + item255).c_str()), -1);     // 256 characters

    for (const char *bad : {"", ",", "a-u8,", "-u8", "a||b-str", "a|-str", "s-str,t-str", "a-str-x"})
        EXPECT_EQ(value_get_info(nullptr, bad), -1) << bad;
}

TEST(BsvValue, ShortRecordsReadAsMissing)
{
    bsv_value *v = bsv_type_open_value(BSV_TYPE_LOG);
    ASSERT_NE(v, nullptr);
    std::vector<u8> full(21, 0);
    full[20] = 6;
    for (const char *s : {"pal", "main_1a2b_7", "src/x", "42", "fn", "msg\n"}) append(full, s);
    for (size_t len = 0; len <= full.size(); ++len) {
        std::vector<u8> r(full.begin(), full.begin() + (long)len);
        u8 *p = r.empty() ? (u8 *)"" : r.data();
        for (int i = 0; i < bsv_value_get_count(v); ++i) {
            u64 out;
            int rc = bsv_value_read(v, p, len, i, -1, &out);
            if (i < 5) {
                EXPECT_EQ(rc, len >= (u64)v->val[i].offset + v->val[i].size ? 0 : -1);
            }
        }
        const char *strs[6];
        int n = bsv_value_strings(v, p, len, strs, 6);
        EXPECT_LE(n, 6);
        if (len == full.size()) {
            EXPECT_EQ(n, 6);
        }
        if (len == full.size() - 1) {
            EXPECT_EQ(n, 5);  // the message lost its NUL
            EXPECT_EQ(strs[5], nullptr);
        }
    }
    // A string field read directly, without the ones before it.
    EXPECT_STREQ(bsv_value_get_str(v, full.data(), full.size(), 8), "42");
    EXPECT_EQ(bsv_value_get_str(v, full.data(), 30, 8), nullptr);
    bsv_value_exit(v);
}

TEST(BsvType, ByteOrderAndIdTables)
{
    bsv_value *be = bsv_type_open_value(BSV_TYPE_LOG_BE);
    ASSERT_NE(be, nullptr);
    std::vector<u8> r(21, 0);
    r[7] = 1;
    r[11] = 2;
    append(r, "t");
    EXPECT_EQ(bsv_value_get_u64(be, r.data(), r.size(), 0), 1u);
    EXPECT_EQ(bsv_value_get_u32(be, r.data(), r.size(), 1), 2u);
    bsv_value_exit(be);

    bsv_value *info = bsv_type_open_value(BSV_TYPE_INFO_BE);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->val[8].offset, 34);
    EXPECT_EQ(info->swap, 1);
    bsv_value_exit(info);

    testutil::log_capture cap;
    EXPECT_EQ(bsv_type_open_value(4), nullptr);
    EXPECT_TRUE(cap.has("type=4 error: not found\n"));
    EXPECT_EQ(bsv_type_get_os_endian(1), 0);
    EXPECT_EQ(bsv_type_get_os_endian(2), 1);
    EXPECT_EQ(bsv_type_get_os_endian(3), 0);
    EXPECT_EQ(bsv_type_get_os_endian(6), 1);
    EXPECT_EQ(bsv_type_get_os_endian(5), 0);
    EXPECT_TRUE(cap.has("type=5 error: not found\n"));

    EXPECT_STREQ(bsv_os_id_2_name("2"), "linux");
    EXPECT_STREQ(bsv_os_id_2_name("42"), "unkown(42)");
    EXPECT_STREQ(bsv_arch_id_2_name("42"), "unkown(42)");
    EXPECT_STREQ(bsv_arch_id_2_name("10"), "arm64");
    EXPECT_EQ(bsv_app_name_2_id("vkto"), 1);
    EXPECT_EQ(bsv_app_name_2_id("VKTO"), 0);
    EXPECT_EQ(bsv_app_name_2_id(""), 0);
    EXPECT_STREQ(bsv_app_id_2_name("1"), "vkto");
    for (int i = 1; i <= 10; ++i) EXPECT_NE(std::string(bsv_app_id_2_name(std::to_string(i).c_str())), "unkown(" + std::to_string(i) + ")");

    // The fallback text is the calling thread's own.
    const char *mine = bsv_os_id_2_name("77");
    std::thread([] { EXPECT_STREQ(bsv_os_id_2_name("88"), "unkown(88)"); }).join();
    EXPECT_STREQ(mine, "unkown(77)");
}

}  // namespace
