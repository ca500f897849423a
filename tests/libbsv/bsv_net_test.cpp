#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_type.h"
#include "libpal/libpal.h"
#include "libpal/tframe/app.h"

namespace {

using bytes_t = std::vector<u8>;

bytes_t hex(const char *h)
{
    bytes_t out;
    for (const char *p = h; *p;) {
        if (*p == ' ' || *p == '|' || *p == '\n') {
            ++p;
            continue;
        }
        out.push_back((u8)std::stoi(std::string(p, 2), nullptr, 16));
        p += 2;
    }
    return out;
}

// ---- an independent decoder, written from the frame's byte layout ----

u8 ref_crc8(const u8 *p, size_t n)
{
    u8 c = 0;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int b = 0; b < 8; ++b) c = (u8)(c & 0x80 ? (c << 1) ^ 0x07 : c << 1);
    }
    return c;
}

bytes_t ref_rc4(const bytes_t &in)
{
    static const u8 key[16] = {0x3f, 0x1a, 0x7c, 0x0e, 0x92, 0xb4, 0x5d, 0x68,
                               0xe0, 0x1c, 0x7a, 0x9b, 0x2f, 0x46, 0x3d, 0x85};
    u8 s[256];
    for (int i = 0; i < 256; ++i) s[i] = (u8)i;
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + key[i % 16]) & 255;
        std::swap(s[i], s[j]);
    }
    bytes_t out(in);
    for (size_t n = 0, i = 0, j = 0; n < out.size(); ++n) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        out[n] ^= s[(s[i] + s[j]) & 255];
    }
    return out;
}

u64 rd(const u8 *p, int n, bool be)
{
    u64 v = 0;
    for (int i = 0; i < n; ++i) v |= (u64)p[be ? n - 1 - i : i] << (8 * i);
    return v;
}

struct ref_frame {
    bool ok = false;
    int type = 0;
    bytes_t record;  // without the CRC byte
};

ref_frame ref_check(bytes_t b)
{
    ref_frame r;
    size_t n = b.size();
    if (n < 16 || memcmp(b.data(), "bsv", 3) != 0 || b[3] > 15) return r;
    if (b[3] & 4) {
        bytes_t tail(b.begin() + 4, b.end());
        tail = ref_rc4(tail);
        std::copy(tail.begin(), tail.end(), b.begin() + 4);
    }
    if ((b[3] & 2) && ref_crc8(&b[3], n - 4) != b[n - 1]) return r;
    bool be = b[3] & 1;
    if (rd(&b[4], 2, be) != n) return r;
    r.type = (int)rd(&b[6], 2, be);
    r.record.assign(b.begin() + 8, b.end() - ((b[3] & 2) ? 1 : 0));
    r.ok = true;
    return r;
}

// The log record of the worked example, encoded by hand.
bytes_t example_record()
{
    bytes_t r;
    auto le = [&r](u64 v, int n) {
        for (int i = 0; i < n; ++i) r.push_back((u8)(v >> (8 * i)));
    };
    le(1700000000, 8);
    le(250000, 4);
    le(4242, 4);
    le(4243, 4);
    le(6, 1);
    for (const char *s : {"main", "main_1a2b_4243", "src/opt/vkto/main", "42", "main", "hello\n"})
        r.insert(r.end(), s, s + strlen(s) + 1);
    return r;
}

struct BsvNet : ::testing::Test {
    void SetUp() override
    {
        pl_sys_info *s = pl_sys_info_get();
        saved = *s;
        s->sid = 0x0000F6E5D4C3B2A1ull;
        s->boot_time = 1699990000;
        s->stime = 1699999990;
        s->os_id = 2;
        s->arch_id = 42;
        strcpy(s->host_name, "none");
        g_app.ver_id = 0x01000000;
        bsv_net_cipher_set(0);
        info = bsv_type_open_value(BSV_TYPE_INFO);
        ASSERT_NE(info, nullptr);
    }
    void TearDown() override
    {
        *pl_sys_info_get() = saved;
        bsv_net_cipher_set(0);
        bsv_value_exit(info);
    }
    pl_sys_info saved;
    bsv_value *info = nullptr;
};

TEST_F(BsvNet, WorkedExampleBytesPlainAndCiphered)
{
    bytes_t rec = example_record();
    ASSERT_EQ(rec.size(), 74u);
    bytes_t want = hex("62737602 7a000500"
                       "a1b2c3d4e5f60000 f0c9536500000000 f6f0536500000000 00000001 0000 02 2a 0100"
                       "6e6f6e6500");
    want.insert(want.end(), rec.begin(), rec.end());
    want.push_back(0xf5);

    u8 f[BSV_NET_MAX];
    int n = bsv_net_info_build(f, 1, rec.data(), (int)rec.size());
    ASSERT_EQ(n, 122);
    EXPECT_EQ(bytes_t(f, f + n), want);

    ref_frame r = ref_check(bytes_t(f, f + n));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.type, 5);
    EXPECT_EQ(bytes_t(r.record.begin() + 39, r.record.end()), rec);

    // The decoder's keystream is the one the layout gives.
    EXPECT_EQ(ref_rc4(bytes_t(16, 0)), hex("3024ea61ec20ae5804de39f661fd14a8"));

    bsv_net_cipher_set(1);
    n = bsv_net_info_build(f, 1, rec.data(), (int)rec.size());
    ASSERT_EQ(n, 122);
    EXPECT_EQ(bytes_t(f, f + 16), hex("627376064a24ef614d926d8ce12839f6"));
    EXPECT_EQ(bytes_t(f + n - 4, f + n), hex("1b54c245"));
    r = ref_check(bytes_t(f, f + n));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(bytes_t(r.record.begin() + 39, r.record.end()), rec);

    // The library's own checker restores the clear text in place.
    EXPECT_EQ(bsv_parse_net_type(f, n), 5);
    EXPECT_EQ(f[3], 6);
    EXPECT_EQ(f[n - 1], 0x4c);
    bsv_net_info ni;
    ASSERT_EQ(bsv_net_info_parse(f, n, info, &ni), 0);
    EXPECT_EQ(ni.sid, 0x0000F6E5D4C3B2A1ull);
    EXPECT_EQ(ni.bid, 1699990000u);
    EXPECT_EQ(ni.stime, 1699999990u);
    EXPECT_EQ(ni.ver_id, 0x01000000u);
    EXPECT_EQ(ni.os_id, 2);
    EXPECT_EQ(ni.arch_id, 42);
    EXPECT_EQ(ni.type_id, 1);
    EXPECT_STREQ(ni.hostname, "none");
    EXPECT_EQ(bytes_t(ni.data, ni.data + ni.data_len), rec);
}

TEST_F(BsvNet, LengthLimitsAndCrc)
{
    u8 f[2000] = {};
    bsv_net_hdr_init(f, 1);
    for (int i = 8; i < 100; ++i) f[i] = (u8)i;
    ASSERT_EQ(bsv_net_hdr_finish(f, 100), 101);
    EXPECT_EQ(f[4] | f[5] << 8, 101);
    EXPECT_EQ(f[100], ref_crc8(f + 3, 97));
    EXPECT_EQ(bsv_parse_net_type(bytes_t(f, f + 101).data(), 101), 1);
    {
        testutil::log_capture cap;
        for (int i = 3; i <= 100; ++i) {
            bytes_t c(f, f + 101);
            c[i] ^= 0x10;
            EXPECT_EQ(bsv_parse_net_type(c.data(), 101), -1) << i;
        }
        EXPECT_TRUE(cap.has("crc check failed\n"));
    }
    bsv_net_hdr_init(f, 1);
    EXPECT_EQ(bsv_net_hdr_finish(f, 1471), 1472);
    EXPECT_EQ(bsv_net_hdr_finish(f, 1472), -1);

    // Host name with its NUL and payload: 1429 bytes fit, 1430 do not.
    bytes_t pay(1429 - 5, 'p');
    EXPECT_EQ(bsv_net_info_build(f, 1, pay.data(), (int)pay.size()), 1472);
    pay.push_back('p');
    EXPECT_EQ(bsv_net_info_build(f, 1, pay.data(), (int)pay.size()), -1);
}

TEST_F(BsvNet, BadFramesAreRefusedWithTheirReason)
{
    testutil::log_capture cap;
    u8 f[256] = {'b', 's', 'v', 0x12};
    EXPECT_EQ(bsv_parse_net_type(f, 15), -1);
    EXPECT_TRUE(cap.has("len=15 error: len<16 \n"));
    EXPECT_EQ(bsv_parse_net_type(f, 20), -1);
    EXPECT_TRUE(cap.has("ver=1 not supportd\n"));
    f[0] = 'x';
    EXPECT_EQ(bsv_parse_net_type(f, 20), -1);
    EXPECT_TRUE(cap.has("magic 0x78-0x73-0x76 error\n"));
    memcpy(f, "bsv\0", 4);
    f[4] = 200;
    EXPECT_EQ(bsv_parse_net_type(f, 199), -1);
    EXPECT_TRUE(cap.has("len=199 dlen=200 endian=0 error: len!=dlen\n"));
}

// Big-endian info frame (type 6, flags 3) made by the test's own encoder.
TEST_F(BsvNet, BigEndianInfoFrameAndShortRecords)
{
    bytes_t b = {'b', 's', 'v', 3, 0, 0, 0, 6};
    auto be = [&b](u64 v, int n) {
        for (int i = n - 1; i >= 0; --i) b.push_back((u8)(v >> (8 * i)));
    };
    be(0x1122334455667788ull, 8);
    be(7, 8);
    be(9, 8);
    be(0x01020304, 4);
    be(3, 2);
    b.push_back(2);
    b.push_back(42);
    be(1, 2);
    for (char c : std::string("host")) b.push_back((u8)c);
    b.push_back(0);
    b.push_back('D');
    b.push_back(0);  // CRC placeholder
    b[5] = (u8)b.size();
    b.back() = ref_crc8(&b[3], b.size() - 4);
    bytes_t c(b);
    ASSERT_EQ(bsv_parse_net_type(c.data(), (int)c.size()), 6);
    bsv_net_info ni;
    ASSERT_EQ(bsv_net_info_parse(c.data(), (int)c.size(), info, &ni), 0);
    EXPECT_EQ(ni.sid, 0x1122334455667788ull);
    EXPECT_EQ(ni.ver_id, 0x01020304u);
    EXPECT_EQ(ni.app_id, 3);
    EXPECT_EQ(ni.type_id, 1);
    EXPECT_STREQ(ni.hostname, "host");
    ASSERT_EQ(ni.data_len, 1u);
    EXPECT_EQ(ni.data[0], 'D');

    // Frames cut anywhere (the header length follows) never parse past
    // their end: the host name must end inside the record.
    for (size_t n = 16; n < b.size(); ++n) {
        bytes_t s(b.begin(), b.begin() + (long)n);
        s[5] = (u8)n;
        bool has_nul = n - 1 > 8 + 34 && memchr(&s[8 + 34], 0, n - 1 - 8 - 34);
        EXPECT_EQ(bsv_net_info_parse(s.data(), (int)n, info, &ni), has_nul ? 0 : -1) << n;
    }
    bsv_value *log = bsv_type_open_value(BSV_TYPE_LOG);
    EXPECT_EQ(bsv_net_info_parse(c.data(), (int)c.size(), log, &ni), -1);
    bsv_value_exit(log);
}

// Every frame has its own cipher state: threads that build and check
// enciphered frames at once never see each other's keystream.
TEST_F(BsvNet, ConcurrencyCipheredFramesPerThread)
{
    bsv_net_cipher_set(1);
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&bad, t, this] {
            u8 f[BSV_NET_MAX];
            bytes_t pay(100 + t * 300, (u8)('a' + t));
            for (int i = 0; i < 300; ++i) {
                int n = bsv_net_info_build(f, 1, pay.data(), (int)pay.size());
                ref_frame r = ref_check(bytes_t(f, f + n));
                bsv_net_info ni;
                if (!r.ok || bsv_parse_net_type(f, n) != 5 || bsv_net_info_parse(f, n, info, &ni) != 0 ||
                    bytes_t(ni.data, ni.data + ni.data_len) != pay)
                    ++bad;
            }
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
