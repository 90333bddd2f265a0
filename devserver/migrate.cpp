// MIGRATE host port key|"" db timeout [COPY] [REPLACE] [AUTH pw | AUTH2 user pw]
// [KEYS key ...]: moves keys to another instance.
//
// One process may host several cluster nodes, and the loop is single
// threaded: a MIGRATE to a node of this process must not wait for that node
// to answer over a socket. Such a transfer happens in memory, value and time
// to live included, with the checks the target would make (its password,
// database range, existing keys). Keys that reached the target leave the
// source (unless COPY) even when others failed; the error of a failed key is
// relayed as "ERR Target instance replied with error: ...".
#include "cluster.h"

namespace dev {

static const char *kRelay = "ERR Target instance replied with error: ";

struct MigrateArgs {
    std::string host;
    int port = 0;
    long long db = 0, timeout = 0;
    bool copy = false, replace = false, auth = false;
    std::string user = "default", pass;
    std::vector<std::string> keys;
};

static bool parseMigrate(Client &c, const Args &a, MigrateArgs &m) {
    long long port;
    if (!toLL(a[2], port) || port < 1 || port > 65535 || !toLL(a[4], m.db) ||
        !toLL(a[5], m.timeout)) {
        c.out.error(kNotInt);
        return false;
    }
    m.host = a[1];
    m.port = int(port);
    size_t i = 6;
    for (; i < a.size(); i++) {
        if (ieq(a[i], "copy")) {
            m.copy = true;
        } else if (ieq(a[i], "replace")) {
            m.replace = true;
        } else if (ieq(a[i], "auth") && i + 1 < a.size()) {
            m.auth = true;
            m.pass = a[++i];
        } else if (ieq(a[i], "auth2") && i + 2 < a.size()) {
            m.auth = true;
            m.user = a[i + 1];
            m.pass = a[i + 2];
            i += 2;
        } else if (ieq(a[i], "keys")) {
            if (!a[3].empty()) {
                c.out.error("ERR When using MIGRATE KEYS option, the key argument must be set "
                            "to the empty string");
                return false;
            }
            m.keys.assign(a.begin() + long(i) + 1, a.end());
            break;
        } else {
            c.out.error(kSyntax);
            return false;
        }
    }
    if (m.keys.empty() && i >= a.size()) m.keys.push_back(a[3]);
    return true;
}

// The target's answer to the connection's authentication, "" when accepted.
static std::string targetAuth(const MigrateArgs &m) {
    if (!m.auth) return srv.requirePass() ? "NOAUTH Authentication required." : "";
    auto it = srv.users.find(m.user);
    if (it == srv.users.end() || (!it->second.nopass && it->second.pass != m.pass))
        return "WRONGPASS invalid username-password pair or user is disabled.";
    return "";
}

static void migrateCmd(Client &c, Args &a) {
    MigrateArgs m;
    if (!parseMigrate(c, a, m)) return;
    Db &src = srv.dbs[size_t(c.db)];
    std::vector<std::string> present;
    for (auto &k : m.keys)
        if (src.find(k)) present.push_back(k);
    if (present.empty()) return c.out.status("NOKEY");
    using namespace cluster;
    Instance *target = localNode(m.host, m.port);
    if (!target || g_nodes.empty())
        return c.out.error("IOERR error or timeout connecting to the client");
    if (target->index == c.node)
        return c.out.error("ERR Target instance is this instance; nothing to migrate");
    std::string refused = targetAuth(m);
    if (!refused.empty()) return c.out.error(kRelay + refused);
    // srv holds the source's context; the target's key space is in its stash.
    auto &tdbs = target->ctx.dbs;
    if (m.db < 0 || m.db >= (long long)tdbs.size())
        return c.out.error(std::string(kRelay) + "ERR DB index is out of range");
    Db &dst = tdbs[size_t(m.db)];
    std::string error;
    std::vector<std::string> moved;
    for (auto &k : present) {
        Entry *e = src.find(k);
        if (!e) continue;
        if (!m.replace && dst.find(k)) {
            error = std::string(kRelay) + "BUSYKEY Target key name already exists.";
            continue;
        }
        long long expire = e->expire;
        Value v = e->v;
        Entry &ne = dst.set(k, std::move(v));
        if (expire >= 0) setExpire(dst, k, ne, expire);
        moved.push_back(k);
    }
    if (!m.copy && !moved.empty()) {
        for (auto &k : moved)
            src.del(k);
        invalidateKeys(&c, moved);
        touchWatched(c.db, &moved);
        Args del = {"DEL"};
        del.insert(del.end(), moved.begin(), moved.end());
        feedReplicas(c, del);
    }
    if (!error.empty()) return c.out.error(error);
    c.out.ok();
}

void registerMigrateCommands(std::vector<Command> &t) {
    // Not flagged as a write: what the source's replicas must see is the
    // deletion, sent above, not the MIGRATE itself. No key positions: a
    // migrating slot's keys are moved wherever the slot is served from.
    static const Command cmds[] = {
        {"migrate", -6, F_ADMIN, 0, 0, 0, migrateCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
