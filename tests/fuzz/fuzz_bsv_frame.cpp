// bsv frame checks, the info-frame parser and the log-record parser on
// arbitrary datagrams.
#include "fuzz_common.h"

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_type.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65535) return 0;
    static bsv_value *info = bsv_type_open_value(BSV_TYPE_INFO);
    static bsv_value *log = bsv_type_open_value(BSV_TYPE_LOG);
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
        // The payload as a log record, in its own exactly-sized block.
        std::vector<u8> rec(ni.data, ni.data + ni.data_len);
        bsv_log_rec lr;
        const u8 *rp = rec.empty() ? (const u8 *)"" : rec.data();
        if (bsv_log_parse(rp, (int)rec.size(), log, &lr) == 0) {
            FUZZ_ASSERT(rec.size() >= (size_t)BSV_LOG_HDR);
            for (const char *t : {lr.tag, lr.tid_name, lr.file, lr.line, lr.func, lr.msg})
                FUZZ_ASSERT(!*t || ((const u8 *)t >= rp && (const u8 *)t + strlen(t) < rp + rec.size()));
        }
    }
    return 0;
}
