#pragma once
// Allocator managers: a small operation table in front of an lbuf, so that
// a container can allocate through whichever kind it was given.
#include "libpal/env/os_types.h"

struct lbuf;

typedef void *(*mem_mgr_alloc_fn)(lbuf *B, size_t size);
typedef void (*mem_mgr_free_fn)(lbuf *B, void *block);
typedef void (*mem_mgr_clear_fn)(lbuf *B);
typedef void (*mem_mgr_destroy_fn)(lbuf *B);

struct mem_alloc_mgr {
    u32 type;  // 0 is the only kind
    lbuf *hbuf;
    void *reserved;
    mem_mgr_alloc_fn alloc;
    mem_mgr_free_fn free;
    mem_mgr_clear_fn clear;
    mem_mgr_destroy_fn destroy;
};

// Slab: fixed items of item_size bytes; a request above it is refused.
mem_alloc_mgr *mem_slab_mgr_init(u32 type, void *unused, u64 item_size);
// Pool: blocks of any size.
mem_alloc_mgr *mem_pool_mgr_init(u32 type, void *unused);
void *mem_mgr_alloc(mem_alloc_mgr *m, size_t size);
void mem_mgr_free(mem_alloc_mgr *m, void *block);
void mem_mgr_exit(mem_alloc_mgr *m);
void mem_mgr_clear(mem_alloc_mgr *m);
char *mem_mgr_strdup(mem_alloc_mgr *m, const char *s);
