// The master a new or orphaned replica is given.
#include "cluster/admin.h"

#include <gtest/gtest.h>

namespace {

char kHost[] = "127.0.0.1";

// Loads nodes described as (replica count, is a replica) into
// cluster_manager.nodes, ports 7000, 7001, ... in order.
void loadNodes(std::initializer_list<std::pair<int, bool>> nodes) {
    freeClusterManager();
    cluster_manager.nodes = listCreate();
    int port = 7000;
    for (auto [replicas, slave] : nodes) {
        clusterManagerNode *n = clusterManagerNewNode(kHost, port++);
        n->replicas_count = replicas;
        if (slave) n->flags |= CLUSTER_MANAGER_FLAG_SLAVE;
        listAddNodeTail(cluster_manager.nodes, n);
    }
}

TEST(ClusterAdmin, NodeWithLeastReplicas) {
    struct Row {
        std::initializer_list<std::pair<int, bool>> nodes;
        int want_port; // 0: none
    } rows[] = {
        {{{1, false}, {0, false}, {0, false}}, 7001}, // the first of the equal counts
        {{{2, false}, {1, false}, {3, false}}, 7001},
        {{{0, false}, {0, false}}, 7000},
        {{{0, true}, {1, false}, {0, true}}, 7001}, // replicas never count, even with 0
        {{{5, false}}, 7000},
        {{{0, true}, {0, true}}, 0},
        {{}, 0},
    };
    for (const Row &r : rows) {
        loadNodes(r.nodes);
        clusterManagerNode *n = clusterManagerNodeWithLeastReplicas();
        EXPECT_EQ(n == nullptr ? 0 : n->port, r.want_port);
    }
    freeClusterManager();
}

} // namespace
