#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/libbsv/bsv_net"
#include "libbsv/bsv_net.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <sys/uio.h>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_type.h"
#include "liblog/log.h"
#include "libpal/hash/crc.h"
#include "libpal/libpal.h"
#include "libpal/memory/mem_util.h"
#include "libpal/tframe/app.h"

namespace {

constexpr u8 kKey[16] = {0x3f, 0x1a, 0x7c, 0x0e, 0x92, 0xb4, 0x5d, 0x68,
                         0xe0, 0x1c, 0x7a, 0x9b, 0x2f, 0x46, 0x3d, 0x85};

std::atomic<bool> g_cipher{false};

// Header fields in the frame's byte order, whatever the host's.
inline u16 get16(const u8 *p, int be)
{
    return be ? (u16)(p[0] << 8 | p[1]) : (u16)(p[1] << 8 | p[0]);
}

inline void put16(u8 *p, u16 v, int be)
{
    p[be ? 0 : 1] = (u8)(v >> 8);
    p[be ? 1 : 0] = (u8)v;
}

u16 app_id()
{
    static std::once_flag once;
    static u16 id;
    std::call_once(once, [] { id = (u16)bsv_app_name_2_id(g_app.app_name); });
    return id;
}

// The info layout of the value context: ten fields, the host name at 34.
bool info_ctx_ok(const bsv_value *ctx)
{
    return ctx && ctx->count_idx == 10 && ctx->str_idx == 8 &&
           ctx->val[8].offset == BSV_NET_INFO_HDR;
}

}  // namespace

int bsv_net_hdr_init(void *frame, int type)
{
    OS_CHECK_TXT(frame != nullptr, "frame!=NULL", -1);
    u8 *f = (u8 *)frame;
    memcpy(f, "bsv", 3);
    f[3] = BSV_NET_F_CRC | (g_cipher.load(std::memory_order_relaxed) ? BSV_NET_F_RC4 : 0);
    put16(f + 4, 0, 0);
    put16(f + 6, (u16)type, 0);
    return 0;
}

int bsv_net_hdr_finish(void *frame, int len)
{
    OS_CHECK_TXT(frame != nullptr, "frame!=NULL", -1);
    u8 *f = (u8 *)frame;
    int be = f[3] & BSV_NET_F_BE;
    int total = len;
    if (f[3] & BSV_NET_F_CRC) {
        if (len < BSV_NET_HDR || len > BSV_NET_BODY_MAX) return -1;
        total = len + 1;
        put16(f + 4, (u16)total, be);
        f[len] = hash_crc8(f + 3, (size_t)len - 3, 0);
    } else {
        if (len < BSV_NET_HDR || len > BSV_NET_MAX) return -1;
        put16(f + 4, (u16)total, be);
    }
    if (f[3] & BSV_NET_F_RC4) bsv_net_cipher(f, total);
    return total;
}

int bsv_net_cipher(void *frame, int len)
{
    if (!frame || len <= 4) return 0;
    // Each frame starts from the freshly keyed state, copied into its own
    // state on the stack; the key schedule runs once.
    static const rc4_state keyed = [] {
        rc4_state k;
        rc4_init(&k, kKey, sizeof kKey);
        return k;
    }();
    rc4_state st = keyed;
    rc4_crypt(&st, (u8 *)frame + 4, (u8 *)frame + 4, (size_t)len - 4);
    return 0;
}

void bsv_net_cipher_set(int on)
{
    g_cipher.store(on != 0, std::memory_order_relaxed);
}

int bsv_net_cipher_get(void)
{
    return g_cipher.load(std::memory_order_relaxed) ? 1 : 0;
}

int bsv_net_info_build(void *frame, int type_id, const void *payload, int len)
{
    OS_CHECK_TXT(frame != nullptr, "frame!=NULL", -1);
    OS_CHECK_TXT(payload != nullptr || len == 0, "payload!=NULL", -1);
    if (len < 0) return -1;
    u8 *f = (u8 *)frame;
    bsv_net_hdr_init(f, BSV_TYPE_INFO);
    const pl_sys_info *sys = pl_sys_info_get();
    u8 *r = f + BSV_NET_HDR;
    bsv_put_le(r + 0, sys->sid, 8);
    bsv_put_le(r + 8, sys->boot_time, 8);
    bsv_put_le(r + 16, sys->stime, 8);
    bsv_put_le(r + 24, g_app.ver_id, 4);
    bsv_put_le(r + 28, app_id(), 2);
    r[30] = sys->os_id;
    r[31] = sys->arch_id;
    bsv_put_le(r + 32, type_id ? (u32)type_id : bsv_log_type_id(), 2);
    const char *host = sys->host_name;
    struct iovec iov[2] = {{(void *)host, strnlen(host, sizeof sys->host_name - 1) + 1},
                           {(void *)payload, (size_t)len}};
    int n = mem_gather(r + BSV_NET_INFO_HDR, BSV_NET_INFO_DATA_MAX, iov, 2);
    if (n < 0 || n >= BSV_NET_INFO_DATA_MAX) return -1;
    return bsv_net_hdr_finish(f, BSV_NET_HDR + BSV_NET_INFO_HDR + n);
}

int bsv_parse_net_type(void *frame, int len)
{
    OS_CHECK_TXT(frame != nullptr, "frame!=NULL", -1);
    u8 *f = (u8 *)frame;
    if (len < 16) {
        LOG_DBG("len=%d error: len<16 \n", len);
        return -1;
    }
    if (memcmp(f, "bsv", 3) != 0) {
        LOG_DBG("magic 0x%x-0x%x-0x%x error\n", f[0], f[1], f[2]);
        return -1;
    }
    if (f[3] > 15) {
        LOG_DBG("ver=%d not supportd\n", f[3] >> 4);
        return -1;
    }
    if (f[3] & BSV_NET_F_RC4) bsv_net_cipher(f, len);
    if ((f[3] & BSV_NET_F_CRC) && hash_crc8(f + 3, (size_t)len - 4, 0) != f[len - 1]) {
        LOG_DBG("crc check failed\n");
        return -1;
    }
    int be = f[3] & BSV_NET_F_BE;
    int dlen = get16(f + 4, be);
    if (dlen != len) {
        LOG_DBG("len=%d dlen=%d endian=%d error: len!=dlen\n", len, dlen, be);
        return -1;
    }
    return get16(f + 6, be);
}

int bsv_net_info_parse(const void *frame, int len, const bsv_value *ctx, bsv_net_info *out)
{
    OS_CHECK_TXT(frame != nullptr && out != nullptr, "frame!=NULL && info!=NULL", -1);
    OS_CHECK_TXT(info_ctx_ok(ctx), "info_ctx_ok(ctx)", -1);
    const u8 *f = (const u8 *)frame;
    if (len < 16) return -1;
    int type = get16(f + 6, f[3] & BSV_NET_F_BE);
    if (type != BSV_TYPE_INFO && type != BSV_TYPE_INFO_BE) return -1;
    // The record, without the CRC byte: the fixed fields and the host name
    // with its NUL must lie inside it.
    u64 rlen = (u64)len - BSV_NET_HDR - ((f[3] & BSV_NET_F_CRC) ? 1 : 0);
    const u8 *rec = f + BSV_NET_HDR;
    if (rlen < BSV_NET_INFO_HDR + 1) return -1;
    int swap = bsv_type_swap(type);
    u64 v[8];
    for (int i = 0; i < 8; ++i)
        if (bsv_value_read(ctx, rec, rlen, i, swap, &v[i]) != 0) return -1;
    u64 host = 0;
    if (bsv_value_read(ctx, rec, rlen, 8, swap, &host) != 0) return -1;
    out->sid = v[0];
    out->bid = v[1];
    out->stime = v[2];
    out->ver_id = (u32)v[3];
    out->app_id = (u16)v[4];
    out->os_id = (u8)v[5];
    out->arch_id = (u8)v[6];
    out->type_id = (u16)v[7];
    out->hostname = (const char *)(uintptr_t)host;
    out->data = (const u8 *)out->hostname + strlen(out->hostname) + 1;
    out->data_len = rlen - (u64)(out->data - rec);
    return 0;
}
