// bsv frame checks and the info-frame parser on arbitrary datagrams.
#include "fuzz_common.h"

#include "libbsv/bsv_net.h"
#include "libbsv/bsv_type.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65535) return 0;
    static bsv_value *info = bsv_type_open_value(BSV_TYPE_INFO);
    // An exactly-sized copy: the checker deciphers in place.
    std::vector<u8> f(data, data + size);
    u8 *p = f.empty() ? nullptr : f.data();
    if (!p) return 0;
    int type = bsv_parse_net_type(p, (int)size);
    FUZZ_ASSERT(type >= -1 && type <= 0xFFFF);
    if (type < 0) return 0;
    bsv_net_info ni;
    if (bsv_net_info_parse(p, (int)size, info, &ni) == 0) {
        FUZZ_ASSERT(type == BSV_TYPE_INFO || type == BSV_TYPE_INFO_BE);
        const u8 *end = p + size;
        FUZZ_ASSERT((const u8 *)ni.hostname >= p + 8 + 34 && (const u8 *)ni.hostname < end);
        FUZZ_ASSERT(ni.data >= (const u8 *)ni.hostname && ni.data + ni.data_len <= end);
    }
    return 0;
}
