#define LOG_MOD "bsvf"
#define LOG_SRC "src/lib/libbsvf/pcap"
#include "libbsvf/pcap.h"

#include "libbsv/bsv_type.h"
#include "libbsv/value.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/mpcap/mpcap.h"

namespace {

constexpr int kTimeBytes = 12;  // sec u64 and usec u32 lead every log record

// The packet header of a record of more than 12 bytes: its time fields,
// read through the schema.
pcap_pkthdr packet_of(const bsvf_pcap *h, const void *rec, int len)
{
    u64 sec = 0, usec = 0;
    bsv_value_read(h->value, rec, (u64)len, 0, -1, &sec);
    bsv_value_read(h->value, rec, (u64)len, 1, -1, &usec);
    return pcap_pkthdr{(u32)sec, (u32)usec, (u32)(len - kTimeBytes), (u32)(len - kTimeBytes)};
}

}  // namespace

int bsvf_type_2_dlt(int type)
{
    if (type >= 1 && type <= 15) return type + 146;
    LOG_ERR("type=%d error\n", type);
    return -1;
}

bsvf_pcap *bsvf_pcap_create_imp(const char *path, int append, int type)
{
    if (!path) return nullptr;
    int dlt = bsvf_type_2_dlt(type);
    if (dlt < 0) return nullptr;
    bsvf_pcap *h = (bsvf_pcap *)os_zalloc(sizeof *h);
    if (!h) return nullptr;
    h->value = bsv_type_open_value(type);
    if (!h->value) {
        LOG_DBG("bsv_value_init_form_type failed.\n");
        os_free(h);
        return nullptr;
    }
    h->ctx = pcap_open_dead(dlt, BSVF_PCAP_SNAPLEN, bsv_type_get_os_endian(type));
    if (!h->ctx) {
        LOG_DBG("pcap_open_dead failed.\n");
        bsv_value_exit(h->value);
        os_free(h);
        return nullptr;
    }
    h->dumper = append ? pcap_dump_open_append(h->ctx, path) : pcap_dump_open(h->ctx, path);
    if (!h->dumper) {
        LOG_DBG("pcap_dump_open failed.\n");
        bsv_value_exit(h->value);
        pcap_close(h->ctx);
        os_free(h);
        return nullptr;
    }
    return h;
}

bsvf_pcap *bsvf_pcap_create(const char *path, int type)
{
    return bsvf_pcap_create_imp(path, 0, type);
}

bsvf_pcap *bsvf_pcap_append(const char *path, int type)
{
    return bsvf_pcap_create_imp(path, 1, type);
}

int bsvf_pcap_write(bsvf_pcap *h, const void *rec, int len)
{
    OS_CHECK_TXT(len > kTimeBytes, "len > 12", -1);
    if (!h || !rec) return -1;
    pcap_pkthdr ph = packet_of(h, rec, len);
    return pcap_dump_write(h->dumper, &ph, (const u8 *)rec + kTimeBytes);
}

int bsvf_pcap_write_limited(bsvf_pcap *h, const void *rec, int len, u64 limit)
{
    OS_CHECK_TXT(len > kTimeBytes, "len > 12", -1);
    if (!h || !rec) return -1;
    pcap_pkthdr ph = packet_of(h, rec, len);
    return pcap_dump_write_limited(h->dumper, &ph, (const u8 *)rec + kTimeBytes, limit);
}

int bsvf_pcap_write_safe(bsvf_pcap *h, const void *rec, int len)
{
    if (!h || !rec || len <= kTimeBytes) return -1;
    pcap_pkthdr ph = packet_of(h, rec, len);
    return pcap_dump_write_safe(h->dumper, &ph, (const u8 *)rec + kTimeBytes);
}

int bsvf_pcap_set_fsize(bsvf_pcap *h, u64 limit)
{
    return h ? pcap_dump_set_fsize(h->dumper, limit) : -1;
}

int bsvf_pcap_follow(bsvf_pcap *h, u64 now, u32 *lost)
{
    if (lost) *lost = 0;
    return h ? pcap_dump_follow(h->dumper, now, lost) : -1;
}

long bsvf_pcap_flush(bsvf_pcap *h)
{
    return h ? pcap_dump_flush(h->dumper) : -1;
}

int bsvf_pcap_mem_reset(bsvf_pcap *h)
{
    return h ? pcap_dump_mem_reset(h->dumper) : -1;
}

int bsvf_pcap_mem_sync(bsvf_pcap *h)
{
    return h ? pcap_dump_mem_sync(h->dumper) : -1;
}

void bsvf_pcap_close(bsvf_pcap *h)
{
    if (!h) return;
    bsv_value_exit(h->value);
    pcap_dump_close(h->dumper);
    pcap_close(h->ctx);
    os_free(h);
}
