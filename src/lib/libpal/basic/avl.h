#pragma once
// Balanced search tree (AVL) mapping keys to values under a comparison,
// with optional string copies of keys and values.
#include "libpal/env/os_types.h"

struct mem_alloc_mgr;

typedef int (*avl_cmp_fn)(const void *a, const void *b);
typedef void (*avl_free_fn)(void *value);

enum : u32 {
    AVL_KEY_STR = 0x1,     // keys are copied as strings
    AVL_KEY_CSTR = 0x2,    // keys are strings (compared with strcmp), not copied
    AVL_VAL_STR = 0x100,   // values are copied as strings
    AVL_VAL_FREE = 0x200,  // values are freed with os_free
    AVL_VAL_FN = 0x400,    // values are handed to the value free function
};

struct avl_param {
    u32 flags;
    avl_cmp_fn cmp;
    void *mgr_arg;
    u32 node_alloc_type;
    u32 copy_alloc_type;
    avl_free_fn value_free;
};

struct avl_node {
    void *key;
    void *value;
    avl_node *left;
    avl_node *right;
    i32 balance;
};

struct avl_tree {
    u32 flags;
    avl_cmp_fn cmp;
    avl_free_fn value_free;
    mem_alloc_mgr *hslab;
    mem_alloc_mgr *hpool;
    avl_node *root;
    u64 count;
};

constexpr int AVL_ITER_DEPTH = 100;
struct avl_iter {
    void *key;
    void *value;
    avl_node *node;
    avl_node *stack[AVL_ITER_DEPTH];
    int depth;
    int dir;  // 0 ascending, 1 descending
};

avl_tree *avl_new(const avl_param *param);
void avl_free(avl_tree *tree);
// 1 when a node was added, 0 when an existing key was updated, -1 when a
// node or a copy cannot be allocated (the tree is then unchanged).
int avl_insert(avl_tree *tree, const void *key, const void *value);
void *avl_find(avl_tree *tree, const void *key);
avl_node *avl_find_node(avl_tree *tree, const void *key);
int avl_remove(avl_tree *tree, const void *key);
void avl_iter_init(avl_iter *it, avl_tree *tree, int dir);
void avl_iter_next(avl_iter *it);
int avl_check(avl_tree *tree);
