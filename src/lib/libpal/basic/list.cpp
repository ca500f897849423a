#include "libpal/basic/list.h"

#include <cstdio>
#include <cstdlib>

void list_init(list_node *head)
{
    head->next = head;
    head->prev = head;
}

void list_add_tail(list_node *head, list_node *node, const char *tag)
{
    (void)tag;
    list_node *last = head->prev;
    node->next = head;
    node->prev = last;
    last->next = node;
    head->prev = node;
}

void list_del(list_node *node, const char *tag)
{
    (void)tag;
    node->prev->next = node->next;
    node->next->prev = node->prev;
}

void list_del_init(list_node *node)
{
    list_del(node, "src/lib/libpal/basic/list:84");
    list_init(node);
}

void list_del_at(list_node *head, list_node *node)
{
    (void)head;
    list_del(node, "src/lib/libpal/basic/list:84");
}

void *list_pop_front(list_node *head, size_t offset)
{
    if (head->next == head) return nullptr;
    list_node *n = head->next;
    list_del(n, "src/lib/libpal/basic/list:115");
    return (char *)n - offset;
}

// Moves every node of src, in order, between two adjacent nodes and
// leaves src empty.
static void splice_between(list_node *src, list_node *before, list_node *after)
{
    if (src->next != src) {
        list_node *first = src->next, *last = src->prev;
        before->next = first;
        first->prev = before;
        last->next = after;
        after->prev = last;
    }
    list_init(src);
}

void list_splice_tail_init(list_node *dest, list_node *src) { splice_between(src, dest->prev, dest); }

void list_splice_init(list_node *dest, list_node *src) { splice_between(src, dest, dest->next); }

static list_node *list_corrupt(list_node *head, list_node *node, u32 n, const char *name)
{
    if (!name) return nullptr;
    fprintf(stderr, "%s: prev corrupt in node %p (%u) of %p\n", name, (void *)node, n,
            (void *)head);
    abort();
}

list_node *list_check(list_node *head, const char *name)
{
    list_node *prev = head;
    u32 n = 0;
    for (list_node *p = head->next; p != head; p = p->next) {
        ++n;
        if (p->prev != prev) return list_corrupt(head, p, n, name);
        prev = p;
    }
    if (head->prev != prev) return list_corrupt(head, head, 0, name);
    return head;
}

list_node *list_check_head(list_node *head, const char *name)
{
    return list_check(head, name) ? head : nullptr;
}
