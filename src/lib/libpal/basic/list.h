#pragma once
// Circular doubly linked list whose nodes live inside the listed records.
// A list is a head node; it is empty when head->next == head.
#include <cstddef>

#include "libpal/env/os_types.h"

struct list_node {
    list_node *next;
    list_node *prev;
};

// Record that holds a node, from the node's address and the member offset.
#define LIST_ENTRY(node, type, member) \
    ((type *)((char *)(node) - offsetof(type, member)))

void list_init(list_node *head);
// Inserts node just before head (at the end of the list). The tag names the
// calling place; it is accepted for diagnostics only.
void list_add_tail(list_node *head, list_node *node, const char *tag);
// Links node's neighbours to each other; node's own links stay as they were.
void list_del(list_node *node, const char *tag);
// Unlinks node and makes it a ring of its own.
void list_del_init(list_node *node);
void list_del_at(list_node *head, list_node *node);
// Unlinks the first node and returns its record (node address - offset), or
// NULL when the list is empty.
void *list_pop_front(list_node *head, size_t offset);
// Moves every node of src, in order, to the end (tail) or the front of dest
// and leaves src empty.
void list_splice_tail_init(list_node *dest, list_node *src);
void list_splice_init(list_node *dest, list_node *src);
// Verifies every back link. Returns head when sound; on a broken link
// returns NULL when name is NULL, else reports it on stderr and aborts.
list_node *list_check(list_node *head, const char *name);
list_node *list_check_head(list_node *head, const char *name);

inline bool list_empty(const list_node *head) { return head->next == head; }
