#pragma once
// Memory helpers: growable byte buffer, byte-order aware access at an
// offset, bounded concatenation of texts and scatter lists, random fill,
// the memory facts read at start-up, a pointer vector, and sort and search
// shortcuts over arrays of 8-byte elements.
#include <sys/uio.h>

#include "libpal/env/os_types.h"

int mem_init(void);
i32 mem_page_size(void);
u32 mem_page_shift(void);
u64 mem_phys_size(void);

// Growable byte buffer (caller-owned record, data from the counted allocator).
struct mem_buf {
    u8 *data;
    u64 len;
    u64 capacity;
};

int mem_buf_init(mem_buf *b, u64 n);
int mem_buf_reserve(mem_buf *b, u64 n);
int mem_buf_append(mem_buf *b, const void *bytes, u64 n);
int mem_buf_set_len(mem_buf *b, u64 n);
void mem_buf_free(mem_buf *b);

// Reads swap the stored bytes when swap is not 0; writes only when it is 1.
u16 mem_get_u16(int swap, const void *buf, size_t off);
u32 mem_get_u32(int swap, const void *buf, size_t off);
u64 mem_get_u64(int swap, const void *buf, size_t off);
void mem_put_u16(int swap, void *buf, size_t off, u16 v);
void mem_put_u32(int swap, void *buf, size_t off, u32 v);

// Copies slen bytes into a buffer of blen; -1 when they do not fit.
int mem_add_str(void *buf, size_t blen, const void *s, size_t slen);
// Texts (with their NULs) back to back; the list ends with NULL. The plain
// form fails (-1) on a text that does not fit; the _n form cuts it, with a
// NUL in the last byte. Both return the bytes written.
int mem_cat_strs(void *buf, size_t size, ...);
int mem_cat_strs_n(void *buf, size_t size, ...);
// Scatter entries copied whole, no NULs added; same two forms.
int mem_gather_str(void *buf, size_t size, const struct iovec *iov, size_t count);
int mem_gather(void *buf, size_t size, const struct iovec *iov, size_t count);

// Random fill: kind 0 from the xorshift generator, else from the
// standard-library draws. mem_random takes the system's random source.
int memory_random_imp(int kind, void *buf, size_t n);
int mem_random(void *buf, size_t n);
int mem_random_seed(void *buf, size_t n);

// Pointer vector; flag MEM_PTR_UNIQUE refuses duplicates.
enum : u8 { MEM_PTR_UNIQUE = 64 };
struct mem_ptr {
    void **slots;
    u64 count;
    u64 capacity;
    u8 flags;
};

int mem_ptr_init(mem_ptr *v);
int mem_ptr_resize(mem_ptr *v, u64 n);
void mem_ptr_exit(mem_ptr *v);
int mem_ptr_add(mem_ptr *v, void *p);
int mem_ptr_del(mem_ptr *v, u64 index);
i64 mem_ptr_remove(mem_ptr *v, const void *p);
void mem_ptr_del_head(mem_ptr *v, u64 n);
void mem_ptr_clear(mem_ptr *v);
int mem_ptr_reset(mem_ptr *v);

// Arrays of 8-byte elements: text pointers, record pointers (the record's
// first field is its name) and unsigned numbers. Finds return an index or -1.
void arr_sort_strs(char **arr, size_t n);
void arr_sort_by_name(void **arr, size_t n);
void arr_sort_u64(u64 *arr, size_t n);
i64 arr_find_str(char *const *arr, size_t n, const char *text);
i64 arr_find_by_name(void *const *arr, size_t n, const char *text);
