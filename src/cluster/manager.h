// The cluster manager's model of a cluster: one record per node, the global
// state of the running sub-command, node connections and the address forms
// the sub-commands accept.
//
// Every sub-command works on cluster_manager.nodes, loaded from one entry
// node (cluster/topology.h) and owned by that list; helpers return 1 for
// success and 0 for failure after printing their own message.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <type_traits>
#include <vector>

#include "cluster/reply_ptr.h"
#include "hivorn/hivorn.h"
#include "support/adlist.h"
#include "support/dict.h"

#define CLUSTER_MANAGER_SLOTS 16384

// Bits of clusterManagerNode.flags. They are only ever added: a friend node
// carries the union of what the entry node and the node itself said.
#define CLUSTER_MANAGER_FLAG_MYSELF (1 << 0)
#define CLUSTER_MANAGER_FLAG_SLAVE (1 << 1)
#define CLUSTER_MANAGER_FLAG_FRIEND (1 << 2)
#define CLUSTER_MANAGER_FLAG_NOADDR (1 << 3)
#define CLUSTER_MANAGER_FLAG_DISCONNECT (1 << 4)
#define CLUSTER_MANAGER_FLAG_FAIL (1 << 5)

struct clusterManagerNode {
    vornContext *context; // owned; null until connected
    hisds name;           // node ID; null until loaded
    char *ip;             // entry node: borrowed from argv; friend node: an owned hisds
    int port;
    uint64_t current_epoch; // the config epoch field of CLUSTER NODES
    time_t ping_sent;
    time_t ping_recv;
    int flags;       // CLUSTER_MANAGER_FLAG_* bits
    list *flags_str; // the node's own flag words (hisds), in order
    hisds replicate; // ID of the master this node replicates; null for masters
    int dirty;       // slots or replicate planned but not yet sent to the node
    uint8_t slots[CLUSTER_MANAGER_SLOTS];
    int slots_count;
    int replicas_count;  // loaded nodes whose replicate names this node
    list *friends;       // nodes seen in this node's CLUSTER NODES; only while loading
    hisds *migrating;    // pairs: slot number text, destination node ID
    int migrating_count; // strings, twice the number of pairs
    hisds *importing;    // pairs: slot number text, source node ID
    int importing_count;
    float weight; // rebalance weight
    int balance;  // rebalance balance
};

struct clusterManager {
    list *nodes;             // entry node first; owns its nodes
    list *errors;            // hisds texts recorded by clusterManagerOnError
    int unreachable_masters; // masters in the entry node's view that could not be loaded
};

extern clusterManager cluster_manager;

// Slot text -> list of masters holding keys of that uncovered slot; made by
// the coverage repair, released by freeClusterManager.
extern dict *clusterManagerUncoveredSlots;

// Keys are hisds compared by content and not freed; values are freed as hisds.
extern dictType clusterManagerDictType;
// Keys are freed as hisds, values released as lists.
extern dictType clusterManagerLinkDictType;

// Calls fn(value) for every value of l (which may be null) in order, cast to
// T*; when fn returns bool, false stops the walk. fn may delete the entry it
// was given.
template <typename T, typename Fn> void clusterManagerForEach(list *l, Fn fn) {
    if (l == nullptr) return;
    listIter li;
    listNode *ln;
    listRewind(l, &li);
    while ((ln = listNext(&li)) != nullptr) {
        T *v = static_cast<T *>(ln->value);
        if constexpr (std::is_same_v<std::invoke_result_t<Fn, T *>, bool>) {
            if (!fn(v)) return;
        } else {
            fn(v);
        }
    }
}

// The same over the loaded nodes.
template <typename Fn> void clusterManagerForEachNode(Fn fn) {
    clusterManagerForEach<clusterManagerNode>(cluster_manager.nodes, fn);
}

// A node at ip:port with every other field empty and weight 1.0. ip is
// stored as given (not copied).
clusterManagerNode *clusterManagerNewNode(char *ip, int port);
// Closes the connection and frees the node with everything it owns,
// friend nodes included.
void freeClusterManagerNode(clusterManagerNode *node);
// Frees the loaded nodes, the recorded errors and the uncovered-slot table.
void freeClusterManager(void);
// Frees every hisds of l, then l (null is ignored).
void clusterManagerReleaseSdsList(list *l);
// Frees every node of cluster_manager.nodes except keep, and the list.
void clusterManagerReleaseNodesExcept(clusterManagerNode *keep);

// Empties the node's slot table.
void clusterManagerNodeResetSlots(clusterManagerNode *node);
// Frees the node's open-slot pairs.
void clusterManagerNodeResetOpenSlots(clusterManagerNode *node);
// Appends the pair (slot text, node ID) to *pairs, a hisds array of *count strings.
void clusterManagerNodeAddOpenSlot(hisds **pairs, int *count, const char *slot, size_t slotlen,
                                   const char *id, size_t idlen);

// The loaded node whose ID equals name lower-cased, or null.
clusterManagerNode *clusterManagerNodeByName(const char *name);
// Removes the first entry of l that holds node, if any (the node is not freed).
void clusterManagerRemoveNodeFromList(list *l, clusterManagerNode *node);

// Connects the node (closing an earlier connection): --cluster-timeout bounds
// the connect and every later reply; TLS when configured, keep-alive, AUTH
// when a password is configured. Returns 1, or 0 after printing why.
int clusterManagerNodeConnect(clusterManagerNode *node);

// Sends a formatted command on the node's connection and reads its reply;
// null when the connection failed.
clusterManagerReplyPtr clusterManagerNodeCommand(clusterManagerNode *node, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Sends the argument vector (argvlen may be null for C strings) as one
// request and reads its reply; null when the connection failed.
vornReply *clusterManagerCommandArgv(vornContext *c, int argc, const char **argv,
                                     const size_t *argvlen);
// The same for a request held as words.
vornReply *clusterManagerCommandWords(vornContext *c, const std::vector<std::string> &words);

// Splits "host:port[@bus_port]" in place at the last '@' and the last ':'.
// A bracketed host ("[::1]:7000") loses its brackets. bus_port may be null.
// Returns 1, or 0 when there is no ':' or a port is not a number in 1..65535.
int parseClusterNodeAddress(char *addr, char **ip_ptr, int *port_ptr, int *bus_port_ptr);
// The host and port of a sub-command: one "host:port" argument, or the host
// and the port as two arguments. Returns 1, or 0 when either is missing or
// invalid.
int getClusterHostFromCmdArgs(int argc, char **argv, char **ip_ptr, int *port_ptr);
// The message every sub-command prints for a failed getClusterHostFromCmdArgs.
void clusterManagerPrintInvalidArgs(void);

// Comparators for qsort: strings byte-wise; nodes by slots_count, larger
// first; nodes by balance, smaller first.
int clusterManagerSlotCompare(const void *slot1, const void *slot2);
int clusterManagerSlotCountCompareDesc(const void *n1, const void *n2);
int clusterManagerCompareNodeBalance(const void *n1, const void *n2);
