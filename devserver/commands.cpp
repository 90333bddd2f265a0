// Command table and dispatch: lookup, arity and authentication checks, the
// pub/sub context rule, transactions (MULTI / EXEC / DISCARD), MONITOR feeds,
// client-side caching bookkeeping and the test hooks around every command.
#include "server.h"

#include <algorithm>

namespace dev {

void registerCommands(std::vector<Command> &t, const Command *cmds, size_t n) {
    for (size_t i = 0; i < n; i++)
        t.push_back(cmds[i]);
}

const Command *lookupCommand(std::string_view name) {
    auto it = srv.cmd_index.find(lower(name));
    return it == srv.cmd_index.end() ? nullptr : &srv.commands[it->second];
}

std::vector<std::string> flagNames(unsigned f) {
    std::vector<std::string> r;
    if (f & F_WRITE) r.push_back("write");
    if (f & F_READONLY) r.push_back("readonly");
    if (f & F_DENYOOM) r.push_back("denyoom");
    if (f & F_ADMIN) r.push_back("admin");
    if (f & F_PUBSUB) r.push_back("pubsub");
    if (f & F_NOAUTH) r.push_back("no_auth");
    if (f & F_LOADING) r.push_back("loading");
    if (f & F_STALE) r.push_back("stale");
    if (f & F_FAST) r.push_back("fast");
    return r;
}

std::vector<std::string> commandKeys(const Command &c, const Args &a) {
    std::vector<std::string> r;
    if (c.first <= 0) return r;
    int last = c.last < 0 ? int(a.size()) + c.last : c.last;
    for (int i = c.first; i <= last && i < int(a.size()); i += std::max(1, c.step))
        r.push_back(a[size_t(i)]);
    return r;
}

static bool allowedWhileSubscribed(const std::string &n) {
    return n == "subscribe" || n == "psubscribe" || n == "unsubscribe" || n == "punsubscribe" ||
           n == "ping" || n == "quit" || n == "reset" || n == "ssubscribe" || n == "sunsubscribe";
}

void callCommand(Client &c, const Command &cmd, Args &a) {
    if (!memoryAllowsCommand(c, cmd)) return;
    feedMonitors(c, a);
    srv.total_commands++;
    c.last_cmd = cmd.name;
    size_t before = c.out.buf.size();
    KeyAccess access(c, cmd, a);
    cmd.fn(c, a);
    access.finish();
    if (c.closed) return;
    bool failed = c.out.buf.size() > before && c.out.buf[before] == '-';
    if ((cmd.flags & F_WRITE) && !failed) feedReplicas(c, a);
    if (cmd.first > 0 && (cmd.flags & (F_WRITE | F_READONLY))) {
        auto keys = commandKeys(cmd, a);
        if (cmd.flags & F_WRITE) {
            if (c.no_propagate) return;
            invalidateKeys(&c, keys);
            if (!failed) touchWatched(c.db, &keys);
        } else if (c.tracking)
            trackRead(c, keys);
    }
}

static void dispatch(Client &c, Args &a) {
    std::string name = lower(a[0]);
    const Command *cmd = lookupCommand(name);
    if (!cmd) {
        std::string msg = "ERR unknown command '" + a[0] + "', with args beginning with: ";
        for (size_t i = 1; i < a.size() && msg.size() < 256; i++)
            msg += "'" + a[i] + "' ";
        if (c.in_multi) c.multi_dirty = true;
        c.out.error(msg);
        return;
    }
    if ((cmd->arity > 0 && int(a.size()) != cmd->arity) ||
        (cmd->arity < 0 && int(a.size()) < -cmd->arity)) {
        if (c.in_multi) c.multi_dirty = true;
        wrongArity(c, name);
        return;
    }
    if (!c.authed && !(cmd->flags & F_NOAUTH)) {
        if (c.in_multi) c.multi_dirty = true;
        c.out.error("NOAUTH Authentication required.");
        return;
    }
    if (c.out.proto == 2 && c.subCount() > 0 && !allowedWhileSubscribed(name)) {
        c.out.error("ERR Can't execute '" + name +
                    "': only (P|S)SUBSCRIBE / (P|S)UNSUBSCRIBE / PING / QUIT / RESET are "
                    "allowed in this context");
        return;
    }
    if (clusterRedirect(c, *cmd, a)) {
        if (c.in_multi) c.multi_dirty = true;
        return;
    }
    if (c.in_multi && !(cmd->flags & F_NOMULTI)) {
        c.queued.push_back(a);
        c.out.status("QUEUED");
        return;
    }
    callCommand(c, *cmd, a);
}

void execCommand(Client &c, Args &a) {
    if (a.empty() || !clusterEnter(c, a)) return;
    if (srv.hooks_enabled) {
        std::string line;
        for (auto &s : a) {
            if (!line.empty()) line += ' ';
            line += quoteArg(s);
        }
        srv.history.push_back(std::move(line));
        if (srv.history.size() > 1000) srv.history.pop_front();
    }
    // A debugging session waiting for its next step takes every command.
    if (c.ldb && ldbIntercept(c, a)) return;
    if (!srv.hooks_enabled || srv.hooks.empty() || ieq(a[0], "devhook")) {
        dispatch(c, a);
        return;
    }
    HookEffects eff = takeHooks(a);
    size_t before = c.out.buf.size();
    c.out.raw(eff.prefix);
    if (eff.replaced) {
        feedMonitors(c, a);
        srv.total_commands++;
        c.out.raw(eff.reply);
    } else {
        dispatch(c, a);
    }
    if (c.closed) return;
    if (eff.close_after >= 0) {
        if (c.out.buf.size() > before + size_t(eff.close_after))
            c.out.buf.resize(before + size_t(eff.close_after));
        c.close_after_write = true;
    }
    if (eff.delay_ms > 0) c.hold_until = nowMs() + eff.delay_ms;
    if (!eff.after.empty()) runAfterAction(c, eff.after);
}

// ---- transactions ----
static void multiCmd(Client &c, Args &) {
    if (c.in_multi) return c.out.error("ERR MULTI calls can not be nested");
    c.in_multi = true;
    c.multi_dirty = false;
    c.queued.clear();
    c.out.ok();
}

static void execCmd(Client &c, Args &) {
    if (!c.in_multi) return c.out.error("ERR EXEC without MULTI");
    auto q = std::move(c.queued);
    bool dirty = c.multi_dirty, changed = c.watch_dirty;
    c.queued.clear();
    c.in_multi = c.multi_dirty = false;
    unwatchAll(c);
    if (dirty) return c.out.error("EXECABORT Transaction discarded because of previous errors.");
    if (changed) return c.out.nullArray();
    c.out.array(q.size());
    c.in_exec = true; // a queued EVAL runs, but is not debugged, inside it
    for (auto &a : q) {
        const Command *cmd = lookupCommand(a[0]);
        callCommand(c, *cmd, a);
        if (c.closed) break;
    }
    c.in_exec = false;
}

static void discardCmd(Client &c, Args &) {
    if (!c.in_multi) return c.out.error("ERR DISCARD without MULTI");
    c.in_multi = c.multi_dirty = false;
    c.queued.clear();
    unwatchAll(c);
    c.out.ok();
}

static std::string watchId(int db, const std::string &key) {
    return std::to_string(db) + ':' + key;
}

void unwatchAll(Client &c) {
    for (auto &w : c.watching) {
        auto it = srv.watched.find(w);
        if (it == srv.watched.end()) continue;
        it->second.erase(c.id);
        if (it->second.empty()) srv.watched.erase(it);
    }
    c.watching.clear();
    c.watch_dirty = false;
}

void touchWatched(int db, const std::vector<std::string> *keys) {
    if (srv.watched.empty()) return;
    if (!keys) {
        std::string prefix = std::to_string(db) + ':';
        for (auto &[id, cp] : srv.clients)
            for (auto &w : cp->watching)
                if (db < 0 || w.compare(0, prefix.size(), prefix) == 0) cp->watch_dirty = true;
        return;
    }
    for (auto &k : *keys) {
        auto it = srv.watched.find(watchId(db, k));
        if (it == srv.watched.end()) continue;
        for (uint64_t id : it->second)
            if (Client *w = findClient(id)) w->watch_dirty = true;
    }
}

static void watchCmd(Client &c, Args &a) {
    if (c.in_multi) return c.out.error("ERR WATCH inside MULTI is not allowed");
    for (size_t i = 1; i < a.size(); i++) {
        std::string id = watchId(c.db, a[i]);
        if (srv.watched[id].insert(c.id).second) c.watching.push_back(id);
    }
    c.out.ok();
}
static void unwatchCmd(Client &c, Args &) {
    unwatchAll(c);
    c.out.ok();
}

// ---- COMMAND ----
static void describe(Client &c, const Command &cmd) {
    c.out.array(6);
    c.out.bulk(cmd.name);
    c.out.integer(cmd.arity);
    auto f = flagNames(cmd.flags);
    c.out.set(f.size());
    for (auto &s : f)
        c.out.status(s);
    c.out.integer(cmd.first);
    c.out.integer(cmd.last);
    c.out.integer(cmd.step);
}

static void commandCmd(Client &c, Args &a) {
    if (a.size() == 1) {
        c.out.array(srv.commands.size());
        for (auto &cmd : srv.commands)
            describe(c, cmd);
        return;
    }
    std::string sub = lower(a[1]);
    if (sub == "count" && a.size() == 2) return c.out.integer((long long)srv.commands.size());
    if (sub == "info") {
        if (a.size() == 2) {
            c.out.array(srv.commands.size());
            for (auto &cmd : srv.commands)
                describe(c, cmd);
            return;
        }
        c.out.array(a.size() - 2);
        for (size_t i = 2; i < a.size(); i++) {
            const Command *cmd = lookupCommand(a[i]);
            if (cmd)
                describe(c, *cmd);
            else
                c.out.nullArray();
        }
        return;
    }
    if (sub == "docs") {
        c.out.map(0);
        return;
    }
    if (sub == "list" && a.size() == 2) {
        c.out.array(srv.commands.size());
        for (auto &cmd : srv.commands)
            c.out.bulk(cmd.name);
        return;
    }
    if (sub == "getkeys" && a.size() >= 3) {
        const Command *cmd = lookupCommand(a[2]);
        if (!cmd) return c.out.error("ERR Invalid command specified");
        Args rest(a.begin() + 2, a.end());
        auto keys = commandKeys(*cmd, rest);
        if (keys.empty()) return c.out.error("ERR The command has no key arguments");
        return c.out.bulks(keys);
    }
    c.out.error("ERR unknown subcommand '" + a[1] + "'. Try COMMAND HELP.");
}

void registerTransactionCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"multi", 1, F_FAST | F_NOMULTI, 0, 0, 0, multiCmd},
        {"exec", 1, F_NOMULTI, 0, 0, 0, execCmd},
        {"discard", 1, F_FAST | F_NOMULTI, 0, 0, 0, discardCmd},
        {"watch", -2, F_FAST | F_NOMULTI, 1, -1, 1, watchCmd},
        {"unwatch", 1, F_FAST, 0, 0, 0, unwatchCmd},
        {"command", -1, F_LOADING | F_STALE, 0, 0, 0, commandCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
