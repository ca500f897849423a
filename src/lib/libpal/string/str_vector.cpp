#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_vector"
#include "libpal/string/str_vector.h"

#include <cstring>
#include <strings.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_safe.h"

static_assert(offsetof(str_vector, items) == offsetof(str_arr_hdr, items));
static_assert(offsetof(str_vector, count) == offsetof(str_arr_hdr, count));
static_assert(offsetof(str_vector, capacity) == offsetof(str_arr_hdr, capacity));
static_assert(offsetof(str_vector, flags) == offsetof(str_arr_hdr, flags));

void str_vector_init(str_vector *vec, u32 flags)
{
    memset(vec, 0, sizeof *vec);
    if (!(flags & (STR_VEC_OWN | STR_VEC_TEXT | STR_VEC_ADDR | STR_VEC_INDIRECT)))
        flags |= STR_VEC_ADDR;
    vec->flags = flags;
}

str_vector *str_vector_new(u32 flags)
{
    str_vector *v = (str_vector *)os_zalloc(sizeof(str_vector));
    if (!v) return nullptr;
    str_vector_init(v, flags);
    v->heap = 1;
    return v;
}

// Drops every item (freeing owned ones); the items array stays.
static void drop_items(str_vector *vec)
{
    if (vec->flags & STR_VEC_OWN) {
        for (u64 i = 0; i < vec->count; ++i) {
            os_free(vec->items[i]);
            vec->items[i] = nullptr;
        }
    }
    vec->count = 0;
    if (vec->items && vec->capacity) vec->items[0] = nullptr;
}

void str_vector_reset(str_vector *vec)
{
    drop_items(vec);
    os_free(vec->split_buf);
    vec->split_buf = nullptr;
    vec->split_size = 0;
}

void str_vector_fini(str_vector *vec)
{
    str_vector_reset(vec);
    os_free(vec->items);
    vec->items = nullptr;
    vec->capacity = 0;
}

void str_vector_free(str_vector *vec)
{
    if (!vec) return;
    str_vector_fini(vec);
    if (vec->heap) os_free(vec);
}

int str_vector_find_case(const str_vector *vec, const char *text)
{
    if (!text) return -1;
    for (u64 i = 0; i < vec->count; ++i)
        if (vec->items[i] && strcmp(vec->items[i], text) == 0) return (int)i;
    return -1;
}

int str_vector_find_nocase(const str_vector *vec, const char *text)
{
    if (!text) return -1;
    for (u64 i = 0; i < vec->count; ++i)
        if (vec->items[i] && strcasecmp(vec->items[i], text) == 0) return (int)i;
    return -1;
}

int str_vector_find(const str_vector *vec, const char *text)
{
    return (vec->flags & STR_VEC_NOCASE) ? str_vector_find_nocase(vec, text)
                                         : str_vector_find_case(vec, text);
}

int str_vector_add(str_vector *vec, const char *text)
{
    if (!text) return -1;
    if ((vec->flags & STR_VEC_SKIP_EMPTY) && !*text) return 0;
    if (str_arr_reserve(vec, 0) != 0) return -1;
    if ((vec->flags & STR_VEC_UNIQUE) && str_vector_find(vec, text) >= 0) return 0;
    char *item = (char *)text;
    if (vec->flags & STR_VEC_OWN) {
        item = os_strdup(text);
        if (!item) return -1;
    }
    vec->items[vec->count++] = item;
    return 0;
}

int str_vector_del(str_vector *vec, const char *text)
{
    if (!text) return -1;
    int removed = 0;
    u64 w = 0;
    for (u64 r = 0; r < vec->count; ++r) {
        bool hit = vec->items[r] && ((vec->flags & STR_VEC_NOCASE)
                                         ? strcasecmp(vec->items[r], text) == 0
                                         : strcmp(vec->items[r], text) == 0);
        if (hit) {
            if (vec->flags & STR_VEC_OWN) os_free(vec->items[r]);
            ++removed;
        } else {
            vec->items[w++] = vec->items[r];
        }
    }
    for (u64 i = w; i < vec->count; ++i) vec->items[i] = nullptr;
    vec->count = w;
    return removed ? 0 : -1;
}

int str_vector_terminate(str_vector *vec)
{
    if (str_arr_reserve(vec, 0) != 0) return -1;
    vec->items[vec->count] = nullptr;
    return 0;
}

void str_vector_sort(str_vector *vec)
{
    str_array_sort(vec);
}

int str_vector_sort_uniq(str_vector *vec)
{
    str_array_uniq(vec);
    return 0;
}

// Adds every strsep piece of buffer. A piece that cannot be stored makes
// the result -1, so that a short list is never taken for the whole one.
int str_split_imp(char *buffer, const char *delims, str_vector *vec)
{
    int rc = 0;
    char *p = buffer;
    char *tok;
    while ((tok = strsep(&p, delims)) != nullptr)
        if (str_vector_add(vec, tok) != 0) rc = -1;
    if (str_vector_terminate(vec) != 0) rc = -1;
    return rc;
}

static bool in_block(const char *p, const char *block, u64 size)
{
    return block && (uintptr_t)p >= (uintptr_t)block && (uintptr_t)p < (uintptr_t)block + size;
}

// Makes a private copy of text the split buffer. The copy is made before
// anything is released, so text may be one of the vector's own items or lie
// in the split buffer. When keep is false every item is dropped (owned ones
// freed); otherwise only the items that point into the old split buffer go,
// since they would dangle. On failure the vector is left as it was.
static int take_text(str_vector *vec, const char *text, bool reuse, bool keep)
{
    size_t need = strlen(text) + 1;
    char *old = vec->split_buf;
    u64 old_size = vec->split_size;
    if (reuse && old && old_size >= need) {
        memmove(old, text, need);
        drop_items(vec);
        return 0;
    }
    char *copy = os_strdup(text);
    if (!copy) return -1;
    if (!keep) {
        drop_items(vec);
    } else if (!(vec->flags & STR_VEC_OWN)) {
        u64 w = 0;
        for (u64 r = 0; r < vec->count; ++r)
            if (!in_block(vec->items[r], old, old_size)) vec->items[w++] = vec->items[r];
        for (u64 i = w; i < vec->count; ++i) vec->items[i] = nullptr;
        vec->count = w;
    }
    os_free(old);
    vec->split_buf = copy;
    vec->split_size = need;
    return 0;
}

int str_split(const char *text, const char *delims, str_vector *vec)
{
    if (!text || !delims || !vec) return -1;
    if (take_text(vec, text, true, false) != 0) return -1;
    return str_split_imp(vec->split_buf, delims, vec);
}

int str_split_esape(const char *text, const char *delims, const char *quotes, str_vector *vec)
{
    if (!text || !delims || !vec) return -1;
    if (take_text(vec, text, false, true) != 0) return -1;
    char *buf = vec->split_buf;
    if (!quotes) return str_split_imp(buf, delims, vec);
    size_t nq = 0;
    for (const char *p = buf; *p; ++p)
        if (strchr(quotes, *p)) ++nq;
    if (nq & 1) {
        LOG_ERR("syntax error\n");
        return -1;
    }
    if (nq == 0) return str_split_imp(buf, delims, vec);
    int rc = 0;
    bool inside = false;
    char *piece = buf;
    for (char *p = buf; *p; ++p) {
        if (strchr(quotes, *p)) {
            inside = !inside;
        } else if (!inside && strchr(delims, *p)) {
            *p = 0;
            if (str_vector_add(vec, piece) != 0) rc = -1;
            piece = p + 1;
        }
    }
    if (*piece && str_vector_add(vec, piece) != 0) rc = -1;
    if (str_vector_terminate(vec) != 0) rc = -1;
    return rc;
}

char *str_get_head(const char *text, char *buf, size_t blen)
{
    OS_CHECK_TXT(text != nullptr, "info!=NULL", buf);
    OS_CHECK_TXT(buf != nullptr, "buf!=NULL", buf);
    OS_CHECK_TXT(blen > 0, "blen>0", buf);
    size_t n = strnlen(text, blen - 1);
    memcpy(buf, text, n);
    buf[n] = 0;
    char *w = buf;
    for (char *r = buf; *r; ++r)
        if (*r != '\r' && *r != '\n') *w++ = *r;
    *w = 0;
    return buf;
}
