#include "cluster/render.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

hisds slotsString(const uint8_t *slots) {
    hisds s = hi_sdsempty();
    int first = -1;
    for (int i = 0; i <= CLUSTER_MANAGER_SLOTS; i++) {
        bool owned = i < CLUSTER_MANAGER_SLOTS && slots[i];
        if (owned && first < 0) {
            first = i;
        } else if (!owned && first >= 0) {
            if (hi_sdslen(s) > 0) s = hi_sdscatlen(s, ",", 1);
            int last = i - 1;
            if (last == first)
                s = hi_sdscatfmt(s, "[%u]", static_cast<unsigned>(first));
            else
                s = hi_sdscatfmt(s, "[%u-%u]", static_cast<unsigned>(first),
                                 static_cast<unsigned>(last));
            first = -1;
        }
    }
    return s;
}

} // namespace

hisds clusterManagerNodeSlotsString(const clusterManagerNode *node) {
    return slotsString(node->slots);
}

hisds clusterManagerNodeFlagString(const clusterManagerNode *node) {
    hisds s = hi_sdsempty();
    bool first = true;
    clusterManagerForEach<char>(node->flags_str, [&](hisds w) {
        if (strcmp(w, "myself") == 0) return;
        if (!first) s = hi_sdscatlen(s, ",", 1);
        s = hi_sdscatsds(s, w);
        first = false;
    });
    return s;
}

hisds clusterManagerNodeInfo(const clusterManagerNode *node, int indent) {
    hisds info = hi_sdsempty();
    hisds spaces = hi_sdsempty();
    for (int i = 0; i < indent; i++)
        spaces = hi_sdscatlen(spaces, " ", 1);
    if (indent) info = hi_sdscatsds(info, spaces);
    const char *id = node->name != nullptr ? node->name : "";
    bool is_slave = (node->flags & CLUSTER_MANAGER_FLAG_SLAVE) != 0;
    if (node->dirty && node->replicate != nullptr) {
        info =
            hi_sdscatprintf(info, "S: %s %s:%u", id, node->ip, static_cast<unsigned>(node->port));
    } else {
        hisds slots = clusterManagerNodeSlotsString(node);
        hisds flags = clusterManagerNodeFlagString(node);
        info =
            hi_sdscatprintf(info, "%s: %s %s:%u\n%s   slots:%s (%u slots) %s", is_slave ? "S" : "M",
                            id, node->ip, static_cast<unsigned>(node->port), spaces, slots,
                            static_cast<unsigned>(node->slots_count), flags);
        hi_sdsfree(slots);
        hi_sdsfree(flags);
    }
    if (node->replicate != nullptr)
        info = hi_sdscatprintf(info, "\n%s   replicates %s", spaces, node->replicate);
    else if (node->replicas_count)
        info =
            hi_sdscatprintf(info, "\n%s   %d additional replica(s)", spaces, node->replicas_count);
    hi_sdsfree(spaces);
    return info;
}

void clusterManagerShowNodes(void) {
    clusterManagerForEachNode([](clusterManagerNode *n) {
        hisds info = clusterManagerNodeInfo(n, 0);
        printf("%s\n", info);
        hi_sdsfree(info);
    });
}

void clusterManagerPrintSlotsList(list *slots) {
    std::vector<uint8_t> table(CLUSTER_MANAGER_SLOTS, 0);
    clusterManagerForEach<char>(slots, [&table](const char *text) {
        int slot = atoi(text);
        if (slot >= 0 && slot < CLUSTER_MANAGER_SLOTS) table[slot] = 1;
    });
    hisds s = slotsString(table.data());
    printf("%s\n", s);
    hi_sdsfree(s);
}
