// Replicas of cluster nodes: a node told to REPLICATE a master connects to
// the master's client port like any replica (AUTH with its own password when
// it has one, then SYNC), passes over the snapshot and runs the master's
// command stream on its own key space, so it holds what is written to the
// master from then on. The master's keys from before REPLICATE are not loaded:
// the nodes a cluster is built from, or grown by, are empty.
#include "cluster.h"

namespace dev::cluster {

enum Stage { AUTH_REPLY = 0, ANNOUNCE, SKIP_BYTES, SKIP_TO_MARK, STREAM };

void startReplication(Instance &in) {
    if (Client *l = findClient(in.repl)) freeClient(*l);
    in.repl = 0;
    in.repl_try = 0;
}

void replicationTick(Instance &in, long long now) {
    Peer &me = in.self();
    if (!(me.flags & N_SLAVE) || findClient(in.repl)) return;
    in.repl = 0;
    Peer *m = findPeer(in, me.master_id);
    if (!m || m->port == 0 || now - in.repl_try < 1000) return;
    in.repl_try = now;
    // A master of this process is followed on its plain port, whatever it
    // announces.
    Instance *local = localNode(m->ip, m->port);
    int port = local ? local->port : m->port;
    int fd = connectTo(m->ip, port);
    if (fd < 0) return;
    Client &l = newClient(fd, m->ip + ":" + std::to_string(port), in.index, BUS_REPL);
    l.authed = true; // runs what its master sends
    l.any_slot = true;
    in.repl = l.id;
    in.repl_stage = ANNOUNCE;
    auto u = srv.users.find("default");
    if (u != srv.users.end() && !u->second.nopass) {
        l.out.bulks({"AUTH", u->second.pass});
        in.repl_stage = AUTH_REPLY;
    }
    l.out.bulks({"SYNC"});
}

// Takes one CR LF line from the link's input; false when incomplete.
static bool takeLine(Client &c, std::string &line) {
    size_t eol = c.in.find("\r\n", c.inpos);
    if (eol == std::string::npos) return false;
    line = c.in.substr(c.inpos, eol - c.inpos);
    c.inpos = eol + 2;
    return true;
}

} // namespace dev::cluster

namespace dev {

using namespace cluster;

bool clusterReplicaPrelude(Client &c) {
    Instance &in = instance(c.node);
    if (c.id != in.repl) {
        freeClient(c);
        return false;
    }
    std::string line;
    for (;;) {
        switch (in.repl_stage) {
        case AUTH_REPLY:
            // A master without a password refuses AUTH; SYNC's answer
            // tells whether the link works.
            if (!takeLine(c, line)) return false;
            in.repl_stage = ANNOUNCE;
            break;
        case ANNOUNCE: {
            // Masters may send newlines while they prepare the snapshot.
            while (c.inpos < c.in.size() && c.in[c.inpos] == '\n')
                c.inpos++;
            if (!takeLine(c, line)) return false;
            long long n;
            if (line.rfind("$EOF:", 0) == 0 && line.size() == 45) {
                in.repl_mark = line.substr(5);
                in.repl_stage = SKIP_TO_MARK;
            } else if (line.size() > 1 && line[0] == '$' && toLL(line.substr(1), n) && n >= 0) {
                in.repl_skip = n;
                in.repl_stage = SKIP_BYTES;
            } else if (line.empty() || line[0] != '+') { // +FULLRESYNC and the like pass
                return freeClient(c), false;
            }
            break;
        }
        case SKIP_BYTES: {
            long long have = (long long)(c.in.size() - c.inpos);
            long long take = std::min(have, in.repl_skip);
            c.inpos += size_t(take);
            in.repl_skip -= take;
            if (in.repl_skip > 0) return false;
            in.repl_stage = STREAM;
            break;
        }
        case SKIP_TO_MARK: {
            size_t at = c.in.find(in.repl_mark, c.inpos);
            if (at == std::string::npos) {
                // Keep what could be the start of the mark.
                size_t keep = std::min(c.in.size() - c.inpos, in.repl_mark.size() - 1);
                c.inpos = c.in.size() - keep;
                return false;
            }
            c.inpos = at + in.repl_mark.size();
            in.repl_stage = STREAM;
            break;
        }
        default:
            return true;
        }
    }
}

namespace cluster {

void applyReplicated(Client &link, Args &a) {
    if (a.empty()) return;
    const Command *cmd = lookupCommand(a[0]);
    if (!cmd || (cmd->arity > 0 && int(a.size()) != cmd->arity) ||
        (cmd->arity < 0 && int(a.size()) < -cmd->arity))
        return;
    activate(link.node);
    size_t before = link.out.buf.size();
    callCommand(link, *cmd, a);
    // The master gets no replies from its replica.
    if (!link.closed) link.out.buf.resize(before);
}

} // namespace cluster
} // namespace dev
