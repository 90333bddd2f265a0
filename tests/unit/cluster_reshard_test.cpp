// The reshard table and the rebalance arithmetic on hand-made masters: the
// proportional shares with their rounding, the slot order, the weighted
// expectations, the threshold and the rounding correction.
#include "cluster/reshard.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cluster/manager.h"

namespace {

class Reshard : public ::testing::Test {
  protected:
    void SetUp() override { cluster_manager.nodes = listCreate(); }
    void TearDown() override {
        clusterManagerReleaseReshardTable(table);
        freeClusterManager();
    }

    // A master named by id owning the slots [first, first + count).
    clusterManagerNode *addMaster(const char *id, int first, int count) {
        clusterManagerNode *n = clusterManagerNewNode(host, 7000 + nodes());
        n->name = hi_sdsnew(id);
        for (int s = first; s < first + count; s++)
            n->slots[s] = 1;
        n->slots_count = count;
        listAddNodeTail(cluster_manager.nodes, n);
        return n;
    }
    int nodes() const { return static_cast<int>(listLength(cluster_manager.nodes)); }
    // The three masters of a freshly created cluster: 5461, 5461, 5462 slots.
    void threeMasters() {
        a = addMaster("aaaa01", 0, 5461);
        b = addMaster("bbbb02", 5461, 5461);
        c = addMaster("cccc03", 10922, 5462);
    }
    list *sourcesOf(std::initializer_list<clusterManagerNode *> ns) {
        list *l = listCreate();
        for (clusterManagerNode *n : ns)
            listAddNodeTail(l, n);
        return l;
    }
    void compute(std::initializer_list<clusterManagerNode *> ns, int numslots) {
        list *sources = sourcesOf(ns);
        table = clusterManagerComputeReshardTable(sources, numslots);
        listRelease(sources);
    }
    std::vector<clusterManagerReshardTableItem> items() const {
        std::vector<clusterManagerReshardTableItem> v;
        clusterManagerForEach<clusterManagerReshardTableItem>(
            table, [&](clusterManagerReshardTableItem *i) { v.push_back(*i); });
        return v;
    }
    std::map<clusterManagerNode *, int> perSource() const {
        std::map<clusterManagerNode *, int> m;
        for (const auto &i : items())
            m[i.source]++;
        return m;
    }

    char host[10] = "127.0.0.1";
    clusterManagerNode *a = nullptr, *b = nullptr, *c = nullptr;
    list *table = nullptr;
};

TEST_F(Reshard, LargestSourceFirstRoundedUpOthersDown) {
    threeMasters();
    compute({a, b, c}, 100);
    std::vector<clusterManagerReshardTableItem> v = items();
    ASSERT_EQ(v.size(), 100u);
    std::map<clusterManagerNode *, int> m = perSource();
    EXPECT_EQ(m[c], 34); // ceil(100 / 16384 * 5462) = ceil(33.34)
    EXPECT_EQ(m[a], 33);
    EXPECT_EQ(m[b], 33);
    // The largest source comes first, each source's slots ascending from its
    // lowest.
    EXPECT_EQ(v[0].source, c);
    EXPECT_EQ(v[0].slot, 10922);
    EXPECT_EQ(v[33].slot, 10955);
    for (size_t i = 1; i < v.size(); i++) {
        if (v[i].source == v[i - 1].source) {
            EXPECT_EQ(v[i].slot, v[i - 1].slot + 1);
        }
    }
}

TEST_F(Reshard, TableSizes) {
    struct Case {
        std::vector<int> counts; // slots owned by each source
        int numslots;
        size_t expected;
    };
    const Case cases[] = {
        {{5461, 5461, 5462}, 1, 1},         // the ceiling alone reaches it
        {{5461, 5461, 5462}, 16384, 16384}, // every slot
        {{5461, 5461, 5462}, 20000, 16384}, // more than the sources own
        {{10, 0}, 5, 5},                    // a source without slots gives none
        {{0, 0}, 5, 0},                     // nobody owns anything
        {{3}, 3, 3},
        {{3}, 4, 3},
        {{4096, 4096, 4096}, 4096, 4096}, // the shares' rounding never overshoots
    };
    for (const Case &k : cases) {
        freeClusterManager();
        cluster_manager.nodes = listCreate();
        clusterManagerReleaseReshardTable(table);
        table = nullptr;
        list *sources = listCreate();
        int first = 0;
        for (size_t i = 0; i < k.counts.size(); i++) {
            std::string id = "n" + std::to_string(i);
            listAddNodeTail(sources, addMaster(id.c_str(), first, k.counts[i]));
            first += k.counts[i];
        }
        table = clusterManagerComputeReshardTable(sources, k.numslots);
        listRelease(sources);
        EXPECT_EQ(listLength(table), k.expected) << k.numslots;
        // No slot twice, and every slot is its source's.
        std::map<int, int> seen;
        for (const auto &i : items()) {
            EXPECT_EQ(seen[i.slot]++, 0);
            EXPECT_TRUE(i.source->slots[i.slot]);
        }
    }
}

TEST_F(Reshard, AbbreviatedNamesAndSourceChecks) {
    threeMasters();
    clusterManagerNode *r = addMaster("ab0099", 0, 0);
    r->flags |= CLUSTER_MANAGER_FLAG_SLAVE;
    EXPECT_EQ(clusterManagerNodeByAbbreviatedName("AA"), a);
    EXPECT_EQ(clusterManagerNodeByAbbreviatedName("ab"), r); // replicas are not skipped
    EXPECT_EQ(clusterManagerNodeByAbbreviatedName(""), a);   // the first node
    EXPECT_EQ(clusterManagerNodeByAbbreviatedName("dd"), nullptr);

    testing::internal::CaptureStdout();
    int raise = 0;
    EXPECT_EQ(clusterNodeForResharding("BBBB02", nullptr, &raise), b);
    EXPECT_EQ(raise, 0);
    EXPECT_EQ(clusterNodeForResharding("bbbb02", b, &raise), nullptr);
    EXPECT_EQ(raise, 0);
    EXPECT_EQ(clusterNodeForResharding("ab0099", nullptr, &raise), nullptr);
    EXPECT_EQ(raise, 1);
    raise = 0;
    EXPECT_EQ(clusterNodeForResharding("ffff", nullptr, &raise), nullptr);
    EXPECT_EQ(raise, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "*** It is not possible to use the target node as source node.\n"
              "*** The specified node (ab0099) is not known or not a master, please retry.\n"
              "*** The specified node (ffff) is not known or not a master, please retry.\n");
}

class Rebalance : public Reshard {
  protected:
    bool balances(float threshold) {
        std::vector<clusterManagerNode *> v;
        float total = 0;
        clusterManagerForEachNode([&](clusterManagerNode *n) {
            v.push_back(n);
            total += n->weight;
        });
        return clusterManagerComputeBalances(v.data(), static_cast<int>(v.size()), total,
                                             threshold);
    }
    int sumOfBalances() const {
        int s = 0;
        clusterManagerForEachNode([&](clusterManagerNode *n) { s += n->balance; });
        return s;
    }
};

TEST_F(Rebalance, FreshClusterNeedsNothing) {
    threeMasters();
    EXPECT_FALSE(balances(2.0f));
    EXPECT_EQ(a->balance, 0); // expected 5461 each: truncation of 5461.33
    EXPECT_EQ(b->balance, 0);
    EXPECT_EQ(c->balance, 1);
    EXPECT_FALSE(balances(0)); // a threshold of 0 never triggers
}

TEST_F(Rebalance, EmptyMasterTakesItsShare) {
    threeMasters();
    clusterManagerNode *d = addMaster("dddd04", 0, 0);
    EXPECT_TRUE(balances(2.0f));
    // 4096 each; the others give 1365, 1365 and 1366.
    EXPECT_EQ(a->balance, 1365);
    EXPECT_EQ(b->balance, 1365);
    EXPECT_EQ(c->balance, 1366);
    EXPECT_EQ(d->balance, -4096);
    EXPECT_EQ(sumOfBalances(), 0);
}

TEST_F(Rebalance, WeightsAndThresholds) {
    struct Case {
        float wa, wb, wc;
        float threshold;
        bool needed;
        int ba, bb, bc; // balances after the correction
    };
    const Case cases[] = {
        // a asks for twice the others: 8192, 4096, 4096.
        {2, 1, 1, 2.0f, true, 5461 - 8192, 5461 - 4096, 5462 - 4096},
        // a weight of 0 empties the master.
        {0, 1, 1, 2.0f, true, 5461, 5461 - 8192, 5462 - 8192},
        // Expected 5813, 5285, 5285: a is 6.4 % off, within 10 % but not 2 %.
        {1.1f, 1, 1, 10.0f, false, 0, 0, 0},
        // The truncation leaves one slot over, taken by the first master at
        // or below its share.
        {1.1f, 1, 1, 2.0f, true, 5461 - 5813 - 1, 5461 - 5285, 5462 - 5285},
    };
    for (const Case &k : cases) {
        freeClusterManager();
        cluster_manager.nodes = listCreate();
        threeMasters();
        a->weight = k.wa;
        b->weight = k.wb;
        c->weight = k.wc;
        bool needed = balances(k.threshold);
        EXPECT_EQ(needed, k.needed) << k.wa << " " << k.threshold;
        if (!needed) continue;
        EXPECT_EQ(a->balance, k.ba) << k.wa;
        EXPECT_EQ(b->balance, k.bb) << k.wa;
        EXPECT_EQ(c->balance, k.bc) << k.wa;
        EXPECT_LE(sumOfBalances(), 0);
    }
}

} // namespace
