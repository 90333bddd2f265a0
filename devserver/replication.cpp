// Replication, as far as a replica needs it: REPLCONF, SYNC and PSYNC with a
// snapshot of the key space (announced with its length, or framed by an
// end-of-file mark when the replica announced `capa eof` and diskless sync is
// on), then every write of every client as arrays, with SELECT when the
// database changes, and a periodic PING.
//
// The snapshot is produced in pieces while the socket drains (Client::produce),
// so padding of any size streams without being held in memory; writes made
// during a transfer wait in the replica's backlog and follow the snapshot.
#include "server.h"
#include "snapshot.h"

#include <algorithm>
#include <random>

namespace dev {

// Transfer test hooks (DEVHOOK SYNC ...); they apply to every transfer until
// DEVHOOK RESET or DEVHOOK SYNC CLEAR.
struct SyncHooks {
    long long newlines = 0, newline_ms = 0;
    long long pause_ms = 0;
    std::vector<long long> pauses; // offsets; negative ones count from the end
    long long cut = -1;
    std::string trailer;
    long long pad = -1; // -1: the start-up value
};
static SyncHooks g_hooks;
static uint64_t g_startup_pad = 0;
static long long g_repl_offset = 0;

void setSnapshotPad(uint64_t bytes) {
    g_startup_pad = bytes;
}

static std::string randomHex(size_t n) {
    static std::mt19937_64 rng(std::random_device{}());
    static const char *digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += digits[rng() % 16];
    return s;
}

static const std::string &replId() {
    static const std::string id = randomHex(40);
    return id;
}

// One snapshot transfer: the announcement line, the snapshot (header and
// keys, padding, end record) and, in the marker form, the mark after it.
struct Transfer {
    enum Part { HEAD, BODY, PAD_HEAD, PAD, END, MARK, NPARTS };
    std::string head, body, pad_head, end, mark;
    uint64_t pad = 0;
    uint64_t bounds[NPARTS + 1] = {};
    SnapshotSum sum;
    uint64_t pos = 0;
    long long newlines = 0, newline_ms = 0;
    std::vector<uint64_t> pauses; // ascending absolute offsets
    long long pause_ms = 0;
    uint64_t cut = UINT64_MAX;
    std::string trailer;

    uint64_t total() const { return bounds[NPARTS]; }
    uint64_t partSize(int p) const {
        switch (p) {
        case HEAD:
            return head.size();
        case BODY:
            return body.size();
        case PAD_HEAD:
            return pad_head.size();
        case PAD:
            return pad;
        case END:
            return kSnapEndSize;
        default:
            return mark.size();
        }
    }

    // Appends the next n bytes of the transfer to out.
    void emit(std::string &out, uint64_t n) {
        static const std::string zeros(1 << 16, '\0');
        while (n) {
            int p = 0;
            while (pos >= bounds[p + 1])
                p++;
            uint64_t in = pos - bounds[p];
            size_t k = size_t(std::min<uint64_t>(n, bounds[p + 1] - pos));
            size_t at = out.size();
            switch (p) {
            case HEAD:
                out.append(head, size_t(in), k);
                break;
            case BODY:
                out.append(body, size_t(in), k);
                break;
            case PAD_HEAD:
                out.append(pad_head, size_t(in), k);
                break;
            case PAD:
                k = std::min(k, zeros.size());
                out.append(zeros, 0, k);
                break;
            case END:
                if (end.empty()) end = snapshotEnd(sum); // takes the opcode
                out.append(end, size_t(in), k);
                break;
            default:
                out.append(mark, size_t(in), k);
                break;
            }
            if (p == BODY || p == PAD_HEAD || p == PAD) sum.update(out.data() + at, k);
            pos += k;
            n -= k;
        }
    }
};

struct ReplicaLink {
    bool capa_eof = false;
    bool vdb_only = false;
    long long listening_port = 0, ack = 0;
    std::unique_ptr<Transfer> xfer;
    std::string backlog; // stream bytes written during the transfer
    long long next_ping = 0;
};

static ReplicaLink &link(Client &c) {
    if (!c.link) c.link = std::make_shared<ReplicaLink>();
    return *c.link;
}

static long long pingPeriodMs() {
    long long s = 10;
    auto it = srv.config.find("repl-ping-replica-period");
    if (it != srv.config.end() && (!toLL(it->second, s) || s < 1)) s = 10;
    return s * 1000;
}

// Ends a transfer: what was held back follows the snapshot, and the
// connection becomes a streaming replica (or closes, for a snapshot-only
// request).
static void finishTransfer(Client &c) {
    ReplicaLink &l = *c.link;
    c.out.raw(l.xfer->trailer);
    l.xfer.reset();
    c.produce = nullptr;
    if (l.vdb_only) {
        c.replica = false;
        l.backlog.clear();
        c.close_after_write = true;
        return;
    }
    c.out.raw(l.backlog);
    l.backlog.clear();
    l.next_ping = nowMs() + pingPeriodMs();
}

static void produceTransfer(Client &c) {
    Transfer &t = *c.link->xfer;
    long long now = nowMs();
    if (t.newlines > 0) {
        c.out.raw("\n");
        t.newlines--;
        c.produce_at = now + t.newline_ms;
        return;
    }
    uint64_t limit = std::min(t.total(), t.cut);
    uint64_t n = std::min<uint64_t>(limit - t.pos, 1 << 20);
    while (!t.pauses.empty() && t.pauses.front() <= t.pos)
        t.pauses.erase(t.pauses.begin());
    if (!t.pauses.empty() && t.pauses.front() < t.pos + n) n = t.pauses.front() - t.pos;
    t.emit(c.out.buf, n);
    if (!t.pauses.empty() && t.pauses.front() == t.pos) {
        t.pauses.erase(t.pauses.begin());
        c.produce_at = now + t.pause_ms;
    }
    if (t.pos == t.cut && t.cut < t.total()) {
        c.produce = nullptr;
        c.close_after_write = true;
        return;
    }
    if (t.pos == t.total()) finishTransfer(c);
}

static void syncCmd(Client &c, Args &a) {
    if (c.in_multi) return c.out.error("ERR Replica can't interact with the keyspace");
    if (c.replica || c.produce) return; // already synchronising: ignored
    ReplicaLink &l = link(c);
    if (ieq(a[0], "psync"))
        c.out.raw("+FULLRESYNC " + replId() + " " + std::to_string(g_repl_offset) + "\r\n");
    auto t = std::make_unique<Transfer>();
    t->body = snapshotBody();
    t->pad = g_hooks.pad >= 0 ? uint64_t(g_hooks.pad) : g_startup_pad;
    if (t->pad) t->pad_head = snapshotPadHeader(t->pad);
    uint64_t snap_size = t->body.size() + t->pad_head.size() + t->pad + kSnapEndSize;
    if (l.capa_eof && ieq(srv.config["repl-diskless-sync"], "yes")) {
        t->mark = randomHex(40);
        t->head = "$EOF:" + t->mark + "\r\n";
    } else {
        t->head = "$" + std::to_string(snap_size) + "\r\n";
    }
    for (int p = 0; p < Transfer::NPARTS; p++)
        t->bounds[p + 1] = t->bounds[p] + t->partSize(p);
    t->newlines = g_hooks.newlines;
    t->newline_ms = g_hooks.newline_ms;
    t->pause_ms = g_hooks.pause_ms;
    for (long long off : g_hooks.pauses) {
        long long abs = off < 0 ? (long long)t->total() + off : off;
        if (abs > 0 && abs < (long long)t->total()) t->pauses.push_back(uint64_t(abs));
    }
    std::sort(t->pauses.begin(), t->pauses.end());
    if (g_hooks.cut >= 0) t->cut = uint64_t(g_hooks.cut);
    t->trailer = g_hooks.trailer;
    l.xfer = std::move(t);
    l.backlog.clear();
    c.replica = !l.vdb_only;
    c.repl_db = -1;
    c.produce = produceTransfer;
    c.produce_at = nowMs();
}

static void feedOne(Client &r, const std::string &bytes) {
    if (r.produce && r.link && r.link->xfer)
        r.link->backlog += bytes;
    else
        r.out.raw(bytes);
}

void feedReplicas(const Client &c, const Args &a) {
    if (c.no_propagate) return;
    ReplyWriter w;
    w.bulks(a);
    bool select_sent = false;
    std::string sel;
    for (auto &[id, r] : srv.clients) {
        if (!r->replica || r->closed) continue;
        if (r->node != c.node) continue; // another cluster node of this process
        if (r->repl_db != c.db) {
            ReplyWriter s;
            s.bulks({"SELECT", std::to_string(c.db)});
            feedOne(*r, s.buf);
            r->repl_db = c.db;
            if (!select_sent) g_repl_offset += (long long)s.buf.size();
            select_sent = true;
        }
        feedOne(*r, w.buf);
    }
    g_repl_offset += (long long)w.buf.size();
}

void replicationCron(long long now) {
    static const std::string ping = "*1\r\n$4\r\nPING\r\n";
    bool sent = false;
    for (auto &[id, r] : srv.clients) {
        if (!r->replica || r->closed || r->produce || !r->link) continue;
        if (now < r->link->next_ping) continue;
        r->out.raw(ping);
        r->link->next_ping = now + pingPeriodMs();
        sent = true;
    }
    if (sent) g_repl_offset += (long long)ping.size();
}

static void replconfCmd(Client &c, Args &a) {
    if (a.size() % 2 == 0) return c.out.error(kSyntax);
    ReplicaLink &l = link(c);
    for (size_t i = 1; i < a.size(); i += 2) {
        std::string opt = lower(a[i]);
        const std::string &v = a[i + 1];
        long long n;
        if (opt == "listening-port") {
            if (!toLL(v, n) || n < 0 || n > 65535)
                return c.out.error("ERR value is not an integer or out of range");
            l.listening_port = n;
        } else if (opt == "capa") {
            if (ieq(v, "eof")) l.capa_eof = true;
        } else if (opt == "ack") {
            if (!toLL(v, n)) return c.out.error(kNotInt);
            l.ack = n;
        } else if (opt == "getack" || opt == "ip-address") {
        } else if (opt == "vdb-only") {
            if (v != "0" && v != "1") return c.out.error("ERR vdb-only takes 0 or 1");
            l.vdb_only = v == "1";
        } else {
            return c.out.error("ERR Unrecognized REPLCONF option: " + a[i]);
        }
    }
    c.out.ok();
}

// DEVHOOK SYNC PREPARE N MS | PAUSE MS OFFSET... | CUT N | PAD BYTES |
// TRAILER BYTES | CLEAR
bool syncHookCommand(Client &c, Args &a) {
    if (!ieq(a[1], "sync")) return false;
    std::string sub = a.size() > 2 ? lower(a[2]) : "";
    std::vector<long long> nums;
    for (size_t i = 3; i < a.size(); i++) {
        long long v;
        if (sub == "trailer") break;
        if (!toLL(a[i], v)) {
            c.out.error("ERR DEVHOOK SYNC " + sub + ": '" + a[i] + "' is not an integer");
            return true;
        }
        nums.push_back(v);
    }
    auto bad = [&](const char *usage) {
        c.out.error(std::string("ERR usage: DEVHOOK SYNC ") + usage);
        return true;
    };
    if (sub == "prepare") {
        if (nums.size() != 2 || nums[0] < 0 || nums[1] < 0 || nums[1] > 60000)
            return bad("PREPARE N MS");
        g_hooks.newlines = nums[0];
        g_hooks.newline_ms = nums[1];
    } else if (sub == "pause") {
        if (nums.size() < 2 || nums[0] < 0 || nums[0] > 60000)
            return bad("PAUSE MS OFFSET [OFFSET ...]");
        g_hooks.pause_ms = nums[0];
        g_hooks.pauses.assign(nums.begin() + 1, nums.end());
    } else if (sub == "cut") {
        if (nums.size() != 1 || nums[0] < 0) return bad("CUT N");
        g_hooks.cut = nums[0];
    } else if (sub == "pad") {
        if (nums.size() != 1 || nums[0] < 0) return bad("PAD BYTES");
        g_hooks.pad = nums[0];
    } else if (sub == "trailer") {
        if (a.size() != 4) return bad("TRAILER BYTES");
        g_hooks.trailer = a[3];
    } else if (sub == "clear" && a.size() == 3) {
        resetSyncHooks();
    } else {
        return bad("PREPARE|PAUSE|CUT|PAD|TRAILER|CLEAR ...");
    }
    c.out.ok();
    return true;
}

void resetSyncHooks() {
    g_hooks = SyncHooks();
}

void registerReplicationCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"sync", 1, F_ADMIN | F_NOMULTI, 0, 0, 0, syncCmd},
        {"psync", -3, F_ADMIN | F_NOMULTI, 0, 0, 0, syncCmd},
        {"replconf", -1, F_ADMIN | F_LOADING | F_STALE, 0, 0, 0, replconfCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
    srv.config.emplace("repl-ping-replica-period", "10");
}

} // namespace dev
