#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/memory/mem_util"
#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "liblog/log.h"
#include "libpal/basic/cmp.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/hash/rand.h"
#include "libpal/memory/mem_util.h"

namespace {

constexpr u64 kBufStep = 4096;
// The counted allocator records sizes in 32 bits.
constexpr u64 kBufMax = (u64)UINT32_MAX - OS_MALLOC_HDR - kBufStep;

}  // namespace

int mem_buf_init(mem_buf *b, u64 n)
{
    OS_CHECK_RET(b != nullptr, -1);
    memset(b, 0, sizeof *b);
    return mem_buf_reserve(b, n);
}

int mem_buf_reserve(mem_buf *b, u64 n)
{
    OS_CHECK_RET(b != nullptr, -1);
    if (b->capacity >= n) return 0;
    if (n > kBufMax) {
        LOG_ERR("size=%llu too large\n", (unsigned long long)n);
        return -1;
    }
    u64 cap = (n + kBufStep - 1) / kBufStep * kBufStep;
    u8 *d = (u8 *)os_realloc(b->data, cap);
    if (!d) return -1;
    b->data = d;
    b->capacity = cap;
    return 0;
}

int mem_buf_append(mem_buf *b, const void *bytes, u64 n)
{
    OS_CHECK_RET(b != nullptr, -1);
    OS_CHECK_RET(bytes != nullptr || n == 0, -1);
    if (n > kBufMax || b->len + n + 1 > kBufMax) {
        LOG_ERR("size=%llu too large\n", (unsigned long long)(b->len + n));
        return -1;
    }
    u64 need = b->len + n + 1;
    if (need > b->capacity && mem_buf_reserve(b, need * 2 <= kBufMax ? need * 2 : need) != 0) return -1;
    if (n) memcpy(b->data + b->len, bytes, n);
    b->len += n;
    return 0;
}

int mem_buf_set_len(mem_buf *b, u64 n)
{
    if (mem_buf_reserve(b, n) != 0) return -1;
    b->len = n;
    return 0;
}

void mem_buf_free(mem_buf *b)
{
    if (!b) return;
    os_free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->capacity = 0;
}

u16 mem_get_u16(int swap, const void *buf, size_t off)
{
    u16 v;
    memcpy(&v, (const u8 *)buf + off, sizeof v);
    return swap ? __builtin_bswap16(v) : v;
}

u32 mem_get_u32(int swap, const void *buf, size_t off)
{
    u32 v;
    memcpy(&v, (const u8 *)buf + off, sizeof v);
    return swap ? __builtin_bswap32(v) : v;
}

u64 mem_get_u64(int swap, const void *buf, size_t off)
{
    u64 v;
    memcpy(&v, (const u8 *)buf + off, sizeof v);
    return swap ? __builtin_bswap64(v) : v;
}

void mem_put_u16(int swap, void *buf, size_t off, u16 v)
{
    if (swap == 1) v = __builtin_bswap16(v);
    memcpy((u8 *)buf + off, &v, sizeof v);
}

void mem_put_u32(int swap, void *buf, size_t off, u32 v)
{
    if (swap == 1) v = __builtin_bswap32(v);
    memcpy((u8 *)buf + off, &v, sizeof v);
}

int memory_random_imp(int kind, void *buf, size_t n)
{
    OS_CHECK_TXT(buf != nullptr, "buf", -1);
    u8 *p = (u8 *)buf;
    // Whole words, then the first bytes of one more for a short tail.
    for (size_t i = 0; i < n; i += 8) {
        u64 v = kind == 0 ? rand_xorshift64() : rand_lcg64();
        memcpy(p + i, &v, n - i < 8 ? n - i : 8);
    }
    return (int)n;
}

int mem_random(void *buf, size_t n)
{
    OS_CHECK_TXT(buf != nullptr, "buf", -1);
    u8 *p = (u8 *)buf;
    size_t done = 0;
    while (done < n) {
        ssize_t r = getrandom(p + done, n - done, 0);
        if (r > 0) {
            done += (size_t)r;
        } else if (r < 0 && errno != EINTR) {
            // No system random source: fall back to the seeded generator.
            LOG_AT(4 | LOG_OPT_ERRNO, "getrandom failed\n");
            memory_random_imp(0, p + done, n - done);
            break;
        }
    }
    return (int)n;
}

int mem_random_seed(void *buf, size_t n)
{
    srand((unsigned)os_time_ms());
    return memory_random_imp(1, buf, n);
}

int mem_ptr_init(mem_ptr *v)
{
    OS_CHECK_TXT(v != nullptr, "ctx!=NULL", -1);
    v->count = 0;
    v->capacity = 0;
    v->slots = (void **)os_zalloc(16 * sizeof(void *));
    if (!v->slots) return -1;
    v->capacity = 16;
    return 0;
}

int mem_ptr_resize(mem_ptr *v, u64 n)
{
    OS_CHECK_TXT(v != nullptr, "ctx!=NULL", -1);
    if (n <= v->capacity) return -1;
    if (n > (UINT32_MAX - OS_MALLOC_HDR) / sizeof(void *)) return -1;
    void **s = (void **)os_realloc(v->slots, n * sizeof(void *));
    if (!s) return -1;
    memset((void *)(s + v->capacity), 0, (n - v->capacity) * sizeof(void *));
    v->slots = s;
    v->capacity = n;
    return 0;
}

void mem_ptr_exit(mem_ptr *v)
{
    if (!v) return;
    os_free(v->slots);
    v->slots = nullptr;
    v->count = 0;
    v->capacity = 0;
}

int mem_ptr_add(mem_ptr *v, void *p)
{
    OS_CHECK_TXT(v != nullptr, "ctx!=NULL", -1);
    if (v->flags & MEM_PTR_UNIQUE)
        for (u64 i = 0; i < v->count; ++i)
            if (v->slots[i] == p) return 0;
    if (v->count >= v->capacity && mem_ptr_resize(v, v->capacity * 2 + 1) != 0) return -1;
    v->slots[v->count++] = p;
    return 0;
}

int mem_ptr_del(mem_ptr *v, u64 index)
{
    OS_CHECK_TXT(v != nullptr, "ctx!=NULL", -1);
    if (index >= v->count) return -1;
    memmove((void *)(v->slots + index), v->slots + index + 1, (v->count - index - 1) * sizeof(void *));
    v->slots[--v->count] = nullptr;
    return 0;
}

i64 mem_ptr_remove(mem_ptr *v, const void *p)
{
    OS_CHECK_TXT(v != nullptr, "ctx!=NULL", -1);
    for (u64 i = 0; i < v->count; ++i) {
        if (v->slots[i] == p) {
            mem_ptr_del(v, i);
            return (i64)i;
        }
    }
    return -1;
}

void mem_ptr_del_head(mem_ptr *v, u64 n)
{
    OS_CHECK_TXT(v != nullptr, "ctx!=NULL", );
    if (n > v->count) n = v->count;
    memmove((void *)v->slots, v->slots + n, (v->count - n) * sizeof(void *));
    memset((void *)(v->slots + v->count - n), 0, n * sizeof(void *));
    v->count -= n;
}

void mem_ptr_clear(mem_ptr *v)
{
    OS_CHECK_TXT(v != nullptr, "ctx!=NULL", );
    if (v->count) memset((void *)v->slots, 0, v->count * sizeof(void *));
    v->count = 0;
}

int mem_ptr_reset(mem_ptr *v)
{
    mem_ptr_exit(v);
    return mem_ptr_init(v);
}

void arr_sort_strs(char **arr, size_t n) { arr_qsort(arr, n, sizeof(char *), cmp_pstr); }
void arr_sort_by_name(void **arr, size_t n) { arr_qsort(arr, n, sizeof(void *), cmp_prec_str); }
void arr_sort_u64(u64 *arr, size_t n) { arr_qsort(arr, n, sizeof(u64), cmp_puint64); }

i64 arr_find_str(char *const *arr, size_t n, const char *text)
{
    return arr_bsearch(text, arr, n, sizeof(char *), cmp2_pstr);
}

i64 arr_find_by_name(void *const *arr, size_t n, const char *text)
{
    return arr_bsearch(text, arr, n, sizeof(void *), cmp2_prec_str);
}
