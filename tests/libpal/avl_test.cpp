#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "libpal/basic/avl.h"
#include "libpal/env/malloc.h"
#include "libpal/memory/lbuf.h"
#include "libpal/memory/mem_alloc_mgr.h"

namespace {

void *K(uintptr_t v) { return (void *)v; }

std::vector<uintptr_t> walk(avl_tree *t, int dir)
{
    std::vector<uintptr_t> out;
    avl_iter it;
    for (avl_iter_init(&it, t, dir); it.node; avl_iter_next(&it)) out.push_back((uintptr_t)it.key);
    return out;
}

TEST(Avl, RotationsAndWalks)
{
    avl_tree *t = avl_new(nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(avl_insert(t, K(1), K(10)), 1);
    EXPECT_EQ(avl_insert(t, K(2), K(20)), 1);
    EXPECT_EQ(avl_insert(t, K(3), K(30)), 1);
    ASSERT_NE(t->root, nullptr);
    EXPECT_EQ((uintptr_t)t->root->key, 2u);
    EXPECT_EQ(t->root->balance, 0);
    EXPECT_EQ(avl_check(t), 1);

    // Double rotation: 3, 1, 2 in another tree ends with 2 at the root.
    avl_tree *u = avl_new(nullptr);
    avl_insert(u, K(3), nullptr);
    avl_insert(u, K(1), nullptr);
    avl_insert(u, K(2), nullptr);
    EXPECT_EQ((uintptr_t)u->root->key, 2u);
    EXPECT_EQ(avl_check(u), 1);
    avl_free(u);

    EXPECT_EQ(avl_insert(t, K(2), K(22)), 0);
    EXPECT_EQ(t->count, 3u);
    EXPECT_EQ(avl_find(t, K(2)), K(22));
    EXPECT_EQ(avl_find(t, K(4)), nullptr);
    EXPECT_EQ(avl_find_node(t, K(3))->value, K(30));

    for (uintptr_t k = 4; k <= 20; ++k) avl_insert(t, K(k), nullptr);
    EXPECT_EQ(walk(t, 0).size(), 20u);
    std::vector<uintptr_t> down = walk(t, 1);
    ASSERT_EQ(down.size(), 20u);
    EXPECT_EQ(down.front(), 20u);
    EXPECT_EQ(down.back(), 1u);
    EXPECT_TRUE(std::is_sorted(down.rbegin(), down.rend()));

    // Removing inner nodes (two children) keeps the tree sound.
    uintptr_t root = (uintptr_t)t->root->key;
    EXPECT_EQ(avl_remove(t, K(root)), 1);
    EXPECT_EQ(avl_check(t), 1);
    EXPECT_EQ(avl_remove(t, K(root)), 0);
    EXPECT_EQ(t->count, 19u);
    avl_free(t);

    avl_tree *e = avl_new(nullptr);
    avl_iter it;
    avl_iter_init(&it, e, 0);
    EXPECT_EQ(it.node, nullptr);
    EXPECT_EQ(avl_remove(e, K(1)), 0);
    avl_free(e);
}

TEST(Avl, StringCopiesAndValueDisposal)
{
    avl_param p = {};
    p.flags = AVL_KEY_STR | AVL_VAL_STR;
    avl_tree *t = avl_new(&p);
    char key[8] = "beta", val[8] = "one";
    EXPECT_EQ(avl_insert(t, key, val), 1);
    strcpy(key, "zzz");
    strcpy(val, "two");
    EXPECT_STREQ((const char *)avl_find(t, "beta"), "one");
    EXPECT_EQ(avl_insert(t, "beta", val), 0);
    EXPECT_STREQ((const char *)avl_find(t, "beta"), "two");
    EXPECT_EQ(avl_insert(t, "alpha", nullptr), 1);
    EXPECT_EQ(avl_find_node(t, "alpha")->value, nullptr);
    EXPECT_EQ(avl_insert(t, nullptr, "x"), -1);
    EXPECT_EQ(avl_find(t, nullptr), nullptr);
    EXPECT_EQ(avl_check(t), 1);
    EXPECT_EQ(avl_remove(t, "beta"), 1);
    // Only the node allocator and the copies are left to the managers.
    EXPECT_EQ(t->hpool->hbuf->count, 1u);
    avl_free(t);

    static int freed;
    freed = 0;
    p = {};
    p.flags = AVL_VAL_FN;
    p.value_free = [](void *) { ++freed; };
    t = avl_new(&p);
    int a, b;
    avl_insert(t, K(1), &a);
    avl_insert(t, K(1), &b);
    EXPECT_EQ(freed, 1);
    avl_insert(t, K(1), &b);  // the same value again is kept, not disposed of
    EXPECT_EQ(freed, 1);
    avl_remove(t, K(1));
    EXPECT_EQ(freed, 2);
    avl_free(t);

    p = {};
    p.flags = AVL_VAL_FREE;
    t = avl_new(&p);
    avl_insert(t, K(5), os_strdup("a"));
    avl_insert(t, K(5), os_strdup("b"));
    EXPECT_STREQ((const char *)avl_find(t, K(5)), "b");
    avl_remove(t, K(5));
    avl_free(t);

    p = {};
    p.node_alloc_type = 3;
    EXPECT_EQ(avl_new(&p), nullptr);

    // Keys compared as texts without being copied.
    p = {};
    p.flags = AVL_KEY_CSTR;
    t = avl_new(&p);
    std::string k1 = "same";
    avl_insert(t, k1.c_str(), K(1));
    EXPECT_EQ(avl_find(t, "same"), K(1));
    EXPECT_EQ(avl_find_node(t, "same")->key, k1.c_str());
    avl_free(t);
}

// A node that cannot be allocated is reported and leaves the tree as it was.
TEST(Avl, FailedAllocationAddsNothing)
{
    avl_param p = {};
    p.flags = AVL_KEY_STR;
    avl_tree *t = avl_new(&p);
    avl_insert(t, "a", K(1));
    auto real = t->hslab->alloc;
    t->hslab->alloc = [](lbuf *, size_t) -> void * { return nullptr; };
    EXPECT_EQ(avl_insert(t, "b", K(2)), -1);
    EXPECT_EQ(t->count, 1u);
    EXPECT_EQ(avl_find(t, "b"), nullptr);
    EXPECT_EQ(t->hpool->hbuf->count, 1u);  // no stray key copy
    t->hslab->alloc = real;
    auto real_pool = t->hpool->alloc;
    t->hpool->alloc = [](lbuf *, size_t) -> void * { return nullptr; };
    EXPECT_EQ(avl_insert(t, "c", K(3)), -1);
    EXPECT_EQ(t->hslab->hbuf->count, 1u);  // the node went back
    EXPECT_EQ(avl_insert(t, "a", K(4)), -1);
    EXPECT_EQ(avl_find(t, "a"), K(1));  // the old entry is kept
    t->hpool->alloc = real_pool;
    EXPECT_EQ(avl_check(t), 1);
    avl_free(t);
}

TEST(Avl, CustomComparison)
{
    avl_param p = {};
    p.cmp = [](const void *a, const void *b) {
        intptr_t x = (intptr_t)a, y = (intptr_t)b;
        return x > y ? -1 : x < y ? 1 : 0;  // descending
    };
    avl_tree *t = avl_new(&p);
    for (intptr_t k : {5, 1, 9, 3, 7}) avl_insert(t, (void *)k, nullptr);
    EXPECT_EQ(walk(t, 0), (std::vector<uintptr_t>{9, 7, 5, 3, 1}));
    EXPECT_EQ(avl_check(t), 1);
    // A broken order is caught.
    std::swap(t->root->key, t->root->left->key);
    EXPECT_EQ(avl_check(t), 0);
    std::swap(t->root->key, t->root->left->key);
    t->count++;
    EXPECT_EQ(avl_check(t), 0);
    t->count--;
    avl_free(t);
}

// Random inserts, updates, removals and lookups mirrored in std::map,
// including long runs of removals down to an empty tree.
TEST(Avl, AgreesWithStdMap)
{
    std::mt19937_64 rng(12345);
    avl_tree *t = avl_new(nullptr);
    std::map<uintptr_t, uintptr_t> ref;
    for (int round = 0; round < 4; ++round) {
        uintptr_t range = round % 2 ? 64 : 5000;
        for (int i = 0; i < 20000; ++i) {
            uintptr_t k = rng() % range, v = rng();
            int op = (int)(rng() % 4);
            if (op < 2) {
                bool fresh = ref.find(k) == ref.end();
                EXPECT_EQ(avl_insert(t, K(k), K(v)), fresh ? 1 : 0);
                ref[k] = v;
            } else if (op == 2) {
                EXPECT_EQ(avl_remove(t, K(k)), (int)ref.erase(k));
            } else {
                auto f = ref.find(k);
                avl_node *n = avl_find_node(t, K(k));
                ASSERT_EQ(n != nullptr, f != ref.end());
                if (n) {
                    EXPECT_EQ((uintptr_t)n->value, f->second);
                }
            }
            if (i % 4096 == 0) {
                ASSERT_EQ(avl_check(t), 1);
            }
        }
        ASSERT_EQ(avl_check(t), 1);
        ASSERT_EQ(t->count, ref.size());
        std::vector<uintptr_t> keys;
        for (auto &kv : ref) keys.push_back(kv.first);
        EXPECT_EQ(walk(t, 0), keys);
        // Remove about half of them in a row, from both ends alternately.
        size_t n = ref.size() / 2;
        for (size_t j = 0; j < n; ++j) {
            auto it = j % 2 ? ref.begin() : std::prev(ref.end());
            ASSERT_EQ(avl_remove(t, K(it->first)), 1);
            ref.erase(it);
        }
        ASSERT_EQ(avl_check(t), 1);
    }
    while (!ref.empty()) {
        auto it = ref.begin();
        std::advance(it, rng() % ref.size());
        ASSERT_EQ(avl_remove(t, K(it->first)), 1);
        ref.erase(it);
    }
    EXPECT_EQ(t->root, nullptr);
    EXPECT_EQ(t->count, 0u);
    EXPECT_EQ(t->hslab->hbuf->count, 0u);
    avl_free(t);
}

TEST(Avl, StringKeysAgreeWithStdMap)
{
    std::mt19937 rng(7);
    avl_param p = {};
    p.flags = AVL_KEY_STR | AVL_VAL_STR;
    avl_tree *t = avl_new(&p);
    std::map<std::string, std::string> ref;
    for (int i = 0; i < 20000; ++i) {
        std::string k = "k" + std::to_string(rng() % 700);
        if (rng() % 3) {
            std::string v = std::to_string(i);
            avl_insert(t, k.c_str(), v.c_str());
            ref[k] = v;
        } else {
            EXPECT_EQ(avl_remove(t, k.c_str()), (int)ref.erase(k));
        }
    }
    ASSERT_EQ(avl_check(t), 1);
    for (auto &kv : ref) EXPECT_STREQ((const char *)avl_find(t, kv.first.c_str()), kv.second.c_str());
    // Every copy of a removed or replaced entry went back to the pool.
    EXPECT_EQ(t->hpool->hbuf->count, 2 * ref.size());
    avl_free(t);
}

}  // namespace
