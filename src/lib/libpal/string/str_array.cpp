#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_array"
#include "libpal/string/str_array.h"

#include <cstring>

#include "libpal/basic/cmp.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_vector.h"

static_assert(offsetof(str_array, items) == offsetof(str_arr_hdr, items));
static_assert(offsetof(str_array, count) == offsetof(str_arr_hdr, count));
static_assert(offsetof(str_array, capacity) == offsetof(str_arr_hdr, capacity));
static_assert(offsetof(str_array, flags) == offsetof(str_arr_hdr, flags));

static constexpr u32 STR_ARR_MODES = STR_ARR_OWN | STR_ARR_TEXT | STR_ARR_VALUE | STR_ARR_INDIRECT;

str_array *str_array_new(u64 capacity, u32 flags)
{
    if (capacity == 0) capacity = 1;
    if (capacity >= UINT32_MAX / sizeof(char *)) return nullptr;
    auto *a = (str_array *)os_zalloc(sizeof(str_array));
    if (!a) return nullptr;
    a->items = (char **)os_zalloc((capacity + 1) * sizeof(char *));
    if (!a->items) {
        os_free(a);
        return nullptr;
    }
    a->capacity = capacity;
    if (!(flags & STR_ARR_MODES)) flags |= STR_ARR_VALUE;
    a->flags = flags;
    return a;
}

int str_array_add(str_array *arr, const char *text)
{
    if (!arr || !text) return -1;
    // one slot beyond the capacity keeps the items NULL-terminated
    if (str_arr_reserve(arr, 1) != 0) return -1;
    char *item = (char *)text;
    if (arr->flags & STR_ARR_OWN) {
        item = os_strdup(text);
        if (!item) return -1;
    }
    arr->items[arr->count++] = item;
    return 0;
}

// The shared header is read and written field by field through memcpy, so
// the three container types may be passed without aliasing questions.
namespace {

struct hdr_view {
    void *base;
    char **items;
    u64 count;
    u32 flags;

    explicit hdr_view(void *p) : base(p)
    {
        memcpy(&items, (char *)p + offsetof(str_arr_hdr, items), sizeof items);
        memcpy(&count, (char *)p + offsetof(str_arr_hdr, count), sizeof count);
        memcpy(&flags, (char *)p + offsetof(str_arr_hdr, flags), sizeof flags);
    }
    void set_count(u64 n)
    {
        count = n;
        memcpy((char *)base + offsetof(str_arr_hdr, count), &n, sizeof n);
    }
    void truncate(u64 n)
    {
        if (n >= count) return;
        for (u64 i = n; i < count; ++i) {
            if (flags & STR_ARR_OWN) os_free(items[i]);
            items[i] = nullptr;
        }
        set_count(n);
    }
};

}  // namespace

void str_array_truncate(str_array *arr, u64 n)
{
    if (!arr) return;
    hdr_view(arr).truncate(n);
}

void str_array_free(str_array *arr)
{
    if (!arr) return;
    str_array_truncate(arr, 0);
    os_free(arr->items);
    os_free(arr);
}

void str_array_sort(void *arr)
{
    if (!arr) return;
    hdr_view h(arr);
    if (h.count == 0) return;
    auto cmp = cmp_array_get_proc(h.flags, nullptr, 0);
    if (!cmp) return;
    arr_qsort(h.items, h.count, sizeof(char *), cmp);
}

void str_array_uniq(void *arr)
{
    if (!arr) return;
    hdr_view h(arr);
    if (h.count == 0) return;
    auto cmp = cmp_array_get_proc(h.flags, nullptr, 0);
    if (!cmp) return;
    u64 kept = (u64)arr_unique(h.items, h.count, sizeof(char *), cmp);
    h.truncate(kept);
}
