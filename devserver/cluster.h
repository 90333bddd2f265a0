// vorn-devserver cluster mode: the state of the cluster nodes this process
// hosts, shared by the CLUSTER commands (cluster.cpp), the bus between nodes
// (cluster_bus.cpp), the key slots (slots.cpp) and the test hooks
// (cluster_hooks.cpp).
//
// A process hosts one or more nodes. Each node has its own client port, bus
// port, key space, configuration, hooks and view of the cluster; nodes of one
// process talk to each other over their bus ports exactly as nodes of
// different processes do, so there is one code path for both.
#pragma once

#include "server.h"

namespace dev::cluster {

constexpr int kSlots = 16384;

enum NodeFlag : unsigned {
    N_MYSELF = 1,
    N_MASTER = 2,
    N_SLAVE = 4,
    N_PFAIL = 8,
    N_FAIL = 16,
    N_HANDSHAKE = 32,
    N_NOADDR = 64,
    N_MEET = 128, // the next message on the link is a MEET
};

// One node as one node of this process sees it.
struct Peer {
    std::string id;
    std::string ip;
    int port = 0, bus_port = 0; // bus_port 0: still being asked for
    unsigned flags = 0;
    std::string master_id; // empty for masters
    uint64_t config_epoch = 0;
    long long ping_sent = 0, pong_recv = 0;
    long long last_send = 0;                       // last PING / MEET on the link
    long long ctime = 0;                           // creation, for the handshake timeout
    uint64_t link = 0;                             // client id of the outbound bus link
    bool link_up = false;                          // a PONG came back on the current link
    long long link_try = 0;                        // last connection attempt
    uint64_t probe = 0;                            // client id of the bus port question
    bool probe_auth = false;                       // its AUTH reply is still to come
    std::map<std::string, long long> fail_reports; // reporter ID -> time
    bool removed = false;                          // forgotten; index kept
    bool fail_pinned = false;                      // failed by a test hook: PONGs do not clear it
};

// What srv holds for the node that is currently running a command.
struct Context {
    std::vector<Db> dbs;
    std::map<std::string, std::string> config;
    int port = 0;
    std::vector<Hook> hooks;
    std::vector<std::pair<std::string, std::string>> info_overrides;
    std::deque<std::string> history;
    long long total_commands = 0, keyspace_hits = 0, keyspace_misses = 0;
};

// How a test hook made a node unreachable: all ports closed, nothing
// answered, or only its bus port closed (it still reaches the others).
enum Down { UP = 0, CLOSED, HUNG, BUS_CLOSED };

struct Instance {
    int index = 0;
    int port = 0, bus_port = 0, tls_port = -1;
    uint64_t current_epoch = 0;
    // peers[0] is the node itself; indexes stay valid (FORGET only marks).
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<int> owner, importing, migrating; // peer index or -1
    std::vector<bool> pinned;                     // slots the gossip leaves alone (test hooks)
    std::map<std::string, long long> forgotten;   // ID -> until (ms)
    Context ctx;
    Down down = UP;
    bool changed = false; // tell every peer at the next tick
    uint64_t version = 0; // counts changes, so derived texts can be cached
    uint64_t claims_version = ~0ULL;
    std::string claims; // own slots as sent on the bus
    long long last_round = 0;
    long long sent = 0, received = 0;
    // A replica's link to its master (cluster_replica.cpp).
    uint64_t repl = 0;
    int repl_stage = 0;
    long long repl_skip = 0;
    std::string repl_mark;
    long long repl_try = 0;

    Peer &self() { return *peers[0]; }
};

extern std::vector<std::unique_ptr<Instance>> g_nodes;

Instance &instance(int node);
// Makes srv hold the context (key space, configuration, hooks) of a node.
void activate(int node);
int peerIndex(Instance &in, std::string_view id); // -1 when unknown
Peer *findPeer(Instance &in, std::string_view id);
Peer &addPeer(Instance &in, const std::string &id, const std::string &ip, int port, int bus_port,
              unsigned flags);
std::string randomId();
long long nodeTimeout(Instance &in);
// Drops a peer from the view: its slots become unowned, its links close.
void removePeer(Instance &in, int idx);
// The node's view changed in a way its peers must learn soon.
inline void markChanged(Instance &in) {
    in.changed = true;
    in.version++;
}
// The in-process node listening on ip:port (plain or announced), if any.
Instance *localNode(const std::string &ip, int port);

// ---- slots.cpp ----
int keySlot(std::string_view key);
// Slot ranges of the owner table held by `who`, as "a-b c d-e" (empty when
// none); with `comma`, joined by "," instead of " ".
std::string slotRanges(const std::vector<int> &owner, int who, bool comma = false);
// Parses "a-b,c" into slot numbers; false on anything malformed.
bool parseSlotRanges(std::string_view s, std::vector<int> &out);
bool parseSlot(std::string_view s, int &slot);

// ---- cluster_bus.cpp ----
// A non-blocking connection to ip:port in progress, or -1.
int connectTo(const std::string &ip, int port);
// Starts meeting ip:port (bus port 0: ask the node for it first).
void startHandshake(Instance &in, const std::string &ip, int port, int bus_port);
void closeLinks(Instance &in, Peer &p);
// Tells every reachable peer that `target` has failed.
void broadcastFail(Instance &in, const Peer &target);
// Epoch bookkeeping shared with the commands.
void updateFailState(Instance &in, Peer &p, long long now);

// ---- cluster_replica.cpp ----
// (Re)connects a replica to its master; stops when the node is a master.
void startReplication(Instance &in);
void replicationTick(Instance &in, long long now);
// Runs one command of the master's stream on the replica.
void applyReplicated(Client &link, Args &a);

// ---- cluster.cpp ----
std::string nodesText(Instance &in);
// Closes or reopens the ports of a node (only the bus port with bus_only),
// with their connections except `keep`.
bool setPortsOpen(Instance &in, bool open, const Client *keep, bool bus_only = false);

} // namespace dev::cluster
