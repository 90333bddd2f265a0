// Questions asked of a single node before it is trusted: is it a cluster
// node, is it empty.
#pragma once

#include "cluster/manager.h"

// Sends INFO. An error reply is freed, its text handed back through *err and
// null returned; otherwise the reply (null on I/O failure, *err untouched).
vornReply *clusterManagerGetNodeVornInfo(vornContext *ctx, hisds *err);

// Whether INFO says cluster_enabled is nonzero.
int clusterManagerNodeIsCluster(clusterManagerNode *node, hisds *err);

// Whether the node holds no key in database 0 and knows no other node.
int clusterManagerNodeIsEmpty(clusterManagerNode *node, hisds *err);

// "[ERR] Node host:port <err or the standard reason>" at level err.
void clusterManagerPrintNotClusterNodeError(const clusterManagerNode *node, const char *err);
void clusterManagerPrintNotEmptyNodeError(const clusterManagerNode *node, const char *err);
