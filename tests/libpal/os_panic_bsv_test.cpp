#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libpal/env/tid_name.h"
#include "libpal/os/posix/os_panic.h"

// The crash report's road to the bsv outputs gives the bytes the ordinary
// record hook gives for the same record: the same frames, file records
// and ring records, apart from the time fields.

namespace {

struct outputs {
    std::mutex mu;
    std::vector<std::string> frames, recs;
};
outputs g_ordinary, g_safe;

int put_frame(outputs &o, const void *p, int n)
{
    std::lock_guard<std::mutex> g(o.mu);
    o.frames.emplace_back((const char *)p, (size_t)n);
    return 0;
}

int put_rec(outputs &o, const void *p, int n)
{
    std::lock_guard<std::mutex> g(o.mu);
    o.recs.emplace_back((const char *)p, (size_t)n);
    return 0;
}

int ordinary_udp(int, const void *f, int n, void *) { return put_frame(g_ordinary, f, n); }
int safe_udp(int, const void *f, int n, void *) { return put_frame(g_safe, f, n); }
int ordinary_file(int, const void *r, int n, void *) { return put_rec(g_ordinary, r, n); }
int safe_file(int, const void *r, int n, void *) { return put_rec(g_safe, r, n); }

constexpr int kTime = 12;  // sec and usec lead every log record

// The strings of a log record.
std::vector<std::string> strings_of(const std::string &rec)
{
    std::vector<std::string> out;
    for (size_t at = BSV_LOG_HDR; at < rec.size();) {
        size_t z = rec.find('\0', at);
        if (z == std::string::npos) break;
        out.push_back(rec.substr(at, z - at));
        at = z + 1;
    }
    return out;
}

// Offset of the log record inside a checked (deciphered) info frame.
size_t record_at(const std::string &f)
{
    return f.find('\0', BSV_NET_HDR + BSV_NET_INFO_HDR) + 1;
}

void expect_same_frame(std::string a, std::string b, const std::string &what)
{
    ASSERT_EQ(bsv_parse_net_type(a.data(), (int)a.size()), 5) << what;
    ASSERT_EQ(bsv_parse_net_type(b.data(), (int)b.size()), 5) << what;
    ASSERT_EQ(a.size(), b.size()) << what;
    size_t r = record_at(a);
    // Header, identity, host name: all equal; the record but its time too.
    EXPECT_EQ(a.substr(0, r), b.substr(0, r)) << what;
    EXPECT_EQ(a.substr(r + kTime, a.size() - r - kTime - 1), b.substr(r + kTime, b.size() - r - kTime - 1))
        << what;
}

struct Case {
    int level;
    std::string msg;
    bool frame;
};

// Runs every case through both hooks on the calling thread and compares
// what each output got; the tid_name the records carry.
std::string compare_on_this_thread(bsv_log_handle *ring, bool safe_first)
{
    const std::vector<Case> cases = {
        {2 | 0x200 | 0x800, "[12:00:00 [7] call_null(): user req null=0 !!\n]", true},
        {2 | 0x200 | 0x400, "signo=11 [Segmentation fault]\n", true},
        {2 | 0x200, "appver: 9.8.7\n", false},
        {2 | 0x200 | 0x400, std::string(2000, 'x'), false},  // too long for a frame
    };
    std::string name;
    for (const Case &c : cases) {
        for (outputs *o : {&g_ordinary, &g_safe}) {
            o->frames.clear();
            o->recs.clear();
        }
        for (int k = 0; k < 2; ++k) {
            bool safe = (k == 0) == safe_first;
            const char *file = "d:\\work\\vel\\src/lib/libpal/os/posix/os_panic";
            auto hook = safe ? bsv_log_hook_safe : bsv_log_hook;
            hook(c.level, "pal", file, 345, "panic_handler", c.msg.c_str());
        }
        std::string what = c.msg.substr(0, 40);
        EXPECT_EQ(g_ordinary.frames.size(), c.frame ? 1u : 0u) << what;
        EXPECT_EQ(g_safe.frames.size(), g_ordinary.frames.size()) << what;
        if (c.frame && g_safe.frames.size() == 1 && g_ordinary.frames.size() == 1)
            expect_same_frame(g_ordinary.frames[0], g_safe.frames[0], what);
        EXPECT_EQ(g_ordinary.recs.size(), 1u) << what;
        EXPECT_EQ(g_safe.recs.size(), 1u) << what;
        if (g_safe.recs.size() == 1 && g_ordinary.recs.size() == 1) {
            EXPECT_EQ(g_ordinary.recs[0].substr(kTime), g_safe.recs[0].substr(kTime)) << what;
            auto s = strings_of(g_safe.recs[0]);
            EXPECT_EQ(s.at(2), "src/lib/libpal/os/posix/os_panic");
            name = s.at(1);
        }
        // Both records reached the ring, the same way.
        const u8 *r1 = nullptr, *r2 = nullptr;
        int n1 = bsv_read_raw_log(ring, &r1);
        std::string first = n1 > 0 ? std::string((const char *)r1, (size_t)n1) : "";
        int n2 = bsv_read_raw_log(ring, &r2);
        std::string second = n2 > 0 ? std::string((const char *)r2, (size_t)n2) : "";
        EXPECT_GT(n1, kTime) << what;
        EXPECT_EQ(n1, n2) << what;
        if (n1 > kTime && n1 == n2) {
            EXPECT_EQ(first.substr(kTime), second.substr(kTime)) << what;
        }
        EXPECT_EQ(bsv_read_raw_log(ring, &r1), 0) << what;
    }
    return name;
}

TEST(OsPanicBsv, SafeHookGivesTheBytesOfTheOrdinaryHook)
{
    bsv_log_safe_init();
    bsv_log_handle *ring = bsv_open_log();
    ASSERT_NE(ring, nullptr);
    bsv_log_set_udp_proc(ordinary_udp, nullptr, safe_udp);
    bsv_log_set_file_proc(ordinary_file, nullptr, safe_file);
    for (int cipher : {0, 1}) {
        bsv_net_cipher_set(cipher);
        // A named thread whose name another thread's change has made stale
        // in the registry's generation: its kept name still holds.
        std::string named;
        std::thread t([&] {
            os_thread_name_set("crasher");
            std::thread([] {
                os_thread_name_set("other");
                os_thread_name_del();
            }).join();
            named = compare_on_this_thread(ring, true);
            os_thread_name_del();
        });
        t.join();
        EXPECT_EQ(named.rfind("crasher_", 0), 0u) << named;
        // A thread without a name: the bare id, whichever hook comes first.
        std::string bare;
        std::thread u([&] { bare = compare_on_this_thread(ring, true); });
        u.join();
        EXPECT_NE(bare, "");
        EXPECT_EQ(bare.find_first_not_of("0123456789"), std::string::npos) << bare;
        std::thread w([&] { compare_on_this_thread(ring, false); });
        w.join();
    }
    bsv_net_cipher_set(0);
    // Without the ordinary procedure, nothing goes to the safe one either.
    bsv_log_set_udp_proc(nullptr, nullptr, safe_udp);
    bsv_log_set_file_proc(nullptr, nullptr);
    g_safe.frames.clear();
    bsv_log_hook_safe(2 | 0x400, "pal", "src/x", 1, "f", "m\n");
    EXPECT_TRUE(g_safe.frames.empty());
    bsv_close_log(ring);
}

// The crash report tries a lock for a bounded number of times and gives it
// up for good when it stays taken, so a report waits for each lock once.
TEST(OsPanicBsv, ALockThatStaysTakenIsTriedOnce)
{
    static int tries = 0;
    auto never = [](void *) -> bool {
        ++tries;
        return false;
    };
    static int key_a, key_b;
    EXPECT_FALSE(os_panic_try_lock(&key_a, never, nullptr));
    EXPECT_EQ(tries, 20);
    EXPECT_FALSE(os_panic_try_lock(&key_a, never, nullptr));
    EXPECT_EQ(tries, 20) << "a lock given up is not tried again";
    tries = 0;
    auto third = [](void *) -> bool { return ++tries == 3; };
    EXPECT_TRUE(os_panic_try_lock(&key_b, third, nullptr));
    EXPECT_EQ(tries, 3);
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    EXPECT_TRUE(os_panic_trylock(&m));
    pthread_mutex_unlock(&m);
}

}  // namespace
