#pragma once
// Shared set-up of the fuzz targets: records of bad input are expected by
// the thousand, so only crit records are written.
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "liblog/log.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    log_ctx_get(nullptr)->level.store(LOG_LVL_CRIT);
    return 0;
}

// A check that holds for every input; a failure is a finding.
#define FUZZ_ASSERT(c)                                                    \
    do {                                                                  \
        if (!(c)) {                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
            abort();                                                      \
        }                                                                 \
    } while (0)

// The input cut into NUL-separated parts (at most max, the last one takes
// the rest), each in its own exactly-sized heap block so that any read
// past a part's end is caught.
struct fuzz_parts {
    std::vector<std::vector<char>> parts;

    fuzz_parts(const uint8_t *data, size_t size, size_t max)
    {
        size_t start = 0;
        for (size_t i = 0; i <= size; ++i) {
            bool last = parts.size() + 1 == max;
            if (i == size || (!last && data[i] == 0)) {
                std::vector<char> p(data + start, data + i);
                p.push_back(0);
                parts.push_back(std::move(p));
                start = i + 1;
                if (i == size) break;
            }
        }
        while (parts.size() < max) parts.push_back(std::vector<char>(1, 0));
    }
    char *operator[](size_t i) { return parts[i].data(); }
    size_t len(size_t i) const { return strlen(parts[i].data()); }
};
