// Hand-made cluster node records for the cluster manager's unit tests.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "cluster/manager.h"

namespace cluster_test {

// The text of s, which is freed.
inline std::string take(hisds s) {
    std::string out(s, hi_sdslen(s));
    hi_sdsfree(s);
    return out;
}

struct NodeDeleter {
    void operator()(clusterManagerNode *n) const { freeClusterManagerNode(n); }
};
using NodePtr = std::unique_ptr<clusterManagerNode, NodeDeleter>;

inline char kHost[] = "127.0.0.1";

// A node at 127.0.0.1:7000 owning the slot ranges given.
inline NodePtr nodeWithSlots(std::initializer_list<std::pair<int, int>> ranges) {
    NodePtr n(clusterManagerNewNode(kHost, 7000));
    for (auto [first, last] : ranges)
        for (int s = first; s <= last; s++) {
            n->slots[s] = 1;
            n->slots_count++;
        }
    return n;
}

// Sets the node's flag words.
inline void setFlagWords(clusterManagerNode *n, std::initializer_list<const char *> words) {
    n->flags_str = listCreate();
    for (const char *w : words)
        listAddNodeTail(n->flags_str, hi_sdsnew(w));
}

} // namespace cluster_test
