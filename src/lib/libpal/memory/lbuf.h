#pragma once
// List-tracked allocator: every block handed out is linked into one list
// under a mutex, so all blocks of an owner can be walked, tested for
// membership and freed at once. With a fixed item size it serves as a slab.
#include <cstdarg>

#include "libpal/basic/list.h"
#include "libpal/env/os_types.h"

struct os_mutex;

typedef void (*lbuf_proc)(void *block, void *arg);

struct lbuf_param {
    const char *name;     // copied when not NULL
    lbuf_proc blk_init;   // called on every new block before it is linked
    lbuf_proc blk_free;   // called on every block before it is freed
    void *arg;            // handed to both procedures
    u64 item_size;        // slab item size; 0 for variable-size blocks
};

struct lbuf {
    list_node head;
    char *name;
    void *arg;
    u64 item_size;
    lbuf_proc blk_init;
    lbuf_proc blk_free;
    u64 count;
    os_mutex *mutex;
    u32 held;       // 1 while a thread holds the lock through lbuf_lock
    u32 held_tid;   // the thread that holds it
};

struct lbuf_iter {
    list_node *cur;
    list_node *head;
};

lbuf *lbuf_new(const lbuf_param *param);
void *lbuf_malloc_imp(lbuf *B, size_t size, int zero);
void *lbuf_malloc(lbuf *B, size_t size);
void *lbuf_malloc0(lbuf *B, size_t size);
void *lbuf_slab_malloc(lbuf *B);
void *lbuf_slab_malloc0(lbuf *B);
char *lbuf_strdup(lbuf *B, const char *s);
char *lbuf_strndup(lbuf *B, const char *s, size_t n);
char *lbuf_asprintf(lbuf *B, const char *fmt, ...) OS_PRINTF(2, 3);
void *lbuf_realloc(lbuf *B, void *block, size_t size);
void lbuf_free(lbuf *B, void *block);
int lbuf_contains(lbuf *B, const void *ptr);
void lbuf_clear(lbuf *B);
void lbuf_del(lbuf *B);
void lbuf_lock(lbuf *B);
void lbuf_unlock(lbuf *B);
void lbuf_iter_init(lbuf *B, lbuf_iter *it);
void *lbuf_iter_next(lbuf_iter *it);
// Requested size recorded in a block's header.
size_t lbuf_block_size(const void *block);
