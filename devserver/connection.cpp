// Connection commands: PING, ECHO, AUTH, HELLO, SELECT, QUIT, RESET, ASKING,
// CLIENT and ACL.
#include "server.h"

namespace dev {

static void pingCmd(Client &c, Args &a) {
    if (a.size() > 2) return wrongArity(c, "ping");
    if (c.out.proto == 2 && c.subCount() > 0) {
        c.out.array(2);
        c.out.bulk("pong");
        c.out.bulk(a.size() == 2 ? a[1] : "");
        return;
    }
    if (a.size() == 2) return c.out.bulk(a[1]);
    c.out.status("PONG");
}

static void echoCmd(Client &c, Args &a) {
    c.out.bulk(a[1]);
}

// Checks a user and password; an empty user name means the default user.
static bool checkUser(const std::string &user, const std::string &pass) {
    auto it = srv.users.find(user);
    if (it == srv.users.end()) return false;
    return it->second.nopass || it->second.pass == pass;
}

static const char *kWrongPass = "WRONGPASS invalid username-password pair or user is disabled.";

static void authCmd(Client &c, Args &a) {
    if (a.size() > 3) return c.out.error(kSyntax);
    if (a.size() == 2 && !srv.requirePass())
        return c.out.error("ERR AUTH <password> called without any password configured for "
                           "the default user. Are you sure your configuration is correct?");
    std::string user = a.size() == 3 ? a[1] : "default";
    const std::string &pass = a.back();
    if (!checkUser(user, pass)) return c.out.error(kWrongPass);
    c.authed = true;
    c.user = user;
    c.out.ok();
}

static void helloCmd(Client &c, Args &a) {
    long long ver = c.out.proto;
    size_t i = 1;
    if (a.size() >= 2) {
        if (!toLL(a[1], ver))
            return c.out.error("ERR Protocol version is not an integer or out of range");
        if (ver < 2 || ver > 3) return c.out.error("NOPROTO unsupported protocol version");
        i = 2;
    }
    std::string user, pass, setname;
    bool have_auth = false, have_name = false;
    for (; i < a.size(); i++) {
        if (ieq(a[i], "auth") && i + 2 < a.size()) {
            user = a[i + 1];
            pass = a[i + 2];
            have_auth = true;
            i += 2;
        } else if (ieq(a[i], "setname") && i + 1 < a.size()) {
            setname = a[i + 1];
            have_name = true;
            i++;
        } else {
            return c.out.error("ERR Syntax error in HELLO option '" + a[i] + "'");
        }
    }
    if (have_auth) {
        if (!checkUser(user, pass)) return c.out.error(kWrongPass);
        c.authed = true;
        c.user = user;
    }
    if (!c.authed)
        return c.out.error("NOAUTH HELLO must be called with the client already authenticated, "
                           "otherwise the HELLO <proto> AUTH <user> <pass> option can be used "
                           "to authenticate the client and select the protocol version at "
                           "the same time");
    if (have_name) {
        if (setname.find_first_of(" \n\r") != std::string::npos)
            return c.out.error("ERR Client names cannot contain spaces, newlines or special "
                               "characters.");
        c.name = setname;
    }
    c.out.proto = int(ver);
    c.out.map(7);
    c.out.bulk("server");
    c.out.bulk("vorn");
    c.out.bulk("version");
    c.out.bulk("255.255.255");
    c.out.bulk("proto");
    c.out.integer(ver);
    c.out.bulk("id");
    c.out.integer((long long)c.id);
    c.out.bulk("mode");
    c.out.bulk("standalone");
    c.out.bulk("role");
    c.out.bulk("master");
    c.out.bulk("modules");
    c.out.array(0);
}

static void selectCmd(Client &c, Args &a) {
    long long n;
    if (!toLL(a[1], n)) return c.out.error(kNotInt);
    if (n < 0 || n >= srv.databases) return c.out.error("ERR DB index is out of range");
    c.db = int(n);
    c.out.ok();
}

static void quitCmd(Client &c, Args &) {
    c.out.ok();
    c.close_after_write = true;
}

static void resetCmd(Client &c, Args &) {
    c.in_multi = c.multi_dirty = false;
    c.queued.clear();
    unwatchAll(c);
    unsubscribeAll(c);
    c.monitor = false;
    c.tracking = c.tracking_bcast = c.tracking_noloop = false;
    c.tracking_prefixes.clear();
    c.db = 0;
    c.out.proto = 2;
    c.name.clear();
    c.authed = !srv.requirePass();
    c.user = "default";
    c.out.status("RESET");
}

static void okCmd(Client &c, Args &) {
    c.out.ok();
}

std::string clientInfoLine(const Client &c) {
    std::string flags;
    if (c.in_multi) flags += 'x';
    if (c.subCount()) flags += 'P';
    if (c.monitor) flags += 'O';
    if (c.tracking) flags += 't';
    if (flags.empty()) flags = "N";
    long long now = nowMs();
    std::string r = "id=" + std::to_string(c.id) + " addr=" + c.addr + " laddr=" + c.laddr +
                    " fd=" + std::to_string(c.conn.fd) + " name=" + c.name +
                    " age=" + std::to_string((now - c.ctime) / 1000) +
                    " idle=" + std::to_string((now - c.last_cmd_ms) / 1000) + " flags=" + flags +
                    " db=" + std::to_string(c.db) + " sub=" + std::to_string(c.channels.size()) +
                    " psub=" + std::to_string(c.patterns.size()) +
                    " multi=" + std::to_string(c.in_multi ? (long long)c.queued.size() : -1) +
                    " qbuf=" + std::to_string(c.in.size() - c.inpos) +
                    " obl=" + std::to_string(c.out.pending()) + " cmd=" + c.last_cmd +
                    " user=" + c.user + " proto=" + std::to_string(c.out.proto);
    return r;
}

static void trackingCmd(Client &c, Args &a) {
    bool on;
    if (ieq(a[2], "on"))
        on = true;
    else if (ieq(a[2], "off"))
        on = false;
    else
        return c.out.error(kSyntax);
    bool bcast = false, noloop = false;
    long long redirect = 0;
    std::vector<std::string> prefixes;
    for (size_t i = 3; i < a.size(); i++) {
        if (ieq(a[i], "bcast")) {
            bcast = true;
        } else if (ieq(a[i], "noloop")) {
            noloop = true;
        } else if (ieq(a[i], "optin") || ieq(a[i], "optout")) {
        } else if (ieq(a[i], "redirect") && i + 1 < a.size()) {
            if (!toLL(a[++i], redirect)) return c.out.error(kNotInt);
            if (!findClient(uint64_t(redirect)))
                return c.out.error("ERR The client ID you want redirect to does not exist");
        } else if (ieq(a[i], "prefix") && i + 1 < a.size()) {
            prefixes.push_back(a[++i]);
        } else {
            return c.out.error(kSyntax);
        }
    }
    if (!prefixes.empty() && !bcast)
        return c.out.error("ERR PREFIX option requires BCAST mode to be enabled");
    // Without a redirection a VOSP2 connection has no way to receive
    // invalidations; it is accepted anyway, as servers do.
    c.tracking = on;
    c.tracking_bcast = on && bcast;
    c.tracking_noloop = on && noloop;
    c.tracking_redirect = on ? uint64_t(redirect) : 0;
    c.tracking_prefixes = on ? prefixes : std::vector<std::string>{};
    if (!on)
        for (auto it = srv.tracked.begin(); it != srv.tracked.end();) {
            it->second.erase(c.id);
            it = it->second.empty() ? srv.tracked.erase(it) : std::next(it);
        }
    c.out.ok();
}

static void clientCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (sub == "id" && a.size() == 2) return c.out.integer((long long)c.id);
    if (sub == "setname" && a.size() == 3) {
        if (a[2].find_first_of(" \n\r") != std::string::npos)
            return c.out.error("ERR Client names cannot contain spaces, newlines or special "
                               "characters.");
        c.name = a[2];
        return c.out.ok();
    }
    if (sub == "getname" && a.size() == 2) {
        if (c.name.empty()) return c.out.null();
        return c.out.bulk(c.name);
    }
    if (sub == "list") {
        std::string r;
        for (auto &[id, cp] : srv.clients)
            if (!cp->closed && clusterVisible(*cp)) r += clientInfoLine(*cp) + "\n";
        return c.out.verbatim(r);
    }
    if (sub == "info" && a.size() == 2) return c.out.verbatim(clientInfoLine(c) + "\n");
    if (sub == "tracking" && a.size() >= 3) return trackingCmd(c, a);
    if (sub == "getredir" && a.size() == 2)
        return c.out.integer(c.tracking ? (long long)c.tracking_redirect : -1);
    if (sub == "kill" && a.size() >= 3) {
        long long killed = 0;
        bool legacy = a.size() == 3;
        for (auto &[id, cp] : srv.clients) {
            if (cp->closed || !clusterVisible(*cp)) continue;
            bool hit = false;
            if (legacy)
                hit = cp->addr == a[2];
            else
                for (size_t i = 2; i + 1 < a.size(); i += 2)
                    if ((ieq(a[i], "id") && std::to_string(id) == a[i + 1]) ||
                        (ieq(a[i], "addr") && cp->addr == a[i + 1]))
                        hit = true;
            if (!hit) continue;
            killed++;
            if (cp.get() == &c)
                c.close_after_write = true;
            else
                freeClient(*cp);
        }
        if (legacy) return killed ? c.out.ok() : c.out.error("ERR No such client");
        return c.out.integer(killed);
    }
    if (sub == "no-evict" || sub == "no-touch" || sub == "reply" || sub == "pause" ||
        sub == "unpause" || sub == "setinfo")
        return c.out.ok();
    c.out.error("ERR unknown subcommand '" + a[1] + "'. Try CLIENT HELP.");
}

static void aclCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (sub == "whoami" && a.size() == 2) return c.out.bulk(c.user);
    if (sub == "users" && a.size() == 2) {
        c.out.array(srv.users.size());
        for (auto &[n, u] : srv.users)
            c.out.bulk(n);
        return;
    }
    if (sub == "setuser" && a.size() >= 3) {
        User &u = srv.users[a[2]];
        for (size_t i = 3; i < a.size(); i++) {
            const std::string &r = a[i];
            if (!r.empty() && r[0] == '>') {
                u.pass = r.substr(1);
                u.nopass = false;
            } else if (ieq(r, "nopass")) {
                u.nopass = true;
            } else if (ieq(r, "resetpass")) {
                u.nopass = false;
                u.pass.clear();
            }
            // Permission rules (on, ~*, +@all, ...) are accepted and ignored.
        }
        return c.out.ok();
    }
    if (sub == "deluser" && a.size() >= 3) {
        long long n = 0;
        for (size_t i = 2; i < a.size(); i++)
            if (a[i] != "default") n += (long long)srv.users.erase(a[i]);
        return c.out.integer(n);
    }
    if (sub == "list" && a.size() == 2) {
        c.out.array(srv.users.size());
        for (auto &[n, u] : srv.users)
            c.out.bulk("user " + n + " on " + (u.nopass ? "nopass" : "#<password>") +
                       " ~* &* +@all");
        return;
    }
    c.out.error("ERR unknown subcommand '" + a[1] + "'. Try ACL HELP.");
}

void registerConnectionCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"ping", -1, F_FAST, 0, 0, 0, pingCmd},
        {"echo", 2, F_FAST, 0, 0, 0, echoCmd},
        {"auth", -2, F_NOAUTH | F_FAST | F_LOADING | F_STALE | F_NOMULTI, 0, 0, 0, authCmd},
        {"hello", -1, F_NOAUTH | F_FAST | F_LOADING | F_STALE | F_NOMULTI, 0, 0, 0, helloCmd},
        {"select", 2, F_FAST | F_LOADING | F_STALE, 0, 0, 0, selectCmd},
        {"quit", -1, F_NOAUTH | F_FAST | F_LOADING | F_STALE | F_NOMULTI, 0, 0, 0, quitCmd},
        {"reset", 1, F_NOAUTH | F_FAST | F_LOADING | F_STALE | F_NOMULTI, 0, 0, 0, resetCmd},
        {"asking", 1, F_FAST, 0, 0, 0, okCmd},
        {"readonly", 1, F_FAST, 0, 0, 0, okCmd},
        {"readwrite", 1, F_FAST, 0, 0, 0, okCmd},
        {"client", -2, F_LOADING | F_STALE, 0, 0, 0, clientCmd},
        {"acl", -2, F_ADMIN | F_LOADING | F_STALE, 0, 0, 0, aclCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
