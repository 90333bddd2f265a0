// The repairs are not part of this build yet: the fix sub-command, the only
// caller that sets the fix flag, is not in the command table, so these are
// never reached; they refuse rather than pretend to repair.
#include "cluster/fix.h"

#include "cluster/log.h"

static int notAvailable(void) {
    clusterManagerLogErr("[ERR] Repairs are not available in this build\n");
    return 0;
}

int clusterManagerFixOpenSlot(int) {
    return notAvailable();
}

int clusterManagerFixSlotsCoverage(char *) {
    return notAvailable() - 1;
}

int clusterManagerFixMultipleSlotOwners(int, list *) {
    return notAvailable();
}
