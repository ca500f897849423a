#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "libpal/env/malloc.h"
#include "libpal/hash/dict.h"

namespace {

TEST(Dict, GrowthReplaceAndDelete)
{
    dict *d = dict_new(DICT_KEY_COPY | DICT_VAL_STR);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, 8u);
    const char *keys[] = {"one", "two", "three", "four", "five", "six"};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(dict_add(d, keys[i], (void *)keys[i]), 0);
    EXPECT_EQ(d->size, 8u);
    ASSERT_EQ(dict_add(d, keys[5], (void *)"6"), 0);
    EXPECT_EQ(d->size, 32u);
    EXPECT_EQ(dict_count(d), 6u);

    char val[] = "uno";
    ASSERT_EQ(dict_add(d, "one", val), 0);
    val[0] = 'X';  // the table holds its own copy
    EXPECT_STREQ((const char *)dict_get(d, "one", nullptr), "uno");
    EXPECT_EQ(dict_count(d), 6u);

    EXPECT_EQ(dict_del(d, "two"), 0);
    EXPECT_EQ(dict_get(d, "two", (void *)"dflt"), nullptr);
    EXPECT_EQ(dict_del(d, "two"), 0);
    EXPECT_EQ(dict_count(d), 5u);
    u32 fill = d->fill;
    ASSERT_EQ(dict_add(d, "two", (void *)"2"), 0);
    EXPECT_EQ(d->fill, fill + 1);
    EXPECT_STREQ((const char *)dict_get(d, "two", nullptr), "2");
    EXPECT_EQ(dict_get(nullptr, "two", (void *)"dflt"), (void *)"dflt");
    EXPECT_EQ(dict_get(d, nullptr, (void *)"dflt"), (void *)"dflt");
    EXPECT_EQ(dict_add(d, nullptr, nullptr), -1);
    EXPECT_EQ(dict_del(nullptr, "x"), -1);

    ASSERT_EQ(dict_add(d, "nothing", nullptr), 0);
    EXPECT_EQ(dict_get(d, "nothing", (void *)"dflt"), nullptr);

    dict_key_node *list = nullptr;
    ASSERT_EQ(dict_keys_list(d, &list), 0);
    int n = 0;
    while (list) {
        dict_key_node *next = list->next;
        EXPECT_NE(dict_get(d, list->key, (void *)1), (void *)1);
        os_free(list);
        list = next;
        ++n;
    }
    EXPECT_EQ(n, 7);
    dict_free(d);
    dict_free(nullptr);
}

TEST(Dict, EnumerateDumpAndHash)
{
    dict *d = dict_new(0);
    // Place keys by hand in slots 2 and 5.
    d->slots[2] = {(char *)"b", (void *)"B", dict_hash("b", 1)};
    d->slots[5] = {(char *)"e", nullptr, dict_hash("e", 1)};
    d->used = d->fill = 2;
    const char *k;
    void *v;
    EXPECT_EQ(dict_enumerate(d, 0, &k, &v), 3);
    EXPECT_STREQ(k, "b");
    EXPECT_EQ(dict_enumerate(d, 3, &k, &v), 6);
    EXPECT_STREQ(k, "e");
    EXPECT_EQ(dict_enumerate(d, 6, &k, &v), -1);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(dict_enumerate(d, -1, &k, &v), -1);

    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    dict_dump(d, f);
    fclose(f);
    EXPECT_EQ(std::string(text), "[rank=3]                    b: B\n[rank=6]                    e: UNDEF\n");
    free(text);
    dict_free(d);

    // MurmurHash2, seed 0xbadcafe, worked by hand for one byte: h = 1 ^ seed,
    // h ^= 'a', h *= m, then the final mix.
    u32 m = 0x5bd1e995, h = 1u ^ 0xbadcafe;
    h ^= 'a';
    h *= m;
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    EXPECT_EQ(dict_hash("a", 1), h);
    EXPECT_EQ(dict_hash("abcd", 0), 0u);
    EXPECT_EQ(dict_hash(nullptr, 3), 0u);
    EXPECT_NE(dict_hash("abcde", 5), dict_hash("abcdf", 5));
}

// Values owned by the table are freed on replacement and removal; storing
// the same owned value again keeps it.
TEST(Dict, OwnedValues)
{
    dict *d = dict_new(DICT_VAL_FREE);
    char *v1 = os_strdup("1");
    ASSERT_EQ(dict_add(d, "k", v1), 0);
    ASSERT_EQ(dict_add(d, "k", v1), 0);
    EXPECT_STREQ((const char *)dict_get(d, "k", nullptr), "1");
    ASSERT_EQ(dict_add(d, "k", os_strdup("2")), 0);
    EXPECT_STREQ((const char *)dict_get(d, "k", nullptr), "2");
    dict_add(d, "j", os_strdup("3"));
    dict_del(d, "j");
    dict_add(d, "left", os_strdup("freed by dict_free"));
    dict_free(d);
}

// Churn on few keys: deleted markers pile up while the live count stays
// small, so the table must rebuild itself rather than run out of empty
// slots (a probe for an absent key would never end).
TEST(Dict, DeletedSlotsNeverFillTheTable)
{
    dict *d = dict_new(DICT_KEY_COPY);
    for (int i = 0; i < 100000; ++i) {
        std::string k = "key" + std::to_string(i);
        ASSERT_EQ(dict_add(d, k.c_str(), nullptr), 0);
        ASSERT_EQ(dict_del(d, k.c_str()), 0);
        ASSERT_EQ(dict_get(d, "absent", (void *)1), nullptr);
    }
    EXPECT_EQ(dict_count(d), 0u);
    EXPECT_LE(d->size, 64u);
    dict_free(d);
}

TEST(Dict, AgreesWithUnorderedMap)
{
    std::mt19937 rng(2024);
    dict *d = dict_new(DICT_KEY_COPY | DICT_VAL_STR);
    std::unordered_map<std::string, std::string> ref;
    auto check_all = [&] {
        ASSERT_EQ(dict_count(d), ref.size());
        for (auto &kv : ref) ASSERT_STREQ((const char *)dict_get(d, kv.first.c_str(), nullptr), kv.second.c_str());
        size_t seen = 0;
        const char *k;
        void *v;
        for (int r = dict_enumerate(d, 0, &k, &v); r >= 0; r = dict_enumerate(d, r, &k, &v)) {
            ++seen;
            ASSERT_EQ(ref.count(k), 1u);
        }
        ASSERT_EQ(seen, ref.size());
    };
    for (int phase = 0; phase < 6; ++phase) {
        int range = phase % 2 ? 300 : 20000;
        for (int i = 0; i < 30000; ++i) {
            std::string k = "k" + std::to_string(rng() % range);
            int op = (int)(rng() % 10);
            if (op < 5) {
                std::string v = std::to_string(rng());
                ASSERT_EQ(dict_add(d, k.c_str(), (void *)v.c_str()), 0);
                ref[k] = v;
            } else if (op < 8) {
                ASSERT_EQ(dict_del(d, k.c_str()), 0);
                ref.erase(k);
            } else {
                auto f = ref.find(k);
                const char *got = (const char *)dict_get(d, k.c_str(), nullptr);
                if (f == ref.end()) {
                    ASSERT_EQ(got, nullptr);
                } else {
                    ASSERT_STREQ(got, f->second.c_str());
                }
            }
        }
        check_all();
        // A long run of deletes down to a tenth.
        while (ref.size() > 100 && ref.size() > dict_count(d) / 10 + 1) {
            auto it = ref.begin();
            ASSERT_EQ(dict_del(d, it->first.c_str()), 0);
            ref.erase(it);
            if (ref.size() % 997 == 0) check_all();
        }
        check_all();
    }
    dict_free(d);
}

// The slot every key lands in follows the probe sequence and growth rule
// exactly (ranks are visible through dict_enumerate), through growth,
// deletes and same-size rebuilds. The reference keeps its own slot array.
TEST(Dict, SlotsFollowTheProbeSequence)
{
    struct ref_table {
        std::vector<std::string> key;  // "" empty
        std::vector<int> state;        // 0 empty, 1 live, 2 deleted
        std::vector<u32> hash;
        u32 fill = 0, used = 0;
        explicit ref_table(u32 n) : key(n), state(n), hash(n) {}
        u32 slot(const std::string &k, u32 h) const
        {
            u64 mask = key.size() - 1, i = h & mask;
            long free_slot = -1;
            auto hit = [&](u64 j) { return state[j] == 1 && hash[j] == h && key[j] == k; };
            if (state[i] == 0 || hit(i)) return (u32)i;
            if (state[i] == 2) free_slot = (long)i;
            for (u64 perturb = h;; perturb >>= 5) {
                i = (5 * i + perturb + 1) & mask;
                if (state[i] == 0) return free_slot >= 0 ? (u32)free_slot : (u32)i;
                if (hit(i)) return (u32)i;
                if (state[i] == 2 && free_slot < 0) free_slot = (long)i;
            }
        }
        void put(const std::string &k, u32 h, u32 i)
        {
            key[i] = k;
            hash[i] = h;
            state[i] = 1;
        }
        void add(const std::string &k)
        {
            u32 h = dict_hash(k.data(), k.size());
            u32 i = slot(k, h);
            if (state[i] == 1) return;
            put(k, h, i);
            ++used;
            ++fill;
            if ((u64)fill * 3 < (u64)key.size() * 2) return;
            u64 n = key.size();
            while (n <= (u64)used * (key.size() > 64000 ? 2 : 4)) n *= 2;
            if (n == key.size() && fill == used) return;
            ref_table t((u32)n);
            for (u32 j = 0; j < key.size(); ++j)
                if (state[j] == 1) t.put(key[j], hash[j], t.slot(key[j], hash[j]));
            t.fill = t.used = used;
            *this = std::move(t);
        }
        void del(const std::string &k)
        {
            u32 i = slot(k, dict_hash(k.data(), k.size()));
            if (state[i] != 1) return;
            state[i] = 2;
            --used;
        }
    };
    std::mt19937 rng(11);
    for (u32 flags : {0u, (u32)DICT_KEY_COPY}) {
        dict *d = dict_new(flags);
        ref_table ref(8);
        std::vector<std::string> keys;
        for (int i = 0; i < 3000; ++i) keys.push_back("k" + std::to_string(rng() % 5000));
        for (int i = 0; i < 20000; ++i) {
            const std::string &k = keys[rng() % keys.size()];
            if (rng() % 3) {
                ASSERT_EQ(dict_add(d, k.c_str(), nullptr), 0);
                ref.add(k);
            } else {
                ASSERT_EQ(dict_del(d, k.c_str()), 0);
                ref.del(k);
            }
            if (i % 1000 != 999) continue;
            ASSERT_EQ(d->size, ref.key.size());
            ASSERT_EQ(d->used, ref.used);
            ASSERT_EQ(d->fill, ref.fill);
            for (u32 j = 0; j < d->size; ++j) {
                const char *k2 = d->slots[j].key;
                ASSERT_EQ(k2 != nullptr && k2 != DICT_DELETED, ref.state[j] == 1) << "slot " << j;
                if (ref.state[j] == 1) {
                    ASSERT_EQ(ref.key[j], k2);
                }
            }
        }
        dict_free(d);
    }
}

// Copied keys of every length up to well past the short-key limit. Each
// key's value is its length, and every key is a prefix of the longer ones,
// so a comparison that stops short or runs on finds the wrong length. Keys
// are removed and added again so that freed copies are reused. Every block
// is returned at the end.
TEST(Dict, KeyCopiesOfEveryLength)
{
    const u64 blocks = malloc_count.load();
    dict *d = dict_new(DICT_KEY_COPY | DICT_VAL_STR);
    auto text = [](size_t n, char c) {
        std::string s(n, c);
        for (size_t i = 0; i < n; ++i) s[i] = (char)('a' + (i * 7 + c) % 26);
        return s;
    };
    auto add = [&](size_t n, char c) { return dict_add(d, text(n, c).c_str(), (void *)std::to_string(n).c_str()); };
    constexpr size_t kLongest = 300;
    for (size_t n = 1; n <= kLongest; ++n) ASSERT_EQ(add(n, 'x'), 0);
    for (int round = 0; round < 3; ++round) {
        for (size_t n = 1; n <= kLongest; ++n) {
            std::string k = text(n, 'x');
            ASSERT_STREQ((const char *)dict_get(d, k.c_str(), nullptr), std::to_string(n).c_str());
            k.back() ^= 1;  // same length, last byte differs
            ASSERT_EQ(dict_get(d, k.c_str(), (void *)1), nullptr);
        }
        ASSERT_EQ(dict_get(d, (text(kLongest, 'x') + "Q").c_str(), (void *)1), nullptr);
        // Remove every other key and add other keys of the same lengths,
        // which take the freed copies; then the first keys again.
        for (size_t n = 1 + round % 2; n <= kLongest; n += 2) ASSERT_EQ(dict_del(d, text(n, 'x').c_str()), 0);
        for (size_t n = 1 + round % 2; n <= kLongest; n += 2) {
            ASSERT_EQ(dict_get(d, text(n, 'x').c_str(), (void *)1), nullptr);
            ASSERT_EQ(add(n, 'z'), 0);
            ASSERT_EQ(dict_del(d, text(n, 'z').c_str()), 0);
            ASSERT_EQ(add(n, 'x'), 0);
        }
    }
    EXPECT_EQ(dict_count(d), kLongest);
    dict_free(d);
    EXPECT_EQ(malloc_count.load(), blocks);
}
}  // namespace
