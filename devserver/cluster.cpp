// Cluster mode: the nodes this process hosts, switching srv between them,
// key redirections (MOVED / ASK), and the CLUSTER command.
#include "cluster.h"

#include <algorithm>
#include <arpa/inet.h>
#include <random>
#include <unistd.h>

namespace dev {

using namespace cluster;

namespace cluster {

std::vector<std::unique_ptr<Instance>> g_nodes;
static int g_current = 0; // whose context srv holds

Instance &instance(int node) {
    return *g_nodes[size_t(node)];
}

int peerIndex(Instance &in, std::string_view id) {
    for (size_t i = 0; i < in.peers.size(); i++)
        if (!in.peers[i]->removed && in.peers[i]->id == id) return int(i);
    return -1;
}

Peer *findPeer(Instance &in, std::string_view id) {
    int i = peerIndex(in, id);
    return i < 0 ? nullptr : in.peers[size_t(i)].get();
}

Peer &addPeer(Instance &in, const std::string &id, const std::string &ip, int port, int bus_port,
              unsigned flags) {
    auto p = std::make_unique<Peer>();
    p->id = id;
    p->ip = ip;
    p->port = port;
    p->bus_port = bus_port;
    p->flags = flags;
    p->ctime = nowMs();
    in.peers.push_back(std::move(p));
    markChanged(in);
    return *in.peers.back();
}

std::string randomId() {
    static std::mt19937_64 rng(std::random_device{}() ^ uint64_t(nowUs()) ^ uint64_t(getpid()));
    static const char hex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 40; i++)
        id += hex[rng() & 15];
    return id;
}

long long nodeTimeout(Instance &in) {
    auto &cfg = in.index == g_current ? srv.config : in.ctx.config;
    long long t;
    if (!toLL(cfg["cluster-node-timeout"], t) || t < 1) t = 15000;
    return t;
}

void removePeer(Instance &in, int idx) {
    Peer &p = *in.peers[size_t(idx)];
    closeLinks(in, p);
    for (int s = 0; s < kSlots; s++) {
        if (in.owner[size_t(s)] == idx) in.owner[size_t(s)] = -1;
        if (in.importing[size_t(s)] == idx) in.importing[size_t(s)] = -1;
        if (in.migrating[size_t(s)] == idx) in.migrating[size_t(s)] = -1;
    }
    for (auto &q : in.peers)
        q->fail_reports.erase(p.id);
    p.removed = true;
    markChanged(in);
}

Instance *localNode(const std::string &ip, int port) {
    for (auto &n : g_nodes)
        if ((n->port == port || n->self().port == port) && n->self().ip == ip) return n.get();
    return nullptr;
}

// Swaps the per-node parts of srv with a node's stash, so that srv holds the
// context of `node` afterwards.
void activate(int node) {
    if (node == g_current || g_nodes.empty()) return;
    auto swapIn = [](Context &ctx) {
        std::swap(srv.dbs, ctx.dbs);
        std::swap(srv.config, ctx.config);
        std::swap(srv.port, ctx.port);
        std::swap(srv.hooks, ctx.hooks);
        std::swap(srv.info_overrides, ctx.info_overrides);
        std::swap(srv.history, ctx.history);
        std::swap(srv.total_commands, ctx.total_commands);
        std::swap(srv.keyspace_hits, ctx.keyspace_hits);
        std::swap(srv.keyspace_misses, ctx.keyspace_misses);
    };
    swapIn(instance(g_current).ctx); // the current node's data back to its stash
    swapIn(instance(node).ctx);
    g_current = node;
}

static Db &db0(Instance &in) {
    return in.index == g_current ? srv.dbs[0] : in.ctx.dbs[0];
}

bool setPortsOpen(Instance &in, bool open, const Client *keep, bool bus_only) {
    for (Listener &l : srv.listeners) {
        if (l.node != in.index || l.unix_sock || (bus_only && !l.bus)) continue;
        if (!open && l.fd >= 0) {
            close(l.fd);
            l.fd = -1;
        } else if (open && l.fd < 0) {
            int port = l.bus ? in.bus_port : l.tls ? in.tls_port : in.port;
            l.fd = listenTcp(srv.bind, port);
            if (l.fd < 0) return false;
        }
    }
    if (open) return true;
    for (auto &[id, c] : srv.clients)
        if (c->node == in.index && c.get() != keep && (!bus_only || c->bus == BUS_IN))
            freeClient(*c);
    if (!bus_only)
        for (auto &p : in.peers)
            p->link_up = false;
    return true;
}

} // namespace cluster

bool clusterEnabled() {
    return srv.cluster_enabled;
}

static void addClusterConfig(std::map<std::string, std::string> &cfg, int port, int bus_port) {
    cfg["port"] = std::to_string(port);
    cfg["cluster-port"] = std::to_string(bus_port);
    cfg["cluster-node-timeout"] = "15000";
    cfg["cluster-config-file"] = "nodes-" + std::to_string(port) + ".conf";
    cfg["cluster-require-full-coverage"] = "yes";
}

// Listens on a free port for a node; false when that fails.
static bool addListener(int node, bool bus, int &port) {
    port = 0;
    int fd = listenTcp(srv.bind, port);
    if (fd < 0) return false;
    srv.listeners.push_back({fd, false, false, node, bus});
    return true;
}

bool clusterSetup(std::string &ready) {
    if (!srv.cluster_enabled) return true;
    // Nodes announce the address they listen on; a wildcard is not one a
    // peer can connect to.
    std::string ip = srv.bind;
    if (ip == "0.0.0.0" || ip.empty()) ip = "127.0.0.1";
    if (ip == "::") ip = "::1";
    std::string ports, bus_ports, tls_ports;
    for (int i = 0; i < srv.cluster_nodes; i++) {
        auto in = std::make_unique<Instance>();
        in->index = i;
        in->port = srv.port;
        in->tls_port = srv.tls_port;
        // The first node's ports are the ones serve() opened.
        if (i > 0 && !addListener(i, false, in->port)) return false;
        if (i > 0 && srv.tls_port >= 0) {
            if (!addListener(i, false, in->tls_port)) return false;
            srv.listeners.back().tls = true;
        }
        if (!addListener(i, true, in->bus_port)) return false;
        int bus = in->bus_port;
        int announced = srv.tls_cluster && in->tls_port >= 0 ? in->tls_port : in->port;
        in->owner.assign(kSlots, -1);
        in->importing.assign(kSlots, -1);
        in->migrating.assign(kSlots, -1);
        in->pinned.assign(kSlots, false);
        addPeer(*in, randomId(), ip, announced, bus, N_MYSELF | N_MASTER);
        if (i == 0) {
            addClusterConfig(srv.config, in->port, bus);
        } else {
            in->ctx.dbs.resize(srv.dbs.size());
            in->ctx.config = srv.config;
            addClusterConfig(in->ctx.config, in->port, bus);
            in->ctx.port = in->port;
        }
        ports += (i ? "," : "") + std::to_string(in->port);
        bus_ports += (i ? "," : "") + std::to_string(bus);
        tls_ports += (i ? "," : "") + std::to_string(in->tls_port);
        g_nodes.push_back(std::move(in));
    }
    ready += " cluster-ports=" + ports + " cluster-bus-ports=" + bus_ports;
    if (srv.tls_port >= 0) ready += " cluster-tls-ports=" + tls_ports;
    return true;
}

bool clusterVisible(const Client &c) {
    return g_nodes.empty() || (c.bus == BUS_NONE && c.node == g_current);
}

bool clusterEnter(Client &c, Args &a) {
    if (g_nodes.empty()) return true;
    activate(c.node);
    if (instance(c.node).down == HUNG && !ieq(a[0], "devhook")) {
        c.parked.push_back(a);
        return false;
    }
    return true;
}

// ---- redirections ----

static std::string addrOf(const Peer &p) {
    return p.ip + ":" + std::to_string(p.port);
}

bool clusterRedirect(Client &c, const Command &cmd, const Args &a) {
    if (g_nodes.empty()) return false;
    if (ieq(cmd.name, "asking")) {
        c.asking = true;
        return false;
    }
    bool asking = c.asking;
    c.asking = false;
    if (ieq(cmd.name, "select") && a.size() == 2 && a[1] != "0") {
        c.out.error("ERR SELECT is not allowed in cluster mode");
        return true;
    }
    if (c.any_slot || cmd.first <= 0) return false;
    auto keys = commandKeys(cmd, a);
    if (keys.empty()) return false;
    int slot = keySlot(keys[0]);
    for (auto &k : keys)
        if (keySlot(k) != slot) {
            c.out.error("CROSSSLOT Keys in request don't hash to the same slot");
            return true;
        }
    Instance &in = instance(c.node);
    int owner = in.owner[size_t(slot)];
    if (owner == 0) {
        int to = in.migrating[size_t(slot)];
        if (to < 0) return false;
        size_t missing = 0;
        for (auto &k : keys)
            missing += srv.dbs[size_t(c.db)].find(k) == nullptr;
        if (missing == 0) return false;
        if (missing < keys.size()) {
            c.out.error("TRYAGAIN Multiple keys request during rehashing of slot");
            return true;
        }
        c.out.error("ASK " + std::to_string(slot) + " " + addrOf(*in.peers[size_t(to)]));
        return true;
    }
    if (asking && in.importing[size_t(slot)] >= 0) return false;
    if (owner < 0) {
        c.out.error("CLUSTERDOWN Hash slot not served");
        return true;
    }
    c.out.error("MOVED " + std::to_string(slot) + " " + addrOf(*in.peers[size_t(owner)]));
    return true;
}

// ---- the CLUSTER command ----

namespace cluster {

static const char *linkState(const Peer &p) {
    return (p.flags & N_MYSELF) || p.link_up ? "connected" : "disconnected";
}

static std::string flagText(unsigned f) {
    std::string r;
    auto add = [&](unsigned bit, const char *name) {
        if (!(f & bit)) return;
        if (!r.empty()) r += ',';
        r += name;
    };
    add(N_MYSELF, "myself");
    add(N_MASTER, "master");
    add(N_SLAVE, "slave");
    add(N_PFAIL, "fail?");
    add(N_FAIL, "fail");
    add(N_HANDSHAKE, "handshake");
    add(N_NOADDR, "noaddr");
    return r.empty() ? "noflags" : r;
}

// The config epoch a node's line shows: a replica shows its master's.
static uint64_t shownEpoch(Instance &in, const Peer &p) {
    if (p.flags & N_SLAVE)
        if (Peer *m = findPeer(in, p.master_id)) return m->config_epoch;
    return p.config_epoch;
}

std::string nodesText(Instance &in) {
    std::string r;
    for (size_t i = 0; i < in.peers.size(); i++) {
        Peer &p = *in.peers[i];
        if (p.removed) continue;
        r += p.id + " ";
        if (p.flags & N_NOADDR)
            r += ":0@0";
        else
            r += addrOf(p) + "@" + std::to_string(p.bus_port);
        r += " " + flagText(p.flags) + " " + (p.master_id.empty() ? "-" : p.master_id);
        bool me = p.flags & N_MYSELF;
        r +=
            " " + std::to_string(me ? 0 : p.ping_sent) + " " + std::to_string(me ? 0 : p.pong_recv);
        r += " " + std::to_string(shownEpoch(in, p)) + " " + linkState(p);
        std::string slots = slotRanges(in.owner, int(i));
        if (!slots.empty()) r += " " + slots;
        if (me)
            for (int s = 0; s < kSlots; s++) {
                if (in.migrating[size_t(s)] >= 0)
                    r += " [" + std::to_string(s) + "->-" +
                         in.peers[size_t(in.migrating[size_t(s)])]->id + "]";
                if (in.importing[size_t(s)] >= 0)
                    r += " [" + std::to_string(s) + "-<-" +
                         in.peers[size_t(in.importing[size_t(s)])]->id + "]";
            }
        r += "\n";
    }
    return r;
}

} // namespace cluster

static std::string infoText(Instance &in) {
    long long assigned = 0, pfail = 0, fail = 0;
    std::set<int> sized;
    for (int s = 0; s < kSlots; s++) {
        int o = in.owner[size_t(s)];
        if (o < 0) continue;
        assigned++;
        sized.insert(o);
        unsigned f = in.peers[size_t(o)]->flags;
        if (f & N_FAIL)
            fail++;
        else if (f & N_PFAIL)
            pfail++;
    }
    long long known = 0;
    for (auto &p : in.peers)
        known += !p->removed;
    Peer &me = in.self();
    bool ok = assigned == kSlots && fail == 0;
    auto n = [](long long v) { return std::to_string(v); };
    std::string r;
    auto line = [&](const char *k, const std::string &v) {
        r += std::string(k) + ":" + v + "\r\n";
    };
    line("cluster_state", ok ? "ok" : "fail");
    line("cluster_slots_assigned", n(assigned));
    line("cluster_slots_ok", n(assigned - pfail - fail));
    line("cluster_slots_pfail", n(pfail));
    line("cluster_slots_fail", n(fail));
    line("cluster_known_nodes", n(known));
    line("cluster_size", n((long long)sized.size()));
    line("cluster_current_epoch", n((long long)in.current_epoch));
    line("cluster_my_epoch", n((long long)shownEpoch(in, me)));
    line("cluster_stats_messages_sent", n(in.sent));
    line("cluster_stats_messages_received", n(in.received));
    line("total_cluster_links_buffer_limit_exceeded", "0");
    return r;
}

static void slotsReply(Client &c, Instance &in) {
    struct Range {
        int first, last, owner;
    };
    std::vector<Range> ranges;
    for (int s = 0; s < kSlots; s++) {
        int o = in.owner[size_t(s)];
        if (o < 0) continue;
        if (!ranges.empty() && ranges.back().owner == o && ranges.back().last == s - 1)
            ranges.back().last = s;
        else
            ranges.push_back({s, s, o});
    }
    auto describe = [&](const Peer &p) {
        c.out.array(3);
        c.out.bulk(p.ip);
        c.out.integer(p.port);
        c.out.bulk(p.id);
    };
    c.out.array(ranges.size());
    for (auto &r : ranges) {
        const Peer &m = *in.peers[size_t(r.owner)];
        std::vector<const Peer *> reps;
        for (auto &p : in.peers)
            if (!p->removed && (p->flags & N_SLAVE) && !(p->flags & N_FAIL) && p->master_id == m.id)
                reps.push_back(p.get());
        c.out.array(3 + reps.size());
        c.out.integer(r.first);
        c.out.integer(r.last);
        describe(m);
        for (auto *p : reps)
            describe(*p);
    }
}

static size_t countKeysInSlot(Instance &in, int slot, std::vector<std::string> *keys,
                              size_t limit) {
    Db &db = db0(in);
    if (keys) *keys = db.keysInSlot(slot, limit);
    return db.countInSlot(slot);
}

// The slots (or ranges of slots) given from argument `from` on; writes the
// error and returns false for a bad or repeated one.
static bool parseSlotArgs(Client &c, const Args &a, size_t from, std::vector<int> &slots,
                          bool ranges) {
    std::vector<bool> seen(kSlots, false);
    for (size_t i = from; i < a.size(); i++) {
        int s, e = 0;
        if (!parseSlot(a[i], s) || (ranges && (i + 1 >= a.size() || !parseSlot(a[++i], e)))) {
            c.out.error("ERR Invalid or out of range slot");
            return false;
        }
        if (!ranges) e = s;
        if (e < s) {
            c.out.error("ERR start slot number " + std::to_string(s) +
                        " is greater than end slot number " + std::to_string(e));
            return false;
        }
        for (int x = s; x <= e; x++) {
            if (seen[size_t(x)]) {
                c.out.error("ERR Slot " + std::to_string(x) + " specified multiple times");
                return false;
            }
            seen[size_t(x)] = true;
            slots.push_back(x);
        }
    }
    return true;
}

static void addOrDelSlots(Client &c, Instance &in, const Args &a, bool add, bool ranges) {
    if (ranges && (a.size() - 2) % 2) return wrongArity(c, "cluster|" + lower(a[1]));
    std::vector<int> slots;
    if (!parseSlotArgs(c, a, 2, slots, ranges)) return;
    for (int s : slots) {
        int o = in.owner[size_t(s)];
        if (add && o >= 0) return c.out.error("ERR Slot " + std::to_string(s) + " is already busy");
        if (!add && o < 0)
            return c.out.error("ERR Slot " + std::to_string(s) + " is already unassigned");
    }
    for (int s : slots) {
        in.owner[size_t(s)] = add ? 0 : -1;
        if (add) in.importing[size_t(s)] = -1;
    }
    markChanged(in);
    c.out.ok();
}

// Gives the node a config epoch above every epoch it knows, unless it holds
// the highest one already; true when it took a new one.
static bool bumpWithoutConsensus(Instance &in) {
    Peer &me = in.self();
    uint64_t top = in.current_epoch;
    for (auto &q : in.peers)
        if (!q->removed) top = std::max(top, q->config_epoch);
    if (me.config_epoch != 0 && me.config_epoch == top) return false;
    in.current_epoch = top + 1;
    me.config_epoch = in.current_epoch;
    markChanged(in);
    return true;
}

static void setSlot(Client &c, Instance &in, const Args &a) {
    int slot;
    if (!parseSlot(a[2], slot)) return c.out.error("ERR Invalid or out of range slot");
    std::string how = lower(a[3]);
    if (how == "stable") {
        if (a.size() != 4) return c.out.error(kSyntax);
        in.importing[size_t(slot)] = in.migrating[size_t(slot)] = -1;
        return c.out.ok();
    }
    if ((how != "importing" && how != "migrating" && how != "node") || a.size() != 5)
        return c.out.error(kSyntax);
    int n = peerIndex(in, lower(a[4]));
    if (n < 0) return c.out.error("ERR I don't know about node " + a[4]);
    Peer &p = *in.peers[size_t(n)];
    if (how != "node" && (p.flags & N_SLAVE)) return c.out.error("ERR Target node is not a master");
    if (how == "migrating") {
        if (in.owner[size_t(slot)] != 0)
            return c.out.error("ERR I'm not the owner of hash slot " + std::to_string(slot));
        if (n == 0) return c.out.error("ERR Can't migrate a hash slot to myself");
        in.migrating[size_t(slot)] = n;
        return c.out.ok();
    }
    if (how == "importing") {
        if (in.owner[size_t(slot)] == 0)
            return c.out.error("ERR I'm already the owner of hash slot " + std::to_string(slot));
        if (n == 0) return c.out.error("ERR Can't import a hash slot from myself");
        in.importing[size_t(slot)] = n;
        return c.out.ok();
    }
    if (p.flags & N_SLAVE) return c.out.error("ERR Target node is not a master");
    if (in.owner[size_t(slot)] == 0 && n != 0 && countKeysInSlot(in, slot, nullptr, 0) > 0)
        return c.out.error("ERR Can't assign hashslot " + std::to_string(slot) +
                           " to a different node while I still hold keys for this hash slot.");
    if (n != 0) in.migrating[size_t(slot)] = -1;
    // Taking over an imported slot ends the migration; a new config epoch
    // makes the change win over the old owner's claim everywhere.
    if (n == 0 && in.importing[size_t(slot)] >= 0) {
        in.importing[size_t(slot)] = -1;
        bumpWithoutConsensus(in);
    }
    in.owner[size_t(slot)] = n;
    markChanged(in);
    c.out.ok();
}

static void bumpEpoch(Client &c, Instance &in) {
    bool bumped = bumpWithoutConsensus(in);
    c.out.status((bumped ? "BUMPED " : "STILL ") + std::to_string(in.self().config_epoch));
}

static bool hasKeys(Instance &in) {
    return db0(in).size() > 0;
}

static void replicate(Client &c, Instance &in, const std::string &id) {
    int n = peerIndex(in, lower(id));
    if (n < 0) return c.out.error("ERR Unknown node " + id);
    if (n == 0) return c.out.error("ERR Can't replicate myself");
    Peer &m = *in.peers[size_t(n)];
    if (m.flags & N_SLAVE) return c.out.error("ERR I can only replicate a master, not a replica.");
    Peer &me = in.self();
    bool owns = std::find(in.owner.begin(), in.owner.end(), 0) != in.owner.end();
    if ((me.flags & N_MASTER) && (owns || hasKeys(in)))
        return c.out.error("ERR To set a master the node must be empty and without assigned "
                           "slots.");
    for (auto &o : in.owner)
        if (o == 0) o = -1;
    me.flags = (me.flags & ~N_MASTER) | N_SLAVE;
    me.master_id = m.id;
    markChanged(in);
    startReplication(in);
    c.out.ok();
}

static void forget(Client &c, Instance &in, const std::string &id) {
    int n = peerIndex(in, lower(id));
    if (n < 0) return c.out.error("ERR Unknown node " + id);
    if (n == 0) return c.out.error("ERR I tried hard but I can't forget myself...");
    Peer &p = *in.peers[size_t(n)];
    if ((in.self().flags & N_SLAVE) && in.self().master_id == p.id)
        return c.out.error("ERR Can't forget my master!");
    // A forgotten node is not learnt again from gossip for a minute, so
    // that FORGET sent to every node sticks.
    in.forgotten[p.id] = nowMs() + 60000;
    removePeer(in, n);
    c.out.ok();
}

static void resetNode(Client &c, Instance &in, const Args &a) {
    bool hard = false;
    if (a.size() == 3) {
        if (ieq(a[2], "hard"))
            hard = true;
        else if (!ieq(a[2], "soft"))
            return c.out.error(kSyntax);
    } else if (a.size() > 3) {
        return c.out.error(kSyntax);
    }
    Peer &me = in.self();
    if ((me.flags & N_MASTER) && hasKeys(in))
        return c.out.error("ERR CLUSTER RESET can't be called with master nodes containing keys");
    if (me.flags & N_SLAVE) db0(in).clear();
    for (size_t i = 1; i < in.peers.size(); i++)
        if (!in.peers[i]->removed) removePeer(in, int(i));
    std::fill(in.owner.begin(), in.owner.end(), -1);
    std::fill(in.importing.begin(), in.importing.end(), -1);
    std::fill(in.migrating.begin(), in.migrating.end(), -1);
    in.forgotten.clear();
    me.flags = N_MYSELF | N_MASTER;
    me.master_id.clear();
    startReplication(in);
    if (hard) {
        me.id = randomId();
        me.config_epoch = 0;
        in.current_epoch = 0;
    }
    markChanged(in);
    c.out.ok();
}

static void clusterCmd(Client &c, Args &a) {
    if (g_nodes.empty()) return c.out.error("ERR This instance has cluster support disabled");
    Instance &in = instance(c.node);
    std::string sub = lower(a[1]);
    size_t n = a.size();
    auto arity = [&](size_t lo, size_t hi) {
        if (n >= lo && n <= hi) return true;
        c.out.error("ERR Unknown subcommand or wrong number of arguments for '" + a[1] +
                    "'. Try CLUSTER HELP.");
        return false;
    };
    if (sub == "nodes") {
        if (arity(2, 2)) c.out.verbatim(nodesText(in));
    } else if (sub == "myid") {
        if (arity(2, 2)) c.out.bulk(in.self().id);
    } else if (sub == "info") {
        if (arity(2, 2)) c.out.verbatim(infoText(in));
    } else if (sub == "slots") {
        if (arity(2, 2)) slotsReply(c, in);
    } else if (sub == "keyslot") {
        if (arity(3, 3)) c.out.integer(keySlot(a[2]));
    } else if (sub == "countkeysinslot" || sub == "getkeysinslot") {
        bool get = sub == "getkeysinslot";
        if (!arity(get ? 4 : 3, get ? 4 : 3)) return;
        int slot;
        long long max = 0;
        if (!parseSlot(a[2], slot)) return c.out.error("ERR Invalid slot");
        if (get && (!toLL(a[3], max) || max < 0)) return c.out.error("ERR Invalid number of keys");
        std::vector<std::string> keys;
        size_t count = countKeysInSlot(in, slot, get ? &keys : nullptr, size_t(max));
        if (get) return c.out.bulks(keys);
        c.out.integer((long long)count);
    } else if (sub == "meet") {
        if (!arity(4, 5)) return;
        long long port, bus = 0;
        unsigned char buf[sizeof(in6_addr)];
        bool ip_ok = inet_pton(AF_INET, a[2].c_str(), buf) == 1 ||
                     inet_pton(AF_INET6, a[2].c_str(), buf) == 1;
        if (!toLL(a[3], port) || port < 1 || port > 65535 ||
            (n == 5 && (!toLL(a[4], bus) || bus < 1 || bus > 65535)))
            return c.out.error("ERR Invalid base port specified: " + a[3]);
        if (!ip_ok) return c.out.error("ERR Invalid node address specified: " + a[2] + ":" + a[3]);
        startHandshake(in, a[2], int(port), int(bus));
        c.out.ok();
    } else if (sub == "addslots" || sub == "delslots") {
        if (arity(3, size_t(-1))) addOrDelSlots(c, in, a, sub == "addslots", false);
    } else if (sub == "addslotsrange" || sub == "delslotsrange") {
        if (arity(4, size_t(-1))) addOrDelSlots(c, in, a, sub == "addslotsrange", true);
    } else if (sub == "setslot") {
        if (arity(4, 5)) setSlot(c, in, a);
    } else if (sub == "bumpepoch") {
        if (arity(2, 2)) bumpEpoch(c, in);
    } else if (sub == "set-config-epoch") {
        if (!arity(3, 3)) return;
        long long e;
        if (!toLL(a[2], e) || e < 0)
            return c.out.error("ERR Invalid config epoch specified: " + a[2]);
        size_t known = 0;
        for (auto &p : in.peers)
            known += !p->removed;
        if (known > 1)
            return c.out.error("ERR The user can assign a config epoch only when the node does "
                               "not know any other node.");
        if (in.self().config_epoch != 0)
            return c.out.error("ERR Node config epoch is already non-zero");
        in.self().config_epoch = uint64_t(e);
        in.current_epoch = std::max(in.current_epoch, uint64_t(e));
        c.out.ok();
    } else if (sub == "replicate") {
        if (arity(3, 3)) replicate(c, in, a[2]);
    } else if (sub == "forget") {
        if (arity(3, 3)) forget(c, in, a[2]);
    } else if (sub == "reset") {
        if (arity(2, 3)) resetNode(c, in, a);
    } else if (sub == "count-failure-reports") {
        if (!arity(3, 3)) return;
        Peer *p = findPeer(in, lower(a[2]));
        if (!p) return c.out.error("ERR Unknown node " + a[2]);
        updateFailState(in, *p, nowMs());
        c.out.integer((long long)p->fail_reports.size());
    } else if (sub == "saveconfig") {
        if (arity(2, 2)) c.out.ok();
    } else if (sub == "replicas" || sub == "slaves") {
        if (!arity(3, 3)) return;
        Peer *m = findPeer(in, lower(a[2]));
        if (!m) return c.out.error("ERR Unknown node " + a[2]);
        if (m->flags & N_SLAVE) return c.out.error("ERR The specified node is not a master");
        std::vector<std::string> lines;
        std::string all = nodesText(in);
        size_t pos = 0;
        while (pos < all.size()) {
            size_t end = all.find('\n', pos);
            std::string line = all.substr(pos, end - pos);
            Peer *p = findPeer(in, line.substr(0, 40));
            if (p && (p->flags & N_SLAVE) && p->master_id == m->id) lines.push_back(line);
            pos = end + 1;
        }
        c.out.bulks(lines);
    } else if (sub == "help") {
        c.out.bulks({"CLUSTER <subcommand> [<arg> ...]. Subcommands are:",
                     "NODES",
                     "MYID",
                     "INFO",
                     "SLOTS",
                     "MEET <ip> <port> [<bus-port>]",
                     "ADDSLOTS <slot> ...",
                     "ADDSLOTSRANGE <start> <end> ...",
                     "DELSLOTS <slot> ...",
                     "DELSLOTSRANGE <start> <end> ...",
                     "SETSLOT <slot> IMPORTING|MIGRATING|NODE <id> | STABLE",
                     "BUMPEPOCH",
                     "SET-CONFIG-EPOCH <epoch>",
                     "REPLICATE <id>",
                     "REPLICAS <id>",
                     "FORGET <id>",
                     "RESET [HARD|SOFT]",
                     "COUNTKEYSINSLOT <slot>",
                     "GETKEYSINSLOT <slot> <count>",
                     "KEYSLOT <key>",
                     "COUNT-FAILURE-REPORTS <id>",
                     "SAVECONFIG"});
    } else {
        c.out.error("ERR unknown subcommand '" + a[1] + "'. Try CLUSTER HELP.");
    }
}

void registerClusterCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"cluster", -2, F_LOADING | F_STALE, 0, 0, 0, clusterCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
