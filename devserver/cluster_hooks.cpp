// Cluster test hooks, DEVHOOK CLUSTER ...: unreachable nodes, failed nodes,
// keys in slots a node does not own, uncovered slots and disagreeing views.
// See devserver/README.md.
#include "cluster.h"

namespace dev {

using namespace cluster;

// A node of this process named by its client port or its ID.
static Instance *localByName(const std::string &name) {
    long long port;
    for (auto &n : g_nodes)
        if ((toLL(name, port) && n->port == port) || n->self().id == lower(name)) return n.get();
    return nullptr;
}

// The ID of a node named by port or ID, as any node of this process knows it.
static std::string idByName(const std::string &name) {
    if (Instance *l = localByName(name)) return l->self().id;
    long long port;
    bool by_port = toLL(name, port);
    for (auto &n : g_nodes)
        for (auto &p : n->peers)
            if (!p->removed && ((by_port && p->port == port) || p->id == lower(name))) return p->id;
    return "";
}

static void resumeParked(Instance &in) {
    for (auto &[id, cp] : srv.clients) {
        Client &c = *cp;
        if (c.node != in.index || c.parked.empty() || c.closed) continue;
        auto parked = std::move(c.parked);
        c.parked.clear();
        for (auto &a : parked)
            execCommand(c, a);
    }
}

static void setFail(const std::string &id, bool fail) {
    for (auto &n : g_nodes) {
        Peer *p = findPeer(*n, id);
        if (!p || (p->flags & N_MYSELF)) continue;
        p->fail_pinned = fail;
        if (fail) {
            p->flags |= N_FAIL;
            broadcastFail(*n, *p);
        } else {
            p->flags &= ~(N_FAIL | N_PFAIL);
            p->fail_reports.clear();
        }
        markChanged(*n);
    }
}

void clusterHookCmd(Client &c, Args &a) {
    if (g_nodes.empty()) return c.out.error("ERR This instance has cluster support disabled");
    std::string sub = lower(a[2]);
    size_t n = a.size();
    if (sub == "down" && n == 5) {
        Instance *t = localByName(a[3]);
        if (!t) return c.out.error("ERR no node " + a[3] + " in this process");
        if (t->down != UP) return c.out.error("ERR node is already down");
        if (ieq(a[4], "close")) {
            t->down = CLOSED;
            setPortsOpen(*t, false, &c);
        } else if (ieq(a[4], "hang")) {
            t->down = HUNG;
        } else if (ieq(a[4], "bus")) {
            t->down = BUS_CLOSED;
            setPortsOpen(*t, false, &c, true);
        } else {
            return c.out.error(kSyntax);
        }
        return c.out.ok();
    }
    if (sub == "up" && n == 4) {
        Instance *t = localByName(a[3]);
        if (!t) return c.out.error("ERR no node " + a[3] + " in this process");
        if ((t->down == CLOSED || t->down == BUS_CLOSED) && !setPortsOpen(*t, true, nullptr))
            return c.out.error("ERR cannot listen on the node's ports again");
        bool hung = t->down == HUNG;
        t->down = UP;
        markChanged(*t);
        if (hung) {
            resumeParked(*t);
            activate(c.node);
        }
        return c.out.ok();
    }
    if ((sub == "fail" || sub == "unfail") && n == 4) {
        std::string id = idByName(a[3]);
        if (id.empty()) return c.out.error("ERR unknown node " + a[3]);
        setFail(id, sub == "fail");
        return c.out.ok();
    }
    if (sub == "anyslot" && n == 4) {
        if (!ieq(a[3], "on") && !ieq(a[3], "off")) return c.out.error(kSyntax);
        c.any_slot = ieq(a[3], "on");
        return c.out.ok();
    }
    if (sub == "uncover" && (n == 4 || n == 5)) {
        int first, last;
        if (!parseSlot(a[3], first) || !parseSlot(n == 5 ? a[4] : a[3], last) || last < first)
            return c.out.error("ERR Invalid or out of range slot");
        for (auto &node : g_nodes) {
            for (int s = first; s <= last; s++) {
                node->owner[size_t(s)] = -1;
                node->pinned[size_t(s)] = true;
            }
            markChanged(*node);
        }
        return c.out.ok();
    }
    if (sub == "skew" && n == 5) {
        Instance &in = instance(c.node);
        int slot, owner = -1;
        if (!parseSlot(a[3], slot)) return c.out.error("ERR Invalid or out of range slot");
        if (!ieq(a[4], "none") && (owner = peerIndex(in, lower(a[4]))) < 0)
            return c.out.error("ERR I don't know about node " + a[4]);
        in.owner[size_t(slot)] = owner;
        in.pinned[size_t(slot)] = true;
        markChanged(in);
        return c.out.ok();
    }
    if (sub == "pins" && n == 3) {
        Instance &in = instance(c.node);
        std::vector<int> marks(kSlots, -1);
        for (int s = 0; s < kSlots; s++)
            if (in.pinned[size_t(s)]) marks[size_t(s)] = 0;
        return c.out.bulk(slotRanges(marks, 0, true));
    }
    if (sub == "release" && n == 3) {
        for (auto &node : g_nodes) {
            std::fill(node->pinned.begin(), node->pinned.end(), false);
            markChanged(*node);
        }
        return c.out.ok();
    }
    c.out.error("ERR unknown DEVHOOK CLUSTER subcommand '" + a[2] + "'; see vorn-devserver --help");
}

} // namespace dev
