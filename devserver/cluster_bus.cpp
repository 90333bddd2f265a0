// The cluster bus: how nodes learn about each other and agree on the slots.
//
// Every node keeps one outbound link to the bus port of every node it knows
// and sends PING (MEET while handshaking) on it; the other side answers PONG
// on the same connection. Every message is an array of bulk strings:
//
//   VBUS type sender-id ip port bus-port master|slave master-id|-
//        current-epoch config-epoch slots|- {id ip port bus-port ok|pfail|fail}...
//
// (slots as "a-b,c"), or VBUS FAIL sender-id failed-id. A node claims its
// slots with its config epoch; a claim wins over the view's owner when the
// epoch is higher, so a change made on one node (ADDSLOTS, SETSLOT NODE after
// BUMPEPOCH) reaches every view. The entries of other nodes make everybody
// meet everybody, and carry the failure reports.
//
// MEET ip port without a bus port first asks the node for it (CONFIG GET
// cluster-port on its client port), since bus ports are picked freely.
#include "cluster.h"

#include <algorithm>
#include <cerrno>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dev::cluster {

int connectTo(const std::string &ip, int port) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (getaddrinfo(ip.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return -1;
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) != 0 && errno != EINPROGRESS) {
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    return fd;
}

static std::string num(long long v) {
    return std::to_string(v);
}

static Args message(Instance &in, const char *type) {
    Peer &me = in.self();
    // Every message carries the claims; they only change with the view.
    if (in.claims_version != in.version) {
        in.claims = slotRanges(in.owner, 0, true);
        in.claims_version = in.version;
    }
    const std::string &slots = in.claims;
    Args m = {"VBUS",
              type,
              me.id,
              me.ip,
              num(me.port),
              num(me.bus_port),
              (me.flags & N_SLAVE) ? "slave" : "master",
              me.master_id.empty() ? "-" : me.master_id,
              num((long long)in.current_epoch),
              num((long long)me.config_epoch),
              slots.empty() ? "-" : slots};
    for (size_t i = 1; i < in.peers.size(); i++) {
        Peer &p = *in.peers[i];
        if (p.removed || (p.flags & (N_HANDSHAKE | N_NOADDR)) || p.bus_port == 0) continue;
        m.insert(m.end(), {p.id, p.ip, num(p.port), num(p.bus_port),
                           (p.flags & N_FAIL)    ? "fail"
                           : (p.flags & N_PFAIL) ? "pfail"
                                                 : "ok"});
    }
    return m;
}

static void send(Instance &in, Client &link, const Args &m) {
    link.out.bulks(m);
    in.sent++;
}

void closeLinks(Instance &, Peer &p) {
    for (uint64_t id : {p.link, p.probe})
        if (Client *c = findClient(id)) freeClient(*c);
    p.link = p.probe = 0;
    p.link_up = false;
}

void startHandshake(Instance &in, const std::string &ip, int port, int bus_port) {
    for (auto &p : in.peers)
        if (!p->removed && p->ip == ip && p->port == port) return;
    if (Instance *local = localNode(ip, port)) bus_port = local->bus_port;
    addPeer(in, randomId(), ip, port, bus_port, N_HANDSHAKE | N_MEET);
}

void broadcastFail(Instance &in, const Peer &target) {
    for (auto &p : in.peers)
        if (Client *l = p->removed ? nullptr : findClient(p->link))
            send(in, *l, {"VBUS", "FAIL", in.self().id, target.id});
}

static size_t clusterSize(Instance &in) {
    std::set<int> owners;
    for (int o : in.owner)
        if (o >= 0) owners.insert(o);
    return owners.size();
}

void updateFailState(Instance &in, Peer &p, long long now) {
    long long keep = nodeTimeout(in) * 2;
    for (auto it = p.fail_reports.begin(); it != p.fail_reports.end();)
        it = now - it->second > keep ? p.fail_reports.erase(it) : std::next(it);
    if (!(p.flags & N_PFAIL) || (p.flags & N_FAIL)) return;
    size_t votes = p.fail_reports.size() + ((in.self().flags & N_MASTER) ? 1 : 0);
    size_t needed = clusterSize(in) / 2 + 1;
    if (votes < needed) return;
    p.flags |= N_FAIL;
    broadcastFail(in, p);
}

// Applies what a message says about its sender (peer index idx).
static void learn(Instance &in, int idx, const Args &m, long long now) {
    Peer &s = *in.peers[size_t(idx)];
    long long port, bus, ce, cfg;
    if (!toLL(m[4], port) || !toLL(m[5], bus) || !toLL(m[8], ce) || !toLL(m[9], cfg) || ce < 0 ||
        cfg < 0)
        return;
    s.ip = m[3];
    s.port = int(port);
    s.bus_port = int(bus);
    bool slave = m[6] == "slave";
    if (slave && !(s.flags & N_SLAVE)) {
        for (int &o : in.owner)
            if (o == idx) o = -1;
        markChanged(in);
    }
    if (slave) {
        s.flags = (s.flags & ~N_MASTER) | N_SLAVE;
        if (s.master_id != m[7]) markChanged(in);
        s.master_id = m[7];
    } else {
        s.flags = (s.flags & ~N_SLAVE) | N_MASTER;
        s.master_id.clear();
    }
    in.current_epoch = std::max(in.current_epoch, uint64_t(ce));
    s.config_epoch = uint64_t(cfg);
    Peer &me = in.self();
    if (!slave) {
        std::vector<int> claimed;
        if (m[10] != "-" && !parseSlotRanges(m[10], claimed)) claimed.clear();
        for (int slot : claimed) {
            size_t i = size_t(slot);
            int o = in.owner[i];
            if (o == idx || in.pinned[i] || in.importing[i] >= 0) continue;
            if (o < 0 || in.peers[size_t(o)]->config_epoch < s.config_epoch) {
                in.owner[i] = idx;
                markChanged(in);
            }
        }
        // Two masters with one config epoch: the one with the smaller ID
        // takes a new epoch, so that every claim can be ordered.
        if ((me.flags & N_MASTER) && s.config_epoch == me.config_epoch && cfg != 0 &&
            me.id < s.id) {
            me.config_epoch = ++in.current_epoch;
            markChanged(in);
        }
    }
    bool voter = !slave && !(s.flags & N_FAIL);
    for (size_t i = 11; i + 4 < m.size(); i += 5) {
        const std::string &id = m[i];
        if (id == me.id) continue;
        if (Peer *g = findPeer(in, id)) {
            if (!voter) continue;
            if (m[i + 4] == "ok")
                g->fail_reports.erase(s.id);
            else
                g->fail_reports[s.id] = now;
            updateFailState(in, *g, now);
            continue;
        }
        long long gp, gb;
        auto fb = in.forgotten.find(id);
        if (m[i + 4] == "fail" || (fb != in.forgotten.end() && fb->second > now) ||
            !toLL(m[i + 2], gp) || !toLL(m[i + 3], gb) || gp < 1 || gp > 65535 || gb < 1 ||
            gb > 65535)
            continue;
        startHandshake(in, m[i + 1], int(gp), int(gb));
    }
}

static void onProbeReply(Client &c, Args &a) {
    Instance &in = instance(c.node);
    for (auto &p : in.peers) {
        if (p->probe != c.id) continue;
        if (p->probe_auth) {
            // Whatever AUTH said (a node without a password refuses it),
            // the answer to CONFIG GET decides.
            p->probe_auth = false;
            return;
        }
        long long bus;
        if (a.size() == 2 && a[0] == "cluster-port" && toLL(a[1], bus) && bus > 0 && bus < 65536)
            p->bus_port = int(bus);
        else
            p->removed = true; // not a cluster node, or refused: no handshake
        p->probe = 0;
        freeClient(c);
        return;
    }
    freeClient(c);
}

static bool isId(const std::string &s) {
    return s.size() == 40 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

static bool isPort(const std::string &s) {
    long long v;
    return toLL(s, v) && v >= 1 && v <= 65535;
}

// A message of the shape the bus speaks; anything else ends the connection.
static bool isMessage(const Args &a) {
    if (a.size() < 2 || a[0] != "VBUS") return false;
    if (a[1] == "FAIL") return a.size() == 4 && isId(a[2]) && isId(a[3]);
    if (a.size() < 11 || (a.size() - 11) % 5 != 0 || !isId(a[2]) || !isPort(a[4]) ||
        !isPort(a[5]) || (a[7] != "-" && !isId(a[7])))
        return false;
    for (size_t i = 11; i < a.size(); i += 5)
        if (!isId(a[i]) || !isPort(a[i + 2]) || !isPort(a[i + 3])) return false;
    return true;
}

} // namespace dev::cluster

namespace dev {

using namespace cluster;

void clusterBusInput(Client &c, Args &a) {
    if (g_nodes.empty()) return freeClient(c);
    if (c.bus == BUS_PROBE) return onProbeReply(c, a);
    if (c.bus == BUS_REPL) return applyReplicated(c, a);
    Instance &in = instance(c.node);
    if (in.down == CLOSED || in.down == HUNG) return;
    if (!isMessage(a)) return freeClient(c);
    in.received++;
    long long now = nowMs();
    if (a[1] == "FAIL") {
        Peer *t = findPeer(in, a[3]);
        if (t && !(t->flags & N_MYSELF) && findPeer(in, a[2]) && !(t->flags & N_FAIL)) {
            t->flags |= N_FAIL;
            markChanged(in);
        }
        return;
    }
    if (c.bus == BUS_IN) {
        int idx = peerIndex(in, a[2]);
        auto fb = in.forgotten.find(a[2]);
        bool forgotten = fb != in.forgotten.end() && fb->second > now;
        if (idx < 0 && a[1] == "MEET" && !forgotten && a[2] != in.self().id) {
            addPeer(in, a[2], a[3], 0, 0, N_MASTER);
            idx = int(in.peers.size() - 1);
        }
        if (idx > 0) learn(in, idx, a, now);
        send(in, c, message(in, "PONG"));
        return;
    }
    // A PONG on one of our links.
    if (a[1] != "PONG") return;
    int idx = -1;
    for (size_t i = 1; i < in.peers.size(); i++)
        if (!in.peers[i]->removed && in.peers[i]->link == c.id) idx = int(i);
    if (idx < 0) return freeClient(c);
    Peer &p = *in.peers[size_t(idx)];
    if (p.flags & N_HANDSHAKE) {
        int known = peerIndex(in, a[2]);
        if (a[2] == in.self().id || known > 0) {
            // We met ourselves, or a node we already know under its ID.
            removePeer(in, idx);
            return;
        }
        p.id = a[2];
        p.flags &= ~(N_HANDSHAKE | N_MEET);
        markChanged(in);
    }
    p.flags &= ~N_MEET;
    p.pong_recv = now;
    p.ping_sent = 0;
    p.link_up = true;
    if (p.flags & N_PFAIL) {
        p.flags &= ~N_PFAIL;
        markChanged(in);
    }
    if (p.flags & N_FAIL && !p.fail_pinned) {
        p.flags &= ~N_FAIL;
        markChanged(in);
    }
    learn(in, idx, a, now);
}

static void ping(Instance &in, Peer &p, Client &link, long long now) {
    send(in, link, message(in, (p.flags & N_MEET) ? "MEET" : "PING"));
    if (p.ping_sent == 0) p.ping_sent = now;
    p.last_send = now;
}

static void tickNode(Instance &in, long long now) {
    for (auto it = in.forgotten.begin(); it != in.forgotten.end();)
        it = it->second <= now ? in.forgotten.erase(it) : std::next(it);
    if (in.down == CLOSED || in.down == HUNG) return;
    replicationTick(in, now);
    long long timeout = nodeTimeout(in);
    size_t known = 0;
    for (auto &p : in.peers)
        known += !p->removed;
    // Small clusters talk often; big ones less, to keep the bus cheap.
    long long interval = std::min<long long>(1000, 100 + 30 * (long long)known);
    bool changed = in.changed;
    in.changed = false;
    for (size_t i = 1; i < in.peers.size(); i++) {
        Peer &p = *in.peers[i];
        if (p.removed) continue;
        if ((p.flags & N_HANDSHAKE) && now - p.ctime > std::max<long long>(timeout, 1000)) {
            removePeer(in, int(i));
            continue;
        }
        if (p.bus_port == 0) {
            if (!findClient(p.probe) && now - p.link_try >= 100) {
                p.link_try = now;
                int fd = connectTo(p.ip, p.port);
                if (fd < 0) continue;
                Client &q = newClient(fd, p.ip + ":" + num(p.port), in.index, BUS_PROBE);
                auto &users = srv.users;
                auto u = users.find("default");
                p.probe_auth = u != users.end() && !u->second.nopass;
                if (p.probe_auth) q.out.bulks({"AUTH", u->second.pass});
                q.out.bulks({"CONFIG", "GET", "cluster-port"});
                p.probe = q.id;
            }
            continue;
        }
        Client *link = findClient(p.link);
        if (!link) {
            p.link = 0;
            p.link_up = false;
            if (now - p.link_try >= 100) {
                p.link_try = now;
                int fd = connectTo(p.ip, p.bus_port);
                if (fd >= 0) {
                    link = &newClient(fd, p.ip + ":" + num(p.bus_port), in.index, BUS_LINK);
                    p.link = link->id;
                    ping(in, p, *link, now);
                }
            }
        } else if (changed || (p.ping_sent == 0 && now - p.pong_recv >= interval) ||
                   (p.ping_sent && now - p.last_send >= 1000)) {
            // Unanswered pings are repeated: the other side may have dropped
            // them while it was not answering.
            ping(in, p, *link, now);
        } else if (p.ping_sent && now - p.ping_sent > timeout / 2 && p.link_up) {
            // No answer for a while: the link may be stale, make a new one.
            closeLinks(in, p);
        }
        if (p.ping_sent && now - p.ping_sent > timeout && !(p.flags & N_PFAIL)) {
            p.flags |= N_PFAIL;
            markChanged(in);
        }
        updateFailState(in, p, now);
    }
}

void clusterTick(long long now) {
    static long long last = 0;
    if (g_nodes.empty() || now - last < 20) return;
    last = now;
    for (auto &in : g_nodes) {
        if (!in->ctx.dbs.empty())
            for (auto &db : in->ctx.dbs)
                db.activeExpire(now);
        tickNode(*in, now);
    }
}

} // namespace dev
