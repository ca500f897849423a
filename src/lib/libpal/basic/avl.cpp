#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/basic/avl"
#include "libpal/basic/avl.h"

#include "liblog/log.h"
#include "libpal/basic/cmp.h"
#include "libpal/env/malloc.h"
#include "libpal/memory/mem_alloc_mgr.h"

namespace {

inline avl_node *&child(avl_node *n, int d) { return d < 0 ? n->left : n->right; }

// Keys as unsigned machine words: the default order (cmp_uint64), inlined.
struct word_order {
    int operator()(const void *a, const void *b) const
    {
        uintptr_t x = (uintptr_t)a, y = (uintptr_t)b;
        return x < y ? -1 : x > y ? 1 : 0;
    }
};

struct fn_order {
    avl_cmp_fn fn;
    int operator()(const void *a, const void *b) const { return fn(a, b); }
};

inline int compare(const avl_tree *t, const void *a, const void *b)
{
    return t->cmp == cmp_uint64 ? word_order{}(a, b) : t->cmp(a, b);
}

// Rebalances the subtree at *link after its side d (-1 left, +1 right) grew
// by one level; returns the balance of the subtree's new root.
int rebalance(avl_node **link, int d)
{
    avl_node *n = *link;
    if (n->balance != d) {
        n->balance += d;
        return n->balance;
    }
    avl_node *c = child(n, d);
    if (c->balance == -d) {
        avl_node *g = child(c, -d);
        child(n, d) = child(g, -d);
        child(c, -d) = child(g, d);
        child(g, -d) = n;
        child(g, d) = c;
        n->balance = g->balance == d ? -d : 0;
        c->balance = g->balance == -d ? d : 0;
        g->balance = 0;
        *link = g;
        return 0;
    }
    child(n, d) = child(c, -d);
    child(c, -d) = n;
    c->balance -= d;
    n->balance = -c->balance;
    *link = c;
    return c->balance;
}

// Disposes of a value that leaves the tree, as the flags say.
void drop_value(avl_tree *t, void *v)
{
    if (!v) return;
    if (t->flags & AVL_VAL_STR) mem_mgr_free(t->hpool, v);
    else if (t->flags & AVL_VAL_FREE) os_free(v);
    else if ((t->flags & AVL_VAL_FN) && t->value_free) t->value_free(v);
}

// Copy of a key or value when its flag asks for one; *fail is set when the
// copy could not be made.
void *copy_of(avl_tree *t, u32 flag, const void *p, bool *fail)
{
    if (!(t->flags & flag) || !p) return (void *)p;
    void *c = mem_mgr_strdup(t->hpool, (const char *)p);
    if (!c) *fail = true;
    return c;
}

int update(avl_tree *t, avl_node *n, const void *key, const void *value)
{
    bool fail = false;
    void *k = copy_of(t, AVL_KEY_STR, key, &fail);
    void *v = copy_of(t, AVL_VAL_STR, value, &fail);
    if (fail) {
        if (k != key) mem_mgr_free(t->hpool, k);
        if (v != value) mem_mgr_free(t->hpool, v);
        return -1;
    }
    if (t->flags & AVL_KEY_STR) mem_mgr_free(t->hpool, n->key);
    n->key = k;
    // Storing the value that is already there must not dispose of it.
    if (n->value != v) drop_value(t, n->value);
    n->value = v;
    return 0;
}

// Deepest path an AVL tree can have in addressable memory (its height is
// below 1.45 * log2(n + 2)).
constexpr int kMaxDepth = 128;

avl_node *new_node(avl_tree *t, const void *key, const void *value)
{
    avl_node *n = (avl_node *)mem_mgr_alloc(t->hslab, sizeof(avl_node));
    if (!n) {
        OS_CHECK_LOG("node != NULL");
        return nullptr;
    }
    bool fail = false;
    n->key = copy_of(t, AVL_KEY_STR, key, &fail);
    n->value = copy_of(t, AVL_VAL_STR, value, &fail);
    if (fail) {
        if (n->key != key) mem_mgr_free(t->hpool, n->key);
        if (n->value != value) mem_mgr_free(t->hpool, n->value);
        mem_mgr_free(t->hslab, n);
        return nullptr;
    }
    n->left = n->right = nullptr;
    n->balance = 0;
    return n;
}

// Descends to the key's place remembering the links passed, adds the node
// there, then rebalances back up for as long as the subtree grew.
template <typename Order>
int insert_at(avl_tree *t, const void *key, const void *value, Order order)
{
    avl_node **path[kMaxDepth];
    i8 side[kMaxDepth];
    int depth = 0;
    avl_node **link = &t->root;
    while (avl_node *n = *link) {
        int c = order(key, n->key);
        if (c == 0) return update(t, n, key, value);
        if (depth == kMaxDepth) return -1;
        int d = c < 0 ? -1 : 1;
        path[depth] = link;
        side[depth++] = (i8)d;
        link = &child(n, d);
    }
    avl_node *n = new_node(t, key, value);
    if (!n) return -1;
    *link = n;
    ++t->count;
    while (depth > 0) {
        --depth;
        if (rebalance(path[depth], side[depth]) == 0) break;
    }
    return 1;
}

// Unlinks the outermost node on side d of the subtree at *link.
avl_node *unlink_extreme(avl_node **link, int d, bool *shrank)
{
    avl_node *n = *link;
    if (!child(n, d)) {
        *link = child(n, -d);
        *shrank = true;
        return n;
    }
    avl_node *m = unlink_extreme(&child(n, d), d, shrank);
    if (*shrank) *shrank = rebalance(link, -d) == 0;
    return m;
}

int remove_at(avl_tree *t, avl_node **link, const void *key, bool *shrank)
{
    avl_node *n = *link;
    if (!n) {
        *shrank = false;
        return 0;
    }
    int c = compare(t, key, n->key);
    if (c != 0) {
        int d = c < 0 ? -1 : 1;
        int r = remove_at(t, &child(n, d), key, shrank);
        if (*shrank) *shrank = rebalance(link, -d) == 0;
        return r;
    }
    if (t->flags & AVL_KEY_STR) mem_mgr_free(t->hpool, n->key);
    drop_value(t, n->value);
    --t->count;
    if (!n->left || !n->right) {
        *link = n->left ? n->left : n->right;
        *shrank = true;
    } else {
        int side = n->balance > 0 ? 1 : -1;
        bool s = false;
        avl_node *r = unlink_extreme(&child(n, side), -side, &s);
        r->left = n->left;
        r->right = n->right;
        r->balance = n->balance;
        *link = r;
        *shrank = s ? rebalance(link, -side) == 0 : false;
    }
    mem_mgr_free(t->hslab, n);
    return 1;
}

// Height of the subtree, or -1 when it breaks a rule; counts its nodes.
int check_at(const avl_tree *t, const avl_node *n, u64 *count, const avl_node **prev)
{
    if (!n) return 0;
    int hl = check_at(t, n->left, count, prev);
    if (hl < 0) return -1;
    if (*prev && compare(t, (*prev)->key, n->key) >= 0) return -1;
    *prev = n;
    ++*count;
    int hr = check_at(t, n->right, count, prev);
    if (hr < 0) return -1;
    if (n->balance != hr - hl || n->balance < -1 || n->balance > 1) return -1;
    return (hl > hr ? hl : hr) + 1;
}

// A NULL key has no place among string keys.
bool key_ok(const avl_tree *t, const void *key)
{
    if (key || t->cmp != cmp_str) return true;
    OS_CHECK_LOG("key != NULL");
    return false;
}

}  // namespace

avl_tree *avl_new(const avl_param *param)
{
    avl_param p = {};
    if (param) p = *param;
    avl_tree *avl = (avl_tree *)os_zalloc(sizeof(avl_tree));
    OS_CHECK_TXT(avl != nullptr, "avl != NULL", nullptr);
    avl->flags = p.flags;
    // The string-key flags are the text bits of the comparator modes.
    static_assert((AVL_KEY_STR | AVL_KEY_CSTR) == CMP_MODE_TEXT);
    avl->cmp = cmp_key_get_proc(p.flags, p.cmp);
    avl->value_free = p.value_free;
    avl->hslab = mem_slab_mgr_init(p.node_alloc_type, p.mgr_arg, sizeof(avl_node));
    if (!avl->hslab) {
        os_free(avl);
        OS_CHECK_TXT(false, "avl->hslab != NULL", nullptr);
    }
    avl->hpool = mem_pool_mgr_init(p.copy_alloc_type, p.mgr_arg);
    if (!avl->hpool) {
        mem_mgr_exit(avl->hslab);
        os_free(avl);
        OS_CHECK_TXT(false, "avl->hpool != NULL", nullptr);
    }
    return avl;
}

void avl_free(avl_tree *tree)
{
    if (!tree) return;
    // Destroying the node manager returns every node at once, in
    // allocation order, without unlinking each from its neighbours.
    tree->root = nullptr;
    mem_mgr_exit(tree->hslab);
    mem_mgr_exit(tree->hpool);
    os_free(tree);
}

int avl_insert(avl_tree *tree, const void *key, const void *value)
{
    OS_CHECK_RET(tree != nullptr, -1);
    if (!key_ok(tree, key)) return -1;
    if (tree->cmp == cmp_uint64) return insert_at(tree, key, value, word_order{});
    return insert_at(tree, key, value, fn_order{tree->cmp});
}

avl_node *avl_find_node(avl_tree *tree, const void *key)
{
    OS_CHECK_RET(tree != nullptr, nullptr);
    if (!key_ok(tree, key)) return nullptr;
    avl_node *n = tree->root;
    if (tree->cmp == cmp_uint64) {
        uintptr_t k = (uintptr_t)key;
        while (n && (uintptr_t)n->key != k) n = k < (uintptr_t)n->key ? n->left : n->right;
        return n;
    }
    while (n) {
        int c = tree->cmp(key, n->key);
        if (c == 0) return n;
        n = c < 0 ? n->left : n->right;
    }
    return nullptr;
}

void *avl_find(avl_tree *tree, const void *key)
{
    avl_node *n = avl_find_node(tree, key);
    return n ? n->value : nullptr;
}

int avl_remove(avl_tree *tree, const void *key)
{
    OS_CHECK_RET(tree != nullptr, 0);
    if (!key_ok(tree, key)) return 0;
    bool shrank = false;
    return remove_at(tree, &tree->root, key, &shrank);
}

namespace {

void iter_descend(avl_iter *it, avl_node *n)
{
    int first = it->dir ? 1 : -1;
    while (n && it->depth < AVL_ITER_DEPTH) {
        it->stack[it->depth++] = n;
        n = child(n, first);
    }
}

void iter_pop(avl_iter *it)
{
    avl_node *n = it->depth > 0 ? it->stack[--it->depth] : nullptr;
    it->node = n;
    it->key = n ? n->key : nullptr;
    it->value = n ? n->value : nullptr;
}

}  // namespace

void avl_iter_init(avl_iter *it, avl_tree *tree, int dir)
{
    OS_CHECK_RET_VOID(it != nullptr);
    it->depth = 0;
    it->dir = dir ? 1 : 0;
    it->node = nullptr;
    it->key = it->value = nullptr;
    OS_CHECK_RET_VOID(tree != nullptr);
    iter_descend(it, tree->root);
    iter_pop(it);
}

void avl_iter_next(avl_iter *it)
{
    OS_CHECK_RET_VOID(it != nullptr);
    if (!it->node) return;
    iter_descend(it, child(it->node, it->dir ? -1 : 1));
    iter_pop(it);
}

int avl_check(avl_tree *tree)
{
    if (!tree) return 0;
    u64 count = 0;
    const avl_node *prev = nullptr;
    if (check_at(tree, tree->root, &count, &prev) < 0) return 0;
    return count == tree->count ? 1 : 0;
}
