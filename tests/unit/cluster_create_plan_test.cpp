// The create planner on hand-made topologies: master count, interleaving of
// hosts, slot ranges, replica placement and the anti-affinity score.
#include "cluster/create_plan.h"

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cluster/manager.h"
#include "support/zmalloc.h"

namespace {

class CreatePlan : public ::testing::Test {
  protected:
    void SetUp() override { cluster_manager.nodes = listCreate(); }
    void TearDown() override { freeClusterManager(); }

    // Adds nodes named n0, n1, ... on the given hosts, ports from 7000.
    void addNodes(std::initializer_list<const char *> node_hosts) {
        for (const char *h : node_hosts) {
            hosts.emplace_back(h);
            int i = static_cast<int>(listLength(cluster_manager.nodes));
            clusterManagerNode *n = clusterManagerNewNode(hosts.back().data(), 7000 + i);
            n->name = hi_sdscatprintf(hi_sdsempty(), "n%d", i);
            listAddNodeTail(cluster_manager.nodes, n);
        }
    }
    void addNodesOnHost(int count, const char *host) {
        for (int i = 0; i < count; i++)
            addNodes({host});
    }
    clusterManagerNode *node(int i) const {
        return static_cast<clusterManagerNode *>(listIndex(cluster_manager.nodes, i)->value);
    }
    int nodeCount() const { return static_cast<int>(listLength(cluster_manager.nodes)); }
    std::vector<clusterManagerNode *> masters() const {
        std::vector<clusterManagerNode *> v;
        for (int i = 0; i < nodeCount(); i++)
            if (node(i)->replicate == nullptr) v.push_back(node(i));
        return v;
    }
    // Replicas per master name.
    std::map<std::string, std::vector<clusterManagerNode *>> replicasOf() const {
        std::map<std::string, std::vector<clusterManagerNode *>> m;
        for (int i = 0; i < nodeCount(); i++)
            if (node(i)->replicate != nullptr) m[node(i)->replicate].push_back(node(i));
        return m;
    }
    int score() {
        int count = 0;
        clusterManagerNodeArray *groups = clusterManagerHostGroups(&count);
        int s = clusterManagerGetAntiAffinityScore(groups, count, nullptr, nullptr);
        clusterManagerReleaseHostGroups(groups);
        return s;
    }
    void replicate(int replica, int master) {
        hi_sdsfree(node(replica)->replicate);
        node(replica)->replicate = hi_sdsdup(node(master)->name);
    }
    // Runs the planner, returning its result and what it printed.
    int plan(int replicas, std::string *out) {
        testing::internal::CaptureStdout();
        int ok = clusterManagerPlanCluster(replicas);
        *out = testing::internal::GetCapturedStdout();
        return ok;
    }

    std::deque<std::string> hosts;
};

TEST_F(CreatePlan, SlotRangesForThreeToTenMasters) {
    for (int masters = 3; masters <= 10; masters++) {
        std::vector<clusterManagerNode *> nodes;
        std::vector<char> host(16, 0);
        snprintf(host.data(), host.size(), "10.0.0.1");
        for (int i = 0; i < masters; i++)
            nodes.push_back(clusterManagerNewNode(host.data(), 7000 + i));
        testing::internal::CaptureStdout();
        clusterManagerAllocSlots(nodes.data(), masters);
        std::string out = testing::internal::GetCapturedStdout();
        int next = 0;
        std::string want;
        for (int i = 0; i < masters; i++) {
            clusterManagerNode *n = nodes[i];
            int first = next, last = next + n->slots_count - 1;
            for (int s = 0; s < CLUSTER_MANAGER_SLOTS; s++)
                ASSERT_EQ(n->slots[s] != 0, s >= first && s <= last) << masters << " " << i;
            // Nearly equal shares: floor or ceiling of the average.
            EXPECT_GE(n->slots_count, CLUSTER_MANAGER_SLOTS / masters) << masters;
            EXPECT_LE(n->slots_count, CLUSTER_MANAGER_SLOTS / masters + 1) << masters;
            EXPECT_EQ(n->dirty, 1);
            want += "Master[" + std::to_string(i) + "] -> Slots " + std::to_string(first) + " - " +
                    std::to_string(last) + "\n";
            next = last + 1;
        }
        EXPECT_EQ(next, CLUSTER_MANAGER_SLOTS) << masters;
        EXPECT_EQ(out, want);
        if (masters == 3) {
            EXPECT_EQ(out, "Master[0] -> Slots 0 - 5460\nMaster[1] -> Slots 5461 - 10922\n"
                           "Master[2] -> Slots 10923 - 16383\n");
        }
        if (masters == 5) {
            EXPECT_EQ(out, "Master[0] -> Slots 0 - 3276\nMaster[1] -> Slots 3277 - 6553\n"
                           "Master[2] -> Slots 6554 - 9829\nMaster[3] -> Slots 9830 - 13106\n"
                           "Master[4] -> Slots 13107 - 16383\n");
        }
        for (clusterManagerNode *n : nodes)
            freeClusterManagerNode(n);
    }
}

TEST_F(CreatePlan, TooFewMasters) {
    struct Row {
        int nodes, replicas;
        const char *tail;
    } rows[] = {
        {5, 1,
         "This is not possible with 5 nodes and 1 replicas per node.\n"
         "*** At least 6 nodes are required.\n"},
        {2, 0,
         "This is not possible with 2 nodes and 0 replicas per node.\n"
         "*** At least 3 nodes are required.\n"},
        {8, 2,
         "This is not possible with 8 nodes and 2 replicas per node.\n"
         "*** At least 9 nodes are required.\n"},
    };
    for (const Row &r : rows) {
        freeClusterManager();
        cluster_manager.nodes = listCreate();
        addNodesOnHost(r.nodes, "127.0.0.1");
        std::string out;
        EXPECT_EQ(plan(r.replicas, &out), 0);
        EXPECT_EQ(out, std::string("*** ERROR: Invalid configuration for cluster creation.\n"
                                   "*** Vorn Cluster requires at least 3 master nodes.\n*** ") +
                           r.tail);
        for (int i = 0; i < nodeCount(); i++)
            EXPECT_EQ(node(i)->dirty, 0);
    }
}

TEST_F(CreatePlan, SixNodesOnOneHost) {
    addNodesOnHost(6, "127.0.0.1");
    std::string out;
    ASSERT_EQ(plan(1, &out), 1);
    // One host keeps the argument order: the first three are the masters.
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(node(i)->replicate, nullptr);
        EXPECT_GT(node(i)->slots_count, 0);
    }
    std::map<std::string, std::vector<clusterManagerNode *>> r = replicasOf();
    ASSERT_EQ(r.size(), 3u);
    for (auto &[master, replicas] : r)
        EXPECT_EQ(replicas.size(), 1u) << master;
    // Before optimisation the rotated candidates are 4, 5, 3.
    EXPECT_NE(out.find("Adding replica 127.0.0.1:7004 to 127.0.0.1:7000\n"
                       "Adding replica 127.0.0.1:7005 to 127.0.0.1:7001\n"
                       "Adding replica 127.0.0.1:7003 to 127.0.0.1:7002\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(">>> Trying to optimize slaves allocation for anti-affinity\n"
                       "[WARNING] Some slaves are in the same host as their master\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Adding extra replicas"), std::string::npos);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(node(i)->dirty, 1) << i;
}

TEST_F(CreatePlan, ThreeHostsTwoByTwo) {
    addNodes({"10.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.2", "10.0.0.3", "10.0.0.3"});
    std::string out;
    ASSERT_EQ(plan(1, &out), 1);
    std::vector<clusterManagerNode *> m = masters();
    ASSERT_EQ(m.size(), 3u);
    std::set<std::string> master_hosts;
    for (clusterManagerNode *n : m)
        master_hosts.insert(n->ip);
    EXPECT_EQ(master_hosts.size(), 3u);
    for (auto &[master, replicas] : replicasOf()) {
        ASSERT_EQ(replicas.size(), 1u);
        clusterManagerNode *mn = clusterManagerNodeByName(master.c_str());
        ASSERT_NE(mn, nullptr);
        EXPECT_STRNE(replicas[0]->ip, mn->ip);
    }
    EXPECT_EQ(score(), 0);
    EXPECT_EQ(out.find("anti-affinity"), std::string::npos) << out;
    EXPECT_EQ(out.find("[WARNING]"), std::string::npos) << out;
    EXPECT_EQ(out.find("[OK]"), std::string::npos) << out;
}

TEST_F(CreatePlan, SeventhNodeBecomesAnExtraReplica) {
    addNodes({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"});
    std::string out;
    ASSERT_EQ(plan(1, &out), 1);
    EXPECT_NE(out.find("Adding extra replicas...\n"), std::string::npos) << out;
    size_t extra = out.find("Adding extra replicas...\n");
    // The extra pass gives the first master that can take it one more.
    EXPECT_EQ(out.substr(extra), "Adding extra replicas...\n"
                                 "Adding replica 10.0.0.3:7005 to 10.0.0.1:7000\n");
    std::map<std::string, std::vector<clusterManagerNode *>> r = replicasOf();
    size_t total = 0;
    for (auto &[master, replicas] : r)
        total += replicas.size();
    EXPECT_EQ(total, 4u);
    EXPECT_EQ(masters().size(), 3u);
    EXPECT_EQ(score(), 0);
}

TEST_F(CreatePlan, ReplicaPlacementAvoidsTheMastersHost) {
    // Interleaving gives 7000, 7003, 7001 as masters (hosts 1, 2, 1); the
    // rotated candidates 7002, 7005, 7004 sit on both hosts and each master
    // takes the first one from the other host.
    addNodes({"10.0.0.1", "10.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.2", "10.0.0.2"});
    std::string out;
    ASSERT_EQ(plan(1, &out), 1);
    EXPECT_EQ(out.rfind(">>> Performing hash slots allocation on 6 nodes...\n", 0), 0u);
    EXPECT_NE(out.find("Adding replica 10.0.0.2:7005 to 10.0.0.1:7000\n"
                       "Adding replica 10.0.0.1:7002 to 10.0.0.2:7003\n"
                       "Adding replica 10.0.0.2:7004 to 10.0.0.1:7001\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(score(), 0);
}

TEST_F(CreatePlan, ZeroReplicas) {
    addNodes({"10.0.0.1", "10.0.0.2", "10.0.0.1", "10.0.0.2"});
    std::string out;
    ASSERT_EQ(plan(0, &out), 1);
    EXPECT_EQ(masters().size(), 4u);
    EXPECT_EQ(out.find("Adding"), std::string::npos);
    // Rounds over the two hosts keep the argument order here.
    EXPECT_EQ(node(0)->slots[0], 1);
    EXPECT_EQ(node(1)->slots[4096], 1);
    EXPECT_EQ(node(2)->slots[8192], 1);
    EXPECT_EQ(node(3)->slots[16383], 1);
}

TEST_F(CreatePlan, NegativeReplicasRefused) {
    addNodesOnHost(6, "127.0.0.1");
    std::string out;
    EXPECT_EQ(plan(-1, &out), 0);
    EXPECT_EQ(out, "*** ERROR: Invalid number of replicas per master: -1.\n");
}

TEST_F(CreatePlan, AntiAffinityScore) {
    // n0, n1 on host a; n2, n3 on host b; n4, n5 on host c.
    addNodes({"a", "a", "b", "b", "c", "c"});
    struct Row {
        std::vector<std::pair<int, int>> replicas; // replica, master
        int score;
        std::vector<int> offending;
    } rows[] = {
        {{}, 0, {}},
        {{{1, 0}}, 10000, {1}},     // a replica beside its master
        {{{2, 0}, {3, 0}}, 2, {2}}, // two replicas of n0 together on b
        {{{1, 0}, {2, 0}, {3, 0}}, 10002, {1, 2}},
        {{{2, 0}, {4, 0}, {3, 1}}, 0, {}}, // all apart
        {{{4, 2}, {5, 2}, {3, 2}}, 10000 + 2, {3, 4}},
    };
    for (const Row &r : rows) {
        for (int i = 0; i < nodeCount(); i++) {
            hi_sdsfree(node(i)->replicate);
            node(i)->replicate = nullptr;
        }
        for (auto [replica, master] : r.replicas)
            replicate(replica, master);
        int count = 0;
        clusterManagerNodeArray *groups = clusterManagerHostGroups(&count);
        ASSERT_EQ(count, 3);
        clusterManagerNode **offending = nullptr;
        int offending_len = -1;
        EXPECT_EQ(clusterManagerGetAntiAffinityScore(groups, count, &offending, &offending_len),
                  r.score);
        std::vector<int> got;
        for (int i = 0; i < offending_len; i++)
            got.push_back(offending[i]->port - 7000);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, r.offending) << r.score;
        zfree(offending);
        clusterManagerReleaseHostGroups(groups);
    }
}

TEST_F(CreatePlan, OptimiserNeverWorsensAndReportsItsVerdict) {
    // Two hosts, three masters with one replica each: a perfect placement
    // exists; start from the worst one.
    addNodes({"a", "b", "a", "b", "a", "b"});
    // masters n0 (a), n1 (b), n2 (a); replicas n3 (b), n4 (a), n5 (b)
    replicate(4, 0); // a beside its master
    replicate(3, 1); // b beside its master
    replicate(5, 2); // b: fine
    EXPECT_EQ(score(), 20000);
    int count = 0;
    clusterManagerNodeArray *groups = clusterManagerHostGroups(&count);
    testing::internal::CaptureStdout();
    clusterManagerOptimizeAntiAffinity(groups, count);
    std::string out = testing::internal::GetCapturedStdout();
    clusterManagerReleaseHostGroups(groups);
    EXPECT_EQ(score(), 0);
    EXPECT_EQ(out, ">>> Trying to optimize slaves allocation for anti-affinity\n"
                   "[OK] Perfect anti-affinity obtained!\n");

    // Already perfect: nothing happens and nothing is printed.
    groups = clusterManagerHostGroups(&count);
    testing::internal::CaptureStdout();
    clusterManagerOptimizeAntiAffinity(groups, count);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    clusterManagerReleaseHostGroups(groups);
}

TEST(ClusterNodeArray, ShiftAndReset) {
    char host[] = "h";
    clusterManagerNode *a = clusterManagerNewNode(host, 1);
    clusterManagerNode *b = clusterManagerNewNode(host, 2);
    clusterManagerNodeArray arr;
    clusterManagerNodeArrayInit(&arr, 4);
    clusterManagerNodeArrayAdd(&arr, a);
    clusterManagerNodeArrayAdd(&arr, b);
    EXPECT_EQ(arr.len, 4);
    EXPECT_EQ(arr.count, 2);
    clusterManagerNode *got = nullptr;
    clusterManagerNodeArrayShift(&arr, &got);
    EXPECT_EQ(got, a);
    clusterManagerNodeArrayShift(&arr, &got);
    EXPECT_EQ(got, b);
    clusterManagerNodeArrayShift(&arr, &got); // an empty entry: count unchanged
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(arr.len, 1);
    EXPECT_EQ(arr.count, 0);
    clusterManagerNodeArrayReset(&arr);
    EXPECT_EQ(arr.len, 3);
    EXPECT_EQ(arr.count, 2);
    EXPECT_EQ(arr.nodes[0], a);
    clusterManagerNodeArrayRelease(&arr);
    freeClusterManagerNode(a);
    freeClusterManagerNode(b);
}

} // namespace
