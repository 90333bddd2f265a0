// The links the join wait reports: which CLUSTER NODES lines count as a node
// seen down, including lines that end right after the link state.
#include "cluster/create.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Row {
    const char *text;
    std::vector<std::string> addrs; // the links found, in order
    std::vector<int> handshaking;
};

TEST(DisconnectedLinks, WhichLinesCount) {
    Row rows[] = {
        {"a 127.0.0.1:1@2 myself,master - 0 0 1 connected 0-100\n"
         "b 127.0.0.1:3@4 master - 0 0 2 connected 101-200\n",
         {},
         {}},
        {"b 127.0.0.1:3@4 master,disconnected - 0 0 2 connected\n", {"127.0.0.1:3@4"}, {0}},
        {"b 127.0.0.1:3@4 handshake - 0 0 0 connected\n", {"127.0.0.1:3@4"}, {1}},
        // The link state ends the line: still read.
        {"b 127.0.0.1:3@4 master - 0 0 2 disconnected\n", {"127.0.0.1:3@4"}, {0}},
        {"b 127.0.0.1:3@4 master - 0 0 2 disconnected 5-9\n", {"127.0.0.1:3@4"}, {0}},
        // The node's own line is never a link, whatever it says.
        {"a 127.0.0.1:1@2 myself,master,disconnected - 0 0 1 disconnected\n", {}, {}},
        // Lines without a link state, or missing fields, are skipped.
        {"b 127.0.0.1:3@4 master,disconnected - 0 0\n", {}, {}},
        {"b 127.0.0.1:3@4 master,disconnected\n", {}, {}},
        {" 127.0.0.1:3@4 disconnected - 0 0 2 disconnected\n", {}, {}},
        {"b 127.0.0.1:3@4 master - 0 0 2 disconnected", {}, {}}, // no line end
        {"b h:3@4 fail,handshake - 0 0 0 connected\nc h:5@6 slave a 0 0 1 disconnected\n",
         {"h:3@4", "h:5@6"},
         {1, 0}},
    };
    for (const Row &r : rows) {
        list *links = clusterManagerParseDisconnectedLinks(r.text);
        ASSERT_NE(links, nullptr);
        std::vector<std::string> addrs;
        std::vector<int> handshaking;
        for (listNode *ln = listFirst(links); ln; ln = ln->next) {
            auto *link = static_cast<clusterManagerLink *>(ln->value);
            addrs.emplace_back(link->node_addr);
            handshaking.push_back(link->handshaking);
            EXPECT_EQ(link->connected, 0);
        }
        EXPECT_EQ(addrs, r.addrs) << r.text;
        EXPECT_EQ(handshaking, r.handshaking) << r.text;
        listRelease(links);
    }
}

} // namespace
