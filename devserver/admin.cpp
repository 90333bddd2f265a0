// Server commands: INFO, DBSIZE, FLUSHDB / FLUSHALL, CONFIG, DEBUG, TIME,
// LOLWUT, LATENCY, SHUTDOWN; and the demo data set. MEMORY and OBJECT are in
// memory.cpp.
#include "server.h"

#include <cstdio>
#include <unistd.h>

namespace dev {

static std::string human(long long bytes) {
    char b[32];
    if (bytes < 1024)
        snprintf(b, sizeof b, "%lldB", bytes);
    else if (bytes < 1024 * 1024)
        snprintf(b, sizeof b, "%.2fK", bytes / 1024.0);
    else if (bytes < 1024LL * 1024 * 1024)
        snprintf(b, sizeof b, "%.2fM", bytes / 1048576.0);
    else
        snprintf(b, sizeof b, "%.2fG", bytes / 1073741824.0);
    return b;
}

static long long usedMemory() {
    // A rough figure: what the key space and buffers hold, plus a base.
    long long m = 1024 * 1024;
    for (auto &db : srv.dbs)
        m += (long long)db.size() * 64;
    for (auto &[id, c] : srv.clients)
        m += (long long)(c->in.capacity() + c->out.buf.capacity());
    return m;
}

using Section = std::pair<std::string, std::vector<std::pair<std::string, std::string>>>;

static std::vector<Section> infoSections() {
    long long now = nowMs();
    long long up = (now - srv.start_ms) / 1000;
    long long mem = usedMemory();
    long long blocked = 0, clients = 0, pubsub = 0;
    for (auto &[id, c] : srv.clients)
        if (!c->closed && clusterVisible(*c)) clients++;
    for (auto &[ch, s] : srv.channels)
        pubsub += (long long)!s.empty();
    auto n = [](long long v) { return std::to_string(v); };
    std::vector<Section> s;
    s.push_back({"Server",
                 {{"vorn_version", "255.255.255"},
                  {"vorn_mode", "standalone"},
                  {"os", "Linux"},
                  {"arch_bits", "64"},
                  {"multiplexing_api", "poll"},
                  {"process_id", n(getpid())},
                  {"tcp_port", n(srv.port)},
                  {"server_time_usec", n(nowUs())},
                  {"uptime_in_seconds", n(up)},
                  {"uptime_in_days", n(up / 86400)},
                  {"executable", "vorn-devserver"}}});
    s.push_back({"Clients",
                 {{"connected_clients", n(clients)},
                  {"blocked_clients", n(blocked)},
                  {"tracking_clients", n(0)},
                  {"pubsub_clients", n(pubsub)}}});
    s.push_back({"Memory",
                 {{"used_memory", n(mem)},
                  {"used_memory_human", human(mem)},
                  {"used_memory_rss", n(mem)},
                  {"used_memory_peak", n(mem)},
                  {"maxmemory", srv.config["maxmemory"]},
                  {"maxmemory_policy", srv.config["maxmemory-policy"]},
                  {"mem_fragmentation_ratio", "1.00"}}});
    s.push_back({"Persistence",
                 {{"loading", "0"},
                  {"async_loading", "0"},
                  {"vdb_changes_since_last_save", "0"},
                  {"vdb_bgsave_in_progress", "0"},
                  {"bgsave_in_progress", "0"},
                  {"aof_enabled", "0"},
                  {"aof_rewrite_in_progress", "0"}}});
    s.push_back({"Stats",
                 {{"total_connections_received", n(srv.total_connections)},
                  {"total_commands_processed", n(srv.total_commands)},
                  {"instantaneous_ops_per_sec", "0"},
                  {"total_net_input_bytes", n(srv.net_in)},
                  {"total_net_output_bytes", n(srv.net_out)},
                  {"rejected_connections", n(srv.rejected)},
                  {"expired_keys", n(srv.expired_keys)},
                  {"evicted_keys", n(evictedKeys())},
                  {"keyspace_hits", n(srv.keyspace_hits)},
                  {"keyspace_misses", n(srv.keyspace_misses)},
                  {"pubsub_channels", n(pubsub)},
                  {"pubsub_patterns", n((long long)srv.patterns.size())}}});
    s.push_back({"Replication",
                 {{"role", "master"}, {"connected_slaves", "0"}, {"master_repl_offset", "0"}}});
    s.push_back({"CPU", {{"used_cpu_sys", "0.000000"}, {"used_cpu_user", "0.000000"}}});
    s.push_back({"Cluster", {{"cluster_enabled", clusterEnabled() ? "1" : "0"}}});
    Section ks{"Keyspace", {}};
    for (size_t i = 0; i < srv.dbs.size(); i++) {
        size_t keys = srv.dbs[i].size();
        if (!keys) continue;
        ks.second.push_back({"db" + std::to_string(i),
                             "keys=" + n((long long)keys) +
                                 ",expires=" + n((long long)srv.dbs[i].expires()) + ",avg_ttl=0"});
    }
    s.push_back(ks);
    // Test-hook overrides: replace a field where it is, or add it to the
    // last section shown.
    for (auto &[k, v] : srv.info_overrides) {
        bool found = false;
        for (auto &sec : s)
            for (auto &f : sec.second)
                if (f.first == k) {
                    f.second = v;
                    found = true;
                }
        if (!found) s.push_back({"Overrides", {{k, v}}});
    }
    return s;
}

static void infoCmd(Client &c, Args &a) {
    auto secs = infoSections();
    std::vector<std::string> want;
    for (size_t i = 1; i < a.size(); i++)
        want.push_back(lower(a[i]));
    bool all = want.empty();
    for (auto &w : want)
        if (w == "all" || w == "everything" || w == "default") all = true;
    std::string r;
    for (auto &sec : secs) {
        bool show = all || sec.first == "Overrides";
        for (auto &w : want)
            if (w == lower(sec.first)) show = true;
        if (!show) continue;
        if (!r.empty() && sec.first == "Overrides") {
            // Extra fields continue the text without a header of their own.
            for (auto &[k, v] : sec.second)
                r += k + ":" + v + "\r\n";
            continue;
        }
        if (!r.empty()) r += "\r\n";
        r += "# " + sec.first + "\r\n";
        for (auto &[k, v] : sec.second)
            r += k + ":" + v + "\r\n";
    }
    c.out.verbatim(r);
}

static void dbsizeCmd(Client &c, Args &) {
    srv.dbs[c.db].activeExpire(nowMs());
    c.out.integer((long long)srv.dbs[c.db].size());
}

static void flushdbCmd(Client &c, Args &a) {
    if (a.size() > 2 || (a.size() == 2 && !ieq(a[1], "async") && !ieq(a[1], "sync")))
        return c.out.error(kSyntax);
    if (ieq(a[0], "flushall"))
        for (auto &db : srv.dbs)
            db.clear();
    else
        srv.dbs[c.db].clear();
    if (!c.no_propagate) { // a private copy was flushed: nobody else notices
        touchWatched(ieq(a[0], "flushall") ? -1 : c.db, nullptr);
        invalidateAll();
    }
    c.out.ok();
}

static void configCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (sub == "get" && a.size() >= 3) {
        std::vector<std::pair<std::string, std::string>> r;
        for (size_t i = 2; i < a.size(); i++)
            for (auto &[k, v] : srv.config)
                if (globMatch(lower(a[i]), k)) r.push_back({k, v});
        c.out.map(r.size());
        for (auto &[k, v] : r) {
            c.out.bulk(k);
            c.out.bulk(v);
        }
        return;
    }
    if (sub == "set" && a.size() >= 4 && a.size() % 2 == 0) {
        for (size_t i = 2; i + 1 < a.size(); i += 2) {
            std::string k = lower(a[i]), err;
            if (!srv.config.count(k))
                return c.out.error("ERR Unknown option or number of arguments for CONFIG SET - '" +
                                   a[i] + "'");
            if (!memoryConfigValid(k, a[i + 1], err)) return c.out.error(err);
        }
        for (size_t i = 2; i + 1 < a.size(); i += 2)
            srv.config[lower(a[i])] = a[i + 1];
        return c.out.ok();
    }
    // A cluster node always has its node configuration file, so it can
    // rewrite its configuration; a plain instance is started without one.
    if (sub == "rewrite" && a.size() == 2)
        return clusterEnabled() ? c.out.ok()
                                : c.out.error("ERR The server is running without a config file");
    if (sub == "resetstat" && a.size() == 2) {
        srv.total_commands = srv.total_connections = srv.rejected = 0;
        srv.keyspace_hits = srv.keyspace_misses = srv.expired_keys = 0;
        srv.net_in = srv.net_out = 0;
        return c.out.ok();
    }
    c.out.error("ERR unknown subcommand or wrong number of arguments for '" + a[1] + "'");
}

static void debugCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (sub == "sleep" && a.size() == 3) {
        double secs;
        if (!toDouble(a[2], secs) || secs < 0 || secs > 3600)
            return c.out.error("ERR value is not a valid float");
        usleep(useconds_t(secs * 1e6));
        return c.out.ok();
    }
    if (sub == "digest-value") {
        c.out.array(a.size() - 2);
        for (size_t i = 2; i < a.size(); i++) {
            Entry *e = srv.dbs[c.db].find(a[i]);
            std::string d(40, '0');
            if (e) {
                // FNV-1a over the type and a canonical rendering; enough to
                // tell equal values from different ones.
                unsigned long long h = 1469598103934665603ULL ^ e->v.index();
                auto mix = [&](const std::string &s) {
                    for (unsigned char ch : s)
                        h = (h ^ ch) * 1099511628211ULL;
                    h = (h ^ 0xff) * 1099511628211ULL;
                };
                std::visit(
                    [&](auto &v) {
                        using T = std::decay_t<decltype(v)>;
                        if constexpr (std::is_same_v<T, std::string>)
                            mix(v);
                        else if constexpr (std::is_same_v<T, List>)
                            for (auto &x : v)
                                mix(x);
                        else if constexpr (std::is_same_v<T, SetT>)
                            for (auto &x : v.items)
                                mix(x.first);
                        else if constexpr (std::is_same_v<T, HashT>)
                            for (auto &x : v.items)
                                mix(x.first), mix(x.second);
                        else if constexpr (std::is_same_v<T, ZSet>)
                            for (auto &x : v.order)
                                mix(x.second), mix(fmtDouble(x.first));
                        else
                            for (auto &x : v.entries)
                                for (auto &f : x.fields)
                                    mix(f);
                    },
                    e->v);
                char b[48];
                snprintf(b, sizeof b, "%016llx%016llx%08llx", h, h * 31, h & 0xffffffffULL);
                d = b;
            }
            c.out.bulk(d);
        }
        return;
    }
    if (sub == "set-active-expire" || sub == "jmap" || sub == "quicklist-packed-threshold")
        return c.out.ok();
    c.out.error("ERR unknown subcommand '" + a[1] + "'. Try DEBUG HELP.");
}

static void timeCmd(Client &c, Args &) {
    long long us = nowUs();
    c.out.array(2);
    c.out.bulk(std::to_string(us / 1000000));
    c.out.bulk(std::to_string(us % 1000000));
}

static void lolwutCmd(Client &c, Args &) {
    c.out.verbatim("   .-.\n  (o o)  vorn-devserver\n  | O \\\n   \\   \\\n    `~~~'\n"
                   "Vorn ver. 255.255.255\n");
}

static void latencyCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (sub == "doctor")
        return c.out.verbatim("Dave, no latency spike was observed during the lifetime of "
                              "this server instance. The stand-in server keeps no latency "
                              "history.\n");
    if (sub == "latest" || sub == "history") return c.out.array(0);
    if (sub == "reset") return c.out.integer(0);
    if (sub == "graph")
        return c.out.error("ERR No samples available for event '" +
                           (a.size() > 2 ? a[2] : std::string()) + "'");
    c.out.error("ERR unknown subcommand '" + a[1] + "'. Try LATENCY HELP.");
}

static void shutdownCmd(Client &c, Args &) {
    // No reply: the connection closes, as the client expects.
    (void)c;
    requestShutdown();
}

static void saveCmd(Client &c, Args &a) {
    if (ieq(a[0], "bgsave")) return c.out.status("Background saving started");
    if (ieq(a[0], "lastsave")) return c.out.integer(srv.start_ms / 1000);
    c.out.ok();
}

void loadDemoData() {
    Db &db = srv.dbs[0];
    auto str = [&](const char *k, const char *v) {
        db.set(k, Value(std::in_place_type<std::string>, v));
    };
    str("greeting", "Hello, Vorn!");
    str("counter", "42");
    str("user:1:name", "Ada");
    Entry &tmp = db.set("session:tmp", Value(std::in_place_type<std::string>, "expires soon"));
    setExpire(db, "session:tmp", tmp, nowMs() + 3600 * 1000);
    List l{"write tests", "fix bugs", "ship"};
    db.set("todo", Value(std::in_place_type<List>, l));
    SetT s;
    for (const char *m : {"red", "green", "blue"})
        s.put(m, Empty{});
    db.set("colors", Value(std::move(s)));
    HashT h;
    h.put("name", "Ada Lovelace");
    h.put("born", "1815");
    h.put("field", "mathematics");
    db.set("user:1", Value(std::move(h)));
    ZSet z;
    z.scores = {{"alice", 120}, {"bob", 95}, {"carol", 150}};
    for (auto &[m, sc] : z.scores)
        z.order.insert({sc, m});
    db.set("leaderboard", Value(std::move(z)));
    Stream st;
    st.entries.push_back({1700000000000ULL, 0, {"sensor", "t1", "celsius", "21.5"}});
    st.entries.push_back({1700000000001ULL, 0, {"sensor", "t1", "celsius", "21.7"}});
    st.last_ms = 1700000000001ULL;
    db.set("readings", Value(std::move(st)));
    srv.dbs[1].set("db1:note", Value(std::in_place_type<std::string>, "database 1"));
}

void registerServerCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"info", -1, F_LOADING | F_STALE, 0, 0, 0, infoCmd},
        {"dbsize", 1, F_READONLY | F_FAST, 0, 0, 0, dbsizeCmd},
        {"flushdb", -1, F_WRITE, 0, 0, 0, flushdbCmd},
        {"flushall", -1, F_WRITE, 0, 0, 0, flushdbCmd},
        {"config", -2, F_ADMIN | F_LOADING | F_STALE, 0, 0, 0, configCmd},
        {"debug", -2, F_ADMIN | F_LOADING | F_STALE, 0, 0, 0, debugCmd},
        {"time", 1, F_LOADING | F_STALE | F_FAST, 0, 0, 0, timeCmd},
        {"lolwut", -1, F_READONLY | F_FAST, 0, 0, 0, lolwutCmd},
        {"latency", -2, F_ADMIN | F_LOADING | F_STALE, 0, 0, 0, latencyCmd},
        {"shutdown", -1, F_ADMIN | F_LOADING | F_STALE | F_NOMULTI, 0, 0, 0, shutdownCmd},
        {"save", 1, F_ADMIN, 0, 0, 0, saveCmd},
        {"bgsave", -1, F_ADMIN, 0, 0, 0, saveCmd},
        {"lastsave", 1, F_LOADING | F_STALE | F_FAST, 0, 0, 0, saveCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
