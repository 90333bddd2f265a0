// Single-command slot operations on one node, the MULTI/EXEC helpers and the
// owner lookups that the repairs and slot moves compose.
#pragma once

#include "cluster/manager.h"

// "CLUSTER SETSLOT <slot> <status> <node2's ID>" sent to node1. 1, or 0 with
// the error text through *err (logged when err is null).
int clusterManagerSetSlot(clusterManagerNode *node1, clusterManagerNode *node2, int slot,
                          const char *status, hisds *err);
// "CLUSTER SETSLOT <slot> STABLE".
int clusterManagerClearSlotStatus(clusterManagerNode *node, int slot);
// "CLUSTER BUMPEPOCH".
int clusterManagerBumpEpoch(clusterManagerNode *node);
// The node's key count in the slot; -1 when the reply is missing, an error
// or not an integer.
int clusterManagerCountKeysInSlot(clusterManagerNode *node, int slot);
// "CLUSTER ADDSLOTS <slot>".
int clusterManagerAddSlot(clusterManagerNode *node, int slot);
// "CLUSTER ADDSLOTS" with every slot the node owns in its table, in
// ascending order, as one request. 1 on a non-error reply (*err gets the
// error text otherwise).
int clusterManagerAddSlots(clusterManagerNode *node, hisds *err);
// "CLUSTER DELSLOTS <slot>"; an error for a slot that nobody owns counts as
// success.
int clusterManagerDelSlot(clusterManagerNode *node, int slot);

// "MULTI".
int clusterManagerStartTransaction(clusterManagerNode *node);

// Decides whether the error reply of the queued command at index bulk_idx
// can be tolerated (1) or fails the transaction (0).
typedef int clusterManagerOnReplyError(vornReply *reply, clusterManagerNode *n, int bulk_idx);
// "EXEC": 1 when the transaction ran and every error element was tolerated
// by onerror (null tolerates none). An intolerable error is logged.
int clusterManagerExecTransaction(clusterManagerNode *node, clusterManagerOnReplyError *onerror);
// Tolerates every error of the set-owner transaction except that of ADDSLOTS.
int clusterManagerOnSetOwnerErr(vornReply *reply, clusterManagerNode *n, int bulk_idx);
// Makes owner the only owner of slot in one transaction: DELSLOTS, ADDSLOTS,
// SETSLOT STABLE when do_clear, BUMPEPOCH.
int clusterManagerSetSlotOwner(clusterManagerNode *owner, int slot, int do_clear);

// The loaded node that CLUSTER SLOTS of node names as the slot's master, or
// null (an error reply sets *err).
clusterManagerNode *clusterManagerGetSlotOwner(clusterManagerNode *node, int slot, hisds *err);
// The master of l with the most keys in the slot, the earliest on ties; null
// for a list without masters or when a count fails (*err set, logged).
clusterManagerNode *clusterManagerGetNodeWithMostKeysInSlot(list *l, int slot, hisds *err);
// Marks in table every slot some loaded node owns; returns how many slots
// were newly marked.
int clusterManagerGetCoveredSlots(char *table);
