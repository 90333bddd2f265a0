// MIGRATE host port key|"" db timeout [COPY] [REPLACE] [AUTH pw | AUTH2 user pw]
// [KEYS key ...]: moves keys to another instance.
//
// One process may host several cluster nodes, and the loop is single
// threaded: a MIGRATE to a node of this process must not wait for that node
// to answer over a socket. Such a transfer happens in memory, value and time
// to live included, with the checks the target would make (its password,
// database range, existing keys). Any other target is reached over TCP, the
// loop waiting at most the timeout for each answer: the keys are checked
// (EXISTS, or DEL with REPLACE) and then rebuilt there with ordinary commands
// (SET, RPUSH, SADD, HSET, ZADD, XADD, PEXPIREAT), each after ASKING so that
// a target importing the slot takes them. Keys that reached the target leave
// the source (unless COPY) even when others failed; the error of a failed key
// is relayed as "ERR Target instance replied with error: ...".
#include "cluster.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The commands that rebuild a key's value elsewhere.
static std::vector<Args> rebuild(const std::string &k, const Entry &e) {
    std::vector<Args> r;
    Args cmd;
    if (auto *v = std::get_if<std::string>(&e.v)) {
        r.push_back({"SET", k, *v});
    } else if (auto *l = std::get_if<List>(&e.v)) {
        cmd = {"RPUSH", k};
        cmd.insert(cmd.end(), l->begin(), l->end());
    } else if (auto *st = std::get_if<SetT>(&e.v)) {
        cmd = {"SADD", k};
        for (auto &[m, x] : st->items)
            cmd.push_back(m);
    } else if (auto *h = std::get_if<HashT>(&e.v)) {
        cmd = {"HSET", k};
        for (auto &[f, v] : h->items)
            cmd.insert(cmd.end(), {f, v});
    } else if (auto *z = std::get_if<ZSet>(&e.v)) {
        cmd = {"ZADD", k};
        for (auto &[score, m] : z->order)
            cmd.insert(cmd.end(), {fmtDouble(score), m});
    } else if (auto *x = std::get_if<Stream>(&e.v)) {
        for (auto &en : x->entries) {
            Args add = {"XADD", k, std::to_string(en.ms) + "-" + std::to_string(en.seq)};
            add.insert(add.end(), en.fields.begin(), en.fields.end());
            r.push_back(std::move(add));
        }
    }
    if (!cmd.empty()) r.push_back(std::move(cmd));
    if (e.expire >= 0) r.push_back({"PEXPIREAT", k, std::to_string(e.expire)});
    return r;
}

// A blocking conversation with a target in another process. Replies are
// read as the rebuild commands produce them: status, error, integer or bulk.
class Remote {
  public:
    ~Remote() {
        if (fd_ >= 0) close(fd_);
    }
    bool open(const std::string &host, int port, long long timeout_ms) {
        timeout_ = int(std::min<long long>(timeout_ms, 24LL * 3600 * 1000));
        fd_ = cluster::connectTo(host, port);
        if (fd_ < 0 || !wait(POLLOUT)) return false;
        int err = 0;
        socklen_t len = sizeof err;
        return getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    void queue(const Args &a) {
        ReplyWriter w;
        w.bulks(a);
        out_ += w.buf;
        pending_++;
    }
    // Sends what was queued and reads one reply per command: "" for a
    // success, else the error text. False on a broken or silent target.
    bool exchange(std::vector<std::string> &replies, std::vector<long long> &ints) {
        for (size_t off = 0; off < out_.size();) {
            if (!wait(POLLOUT)) return false;
            ssize_t n = send(fd_, out_.data() + off, out_.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (n > 0) off += size_t(n);
        }
        out_.clear();
        for (; pending_ > 0; pending_--) {
            std::string line;
            if (!readLine(line) || line.empty()) return false;
            long long v = 0;
            if (line[0] == '$' && toLL(line.substr(1), v) && v >= 0 && !skip(size_t(v) + 2))
                return false;
            if (line[0] != '+' && line[0] != '-' && line[0] != ':' && line[0] != '$') return false;
            replies.push_back(line[0] == '-' ? line.substr(1) : "");
            ints.push_back(line[0] == ':' && toLL(line.substr(1), v) ? v : 0);
        }
        return true;
    }

  private:
    bool wait(short ev) {
        pollfd p{fd_, ev, 0};
        return poll(&p, 1, timeout_) == 1 && !(p.revents & (POLLERR | POLLNVAL));
    }
    bool fill() {
        if (!wait(POLLIN)) return false;
        char buf[16384];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        in_.append(buf, size_t(n));
        return true;
    }
    bool readLine(std::string &line) {
        size_t eol;
        while ((eol = in_.find("\r\n")) == std::string::npos)
            if (in_.size() > 65536 || !fill()) return false;
        line = in_.substr(0, eol);
        in_.erase(0, eol + 2);
        return true;
    }
    bool skip(size_t n) {
        while (in_.size() < n)
            if (!fill()) return false;
        in_.erase(0, n);
        return true;
    }
    int fd_ = -1, timeout_ = 1000;
    std::string out_, in_;
    size_t pending_ = 0;
};

static void authArgs(const MigrateArgs &m, Remote &r) {
    if (!m.auth) return;
    if (m.user == "default")
        r.queue({"AUTH", m.pass});
    else
        r.queue({"AUTH", m.user, m.pass});
}

// Moves the keys to a target in another process; keys that arrived are
// listed in moved, the first error (relayed) in error.
static bool migrateRemote(const MigrateArgs &m, Db &src, const std::vector<std::string> &keys,
                          std::vector<std::string> &moved, std::string &error) {
    Remote r;
    if (!r.open(m.host, m.port, m.timeout <= 0 ? 1000 : m.timeout)) {
        error = "IOERR error or timeout connecting to the client";
        return false;
    }
    authArgs(m, r);
    r.queue({"SELECT", std::to_string(m.db)});
    for (auto &k : keys) {
        r.queue({"ASKING"});
        r.queue({m.replace ? "DEL" : "EXISTS", k});
    }
    std::vector<std::string> replies;
    std::vector<long long> ints;
    if (!r.exchange(replies, ints)) {
        error = "IOERR error or timeout reading to target instance";
        return false;
    }
    size_t at = m.auth ? 1 : 0;
    for (size_t i = 0; i <= at; i++)
        if (!replies[i].empty()) {
            error = kRelay + replies[i];
            return false;
        }
    std::vector<std::string> sent;
    std::vector<size_t> counts;
    for (size_t i = 0; i < keys.size(); i++) {
        size_t idx = at + 2 + 2 * i;
        if (!replies[idx].empty()) {
            error = kRelay + replies[idx];
            continue;
        }
        if (!m.replace && ints[idx] > 0) {
            error = std::string(kRelay) + "BUSYKEY Target key name already exists.";
            continue;
        }
        Entry *e = src.find(keys[i]);
        if (!e) continue;
        auto cmds = rebuild(keys[i], *e);
        for (auto &cmd : cmds) {
            r.queue({"ASKING"});
            r.queue(cmd);
        }
        sent.push_back(keys[i]);
        counts.push_back(cmds.size() * 2);
    }
    replies.clear();
    ints.clear();
    if (!sent.empty() && !r.exchange(replies, ints)) {
        error = "IOERR error or timeout reading to target instance";
        return false;
    }
    size_t pos = 0;
    for (size_t i = 0; i < sent.size(); i++) {
        bool ok = true;
        for (size_t j = 0; j < counts[i]; j++, pos++)
            if (!replies[pos].empty()) {
                ok = false;
                error = kRelay + replies[pos];
            }
        if (ok) moved.push_back(sent[i]);
    }
    return true;
}

static void finish(Client &c, const MigrateArgs &m, Db &src, std::vector<std::string> &moved,
                   const std::string &error);

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
    std::string error;
    std::vector<std::string> moved;
    if (!target) {
        migrateRemote(m, src, present, moved, error);
        return finish(c, m, src, moved, error);
    }
    if (target->index == c.node)
        return c.out.error("ERR Target instance is this instance; nothing to migrate");
    std::string refused = targetAuth(m);
    if (!refused.empty()) return c.out.error(kRelay + refused);
    // srv holds the source's context; the target's key space is in its stash.
    auto &tdbs = target->ctx.dbs;
    if (m.db < 0 || m.db >= (long long)tdbs.size())
        return c.out.error(std::string(kRelay) + "ERR DB index is out of range");
    Db &dst = tdbs[size_t(m.db)];
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
    finish(c, m, src, moved, error);
}

// Drops the keys that arrived (unless COPY) and answers.
static void finish(Client &c, const MigrateArgs &m, Db &src, std::vector<std::string> &moved,
                   const std::string &error) {
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
