// Moving many slots between masters of a running cluster: reshard (a number
// of slots from chosen sources to one target) and rebalance (every master
// to its weighted share), both over the slot migration engine.
#pragma once

#include "cluster/manager.h"

// One planned move: source gives slot.
struct clusterManagerReshardTableItem {
    clusterManagerNode *source;
    int slot;
};

int clusterManagerCommandReshard(int argc, char **argv);
int clusterManagerCommandRebalance(int argc, char **argv);

// The master named id, to be used as a source (or target, when target is
// null). Unknown or a replica: message, *raise_err = 1, null. The target
// itself: message, *raise_err untouched, null.
clusterManagerNode *clusterNodeForResharding(const char *id, clusterManagerNode *target,
                                             int *raise_err);

// The first loaded node, in list order, whose ID starts with prefix
// (lower-cased), replicas included; null when none.
clusterManagerNode *clusterManagerNodeByAbbreviatedName(const char *prefix);

// Up to numslots moves taken from the sources in proportion to the slots
// they own, the largest source first and rounded up, the others rounded
// down; each source's slots in ascending order. A list of
// clusterManagerReshardTableItem, released with the function below.
list *clusterManagerComputeReshardTable(list *sources, int numslots);
void clusterManagerReleaseReshardTable(list *table);
// "    Moving slot N from ID" per item.
void clusterManagerShowReshardTable(list *table);

// The rebalance arithmetic over the involved masters (their weight and
// slots_count set): sets every balance, applies the rounding correction
// when some master is off its share by more than threshold percent, and
// returns whether one is.
bool clusterManagerComputeBalances(clusterManagerNode **nodes, int count, float total_weight,
                                   float threshold);
