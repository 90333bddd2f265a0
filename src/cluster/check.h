// The info and check sub-commands and the cluster check every sub-command
// that changes a cluster runs afterwards.
#pragma once

#include <string_view>

#include "cluster/manager.h"

int clusterManagerCommandInfo(int argc, char **argv);
int clusterManagerCommandCheck(int argc, char **argv);

// Inspects the loaded topology: agreement on slots, open slots, coverage
// and, with --cluster-search-multiple-owners, slots on several masters;
// repairs what it finds when the fix flag is set. Every problem is recorded
// in cluster_manager.errors or logged. quiet leaves out the node listing.
// Returns 1 when the cluster passed (or was repaired), 0 otherwise.
int clusterManagerCheckCluster(int quiet);

// The slot configuration a CLUSTER NODES text describes, in a form that is
// equal for equal configurations: "id:range,range|id:..." with the ranges of
// each node and the nodes sorted byte-wise; open slots and nodes without
// slots left out. Null when no node owns a slot.
hisds clusterManagerConfigSignatureOf(std::string_view nodes_text);
// The signature of the node's current view; null when it cannot say.
hisds clusterManagerGetConfigSignature(clusterManagerNode *node);
// 1 when every loaded node reports the same signature. With log, the first
// node that differs is named.
int clusterManagerIsConfigConsistent(int log);

// Per-master key and slot counts and the totals.
void clusterManagerShowClusterInfo(void);
