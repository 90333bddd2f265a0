// The CLUSTER NODES line format: splitting, the node's own line, friends,
// open slots, and the lines that are too short or malformed.
#include "cluster/topology.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cluster/manager.h"

namespace {

const std::string kA = "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1";
const std::string kB = "b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2";
const std::string kC = "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3";

class NodesParser : public ::testing::Test {
  protected:
    void SetUp() override { node = clusterManagerNewNode(ip, 7000); }
    void TearDown() override { freeClusterManagerNode(node); }

    int parse(const std::string &text, int opts) {
        return clusterManagerNodeParseNodes(node, text, opts);
    }
    std::vector<clusterManagerNode *> friends() const {
        std::vector<clusterManagerNode *> v;
        if (node->friends == nullptr) return v;
        for (listNode *ln = listFirst(node->friends); ln; ln = ln->next)
            v.push_back(static_cast<clusterManagerNode *>(ln->value));
        return v;
    }
    static std::vector<std::string> words(const clusterManagerNode *n) {
        std::vector<std::string> v;
        for (listNode *ln = listFirst(n->flags_str); ln; ln = ln->next)
            v.emplace_back(static_cast<const char *>(ln->value));
        return v;
    }

    char ip[16] = "127.0.0.1";
    clusterManagerNode *node = nullptr;
};

TEST(SplitNodeLine, FieldsSlotsAndShortLines) {
    struct Row {
        const char *line;
        int count;
        bool has_slots;
        const char *slots;
        const char *tail;
    } rows[] = {
        {"id addr flags - 0 0 1 connected 0-5460 [5461->-x]", 8, true, "0-5460 [5461->-x]", ""},
        // Eight tokens with a space after the last: an empty slot list.
        {"id addr flags - 0 0 1 connected ", 8, true, "", ""},
        // Eight tokens, no trailing space: the last one is never taken.
        {"id addr flags - 0 0 1 connected", 7, false, "", "connected"},
        {"id addr flags", 2, false, "", "flags"},
        {"id addr flags ", 3, false, "", ""},
        {"", 0, false, "", ""},
        // Single spaces separate: two in a row make an empty token.
        {"id  flags - 0 0 1 connected 1", 8, true, "1", ""},
    };
    for (const Row &r : rows) {
        clusterManagerNodeLine l = clusterManagerSplitNodeLine(r.line);
        EXPECT_EQ(l.count, r.count) << r.line;
        EXPECT_EQ(l.has_slots, r.has_slots) << r.line;
        EXPECT_EQ(l.slots, r.slots) << r.line;
        EXPECT_EQ(l.tail, r.tail) << r.line;
    }
    clusterManagerNodeLine l = clusterManagerSplitNodeLine("id  flags - 0 0 1 connected 1");
    EXPECT_EQ(l.field[CLUSTER_NODE_FIELD_ADDR], "");
    EXPECT_EQ(l.field[CLUSTER_NODE_FIELD_FLAGS], "flags");
}

TEST_F(NodesParser, OwnLineWithRangesAndOpenSlots) {
    std::string text = kA + " 127.0.0.1:7000@17000 myself,master - 0 1700000000 7 connected " +
                       "0-5460 [5461->-" + kB + "] 6000 [77-<-" + kC + "] [8->x]\n";
    ASSERT_EQ(parse(text, 0), 1);
    EXPECT_EQ(std::string(node->name), kA);
    EXPECT_EQ(node->slots_count, 5462);
    EXPECT_TRUE(node->slots[0] && node->slots[5460] && node->slots[6000]);
    EXPECT_FALSE(node->slots[5461]);
    ASSERT_EQ(node->migrating_count, 2);
    EXPECT_STREQ(node->migrating[0], "5461");
    EXPECT_EQ(std::string(node->migrating[1]), kB);
    ASSERT_EQ(node->importing_count, 2);
    EXPECT_STREQ(node->importing[0], "77");
    EXPECT_EQ(std::string(node->importing[1]), kC);
    EXPECT_EQ(node->current_epoch, 7u);
    EXPECT_EQ(node->ping_recv, 1700000000);
    EXPECT_TRUE(node->flags & CLUSTER_MANAGER_FLAG_MYSELF);
    EXPECT_FALSE(node->flags & CLUSTER_MANAGER_FLAG_SLAVE);
    EXPECT_EQ(node->replicate, nullptr);
    EXPECT_EQ(words(node), (std::vector<std::string>{"myself", "master"}));
    EXPECT_EQ(node->friends, nullptr);

    // Loading again replaces the slots and open slots instead of adding.
    ASSERT_EQ(parse(text, 0), 1);
    EXPECT_EQ(node->slots_count, 5462);
    EXPECT_EQ(node->migrating_count, 2);
}

TEST_F(NodesParser, SlotListEdgeCases) {
    struct Row {
        const char *slots;
        int count;
    } rows[] = {
        {"", 0},
        {"5", 1},
        {"0-16383", 16384},
        {"0-10 5-15", 16},       // overlapping entries count each slot once
        {"10-5", 0},             // a reversed range marks nothing
        {"16384 0-20000 -1", 0}, // outside the table: ignored
        {"abc 1x 7", 1},         // not numbers: ignored
        {"1  2", 2},             // an empty entry between two spaces
    };
    for (const Row &r : rows) {
        std::string text = kA + " 127.0.0.1:7000 myself,master - 0 0 1 connected " + r.slots + "\n";
        ASSERT_EQ(parse(text, 0), 1) << r.slots;
        EXPECT_EQ(node->slots_count, r.count) << r.slots;
        int marked = 0;
        for (int s = 0; s < CLUSTER_MANAGER_SLOTS; s++)
            marked += node->slots[s];
        EXPECT_EQ(marked, r.count) << r.slots;
    }
}

TEST_F(NodesParser, ShortOwnLines) {
    // Exactly eight tokens without a trailing space: no slot list, no link state.
    ASSERT_EQ(parse(kA + " 127.0.0.1:7000 myself,master - 0 0 3 connected\n", 0), 1);
    EXPECT_EQ(node->slots_count, 0);
    EXPECT_EQ(node->current_epoch, 3u);
    // Without the epochs: the fields simply stay as they were.
    ASSERT_EQ(parse(kA + " 127.0.0.1:7000 myself,slave " + kB + " \n", 0), 1);
    EXPECT_TRUE(node->flags & CLUSTER_MANAGER_FLAG_SLAVE);
    EXPECT_EQ(std::string(node->replicate), kB);
    EXPECT_EQ(node->current_epoch, 3u);
    // A slave line that stops before the master field sets no replicate.
    clusterManagerNode *other = clusterManagerNewNode(ip, 7001);
    ASSERT_EQ(clusterManagerNodeParseNodes(other, kA + " 127.0.0.1:7001 myself,slave \n", 0), 1);
    EXPECT_EQ(other->replicate, nullptr);
    freeClusterManagerNode(other);
}

TEST_F(NodesParser, MissingFlagsFailsTheWholeReply) {
    const char *bad[] = {
        "onlyid\n",
        "id addr\n",
        "id addr flags\n", // flags not followed by a space
        "\n",
    };
    for (const char *line : bad) {
        std::string text = std::string(line);
        EXPECT_EQ(parse(text, CLUSTER_MANAGER_OPT_GETFRIENDS), 0) << line;
    }
    // Text after the last newline is not a line at all.
    EXPECT_EQ(parse(kA + " 127.0.0.1:7000 myself,master - 0 0 1 connected 1\nid addr", 0), 1);
    EXPECT_EQ(node->slots_count, 1);
}

TEST_F(NodesParser, OwnLineOnlyStopsAfterMyself) {
    // Lines of other nodes are skipped, and nothing after the own line is read.
    std::string text = kB + " 127.0.0.1:7001@17001 master - 0 0 2 connected 100\n" + kA +
                       " 127.0.0.1:7000@17000 myself,master - 0 0 1 connected 5\n" + "garbage\n";
    ASSERT_EQ(parse(text, 0), 1);
    EXPECT_EQ(std::string(node->name), kA);
    EXPECT_EQ(node->slots_count, 1);
    EXPECT_EQ(node->friends, nullptr);
}

TEST_F(NodesParser, FriendsFromOtherLines) {
    std::string text =
        kA + " 127.0.0.1:7000@17000 myself,master - 0 0 1 connected 0-5460\n" + kB +
        " 10.0.0.2:7001@17001,host-b.example slave,fail " + kA + " 0 0 1 connected\n" + kC +
        " ::1:7002@17002 master,noaddr,disconnected - 0 0 3 disconnected 5461-16383\n";
    ASSERT_EQ(parse(text, CLUSTER_MANAGER_OPT_GETFRIENDS), 1);
    std::vector<clusterManagerNode *> f = friends();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_STREQ(f[0]->ip, "10.0.0.2");
    EXPECT_EQ(f[0]->port, 7001);
    EXPECT_EQ(std::string(f[0]->name), kB);
    EXPECT_EQ(std::string(f[0]->replicate), kA);
    EXPECT_EQ(f[0]->flags,
              CLUSTER_MANAGER_FLAG_FRIEND | CLUSTER_MANAGER_FLAG_SLAVE | CLUSTER_MANAGER_FLAG_FAIL);
    EXPECT_STREQ(f[1]->ip, "::1");
    EXPECT_EQ(f[1]->port, 7002);
    EXPECT_EQ(f[1]->flags, CLUSTER_MANAGER_FLAG_FRIEND | CLUSTER_MANAGER_FLAG_NOADDR |
                               CLUSTER_MANAGER_FLAG_DISCONNECT);
    // Only the node's own line fills a slot table.
    EXPECT_EQ(f[1]->slots_count, 0);
    EXPECT_EQ(words(f[1]), (std::vector<std::string>{"master", "noaddr", "disconnected"}));
    EXPECT_EQ(node->slots_count, 5461);
}

TEST_F(NodesParser, FriendWithoutUsableAddress) {
    std::string head = kA + " 127.0.0.1:7000 myself,master - 0 0 1 connected\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(
        parse(head + kB + " nocolon master - 0 0 1 connected\n", CLUSTER_MANAGER_OPT_GETFRIENDS),
        0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: invalid CLUSTER NODES reply\n");
    // A port that is no port leaves the friend without one (it is skipped
    // when the topology is loaded).
    freeClusterManagerNode(node);
    node = clusterManagerNewNode(ip, 7000);
    ASSERT_EQ(parse(head + kB + " 10.0.0.9:99999 master - 0 0 1 connected\n" + kC +
                        " :0@0 master,noaddr - 0 0 1 connected\n",
                    CLUSTER_MANAGER_OPT_GETFRIENDS),
              1);
    std::vector<clusterManagerNode *> f = friends();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0]->port, 0);
    EXPECT_STREQ(f[1]->ip, "");
}

TEST(ParseClusterNodeAddress, Forms) {
    struct Row {
        const char *addr;
        int ok;
        const char *ip;
        int port;
        int bus;
    } rows[] = {
        {"127.0.0.1:7000", 1, "127.0.0.1", 7000, 0},
        {"127.0.0.1:7000@17000", 1, "127.0.0.1", 7000, 17000},
        {"::1:7000", 1, "::1", 7000, 0},
        {"[::1]:7000@17000", 1, "::1", 7000, 17000},
        {"host.example:65535", 1, "host.example", 65535, 0},
        {"127.0.0.1", 0, nullptr, 0, 0},
        {"127.0.0.1:", 0, nullptr, 0, 0},
        {"127.0.0.1:0", 0, nullptr, 0, 0},
        {"127.0.0.1:65536", 0, nullptr, 0, 0},
        {"127.0.0.1:70x", 0, nullptr, 0, 0},
        {"127.0.0.1:7000@x", 0, nullptr, 0, 0},
    };
    for (const Row &r : rows) {
        std::string buf = r.addr;
        char *ip = nullptr;
        int port = 0, bus = 0;
        EXPECT_EQ(parseClusterNodeAddress(buf.data(), &ip, &port, &bus), r.ok) << r.addr;
        if (!r.ok) continue;
        EXPECT_STREQ(ip, r.ip) << r.addr;
        EXPECT_EQ(port, r.port) << r.addr;
        EXPECT_EQ(bus, r.bus) << r.addr;
    }
}

TEST(GetClusterHostFromCmdArgs, OneOrTwoArguments) {
    struct Row {
        std::vector<std::string> args;
        int ok;
        const char *ip;
        int port;
    } rows[] = {
        {{"127.0.0.1:7000"}, 1, "127.0.0.1", 7000},
        {{"127.0.0.1", "7000"}, 1, "127.0.0.1", 7000},
        {{"127.0.0.1:7000@17000"}, 1, "127.0.0.1", 7000},
        {{"127.0.0.1", "7000", "extra"}, 1, "127.0.0.1", 7000},
        {{"127.0.0.1"}, 0, nullptr, 0},
        {{"127.0.0.1", "0"}, 0, nullptr, 0},
        {{"127.0.0.1", "port"}, 0, nullptr, 0},
        {{":7000"}, 0, nullptr, 0},
        {{}, 0, nullptr, 0},
    };
    for (Row &r : rows) {
        std::vector<char *> argv;
        for (std::string &a : r.args)
            argv.push_back(a.data());
        char *ip = nullptr;
        int port = 0;
        int ok = getClusterHostFromCmdArgs(static_cast<int>(argv.size()), argv.data(), &ip, &port);
        EXPECT_EQ(ok, r.ok) << (r.args.empty() ? "" : r.args[0]);
        if (!ok) continue;
        EXPECT_STREQ(ip, r.ip);
        EXPECT_EQ(port, r.port);
    }
}

} // namespace
