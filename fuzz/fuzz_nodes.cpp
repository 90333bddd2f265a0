// What the cluster manager does with a CLUSTER NODES reply: the entry node's
// full load (own line and friends), the own-line-only load, the
// configuration signature and the disconnected-link scan, over the same
// bytes. A node's reply may say anything; none of it may crash the client
// or write outside a slot table.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cluster/check.h"
#include "cluster/create.h"
#include "cluster/manager.h"
#include "cluster/render.h"
#include "cluster/topology.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// The table and its count must agree whatever the reply said.
void checkNode(const clusterManagerNode *n) {
    int marked = 0;
    for (int s = 0; s < CLUSTER_MANAGER_SLOTS; s++)
        marked += n->slots[s] != 0;
    check(marked == n->slots_count);
    check(n->migrating_count % 2 == 0 && n->importing_count % 2 == 0);
    hisds info = clusterManagerNodeInfo(n, 2);
    check(info != nullptr);
    hi_sdsfree(info);
}

char kHost[] = "127.0.0.1";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);

    clusterManagerNode *node = clusterManagerNewNode(kHost, 7000);
    clusterManagerNodeParseNodes(node, text, CLUSTER_MANAGER_OPT_GETFRIENDS);
    checkNode(node);
    // Friends never get slots from another node's line.
    if (node->friends != nullptr)
        for (listNode *ln = listFirst(node->friends); ln; ln = ln->next)
            check(static_cast<clusterManagerNode *>(ln->value)->slots_count == 0);
    // Loading again (the own line only) replaces what the first load set.
    clusterManagerNodeParseNodes(node, text, 0);
    checkNode(node);
    freeClusterManagerNode(node);

    hisds sig = clusterManagerConfigSignatureOf(text);
    hi_sdsfree(sig);

    list *links = clusterManagerParseDisconnectedLinks(text);
    check(links != nullptr);
    listRelease(links);
    return 0;
}
