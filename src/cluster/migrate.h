// Moving one hash slot with its keys from a source master to a target
// master of a live cluster: the importing/migrating marks, the key transfer
// in batches of MIGRATE, the recovery from existing keys and unserved slots,
// and the final ownership announcement.
#pragma once

#include "cluster/manager.h"

// Options of clusterManagerMoveSlot (bits of opts).
#define CLUSTER_MANAGER_OPT_COLD (1 << 1)    // no marks before, no announcement after
#define CLUSTER_MANAGER_OPT_UPDATE (1 << 2)  // move the slot in the in-memory tables
#define CLUSTER_MANAGER_OPT_QUIET (1 << 6)   // no "Moving slot" line
#define CLUSTER_MANAGER_OPT_VERBOSE (1 << 7) // one "." per key moved

// Moves the slot from source to target. 1 on success; 0 on failure, with
// the failing reply's error text through *err when err is given (the
// caller frees it; it stays null when there was no error text).
int clusterManagerMoveSlot(clusterManagerNode *source, clusterManagerNode *target, int slot,
                           int opts, hisds *err);

// Moves the slot's keys, pipeline keys per MIGRATE, until the source holds
// none. 1 on success; 0 on failure (error text through *err as above).
int clusterManagerMigrateKeysInSlot(clusterManagerNode *source, clusterManagerNode *target,
                                    int slot, int timeout, int pipeline, int verbose, hisds *err);

// Sends MIGRATE for every key of the GETKEYSINSLOT reply to the source,
// with REPLACE when replace is set and the configured credentials, and
// returns its reply (null when it could not be sent or read). With dots,
// a new text of one "." per key is stored there (the caller frees it).
vornReply *clusterManagerMigrateKeysInReply(clusterManagerNode *source, clusterManagerNode *target,
                                            vornReply *reply, int replace, int timeout,
                                            hisds *dots);

// Compares the value digests of the keys of the GETKEYSINSLOT reply on
// both nodes; keys present on both with different values are appended to
// diffs (as new hisds). 1 when both digests could be read.
int clusterManagerCompareKeysValues(clusterManagerNode *n1, clusterManagerNode *n2,
                                    vornReply *keys_reply, list *diffs);
