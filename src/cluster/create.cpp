#include "cluster/create.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "cli/config.h"
#include "cluster/check.h"
#include "cluster/create_plan.h"
#include "cluster/log.h"
#include "cluster/probes.h"
#include "cluster/render.h"
#include "cluster/slot_ops.h"
#include "cluster/topology.h"
#include "support/zmalloc.h"

namespace {

// Nodes wait this many seconds (plus a little per node) before the links
// are inspected for a join that does not happen.
constexpr int kJoinCheckAfter = 20;

void freeLink(void *p) {
    auto *link = static_cast<clusterManagerLink *>(p);
    hi_sdsfree(link->node_name);
    hi_sdsfree(link->node_addr);
    zfree(link);
}

void freeSds(void *p) {
    hi_sdsfree(static_cast<hisds>(p));
}

// The node with the same ID as n among the nodes already accepted.
clusterManagerNode *sameNodeAs(const clusterManagerNode *n) {
    clusterManagerNode *found = nullptr;
    clusterManagerForEachNode([&](clusterManagerNode *other) {
        if (found == nullptr && other->name != nullptr && n->name != nullptr &&
            hi_sdscmp(other->name, n->name) == 0)
            found = other;
    });
    return found;
}

// Connects and vets one address argument; appends the node to
// cluster_manager.nodes. Returns 1, or 0 after printing why.
int addCreateNode(char *arg) {
    char *at = strrchr(arg, '@');
    if (at != nullptr) *at = '\0';
    hisds shown = hi_sdsnew(arg);
    char *ip = nullptr;
    int port = 0;
    if (!parseClusterNodeAddress(arg, &ip, &port, nullptr)) {
        fprintf(stderr, "Invalid address format: %s\n", shown);
        hi_sdsfree(shown);
        return 0;
    }
    hi_sdsfree(shown);
    clusterManagerNode *node = clusterManagerNewNode(ip, port);
    if (!clusterManagerNodeConnect(node)) {
        freeClusterManagerNode(node);
        return 0;
    }
    if (!clusterManagerLoadClusterNode(node, 0)) {
        freeClusterManagerNode(node);
        return 0;
    }
    // Without its own line the node has no ID for replicas to follow.
    if (node->name == nullptr) {
        clusterManagerPrintReplyError(node, "CLUSTER NODES lists no line for the node itself");
        freeClusterManagerNode(node);
        return 0;
    }
    hisds err = nullptr;
    if (!clusterManagerNodeIsEmpty(node, &err)) {
        clusterManagerPrintNotEmptyNodeError(node, err);
        hi_sdsfree(err);
        freeClusterManagerNode(node);
        return 0;
    }
    // The same instance given twice (perhaps under two addresses) would be
    // planned as two nodes and end up replicating itself.
    if (clusterManagerNode *twin = sameNodeAs(node)) {
        hisds why = hi_sdscatprintf(hi_sdsempty(), "is not empty: it is the same node as %s:%d.",
                                    twin->ip, twin->port);
        clusterManagerPrintNotEmptyNodeError(node, why);
        hi_sdsfree(why);
        freeClusterManagerNode(node);
        return 0;
    }
    listAddNodeTail(cluster_manager.nodes, node);
    return 1;
}

// Flushes every dirty node in list order. In the first round a master that
// cannot take its slots ends the command; replicas may not know their
// master yet and are retried after the join.
int flushAll(bool first_round) {
    int ok = 1;
    clusterManagerForEachNode([&](clusterManagerNode *node) {
        if (!ok || !node->dirty) return;
        hisds err = nullptr;
        bool is_master = node->replicate == nullptr;
        int flushed = clusterManagerFlushNodeConfig(node, &err);
        if (!flushed && is_master && first_round) {
            if (err != nullptr) clusterManagerPrintReplyError(node, err);
            ok = 0;
        }
        hi_sdsfree(err);
    });
    return ok;
}

int meetAll(void) {
    clusterManagerNode *first = nullptr;
    int ok = 1;
    clusterManagerForEachNode([&](clusterManagerNode *node) {
        if (!ok) return;
        if (first == nullptr) {
            first = node;
            return;
        }
        auto *reply = static_cast<vornReply *>(
            vornCommand(node->context, "cluster meet %s %d", first->ip, first->port));
        if (reply == nullptr) {
            fprintf(stderr, "Failed to send CLUSTER MEET command.\n");
            ok = 0;
            return;
        }
        if (reply->type == VORN_REPLY_ERROR) {
            clusterManagerPrintReplyError(node, reply->str);
            ok = 0;
        }
        freeReplyObject(reply);
    });
    return ok;
}

void reportLinks(dict *status) {
    printf("\n");
    clusterManagerLogErr("Warning: %d node(s) may be unreachable\n",
                         static_cast<int>(dictSize(status)));
    dictIterator *it = dictGetIterator(status);
    dictEntry *de;
    while ((de = dictNext(it)) != nullptr) {
        hisds addr = static_cast<hisds>(dictGetKey(de));
        list *observers = static_cast<list *>(dictGetVal(de));
        hisds copy = hi_sdsdup(addr);
        char *ip = nullptr;
        int port = 0, bus_port = 0;
        if (parseClusterNodeAddress(copy, &ip, &port, &bus_port) && bus_port != 0)
            clusterManagerLogErr(" - The port %d of node %s may be unreachable from:\n", bus_port,
                                 ip);
        else
            clusterManagerLogErr(" - Node %s may be unreachable from:\n", addr);
        hi_sdsfree(copy);
        clusterManagerForEach<char>(observers, [](hisds o) { clusterManagerLogErr("   %s\n", o); });
    }
    dictReleaseIterator(it);
    clusterManagerLogErr("Cluster bus ports must be reachable by every node.\n"
                         "Remember that cluster bus ports are different from standard instance "
                         "ports.\n");
}

} // namespace

int clusterManagerFlushNodeConfig(clusterManagerNode *node, hisds *err) {
    if (!node->dirty) return 0;
    if (err != nullptr) *err = nullptr;
    if (node->replicate != nullptr) {
        auto *reply = static_cast<vornReply *>(
            vornCommand(node->context, "CLUSTER REPLICATE %s", node->replicate));
        int ok = clusterManagerCheckVornReply(node, reply, err);
        if (reply != nullptr) freeReplyObject(reply);
        // Before the cluster has joined the replica may not know its master:
        // it stays dirty for another try.
        if (!ok) return 0;
        node->dirty = 0;
        return 1;
    }
    int added = clusterManagerAddSlots(node, err);
    node->dirty = 0;
    return added;
}

list *clusterManagerParseDisconnectedLinks(std::string_view text) {
    list *links = listCreate();
    listSetFreeMethod(links, freeLink);
    clusterManagerForEachNodeLine(text, [&](std::string_view line) {
        clusterManagerNodeLine l = clusterManagerSplitNodeLine(line);
        // The link state may end the line without a space after it.
        std::string_view link_state;
        if (l.count == CLUSTER_NODE_FIELD_COUNT)
            link_state = l.field[CLUSTER_NODE_FIELD_LINK_STATE];
        else if (l.count == CLUSTER_NODE_FIELD_LINK_STATE)
            link_state = l.tail;
        std::string_view id = l.field[CLUSTER_NODE_FIELD_ID];
        std::string_view addr = l.field[CLUSTER_NODE_FIELD_ADDR];
        std::string_view flags = l.field[CLUSTER_NODE_FIELD_FLAGS];
        if (id.empty() || addr.empty() || flags.empty() || link_state.empty()) return true;
        if (flags.find("myself") != std::string_view::npos) return true;
        bool handshaking = flags.find("handshake") != std::string_view::npos;
        bool down = flags.find("disconnected") != std::string_view::npos || handshaking ||
                    link_state.find("disconnected") != std::string_view::npos;
        if (!down) return true;
        auto *link = static_cast<clusterManagerLink *>(zcalloc(sizeof(clusterManagerLink)));
        link->node_name = hi_sdsnewlen(id.data(), id.size());
        link->node_addr = hi_sdsnewlen(addr.data(), addr.size());
        link->connected = 0;
        link->handshaking = handshaking;
        listAddNodeTail(links, link);
        return true;
    });
    return links;
}

list *clusterManagerGetDisconnectedLinks(clusterManagerNode *node) {
    auto *reply = static_cast<vornReply *>(vornCommand(node->context, "CLUSTER NODES"));
    if (reply == nullptr) return nullptr;
    list *links = nullptr;
    if (reply->type != VORN_REPLY_ERROR && reply->str != nullptr)
        links = clusterManagerParseDisconnectedLinks(std::string_view(reply->str, reply->len));
    freeReplyObject(reply);
    return links;
}

dict *clusterManagerGetLinkStatus(void) {
    if (cluster_manager.nodes == nullptr) return nullptr;
    dict *status = dictCreate(&clusterManagerLinkDictType, nullptr);
    clusterManagerForEachNode([&](clusterManagerNode *node) {
        list *links = clusterManagerGetDisconnectedLinks(node);
        if (links == nullptr) return;
        clusterManagerForEach<clusterManagerLink>(links, [&](clusterManagerLink *link) {
            dictEntry *de = dictFind(status, link->node_addr);
            list *observers;
            if (de != nullptr) {
                observers = static_cast<list *>(dictGetVal(de));
            } else {
                observers = listCreate();
                listSetFreeMethod(observers, freeSds);
                dictAdd(status, hi_sdsdup(link->node_addr), observers);
            }
            listAddNodeTail(observers, hi_sdscatprintf(hi_sdsempty(), "%s:%u", node->ip,
                                                       static_cast<unsigned>(node->port)));
        });
        listRelease(links);
    });
    return status;
}

void clusterManagerWaitForClusterJoin(void) {
    printf("Waiting for the cluster to join\n");
    int counter = 0;
    int check_after = kJoinCheckAfter + static_cast<int>(listLength(cluster_manager.nodes) * 0.15f);
    while (!clusterManagerIsConfigConsistent(0)) {
        printf(".");
        fflush(stdout);
        sleep(1);
        if (++counter > check_after) {
            dict *status = clusterManagerGetLinkStatus();
            if (status != nullptr && dictSize(status) > 0) reportLinks(status);
            if (status != nullptr) dictRelease(status);
            counter = 0;
        }
    }
    printf("\n");
}

int clusterManagerCommandCreate(int argc, char **argv) {
    cluster_manager.nodes = listCreate();
    for (int i = 0; i < argc; i++)
        if (!addCreateNode(argv[i])) return 0;

    if (!clusterManagerPlanCluster(config.cluster_manager_command.replicas)) return 0;
    clusterManagerShowNodes();
    if (!confirmWithYes("Can I set the above configuration?", 0)) return 1;

    if (!flushAll(true)) return 0;
    clusterManagerLogInfo(">>> Nodes configuration updated\n");
    clusterManagerLogInfo(">>> Assign a different config epoch to each node\n");
    int epoch = 1;
    clusterManagerForEachNode([&](clusterManagerNode *node) {
        void *reply = vornCommand(node->context, "cluster set-config-epoch %d", epoch++);
        if (reply != nullptr) freeReplyObject(reply);
    });
    clusterManagerLogInfo(">>> Sending CLUSTER MEET messages to join the cluster\n");
    if (!meetAll()) return 0;
    // Give the first handshakes a moment before asking for agreement.
    sleep(1);
    clusterManagerWaitForClusterJoin();
    flushAll(false);

    clusterManagerNode *first =
        static_cast<clusterManagerNode *>(listFirst(cluster_manager.nodes)->value);
    clusterManagerReleaseNodesExcept(first);
    if (!clusterManagerLoadInfoFromNode(first)) return 0;
    clusterManagerCheckCluster(0);
    return 1;
}
