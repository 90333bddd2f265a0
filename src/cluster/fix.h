// Repairs of the problems the cluster check finds; the check calls them when
// the fix flag is set.
#pragma once

#include "cluster/manager.h"

// The fix sub-command: the cluster check with the fix flag set.
int clusterManagerCommandFix(int argc, char **argv);

// Closes an open slot. 1 when closed.
int clusterManagerFixOpenSlot(int slot);
// Gives owners to the slots not marked in covered. The number of slots
// covered, 0 when nothing was done, -1 on failure.
int clusterManagerFixSlotsCoverage(char *covered);
// Leaves one owner for a slot found on several masters. 1 on success.
int clusterManagerFixMultipleSlotOwners(int slot, list *owners);
