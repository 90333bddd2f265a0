// DEVHOOK CLUSTER OPEN SLOT MIGRATING|IMPORTING NODE: leaves a slot open on
// the node that received the hook, as an interrupted or confused migration
// would, without the checks of CLUSTER SETSLOT (ownership, keys): a slot
// migrating on a node that does not own it, or on two nodes at once, is what
// the repairs of a cluster manager must recognise. The owner table is left
// alone; CLUSTER SETSLOT SLOT STABLE closes the slot again. Also: the end of
// the pins of UNCOVER / SKEW when a slot is claimed anew.
#include "cluster.h"

namespace dev::cluster {

// A peer of this node's view named by ID or client port; -1 when unknown.
static int peerByName(Instance &in, const std::string &name) {
    int idx = peerIndex(in, lower(name));
    long long port;
    if (idx >= 0 || !toLL(name, port)) return idx;
    for (size_t i = 0; i < in.peers.size(); i++)
        if (!in.peers[i]->removed && in.peers[i]->port == port) return int(i);
    return -1;
}

void clusterOpenSlotHook(Client &c, Args &a) {
    // DEVHOOK CLUSTER OPEN slot how node
    if (a.size() != 6) return c.out.error(kSyntax);
    Instance &in = instance(c.node);
    int slot;
    if (!parseSlot(a[3], slot)) return c.out.error("ERR Invalid or out of range slot");
    bool migrating = ieq(a[4], "migrating");
    if (!migrating && !ieq(a[4], "importing")) return c.out.error(kSyntax);
    int n = peerByName(in, a[5]);
    if (n < 0) return c.out.error("ERR I don't know about node " + a[5]);
    if (n == 0) return c.out.error("ERR a slot cannot be open towards the node itself");
    // A slot is either migrating or importing on one node.
    (migrating ? in.migrating : in.importing)[size_t(slot)] = n;
    (migrating ? in.importing : in.migrating)[size_t(slot)] = -1;
    markChanged(in);
    c.out.ok();
}

void releasePin(int slot) {
    for (auto &node : g_nodes)
        if (node->pinned[size_t(slot)]) {
            node->pinned[size_t(slot)] = false;
            markChanged(*node);
        }
}

} // namespace dev::cluster
