#pragma once
// Open-addressing hash table from NUL-terminated string keys to pointer
// values (MurmurHash2, perturbed probing, deleted-slot markers). Not safe
// for concurrent use: callers lock.
#include <cstdio>

#include "libpal/env/os_types.h"

enum : u32 {
    DICT_KEY_COPY = 0x1,    // keys are copied and freed by the table
    DICT_VAL_STR = 0x100,   // values are copied as strings
    DICT_VAL_FREE = 0x200,  // values are owned (freed) by the table
    DICT_VAL_OWNED = 0x300, // either bit: the table frees values
};

struct dict_slot {
    char *key;  // NULL empty, DICT_DELETED deleted
    void *value;
    u32 hash;
};

#define DICT_DELETED ((char *)~(uintptr_t)0)

struct dict {
    u32 flags;
    u32 fill;  // new-key insertions since the last rebuild
    u32 used;  // live keys
    u32 size;  // slots, a power of two
    dict_slot *slots;
};

// A node of dict_keys_list: one counted allocation holding the key copy.
struct dict_key_node {
    char *key;
    dict_key_node *next;
};

dict *dict_new(u32 flags);
void dict_free(dict *d);
int dict_add(dict *d, const char *key, void *value);
void *dict_get(dict *d, const char *key, void *def);
int dict_del(dict *d, const char *key);
u32 dict_count(const dict *d);
// Iteration from rank 0: the next live entry at or after slot rank, its
// key and value; returns the rank to continue with, -1 at the end.
int dict_enumerate(const dict *d, int rank, const char **key, void **value);
void dict_dump(const dict *d, FILE *out);
// Keys in slot order; *out is NULL for an empty table. Free each node with
// os_free. 0, or -1 when a node cannot be allocated (nothing is returned).
int dict_keys_list(const dict *d, dict_key_node **out);
u32 dict_hash(const void *data, size_t len);
dict_slot *dict_lookup_slot(dict *d, const char *key, u32 hash);
int dict_resize(dict *d);
char *dict_strdup(const char *text);
