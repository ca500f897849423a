#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/hash/crc"
#include "libpal/hash/crc.h"

#include <array>
#include <cstring>
#include <utility>

#include "liblog/log.h"

namespace {

constexpr std::array<u8, 256> make_crc8()
{
    std::array<u8, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        u8 c = (u8)i;
        for (int k = 0; k < 8; ++k) c = (u8)((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
        t[i] = c;
    }
    return t;
}

// MSB-first 0x8005, each entry stored with its two bytes swapped.
constexpr std::array<u16, 256> make_crc16()
{
    std::array<u16, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        u16 c = (u16)(i << 8);
        for (int k = 0; k < 8; ++k) c = (u16)((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
        t[i] = (u16)((c >> 8) | (c << 8));
    }
    return t;
}

constexpr std::array<u32, 256> make_crc32()
{
    std::array<u32, 256> t{};
    for (u32 i = 0; i < 256; ++i) {
        u32 c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<u64, 256> make_crc64()
{
    std::array<u64, 256> t{};
    for (u64 i = 0; i < 256; ++i) {
        u64 c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x95AC9329AC4BC9B5ull : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr auto kCrc8 = make_crc8();
constexpr auto kCrc16 = make_crc16();
constexpr auto kCrc32 = make_crc32();
constexpr auto kCrc64 = make_crc64();

// Slicing-by-8 tables for CRC-8: t[k][x] is the register after the byte x
// and k zero bytes.
struct crc8_slices {
    u8 t[8][256];
    constexpr crc8_slices() : t{}
    {
        for (int i = 0; i < 256; ++i) t[0][i] = kCrc8[i];
        for (int k = 1; k < 8; ++k)
            for (int i = 0; i < 256; ++i) t[k][i] = kCrc8[t[k - 1][i]];
    }
};
constexpr crc8_slices kCrc8s;

// Slicing-by-8 tables for CRC-32, derived from the byte table.
struct crc32_slices {
    u32 t[8][256];
    constexpr crc32_slices() : t{}
    {
        for (int i = 0; i < 256; ++i) t[0][i] = kCrc32[i];
        for (int k = 1; k < 8; ++k)
            for (int i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
    }
};
constexpr crc32_slices kCrc32s;

// CRC-32 register arithmetic in the reflected form: bit 31 stands for x^0.
constexpr u32 kPoly32 = 0xEDB88320u;

// a * b modulo the polynomial.
constexpr u32 crc32_mulmod(u32 a, u32 b)
{
    u32 m = 1u << 31, p = 0;
    for (;;) {
        if (a & m) {
            p ^= b;
            if ((a & (m - 1)) == 0) break;
        }
        m >>= 1;
        b = (b & 1) ? (b >> 1) ^ kPoly32 : b >> 1;
    }
    return p;
}

// x^(8n) modulo the polynomial: multiplying a register by it is the same
// as running n zero bytes through it.
constexpr u32 crc32_x8n(size_t n)
{
    u32 p = 1u << 31;
    for (size_t i = 0; i < 8 * n; ++i) p = (p & 1) ? (p >> 1) ^ kPoly32 : p >> 1;
    return p;
}

inline u32 crc32_step8(u32 c, const u8 *p)
{
    u64 v;
    memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    u32 lo = (u32)v ^ c, hi = (u32)(v >> 32);
    return kCrc32s.t[7][lo & 0xff] ^ kCrc32s.t[6][(lo >> 8) & 0xff] ^
           kCrc32s.t[5][(lo >> 16) & 0xff] ^ kCrc32s.t[4][lo >> 24] ^ kCrc32s.t[3][hi & 0xff] ^
           kCrc32s.t[2][(hi >> 8) & 0xff] ^ kCrc32s.t[1][(hi >> 16) & 0xff] ^ kCrc32s.t[0][hi >> 24];
}

// Consecutive blocks of B bytes, one per stream, run as independent
// streams so that their table look-ups overlap; the registers are then
// joined by shifting each over the blocks that follow it.
constexpr size_t kStreams = 5;
template <size_t B, size_t... K>
inline u32 crc32_nway(u32 c, const u8 *p, std::index_sequence<K...>)
{
    static constexpr u32 kShift = crc32_x8n(B);
    u32 r[sizeof...(K)] = {c};
    for (size_t i = 0; i < B; i += 8) ((r[K] = crc32_step8(r[K], p + K * B + i)), ...);
    c = r[0];
    for (size_t k = 1; k < sizeof...(K); ++k) c = crc32_mulmod(kShift, c) ^ r[k];
    return c;
}

}  // namespace

u8 hash_crc8(const void *data, size_t len, u8 init)
{
    OS_CHECK_TXT(data != nullptr || len == 0, "data", 0);
    const u8 *p = (const u8 *)data;
    u8 c = init;
    size_t i = 0;
    // Eight bytes per step: their look-ups are independent of each other.
    for (; i + 8 <= len; i += 8)
        c = kCrc8s.t[7][c ^ p[i]] ^ kCrc8s.t[6][p[i + 1]] ^ kCrc8s.t[5][p[i + 2]] ^
            kCrc8s.t[4][p[i + 3]] ^ kCrc8s.t[3][p[i + 4]] ^ kCrc8s.t[2][p[i + 5]] ^
            kCrc8s.t[1][p[i + 6]] ^ kCrc8s.t[0][p[i + 7]];
    for (; i < len; ++i) c = kCrc8[c ^ p[i]];
    return c;
}

u16 hash_crc16(const void *data, size_t len, u16 init)
{
    OS_CHECK_TXT(data != nullptr || len == 0, "data", 0);
    const u8 *p = (const u8 *)data;
    u16 c = init;
    for (size_t i = 0; i < len; ++i) c = (u16)(kCrc16[(c ^ p[i]) & 0xff] ^ (c >> 8));
    return c;
}

u32 hash_crc32(const void *data, size_t len, u32 init)
{
    OS_CHECK_TXT(data != nullptr || len == 0, "data", 0);
    const u8 *p = (const u8 *)data;
    u32 c = ~init;
    constexpr auto streams = std::make_index_sequence<kStreams>();
    for (; len >= kStreams * 4096; p += kStreams * 4096, len -= kStreams * 4096)
        c = crc32_nway<4096>(c, p, streams);
    for (; len >= kStreams * 256; p += kStreams * 256, len -= kStreams * 256)
        c = crc32_nway<256>(c, p, streams);
    for (; len >= 8; p += 8, len -= 8) c = crc32_step8(c, p);
    while (len--) c = (c >> 8) ^ kCrc32[(c ^ *p++) & 0xff];
    return ~c;
}

u64 hash_crc64(const void *data, size_t len, u64 init)
{
    OS_CHECK_TXT(data != nullptr || len == 0, "data", 0);
    const u8 *p = (const u8 *)data;
    u64 c = init;
    for (size_t i = 0; i < len; ++i) c = kCrc64[(c ^ p[i]) & 0xff] ^ (c >> 8);
    return c;
}

void rc4_init(rc4_state *st, const void *key, size_t key_len)
{
    OS_CHECK_RET_VOID(st != nullptr);
    OS_CHECK_RET_VOID(key != nullptr || key_len == 0);
    const u8 *k = (const u8 *)key;
    for (int i = 0; i < 256; ++i) st->s[i] = (u8)i;
    u8 j = 0;
    for (int i = 0; i < 256; ++i) {
        j = (u8)(j + st->s[i] + (key_len ? k[i % key_len] : 0));
        u8 t = st->s[i];
        st->s[i] = st->s[j];
        st->s[j] = t;
    }
    st->i = st->j = 0;
}

void rc4_crypt(rc4_state *st, const void *in, void *out, size_t len)
{
    OS_CHECK_RET_VOID(st != nullptr);
    OS_CHECK_RET_VOID((in != nullptr && out != nullptr) || len == 0);
    const u8 *src = (const u8 *)in;
    u8 *dst = (u8 *)out;
    // The permutation works in a local copy: the output bytes cannot alias
    // it, so it stays out of memory between the steps.
    u8 s[256];
    memcpy(s, st->s, sizeof s);
    u8 i = 0, j = 0;
    for (size_t n = 0; n < len; ++n) {
        i = (u8)(i + 1);
        j = (u8)(j + s[i]);
        u8 t = s[i];
        s[i] = s[j];
        s[j] = t;
        dst[n] = src[n] ^ s[(u8)(s[i] + s[j])];
    }
    memcpy(st->s, s, sizeof s);
}
