#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include "libpal/memory/mem_util.h"
#include "libpal/os/os_mac.h"
#include "libpal/string/conv_num.h"

namespace {

TEST(OsMac, HardwareAddressAsNumber)
{
    const u8 b[9] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(os_mac_to_u64(b, 6), 0x021122334455ull);
    EXPECT_EQ(os_mac_to_u64(b, 8), 0x0211223344556677ull);
    EXPECT_EQ(os_mac_to_u64(b, 5), 0u);
    EXPECT_EQ(os_mac_to_u64(b, 9), 0u);
}

TEST(OsMac, InterfaceListLeavesOutZeroPrefixedAddresses)
{
    arr64 *a = os_mac_get_all();
    if (!a) GTEST_SKIP() << "no interface with an IPv4 address";
    for (u64 i = 0; i < a->count; ++i) EXPECT_GT(a->data[i], 0xFFFFFFull);
    arr64_free(a);
}

// Each thread formats into its own buffer: a text another thread is still
// reading is never rewritten.
TEST(OsMac, MemoryInfoPerThreadConcurrency)
{
    mem_init();
    std::string want = std::string(str_size_human(mem_phys_size(), 0)) + " PS=" +
                       std::to_string(mem_page_size());
    const char *mine = os_mem_info_str();
    EXPECT_EQ(want, mine);
    const char *theirs = nullptr;
    std::string their_text;
    std::thread t([&] {
        for (int i = 0; i < 1000; ++i) theirs = os_mem_info_str();
        their_text = theirs;
    });
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(want, os_mem_info_str());
    t.join();
    EXPECT_NE(theirs, mine);
    EXPECT_EQ(their_text, want);
}

}  // namespace
