// The create sub-command: validate empty cluster nodes, plan (see
// create_plan.h), confirm, configure, wait for the nodes to agree, check.
#pragma once

#include <string_view>

#include "cluster/manager.h"

int clusterManagerCommandCreate(int argc, char **argv);

// Sends a dirty node its planned configuration: CLUSTER REPLICATE for a
// replica (left dirty on failure, for a later retry), CLUSTER ADDSLOTS for a
// master. 0 for a node that is not dirty or a failure (the error text
// through *err), else 1.
int clusterManagerFlushNodeConfig(clusterManagerNode *node, hisds *err);

// Waits, printing a dot a second, until every loaded node reports the same
// slot configuration; now and then reports the links nodes see as down.
void clusterManagerWaitForClusterJoin(void);

// A link a node sees as down.
struct clusterManagerLink {
    hisds node_name;
    hisds node_addr;
    int connected;
    int handshaking;
};

// The links a CLUSTER NODES text shows disconnected or in handshake: a list
// of clusterManagerLink, whose free method releases them. The node's own
// line is left out.
list *clusterManagerParseDisconnectedLinks(std::string_view text);
// The same for the node's current view; null when the node does not answer.
list *clusterManagerGetDisconnectedLinks(clusterManagerNode *node);
// Address of each node seen down -> list of "host:port" of the observers.
dict *clusterManagerGetLinkStatus(void);
