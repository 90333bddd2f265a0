#include "cluster/topology.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cluster/log.h"
#include "cluster/probes.h"

namespace {

// A slot number: digits only, below CLUSTER_MANAGER_SLOTS. The server is
// trusted for the format, not for the range: a number outside the table
// would write past it.
bool parseSlot(std::string_view s, int *slot) {
    if (s.empty() || s.size() > 5) return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v >= CLUSTER_MANAGER_SLOTS) return false;
    *slot = v;
    return true;
}

template <typename T> T parseNumber(std::string_view s) {
    T v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

// Marks slots first..last owned, counting only the slots newly marked so that
// an overlapping or repeated entry cannot inflate the count.
void markSlots(clusterManagerNode *node, int first, int last) {
    for (int s = first; s <= last; s++) {
        if (!node->slots[s]) {
            node->slots[s] = 1;
            node->slots_count++;
        }
    }
}

// "[slot->-id]" (migrating) or "[slot-<-id]" (importing); other bracketed
// forms are not open slots.
void parseOpenSlot(clusterManagerNode *node, std::string_view entry) {
    entry.remove_prefix(1);
    if (!entry.empty() && entry.back() == ']') entry.remove_suffix(1);
    hisds **pairs;
    int *count;
    size_t arrow = entry.find("->-");
    if (arrow != std::string_view::npos) {
        pairs = &node->migrating;
        count = &node->migrating_count;
    } else if ((arrow = entry.find("-<-")) != std::string_view::npos) {
        pairs = &node->importing;
        count = &node->importing_count;
    } else {
        return;
    }
    std::string_view slot = entry.substr(0, arrow);
    std::string_view id = entry.substr(arrow + 3);
    int n;
    if (!parseSlot(slot, &n) || id.empty()) return;
    clusterManagerNodeAddOpenSlot(pairs, count, slot.data(), slot.size(), id.data(), id.size());
}

void parseSlotList(clusterManagerNode *node, std::string_view slots) {
    clusterManagerForEachWord(slots, ' ', [node](std::string_view entry) {
        if (entry.empty()) return;
        if (entry[0] == '[') {
            parseOpenSlot(node, entry);
            return;
        }
        size_t dash = entry.find('-');
        int first, last;
        if (dash != std::string_view::npos) {
            if (parseSlot(entry.substr(0, dash), &first) &&
                parseSlot(entry.substr(dash + 1), &last))
                markSlots(node, first, last);
        } else if (parseSlot(entry, &first)) {
            markSlots(node, first, first);
        }
    });
}

// Sets what a line says about the node it describes: ID, flag words and
// bits, replicated master, epoch and pings.
void applyNodeLine(clusterManagerNode *n, const clusterManagerNodeLine &l) {
    std::string_view id = l.field[CLUSTER_NODE_FIELD_ID];
    hi_sdsfree(n->name);
    n->name = hi_sdsnewlen(id.data(), id.size());

    clusterManagerReleaseSdsList(n->flags_str);
    n->flags_str = listCreate();
    clusterManagerForEachWord(l.field[CLUSTER_NODE_FIELD_FLAGS], ',', [&](std::string_view w) {
        listAddNodeTail(n->flags_str, hi_sdsnewlen(w.data(), w.size()));
        if (w == "noaddr") {
            n->flags |= CLUSTER_MANAGER_FLAG_NOADDR;
        } else if (w == "disconnected") {
            n->flags |= CLUSTER_MANAGER_FLAG_DISCONNECT;
        } else if (w == "fail") {
            n->flags |= CLUSTER_MANAGER_FLAG_FAIL;
        } else if (w == "slave") {
            n->flags |= CLUSTER_MANAGER_FLAG_SLAVE;
            if (l.count > CLUSTER_NODE_FIELD_MASTER_ID) {
                std::string_view master = l.field[CLUSTER_NODE_FIELD_MASTER_ID];
                hi_sdsfree(n->replicate);
                n->replicate = hi_sdsnewlen(master.data(), master.size());
            }
        }
    });
    if (l.count > CLUSTER_NODE_FIELD_CONFIG_EPOCH)
        n->current_epoch = parseNumber<uint64_t>(l.field[CLUSTER_NODE_FIELD_CONFIG_EPOCH]);
    if (l.count > CLUSTER_NODE_FIELD_PING_SENT)
        n->ping_sent = parseNumber<time_t>(l.field[CLUSTER_NODE_FIELD_PING_SENT]);
    if (l.count > CLUSTER_NODE_FIELD_PING_RECV)
        n->ping_recv = parseNumber<time_t>(l.field[CLUSTER_NODE_FIELD_PING_RECV]);
}

// A friend node for a line of another node: its address loses the bus port
// (and anything after it), then the last ':' separates host and port.
clusterManagerNode *newFriend(const clusterManagerNodeLine &l) {
    if (l.count <= CLUSTER_NODE_FIELD_ADDR) return nullptr;
    std::string_view addr = l.field[CLUSTER_NODE_FIELD_ADDR];
    size_t at = addr.rfind('@');
    if (at != std::string_view::npos) addr = addr.substr(0, at);
    size_t colon = addr.rfind(':');
    if (colon == std::string_view::npos) return nullptr;
    std::string_view port = addr.substr(colon + 1);
    int p = parseNumber<int>(port);
    // A port out of range is as unusable as none: the node is then skipped.
    if (p < 0 || p > 65535) p = 0;
    hisds ip = hi_sdsnewlen(addr.data(), colon);
    clusterManagerNode *f = clusterManagerNewNode(ip, p);
    f->flags |= CLUSTER_MANAGER_FLAG_FRIEND;
    return f;
}

} // namespace

clusterManagerNodeLine clusterManagerSplitNodeLine(std::string_view line) {
    clusterManagerNodeLine l{};
    size_t pos = 0;
    while (l.count < CLUSTER_NODE_FIELD_COUNT) {
        size_t sp = line.find(' ', pos);
        if (sp == std::string_view::npos) {
            l.tail = line.substr(pos);
            return l;
        }
        l.field[l.count++] = line.substr(pos, sp - pos);
        pos = sp + 1;
    }
    l.has_slots = true;
    l.slots = line.substr(pos);
    return l;
}

int clusterManagerNodeParseNodes(clusterManagerNode *node, std::string_view text, int opts) {
    bool getfriends = (opts & CLUSTER_MANAGER_OPT_GETFRIENDS) != 0;
    int result = 1;
    clusterManagerForEachNodeLine(text, [&](std::string_view line) {
        clusterManagerNodeLine l = clusterManagerSplitNodeLine(line);
        if (l.count <= CLUSTER_NODE_FIELD_FLAGS) {
            result = 0;
            return false;
        }
        bool myself = l.field[CLUSTER_NODE_FIELD_FLAGS].find("myself") != std::string_view::npos;
        clusterManagerNode *described;
        if (myself) {
            described = node;
            node->flags |= CLUSTER_MANAGER_FLAG_MYSELF;
            clusterManagerNodeResetSlots(node);
            // A reload must not add the open slots a second time.
            clusterManagerNodeResetOpenSlots(node);
            if (l.has_slots) parseSlotList(node, l.slots);
            node->dirty = 0;
        } else {
            if (!getfriends) return true;
            described = newFriend(l);
            if (described == nullptr) {
                fprintf(stderr, "Error: invalid CLUSTER NODES reply\n");
                result = 0;
                return false;
            }
            if (node->friends == nullptr) node->friends = listCreate();
            listAddNodeTail(node->friends, described);
        }
        applyNodeLine(described, l);
        // Without friends, the node's own line is all there is to read.
        return !(myself && !getfriends);
    });
    return result;
}

int clusterManagerNodeLoadInfo(clusterManagerNode *node, int opts, hisds *err) {
    auto *reply = static_cast<vornReply *>(vornCommand(node->context, "CLUSTER NODES"));
    clusterManagerReplyPtr owner(reply);
    if (!clusterManagerCheckVornReply(node, reply, err)) return 0;
    if (reply->str == nullptr) {
        // A reply of another type has no node table.
        if (err != nullptr) *err = hi_sdsnew("unexpected reply to CLUSTER NODES");
        return 0;
    }
    return clusterManagerNodeParseNodes(node, std::string_view(reply->str, reply->len), opts);
}

static void dropNode(clusterManagerNode *node) {
    if (cluster_manager.nodes != nullptr)
        clusterManagerRemoveNodeFromList(cluster_manager.nodes, node);
    freeClusterManagerNode(node);
}

int clusterManagerLoadClusterNode(clusterManagerNode *node, int opts) {
    hisds e = nullptr;
    if (!clusterManagerNodeIsCluster(node, &e)) {
        clusterManagerPrintNotClusterNodeError(node, e);
        hi_sdsfree(e);
        return 0;
    }
    e = nullptr;
    if (!clusterManagerNodeLoadInfo(node, opts, &e)) {
        if (e != nullptr) {
            clusterManagerPrintReplyError(node, e);
            hi_sdsfree(e);
        }
        return 0;
    }
    return 1;
}

int clusterManagerLoadInfoFromNode(clusterManagerNode *node) {
    if ((node->context == nullptr && !clusterManagerNodeConnect(node)) ||
        !clusterManagerLoadClusterNode(node, CLUSTER_MANAGER_OPT_GETFRIENDS)) {
        dropNode(node);
        return 0;
    }
    clusterManagerReleaseNodesExcept(node);
    cluster_manager.nodes = listCreate();
    listAddNodeTail(cluster_manager.nodes, node);
    cluster_manager.unreachable_masters = 0;

    clusterManagerForEach<clusterManagerNode>(node->friends, [](clusterManagerNode *f) {
        bool usable = false;
        if (f->ip != nullptr && *f->ip != '\0' && f->port != 0 && clusterManagerNodeConnect(f)) {
            if (clusterManagerNodeLoadInfo(f, 0, nullptr)) {
                usable =
                    !(f->flags & (CLUSTER_MANAGER_FLAG_NOADDR | CLUSTER_MANAGER_FLAG_DISCONNECT |
                                  CLUSTER_MANAGER_FLAG_FAIL));
            } else {
                clusterManagerLogErr("[ERR] Unable to load info for node %s:%d\n", f->ip, f->port);
            }
        }
        if (usable) {
            listAddNodeTail(cluster_manager.nodes, f);
        } else {
            if (!(f->flags & CLUSTER_MANAGER_FLAG_SLAVE)) cluster_manager.unreachable_masters++;
            freeClusterManagerNode(f);
        }
    });
    if (node->friends != nullptr) listRelease(node->friends);
    node->friends = nullptr;

    clusterManagerForEachNode([](clusterManagerNode *n) { n->replicas_count = 0; });
    clusterManagerForEachNode([](clusterManagerNode *n) {
        if (n->replicate == nullptr) return;
        clusterManagerNode *master = clusterManagerNodeByName(n->replicate);
        if (master == nullptr)
            clusterManagerLogWarn("*** WARNING: %s:%d claims to be slave of unknown node ID %s.\n",
                                  n->ip, n->port, n->replicate);
        else
            master->replicas_count++;
    });
    return 1;
}

int clusterManagerLoadInfoFromArgs(int argc, char **argv) {
    char *ip = nullptr;
    int port = 0;
    if (!getClusterHostFromCmdArgs(argc, argv, &ip, &port)) {
        clusterManagerPrintInvalidArgs();
        return 0;
    }
    return clusterManagerLoadInfoFromNode(clusterManagerNewNode(ip, port));
}
