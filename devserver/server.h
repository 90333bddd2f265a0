// vorn-devserver: shared types of the in-memory stand-in server.
//
// One process, one thread, one poll loop. Everything the command handlers need
// hangs off the global `srv`; a handler gets the calling client and its
// arguments and writes its reply through the client's reply writer.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include <openssl/ssl.h>

namespace dev {

using Args = std::vector<std::string>;

long long nowMs();
long long nowUs();
std::string lower(std::string_view s);
std::string upper(std::string_view s);
bool ieq(std::string_view a, std::string_view b);
// Strict decimal integer, as the server accepts it in arguments.
bool toLL(std::string_view s, long long &out);
bool toDouble(std::string_view s, double &out);
std::string fmtDouble(double d);
// Quoted representation used by MONITOR lines and the command history.
std::string quoteArg(std::string_view s);
bool globMatch(std::string_view pat, std::string_view str, bool nocase = false);

// ---- reply writer (VOSP2 / VOSP3 aware) ----
class ReplyWriter {
  public:
    std::string buf; // output, of which the first `sent` bytes are written
    size_t sent = 0;
    int proto = 2;

    size_t pending() const { return buf.size() - sent; }
    // Drops what has been written. The buffer moves only once the written
    // part is large and at least half of it, so a large reply leaves in
    // linear time whatever the socket takes per write.
    void consumed(size_t n);

    void raw(std::string_view s) { buf.append(s); }
    void status(std::string_view s);
    void error(std::string_view s); // s without the leading '-'
    void integer(long long v);
    void bulk(std::string_view s);
    void null();      // missing value
    void nullArray(); // missing aggregate
    void array(size_t n);
    void map(size_t n); // n pairs
    void set(size_t n);
    void push(size_t n);
    void dbl(double d);
    void boolean(bool b);
    void verbatim(std::string_view s, const char *fmt = "txt");
    void ok() { raw("+OK\r\n"); }
    void bulks(const std::vector<std::string> &v);
};

// ---- request parser ----
enum class ParseResult { Need, Ok, Error };
// Parses one request from buf starting at pos; on Ok fills args and advances
// pos; on Error sets err to the text of the error reply (without '-').
ParseResult parseRequest(const std::string &buf, size_t &pos, Args &args, std::string &err);
constexpr long long kMaxBulk = 512LL * 1024 * 1024;
constexpr long long kMaxArgs = 1024 * 1024;
constexpr size_t kMaxInline = 64 * 1024;

// ---- keyspace ----
template <class V> struct OMap {
    std::vector<std::pair<std::string, V>> items; // insertion order
    std::unordered_map<std::string, size_t> pos;
    V *find(const std::string &k) {
        auto it = pos.find(k);
        return it == pos.end() ? nullptr : &items[it->second].second;
    }
    bool put(const std::string &k, V v) {
        auto it = pos.find(k);
        if (it != pos.end()) {
            items[it->second].second = std::move(v);
            return false;
        }
        pos.emplace(k, items.size());
        items.emplace_back(k, std::move(v));
        return true;
    }
    bool erase(const std::string &k) {
        auto it = pos.find(k);
        if (it == pos.end()) return false;
        size_t i = it->second;
        pos.erase(it);
        items.erase(items.begin() + i);
        for (size_t j = i; j < items.size(); j++)
            pos[items[j].first] = j;
        return true;
    }
    size_t size() const { return items.size(); }
};
struct Empty {};
using List = std::deque<std::string>;
using SetT = OMap<Empty>;
using HashT = OMap<std::string>;
struct ZSet {
    std::unordered_map<std::string, double> scores;
    std::set<std::pair<double, std::string>> order;
    size_t size() const { return scores.size(); }
};
struct StreamEntry {
    uint64_t ms = 0, seq = 0;
    std::vector<std::string> fields;
};
struct Stream {
    std::vector<StreamEntry> entries;
    uint64_t last_ms = 0, last_seq = 0;
};
enum VType { T_STRING = 0, T_LIST, T_SET, T_HASH, T_ZSET, T_STREAM };
const char *typeName(int t);
using Value = std::variant<std::string, List, SetT, HashT, ZSet, Stream>;

struct Entry {
    Value v;
    long long expire = -1; // absolute ms, -1 none
    uint64_t seq = 0;      // position in the scan order
    uint32_t freq = 5;     // logarithmic access counter (0..255), for LFU and OBJECT FREQ
    // Access bookkeeping and the memory estimate, kept by memory.cpp.
    uint64_t lru_tick = 0;     // logical time of the last access, for LRU
    long long atime_ms = 0;    // wall time of the last access (0: never)
    long long mem = 0;         // estimate counted in the maxmemory total
    std::string module_type{}; // a module-style type name; the value is opaque then
};

class Db {
  public:
    // Looks a key up, dropping it first when its time has passed.
    Entry *find(const std::string &k);
    // One key drawn at random (from the keys with a time to live only, when
    // volatile_only); false when there is none. Defined in memory.cpp.
    bool sampleKey(uint64_t rnd, bool volatile_only, std::string &out) const;
    // Inserts or replaces the value (keeps nothing of an old entry).
    Entry &set(const std::string &k, Value v);
    bool del(const std::string &k);
    size_t size() const { return map.size(); }
    size_t expires() const;
    void clear();
    // One step of a scan: keys with position >= cursor, up to count; returns
    // the next cursor (0 when done).
    uint64_t scan(uint64_t cursor, size_t count, std::vector<std::string> &out);
    std::string randomKey();
    void activeExpire(long long now);
    std::vector<std::string> allKeys();
    // Cluster mode keeps the keys of every hash slot (slots.cpp).
    size_t countInSlot(int slot) const;
    std::vector<std::string> keysInSlot(int slot, size_t max) const;

  private:
    struct KeyLess {
        bool operator()(const std::string *a, const std::string *b) const { return *a < *b; }
    };
    std::vector<std::set<const std::string *, KeyLess>> by_slot;
    void indexSlot(const std::string *key, bool add);
    std::unordered_map<std::string, Entry> map;
    std::map<uint64_t, const std::string *> order;
    std::unordered_set<std::string> volatile_keys;
    uint64_t next_seq = 1;
    friend void setExpire(Db &, const std::string &, Entry &, long long);
};
void setExpire(Db &db, const std::string &k, Entry &e, long long when);

// ---- clients ----
struct Client;
struct ReplicaLink; // replication.cpp
struct ScriptDebug; // debugger.cpp
struct Conn {
    int fd = -1;
    SSL *ssl = nullptr;
    bool handshake_done = true;
    bool unix_sock = false;
};

struct Client {
    uint64_t id = 0;
    Conn conn;
    std::string addr; // host:port or path
    std::string laddr;
    std::string name;
    std::string user = "default";
    bool authed = false;
    int db = 0;
    std::string in;
    size_t inpos = 0;
    ReplyWriter out;
    bool close_after_write = false;
    bool closed = false;
    long long hold_until = 0;   // replies held back until then (ms)
    bool pending_input = false; // requests left unread because of a hold
    long long ctime = 0;        // creation (ms)
    long long last_cmd_ms = 0;  // last interaction
    std::string last_cmd = "NULL";
    // Transaction.
    bool in_multi = false;
    bool in_exec = false; // running the commands EXEC took from the queue
    bool multi_dirty = false;
    std::vector<Args> queued;
    std::vector<std::string> watching; // watch ids (database and key)
    bool watch_dirty = false;          // a watched key changed
    // Pub/sub.
    std::set<std::string> channels, patterns;
    size_t subCount() const { return channels.size() + patterns.size(); }
    bool monitor = false;
    // Replication: a connection that sent SYNC / PSYNC receives every write.
    bool replica = false;
    int repl_db = -1;
    std::shared_ptr<ReplicaLink> link; // REPLCONF state, transfer, backlog
    // A long transfer (a snapshot) writes its output in pieces: the loop
    // calls `produce` whenever the output runs low, not before `produce_at`
    // (ms), and reads no input meanwhile. The producer clears it when done.
    std::function<void(Client &)> produce;
    long long produce_at = 0;
    // A script debugging session of this connection.
    std::shared_ptr<ScriptDebug> ldb;
    // It works on a private copy of the data (a script debugged with "yes",
    // rolled back at the end): its writes reach no replica, no WATCH and no
    // tracking client.
    bool no_propagate = false;
    // Client-side caching.
    bool tracking = false;
    bool tracking_bcast = false;
    bool tracking_noloop = false;
    uint64_t tracking_redirect = 0;
    std::vector<std::string> tracking_prefixes;
    std::string sni;
    // Cluster mode: the node (of this process) whose port accepted the
    // connection, and what the connection is.
    int node = 0;
    int bus = 0;              // BUS_NONE, or one of the cluster's own connections
    bool asking = false;      // the previous command was ASKING
    bool any_slot = false;    // test hook: serve keys of every slot
    std::vector<Args> parked; // commands held while the node is hung
};
enum BusKind { BUS_NONE = 0, BUS_IN, BUS_LINK, BUS_PROBE, BUS_REPL };

// ---- command table ----
using Handler = void (*)(Client &, Args &);
enum CmdFlag : unsigned {
    F_WRITE = 1,
    F_READONLY = 2,
    F_ADMIN = 4,
    F_PUBSUB = 8,
    F_NOAUTH = 16, // allowed before authentication
    F_FAST = 32,
    F_LOADING = 64,
    F_STALE = 128,
    F_NOMULTI = 256, // runs immediately even inside MULTI
    F_DENYOOM = 512,
};
struct Command {
    const char *name; // lower case
    int arity;        // positive: exact count, negative: at least -arity
    unsigned flags;
    int first, last, step;
    Handler fn;
};
void registerCommands(std::vector<Command> &t, const Command *cmds, size_t n);
void registerConnectionCommands(std::vector<Command> &t);
void registerKeyCommands(std::vector<Command> &t);
void registerTypeCommands(std::vector<Command> &t);
void registerServerCommands(std::vector<Command> &t);
void registerPubsubCommands(std::vector<Command> &t);
void registerHookCommands(std::vector<Command> &t);
const Command *lookupCommand(std::string_view name);
std::vector<std::string> flagNames(unsigned f);
std::vector<std::string> commandKeys(const Command &c, const Args &a);

// ---- test hooks ----
enum HookKind { H_REPLY, H_PREFIX, H_DELAY, H_CLOSE, H_AFTER };
struct Hook {
    HookKind kind;
    std::vector<std::string> match; // lower case words; "*" matches all
    long long remaining;            // 0 means until reset
    std::string data;               // bytes, or the number for DELAY / CLOSE
    long long num = 0;
    std::vector<std::string> action; // AFTER: DEL key, or RETYPE key type
};
struct HookEffects {
    bool replaced = false;
    std::string reply, prefix;
    long long delay_ms = 0;
    long long close_after = -1;
    std::vector<std::string> after; // action to run once the command has answered
};
// Collects and uses up the hooks matching a command.
HookEffects takeHooks(const Args &a);

// ---- server ----
struct User {
    std::string pass;
    bool nopass = false;
};

struct Listener {
    int fd = -1; // -1 while closed (a test hook can close a node's ports)
    bool tls = false, unix_sock = false;
    int node = 0;
    bool bus = false; // cluster bus port
};

struct Server {
    int port = 6379, tls_port = -1;
    std::string bind = "127.0.0.1", unix_path;
    std::string tls_cert, tls_key, tls_ca;
    bool tls_verify = false;
    int databases = 16;
    bool hooks_enabled = false;
    bool demo_data = false;
    bool cluster_enabled = false;
    int cluster_nodes = 1;
    bool tls_cluster = false; // cluster nodes announce their TLS ports
    std::map<std::string, User> users;
    std::vector<Db> dbs;
    std::vector<Command> commands;
    std::unordered_map<std::string, size_t> cmd_index;
    std::map<uint64_t, std::unique_ptr<Client>> clients;
    uint64_t next_client_id = 1;
    SSL_CTX *ssl_ctx = nullptr;
    bool shutdown = false;
    long long start_ms = 0;
    // Statistics.
    long long total_commands = 0, total_connections = 0, rejected = 0;
    long long keyspace_hits = 0, keyspace_misses = 0, expired_keys = 0;
    long long net_in = 0, net_out = 0;
    // Configuration values visible through CONFIG GET / SET.
    std::map<std::string, std::string> config;
    // Pub/sub: channel -> subscriber ids.
    std::map<std::string, std::set<uint64_t>> channels, patterns;
    // Client-side caching: key -> ids of clients that read it.
    std::unordered_map<std::string, std::set<uint64_t>> tracked;
    // WATCH: database and key -> ids of the clients watching it.
    std::unordered_map<std::string, std::set<uint64_t>> watched;
    // Test hooks.
    std::vector<Hook> hooks;
    std::vector<std::pair<std::string, std::string>> info_overrides;
    std::vector<std::string> sni_names;
    std::deque<std::string> history;
    std::vector<Listener> listeners;

    bool requirePass() const {
        auto it = users.find("default");
        return it != users.end() && !it->second.nopass;
    }
};
extern Server srv;

Client *findClient(uint64_t id);
void freeClient(Client &c); // marks it closed; the loop releases it
void execCommand(Client &c, Args &a);
void callCommand(Client &c, const Command &cmd, Args &a);
void feedMonitors(const Client &c, const Args &a);
void feedReplicas(const Client &c, const Args &a);
// Periodic replication work (the PING to replicas); called by the loop.
void replicationCron(long long now);
// DEVHOOK SYNC ...: true when handled (replication.cpp).
bool syncHookCommand(Client &c, Args &a);
void resetSyncHooks();
// Zero bytes of padding added to every snapshot (--snapshot-pad).
void setSnapshotPad(uint64_t bytes);
// Routes a command of a connection whose script debugger waits for input;
// false when the command is not for the debugger.
bool ldbIntercept(Client &c, Args &a);
void trackRead(Client &c, const std::vector<std::string> &keys);
void invalidateKeys(Client *writer, const std::vector<std::string> &keys);
void invalidateAll();
void unsubscribeAll(Client &c);
void unwatchAll(Client &c);
// Marks the transactions watching these keys (all keys: none given) as failed.
void touchWatched(int db, const std::vector<std::string> *keys);
std::string clientInfoLine(const Client &c);
void loadDemoData();
// Event loop entry; returns the exit status.
int serve();
void requestShutdown();

// ---- cluster mode (cluster*.cpp) ----
// Binds the ports of every cluster node beyond the first and their bus
// ports; adds " cluster-ports=..." to the ready line. False on failure.
bool clusterSetup(std::string &ready);
// Makes the node of this connection the one whose key space, configuration
// and hooks srv holds; false when the command must wait (node hung).
bool clusterEnter(Client &c, Args &a);
// MOVED / ASK / CROSSSLOT / CLUSTERDOWN for a keyed command; true when a
// redirection was written instead of running the command.
bool clusterRedirect(Client &c, const Command &cmd, const Args &a);
void clusterBusInput(Client &c, Args &a);
// A replica's link to its master: consumes the bytes before the command
// stream (replies to AUTH and SYNC, the snapshot); true once the rest of the
// input is commands.
bool clusterReplicaPrelude(Client &c);
void clusterTick(long long now);
bool clusterEnabled();
// Whether a connection belongs to the clients of the node now running a
// command (always, outside cluster mode): nodes of one process do not see
// each other's clients, nor the cluster's own links.
bool clusterVisible(const Client &c);
void clusterHookCmd(Client &c, Args &a);
void registerClusterCommands(std::vector<Command> &t);
void registerMigrateCommands(std::vector<Command> &t);
int listenTcp(const std::string &addr, int &port);
Client &newClient(int fd, const std::string &addr, int node, int bus);

// Common error replies.
extern const char *const kWrongType;
extern const char *const kNotInt;
extern const char *const kSyntax;
void wrongArity(Client &c, const std::string &name);

// Helpers for the handlers: the value of a key of the wanted type, or null
// when missing; writes WRONGTYPE and sets bad when the key holds another type.
template <class T> T *getTyped(Client &c, const std::string &k, bool &bad) {
    bad = false;
    Entry *e = srv.dbs[c.db].find(k);
    if (!e) return nullptr;
    T *p = e->module_type.empty() ? std::get_if<T>(&e->v) : nullptr;
    if (p) return p;
    c.out.error(kWrongType);
    bad = true;
    return nullptr;
}
template <class T> T *getOrCreate(Client &c, const std::string &k, bool &bad) {
    T *p = getTyped<T>(c, k, bad);
    if (p || bad) return p;
    Entry &e = srv.dbs[c.db].set(k, Value(std::in_place_type<T>));
    return std::get_if<T>(&e.v);
}
// ---- memory (memory.cpp): maxmemory, eviction, access counters ----
// Runs before a command: evicts under the maxmemory policy while the data set
// is over maxmemory; false (with the OOM error written) when a command that
// may grow the data set cannot run.
bool memoryAllowsCommand(Client &c, const Command &cmd);
// Around a command: counts the accesses to its keys and updates the memory
// estimate of what it wrote.
class KeyAccess {
  public:
    KeyAccess(Client &c, const Command &cmd, const Args &a);
    void finish();

  private:
    const Command &cmd;
    const Args &a;
    int db;
};
// A key leaves its database: its estimate leaves the total.
void memoryForget(const Entry &e);
// Rejects invalid maxmemory / maxmemory-policy values of CONFIG SET.
bool memoryConfigValid(const std::string &name, const std::string &value, std::string &err);
long long evictedKeys();
void registerMemoryCommands(std::vector<Command> &t);
// The name TYPE reports for a key (module-style names included).
const char *entryTypeName(const Entry &e);
// Test hooks on keys: a key of a module-style type, and the actions of
// DEVHOOK AFTER (delete a key, or give it another type).
void makeModuleKey(Client &c, const std::string &key, const std::string &type,
                   const std::string &payload);
bool afterActionValid(const Args &a, size_t from, std::string &err);
void runAfterAction(Client &c, const std::vector<std::string> &action);

// Drops an aggregate key that became empty.
void dropIfEmpty(Client &c, const std::string &k);

} // namespace dev
