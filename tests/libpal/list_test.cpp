#include <gtest/gtest.h>

#include <vector>

#include "libpal/basic/list.h"

namespace {

struct item {
    int v;
    list_node link;
};

std::vector<int> values(list_node *head)
{
    std::vector<int> out;
    for (list_node *n = head->next; n != head; n = n->next) out.push_back(LIST_ENTRY(n, item, link)->v);
    return out;
}

TEST(List, AddPopAndDelete)
{
    list_node head;
    list_init(&head);
    EXPECT_EQ(list_pop_front(&head, offsetof(item, link)), nullptr);
    EXPECT_TRUE(list_empty(&head));

    item it[4] = {{1, {}}, {2, {}}, {3, {}}, {4, {}}};
    for (auto &i : it) list_add_tail(&head, &i.link, "t");
    EXPECT_EQ(values(&head), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(list_check(&head, nullptr), &head);

    list_del(&it[1].link, "t");
    EXPECT_EQ(values(&head), (std::vector<int>{1, 3, 4}));
    // A deleted node keeps pointing at its old neighbours.
    EXPECT_EQ(it[1].link.prev, &it[0].link);
    EXPECT_EQ(it[1].link.next, &it[2].link);

    list_del_init(&it[2].link);
    EXPECT_EQ(it[2].link.next, &it[2].link);
    EXPECT_EQ(it[2].link.prev, &it[2].link);

    EXPECT_EQ(list_pop_front(&head, offsetof(item, link)), &it[0]);
    EXPECT_EQ(values(&head), (std::vector<int>{4}));
    list_del_at(&head, &it[3].link);
    EXPECT_TRUE(list_empty(&head));
    EXPECT_EQ(list_check_head(&head, nullptr), &head);
}

TEST(List, Splice)
{
    list_node a, b;
    list_init(&a);
    list_init(&b);
    item it[5] = {{1, {}}, {2, {}}, {3, {}}, {4, {}}, {5, {}}};
    list_add_tail(&a, &it[0].link, "t");
    list_add_tail(&a, &it[1].link, "t");
    list_add_tail(&b, &it[2].link, "t");
    list_add_tail(&b, &it[3].link, "t");

    list_node empty;
    list_init(&empty);
    list_splice_tail_init(&a, &empty);
    list_splice_init(&a, &empty);
    EXPECT_EQ(values(&a), (std::vector<int>{1, 2}));
    EXPECT_TRUE(list_empty(&empty));

    list_splice_tail_init(&a, &b);
    EXPECT_EQ(values(&a), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(list_empty(&b));
    EXPECT_EQ(list_check(&a, nullptr), &a);

    list_add_tail(&b, &it[4].link, "t");
    list_splice_init(&a, &b);
    EXPECT_EQ(values(&a), (std::vector<int>{5, 1, 2, 3, 4}));
    EXPECT_TRUE(list_empty(&b));
    EXPECT_EQ(list_check(&a, nullptr), &a);
    // Walking backwards gives the same ring.
    std::vector<int> back;
    for (list_node *n = a.prev; n != &a; n = n->prev) back.push_back(LIST_ENTRY(n, item, link)->v);
    EXPECT_EQ(back, (std::vector<int>{4, 3, 2, 1, 5}));
}

TEST(List, CheckFindsBrokenBackLink)
{
    list_node head;
    list_init(&head);
    item it[3] = {{1, {}}, {2, {}}, {3, {}}};
    for (auto &i : it) list_add_tail(&head, &i.link, "t");
    it[1].link.prev = &it[2].link;
    EXPECT_EQ(list_check(&head, nullptr), nullptr);
    EXPECT_EQ(list_check_head(&head, nullptr), nullptr);
    EXPECT_DEATH(list_check(&head, "mylist"), "mylist: prev corrupt in node 0x[0-9a-f]+ \\(2\\) of 0x");
    it[1].link.prev = &it[0].link;
    head.prev = &it[0].link;
    EXPECT_EQ(list_check(&head, nullptr), nullptr);
    EXPECT_DEATH(list_check(&head, "h"), "h: prev corrupt in node 0x[0-9a-f]+ \\(0\\) of 0x");
}

}  // namespace
