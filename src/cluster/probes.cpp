#include "cluster/probes.h"

#include <cstring>

#include "cluster/log.h"
#include "modes/info_field.h"

vornReply *clusterManagerGetNodeVornInfo(vornContext *ctx, hisds *err) {
    auto *info = static_cast<vornReply *>(vornCommand(ctx, "INFO"));
    if (info == nullptr) return nullptr;
    if (info->type == VORN_REPLY_ERROR) {
        if (err != nullptr) *err = hi_sdsnewlen(info->str, info->len);
        freeReplyObject(info);
        return nullptr;
    }
    return info;
}

int clusterManagerNodeIsCluster(clusterManagerNode *node, hisds *err) {
    vornReply *info = clusterManagerGetNodeVornInfo(node->context, err);
    if (info == nullptr) return 0;
    int64_t enabled = info->str != nullptr ? getLongInfoField(info->str, "cluster_enabled") : 0;
    freeReplyObject(info);
    // INT64_MIN (the field is absent) counts as not enabled.
    return enabled != 0 && enabled != INT64_MIN;
}

int clusterManagerNodeIsEmpty(clusterManagerNode *node, hisds *err) {
    vornReply *info = clusterManagerGetNodeVornInfo(node->context, err);
    if (info == nullptr) return 0;
    bool keys = info->str == nullptr || strstr(info->str, "db0:") != nullptr;
    freeReplyObject(info);
    if (keys) return 0;
    auto *ci = static_cast<vornReply *>(vornCommand(node->context, "CLUSTER INFO"));
    if (ci == nullptr) return 0;
    int empty = 0;
    if (ci->type == VORN_REPLY_ERROR) {
        if (err != nullptr) *err = hi_sdsnewlen(ci->str, ci->len);
    } else if (ci->str != nullptr) {
        empty = getLongInfoField(ci->str, "cluster_known_nodes") == 1;
    }
    freeReplyObject(ci);
    return empty;
}

void clusterManagerPrintNotClusterNodeError(const clusterManagerNode *node, const char *err) {
    const char *msg = err != nullptr ? err : "is not configured as a cluster node.";
    clusterManagerLogErr("[ERR] Node %s:%d %s\n", node->ip, node->port, msg);
}

void clusterManagerPrintNotEmptyNodeError(const clusterManagerNode *node, const char *err) {
    const char *msg = err != nullptr
                          ? err
                          : "is not empty. Either the node already knows other nodes (check with "
                            "CLUSTER NODES) or contains some key in database 0.";
    clusterManagerLogErr("[ERR] Node %s:%d %s\n", node->ip, node->port, msg);
}
