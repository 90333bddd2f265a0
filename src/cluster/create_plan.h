// Planning a new cluster: which nodes become masters, the slot ranges, where
// replicas go, and the anti-affinity optimisation that keeps replicas off
// their master's host. Works on the node records of cluster_manager.nodes and
// sends nothing, so it can be run on hand-made topologies.
#pragma once

#include "cluster/manager.h"

// A cursor over a fixed block of node pointers.
struct clusterManagerNodeArray {
    clusterManagerNode **nodes; // current start
    clusterManagerNode **alloc; // start of the block
    int len;                    // entries from nodes to the end of the block
    int count;                  // non-null entries among them
};

void clusterManagerNodeArrayInit(clusterManagerNodeArray *array, int alloc_len);
void clusterManagerNodeArrayRelease(clusterManagerNodeArray *array);
// Stores node at index count.
void clusterManagerNodeArrayAdd(clusterManagerNodeArray *array, clusterManagerNode *node);
// Takes the entry at the start (which may be null) and advances past it.
void clusterManagerNodeArrayShift(clusterManagerNodeArray *array, clusterManagerNode **nodeptr);
// Moves the start back to the block, so the array again holds what was shifted.
void clusterManagerNodeArrayReset(clusterManagerNodeArray *array);

// One array per distinct host text of cluster_manager.nodes, in order of the
// host's first appearance, each with its nodes in list order. *count gets the
// number of hosts; release with clusterManagerReleaseHostGroups.
clusterManagerNodeArray *clusterManagerHostGroups(int *count);
void clusterManagerReleaseHostGroups(clusterManagerNodeArray *groups);

// Penalty of the replica placement: 10000 for every replica on its master's
// host, and L for every L >= 2 replicas of one master sharing a host. With
// offending, *offending gets an array (zfree it) of one replica per
// penalised master and host, and *offending_len its length.
int clusterManagerGetAntiAffinityScore(clusterManagerNodeArray *ipnodes, int ip_count,
                                       clusterManagerNode ***offending, int *offending_len);
// Swaps replicas at random, keeping each swap that does not raise the score,
// and reports the result. Does nothing when the score is already 0.
void clusterManagerOptimizeAntiAffinity(clusterManagerNodeArray *ipnodes, int ip_count);

// Gives masters[0..masters_count) consecutive, nearly equal slot ranges that
// cover every slot, printing one line per master.
void clusterManagerAllocSlots(clusterManagerNode **masters, int masters_count);

// Plans the cluster over cluster_manager.nodes (every node named) with the
// given number of replicas per master: checks the master count, interleaves
// hosts, allocates slots, assigns replicas and optimises anti-affinity,
// marking every planned node dirty. Returns 1, or 0 after printing why the
// nodes cannot form a cluster.
int clusterManagerPlanCluster(int replicas);
