#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libpal/qexpr/mem_search.h"

namespace {

// Exactly sized heap copy, so that a read past the end shows under ASan.
struct exact {
    std::unique_ptr<u8[]> p;
    size_t n;
    explicit exact(const std::string &s) : p(new u8[s.size() ? s.size() : 1]), n(s.size())
    {
        memcpy(p.get(), s.data(), s.size());
    }
};

i64 at(const u8 *hit, const exact &h)
{
    return hit ? hit - h.p.get() : -1;
}

i64 bmh(const std::string &hay, const std::string &needle)
{
    exact h(hay), n(needle);
    return at(mem_bmh_search(h.p.get(), h.n, n.p.get(), n.n), h);
}

i64 naive(const std::string &hay, const std::string &needle, const std::string &mask)
{
    if (needle.empty() || needle.size() > hay.size()) return -1;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && (hay[i + k] == needle[k] || (!mask.empty() && mask[k] == '?'))) ++k;
        if (k == needle.size()) return (i64)i;
    }
    return -1;
}

TEST(MemSearch, ShiftTableSearch)
{
    EXPECT_EQ(bmh("hello world", "world"), 6);  // the window ends at the haystack's end
    EXPECT_EQ(bmh("hello world", "hello"), 0);
    EXPECT_EQ(bmh("hello world", "o w"), 4);
    EXPECT_EQ(bmh("hello world", "worlds"), -1);
    EXPECT_EQ(bmh("abc", ""), -1);
    EXPECT_EQ(bmh("", "a"), -1);
    EXPECT_EQ(bmh("aaab", "aab"), 1);
    EXPECT_EQ(bmh(std::string("\0\1\0\2", 4), std::string("\0\2", 2)), 2);
    EXPECT_EQ(mem_bmh_search(nullptr, 3, "a", 1), nullptr);
}

TEST(MemSearch, MaskSearch)
{
    exact h(std::string("aaab"));
    EXPECT_EQ(at(mem_mask_search(h.p.get(), h.n, "aab", 3, "___"), h), 1);
    EXPECT_EQ(at(mem_mask_search(h.p.get(), h.n, "aab", 3, nullptr), h), 1);
    EXPECT_EQ(at(mem_mask_search(h.p.get(), h.n, "xab", 3, "?__"), h), 1);
    EXPECT_EQ(at(mem_mask_search(h.p.get(), h.n, "ab", 2, "_"), h), -1);  // mask too short
    EXPECT_EQ(at(mem_mask_search(h.p.get(), h.n, "aaabX", 5, "____?"), h), -1);
    EXPECT_EQ(at(mem_mask_search(h.p.get(), h.n, "x?b", 3, "?__"), h), -1);
}

TEST(MemSearch, HexPatterns)
{
    exact h(std::string("OK-done\n"));
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "4b?64"), h), 1);
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "4B2D"), h), 1);
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "0a"), h), 7);
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "??"), h), 0);
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "6f6b"), h), -1);
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "4"), h), -1);    // odd digits
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "4b?6"), h), -1); // dangling digit
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "zz"), h), -1);
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, ""), h), -1);
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, "?"), h), 0);
    std::string longpat;
    for (int i = 0; i < 400; ++i) longpat += "4b";
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, longpat.c_str()), h), -1);
    longpat += "?";
    EXPECT_EQ(at(mem_pattern_search(h.p.get(), h.n, longpat.c_str()), h), -1);
}

// Both searches agree with a plain scan on random data over a small
// alphabet, where near-misses are frequent.
TEST(MemSearch, AgreeWithPlainScan)
{
    std::mt19937 rng(12345);
    for (int round = 0; round < 5000; ++round) {
        size_t hl = rng() % 40, nl = 1 + rng() % 6;
        std::string hay, needle, mask;
        for (size_t i = 0; i < hl; ++i) hay += (char)('a' + rng() % 3);
        for (size_t i = 0; i < nl; ++i) {
            needle += (char)('a' + rng() % 3);
            mask += rng() % 4 ? '_' : '?';
        }
        ASSERT_EQ(bmh(hay, needle), naive(hay, needle, "")) << hay << " / " << needle;
        exact h(hay), n(needle);
        ASSERT_EQ(at(mem_mask_search(h.p.get(), h.n, n.p.get(), n.n, mask.c_str()), h), naive(hay, needle, mask))
            << hay << " / " << needle << " / " << mask;
    }
}

}  // namespace
