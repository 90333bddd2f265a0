#include "cluster/fix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli/config.h"
#include "cluster/check.h"
#include "cluster/log.h"
#include "cluster/migrate.h"
#include "cluster/render.h"
#include "cluster/reply_ptr.h"
#include "cluster/slot_ops.h"

namespace {

bool flaggedSlave(const clusterManagerNode *n) {
    return (n->flags & CLUSTER_MANAGER_FLAG_SLAVE) != 0;
}

// Repairs that reassign slots must not run while some master did not
// answer: its slots would look unowned and be given away.
void refuseWithUnreachableMasters(const char *what) {
    if (config.cluster_manager_command.flags &
        CLUSTER_MANAGER_CMD_FLAG_FIX_WITH_UNREACHABLE_MASTERS)
        return;
    if (cluster_manager.unreachable_masters <= 0) return;
    clusterManagerLogWarn(
        "*** Fixing %s with %d unreachable masters is dangerous: vorn-cli will assume that "
        "slots about masters that are not reachable are not covered, and will try to "
        "reassign them to the reachable nodes. This can cause data loss and is rarely what "
        "you want to do. If you really want to proceed use the "
        "--cluster-fix-with-unreachable-masters option.\n",
        what, cluster_manager.unreachable_masters);
    exit(1);
}

// Whether one of the pairs (slot text, node ID) is for slot; the paired ID
// through *id.
bool pairsHaveSlot(hisds *pairs, int count, int slot, const char **id) {
    for (int i = 0; i + 1 < count; i += 2) {
        if (atoi(pairs[i]) == slot) {
            if (id != nullptr) *id = pairs[i + 1];
            return true;
        }
    }
    return false;
}

void appendAddress(hisds *text, const clusterManagerNode *n) {
    *text = hi_sdscatprintf(*text, "%s%s:%u", hi_sdslen(*text) == 0 ? "" : ",", n->ip,
                            static_cast<unsigned>(n->port));
}

clusterManagerNode *firstOf(list *l) {
    return static_cast<clusterManagerNode *>(listFirst(l)->value);
}

// The three lists and two texts of one open-slot repair, released together.
struct OpenSlotState {
    list *owners = listCreate();
    list *migrating = listCreate();
    list *importing = listCreate();
    hisds migrating_str = hi_sdsempty();
    hisds importing_str = hi_sdsempty();
    ~OpenSlotState() {
        listRelease(owners);
        listRelease(migrating);
        listRelease(importing);
        hi_sdsfree(migrating_str);
        hi_sdsfree(importing_str);
    }
};

// Steps 2 to 5: who owns the slot and where it is open. False when a key
// count could not be read.
bool collectOpenSlotNodes(int slot, OpenSlotState &st, clusterManagerNode **owner) {
    bool ok = true;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (flaggedSlave(n)) return true;
        if (n->slots[slot]) {
            listAddNodeTail(st.owners, n);
            return true;
        }
        int count = clusterManagerCountKeysInSlot(n, slot);
        if (count < 0) return ok = false;
        if (count > 0) {
            clusterManagerLogWarn("*** Found keys about slot %d in non-owner node %s:%d!\n", slot,
                                  n->ip, n->port);
            listAddNodeTail(st.owners, n);
        }
        return true;
    });
    if (!ok) return false;
    *owner = listLength(st.owners) == 1 ? firstOf(st.owners) : nullptr;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (flaggedSlave(n)) return true;
        if (pairsHaveSlot(n->migrating, n->migrating_count, slot, nullptr)) {
            listAddNodeTail(st.migrating, n);
            appendAddress(&st.migrating_str, n);
        } else if (pairsHaveSlot(n->importing, n->importing_count, slot, nullptr)) {
            listAddNodeTail(st.importing, n);
            appendAddress(&st.importing_str, n);
        } else if (n != *owner) {
            int count = clusterManagerCountKeysInSlot(n, slot);
            if (count < 0) return ok = false;
            if (count > 0) {
                clusterManagerLogWarn("*** Found keys about slot %d in node %s:%d!\n", slot, n->ip,
                                      n->port);
                listAddNodeTail(st.importing, n);
                appendAddress(&st.importing_str, n);
            }
        }
        return true;
    });
    if (!ok) return false;
    if (hi_sdslen(st.migrating_str) > 0) printf("Set as migrating in: %s\n", st.migrating_str);
    if (hi_sdslen(st.importing_str) > 0) printf("Set as importing in: %s\n", st.importing_str);
    return true;
}

// Step 6: an owner chosen by key count and configured as the only one.
clusterManagerNode *electOwner(int slot, OpenSlotState &st) {
    clusterManagerLogInfo(
        ">>> No single clear owner for the slot, selecting an owner by # of keys...\n");
    clusterManagerNode *owner =
        clusterManagerGetNodeWithMostKeysInSlot(cluster_manager.nodes, slot, nullptr);
    if (owner == nullptr) {
        clusterManagerLogErr("[ERR] Can't select a slot owner. Impossible to fix.\n");
        return nullptr;
    }
    clusterManagerLogWarn("*** Configuring %s:%d as the slot owner\n", owner->ip, owner->port);
    if (!clusterManagerClearSlotStatus(owner, slot)) return nullptr;
    if (!clusterManagerSetSlotOwner(owner, slot, 0)) return nullptr;
    owner->slots[slot] = 1;
    if (!clusterManagerBumpEpoch(owner)) return nullptr;
    clusterManagerRemoveNodeFromList(st.migrating, owner);
    clusterManagerRemoveNodeFromList(st.importing, owner);
    return owner;
}

// Step 7: every other owner gives the slot up and imports it from owner,
// so that its keys move there.
bool demoteOtherOwners(int slot, OpenSlotState &st, clusterManagerNode *owner) {
    bool ok = true;
    clusterManagerForEach<clusterManagerNode>(st.owners, [&](clusterManagerNode *n) {
        if (n == owner) return true;
        if (!clusterManagerDelSlot(n, slot)) return ok = false;
        n->slots[slot] = 0;
        if (!clusterManagerSetSlot(n, owner, slot, "node", nullptr)) return ok = false;
        if (!clusterManagerSetSlot(n, owner, slot, "importing", nullptr)) return ok = false;
        clusterManagerRemoveNodeFromList(st.importing, n);
        listAddNodeTail(st.importing, n);
        clusterManagerRemoveNodeFromList(st.migrating, n);
        return true;
    });
    return ok;
}

int caseMoveToOwner(int slot, OpenSlotState &st, clusterManagerNode *owner) {
    clusterManagerLogInfo(">>> Case 2: Moving all the %d slot keys to its owner %s:%d\n", slot,
                          owner->ip, owner->port);
    bool ok = true;
    clusterManagerForEach<clusterManagerNode>(st.importing, [&](clusterManagerNode *n) {
        if (n == owner) return true;
        if (!clusterManagerMoveSlot(
                n, owner, slot, CLUSTER_MANAGER_OPT_COLD | CLUSTER_MANAGER_OPT_VERBOSE, nullptr))
            return ok = false;
        clusterManagerLogInfo(">>> Setting %d as STABLE in %s:%d\n", slot, n->ip, n->port);
        return ok = clusterManagerClearSlotStatus(n, slot) != 0;
    });
    if (!ok) return 0;
    // The keys moved cold: tell every master who owns the slot now.
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (n == owner || flaggedSlave(n)) return true;
        return ok = clusterManagerSetSlot(n, owner, slot, "NODE", nullptr) != 0;
    });
    return ok ? 1 : 0;
}

void reportUnfixable(int slot, const OpenSlotState &st, const clusterManagerNode *owner) {
    clusterManagerLogErr("[ERR] Sorry, vorn-cli can't fix this slot yet (work in progress). "
                         "Slot is set as migrating in %s, as importing in %s, owner is %s:%d\n",
                         st.migrating_str, st.importing_str, owner->ip, owner->port);
    (void)slot;
}

// Case 3: one migrating node and several importing ones. -1 when unfixable.
int caseManyImporting(int slot, OpenSlotState &st) {
    clusterManagerNode *src = firstOf(st.migrating);
    const char *dest_id = nullptr;
    pairsHaveSlot(src->migrating, src->migrating_count, slot, &dest_id);
    clusterManagerNode *dst = nullptr;
    bool fixable = true;
    clusterManagerForEach<clusterManagerNode>(st.importing, [&](clusterManagerNode *n) {
        if (clusterManagerCountKeysInSlot(n, slot) > 0) return fixable = false;
        if (dest_id != nullptr && strcmp(n->name, dest_id) == 0) dst = n;
        return true;
    });
    if (!fixable) return -1;
    bool ok = true;
    if (dst != nullptr) {
        clusterManagerLogInfo(">>> Case 3: Moving slot %d from %s:%d to %s:%d and closing it on "
                              "all the other importing nodes.\n",
                              slot, src->ip, src->port, dst->ip, dst->port);
        if (!clusterManagerMoveSlot(src, dst, slot, CLUSTER_MANAGER_OPT_VERBOSE, nullptr)) return 0;
    } else {
        clusterManagerLogInfo(
            ">>> Case 3: Closing slot %d on both migrating and importing nodes.\n", slot);
        if (!clusterManagerClearSlotStatus(src, slot)) return 0;
    }
    clusterManagerForEach<clusterManagerNode>(st.importing, [&](clusterManagerNode *n) {
        if (n == dst) return true;
        return ok = clusterManagerClearSlotStatus(n, slot) != 0;
    });
    return ok ? 1 : 0;
}

// Case 4: one migrating node and no importing one. -1 when unfixable.
int caseOnlyMigrating(int slot, OpenSlotState &st, clusterManagerNode *owner) {
    clusterManagerNode *n = firstOf(st.migrating);
    if (n != owner) {
        clusterManagerReplyPtr r(static_cast<vornReply *>(
            vornCommand(n->context, "CLUSTER GETKEYSINSLOT %d %d", slot, 10)));
        if (!clusterManagerCheckVornReply(n, r.get(), nullptr)) return 0;
        if (r->type != VORN_REPLY_ARRAY || r->elements > 0) return -1;
        owner = n;
    }
    clusterManagerLogInfo(">>> Case 4: Closing slot %d on %s:%d\n", slot, owner->ip, owner->port);
    clusterManagerReplyPtr r(static_cast<vornReply *>(
        vornCommand(owner->context, "CLUSTER SETSLOT %d %s", slot, "STABLE")));
    return clusterManagerCheckVornReply(owner, r.get(), nullptr);
}

// Coverage repair, one group of uncovered slots.
enum class CoverGroup { NoKeys, OneNode, ManyNodes };

clusterManagerNode *randomMaster() {
    std::vector<clusterManagerNode *> masters;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (!flaggedSlave(n)) masters.push_back(n);
    });
    if (masters.empty()) return nullptr;
    srand(static_cast<unsigned>(time(nullptr)));
    return masters[static_cast<size_t>(rand()) % masters.size()];
}

// Covers one slot of a group. False on failure.
bool coverSlot(hisds slot_text, CoverGroup group) {
    int slot = atoi(slot_text);
    dictEntry *de = dictFind(clusterManagerUncoveredSlots, slot_text);
    list *holders = static_cast<list *>(dictGetVal(de));
    if (group != CoverGroup::ManyNodes) {
        clusterManagerNode *n = group == CoverGroup::NoKeys ? randomMaster() : firstOf(holders);
        if (n == nullptr) {
            clusterManagerLogErr("[ERR] No master to cover slot %s with\n", slot_text);
            return false;
        }
        clusterManagerLogInfo(">>> Covering slot %s with %s:%d\n", slot_text, n->ip, n->port);
        if (!clusterManagerSetSlotOwner(n, slot, 0)) return false;
        n->slots[slot] = 1;
        return true;
    }
    clusterManagerNode *target = clusterManagerGetNodeWithMostKeysInSlot(holders, slot, nullptr);
    if (target == nullptr) return false;
    clusterManagerLogInfo(">>> Covering slot %s moving keys to %s:%d\n", slot_text, target->ip,
                          target->port);
    if (!clusterManagerSetSlotOwner(target, slot, 1)) return false;
    target->slots[slot] = 1;
    bool ok = true;
    clusterManagerForEach<clusterManagerNode>(holders, [&](clusterManagerNode *n) {
        if (n == target) return true;
        ok = clusterManagerSetSlot(n, target, slot, "NODE", nullptr) &&
             clusterManagerSetSlot(n, target, slot, "IMPORTING", nullptr) &&
             clusterManagerMoveSlot(n, target, slot,
                                    CLUSTER_MANAGER_OPT_COLD | CLUSTER_MANAGER_OPT_VERBOSE,
                                    nullptr) &&
             clusterManagerClearSlotStatus(n, slot);
        return ok;
    });
    return ok;
}

// The masters that hold keys of slot, for the uncovered-slot table; null
// after logging when a node could not say.
list *holdersOf(int slot) {
    list *holders = listCreate();
    bool ok = true;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (flaggedSlave(n) || n->replicate != nullptr) return true;
        clusterManagerReplyPtr r(static_cast<vornReply *>(
            vornCommand(n->context, "CLUSTER GETKEYSINSLOT %d %d", slot, 1)));
        if (!clusterManagerCheckVornReply(n, r.get(), nullptr)) return ok = false;
        if (r->type == VORN_REPLY_ARRAY && r->elements > 0) listAddNodeTail(holders, n);
        return true;
    });
    if (ok) return holders;
    listRelease(holders);
    return nullptr;
}

} // namespace

int clusterManagerCommandFix(int argc, char **argv) {
    config.cluster_manager_command.flags |= CLUSTER_MANAGER_CMD_FLAG_FIX;
    return clusterManagerCommandCheck(argc, argv);
}

int clusterManagerFixOpenSlot(int slot) {
    refuseWithUnreachableMasters("open slots");
    clusterManagerLogInfo(">>> Fixing open slot %d\n", slot);
    OpenSlotState st;
    clusterManagerNode *owner = nullptr;
    if (!collectOpenSlotNodes(slot, st, &owner)) return 0;
    if (owner == nullptr && (owner = electOwner(slot, st)) == nullptr) return 0;
    if (listLength(st.owners) > 1 && !demoteOtherOwners(slot, st, owner)) return 0;

    size_t m = listLength(st.migrating), i = listLength(st.importing);
    int result = -1;
    if (m == 1 && i == 1) {
        clusterManagerNode *src = firstOf(st.migrating), *dst = firstOf(st.importing);
        clusterManagerLogInfo(">>> Case 1: Moving slot %d from %s:%d to %s:%d\n", slot, src->ip,
                              src->port, dst->ip, dst->port);
        result = clusterManagerMoveSlot(
            src, dst, slot, CLUSTER_MANAGER_OPT_UPDATE | CLUSTER_MANAGER_OPT_VERBOSE, nullptr);
    } else if (m == 0 && i > 0) {
        result = caseMoveToOwner(slot, st, owner);
    } else if (m == 1 && i > 1) {
        result = caseManyImporting(slot, st);
    } else if (m == 1 && i == 0) {
        result = caseOnlyMigrating(slot, st, owner);
    }
    if (result < 0) {
        reportUnfixable(slot, st, owner);
        return 0;
    }
    return result;
}

int clusterManagerFixSlotsCoverage(char *covered) {
    if (clusterManagerUncoveredSlots == nullptr)
        clusterManagerUncoveredSlots = dictCreate(&clusterManagerLinkDictType, nullptr);
    refuseWithUnreachableMasters("slots coverage");
    clusterManagerLogInfo(">>> Fixing slots coverage...\n");
    for (int slot = 0; slot < CLUSTER_MANAGER_SLOTS; slot++) {
        if (covered[slot]) continue;
        list *holders = holdersOf(slot);
        if (holders == nullptr) return -1;
        dictAdd(clusterManagerUncoveredSlots, hi_sdsfromlonglong(slot), holders);
    }

    // The dictionary's own order decides the order of each group.
    list *groups[3] = {listCreate(), listCreate(), listCreate()};
    dictIterator *it = dictGetIterator(clusterManagerUncoveredSlots);
    dictEntry *de;
    while ((de = dictNext(it)) != nullptr) {
        auto *holders = static_cast<list *>(dictGetVal(de));
        size_t len = listLength(holders);
        listAddNodeTail(groups[len == 0 ? 0 : len == 1 ? 1 : 2], dictGetKey(de));
    }
    dictReleaseIterator(it);

    struct GroupText {
        CoverGroup group;
        const char *title;
        const char *question;
    };
    const GroupText texts[3] = {
        {CoverGroup::NoKeys, "The following uncovered slots have no keys across the cluster:\n",
         "Fix these slots by covering with a random node?"},
        {CoverGroup::OneNode, "The following uncovered slots have keys in just one node:\n",
         "Fix these slots by covering with those nodes?"},
        {CoverGroup::ManyNodes, "The following uncovered slots have keys in multiple nodes:\n",
         "Fix these slots by moving keys into a single node?"},
    };
    int fixed = 0;
    for (int g = 0; g < 3 && fixed >= 0; g++) {
        if (listLength(groups[g]) == 0) continue;
        printf("%s", texts[g].title);
        clusterManagerPrintSlotsList(groups[g]);
        // Always asked: --cluster-yes does not give slots away.
        if (!confirmWithYes(texts[g].question, 1)) continue;
        clusterManagerForEach<char>(groups[g], [&](char *slot_text) {
            if (!coverSlot(slot_text, texts[g].group)) {
                fixed = -1;
                return false;
            }
            fixed++;
            return true;
        });
    }
    for (list *l : groups)
        listRelease(l);
    return fixed;
}

int clusterManagerFixMultipleSlotOwners(int slot, list *owners) {
    clusterManagerLogInfo(">>> Fixing multiple owners for slot %d...\n", slot);
    clusterManagerNode *owner = clusterManagerGetNodeWithMostKeysInSlot(owners, slot, nullptr);
    if (owner == nullptr) owner = firstOf(owners);
    clusterManagerLogInfo(">>> Setting slot %d owner: %s:%d\n", slot, owner->ip, owner->port);
    if (!clusterManagerSetSlotOwner(owner, slot, 0)) return 0;
    owner->slots[slot] = 1;
    bool ok = true;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (n == owner || flaggedSlave(n)) return true;
        int count = clusterManagerCountKeysInSlot(n, slot);
        if (count < 0) return ok = false;
        clusterManagerDelSlot(n, slot);
        n->slots[slot] = 0;
        if (!clusterManagerSetSlot(n, owner, slot, "node", nullptr)) return ok = false;
        if (count > 0 &&
            !clusterManagerMoveSlot(
                n, owner, slot, CLUSTER_MANAGER_OPT_COLD | CLUSTER_MANAGER_OPT_VERBOSE, nullptr))
            return ok = false;
        return true;
    });
    return ok ? 1 : 0;
}
