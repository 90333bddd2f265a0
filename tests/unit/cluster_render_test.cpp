// Slot strings, node blocks and slot lists of the cluster manager.
#include "cluster/render.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cluster_node_fixture.h"

namespace {

using namespace cluster_test;

TEST(ClusterRender, SlotsString) {
    struct Row {
        std::initializer_list<std::pair<int, int>> ranges;
        const char *want;
    } rows[] = {
        {{}, ""},
        {{{0, 0}}, "[0]"},
        {{{0, 5460}}, "[0-5460]"},
        {{{0, 16383}}, "[0-16383]"},
        {{{16383, 16383}}, "[16383]"},
        {{{1, 3}, {5, 5}, {7, 9}}, "[1-3],[5],[7-9]"},
        {{{0, 1}, {16382, 16383}}, "[0-1],[16382-16383]"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(take(clusterManagerNodeSlotsString(nodeWithSlots(r.ranges).get())), r.want);
}

TEST(ClusterRender, NodeInfoBlocks) {
    NodePtr master = nodeWithSlots({{0, 5460}});
    master->name = hi_sdsnew("a1b2");
    master->replicas_count = 1;
    setFlagWords(master.get(), {"myself", "master"});
    EXPECT_EQ(take(clusterManagerNodeInfo(master.get(), 0)),
              "M: a1b2 127.0.0.1:7000\n   slots:[0-5460] (5461 slots) master\n"
              "   1 additional replica(s)");
    EXPECT_EQ(take(clusterManagerNodeInfo(master.get(), 2)),
              "  M: a1b2 127.0.0.1:7000\n     slots:[0-5460] (5461 slots) master\n"
              "     1 additional replica(s)");

    NodePtr replica(clusterManagerNewNode(kHost, 7003));
    replica->name = hi_sdsnew("c3d4");
    replica->replicate = hi_sdsnew("a1b2");
    replica->flags = CLUSTER_MANAGER_FLAG_SLAVE;
    setFlagWords(replica.get(), {"slave", "fail"});
    EXPECT_EQ(take(clusterManagerNodeInfo(replica.get(), 0)),
              "S: c3d4 127.0.0.1:7003\n   slots: (0 slots) slave,fail\n   replicates a1b2");
    // A planned replica not yet configured shows only its address.
    replica->dirty = 1;
    EXPECT_EQ(take(clusterManagerNodeInfo(replica.get(), 0)),
              "S: c3d4 127.0.0.1:7003\n   replicates a1b2");
}

TEST(ClusterRender, SlotsListSortsAndMerges) {
    list *slots = listCreate();
    for (const char *s : {"5", "3", "100", "4", "16384", "3"})
        listAddNodeTail(slots, hi_sdsnew(s));
    testing::internal::CaptureStdout();
    clusterManagerPrintSlotsList(slots);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[3-5],[100]\n");
    for (listNode *ln = listFirst(slots); ln; ln = ln->next)
        hi_sdsfree(static_cast<hisds>(ln->value));
    listRelease(slots);
}

} // namespace
