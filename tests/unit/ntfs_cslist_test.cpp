#include <gtest/gtest.h>

#include <vector>

#include "ntfs/CSList.h"

namespace {

struct Tracked {
    explicit Tracked(int v, int* alive) : value(v), alive(alive) { ++*alive; }
    virtual ~Tracked() { --*alive; }
    int value;
    int* alive;
};

TEST(CSList, DiscardTailThenAppendAttachesAfterNewTail) {
    int alive = 0;
    CSList<Tracked> list;
    auto* a = new Tracked(1, &alive);
    auto* b = new Tracked(2, &alive);
    auto* c = new Tracked(3, &alive);
    list.Append(a);
    list.Append(b);
    list.Append(c);
    // Made while c still lives, so it cannot take c's address once c is freed.
    auto* d = new Tracked(4, &alive);
    EXPECT_TRUE(list.Discard(c));
    EXPECT_EQ(alive, 3);
    list.Append(d);
    std::vector<int> seen;
    for (Tracked* t = list.First(); t != nullptr; t = list.Next()) seen.push_back(t->value);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(list.Count(), 3);
    EXPECT_FALSE(list.Discard(c));  // already gone
}

TEST(CSList, DiscardUnderCursorMovesCursorOn) {
    int alive = 0;
    CSList<Tracked> list;
    for (int i = 1; i <= 4; ++i) list.Append(new Tracked(i, &alive));
    Tracked* first = list.First();
    Tracked* second = list.Next();
    ASSERT_EQ(second->value, 2);
    list.Discard(second);  // cursor now on 3
    Tracked* next = list.Next();  // skips 3
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->value, 4);
    EXPECT_EQ(list.Next(), nullptr);
    EXPECT_EQ(list.Next(), nullptr);  // stays null after the end
    EXPECT_EQ(first->value, 1);
    list.Clear();
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.First(), nullptr);
}

TEST(CSList, CursorKeepsItsElementThroughGrowthAndDiscards) {
    int alive = 0;
    CSList<Tracked> list;
    std::vector<Tracked*> all;
    for (int i = 1; i <= 9; ++i) {
        all.push_back(new Tracked(i, &alive));
        list.Append(all.back());
    }
    // The cursor on 5; discarding elements before it, after it and the head leaves it there.
    Tracked* t = list.First();
    while (t->value != 5) t = list.Next();
    EXPECT_TRUE(list.Discard(all[2]));  // 3
    EXPECT_TRUE(list.Discard(all[0]));  // 1, the head
    EXPECT_TRUE(list.Discard(all[7]));  // 8
    list.Append(new Tracked(10, &alive));
    std::vector<int> rest;
    for (Tracked* n = list.Next(); n != nullptr; n = list.Next()) rest.push_back(n->value);
    EXPECT_EQ(rest, (std::vector<int>{6, 7, 9, 10}));
    std::vector<int> seen;
    for (Tracked* n = list.First(); n != nullptr; n = list.Next()) seen.push_back(n->value);
    EXPECT_EQ(seen, (std::vector<int>{2, 4, 5, 6, 7, 9, 10}));
    EXPECT_EQ(list.Count(), 7);
    EXPECT_EQ(alive, 7);
    // Emptied and filled again, it holds just the new elements.
    list.Clear();
    EXPECT_EQ(alive, 0);
    list.Append(new Tracked(11, &alive));
    EXPECT_EQ(list.First()->value, 11);
    EXPECT_EQ(list.Next(), nullptr);
    EXPECT_EQ(list.Count(), 1);
}

TEST(CSList, ReleaseLeavesElementsAlive) {
    int alive = 0;
    Tracked* a = new Tracked(1, &alive);
    {
        CSList<Tracked> list;
        list.Append(a);
        list.Release();
        EXPECT_EQ(list.Count(), 0);
    }
    EXPECT_EQ(alive, 1);
    delete a;
}

}  // namespace
