// The exact rules of the key-space walks: the order in which the summary
// lists the types, and admission to the hot-key list.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hivorn/sds.h"
#include "modes/bigkeys.h"
#include "modes/hotkeys.h"

namespace {

std::vector<std::string> iterationOrder(dict *d) {
    std::vector<std::string> names;
    dictIterator *di = dictGetIterator(d);
    while (dictEntry *de = dictNext(di))
        names.push_back(static_cast<typeinfo *>(dictGetVal(de))->name);
    dictReleaseIterator(di);
    return names;
}

void lookUp(dict *d, const char *name) {
    hisds s = hi_sdsnew(name);
    dictFind(d, s);
    hi_sdsfree(s);
}

} // namespace

TEST(TypeTable, SummaryOrderFollowsTheLookups) {
    struct Row {
        int lookups;
        std::vector<std::string> want;
    } rows[] = {
        {0, {"hash", "list", "string", "stream", "set", "zset"}},
        {1, {"string", "list", "hash", "stream", "set", "zset"}},
        {2, {"list", "hash", "string", "stream", "set", "zset"}},
        {5, {"list", "hash", "string", "stream", "set", "zset"}},
    };
    for (const Row &r : rows) {
        dict *d = typeinfoDictCreate();
        for (int i = 0; i < r.lookups; i++)
            lookUp(d, "string");
        EXPECT_EQ(iterationOrder(d), r.want) << r.lookups << " lookups";
        dictRelease(d);
    }
}

TEST(TypeTable, UnknownTypeIsRegisteredOnceWithoutSizeCommand) {
    dict *d = typeinfoDictCreate();
    lookUp(d, "string");
    lookUp(d, "string");
    typeinfo *t = typeinfo_add(d, "vornmod01", &type_other);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->sizecmd, nullptr);
    EXPECT_STREQ(t->sizeunit, "?");
    EXPECT_EQ(typeinfo_add(d, "vornmod01", &type_other), nullptr); // already there
    std::vector<std::string> order = iterationOrder(d);
    EXPECT_EQ(order.size(), 7u);
    // The standard types keep their relative order around the new one.
    std::vector<std::string> standard;
    for (auto &n : order)
        if (n != "vornmod01") standard.push_back(n);
    EXPECT_EQ(standard,
              (std::vector<std::string>{"list", "hash", "string", "stream", "set", "zset"}));
    dictRelease(d);
}

namespace {

struct HotList {
    uint64_t counters[HOTKEYS_SAMPLE] = {0};
    hisds keys[HOTKEYS_SAMPLE] = {nullptr};
    ~HotList() {
        for (hisds k : keys)
            hi_sdsfree(k);
    }
    int offer(uint64_t freq, const std::string &name) {
        hisds k = hi_sdsnew(name.c_str());
        int slot = hotKeysAdmit(counters, keys, freq, k);
        if (slot < 0) hi_sdsfree(k);
        return slot;
    }
    // Non-empty slots from the hottest down, as "name=counter".
    std::vector<std::string> summary() const {
        std::vector<std::string> r;
        for (int i = HOTKEYS_SAMPLE - 1; i >= 0; i--)
            if (counters[i]) r.push_back(std::string(keys[i]) + "=" + std::to_string(counters[i]));
        return r;
    }
};

} // namespace

TEST(HotKeys, AscendingFreqsKeepTheSixteenHottest) {
    HotList h;
    for (int f = 1; f <= 20; f++)
        EXPECT_GE(h.offer(uint64_t(f), "k" + std::to_string(f)), 0);
    std::vector<std::string> want;
    for (int f = 20; f >= 5; f--)
        want.push_back("k" + std::to_string(f) + "=" + std::to_string(f));
    EXPECT_EQ(h.summary(), want);
    // A full list ignores a counter equal to its coldest, and a zero counter.
    EXPECT_EQ(h.offer(5, "same"), -1);
    EXPECT_EQ(h.offer(0, "zero"), -1);
    EXPECT_EQ(h.summary(), want);
}

TEST(HotKeys, PlacementOfNewAndEqualCounters) {
    struct Row {
        std::vector<uint64_t> freqs;
        std::vector<std::string> want;
    } rows[] = {
        {{0, 0}, {}},
        {{3}, {"a=3"}},
        {{5, 3, 9}, {"c=9", "a=5", "b=3"}},
        // An equal counter goes below the one already there.
        {{5, 5}, {"a=5", "b=5"}},
        {{7, 2, 7, 2}, {"a=7", "c=7", "b=2", "d=2"}},
    };
    for (const Row &r : rows) {
        HotList h;
        char name = 'a';
        for (uint64_t f : r.freqs)
            h.offer(f, std::string(1, name++));
        EXPECT_EQ(h.summary(), r.want);
    }
}

TEST(HotKeys, FullListDropsTheColdest) {
    HotList h;
    for (int i = 0; i < HOTKEYS_SAMPLE; i++)
        h.offer(10, "ten" + std::to_string(i));
    EXPECT_EQ(h.offer(10, "late"), -1); // equal to the coldest of a full list
    EXPECT_EQ(h.offer(11, "hot"), HOTKEYS_SAMPLE - 1);
    std::vector<std::string> s = h.summary();
    ASSERT_EQ(s.size(), size_t(HOTKEYS_SAMPLE));
    EXPECT_EQ(s.front(), "hot=11");
    // Equal counters queue below each other: the last one offered sat at the
    // bottom and left, the first one stays right below the new hottest.
    EXPECT_EQ(s[1], "ten0=10");
    for (auto &e : s)
        EXPECT_NE(e, "ten15=10");
}
