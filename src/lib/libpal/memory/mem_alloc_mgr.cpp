#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/memory/mem_alloc_mgr"
#include "libpal/memory/mem_alloc_mgr.h"

#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/memory/lbuf.h"

namespace {

// A slab hands out items of its fixed size: a larger request is refused
// rather than given a block it would overrun.
void *slab_alloc(lbuf *B, size_t size)
{
    OS_CHECK_RET(size <= B->item_size, nullptr);
    return lbuf_slab_malloc(B);
}

mem_alloc_mgr *mgr_new(u32 type, u64 item_size, bool slab)
{
    auto *m = (mem_alloc_mgr *)os_zalloc(sizeof(mem_alloc_mgr));
    if (!m) return nullptr;
    if (type != 0) {
        OS_CHECK_LOG("0");
        os_free(m);
        return nullptr;
    }
    lbuf_param p = {};
    p.item_size = item_size;
    m->hbuf = lbuf_new(&p);
    if (!m->hbuf) {
        os_free(m);
        return nullptr;
    }
    m->type = type;
    m->alloc = slab ? slab_alloc : lbuf_malloc;
    m->free = lbuf_free;
    m->clear = lbuf_clear;
    m->destroy = lbuf_del;
    return m;
}

}  // namespace

mem_alloc_mgr *mem_slab_mgr_init(u32 type, void *unused, u64 item_size)
{
    (void)unused;
    return mgr_new(type, item_size, true);
}

mem_alloc_mgr *mem_pool_mgr_init(u32 type, void *unused)
{
    (void)unused;
    return mgr_new(type, 0, false);
}

void *mem_mgr_alloc(mem_alloc_mgr *m, size_t size)
{
    OS_CHECK_RET(m != nullptr, nullptr);
    return m->alloc ? m->alloc(m->hbuf, size) : nullptr;
}

void mem_mgr_free(mem_alloc_mgr *m, void *block)
{
    OS_CHECK_RET_VOID(m != nullptr);
    if (m->free) m->free(m->hbuf, block);
}

void mem_mgr_exit(mem_alloc_mgr *m)
{
    if (!m) return;
    if (m->destroy) m->destroy(m->hbuf);
    os_free(m);
}

void mem_mgr_clear(mem_alloc_mgr *m)
{
    OS_CHECK_RET_VOID(m != nullptr);
    if (m->clear) m->clear(m->hbuf);
}

char *mem_mgr_strdup(mem_alloc_mgr *m, const char *s)
{
    OS_CHECK_RET(m != nullptr, nullptr);
    OS_CHECK_RET(s != nullptr, nullptr);
    size_t n = strlen(s);
    char *d = (char *)mem_mgr_alloc(m, n + 1);
    if (d) memcpy(d, s, n + 1);
    return d;
}
