#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/libbsv/bsv_type"
#include "libbsv/bsv_type.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/code_str.h"

const char BSV_SCHEMA_LOG[] = "sec-u64,usec-u32,pid-u32,tid-u32,level-u8,tag|tid_name|file|line|func|msg-str";
const char BSV_SCHEMA_LOG2[] =
    "sec-u64,usec-u32,pid-u32,tid-u32,cpu_num-u16,irql-u8,level-u8,tag|tid_name|file|line|func|msg-str";
const char BSV_SCHEMA_INFO[] =
    "sid-u64,bid-u64,stime-u64,ver_id-u32,app_id-u16,os_id-u8,arch_id-u8,type_id-u16,hostname|data-str";

namespace {

struct type_row {
    int type;
    const char *schema;
    int big_endian;
};
constexpr type_row kTypes[] = {
    {BSV_TYPE_LOG, BSV_SCHEMA_LOG, 0},   {BSV_TYPE_LOG_BE, BSV_SCHEMA_LOG, 1},
    {BSV_TYPE_LOG2, BSV_SCHEMA_LOG2, 0}, {BSV_TYPE_INFO, BSV_SCHEMA_INFO, 0},
    {BSV_TYPE_INFO_BE, BSV_SCHEMA_INFO, 1},
};

constexpr os_code_str kApps[] = {
    {1, "vkto"},   {2, "vktod"},  {3, "vkcli"},  {4, "vkgw"},   {5, "vkmon"},
    {6, "vkproxy"}, {7, "vkweb"}, {8, "vkdb"},   {9, "vklog"},  {10, "vktest"},
};
constexpr os_code_str kOs[] = {
    {1, "windows"}, {2, "linux"}, {3, "macosx"}, {4, "iphone"}, {5, "freebsd"},
};
constexpr os_code_str kArch[] = {
    {1, "x86"}, {2, "x64"}, {10, "arm64"}, {12, "armv4tl"}, {20, "mips"}, {24, "loongarch32"},
    {25, "loongarch64"},
};

template <size_t N>
const char *id_name(const char *code, const os_code_str (&tab)[N])
{
    int id = code ? (int)strtol(code, nullptr, 10) : 0;
    return os_code_to_str(id, 0, tab, (int)N);
}

}  // namespace

int bsv_type_layout(int type, const char **schema, int *big_endian)
{
    for (const type_row &t : kTypes) {
        if (t.type != type) continue;
        if (schema) *schema = t.schema;
        if (big_endian) *big_endian = t.big_endian;
        return 0;
    }
    return -1;
}

int bsv_type_swap(int type)
{
    int be = 0;
    if (bsv_type_layout(type, nullptr, &be) != 0) return 0;
    return be != (std::endian::native == std::endian::big ? 1 : 0);
}

bsv_value *bsv_type_open_value(int type)
{
    const char *schema = nullptr;
    if (bsv_type_layout(type, &schema, nullptr) != 0) {
        LOG_ERR("type=%d error: not found\n", type);
        return nullptr;
    }
    return bsv_value_init(schema, bsv_type_swap(type));
}

int bsv_type_get_os_endian(int type)
{
    switch (type) {
    case BSV_TYPE_LOG:
    case BSV_TYPE_LOG2:
        return 0;
    case BSV_TYPE_LOG_BE:
    case BSV_TYPE_INFO_BE:
        return 1;
    default:
        LOG_ERR("type=%d error: not found\n", type);
        return 0;
    }
}

int bsv_app_name_2_id(const char *name)
{
    if (!name || !*name) return 0;
    int id = os_str_to_code(name, kApps, (int)(sizeof kApps / sizeof kApps[0]));
    return id < 0 ? 0 : id;
}

const char *bsv_app_id_2_name(const char *code)
{
    return id_name(code, kApps);
}

const char *bsv_os_id_2_name(const char *code)
{
    return id_name(code, kOs);
}

const char *bsv_arch_id_2_name(const char *code)
{
    return id_name(code, kArch);
}
