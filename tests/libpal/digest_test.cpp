#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"

namespace {

std::string hex(const u8 *d, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

std::string sha1_hex(const std::string &m)
{
    u8 d[20];
    hash_sha1(m.data(), m.size(), d);
    return hex(d, 20);
}

std::string md5_hex(const std::string &m)
{
    u8 d[16];
    hash_md5(m.data(), m.size(), d);
    return hex(d, 16);
}

std::string openssl_hex(const EVP_MD *md, const std::vector<u8> &m)
{
    u8 d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(m.data(), m.size(), d, &n, md, nullptr);
    return hex(d, n);
}

TEST(Digest, PublishedVectors)
{
    EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    sha1_ctx c;
    hash_sha1_init(&c);
    std::string a(1000, 'a');
    for (int i = 0; i < 1000; ++i) hash_sha1_update(&c, a.data(), a.size());
    u8 d[20];
    hash_sha1_final(&c, d);
    EXPECT_EQ(hex(d, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    // The context is wiped after final.
    sha1_ctx zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&c, &zero, sizeof c), 0);

    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");

    char s[MD5_STR_LEN];
    EXPECT_STREQ(hash_md5_str("abc", s), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_STREQ(hash_md5_str("", s), "");
}

// Random lengths around the block and padding boundaries, fed in random
// pieces, against OpenSSL.
TEST(Digest, AgreesWithOpenssl)
{
    std::mt19937 rng(42);
    for (int round = 0; round < 400; ++round) {
        size_t n = round < 200 ? (size_t)round : rng() % 20000;
        std::vector<u8> m(n);
        for (auto &b : m) b = (u8)rng();
        sha1_ctx sc;
        md5_ctx mc;
        hash_sha1_init(&sc);
        hash_md5_init(&mc);
        for (size_t off = 0; off < n;) {
            size_t piece = std::min(n - off, (size_t)(rng() % 150));
            hash_sha1_update(&sc, m.data() + off, piece);
            hash_md5_update(&mc, m.data() + off, piece);
            off += piece;
        }
        u8 sd[20], md[16];
        hash_sha1_final(&sc, sd);
        hash_md5_final(&mc, md);
        ASSERT_EQ(hex(sd, 20), openssl_hex(EVP_sha1(), m)) << n;
        ASSERT_EQ(hex(md, 16), openssl_hex(EVP_md5(), m)) << n;
    }
}

TEST(Digest, SavedContextsContinue)
{
    std::string m(1000, 0);
    for (size_t i = 0; i < m.size(); ++i) m[i] = (char)(i * 7);
    for (size_t cut : {0, 1, 63, 64, 100, 999}) {
        sha1_ctx a, b;
        hash_sha1_init(&a);
        hash_sha1_update(&a, m.data(), cut);
        char text[1024];
        ASSERT_EQ(hash_sha1_ctx_save(&a, text, sizeof text), 0);
        EXPECT_EQ(std::count(text, text + strlen(text), ','), 70);
        memset(&b, 0x5a, sizeof b);
        ASSERT_EQ(hash_sha1_ctx_load(&b, text), 0);
        hash_sha1_update(&b, m.data() + cut, m.size() - cut);
        u8 d[20];
        hash_sha1_final(&b, d);
        EXPECT_EQ(hex(d, 20), sha1_hex(m)) << cut;

        md5_ctx x, y;
        hash_md5_init(&x);
        hash_md5_update(&x, m.data(), cut);
        ASSERT_EQ(hash_md5_ctx_save(&x, text, sizeof text), 0);
        EXPECT_EQ(std::count(text, text + strlen(text), ','), 69);
        ASSERT_EQ(hash_md5_ctx_load(&y, text), 0);
        hash_md5_update(&y, m.data() + cut, m.size() - cut);
        u8 e[16];
        hash_md5_final(&y, e);
        EXPECT_EQ(hex(e, 16), md5_hex(m)) << cut;
    }

    sha1_ctx a;
    hash_sha1_init(&a);
    char text[1024];
    ASSERT_EQ(hash_sha1_ctx_save(&a, text, sizeof text), 0);
    EXPECT_EQ(std::string(text, 10), "67452301,e");
    // A buffer too small is reported, not filled with a cut text.
    char small[40];
    EXPECT_EQ(hash_sha1_ctx_save(&a, small, sizeof small), -1);
    EXPECT_STREQ(small, "");

    sha1_ctx before = a, t = a;
    std::string s = text;
    std::string fewer = s.substr(0, s.rfind(','));                 // 70 fields
    EXPECT_EQ(hash_sha1_ctx_load(&t, fewer.c_str()), -1);
    EXPECT_EQ(hash_sha1_ctx_load(&t, (s + ",0").c_str()), -1);     // 72 fields
    std::string bad = s;
    bad[0] = 'g';
    EXPECT_EQ(hash_sha1_ctx_load(&t, bad.c_str()), -1);
    EXPECT_EQ(hash_sha1_ctx_load(&t, ("," + s.substr(s.find(',') + 1)).c_str()), -1);  // empty field
    EXPECT_EQ(hash_sha1_ctx_load(&t, ("0x1" + s.substr(s.find(','))).c_str()), -1);
    EXPECT_EQ(hash_sha1_ctx_load(&t, nullptr), -1);
    EXPECT_EQ(memcmp(&t, &before, sizeof t), 0);
    md5_ctx mc;
    hash_md5_init(&mc);
    EXPECT_EQ(hash_md5_ctx_load(&mc, text), -1);  // 71 fields are a SHA-1 context
}

TEST(Digest, Files)
{
    char path[] = "/tmp/vk_md5_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    u8 d[16];
    char s[MD5_STR_LEN] = "x";
    EXPECT_EQ(hash_md5_file(path, d), -1);  // empty
    EXPECT_EQ(hash_md5_file_str(path, s), -1);
    EXPECT_STREQ(s, "");
    std::string big(100000, 'q');
    ASSERT_EQ(write(fd, big.data(), big.size()), (ssize_t)big.size());
    close(fd);
    EXPECT_EQ(hash_md5_file(path, d), 0);
    EXPECT_EQ(hex(d, 16), md5_hex(big));
    EXPECT_EQ(hash_md5_file_str(path, s), 0);
    EXPECT_EQ(std::string(s), md5_hex(big));
    unlink(path);
    EXPECT_EQ(hash_md5_file("/nonexistent/file", d), -1);
}

}  // namespace
