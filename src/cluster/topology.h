// Reading a cluster's topology: the CLUSTER NODES line format and loading
// every node from one entry node.
#pragma once

#include <string_view>

#include "cluster/manager.h"

// The fields of one CLUSTER NODES line, in order.
enum clusterManagerNodeField {
    CLUSTER_NODE_FIELD_ID,
    CLUSTER_NODE_FIELD_ADDR,
    CLUSTER_NODE_FIELD_FLAGS,
    CLUSTER_NODE_FIELD_MASTER_ID,
    CLUSTER_NODE_FIELD_PING_SENT,
    CLUSTER_NODE_FIELD_PING_RECV,
    CLUSTER_NODE_FIELD_CONFIG_EPOCH,
    CLUSTER_NODE_FIELD_LINK_STATE,
    CLUSTER_NODE_FIELD_COUNT
};

// One line split the way every reader of CLUSTER NODES splits it: a token
// counts only when a space follows it, the first eight are the fields, and
// once all eight are taken the rest of the line is the slot list.
struct clusterManagerNodeLine {
    std::string_view field[CLUSTER_NODE_FIELD_COUNT];
    int count;              // fields present
    bool has_slots;         // all eight fields were taken; slots is the remainder
    std::string_view slots; // the slot list (may be empty)
    std::string_view tail;  // text after the last counted token when fewer than eight
};

// Splits one line (without its "\n").
clusterManagerNodeLine clusterManagerSplitNodeLine(std::string_view line);

// Calls fn(line) for every "\n"-terminated line of a CLUSTER NODES reply, in
// order; text after the last newline is not a line. Stops early, returning
// false, when fn returns false.
template <typename Fn> bool clusterManagerForEachNodeLine(std::string_view text, Fn fn) {
    size_t pos = 0;
    for (;;) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) return true;
        if (!fn(text.substr(pos, nl - pos))) return false;
        pos = nl + 1;
    }
}

// Calls fn(word) for every word of text between separators, empty words
// included (two separators in a row make one).
template <typename Fn> void clusterManagerForEachWord(std::string_view text, char sep, Fn fn) {
    size_t pos = 0;
    for (;;) {
        size_t end = text.find(sep, pos);
        if (end == std::string_view::npos) {
            fn(text.substr(pos));
            return;
        }
        fn(text.substr(pos, end - pos));
        pos = end + 1;
    }
}

// What clusterManagerNodeLoadInfo reads besides the node's own line.
#define CLUSTER_MANAGER_OPT_GETFRIENDS (1 << 0)

// Applies a CLUSTER NODES reply text to node: its own ("myself") line sets
// its ID, flags, replicated master, epochs and slots; with
// CLUSTER_MANAGER_OPT_GETFRIENDS every other line becomes a friend node.
// Returns 1, or 0 for a reply without the flags field or a friend without a
// usable address.
int clusterManagerNodeParseNodes(clusterManagerNode *node, std::string_view text, int opts);

// Sends CLUSTER NODES to the node and applies the reply as above. A missing
// or error reply returns 0 (the error text through *err when given).
int clusterManagerNodeLoadInfo(clusterManagerNode *node, int opts, hisds *err);

// Checks that the node's INFO says cluster_enabled and reads its CLUSTER
// NODES as clusterManagerNodeLoadInfo does; prints why and returns 0 when
// either fails.
int clusterManagerLoadClusterNode(clusterManagerNode *node, int opts);

// Loads the topology from the entry node into cluster_manager.nodes, replacing
// any earlier topology; masters seen but not loadable are counted in
// cluster_manager.unreachable_masters. On failure the node is freed (and
// taken out of the node list) and 0 is returned.
int clusterManagerLoadInfoFromNode(clusterManagerNode *node);

// Loads the topology from the node a sub-command's address arguments name
// (getClusterHostFromCmdArgs); an address that does not parse prints the
// invalid-arguments message. Returns 1, or 0 after printing why.
int clusterManagerLoadInfoFromArgs(int argc, char **argv);
