#include "support/adlist.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

int frees = 0;
void countingFree(void *p) {
    frees++;
    delete static_cast<int *>(p);
}
int intMatch(void *a, void *key) {
    return *static_cast<int *>(a) == *static_cast<int *>(key);
}

// Walks the list both ways and checks that the links agree with len.
std::vector<int> contents(list *l) {
    std::vector<int> forward, backward;
    listIter it;
    listRewind(l, &it);
    while (listNode *n = listNext(&it))
        forward.push_back(*static_cast<int *>(listNodeValue(n)));
    listRewindTail(l, &it);
    while (listNode *n = listNext(&it))
        backward.insert(backward.begin(), *static_cast<int *>(n->value));
    EXPECT_EQ(forward, backward) << "prev and next links disagree";
    EXPECT_EQ(forward.size(), listLength(l));
    if (l->head) {
        EXPECT_EQ(l->head->prev, nullptr);
    }
    if (l->tail) {
        EXPECT_EQ(l->tail->next, nullptr);
    }
    EXPECT_EQ(l->head == nullptr, l->tail == nullptr);
    return forward;
}

struct ListFixture : ::testing::Test {
    list *l = listCreate();
    void SetUp() override {
        frees = 0;
        listSetFreeMethod(l, countingFree);
    }
    void TearDown() override { listRelease(l); }
    listNode *nodeOf(int v) {
        int key = v;
        listSetMatchMethod(l, intMatch);
        listNode *n = listSearchKey(l, &key);
        listSetMatchMethod(l, nullptr);
        return n;
    }
};

TEST_F(ListFixture, AddsAtBothEnds) {
    EXPECT_EQ(contents(l), std::vector<int>{});
    listAddNodeTail(l, new int(2));
    listAddNodeHead(l, new int(1));
    listAddNodeTail(l, new int(3));
    listAddNodeHead(l, new int(0));
    EXPECT_EQ(contents(l), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(ListFixture, DeleteFixesLinksAndFreesValue) {
    struct Case {
        int victim;
        std::vector<int> rest;
    };
    const Case cases[] = {{0, {1, 2, 3}}, {2, {0, 1, 3}}, {3, {0, 1, 2}}};
    for (const Case &c : cases) {
        listEmpty(l);
        for (int i = 0; i < 4; i++)
            listAddNodeTail(l, new int(i));
        frees = 0;
        listDelNode(l, nodeOf(c.victim));
        EXPECT_EQ(frees, 1);
        EXPECT_EQ(contents(l), c.rest) << "deleting " << c.victim;
    }
    // Down to empty and back.
    listEmpty(l);
    listAddNodeTail(l, new int(7));
    listDelNode(l, l->head);
    EXPECT_EQ(contents(l), std::vector<int>{});
    listAddNodeHead(l, new int(8));
    EXPECT_EQ(contents(l), std::vector<int>{8});
}

TEST_F(ListFixture, IteratorSurvivesDeletionOfReturnedNode) {
    for (int i = 0; i < 6; i++)
        listAddNodeTail(l, new int(i));
    for (int direction : {AL_START_HEAD, AL_START_TAIL}) {
        listIter *it = listGetIterator(l, direction);
        std::vector<int> seen;
        while (listNode *n = listNext(it)) {
            int v = *static_cast<int *>(n->value);
            seen.push_back(v);
            if (v % 2 == (direction == AL_START_HEAD ? 0 : 1)) listDelNode(l, n);
        }
        listReleaseIterator(it);
        if (direction == AL_START_HEAD) {
            EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5}));
            EXPECT_EQ(contents(l), (std::vector<int>{1, 3, 5}));
        } else {
            EXPECT_EQ(seen, (std::vector<int>{5, 3, 1}));
            EXPECT_EQ(contents(l), std::vector<int>{});
        }
    }
    EXPECT_EQ(frees, 6);
}

TEST_F(ListFixture, EmptyAndReleaseFreeEveryValue) {
    for (int i = 0; i < 5; i++)
        listAddNodeTail(l, new int(i));
    listEmpty(l);
    EXPECT_EQ(frees, 5);
    EXPECT_EQ(contents(l), std::vector<int>{});
    listAddNodeTail(l, new int(1)); // still usable; TearDown releases it
    listRelease(nullptr);           // tolerated
}

TEST_F(ListFixture, SearchAndIndex) {
    for (int i = 0; i < 4; i++)
        listAddNodeTail(l, new int(i * 10));
    int *second = static_cast<int *>(l->head->next->value);
    EXPECT_EQ(listSearchKey(l, second), l->head->next) << "identity without a match method";
    int copy = 20;
    EXPECT_EQ(listSearchKey(l, &copy), nullptr);
    EXPECT_EQ(nodeOf(20), l->head->next->next);
    EXPECT_EQ(nodeOf(99), nullptr);

    const std::pair<long, int> rows[] = {{0, 0}, {3, 30}, {-1, 30}, {-4, 0}, {-2, 20}};
    for (auto [index, value] : rows) {
        listNode *n = listIndex(l, index);
        ASSERT_NE(n, nullptr) << index;
        EXPECT_EQ(*static_cast<int *>(n->value), value) << index;
    }
    EXPECT_EQ(listIndex(l, 4), nullptr);
    EXPECT_EQ(listIndex(l, -5), nullptr);
}

} // namespace
