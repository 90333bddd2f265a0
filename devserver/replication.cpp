// Replication, as far as a replica needs it: SYNC and PSYNC answer with a
// snapshot (announced with its length, or, when repl-diskless-sync is yes,
// framed by an end-of-file mark) and then stream every write command of every
// client to the connection; REPLCONF is accepted.
#include "server.h"

namespace dev {

// The snapshot is a small deterministic text describing the key space; a
// replica only transfers it.
static std::string snapshot() {
    std::string s = "VORN-DEVSERVER-SNAPSHOT 1\n";
    for (size_t i = 0; i < srv.dbs.size(); i++)
        if (srv.dbs[i].size())
            s += "db" + std::to_string(i) + " keys=" + std::to_string(srv.dbs[i].size()) + "\n";
    s += "end\n";
    return s;
}

static void syncCmd(Client &c, Args &a) {
    if (c.in_multi) return c.out.error("ERR Replica can't interact with the keyspace");
    if (ieq(a[0], "psync")) c.out.raw("+FULLRESYNC 0123456789abcdef0123456789abcdef01234567 0\r\n");
    std::string snap = snapshot();
    if (ieq(srv.config["repl-diskless-sync"], "yes")) {
        const std::string mark = "0f1e2d3c4b5a69788796a5b4c3d2e1f0abcdef12";
        c.out.raw("$EOF:" + mark + "\r\n");
        c.out.raw(snap);
        c.out.raw(mark);
    } else {
        c.out.raw("$" + std::to_string(snap.size()) + "\r\n");
        c.out.raw(snap);
    }
    c.replica = true;
    c.repl_db = -1;
}

void feedReplicas(const Client &c, const Args &a) {
    for (auto &[id, r] : srv.clients) {
        if (!r->replica || r->closed) continue;
        if (r->node != c.node) continue; // another cluster node of this process
        if (r->repl_db != c.db) {
            r->out.bulks({"SELECT", std::to_string(c.db)});
            r->repl_db = c.db;
        }
        r->out.bulks(a);
    }
}

static void replconfCmd(Client &c, Args &a) {
    if (a.size() % 2 == 0) return c.out.error(kSyntax);
    c.out.ok();
}

void registerReplicationCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"sync", 1, F_ADMIN | F_NOMULTI, 0, 0, 0, syncCmd},
        {"psync", -3, F_ADMIN | F_NOMULTI, 0, 0, 0, syncCmd},
        {"replconf", -1, F_ADMIN | F_LOADING | F_STALE, 0, 0, 0, replconfCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
