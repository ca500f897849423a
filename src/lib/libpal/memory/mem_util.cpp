#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/memory/mem_util"
#include "libpal/memory/mem_util.h"

#include <unistd.h>

#include "liblog/log.h"
#include "libpal/os/os_mac.h"

namespace {
i32 g_page_size = 4096;
u32 g_page_shift = 12;
u64 g_phys_size = 0;
}  // namespace

int mem_init(void)
{
    long ps = sysconf(_SC_PAGESIZE);
    if (ps <= 0) {
        LOG_WARN("call to sysconf() for _SC_PAGESIZE has failed...\n");
        ps = 4096;
    }
    g_page_size = (i32)ps;
    u32 shift = 0;
    while ((1L << shift) < ps) ++shift;
    g_page_shift = shift;
    LOG_VERB("pagesize=%d\n", g_page_size);
    g_phys_size = os_mem_phys_size();
    return 0;
}

i32 mem_page_size(void) { return g_page_size; }
u32 mem_page_shift(void) { return g_page_shift; }
u64 mem_phys_size(void) { return g_phys_size; }
