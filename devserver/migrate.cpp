// MIGRATE host port key|"" db timeout [COPY] [REPLACE] [AUTH pw | AUTH2 user pw]
// [KEYS key ...]: moves keys to another instance.
//
// Each key goes as a RESTORE (RESTORE-ASKING from a cluster node) carrying
// its payload (payload.h) and remaining time to live, after AUTH and SELECT
// when needed; target.cpp delivers them, in memory to a node of this process
// and over TCP elsewhere, and the target applies its own checks (password,
// database, slot, existing keys). Keys the target accepted leave the source
// (unless COPY) even when others failed; the first error of the target is
// relayed as "ERR Target instance replied with error: ...".
#include "payload.h"
#include "target.h"

#include <algorithm>

namespace dev {

static const char *kRelay = "ERR Target instance replied with error: ";

struct MigrateArgs {
    std::string host;
    int port = 0;
    long long db = 0, timeout = 0;
    bool copy = false, replace = false, auth = false;
    std::string user, pass;
    bool user_given = false;
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
            m.user_given = true;
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

static void migrateCmd(Client &c, Args &a) {
    MigrateArgs m;
    if (!parseMigrate(c, a, m)) return;
    // 0 or less means the default; a day bounds the waits (and their sums).
    if (m.timeout <= 0) m.timeout = 1000;
    m.timeout = std::min(m.timeout, 86400000LL);
    TargetExchange x;
    x.host = m.host;
    x.port = m.port;
    x.timeout_ms = m.timeout;
    x.db = m.db;
    if (m.auth && m.user_given)
        x.auth = {"AUTH", m.user, m.pass};
    else if (m.auth)
        x.auth = {"AUTH", m.pass};
    // A cluster node's target may be importing the slot: it accepts keys
    // sent with the asking flag.
    const char *restore = clusterEnabled() ? "RESTORE-ASKING" : "RESTORE";
    std::vector<std::string> present;
    std::set<std::string> seen;
    long long now = nowMs();
    Db &src = srv.dbs[size_t(c.db)];
    for (auto &k : m.keys) {
        Entry *e = seen.insert(k).second ? src.find(k) : nullptr;
        if (!e) continue;
        long long ttl = e->expire < 0 ? 0 : std::max(1LL, e->expire - now);
        Args r = {restore, k, std::to_string(ttl), encodePayload(e->v)};
        if (m.replace) r.push_back("REPLACE");
        x.restores.push_back(std::move(r));
        present.push_back(k);
    }
    if (present.empty()) return c.out.status("NOKEY");
    exchangeWithTarget(c, x);
    if (x.same_instance)
        return c.out.error("ERR Target instance is this instance; nothing to migrate");
    if (!x.io_error.empty()) {
        if (x.hold_ms > 0) c.hold_until = nowMs() + x.hold_ms;
        return c.out.error(x.io_error);
    }
    // The first error the target gave is the answer; keys it accepted have
    // moved all the same.
    std::string error;
    if (x.auth_reply.error)
        error = x.auth_reply.text;
    else if (x.select_reply.error)
        error = x.select_reply.text;
    bool refused = !error.empty(); // nothing was restored after that
    std::vector<std::string> moved;
    for (size_t i = 0; i < x.replies.size() && !refused; i++) {
        if (!x.replies[i].error)
            moved.push_back(present[i]);
        else if (error.empty())
            error = x.replies[i].text;
    }
    if (!m.copy && !moved.empty()) {
        Db &db = srv.dbs[size_t(c.db)];
        for (auto &k : moved)
            db.del(k);
        invalidateKeys(&c, moved);
        touchWatched(c.db, &moved);
        Args del = {"DEL"};
        del.insert(del.end(), moved.begin(), moved.end());
        feedReplicas(c, del);
    }
    if (!error.empty()) return c.out.error(kRelay + error);
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
