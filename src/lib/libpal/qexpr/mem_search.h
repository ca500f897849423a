#pragma once
// Byte-pattern search: a forward shift-table search, a search with "?"
// wildcard positions, and hex pattern texts ("4b?64") over both.
#include "libpal/env/os_types.h"

// First occurrence of needle in hay, or NULL (also for an empty needle).
const u8 *mem_bmh_search(const void *hay, size_t hay_len, const void *needle, size_t needle_len);
// First position where every pattern byte equals the haystack byte or the
// mask has "?" at its index; NULL when the mask is shorter than the pattern.
const u8 *mem_mask_search(const void *hay, size_t hay_len, const void *pattern, size_t pattern_len,
                          const char *mask);
// A hex pattern text: with "?" positions searched with the mask, else
// hex-decoded and searched with the shift table. NULL for a text that
// reads as no bytes.
const u8 *mem_pattern_search(const void *hay, size_t hay_len, const char *pattern);
