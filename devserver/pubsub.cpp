// Pub/sub, MONITOR and client-side caching invalidations.
#include "server.h"

#include <cstdio>

namespace dev {

// Subscription confirmations and messages are pushes in VOSP3 and plain
// arrays in VOSP2.
static void subReply(Client &c, const char *kind, const std::string *ch, size_t count) {
    c.out.push(3);
    c.out.bulk(kind);
    ch ? c.out.bulk(*ch) : c.out.null();
    c.out.integer((long long)count);
}

static void subscribeGeneric(Client &c, Args &a, bool pattern) {
    auto &mine = pattern ? c.patterns : c.channels;
    auto &all = pattern ? srv.patterns : srv.channels;
    for (size_t i = 1; i < a.size(); i++) {
        mine.insert(a[i]);
        all[a[i]].insert(c.id);
        subReply(c, pattern ? "psubscribe" : "subscribe", &a[i], c.subCount());
    }
}
static void subscribeCmd(Client &c, Args &a) {
    subscribeGeneric(c, a, false);
}
static void psubscribeCmd(Client &c, Args &a) {
    subscribeGeneric(c, a, true);
}

static void dropSub(Client &c, const std::string &name, bool pattern) {
    auto &mine = pattern ? c.patterns : c.channels;
    auto &all = pattern ? srv.patterns : srv.channels;
    mine.erase(name);
    auto it = all.find(name);
    if (it != all.end()) {
        it->second.erase(c.id);
        if (it->second.empty()) all.erase(it);
    }
}

static void unsubscribeGeneric(Client &c, Args &a, bool pattern) {
    auto &mine = pattern ? c.patterns : c.channels;
    const char *kind = pattern ? "punsubscribe" : "unsubscribe";
    std::vector<std::string> names(a.begin() + 1, a.end());
    if (names.empty()) {
        names.assign(mine.begin(), mine.end());
        if (names.empty()) return subReply(c, kind, nullptr, c.subCount());
    }
    for (auto &n : names) {
        dropSub(c, n, pattern);
        subReply(c, kind, &n, c.subCount());
    }
}
static void unsubscribeCmd(Client &c, Args &a) {
    unsubscribeGeneric(c, a, false);
}
static void punsubscribeCmd(Client &c, Args &a) {
    unsubscribeGeneric(c, a, true);
}

void unsubscribeAll(Client &c) {
    for (auto n : std::vector<std::string>(c.channels.begin(), c.channels.end()))
        dropSub(c, n, false);
    for (auto n : std::vector<std::string>(c.patterns.begin(), c.patterns.end()))
        dropSub(c, n, true);
}

static long long publish(const std::string &ch, const std::string &msg) {
    long long n = 0;
    auto it = srv.channels.find(ch);
    if (it != srv.channels.end())
        for (uint64_t id : it->second)
            if (Client *s = findClient(id)) {
                s->out.push(3);
                s->out.bulk("message");
                s->out.bulk(ch);
                s->out.bulk(msg);
                n++;
            }
    for (auto &[pat, ids] : srv.patterns) {
        if (!globMatch(pat, ch)) continue;
        for (uint64_t id : ids)
            if (Client *s = findClient(id)) {
                s->out.push(4);
                s->out.bulk("pmessage");
                s->out.bulk(pat);
                s->out.bulk(ch);
                s->out.bulk(msg);
                n++;
            }
    }
    return n;
}

static void publishCmd(Client &c, Args &a) {
    c.out.integer(publish(a[1], a[2]));
}

static void pubsubCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (sub == "channels") {
        std::vector<std::string> r;
        for (auto &[ch, ids] : srv.channels)
            if (a.size() < 3 || globMatch(a[2], ch)) r.push_back(ch);
        return c.out.bulks(r);
    }
    if (sub == "numsub") {
        c.out.map(a.size() - 2);
        for (size_t i = 2; i < a.size(); i++) {
            c.out.bulk(a[i]);
            auto it = srv.channels.find(a[i]);
            c.out.integer(it == srv.channels.end() ? 0 : (long long)it->second.size());
        }
        return;
    }
    if (sub == "numpat") return c.out.integer((long long)srv.patterns.size());
    c.out.error("ERR unknown subcommand '" + a[1] + "'. Try PUBSUB HELP.");
}

// ---- MONITOR ----
static void monitorCmd(Client &c, Args &) {
    c.monitor = true;
    c.out.ok();
}

void feedMonitors(const Client &c, const Args &a) {
    std::string line;
    for (auto &[id, m] : srv.clients) {
        if (!m->monitor || m->closed || m.get() == &c) continue;
        if (line.empty()) {
            long long us = nowUs();
            char head[96];
            snprintf(head, sizeof head, "%lld.%06lld [%d ", us / 1000000, us % 1000000, c.db);
            line = head;
            line += c.conn.unix_sock ? "unix:" + srv.unix_path : c.addr;
            line += "]";
            for (auto &s : a) {
                line += ' ';
                line += quoteArg(s);
            }
        }
        m->out.status(line);
    }
}

// ---- client-side caching ----
void trackRead(Client &c, const std::vector<std::string> &keys) {
    if (c.tracking_bcast) return;
    for (auto &k : keys)
        srv.tracked[k].insert(c.id);
}

static void sendInvalidation(Client &to, const std::vector<std::string> *keys) {
    Client *target = &to;
    if (to.tracking_redirect) {
        target = findClient(to.tracking_redirect);
        if (!target) return;
    }
    if (target->out.proto == 3) {
        target->out.push(2);
        target->out.bulk("invalidate");
    } else {
        // A VOSP2 connection receives them as messages of the invalidation
        // channel, if it subscribed to it.
        if (!target->channels.count("__vorn__:invalidate")) return;
        target->out.array(3);
        target->out.bulk("message");
        target->out.bulk("__vorn__:invalidate");
    }
    if (keys)
        target->out.bulks(*keys);
    else
        target->out.nullArray();
}

void invalidateKeys(Client *writer, const std::vector<std::string> &keys) {
    if (keys.empty() || (writer && writer->no_propagate)) return;
    std::map<uint64_t, std::vector<std::string>> per;
    for (auto &k : keys) {
        auto it = srv.tracked.find(k);
        if (it == srv.tracked.end()) continue;
        for (uint64_t id : it->second)
            per[id].push_back(k);
        srv.tracked.erase(it);
    }
    for (auto &[id, cp] : srv.clients) {
        if (cp->closed || !cp->tracking || !cp->tracking_bcast) continue;
        for (auto &k : keys) {
            bool hit = cp->tracking_prefixes.empty();
            for (auto &p : cp->tracking_prefixes)
                if (k.compare(0, p.size(), p) == 0) hit = true;
            if (hit) per[id].push_back(k);
        }
    }
    for (auto &[id, ks] : per) {
        Client *t = findClient(id);
        if (!t || !t->tracking) continue;
        if (t == writer && t->tracking_noloop) continue;
        sendInvalidation(*t, &ks);
    }
}

void invalidateAll() {
    srv.tracked.clear();
    for (auto &[id, cp] : srv.clients)
        if (!cp->closed && cp->tracking) sendInvalidation(*cp, nullptr);
}

void registerPubsubCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"subscribe", -2, F_PUBSUB | F_LOADING | F_STALE, 0, 0, 0, subscribeCmd},
        {"psubscribe", -2, F_PUBSUB | F_LOADING | F_STALE, 0, 0, 0, psubscribeCmd},
        {"unsubscribe", -1, F_PUBSUB | F_LOADING | F_STALE, 0, 0, 0, unsubscribeCmd},
        {"punsubscribe", -1, F_PUBSUB | F_LOADING | F_STALE, 0, 0, 0, punsubscribeCmd},
        {"publish", 3, F_PUBSUB | F_LOADING | F_STALE | F_FAST, 0, 0, 0, publishCmd},
        {"pubsub", -2, F_PUBSUB | F_LOADING | F_STALE, 0, 0, 0, pubsubCmd},
        {"monitor", 1, F_ADMIN | F_LOADING | F_STALE, 0, 0, 0, monitorCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
