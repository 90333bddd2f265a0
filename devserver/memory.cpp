// Memory: the per-key estimate behind MEMORY USAGE, maxmemory with eviction
// under the LRU, LFU, random and TTL policies, and the access counters
// behind OBJECT FREQ / IDLETIME.
//
// The estimate is deterministic: fixed overheads plus the bytes of the key and
// its elements. maxmemory bounds the sum of the estimates of every key (the
// data set); the total is kept per key in Entry::mem while maxmemory is set,
// and recomputed in full when it gets set.
#include "server.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

namespace dev {

namespace {

constexpr int kLfuInitVal = 5;
constexpr size_t kEvictionPoolSize = 16;

long long g_total = 0;         // sum of Entry::mem over every database
bool g_tracking = false;       // the total is current (maxmemory was set)
long long g_evicted = 0;       // keys evicted since start
uint64_t g_tick = 0;           // logical clock of accesses, for LRU
std::mt19937_64 g_rng(424242); // fixed seed: runs repeat exactly

// ---- configuration ----

// A memory amount as the server accepts it: digits with an optional unit
// (k / kb / m / mb / g / gb, either case; kb, mb, gb are powers of 1024).
bool parseMemory(const std::string &s, long long &out) {
    size_t i = 0;
    while (i < s.size() && isdigit((unsigned char)s[i]))
        i++;
    if (i == 0 || i > 18) return false;
    long long v = std::stoll(s.substr(0, i));
    std::string unit = lower(s.substr(i));
    long long mul = unit.empty() || unit == "b" ? 1
                    : unit == "k"               ? 1000
                    : unit == "kb"              ? 1024
                    : unit == "m"               ? 1000 * 1000
                    : unit == "mb"              ? 1024 * 1024
                    : unit == "g"               ? 1000LL * 1000 * 1000
                    : unit == "gb"              ? 1024LL * 1024 * 1024
                                                : -1;
    if (mul < 0 || v > (1LL << 50)) return false;
    out = v * mul;
    return true;
}

long long configNumber(const char *name, long long fallback) {
    auto it = srv.config.find(name);
    long long v;
    if (it == srv.config.end() || !parseMemory(it->second, v)) return fallback;
    return v;
}

// The settings read on every command, parsed once per change: CONFIG SET
// shows every value to memoryConfigValid before it stores it, which marks
// them stale.
struct Settings {
    bool stale = true;
    long long maxmemory = 0, samples = 5, log_factor = 10, decay_time = 1;
    std::string policy = "noeviction";
};
Settings g_settings;

const Settings &settings() {
    if (g_settings.stale) {
        g_settings.maxmemory = configNumber("maxmemory", 0);
        g_settings.samples = configNumber("maxmemory-samples", 5);
        g_settings.log_factor = configNumber("lfu-log-factor", 10);
        g_settings.decay_time = configNumber("lfu-decay-time", 1);
        g_settings.policy = lower(srv.config["maxmemory-policy"]);
        g_settings.stale = false;
    }
    return g_settings;
}

const char *const kPolicies[] = {"volatile-lru", "volatile-lfu", "volatile-random", "volatile-ttl",
                                 "allkeys-lru",  "allkeys-lfu",  "allkeys-random",  "noeviction"};

bool lfuPolicy() {
    return settings().policy.find("lfu") != std::string::npos;
}

// Access times need no more than a few milliseconds of precision (idle
// seconds, decay minutes), and are taken on every access: the coarse clock
// costs next to nothing.
long long coarseMs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// ---- the estimate ----

long long elementSize(const std::string &s, long long overhead) {
    return (long long)s.size() + overhead;
}

// Bytes of the value; aggregates are estimated from their first `samples`
// elements (0: all of them) scaled to their length.
long long valueSize(const Entry &e, long long samples) {
    if (!e.module_type.empty()) return 16 + (long long)std::get<std::string>(e.v).size();
    return std::visit(
        [samples](auto &x) -> long long {
            using T = std::decay_t<decltype(x)>;
            long long n = 0, sum = 0, total = 0;
            auto add = [&](long long bytes) {
                if (samples == 0 || n < samples) {
                    sum += bytes;
                    n++;
                }
                total++;
            };
            if constexpr (std::is_same_v<T, std::string>)
                return 16 + (long long)x.size();
            else if constexpr (std::is_same_v<T, List>)
                for (auto &s : x)
                    add(elementSize(s, 16));
            else if constexpr (std::is_same_v<T, SetT>)
                for (auto &s : x.items)
                    add(elementSize(s.first, 24));
            else if constexpr (std::is_same_v<T, HashT>)
                for (auto &s : x.items)
                    add(elementSize(s.first, 32) + (long long)s.second.size());
            else if constexpr (std::is_same_v<T, ZSet>)
                for (auto &s : x.order)
                    add(elementSize(s.second, 40));
            else
                for (auto &en : x.entries) {
                    long long b = 16;
                    for (auto &f : en.fields)
                        b += elementSize(f, 8);
                    add(b);
                }
            if (n == 0) return 16;
            return 16 + (n == total ? sum : (long long)((double)sum / (double)n * (double)total));
        },
        e.v);
}

long long keyMemory(const std::string &key, const Entry &e, long long samples) {
    return 32 + (long long)key.size() + valueSize(e, samples);
}

void account(const std::string &key, Entry &e) {
    long long m = keyMemory(key, e, 0);
    g_total += m - e.mem;
    e.mem = m;
}

void recomputeAll() {
    g_total = 0;
    for (auto &db : srv.dbs)
        for (auto &k : db.allKeys())
            if (Entry *e = db.find(k)) {
                e->mem = 0;
                account(k, *e);
            }
}

// ---- access counters ----

uint8_t lfuDecayed(const Entry &e, long long now) {
    long long period = settings().decay_time;
    if (period <= 0 || e.atime_ms == 0) return uint8_t(std::min<uint32_t>(e.freq, 255));
    long long periods = (now - e.atime_ms) / 60000 / period;
    long long f = (long long)e.freq - periods;
    return uint8_t(std::clamp<long long>(f, 0, 255));
}

// The logarithmic counter: the higher it is, the less likely an access
// raises it (never beyond 255); lfu-log-factor 0 counts every access.
void touchEntry(Entry &e) {
    long long now = coarseMs();
    long long factor = settings().log_factor;
    uint32_t counter = lfuDecayed(e, now);
    if (counter < 255) {
        double base = std::max(0.0, double(counter) - kLfuInitVal);
        double p = 1.0 / (base * double(factor) + 1);
        if (std::uniform_real_distribution<double>(0, 1)(g_rng) < p) counter++;
    }
    e.freq = counter;
    e.atime_ms = now;
    e.lru_tick = ++g_tick;
}

// Commands that look at a key without counting as an access to it.
bool touchesKeys(const Command &cmd) {
    static const char *const kNoTouch[] = {"type", "exists",     "object",      "ttl",
                                           "pttl", "expiretime", "pexpiretime", "memory"};
    for (const char *n : kNoTouch)
        if (strcmp(cmd.name, n) == 0) return false;
    return true;
}

// ---- eviction ----

struct Candidate {
    double score; // higher: evicted first
    int db;
    std::string key;
};
std::vector<Candidate> g_pool; // ascending score, at most kEvictionPoolSize

void poolInsert(double score, int db, const std::string &key) {
    for (auto &c : g_pool)
        if (c.db == db && c.key == key) {
            c.score = score;
            std::sort(g_pool.begin(), g_pool.end(),
                      [](const Candidate &x, const Candidate &y) { return x.score < y.score; });
            return;
        }
    if (g_pool.size() >= kEvictionPoolSize && score <= g_pool.front().score) return;
    auto at = std::lower_bound(g_pool.begin(), g_pool.end(), score,
                               [](const Candidate &c, double s) { return c.score < s; });
    g_pool.insert(at, Candidate{score, db, key});
    if (g_pool.size() > kEvictionPoolSize) g_pool.erase(g_pool.begin());
}

void evictKey(int dbnum, const std::string &key) {
    Db &db = srv.dbs[size_t(dbnum)];
    if (!db.del(key)) return;
    g_evicted++;
    std::vector<std::string> keys{key};
    touchWatched(dbnum, &keys);
    invalidateKeys(nullptr, keys);
}

// Evicts one key under the policy; false when no key qualifies.
bool evictOne(const std::string &policy) {
    bool volatile_only = policy.rfind("volatile-", 0) == 0;
    long long samples = std::max(1LL, settings().samples);
    if (policy.find("random") != std::string::npos) {
        // Databases in turn, starting at a random one.
        size_t n = srv.dbs.size(), first = size_t(g_rng() % n);
        for (size_t i = 0; i < n; i++) {
            int d = int((first + i) % n);
            std::string key;
            if (srv.dbs[size_t(d)].sampleKey(g_rng(), volatile_only, key)) {
                evictKey(d, key);
                return true;
            }
        }
        return false;
    }
    long long now = coarseMs();
    for (size_t d = 0; d < srv.dbs.size(); d++) {
        Db &db = srv.dbs[d];
        if (db.size() == 0 || (volatile_only && db.expires() == 0)) continue;
        for (long long i = 0; i < samples; i++) {
            std::string key;
            if (!db.sampleKey(g_rng(), volatile_only, key)) break;
            Entry *e = db.find(key);
            if (!e) continue;
            double score;
            if (policy.find("lru") != std::string::npos)
                score = double(g_tick - e->lru_tick);
            else if (policy.find("lfu") != std::string::npos)
                score = 255.0 - lfuDecayed(*e, now);
            else // volatile-ttl: the nearest expiry goes first
                score = -double(e->expire);
            poolInsert(score, int(d), key);
        }
    }
    while (!g_pool.empty()) {
        Candidate best = std::move(g_pool.back());
        g_pool.pop_back();
        Db &db = srv.dbs[size_t(best.db)];
        Entry *e = db.find(best.key);
        if (!e || (volatile_only && e->expire < 0)) continue;
        evictKey(best.db, best.key);
        return true;
    }
    return false;
}

// ---- MEMORY and OBJECT ----

void memoryCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (sub == "usage" && a.size() >= 3) {
        long long samples = 5;
        for (size_t i = 3; i < a.size(); i++) {
            if (ieq(a[i], "samples") && i + 1 < a.size()) {
                if (!toLL(a[++i], samples) || samples < 0) return c.out.error(kNotInt);
            } else {
                return c.out.error(kSyntax);
            }
        }
        Entry *e = srv.dbs[c.db].find(a[2]);
        if (!e) return c.out.null();
        return c.out.integer(keyMemory(a[2], *e, samples));
    }
    if (sub == "stats" && a.size() == 2) {
        c.out.map(3);
        c.out.bulk("dataset.bytes");
        c.out.integer(g_tracking ? g_total : -1);
        c.out.bulk("keys.count");
        long long keys = 0;
        for (auto &db : srv.dbs)
            keys += (long long)db.size();
        c.out.integer(keys);
        c.out.bulk("evicted.keys");
        c.out.integer(g_evicted);
        return;
    }
    if (sub == "doctor") return c.out.verbatim("Hi Sam, I can't find any memory issue.\n");
    if (sub == "malloc-stats") return c.out.verbatim("Stats not supported by this allocator\n");
    c.out.error("ERR unknown subcommand '" + a[1] + "'. Try MEMORY HELP.");
}

void objectCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (a.size() != 3) return c.out.error("ERR unknown subcommand or wrong number of arguments");
    Entry *e = srv.dbs[c.db].find(a[2]);
    if (!e) return c.out.null();
    long long now = coarseMs();
    if (sub == "freq") {
        if (!lfuPolicy())
            return c.out.error("ERR An LFU maxmemory policy is not selected, access frequency "
                               "not tracked. Please note that when switching between policies "
                               "at runtime LRU and LFU data will take some time to adjust.");
        return c.out.integer(lfuDecayed(*e, now));
    }
    if (sub == "idletime") {
        if (lfuPolicy())
            return c.out.error("ERR An LRU maxmemory policy is selected, idle time not "
                               "tracked. Please note that when switching between policies at "
                               "runtime LRU and LFU data will take some time to adjust.");
        long long since = e->atime_ms ? e->atime_ms : srv.start_ms;
        return c.out.integer((now - since) / 1000);
    }
    if (sub == "refcount") return c.out.integer(1);
    if (sub == "encoding") {
        static const char *enc[] = {"raw",       "quicklist", "hashtable",
                                    "hashtable", "skiplist",  "stream"};
        return c.out.bulk(enc[e->v.index()]);
    }
    c.out.error("ERR unknown subcommand '" + a[1] + "'. Try OBJECT HELP.");
}

} // namespace

bool Db::sampleKey(uint64_t rnd, bool volatile_only, std::string &out) const {
    // A random bucket of the hash table, then a random entry of its chain:
    // constant time on average, whatever the size.
    auto pick = [&](const auto &table, auto keyOf) {
        if (table.empty()) return false;
        size_t buckets = table.bucket_count();
        for (int tries = 0; tries < 1000; tries++, rnd = rnd * 6364136223846793005ULL + 1) {
            size_t b = size_t(rnd % buckets);
            size_t n = table.bucket_size(b);
            if (n == 0) continue;
            auto it = table.begin(b);
            std::advance(it, long((rnd >> 32) % n));
            out = keyOf(*it);
            return true;
        }
        out = keyOf(*table.begin());
        return true;
    };
    if (volatile_only) return pick(volatile_keys, [](const std::string &k) { return k; });
    return pick(map, [](const auto &kv) { return kv.first; });
}

bool memoryAllowsCommand(Client &c, const Command &cmd) {
    long long maxmemory = settings().maxmemory;
    if (maxmemory <= 0) {
        g_tracking = false;
        return true;
    }
    if (!g_tracking) {
        recomputeAll();
        g_tracking = true;
        g_pool.clear();
    }
    if (g_total <= maxmemory) return true;
    const std::string &policy = settings().policy;
    if (policy != "noeviction")
        while (g_total > maxmemory && evictOne(policy)) {
        }
    if (g_total > maxmemory && (cmd.flags & F_DENYOOM)) {
        c.out.error("OOM command not allowed when used memory > 'maxmemory'.");
        return false;
    }
    return true;
}

KeyAccess::KeyAccess(Client &c, const Command &cmd, const Args &a) : cmd(cmd), a(a), db(c.db) {}

void KeyAccess::finish() {
    if (cmd.first <= 0 || size_t(db) >= srv.dbs.size()) return;
    bool touch = touchesKeys(cmd);
    if (!touch && !(cmd.flags & F_WRITE)) return; // a look that leaves no trace
    int last = cmd.last < 0 ? int(a.size()) + cmd.last : cmd.last;
    Db &d = srv.dbs[size_t(db)];
    for (int i = cmd.first; i <= last && i < int(a.size()); i += std::max(1, cmd.step)) {
        const std::string &key = a[size_t(i)];
        Entry *e = d.find(key);
        if (!e) continue;
        if (e->lru_tick == 0) {
            // Never seen by a command: a new key starts with the initial
            // counter, accessed now.
            e->freq = kLfuInitVal;
            e->atime_ms = coarseMs();
            e->lru_tick = ++g_tick;
        } else if (touch) {
            touchEntry(*e);
        }
        if (g_tracking && (cmd.flags & F_WRITE)) account(key, *e);
    }
}

void memoryForget(const Entry &e) {
    g_total -= e.mem;
}

bool memoryConfigValid(const std::string &name, const std::string &value, std::string &err) {
    g_settings.stale = true;
    long long v;
    if (name == "maxmemory" || name == "maxmemory-samples" || name == "lfu-log-factor" ||
        name == "lfu-decay-time") {
        if (parseMemory(value, v) &&
            (name == "maxmemory" || value.find_first_not_of("0123456789") == std::string::npos))
            return true;
        err =
            "ERR CONFIG SET failed (possibly related to argument '" + name + "') - argument " +
            (name == "maxmemory" ? "must be a memory value" : "couldn't be parsed into an integer");
        return false;
    }
    if (name == "maxmemory-policy") {
        for (const char *p : kPolicies)
            if (lower(value) == p) return true;
        err = "ERR CONFIG SET failed (possibly related to argument 'maxmemory-policy') - "
              "argument(s) must be one of the following: volatile-lru, volatile-lfu, "
              "volatile-random, volatile-ttl, allkeys-lru, allkeys-lfu, allkeys-random, "
              "noeviction";
        return false;
    }
    return true;
}

long long evictedKeys() {
    return g_evicted;
}

void registerMemoryCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"memory", -2, F_READONLY, 0, 0, 0, memoryCmd},
        {"object", -2, F_READONLY, 2, 2, 1, objectCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
