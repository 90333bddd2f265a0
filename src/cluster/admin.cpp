#include "cluster/admin.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <strings.h>
#include <unistd.h>

#include "cli/config.h"
#include "cli/render.h"
#include "cluster/check.h"
#include "cluster/create.h"
#include "cluster/log.h"
#include "cluster/probes.h"
#include "cluster/topology.h"

namespace {

constexpr int kMinNodeTimeout = 100;

using ReplyPtr = clusterManagerReplyPtr;

// 1 for a reply that is neither missing nor an error. An error reply is
// logged with the node's address; so is a connection that gave no reply,
// which would otherwise fail without a word.
int replyOk(clusterManagerNode *node, const ReplyPtr &reply) {
    if (reply == nullptr) {
        clusterManagerPrintReplyError(node, node->context->errstr[0] ? node->context->errstr
                                                                     : "no reply");
        return 0;
    }
    return clusterManagerCheckVornReply(node, reply.get(), nullptr);
}

// The least-replicated master, never `exclude`: a node about to leave the
// cluster cannot take over its own replicas.
clusterManagerNode *leastReplicasExcept(const clusterManagerNode *exclude) {
    clusterManagerNode *found = nullptr;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (n == exclude || (n->flags & CLUSTER_MANAGER_FLAG_SLAVE)) return;
        if (found == nullptr || n->replicas_count < found->replicas_count) found = n;
    });
    return found;
}

// Connects the instance to be added and makes sure it is an empty cluster
// node. Returns the node, or null after printing why.
clusterManagerNode *connectNewNode(char *ip, int port) {
    clusterManagerNode *node = clusterManagerNewNode(ip, port);
    auto fail = [node]() -> clusterManagerNode * {
        freeClusterManagerNode(node);
        return nullptr;
    };
    if (!clusterManagerNodeConnect(node)) {
        clusterManagerLogErr("[ERR] Sorry, can't connect to node %s:%d\n", ip, port);
        return fail();
    }
    hisds err = nullptr;
    if (!clusterManagerNodeIsCluster(node, &err)) {
        clusterManagerPrintNotClusterNodeError(node, err);
        hi_sdsfree(err);
        return fail();
    }
    err = nullptr;
    if (!clusterManagerNodeLoadInfo(node, 0, &err)) {
        if (err != nullptr) clusterManagerPrintReplyError(node, err);
        hi_sdsfree(err);
        return fail();
    }
    err = nullptr;
    if (!clusterManagerNodeIsEmpty(node, &err)) {
        clusterManagerPrintNotEmptyNodeError(node, err);
        hi_sdsfree(err);
        return fail();
    }
    return node;
}

} // namespace

clusterManagerNode *clusterManagerNodeWithLeastReplicas(void) {
    return leastReplicasExcept(nullptr);
}

int clusterManagerCommandAddNode(int argc, char **argv) {
    (void)argc;
    char *ref_ip = nullptr, *ip = nullptr;
    int ref_port = 0, port = 0;
    if (!getClusterHostFromCmdArgs(1, argv + 1, &ref_ip, &ref_port) ||
        !getClusterHostFromCmdArgs(1, argv, &ip, &port)) {
        clusterManagerPrintInvalidArgs();
        return 0;
    }
    clusterManagerLogInfo(">>> Adding node %s:%d to cluster %s:%d\n", ip, port, ref_ip, ref_port);
    clusterManagerNode *refnode = clusterManagerNewNode(ref_ip, ref_port);
    if (!clusterManagerLoadInfoFromNode(refnode)) return 0;
    if (!clusterManagerCheckCluster(0)) return 0;

    const clusterManagerCommand &cmd = config.cluster_manager_command;
    clusterManagerNode *master = nullptr;
    if (cmd.flags & CLUSTER_MANAGER_CMD_FLAG_SLAVE) {
        if (cmd.master_id != nullptr) {
            master = clusterManagerNodeByName(cmd.master_id);
            if (master == nullptr) {
                clusterManagerLogErr("[ERR] No such master ID %s\n", cmd.master_id);
                return 0;
            }
        } else {
            master = clusterManagerNodeWithLeastReplicas();
            if (master == nullptr) {
                clusterManagerLogErr("[ERR] No master to replicate in the cluster\n");
                return 0;
            }
            printf("Automatically selected master %s:%d\n", master->ip, master->port);
        }
    }

    clusterManagerNode *new_node = connectNewNode(ip, port);
    if (new_node == nullptr) return 0;
    listAddNodeTail(cluster_manager.nodes, new_node);

    clusterManagerLogInfo(">>> Send CLUSTER MEET to node %s:%d to make it join the cluster.\n", ip,
                          port);
    auto *first = static_cast<clusterManagerNode *>(listFirst(cluster_manager.nodes)->value);
    if (!replyOk(new_node,
                 clusterManagerNodeCommand(new_node, "CLUSTER MEET %s %d", first->ip, first->port)))
        return 0;
    if (master != nullptr) {
        // The new node has to know its master before it can follow it.
        sleep(1);
        clusterManagerWaitForClusterJoin();
        clusterManagerLogInfo(">>> Configure node as replica of %s:%d.\n", master->ip,
                              master->port);
        if (!replyOk(new_node,
                     clusterManagerNodeCommand(new_node, "CLUSTER REPLICATE %s", master->name)))
            return 0;
    }
    clusterManagerLogOk("[OK] New node added correctly.\n");
    return 1;
}

int clusterManagerCommandDeleteNode(int argc, char **argv) {
    (void)argc;
    char *ip = nullptr;
    int port = 0;
    if (!getClusterHostFromCmdArgs(1, argv, &ip, &port)) {
        clusterManagerPrintInvalidArgs();
        return 0;
    }
    const char *node_id = argv[1];
    clusterManagerLogInfo(">>> Removing node %s from cluster %s:%d\n", node_id, ip, port);
    if (!clusterManagerLoadInfoFromNode(clusterManagerNewNode(ip, port))) return 0;

    clusterManagerNode *node = clusterManagerNodeByName(node_id);
    if (node == nullptr) {
        clusterManagerLogErr("[ERR] No such node ID %s\n", node_id);
        return 0;
    }
    if (node->slots_count != 0) {
        clusterManagerLogErr("[ERR] Node %s:%d is not empty! Reshard data away and try again.\n",
                             node->ip, node->port);
        return 0;
    }

    clusterManagerLogInfo(">>> Sending CLUSTER FORGET messages to the cluster...\n");
    int ok = 1;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (n == node) return true;
        if (n->replicate != nullptr && strcasecmp(n->replicate, node_id) == 0) {
            // Replica counts stay as loaded: every orphan goes to the
            // master that had the fewest replicas then.
            clusterManagerNode *master = leastReplicasExcept(node);
            if (master == nullptr) {
                clusterManagerLogErr("[ERR] No master left to replicate for %s:%d\n", n->ip,
                                     n->port);
                ok = 0;
                return false;
            }
            clusterManagerLogInfo(">>> %s:%d as replica of %s:%d\n", n->ip, n->port, master->ip,
                                  master->port);
            if (!replyOk(n, clusterManagerNodeCommand(n, "CLUSTER REPLICATE %s", master->name))) {
                ok = 0;
                return false;
            }
        }
        if (!replyOk(n, clusterManagerNodeCommand(n, "CLUSTER FORGET %s", node_id))) {
            ok = 0;
            return false;
        }
        return true;
    });
    if (!ok) return 0;

    clusterManagerLogInfo(">>> Sending CLUSTER RESET SOFT to the deleted node.\n");
    return replyOk(node, clusterManagerNodeCommand(node, "CLUSTER RESET %s", "SOFT"));
}

int clusterManagerCommandCall(int argc, char **argv) {
    if (!clusterManagerLoadInfoFromArgs(1, argv)) return 0;

    int words = argc - 1;
    char **command = argv + 1;
    clusterManagerLogInfo(">>> Calling");
    for (int i = 0; i < words; i++)
        printf(" %s", command[i]);
    printf("\n");

    int flags = config.cluster_manager_command.flags;
    bool only_masters = (flags & CLUSTER_MANAGER_CMD_FLAG_MASTERS_ONLY) != 0;
    bool only_replicas = (flags & CLUSTER_MANAGER_CMD_FLAG_SLAVES_ONLY) != 0;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        bool replica = n->replicate != nullptr;
        if (only_masters && (replica || only_replicas)) return;
        if (!only_masters && only_replicas && !replica) return;
        if (n->context == nullptr && !clusterManagerNodeConnect(n)) return;
        vornReply *reply = clusterManagerCommandArgv(n->context, words,
                                                     const_cast<const char **>(command), nullptr);
        if (reply == nullptr) {
            printf("%s:%d: Failed!\n", n->ip, n->port);
            return;
        }
        hisds formatted = cliFormatReplyRaw(reply);
        printf("%s:%d: %s\n", n->ip, n->port, formatted);
        hi_sdsfree(formatted);
        freeReplyObject(reply);
    });
    return 1;
}

int clusterManagerCommandSetTimeout(int argc, char **argv) {
    (void)argc;
    long parsed = strtol(argv[1], nullptr, 10);
    // A value beyond an int is as large a timeout as the nodes can be told.
    int timeout = parsed > INT_MAX ? INT_MAX : parsed < INT_MIN ? INT_MIN : int(parsed);
    if (timeout < kMinNodeTimeout) {
        fprintf(stderr, "Setting a node timeout of less than %d milliseconds is a bad idea.\n",
                kMinNodeTimeout);
        return 0;
    }
    if (!clusterManagerLoadInfoFromArgs(1, argv)) return 0;

    int ok_count = 0, err_count = 0;
    clusterManagerLogInfo(">>> Reconfiguring node timeout in every cluster node...\n");
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        hisds err = nullptr;
        ReplyPtr reply =
            clusterManagerNodeCommand(n, "CONFIG %s %s %d", "SET", "cluster-node-timeout", timeout);
        bool ok = clusterManagerCheckVornReply(n, reply.get(), &err);
        if (ok) {
            reply = clusterManagerNodeCommand(n, "CONFIG %s", "REWRITE");
            ok = clusterManagerCheckVornReply(n, reply.get(), &err);
        }
        if (ok) {
            clusterManagerLogWarn("*** New timeout set for %s:%d\n", n->ip, n->port);
            ok_count++;
        } else {
            clusterManagerLogErr("ERR setting node-timeot for %s:%d: %s\n", n->ip, n->port,
                                 err != nullptr ? err : "");
            err_count++;
        }
        hi_sdsfree(err);
    });
    clusterManagerLogInfo(">>> New node timeout set. %d OK, %d ERR.\n", ok_count, err_count);
    return 1;
}
