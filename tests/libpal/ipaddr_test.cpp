#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <string>

#include "libpal/net_test_util.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/tframe/app.h"

namespace {

using nettest::log_capture;

std::string v6_text(const os_ipv6 &ip)
{
    char buf[OS_IPV6_CSTR_MAXN];
    return os_ipv6_cstr(&ip, buf, sizeof buf) ? buf : "";
}

std::string addr_text(const os_ipaddr &a)
{
    char buf[OS_UNIXADDR_CSTR_MAXN];
    return os_ipaddr_cstr(&a, buf, sizeof buf) ? buf : "<null>";
}

os_ipaddr parse(const char *text, int family = 0, int port = 0)
{
    os_ipaddr a;
    os_ipaddr_clear(&a);
    EXPECT_EQ(os_ipaddr_set(&a, text, port, family), 1) << text;
    return a;
}

TEST(IpAddr, Ipv4AgreesWithInetPton)
{
    // Texts both parsers accept give the same bytes.
    const char *good[] = {"0.0.0.0", "127.0.0.1", "192.168.1.1", "255.255.255.255", "10.20.30.40", "1.2.3.4"};
    for (const char *t : good) {
        os_ipv4 ip;
        in_addr ref;
        ASSERT_EQ(inet_pton(AF_INET, t, &ref), 1);
        ASSERT_EQ(os_ipv4_cstr_set(&ip, t), 1) << t;
        EXPECT_EQ(memcmp(ip.addr, &ref, 4), 0) << t;
    }
    // Texts both refuse.
    const char *bad[] = {"256.1.1.1", "1.2.3", "1.2.3.4.5", "", "a.b.c.d", "1.2.3.4 ", "-1.2.3.4", "1.2.3.999"};
    for (const char *t : bad) {
        in_addr ref;
        EXPECT_EQ(inet_pton(AF_INET, t, &ref), 0) << t;
        EXPECT_EQ(os_ipv4_cstr_set(nullptr, t), 0) << t;
    }
    // Where the framework is more lenient: empty parts count as 0.
    os_ipv4 ip;
    ASSERT_EQ(os_ipv4_cstr_set(&ip, "1.2.3."), 1);
    EXPECT_EQ(ip.addr[3], 0);
    ASSERT_EQ(os_ipv4_cstr_set(&ip, "1..2.3"), 1);
    EXPECT_EQ(ip.addr[1], 0);
    EXPECT_EQ(ip.addr[2], 2);
    // A refused text still leaves what was read so far in the target.
    ASSERT_EQ(os_ipv4_cstr_set(&ip, "9.8.x"), 0);
    EXPECT_EQ(ip.addr[0], 9);
    EXPECT_EQ(ip.addr[1], 8);
}

TEST(IpAddr, Ipv4PrintMatchesInetNtop)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        u32 v = rng();
        os_ipv4 ip;
        memcpy(ip.addr, &v, 4);
        char mine[OS_IPV4_CSTR_MAXN], ref[INET_ADDRSTRLEN];
        ASSERT_NE(os_ipv4_cstr(&ip, mine, sizeof mine), nullptr);
        ASSERT_NE(inet_ntop(AF_INET, &v, ref, sizeof ref), nullptr);
        EXPECT_STREQ(mine, ref);
    }
    char small[15];
    log_capture cap;
    EXPECT_EQ(os_ipv4_cstr(nullptr, small, sizeof small), nullptr);
    os_ipv4 ip = {};
    EXPECT_EQ(os_ipv4_cstr(&ip, small, sizeof small), nullptr);
    EXPECT_TRUE(cap.has("expr[ipv4 && data && maxn >= OS_IPV4_CSTR_MAXN]: assert failed"));
}

// Random addresses with runs of zero groups, written by inet_ntop in its
// shortest form, parse back to the same bytes; our full form parses with
// inet_pton to the same bytes too.
TEST(IpAddr, Ipv6RoundTripsAgainstInetPtonAndNtop)
{
    std::mt19937 rng(11);
    for (int i = 0; i < 5000; ++i) {
        u8 bytes[16];
        for (int g = 0; g < 8; ++g) {
            u16 v = (rng() % 3 == 0) ? 0 : (u16)rng();
            bytes[2 * g] = (u8)(v >> 8);
            bytes[2 * g + 1] = (u8)v;
        }
        if (i % 50 == 0) memset(bytes, 0, 10), bytes[10] = bytes[11] = 0xff;  // mapped
        if (i % 70 == 0) memset(bytes, 0, 12);                                 // compatible
        char ref[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, bytes, ref, sizeof ref), nullptr);
        os_ipv6 ip;
        os_ipv6_clear(&ip);
        // The framework refuses a "::" that stands for a single group at the
        // end; inet_ntop never writes that form, so every text must parse.
        ASSERT_EQ(os_ipv6_cstr_set(&ip, ref), 1) << ref;
        EXPECT_EQ(memcmp(ip.addr, bytes, 16), 0) << ref;
        std::string full = v6_text(ip);
        full = full.substr(0, full.find('%'));  // link-local forms carry "%scope"
        ASSERT_EQ(full.size(), 39u) << full;
        u8 back[16];
        ASSERT_EQ(inet_pton(AF_INET6, full.c_str(), back), 1) << full;
        EXPECT_EQ(memcmp(back, bytes, 16), 0) << full;
    }
}

TEST(IpAddr, Ipv6ParserEdgeCases)
{
    const char *good[] = {"::", "::1", "1::", "fe80::1%3", "2001:db8::1", "1:2:3:4:5:6:7:8", "::ffff:10.1.2.3",
                          "::1.2.3.4", "ABCD:ef01::"};
    for (const char *t : good) EXPECT_EQ(os_ipv6_cstr_set(nullptr, t), 1) << t;
    const char *bad[] = {":::1", "1::2::3", "1:2:3:4:5:6:7:8:9", "::1:2:3:4:5:6:7", "12345::", ":1::", "1:2",
                         "g::1", "1::%", "1%5", "fe80::1%", "1:2:3:4:5:6:7::"};
    for (const char *t : bad) EXPECT_EQ(os_ipv6_cstr_set(nullptr, t), 0) << t;

    os_ipv6 ip;
    ASSERT_EQ(os_ipv6_cstr_set(&ip, "fe80::1%3"), 1);
    EXPECT_EQ(ip.scope_id, 3u);
    EXPECT_EQ(v6_text(ip), "fe80:0000:0000:0000:0000:0000:0000:0001%3");
    ASSERT_EQ(os_ipv6_cstr_set(&ip, "2001:db8::1%7"), 1);
    EXPECT_EQ(v6_text(ip), "2001:0db8:0000:0000:0000:0000:0000:0001");  // no scope for a global address
    ASSERT_EQ(os_ipv6_cstr_set(&ip, "::1"), 1);
    EXPECT_EQ(v6_text(ip), "0000:0000:0000:0000:0000:0000:0000:0001");
    // A refusal leaves the target unchanged.
    os_ipv6 before = ip;
    EXPECT_EQ(os_ipv6_cstr_set(&ip, "1::2::3"), 0);
    EXPECT_EQ(memcmp(&before, &ip, sizeof ip), 0);
}

TEST(IpAddr, Equality)
{
    os_ipaddr mapped = parse("::ffff:10.1.2.3");
    os_ipaddr v4 = parse("10.1.2.3");
    EXPECT_EQ(os_ipaddr_family(&mapped), OS_IPADDR_FAMILY_IPV6);
    EXPECT_EQ(os_ipaddr_ip_is_equal(&mapped, &v4), 1);
    EXPECT_EQ(os_ipaddr_ip_is_equal(&v4, &mapped), 1);
    os_ipaddr other = parse("10.1.2.4");
    EXPECT_EQ(os_ipaddr_ip_is_equal(&mapped, &other), 0);

    os_ipaddr ll1 = parse("fe80::1%1"), ll2 = parse("fe80::1%2");
    EXPECT_EQ(os_ipaddr_ip_is_equal(&ll1, &ll2), 0);
    os_ipaddr g1 = parse("2001:db8::1%1"), g2 = parse("2001:db8::1%2");
    EXPECT_EQ(os_ipaddr_ip_is_equal(&g1, &g2), 1);

    os_ipaddr p1 = parse("1.2.3.4", 0, 80), p2 = parse("1.2.3.4", 0, 81);
    EXPECT_EQ(os_ipaddr_ip_is_equal(&p1, &p2), 1);
    EXPECT_EQ(os_ipaddr_is_equal(&p1, &p2), 0);

    os_ipaddr none1, none2;
    os_ipaddr_clear(&none1);
    os_ipaddr_clear(&none2);
    EXPECT_EQ(os_ipaddr_ip_is_equal(&none1, &none2), 1);
    EXPECT_EQ(os_ipaddr_ip_is_equal(&none1, &v4), 0);

    os_ipaddr un;
    ASSERT_EQ(os_ipaddr_unix_set_cstr(&un, "/tmp/x", 0), 1);
    EXPECT_EQ(os_ipaddr_ip_is_equal(&un, &v4), 0);
}

TEST(IpAddr, TextForms)
{
    os_ipaddr a = parse("10.0.0.1", 0, 80);
    EXPECT_EQ(addr_text(a), "10.0.0.1:80");
    a = parse("fe80::1%2", 0, 8080);
    EXPECT_EQ(addr_text(a), "[fe80:0000:0000:0000:0000:0000:0000:0001%2]:8080");
    char buf[OS_IPADDR_CSTR_MAXN];
    EXPECT_STREQ(os_ipaddr_cstr_noport(&a, buf, sizeof buf), "[fe80:0000:0000:0000:0000:0000:0000:0001%2]");

    // No IP: "0.0.0.0:0" whatever the port.
    os_ipaddr none;
    os_ipaddr_clear(&none);
    ASSERT_EQ(os_ipaddr_set(&none, nullptr, 1234, OS_IPADDR_FAMILY_IPV4), 1);
    EXPECT_EQ(os_ipaddr_family(&none), OS_IPADDR_FAMILY_IPV4);
    EXPECT_EQ(os_ipaddr_ip_is_empty(&none), 1);
    EXPECT_EQ(addr_text(none), "0.0.0.0:0");
    EXPECT_STREQ(os_ipaddr_ip_cstr(&none, buf, sizeof buf), "0.0.0.0");

    // A local socket path keeps its ':' characters in the no-port form.
    os_ipaddr un;
    ASSERT_EQ(os_ipaddr_unix_set_cstr(&un, "/run/a:b:c.sock", 0), 1);
    char ubuf[OS_UNIXADDR_CSTR_MAXN];
    EXPECT_STREQ(os_ipaddr_cstr_noport(&un, ubuf, sizeof ubuf), "/run/a:b:c.sock");
    EXPECT_EQ(os_ipaddr_port(&un), 0);

    log_capture cap;
    EXPECT_EQ(os_ipaddr_cstr(&a, buf, 79), nullptr);
    EXPECT_EQ(os_ipaddr_cstr(&un, buf, sizeof buf), nullptr);  // 80 < 108
    EXPECT_TRUE(cap.has("maxn >= OS_UNIXADDR_CSTR_MAXN"));
}

TEST(IpAddr, LocalPathTooLongIsRefusedNotCut)
{
    std::string longest(107, 'p'), too_long(108, 'p');
    os_ipaddr un;
    os_ipaddr_clear(&un);
    EXPECT_EQ(os_ipaddr_unix_set_cstr(&un, longest.c_str(), 0), 1);
    EXPECT_EQ(std::string(un.u.un.path), longest);
    log_capture cap;
    os_ipaddr before = un;
    EXPECT_EQ(os_ipaddr_unix_set_cstr(&un, too_long.c_str(), 0), 0);
    EXPECT_EQ(memcmp(&before, &un, sizeof un), 0);
    // An abstract name has one byte less room (the leading NUL).
    EXPECT_EQ(os_ipaddr_unix_set_cstr(&un, longest.c_str(), 1), 0);
    EXPECT_EQ(os_ipaddr_ip_cstr_set(&un, too_long.c_str(), OS_IPADDR_FAMILY_UNIX), 0);
}

TEST(IpAddr, CopyAndFamilyChangesKeepNoStaleIp)
{
    os_ipaddr dst = parse("1.2.3.4", 0, 10);
    os_ipaddr src;
    os_ipaddr_clear(&src);
    os_ipaddr_family_set(&src, OS_IPADDR_FAMILY_IPV6);
    os_ipaddr_port_set(&src, 99);
    os_ipaddr_copy(&dst, &src);
    EXPECT_EQ(os_ipaddr_ip_is_empty(&dst), 1);
    EXPECT_EQ(os_ipaddr_family(&dst), OS_IPADDR_FAMILY_IPV6);
    EXPECT_EQ(os_ipaddr_port(&dst), 99);

    // IPv6 -> IPv4: a mapped address converts, any other loses its IP.
    os_ipaddr m = parse("::ffff:1.2.3.4");
    os_ipaddr_family_set(&m, OS_IPADDR_FAMILY_IPV4);
    EXPECT_EQ(addr_text(m), "1.2.3.4:0");
    os_ipaddr g = parse("2001:db8::1");
    os_ipaddr_family_set(&g, OS_IPADDR_FAMILY_IPV4);
    EXPECT_EQ(os_ipaddr_family(&g), OS_IPADDR_FAMILY_IPV4);
    EXPECT_EQ(os_ipaddr_ip_is_empty(&g), 1);

    // IPv4 -> IPv6 maps; into local socket is refused.
    os_ipaddr v4 = parse("1.2.3.4");
    os_ipaddr_family_set(&v4, OS_IPADDR_FAMILY_IPV6);
    EXPECT_EQ(v6_text(v4.u.ipv6), "0000:0000:0000:0000:0000:ffff:0102:0304");
    log_capture cap;
    os_ipaddr v4b = parse("1.2.3.4");
    os_ipaddr_family_set(&v4b, OS_IPADDR_FAMILY_UNIX);
    EXPECT_EQ(os_ipaddr_family(&v4b), OS_IPADDR_FAMILY_IPV4);
    EXPECT_TRUE(cap.has("expr[0]: assert failed"));
    os_ipaddr_family_set(&v4b, 0);
    EXPECT_EQ(v4b.family, 0);
}

TEST(IpAddr, MemberAccessConvertsInPlace)
{
    os_ipaddr a = parse("1.2.3.4", 0, 5);
    os_ipv6 *v6 = os_ipaddr_ipv6(&a);
    ASSERT_NE(v6, nullptr);
    EXPECT_EQ(os_ipaddr_family(&a), OS_IPADDR_FAMILY_IPV6);
    EXPECT_EQ(os_ipaddr_ip_is_empty(&a), 0);
    EXPECT_EQ(v6_text(*v6), "0000:0000:0000:0000:0000:ffff:0102:0304");
    os_ipv4 *v4 = os_ipaddr_ipv4(&a);
    ASSERT_NE(v4, nullptr);
    EXPECT_EQ(addr_text(a), "1.2.3.4:5");
    os_ipaddr g = parse("2001:db8::1");
    EXPECT_EQ(os_ipaddr_ipv4(&g), nullptr);
    EXPECT_EQ(os_ipaddr_unix(&g), nullptr);

    // Predicates and NULL arguments.
    EXPECT_EQ(os_ipaddr_ip_is_loopback(&g), 0);
    os_ipaddr lo6 = parse("::1"), lo4 = parse("127.0.0.1"), any6 = parse("::");
    EXPECT_EQ(os_ipaddr_ip_is_loopback(&lo6), 1);
    EXPECT_EQ(os_ipaddr_ip_is_loopback(&lo4), 1);
    EXPECT_EQ(os_ipaddr_ip_is_any(&any6), 1);
    EXPECT_EQ(os_ipaddr_ip_is_any(&lo4), 0);
    log_capture cap;
    EXPECT_EQ(os_ipaddr_ip_is_empty(nullptr), 1);
    EXPECT_EQ(os_ipv4_is_equal(nullptr, nullptr), 0);
    EXPECT_EQ(os_ipv4_cstr_set(nullptr, nullptr), 0);
    EXPECT_TRUE(cap.has("expr[cstr]: assert failed"));
    EXPECT_TRUE(cap.has("expr[ipv4 && other]: assert failed"));
}

TEST(IpAddr, AutoFamilyAndValidationOnly)
{
    os_ipaddr a;
    os_ipaddr_clear(&a);
    os_ipaddr_port_set(&a, 42);
    ASSERT_EQ(os_ipaddr_ip_cstr_set(&a, "fe80::5%9", 0), 1);
    EXPECT_EQ(os_ipaddr_family(&a), OS_IPADDR_FAMILY_IPV6);
    EXPECT_EQ(a.u.ipv6.scope_id, 9u);
    EXPECT_EQ(os_ipaddr_port(&a), 42);
    os_ipaddr before = a;
    EXPECT_EQ(os_ipaddr_ip_cstr_set(&a, "not an address", 0), 0);
    EXPECT_EQ(memcmp(&before, &a, sizeof a), 0);
    EXPECT_EQ(os_ipaddr_ip_cstr_set(nullptr, "10.0.0.1", 0), 1);
    EXPECT_EQ(os_ipaddr_ip_cstr_set(nullptr, "10.0.0.1", OS_IPADDR_FAMILY_IPV6), 0);
}

// Where a local client reaches a server that listens on a list.
TEST(IpAddr, LocalAddressOfAListenList)
{
    const char *cases[][2] = {
        {nullptr, "127.0.0.1"},         {"", "127.0.0.1"},
        {";,", "127.0.0.1"},            {"127.0.0.2", "127.0.0.2"},
        {"127.0.0.2,127.0.0.1", "127.0.0.1"}, {";nohost;127.0.0.3;::1", "127.0.0.3"},
        {"::1", "::1"},                 {"0.0.0.0;10.0.0.1", "127.0.0.1"},
        {"::", "::1"},                  {"::1;127.0.0.2", "::1"},
    };
    for (auto &c : cases) {
        char buf[64] = "";
        EXPECT_STREQ(app_local_addr(c[0], buf, sizeof buf), c[1]) << (c[0] ? c[0] : "NULL");
    }
}

}  // namespace
