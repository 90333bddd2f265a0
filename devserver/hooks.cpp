// Test hooks (only with --enable-test-hooks), all through the DEVHOOK
// command. Hooks are server-wide: set from any connection, used up by the
// next matching commands of any client. See devserver/README.md.
#include "server.h"

namespace dev {

static bool hookMatches(const Hook &h, const Args &a) {
    if (h.match.size() == 1 && h.match[0] == "*") return true;
    if (a.size() < h.match.size()) return false;
    for (size_t i = 0; i < h.match.size(); i++)
        if (!ieq(h.match[i], a[i])) return false;
    return true;
}

HookEffects takeHooks(const Args &a) {
    HookEffects e;
    bool seen[5] = {false, false, false, false, false};
    for (auto it = srv.hooks.begin(); it != srv.hooks.end();) {
        Hook &h = *it;
        if (seen[h.kind] || !hookMatches(h, a)) {
            ++it;
            continue;
        }
        seen[h.kind] = true;
        switch (h.kind) {
        case H_REPLY:
            e.replaced = true;
            e.reply = h.data;
            break;
        case H_PREFIX:
            e.prefix = h.data;
            break;
        case H_DELAY:
            e.delay_ms = h.num;
            break;
        case H_CLOSE:
            e.close_after = h.num;
            break;
        case H_AFTER:
            e.after = h.action;
            break;
        }
        if (h.remaining > 0 && --h.remaining == 0)
            it = srv.hooks.erase(it);
        else
            ++it;
    }
    return e;
}

static bool fromHex(const std::string &s, std::string &out) {
    std::string t;
    for (char ch : s)
        if (!isspace((unsigned char)ch)) t += ch;
    if (t.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < t.size(); i += 2) {
        int v = 0;
        for (int k = 0; k < 2; k++) {
            char ch = t[i + size_t(k)];
            int d = ch >= '0' && ch <= '9'   ? ch - '0'
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                             : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out += char(v);
    }
    return true;
}

static std::vector<std::string> splitWords(const std::string &s) {
    std::vector<std::string> r;
    std::string cur;
    for (char ch : s) {
        if (ch == ' ') {
            if (!cur.empty()) r.push_back(lower(cur));
            cur.clear();
        } else {
            cur += ch;
        }
    }
    if (!cur.empty()) r.push_back(lower(cur));
    return r;
}

static const char *kindName(HookKind k) {
    switch (k) {
    case H_REPLY:
        return "reply";
    case H_PREFIX:
        return "prefix";
    case H_DELAY:
        return "delay";
    case H_CLOSE:
        return "close";
    case H_AFTER:
        return "after";
    }
    return "?";
}

const long long kMaxHookDelayMs = 86400000;

static void devhookCmd(Client &c, Args &a) {
    if (!srv.hooks_enabled)
        return c.out.error("ERR test hooks are disabled; start the server with "
                           "--enable-test-hooks");
    std::string sub = lower(a[1]);
    if (sub == "reply" || sub == "replyhex" || sub == "prefix" || sub == "prefixhex" ||
        sub == "fail" || sub == "delay" || sub == "close") {
        if (a.size() != 5) return wrongArity(c, "devhook|" + sub);
        Hook h;
        h.match = splitWords(a[2]);
        if (h.match.empty()) return c.out.error("ERR empty command match");
        if (!toLL(a[3], h.remaining) || h.remaining < 0)
            return c.out.error("ERR count must be a non-negative integer (0: until reset)");
        if (sub == "reply" || sub == "prefix" || sub == "fail") {
            h.kind = sub == "prefix" ? H_PREFIX : H_REPLY;
            h.data = sub == "fail" ? "-" + a[4] + "\r\n" : a[4];
        } else if (sub == "replyhex" || sub == "prefixhex") {
            h.kind = sub == "prefixhex" ? H_PREFIX : H_REPLY;
            if (!fromHex(a[4], h.data)) return c.out.error("ERR invalid hex bytes");
        } else {
            h.kind = sub == "delay" ? H_DELAY : H_CLOSE;
            if (!toLL(a[4], h.num) || h.num < 0)
                return c.out.error("ERR value must be a non-negative integer");
            // A day is longer than any test waits, and keeps the release
            // time of a held reply far from overflowing.
            if (h.kind == H_DELAY && h.num > kMaxHookDelayMs)
                return c.out.error("ERR delay must be at most 86400000 ms");
        }
        srv.hooks.push_back(std::move(h));
        return c.out.ok();
    }
    if (sub == "after") {
        // DEVHOOK AFTER MATCH COUNT DEL KEY | RETYPE KEY TYPE
        Hook h;
        h.kind = H_AFTER;
        std::string err;
        if (a.size() < 6 || !afterActionValid(a, 4, err))
            return c.out.error(err.empty() ? "ERR syntax: DEVHOOK AFTER MATCH COUNT DEL KEY | "
                                             "RETYPE KEY TYPE"
                                           : err);
        h.match = splitWords(a[2]);
        if (h.match.empty()) return c.out.error("ERR empty command match");
        if (!toLL(a[3], h.remaining) || h.remaining < 0)
            return c.out.error("ERR count must be a non-negative integer (0: until reset)");
        h.action.assign(a.begin() + 4, a.end());
        srv.hooks.push_back(std::move(h));
        return c.out.ok();
    }
    if (sub == "modkey" && (a.size() == 4 || a.size() == 5)) {
        makeModuleKey(c, a[2], a[3], a.size() == 5 ? a[4] : std::string());
        return c.out.ok();
    }
    if (sub == "info" && (a.size() == 3 || a.size() == 4)) {
        auto &ov = srv.info_overrides;
        for (auto it = ov.begin(); it != ov.end();)
            it = it->first == a[2] ? ov.erase(it) : std::next(it);
        if (a.size() == 4) ov.push_back({a[2], a[3]});
        return c.out.ok();
    }
    if (sub == "sni" && a.size() == 2) return c.out.bulks(srv.sni_names);
    if (sub == "history" && (a.size() == 2 || a.size() == 3)) {
        if (a.size() == 3) {
            if (!ieq(a[2], "clear")) return c.out.error(kSyntax);
            srv.history.clear();
            return c.out.ok();
        }
        // The DEVHOOK HISTORY call itself is the last entry; leave it out.
        std::vector<std::string> h(srv.history.begin(), srv.history.end());
        if (!h.empty()) h.pop_back();
        return c.out.bulks(h);
    }
    if (sub == "list" && a.size() == 2) {
        c.out.array(srv.hooks.size());
        for (auto &h : srv.hooks) {
            std::string m;
            for (auto &w : h.match) {
                if (!m.empty()) m += ' ';
                m += w;
            }
            std::string d =
                (h.kind == H_DELAY || h.kind == H_CLOSE) ? std::to_string(h.num) : quoteArg(h.data);
            if (h.kind == H_AFTER) {
                d.clear();
                for (auto &w : h.action)
                    d += (d.empty() ? "" : " ") + quoteArg(w);
            }
            c.out.bulk(std::string(kindName(h.kind)) + " " + quoteArg(m) + " " +
                       std::to_string(h.remaining) + " " + d);
        }
        return;
    }
    if (syncHookCommand(c, a)) return;
    if (sub == "reset" && a.size() == 2) {
        resetSyncHooks();
        srv.hooks.clear();
        srv.info_overrides.clear();
        srv.sni_names.clear();
        srv.history.clear();
        return c.out.ok();
    }
    if (sub == "cluster" && a.size() >= 3) return clusterHookCmd(c, a);
    c.out.error("ERR unknown DEVHOOK subcommand '" + a[1] + "'; see vorn-devserver --help");
}

void registerHookCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"devhook", -2, F_NOAUTH | F_ADMIN | F_LOADING | F_STALE | F_NOMULTI, 0, 0, 0, devhookCmd},
    };
    if (srv.hooks_enabled) registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
