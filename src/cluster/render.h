// Textual forms of nodes and slot sets shared by the sub-commands.
#pragma once

#include "cluster/manager.h"

// The owned slots as bracketed runs joined by ",": "[0-5460],[5462]"; empty
// when nothing is owned.
hisds clusterManagerNodeSlotsString(const clusterManagerNode *node);
// The node's flag words joined by ",", without "myself".
hisds clusterManagerNodeFlagString(const clusterManagerNode *node);
// The node's block: role, ID, address, slots, flags and replication, every
// line after the first prefixed by indent spaces (the first opened by them).
hisds clusterManagerNodeInfo(const clusterManagerNode *node, int indent);
// Prints every loaded node's block followed by a newline.
void clusterManagerShowNodes(void);
// Prints the slot numbers of a list of texts as sorted runs, then a newline.
void clusterManagerPrintSlotsList(list *slots);
