#include "cluster/slot_ops.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cluster/log.h"

namespace {

using ReplyPtr = clusterManagerReplyPtr;

// Sends the command and checks its reply, logging an error reply.
int simpleCommand(clusterManagerNode *node, const ReplyPtr &reply) {
    return clusterManagerCheckVornReply(node, reply.get(), nullptr);
}

bool isMaster(const clusterManagerNode *n) {
    return !(n->flags & CLUSTER_MANAGER_FLAG_SLAVE) && n->replicate == nullptr;
}

} // namespace

int clusterManagerSetSlot(clusterManagerNode *node1, clusterManagerNode *node2, int slot,
                          const char *status, hisds *err) {
    ReplyPtr r =
        clusterManagerNodeCommand(node1, "CLUSTER SETSLOT %d %s %s", slot, status, node2->name);
    if (err != nullptr) *err = nullptr;
    return clusterManagerCheckVornReply(node1, r.get(), err);
}

int clusterManagerClearSlotStatus(clusterManagerNode *node, int slot) {
    return simpleCommand(node,
                         clusterManagerNodeCommand(node, "CLUSTER SETSLOT %d %s", slot, "STABLE"));
}

int clusterManagerBumpEpoch(clusterManagerNode *node) {
    return simpleCommand(node, clusterManagerNodeCommand(node, "CLUSTER BUMPEPOCH"));
}

int clusterManagerCountKeysInSlot(clusterManagerNode *node, int slot) {
    ReplyPtr r = clusterManagerNodeCommand(node, "CLUSTER COUNTKEYSINSLOT %d", slot);
    if (!clusterManagerCheckVornReply(node, r.get(), nullptr)) return -1;
    if (r->type != VORN_REPLY_INTEGER) return -1;
    return static_cast<int>(r->integer);
}

int clusterManagerAddSlot(clusterManagerNode *node, int slot) {
    return simpleCommand(node, clusterManagerNodeCommand(node, "CLUSTER ADDSLOTS %d", slot));
}

int clusterManagerAddSlots(clusterManagerNode *node, hisds *err) {
    std::vector<std::string> words = {"CLUSTER", "ADDSLOTS"};
    for (int s = 0; s < CLUSTER_MANAGER_SLOTS; s++)
        if (node->slots[s]) words.push_back(std::to_string(s));
    if (err != nullptr) *err = nullptr;
    ReplyPtr r(clusterManagerCommandWords(node->context, words));
    if (r == nullptr) return 0;
    if (r->type == VORN_REPLY_ERROR) {
        if (err != nullptr) *err = hi_sdsnewlen(r->str, r->len);
        return 0;
    }
    return 1;
}

int clusterManagerDelSlot(clusterManagerNode *node, int slot) {
    ReplyPtr r = clusterManagerNodeCommand(node, "CLUSTER DELSLOTS %d", slot);
    hisds err = nullptr;
    if (clusterManagerCheckVornReply(node, r.get(), &err)) return 1;
    if (err == nullptr) return 0; // no reply at all
    hisds owner_err = nullptr;
    clusterManagerNode *owner = clusterManagerGetSlotOwner(node, slot, &owner_err);
    if (owner == nullptr && owner_err == nullptr) {
        // The slot was simply not assigned.
        hi_sdsfree(err);
        return 1;
    }
    if (owner_err != nullptr) {
        clusterManagerPrintReplyError(node, owner_err);
        hi_sdsfree(owner_err);
    }
    clusterManagerPrintReplyError(node, err);
    hi_sdsfree(err);
    return 0;
}

int clusterManagerStartTransaction(clusterManagerNode *node) {
    return simpleCommand(node, clusterManagerNodeCommand(node, "MULTI"));
}

int clusterManagerExecTransaction(clusterManagerNode *node, clusterManagerOnReplyError *onerror) {
    ReplyPtr r = clusterManagerNodeCommand(node, "EXEC");
    if (!clusterManagerCheckVornReply(node, r.get(), nullptr)) return 0;
    if (r->type != VORN_REPLY_ARRAY) return 0;
    for (size_t i = 0; i < r->elements; i++) {
        vornReply *e = r->element[i];
        if (e->type != VORN_REPLY_ERROR) continue;
        if (onerror != nullptr && onerror(e, node, static_cast<int>(i))) continue;
        clusterManagerPrintReplyError(node, e->str);
        return 0;
    }
    return 1;
}

int clusterManagerOnSetOwnerErr(vornReply *, clusterManagerNode *, int bulk_idx) {
    // Only the ADDSLOTS result (index 1) decides: the slot may not have been
    // assigned (DELSLOTS) or may already be stable.
    return bulk_idx != 1;
}

int clusterManagerSetSlotOwner(clusterManagerNode *owner, int slot, int do_clear) {
    if (!clusterManagerStartTransaction(owner)) return 0;
    // Inside the transaction each reply only acknowledges the queuing.
    clusterManagerDelSlot(owner, slot);
    clusterManagerAddSlot(owner, slot);
    if (do_clear) clusterManagerClearSlotStatus(owner, slot);
    clusterManagerBumpEpoch(owner);
    return clusterManagerExecTransaction(owner, clusterManagerOnSetOwnerErr);
}

clusterManagerNode *clusterManagerGetSlotOwner(clusterManagerNode *node, int slot, hisds *err) {
    if (slot < 0 || slot >= CLUSTER_MANAGER_SLOTS) return nullptr;
    ReplyPtr r = clusterManagerNodeCommand(node, "CLUSTER SLOTS");
    if (err != nullptr) *err = nullptr;
    if (r == nullptr) return nullptr;
    if (r->type == VORN_REPLY_ERROR) {
        if (err != nullptr) *err = hi_sdsnewlen(r->str, r->len);
        return nullptr;
    }
    if (r->type != VORN_REPLY_ARRAY) return nullptr;
    // Entries of any other shape than [first, last, [host, port, id?], ...]
    // describe nothing we can use and are passed over.
    for (size_t i = 0; i < r->elements; i++) {
        vornReply *e = r->element[i];
        if (e->type != VORN_REPLY_ARRAY || e->elements < 3) continue;
        if (e->element[0]->type != VORN_REPLY_INTEGER || e->element[1]->type != VORN_REPLY_INTEGER)
            continue;
        if (slot < e->element[0]->integer || slot > e->element[1]->integer) continue;
        vornReply *m = e->element[2];
        if (m->type != VORN_REPLY_ARRAY || m->elements < 2 || m->element[0]->str == nullptr)
            continue;
        clusterManagerNode *owner = nullptr;
        if (m->elements >= 3 && m->element[2]->str != nullptr) {
            owner = clusterManagerNodeByName(m->element[2]->str);
        } else {
            long long port = m->element[1]->integer;
            clusterManagerForEachNode([&](clusterManagerNode *n) {
                if (strcmp(n->ip, m->element[0]->str) == 0 && n->port == port) owner = n;
                return owner == nullptr;
            });
        }
        if (owner != nullptr) return owner;
    }
    return nullptr;
}

clusterManagerNode *clusterManagerGetNodeWithMostKeysInSlot(list *l, int slot, hisds *err) {
    clusterManagerNode *node = nullptr;
    long long numkeys = 0;
    bool failed = false;
    if (err != nullptr) *err = nullptr;
    clusterManagerForEach<clusterManagerNode>(l, [&](clusterManagerNode *n) {
        if (!isMaster(n)) return true;
        ReplyPtr r = clusterManagerNodeCommand(n, "CLUSTER COUNTKEYSINSLOT %d", slot);
        int ok = clusterManagerCheckVornReply(n, r.get(), err);
        if (!ok || r->type != VORN_REPLY_INTEGER) {
            if (err != nullptr && *err != nullptr) clusterManagerPrintReplyError(n, *err);
            failed = true;
            return false;
        }
        if (node == nullptr || r->integer > numkeys) {
            numkeys = r->integer;
            node = n;
        }
        return true;
    });
    return failed ? nullptr : node;
}

int clusterManagerGetCoveredSlots(char *table) {
    int covered = 0;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        for (int s = 0; s < CLUSTER_MANAGER_SLOTS; s++) {
            if (n->slots[s] && !table[s]) {
                table[s] = 1;
                covered++;
            }
        }
    });
    return covered;
}
