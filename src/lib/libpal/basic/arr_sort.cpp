#include <cstring>

#include "libpal/basic/cmp.h"

namespace {

constexpr size_t kChunk = 64;

// Exchanges two elements through a small stack buffer, never allocating.
template <size_t S>
inline void swap_elems(char *a, char *b, size_t size)
{
    if constexpr (S != 0) {
        (void)size;
        char t[S];
        memcpy(t, a, S);
        memcpy(a, b, S);
        memcpy(b, t, S);
    } else {
        char t[kChunk];
        for (size_t o = 0; o < size; o += kChunk) {
            size_t c = size - o < kChunk ? size - o : kChunk;
            memcpy(t, a + o, c);
            memcpy(a + o, b + o, c);
            memcpy(b + o, t, c);
        }
    }
}

// Moves the element at run down to dst, shifting dst..run-1 up by one.
template <size_t S>
inline void rotate_into(char *dst, char *run, size_t size)
{
    char t[S ? S : kChunk];
    const size_t step = S ? S : kChunk;
    for (size_t o = 0; o < size; o += step) {
        size_t c = size - o < step ? size - o : step;
        memcpy(t, run + o, c);
        for (char *p = run; p != dst; p -= size) memcpy(p + o, p - size + o, c);
        memcpy(dst + o, t, c);
    }
}

constexpr size_t kThresh = 4;

struct range {
    char *lo;
    char *hi;
};

template <size_t S>
void qsort_imp(char *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx)
{
    if (S) size = S;
    const size_t max_thresh = kThresh * size;
    if (n > kThresh) {
        char *lo = base, *hi = base + size * (n - 1);
        // The larger part is pushed and the smaller handled next, so the
        // stack never holds more than log2(n) ranges.
        range stack[8 * sizeof(size_t)];
        size_t top = 0;
        for (;;) {
            char *mid = lo + size * (((size_t)(hi - lo) / size) >> 1);
            if (cmp(mid, lo, ctx) < 0) swap_elems<S>(mid, lo, size);
            if (cmp(hi, mid, ctx) < 0) {
                swap_elems<S>(mid, hi, size);
                if (cmp(mid, lo, ctx) < 0) swap_elems<S>(mid, lo, size);
            }
            char *left = lo + size, *right = hi - size;
            do {
                while (cmp(left, mid, ctx) < 0) left += size;
                while (cmp(mid, right, ctx) < 0) right -= size;
                if (left < right) {
                    swap_elems<S>(left, right, size);
                    if (mid == left) mid = right;
                    else if (mid == right) mid = left;
                    left += size;
                    right -= size;
                } else if (left == right) {
                    left += size;
                    right -= size;
                    break;
                }
            } while (left <= right);

            bool small_lo = (size_t)(right - lo) <= max_thresh;
            bool small_hi = (size_t)(hi - left) <= max_thresh;
            if (small_lo && small_hi) {
                if (top == 0) break;
                --top;
                lo = stack[top].lo;
                hi = stack[top].hi;
            } else if (small_lo) {
                lo = left;
            } else if (small_hi) {
                hi = right;
            } else if (right - lo > hi - left) {
                stack[top++] = {lo, right};
                lo = left;
            } else {
                stack[top++] = {left, hi};
                hi = right;
            }
        }
    }

    // Insertion pass: the smallest of the first elements goes to the front
    // as a sentinel, then every element moves left past larger neighbours.
    char *end = base + size * (n - 1);
    char *thresh = n - 1 < kThresh ? end : base + max_thresh;
    char *min = base;
    for (char *run = base + size; run <= thresh; run += size)
        if (cmp(run, min, ctx) < 0) min = run;
    if (min != base) swap_elems<S>(min, base, size);
    if (n < 3) return;
    for (char *run = base + 2 * size; run <= end; run += size) {
        char *t = run - size;
        while (cmp(run, t, ctx) < 0) t -= size;
        t += size;
        if (t != run) rotate_into<S>(t, run, size);
    }
}

}  // namespace

int cmp_adapter(const void *a, const void *b, void *ctx) { return ((cmp_fn)ctx)(a, b); }

void arr_qsort_r(void *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx)
{
    if (n == 0 || size == 0 || !base || !cmp) return;
    char *b = (char *)base;
    switch (size) {
    case 1: qsort_imp<1>(b, n, size, cmp, ctx); break;
    case 4: qsort_imp<4>(b, n, size, cmp, ctx); break;
    case 8: qsort_imp<8>(b, n, size, cmp, ctx); break;
    case 16: qsort_imp<16>(b, n, size, cmp, ctx); break;
    default: qsort_imp<0>(b, n, size, cmp, ctx); break;
    }
}

void arr_qsort(void *base, size_t n, size_t size, cmp_fn cmp)
{
    if (!cmp) return;
    arr_qsort_r(base, n, size, cmp_adapter, (void *)cmp);
}

void arr_bubble_sort(void *base, size_t n, size_t size, cmp_fn cmp)
{
    if (n < 2 || size == 0 || !base || !cmp) return;
    char *b = (char *)base;
    size_t bound = n - 1;
    while (bound > 0) {
        size_t last = 0;
        for (size_t i = 0; i < bound; ++i) {
            char *x = b + i * size;
            if (cmp(x, x + size) > 0) {
                swap_elems<0>(x, x + size, size);
                last = i;
            }
        }
        bound = last;
    }
}

int arr_is_sorted(const void *base, size_t n, size_t size, cmp_fn cmp)
{
    if (n < 2 || !base || !cmp) return 1;
    const char *b = (const char *)base;
    bool up = false, down = false;
    for (size_t i = 0; i + 1 < n; ++i) {
        int c = cmp(b + i * size, b + (i + 1) * size);
        if (c < 0) up = true;
        else if (c > 0) down = true;
        if (up && down) return 0;
    }
    return up ? 2 : down ? 3 : 1;
}

size_t arr_unique(void *base, size_t n, size_t size, cmp_fn cmp)
{
    if (n < 2 || !base || !cmp) return n;
    char *b = (char *)base;
    char *k = b;
    for (char *e = b + size; e < b + n * size; e += size) {
        if (cmp(k, e) != 0) {
            k += size;
            if (k != e) swap_elems<0>(k, e, size);
        }
    }
    return (size_t)(k - b) / size + 1;
}

i64 arr_bsearch_r(const void *key, const void *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx)
{
    if (!base || !cmp) return -1;
    const char *start = (const char *)base;
    size_t len = n;
    while (len != 0) {
        const char *p = start + (len / 2) * size;
        int c = cmp(key, p, ctx);
        if (c == 0) return (i64)((size_t)(p - (const char *)base) / size);
        if (c < 0) {
            len /= 2;
        } else {
            start = p + size;
            len = len - len / 2 - 1;
        }
    }
    return -1;
}

i64 arr_bsearch(const void *key, const void *base, size_t n, size_t size, cmp_fn cmp)
{
    if (!cmp) return -1;
    return arr_bsearch_r(key, base, n, size, cmp_adapter, (void *)cmp);
}

i64 arr_find_r(const void *key, const void *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx)
{
    if (!base || !cmp) return -1;
    const char *b = (const char *)base;
    for (size_t i = 0; i < n; ++i)
        if (cmp(key, b + i * size, ctx) == 0) return (i64)i;
    return -1;
}

i64 arr_find(const void *key, const void *base, size_t n, size_t size, cmp_fn cmp)
{
    if (!cmp) return -1;
    return arr_find_r(key, base, n, size, cmp_adapter, (void *)cmp);
}

size_t arr_count_r(const void *key, const void *base, size_t n, size_t size, cmp_r_fn cmp, void *ctx)
{
    if (!base || !cmp) return 0;
    const char *b = (const char *)base;
    size_t c = 0;
    for (size_t i = 0; i < n; ++i)
        if (cmp(key, b + i * size, ctx) == 0) ++c;
    return c;
}

size_t arr_count(const void *key, const void *base, size_t n, size_t size, cmp_fn cmp)
{
    if (!cmp) return 0;
    return arr_count_r(key, base, n, size, cmp_adapter, (void *)cmp);
}
