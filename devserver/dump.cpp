// DUMP key, and RESTORE / RESTORE-ASKING key ttl payload [REPLACE] [ABSTTL]
// [IDLETIME seconds] [FREQ frequency]: a key's value as a payload (payload.h)
// and back. MIGRATE sends RESTORE (RESTORE-ASKING from a cluster node, so that
// a node importing the slot accepts the key) to its target.
#include "payload.h"

namespace dev {

static void dumpCmd(Client &c, Args &a) {
    Entry *e = srv.dbs[size_t(c.db)].find(a[1]);
    if (!e) return c.out.null();
    c.out.bulk(encodePayload(e->v));
}

static void restoreCmd(Client &c, Args &a) {
    bool replace = false, absttl = false;
    long long freq = -1;
    for (size_t i = 4; i < a.size(); i++) {
        long long v;
        if (ieq(a[i], "replace")) {
            replace = true;
        } else if (ieq(a[i], "absttl")) {
            absttl = true;
        } else if (ieq(a[i], "idletime") && i + 1 < a.size()) {
            if (!toLL(a[++i], v)) return c.out.error(kNotInt);
            if (v < 0) return c.out.error("ERR Invalid IDLETIME value, must be >= 0");
        } else if (ieq(a[i], "freq") && i + 1 < a.size()) {
            if (!toLL(a[++i], freq)) return c.out.error(kNotInt);
            if (freq < 0 || freq > 255)
                return c.out.error("ERR Invalid FREQ value, must be >= 0 and <= 255");
        } else {
            return c.out.error(kSyntax);
        }
    }
    long long ttl;
    if (!toLL(a[2], ttl)) return c.out.error(kNotInt);
    if (ttl < 0) return c.out.error("ERR Invalid TTL value, must be >= 0");
    Db &db = srv.dbs[size_t(c.db)];
    if (!replace && db.find(a[1])) return c.out.error("BUSYKEY Target key name already exists.");
    Value v;
    switch (decodePayload(a[3], v)) {
    case PayloadError::Checksum:
        return c.out.error("ERR DUMP payload version or checksum are wrong");
    case PayloadError::Format:
        return c.out.error("ERR Bad data format");
    case PayloadError::None:
        break;
    }
    long long when = ttl == 0 ? -1 : absttl ? ttl : nowMs() + ttl;
    if (when >= 0 && when <= nowMs()) {
        // Already expired: the old value (REPLACE) goes, nothing new comes.
        db.del(a[1]);
        return c.out.ok();
    }
    Entry &e = db.set(a[1], std::move(v));
    if (when >= 0) setExpire(db, a[1], e, when);
    if (freq >= 0) e.freq = uint32_t(freq);
    c.out.ok();
}

void registerDumpCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"dump", 2, F_READONLY, 1, 1, 1, dumpCmd},
        {"restore", -4, F_WRITE | F_DENYOOM, 1, 1, 1, restoreCmd},
        {"restore-asking", -4, F_WRITE | F_DENYOOM, 1, 1, 1, restoreCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
