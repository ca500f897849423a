#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/memory/lbuf"
#include "libpal/memory/lbuf.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/tid_name.h"

namespace {

// Block header: list links and the requested size, padded so that the
// caller's memory keeps the counted allocator's alignment.
struct alignas(16) lbuf_blk {
    list_node link;
    u64 size;
};

inline lbuf_blk *blk_of(const void *mem) { return (lbuf_blk *)((char *)mem - sizeof(lbuf_blk)); }
inline void *mem_of(lbuf_blk *b) { return (char *)b + sizeof(lbuf_blk); }
inline lbuf_blk *blk_of_link(list_node *n) { return (lbuf_blk *)n; }

// True when the calling thread holds the lock through lbuf_lock: only that
// thread may skip the mutex.
bool held_by_me(lbuf *B)
{
    u32 t = std::atomic_ref<u32>(B->held_tid).load(std::memory_order_acquire);
    return t != 0 && t == os_gettid();
}

class lbuf_guard {
public:
    explicit lbuf_guard(lbuf *B) : m_(held_by_me(B) ? nullptr : B->mutex) { if (m_) os_mutex_lock(m_); }
    ~lbuf_guard() { if (m_) os_mutex_unlock(m_); }
    lbuf_guard(const lbuf_guard &) = delete;
    lbuf_guard &operator=(const lbuf_guard &) = delete;
private:
    os_mutex *m_;
};

}  // namespace

lbuf *lbuf_new(const lbuf_param *param)
{
    lbuf *B = (lbuf *)os_zalloc(sizeof(lbuf));
    if (!B) return nullptr;
    list_init(&B->head);
    B->mutex = os_mutex_new();
    if (!B->mutex) {
        os_free(B);
        return nullptr;
    }
    if (param) {
        if (param->name) {
            B->name = os_strdup(param->name);
            if (!B->name) {
                os_mutex_free(B->mutex);
                os_free(B);
                return nullptr;
            }
        }
        B->arg = param->arg;
        B->item_size = param->item_size;
        B->blk_init = param->blk_init;
        B->blk_free = param->blk_free;
    }
    return B;
}

void *lbuf_malloc_imp(lbuf *B, size_t size, int zero)
{
    OS_CHECK_RET(B != nullptr, nullptr);
    // Sizes are recorded in 32 bits by the counted allocator.
    if (size > UINT32_MAX - sizeof(lbuf_blk)) {
        LOG_ERR("size=%zu too large\n", size);
        return nullptr;
    }
    size_t total = size + sizeof(lbuf_blk);
    lbuf_blk *b = (lbuf_blk *)(zero ? os_zalloc(total) : os_malloc(total));
    if (!b) return nullptr;
    void *mem = mem_of(b);
    b->size = size;
    if (B->blk_init) B->blk_init(mem, B->arg);
    {
        lbuf_guard g(B);
        list_add_tail(&B->head, &b->link, "src/lib/libpal/memory/lbuf");
        ++B->count;
    }
    return mem;
}

void *lbuf_malloc(lbuf *B, size_t size) { return lbuf_malloc_imp(B, size, 0); }
void *lbuf_malloc0(lbuf *B, size_t size) { return lbuf_malloc_imp(B, size, 1); }

void *lbuf_slab_malloc(lbuf *B)
{
    OS_CHECK_RET(B != nullptr, nullptr);
    OS_CHECK_RET(B->item_size != 0, nullptr);
    return lbuf_malloc_imp(B, B->item_size, 0);
}

void *lbuf_slab_malloc0(lbuf *B)
{
    OS_CHECK_RET(B != nullptr, nullptr);
    OS_CHECK_RET(B->item_size != 0, nullptr);
    return lbuf_malloc_imp(B, B->item_size, 1);
}

char *lbuf_strdup(lbuf *B, const char *s)
{
    OS_CHECK_RET(s != nullptr, nullptr);
    size_t n = strlen(s);
    char *d = (char *)lbuf_malloc(B, n + 1);
    if (d) memcpy(d, s, n + 1);
    return d;
}

char *lbuf_strndup(lbuf *B, const char *s, size_t n)
{
    OS_CHECK_RET(s != nullptr, nullptr);
    n = strnlen(s, n);
    char *d = (char *)lbuf_malloc(B, n + 1);
    if (!d) return nullptr;
    memcpy(d, s, n);
    d[n] = '\0';
    return d;
}

char *lbuf_asprintf(lbuf *B, const char *fmt, ...)
{
    OS_CHECK_RET(B != nullptr, nullptr);
    char *out = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int n = os_vasprintf_imp(&out, fmt, ap, reinterpret_cast<os_alloc_any>(lbuf_malloc), B);
    va_end(ap);
    return n < 0 ? nullptr : out;
}

void *lbuf_realloc(lbuf *B, void *block, size_t size)
{
    if (!block) return lbuf_malloc(B, size);
    if (size == 0) {
        lbuf_free(B, block);
        return nullptr;
    }
    lbuf_blk *b = blk_of(block);
    if (size <= b->size) return block;
    void *nb = lbuf_malloc(B, size);
    if (!nb) return nullptr;
    memcpy(nb, block, b->size);
    lbuf_free(B, block);
    return nb;
}

void lbuf_free(lbuf *B, void *block)
{
    if (!block) return;
    OS_CHECK_RET_VOID(B != nullptr);
    if (B->blk_free) B->blk_free(block, B->arg);
    lbuf_blk *b = blk_of(block);
    {
        lbuf_guard g(B);
        list_del(&b->link, "src/lib/libpal/memory/lbuf");
        --B->count;
    }
    os_free(b);
}

int lbuf_contains(lbuf *B, const void *ptr)
{
    if (!B || !ptr) return 0;
    lbuf_guard g(B);
    for (list_node *n = B->head.next; n != &B->head; n = n->next)
        if (mem_of(blk_of_link(n)) == ptr) return 1;
    return 0;
}

void lbuf_clear(lbuf *B)
{
    if (!B) return;
    list_node *n = B->head.next;
    while (n != &B->head) {
        list_node *next = n->next;
        void *mem = mem_of(blk_of_link(n));
        if (B->blk_free) B->blk_free(mem, B->arg);
        os_free(blk_of_link(n));
        n = next;
    }
    list_init(&B->head);
    B->count = 0;
}

void lbuf_del(lbuf *B)
{
    if (!B) return;
    lbuf_clear(B);
    os_mutex_free(B->mutex);
    os_free(B->name);
    os_free(B);
}

void lbuf_lock(lbuf *B)
{
    OS_CHECK_RET_VOID(B != nullptr);
    os_mutex_lock(B->mutex);
    B->held = 1;
    std::atomic_ref<u32>(B->held_tid).store(os_gettid(), std::memory_order_release);
}

void lbuf_unlock(lbuf *B)
{
    OS_CHECK_RET_VOID(B != nullptr);
    if (!held_by_me(B)) {
        LOG_ERR("lbuf %s unlocked by a thread that does not hold it\n", B->name ? B->name : "");
        return;
    }
    std::atomic_ref<u32>(B->held_tid).store(0, std::memory_order_release);
    B->held = 0;
    os_mutex_unlock(B->mutex);
}

void lbuf_iter_init(lbuf *B, lbuf_iter *it)
{
    OS_CHECK_RET_VOID(B != nullptr && it != nullptr);
    it->head = &B->head;
    it->cur = B->head.next;
}

void *lbuf_iter_next(lbuf_iter *it)
{
    if (!it || !it->head || it->cur == it->head) return nullptr;
    list_node *n = it->cur;
    it->cur = n->next;
    return mem_of(blk_of_link(n));
}

size_t lbuf_block_size(const void *block)
{
    return block ? (size_t)blk_of(block)->size : 0;
}
