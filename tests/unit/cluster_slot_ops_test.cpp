// The single-command slot operations, the set-owner transaction and the
// owner lookups, against a scripted peer: the replies are queued before the
// call (each command reads its reply in order), then the requests the call
// sent are compared word for word.
#include "cluster/slot_ops.h"

#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/config.h"
#include "cluster/manager.h"
#include "scripted_node.h"

namespace {

using namespace scripted;

using SlotOps = ScriptedCluster;

TEST_F(SlotOps, SetSlotAndItsErrors) {
    int ok = -1;
    std::string want = request({"CLUSTER", "SETSLOT", "5", "migrating", kIdB});
    std::string sent = a->run(
        "+OK\r\n", [&] { ok = clusterManagerSetSlot(a->node, b->node, 5, "migrating", nullptr); });
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(sent, want);

    // With an error out-parameter the text is handed back, not printed.
    hisds err = nullptr;
    testing::internal::CaptureStdout();
    want = request({"CLUSTER", "SETSLOT", "7", "node", kIdB});
    sent = a->run("-ERR I don't know\r\n",
                  [&] { ok = clusterManagerSetSlot(a->node, b->node, 7, "node", &err); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(sent, want);
    EXPECT_EQ(ok, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "ERR I don't know");
    hi_sdsfree(err);

    // Without one it is logged with the node's address.
    testing::internal::CaptureStdout();
    want = request({"CLUSTER", "SETSLOT", "9", "STABLE"});
    sent = a->run("-ERR busy\r\n", [&] { ok = clusterManagerClearSlotStatus(a->node, 9); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Node " + address(a) + " replied with error:\nERR busy\n");
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(sent, want);
}

TEST_F(SlotOps, CountKeysNeedsAnInteger) {
    struct Row {
        const char *reply;
        int want;
    } rows[] = {
        {":7\r\n", 7}, {":0\r\n", 0}, {"-ERR no\r\n", -1}, {"$1\r\n7\r\n", -1}, {"*0\r\n", -1},
    };
    std::string want = request({"CLUSTER", "COUNTKEYSINSLOT", "42"});
    for (const Row &r : rows) {
        int got = -2;
        testing::internal::CaptureStdout();
        std::string sent =
            a->run(r.reply, [&] { got = clusterManagerCountKeysInSlot(a->node, 42); });
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(got, r.want) << r.reply;
        EXPECT_EQ(sent, want);
    }
}

TEST_F(SlotOps, AddSlotsSendsEveryOwnedSlotInOrder) {
    for (int s : {16383, 0, 1, 2, 5})
        a->node->slots[s] = 1;
    hisds err = nullptr;
    int ok = -1;
    std::string want = request({"CLUSTER", "ADDSLOTS", "0", "1", "2", "5", "16383"});
    std::string sent = a->run("+OK\r\n", [&] { ok = clusterManagerAddSlots(a->node, &err); });
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(sent, want);
    sent = a->run("-ERR Slot 0 is already busy\r\n",
                  [&] { ok = clusterManagerAddSlots(a->node, &err); });
    EXPECT_EQ(sent, want);
    EXPECT_EQ(ok, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "ERR Slot 0 is already busy");
    hi_sdsfree(err);
}

TEST_F(SlotOps, DelSlotOfAnUnassignedSlotSucceeds) {
    int ok = -1;
    // DELSLOTS fails, CLUSTER SLOTS shows nobody owning the slot.
    std::string want = requests({{"CLUSTER", "DELSLOTS", "3"}, {"CLUSTER", "SLOTS"}});
    std::string sent =
        a->run(std::vector<std::string>{"-ERR Slot 3 is already unassigned\r\n", "*0\r\n"},
               [&] { ok = clusterManagerDelSlot(a->node, 3); });
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(sent, want);

    // Owned by a loaded node: the DELSLOTS error stands.
    std::string slots = "*1\r\n*3\r\n:0\r\n:100\r\n*3\r\n$9\r\n127.0.0.1\r\n:7000\r\n$40\r\n" +
                        std::string(kIdB) + "\r\n";
    testing::internal::CaptureStdout();
    sent = a->run(std::vector<std::string>{"-ERR nope\r\n", slots},
                  [&] { ok = clusterManagerDelSlot(a->node, 3); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Node " + address(a) + " replied with error:\nERR nope\n");
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(sent, want);
}

TEST_F(SlotOps, SetSlotOwnerTransaction) {
    struct Row {
        int do_clear;
        std::string exec;
        int want;
        std::string logged;
    } rows[] = {
        // DELSLOTS of an unassigned slot fails harmlessly.
        {0, "*3\r\n-ERR Slot 8 is already unassigned\r\n+OK\r\n+BUMPED 3\r\n", 1, ""},
        {1, "*4\r\n+OK\r\n+OK\r\n-ERR not importing\r\n+STILL 3\r\n", 1, ""},
        // Only the ADDSLOTS result decides.
        {0, "*3\r\n+OK\r\n-ERR Slot 8 is already busy\r\n+BUMPED 3\r\n", 0,
         "replied with error:\nERR Slot 8 is already busy\n"},
        {0, "-EXECABORT Transaction discarded\r\n", 0,
         "replied with error:\nEXECABORT Transaction discarded\n"},
        {0, "+OK\r\n", 0, ""}, // not an array
    };
    for (const Row &r : rows) {
        std::vector<std::string> replies = {"+OK\r\n", "+QUEUED\r\n", "+QUEUED\r\n", "+QUEUED\r\n"};
        if (r.do_clear) replies.push_back("+QUEUED\r\n");
        replies.push_back(r.exec);
        Words stable = {"CLUSTER", "SETSLOT", "8", "STABLE"};
        std::string want = request({"MULTI"}) + request({"CLUSTER", "DELSLOTS", "8"}) +
                           request({"CLUSTER", "ADDSLOTS", "8"}) +
                           (r.do_clear ? request(stable) : "") + request({"CLUSTER", "BUMPEPOCH"}) +
                           request({"EXEC"});
        int ok = -1;
        testing::internal::CaptureStdout();
        std::string sent =
            a->run(replies, [&] { ok = clusterManagerSetSlotOwner(a->node, 8, r.do_clear); });
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, r.want) << r.exec;
        if (r.logged.empty())
            EXPECT_EQ(out, "") << r.exec;
        else
            EXPECT_EQ(out, "Node " + address(a) + " " + r.logged) << r.exec;
        EXPECT_EQ(sent, want) << r.exec;
    }
}

TEST_F(SlotOps, SlotOwnerFromClusterSlots) {
    std::string host_a = "$9\r\n127.0.0.1\r\n:" + std::to_string(a->port) + "\r\n";
    struct Row {
        std::string reply;
        clusterManagerNode *want;
    } rows[] = {
        {"*1\r\n*3\r\n:0\r\n:100\r\n*3\r\n" + host_a + "$40\r\n" + kIdB + "\r\n", b->node},
        // Without an ID the address decides.
        {"*1\r\n*3\r\n:0\r\n:100\r\n*2\r\n" + host_a, a->node},
        // The slot outside the range, then a matching range further on.
        {"*2\r\n*3\r\n:200\r\n:300\r\n*2\r\n" + host_a + "*3\r\n:0\r\n:100\r\n*3\r\n" + host_a +
             "$40\r\n" + kIdA + "\r\n",
         a->node},
        // An unknown ID is no owner.
        {"*1\r\n*3\r\n:0\r\n:100\r\n*3\r\n" + host_a + "$3\r\nzzz\r\n", nullptr},
        // Shapes that describe nothing are passed over.
        {"*3\r\n:1\r\n*2\r\n:0\r\n:100\r\n*3\r\n$1\r\n0\r\n:100\r\n*2\r\n" + host_a, nullptr},
        {"*1\r\n*3\r\n:0\r\n:100\r\n*1\r\n$9\r\n127.0.0.1\r\n", nullptr},
        {"*1\r\n*3\r\n:0\r\n:100\r\n*2\r\n$-1\r\n:1\r\n", nullptr},
        {"+OK\r\n", nullptr},
    };
    std::string want = request({"CLUSTER", "SLOTS"});
    for (const Row &r : rows) {
        clusterManagerNode *got = a->node;
        hisds err = nullptr;
        std::string sent =
            a->run(r.reply, [&] { got = clusterManagerGetSlotOwner(a->node, 50, &err); });
        EXPECT_EQ(got, r.want) << r.reply;
        EXPECT_EQ(err, nullptr);
        EXPECT_EQ(sent, want);
    }
    hisds err = nullptr;
    clusterManagerNode *got = a->node;
    a->run("-ERR cluster support disabled\r\n",
           [&] { got = clusterManagerGetSlotOwner(a->node, 50, &err); });
    EXPECT_EQ(got, nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "ERR cluster support disabled");
    hi_sdsfree(err);
}

TEST_F(SlotOps, MasterWithMostKeys) {
    ScriptedNode *replica = add("cccc000000000000000000000000000000000000");
    replica->node->flags |= CLUSTER_MANAGER_FLAG_SLAVE;
    struct Row {
        const char *a, *b;
        clusterManagerNode *want;
    } rows[] = {
        {":3\r\n", ":5\r\n", b->node},
        {":5\r\n", ":5\r\n", a->node}, // ties go to the earlier node
        {":0\r\n", ":0\r\n", a->node},
    };
    for (const Row &r : rows) {
        peer::sendAll(a->far.get(), r.a);
        peer::sendAll(b->far.get(), r.b);
        clusterManagerNode *got =
            clusterManagerGetNodeWithMostKeysInSlot(cluster_manager.nodes, 9, nullptr);
        EXPECT_EQ(got, r.want);
        std::string want = request({"CLUSTER", "COUNTKEYSINSLOT", "9"});
        EXPECT_EQ(peer::recvUpTo(a->far.get(), want.size(), 2000), want);
        EXPECT_EQ(peer::recvUpTo(b->far.get(), want.size(), 2000), want);
        // Replicas are not asked.
        EXPECT_EQ(peer::recvPending(replica->far.get()), "");
    }
    // A failing count ends the search with its error.
    peer::sendAll(a->far.get(), "-ERR down\r\n");
    hisds err = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(clusterManagerGetNodeWithMostKeysInSlot(cluster_manager.nodes, 9, &err), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Node " + address(a) + " replied with error:\nERR down\n");
    EXPECT_EQ(peer::recvPending(b->far.get()), "");
    hi_sdsfree(err);
}

TEST_F(SlotOps, CoveredSlotsCountsEachSlotOnce) {
    a->node->slots[1] = a->node->slots[2] = 1;
    b->node->slots[2] = b->node->slots[3] = 1;
    std::vector<char> table(CLUSTER_MANAGER_SLOTS, 0);
    table[3] = 1;
    EXPECT_EQ(clusterManagerGetCoveredSlots(table.data()), 2);
    EXPECT_TRUE(table[1] && table[2] && table[3]);
    EXPECT_FALSE(table[0]);
}

} // namespace
