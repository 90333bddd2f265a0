#include "cluster/check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/config.h"
#include "cluster/fix.h"
#include "cluster/log.h"
#include "cluster/render.h"
#include "cluster/slot_ops.h"
#include "cluster/topology.h"

namespace {

bool flaggedSlave(const clusterManagerNode *n) {
    return (n->flags & CLUSTER_MANAGER_FLAG_SLAVE) != 0;
}

// A node whose reply had no line of its own has no ID to show.
const char *nameOf(const clusterManagerNode *n) {
    return n->name != nullptr ? n->name : "";
}

clusterManagerNode *firstNode() {
    if (cluster_manager.nodes == nullptr || listLength(cluster_manager.nodes) == 0) return nullptr;
    return static_cast<clusterManagerNode *>(listFirst(cluster_manager.nodes)->value);
}

// "[WARNING] Node host:port has slots in <state> state 1,2." recorded as an
// error, and every slot added to open (slot text -> other node's ID).
void reportOpenSlots(clusterManagerNode *n, hisds *pairs, int count, const char *state,
                     dict *open) {
    if (count == 0) return;
    hisds text = hi_sdscatprintf(hi_sdsempty(), "[WARNING] Node %s:%d has slots in %s state ",
                                 n->ip, n->port, state);
    for (int i = 0; i < count; i += 2) {
        if (i > 0) text = hi_sdscatlen(text, ",", 1);
        text = hi_sdscatsds(text, pairs[i]);
        if (dictFind(open, pairs[i]) == nullptr) dictAdd(open, pairs[i], hi_sdsdup(pairs[i + 1]));
    }
    text = hi_sdscatlen(text, ".", 1);
    clusterManagerOnError(text);
}

// Masters that own the slot or, not owning it, hold keys of it.
list *slotOwners(int slot) {
    list *owners = listCreate();
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (flaggedSlave(n)) return;
        if (n->slots[slot] || clusterManagerCountKeysInSlot(n, slot) > 0)
            listAddNodeTail(owners, n);
    });
    return owners;
}

} // namespace

hisds clusterManagerConfigSignatureOf(std::string_view nodes_text) {
    std::vector<std::string> nodes;
    clusterManagerForEachNodeLine(nodes_text, [&](std::string_view line) {
        clusterManagerNodeLine l = clusterManagerSplitNodeLine(line);
        if (!l.has_slots || l.slots.empty()) return true;
        std::vector<std::string_view> entries;
        clusterManagerForEachWord(l.slots, ' ', [&entries](std::string_view e) {
            if (!e.empty() && e[0] != '[') entries.push_back(e);
        });
        if (entries.empty()) return true;
        std::sort(entries.begin(), entries.end());
        std::string text(l.field[CLUSTER_NODE_FIELD_ID]);
        text += ':';
        for (size_t i = 0; i < entries.size(); i++) {
            if (i > 0) text += ',';
            text += entries[i];
        }
        nodes.push_back(std::move(text));
        return true;
    });
    if (nodes.empty()) return nullptr;
    std::sort(nodes.begin(), nodes.end());
    hisds sig = hi_sdsempty();
    for (size_t i = 0; i < nodes.size(); i++) {
        if (i > 0) sig = hi_sdscatlen(sig, "|", 1);
        sig = hi_sdscatlen(sig, nodes[i].data(), nodes[i].size());
    }
    return sig;
}

hisds clusterManagerGetConfigSignature(clusterManagerNode *node) {
    auto *reply = static_cast<vornReply *>(vornCommand(node->context, "CLUSTER NODES"));
    if (reply == nullptr) return nullptr;
    hisds sig = nullptr;
    if (reply->type != VORN_REPLY_ERROR && reply->str != nullptr)
        sig = clusterManagerConfigSignatureOf(std::string_view(reply->str, reply->len));
    freeReplyObject(reply);
    return sig;
}

int clusterManagerIsConfigConsistent(int log) {
    if (cluster_manager.nodes == nullptr) return 0;
    if (listLength(cluster_manager.nodes) <= 1) return 1;
    hisds first_sig = nullptr;
    clusterManagerNode *first = nullptr;
    int consistent = 1;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        hisds sig = clusterManagerGetConfigSignature(n);
        if (sig == nullptr) {
            consistent = 0;
            return false;
        }
        if (first_sig == nullptr) {
            first_sig = sig;
            first = n;
            return true;
        }
        bool same = hi_sdscmp(sig, first_sig) == 0;
        hi_sdsfree(sig);
        if (!same) {
            if (log)
                clusterManagerLogInfo("\tNode %s (%s:%d) is inconsistent with %s\n", nameOf(n),
                                      n->ip, n->port, nameOf(first));
            consistent = 0;
        }
        return same;
    });
    hi_sdsfree(first_sig);
    return consistent;
}

void clusterManagerShowClusterInfo(void) {
    int masters = 0;
    long long keys = 0;
    bool stopped = false;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (stopped || flaggedSlave(n) || n->name == nullptr) return;
        int replicas = 0;
        clusterManagerForEachNode([&](clusterManagerNode *r) {
            if (r != n && flaggedSlave(r) && r->replicate != nullptr &&
                hi_sdscmp(r->replicate, n->name) == 0)
                replicas++;
        });
        auto *reply = static_cast<vornReply *>(vornCommand(n->context, "DBSIZE"));
        if (reply == nullptr || reply->type != VORN_REPLY_INTEGER || reply->integer < 0) {
            const char *err = reply != nullptr && reply->type == VORN_REPLY_ERROR ? reply->str : "";
            clusterManagerPrintReplyError(n, err);
            if (reply != nullptr) freeReplyObject(reply);
            stopped = true;
            return;
        }
        long long dbsize = reply->integer;
        freeReplyObject(reply);
        printf("%s:%d (%.8s...) -> %lld keys | %d slots | %d slaves.\n", n->ip, n->port, n->name,
               dbsize, n->slots_count, replicas);
        masters++;
        keys += dbsize;
    });
    if (stopped) return;
    clusterManagerLogOk("[OK] %lld keys in %d masters.\n", keys, masters);
    float keys_per_slot = static_cast<float>(keys) / static_cast<float>(CLUSTER_MANAGER_SLOTS);
    printf("%.2f keys per slot on average.\n", keys_per_slot);
}

int clusterManagerCheckCluster(int quiet) {
    clusterManagerNode *entry = firstNode();
    if (entry == nullptr) return 0;
    clusterManagerLogInfo(">>> Performing Cluster Check (using node %s:%d)\n", entry->ip,
                          entry->port);
    bool do_fix = (config.cluster_manager_command.flags & CLUSTER_MANAGER_CMD_FLAG_FIX) != 0;
    if (!quiet) clusterManagerShowNodes();

    int result = clusterManagerIsConfigConsistent(1);
    if (result)
        clusterManagerLogOk("[OK] All nodes agree about slots configuration.\n");
    else
        clusterManagerOnError(hi_sdsnew("[ERR] Nodes don't agree about configuration!"));

    clusterManagerLogInfo(">>> Check for open slots...\n");
    dict *open = dictCreate(&clusterManagerDictType, nullptr);
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        reportOpenSlots(n, n->migrating, n->migrating_count, "migrating", open);
        reportOpenSlots(n, n->importing, n->importing_count, "importing", open);
    });
    if (dictSize(open) > 0) {
        // The repairs may change the nodes the slot texts belong to: take
        // the slots out, in the table's order, before repairing any.
        std::vector<int> slots;
        hisds list_text = hi_sdsempty();
        dictIterator *it = dictGetIterator(open);
        dictEntry *de;
        while ((de = dictNext(it)) != nullptr) {
            hisds slot = static_cast<hisds>(dictGetKey(de));
            if (!slots.empty()) list_text = hi_sdscatlen(list_text, ",", 1);
            list_text = hi_sdscatsds(list_text, slot);
            slots.push_back(atoi(slot));
        }
        dictReleaseIterator(it);
        clusterManagerLogErr("[WARNING] The following slots are open: %s.\n", list_text);
        hi_sdsfree(list_text);
        result = 0;
        dictRelease(open);
        open = nullptr;
        if (do_fix) {
            for (int slot : slots) {
                result = clusterManagerFixOpenSlot(slot);
                if (!result) break;
            }
        }
    }
    if (open != nullptr) dictRelease(open);

    clusterManagerLogInfo(">>> Check slots coverage...\n");
    std::vector<char> covered(CLUSTER_MANAGER_SLOTS, 0);
    int coverage = clusterManagerGetCoveredSlots(covered.data());
    if (coverage == CLUSTER_MANAGER_SLOTS) {
        clusterManagerLogOk("[OK] All %d slots covered.\n", CLUSTER_MANAGER_SLOTS);
    } else {
        clusterManagerOnError(hi_sdscatprintf(hi_sdsempty(),
                                              "[ERR] Not all %d slots are covered by nodes.\n",
                                              CLUSTER_MANAGER_SLOTS));
        result = 0;
        if (do_fix) result = clusterManagerFixSlotsCoverage(covered.data()) > 0;
    }

    if (config.cluster_manager_command.flags & CLUSTER_MANAGER_CMD_FLAG_CHECK_OWNERS) {
        clusterManagerLogInfo(">>> Check for multiple slot owners...\n");
        int problems = 0;
        for (int slot = 0; slot < CLUSTER_MANAGER_SLOTS; slot++) {
            list *owners = slotOwners(slot);
            if (listLength(owners) > 1) {
                clusterManagerLogErr("[WARNING] Slot %d has %d owners:\n", slot,
                                     static_cast<int>(listLength(owners)));
                clusterManagerForEach<clusterManagerNode>(owners, [](clusterManagerNode *n) {
                    clusterManagerLogErr("    %s:%d\n", n->ip, n->port);
                });
                if (do_fix) {
                    if (!clusterManagerFixMultipleSlotOwners(slot, owners)) {
                        clusterManagerLogErr("Failed to fix multiple owners for slot %d\n", slot);
                        listRelease(owners);
                        return 0;
                    }
                    result = 1;
                } else {
                    problems++;
                    result = 0;
                }
            }
            listRelease(owners);
        }
        if (problems == 0) clusterManagerLogOk("[OK] No multiple owners found.\n");
    }
    return result;
}

int clusterManagerCommandInfo(int argc, char **argv) {
    if (!clusterManagerLoadInfoFromArgs(argc, argv)) return 0;
    clusterManagerShowClusterInfo();
    return 1;
}

int clusterManagerCommandCheck(int argc, char **argv) {
    if (!clusterManagerLoadInfoFromArgs(argc, argv)) return 0;
    clusterManagerShowClusterInfo();
    return clusterManagerCheckCluster(0);
}
