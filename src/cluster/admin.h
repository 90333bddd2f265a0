// Membership and settings of a running cluster: add-node, del-node, call and
// set-timeout.
#pragma once

#include "cluster/manager.h"

int clusterManagerCommandAddNode(int argc, char **argv);
int clusterManagerCommandDeleteNode(int argc, char **argv);
int clusterManagerCommandCall(int argc, char **argv);
int clusterManagerCommandSetTimeout(int argc, char **argv);

// Among the loaded nodes not flagged slave, in list order, the one with the
// fewest replicas (the first on ties); null when every node is a replica.
clusterManagerNode *clusterManagerNodeWithLeastReplicas(void);
