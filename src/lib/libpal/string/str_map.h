#pragma once
// Ordered map from text keys to values. Its first four fields are the
// header shared with str_vector and str_array.
#include "libpal/env/os_types.h"

enum : u32 {
    STR_MAP_KEY_COPY = 0x1,   // the key text is copied into the entry
    STR_MAP_KEY_PTR = 0x8,    // the entry begins with the caller's key pointer
    STR_MAP_SORTED = 0x80,    // binary search; every add re-sorts
    STR_MAP_VAL_COPY = 0x100, // the value text is copied into the entry
    STR_MAP_VAL_OWN = 0x200,  // value pointers are freed on replace and clear
};

// Set modes, shared with the URL query editor.
enum {
    STR_MAP_SET_ALWAYS = 1,
    STR_MAP_SET_NOT_EXIST = 2,
    STR_MAP_SET_EXIST = 3,
    STR_MAP_DEL_EXIST = 4,
};

struct str_map {
    void **items;
    u64 count;
    u64 capacity;
    u32 flags;
};

int str_map_init(str_map *map, u32 flags);
str_map *str_map_new(u32 flags);
int str_map_clear(str_map *map);
int str_map_fini(str_map *map);
int str_map_free(str_map *map);
void str_map_sort(str_map *map);
const char *str_map_key(const str_map *map, u64 i);
void *str_map_val(const str_map *map, u64 i);
int str_map_find(const str_map *map, const char *key);
int str_map_add(str_map *map, const char *key, const void *value);
void *str_map_get(const str_map *map, const char *key);
int str_map_set(str_map *map, const char *key, const void *value);
const char *str_map_mode_name(int mode);
