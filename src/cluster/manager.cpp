#include "cluster/manager.h"

#include <cstdarg>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "cli/dict_types.h"
#include "cli/secure.h"
#include "cluster/log.h"
#include "support/anet.h"
#include "support/zmalloc.h"

clusterManager cluster_manager;
dict *clusterManagerUncoveredSlots = nullptr;

dictType clusterManagerDictType = {
    dictSdsHash, nullptr, nullptr, dictSdsKeyCompare, nullptr, dictSdsDestructor,
};

dictType clusterManagerLinkDictType = {
    dictSdsHash, nullptr, nullptr, dictSdsKeyCompare, dictSdsDestructor, dictListDestructor,
};

namespace {

constexpr int kKeepAliveInterval = 15;

// A decimal port in 1..65535 made of digits only.
bool parsePort(const char *s, int *port) {
    if (*s == '\0' || strlen(s) > 5) return false;
    long v = 0;
    for (const char *p = s; *p; p++) {
        if (!isdigit(static_cast<unsigned char>(*p))) return false;
        v = v * 10 + (*p - '0');
    }
    if (v < 1 || v > 65535) return false;
    *port = static_cast<int>(v);
    return true;
}

} // namespace

clusterManagerNode *clusterManagerNewNode(char *ip, int port) {
    auto *node = static_cast<clusterManagerNode *>(zcalloc(sizeof(clusterManagerNode)));
    node->ip = ip;
    node->port = port;
    node->weight = 1.0f;
    return node;
}

void clusterManagerNodeResetSlots(clusterManagerNode *node) {
    memset(node->slots, 0, sizeof(node->slots));
    node->slots_count = 0;
}

static void freePairs(hisds **pairs, int *count) {
    for (int i = 0; i < *count; i++)
        hi_sdsfree((*pairs)[i]);
    zfree(*pairs);
    *pairs = nullptr;
    *count = 0;
}

void clusterManagerNodeResetOpenSlots(clusterManagerNode *node) {
    freePairs(&node->migrating, &node->migrating_count);
    freePairs(&node->importing, &node->importing_count);
}

void clusterManagerNodeAddOpenSlot(hisds **pairs, int *count, const char *slot, size_t slotlen,
                                   const char *id, size_t idlen) {
    *pairs = static_cast<hisds *>(zrealloc(*pairs, (*count + 2) * sizeof(hisds)));
    (*pairs)[(*count)++] = hi_sdsnewlen(slot, slotlen);
    (*pairs)[(*count)++] = hi_sdsnewlen(id, idlen);
}

void clusterManagerReleaseSdsList(list *l) {
    if (l == nullptr) return;
    clusterManagerForEach<char>(l, [](hisds s) { hi_sdsfree(s); });
    listRelease(l);
}

void freeClusterManagerNode(clusterManagerNode *node) {
    if (node == nullptr) return;
    vornFree(node->context);
    clusterManagerForEach<clusterManagerNode>(node->friends, freeClusterManagerNode);
    if (node->friends != nullptr) listRelease(node->friends);
    hi_sdsfree(node->name);
    hi_sdsfree(node->replicate);
    if ((node->flags & CLUSTER_MANAGER_FLAG_FRIEND) && node->ip) hi_sdsfree(node->ip);
    clusterManagerNodeResetOpenSlots(node);
    clusterManagerReleaseSdsList(node->flags_str);
    zfree(node);
}

void clusterManagerReleaseNodesExcept(clusterManagerNode *keep) {
    if (cluster_manager.nodes == nullptr) return;
    clusterManagerForEachNode([keep](clusterManagerNode *n) {
        if (n != keep) freeClusterManagerNode(n);
    });
    listRelease(cluster_manager.nodes);
    cluster_manager.nodes = nullptr;
}

void freeClusterManager(void) {
    clusterManagerReleaseNodesExcept(nullptr);
    clusterManagerReleaseSdsList(cluster_manager.errors);
    cluster_manager.errors = nullptr;
    if (clusterManagerUncoveredSlots != nullptr) {
        dictRelease(clusterManagerUncoveredSlots);
        clusterManagerUncoveredSlots = nullptr;
    }
}

clusterManagerNode *clusterManagerNodeByName(const char *name) {
    if (cluster_manager.nodes == nullptr) return nullptr;
    hisds lcname = hi_sdsnew(name);
    hi_sdstolower(lcname);
    clusterManagerNode *found = nullptr;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (n->name != nullptr && hi_sdscmp(n->name, lcname) == 0) found = n;
        return found == nullptr;
    });
    hi_sdsfree(lcname);
    return found;
}

void clusterManagerRemoveNodeFromList(list *l, clusterManagerNode *node) {
    listNode *ln = listSearchKey(l, node);
    if (ln != nullptr) listDelNode(l, ln);
}

int clusterManagerNodeConnect(clusterManagerNode *node) {
    if (node->context != nullptr) {
        vornFree(node->context);
        node->context = nullptr;
    }
    int t = config.cluster_manager_command.timeout;
    struct timeval tv;
    tv.tv_sec = t / 1000;
    tv.tv_usec = (t % 1000) * 1000;
    // The same bound applies to every reply, so that a node that accepts
    // connections but stops answering is reported instead of waited for
    // forever.
    vornOptions options = {};
    VORN_OPTIONS_SET_TCP(&options, node->ip, node->port);
    options.connect_timeout = &tv;
    options.command_timeout = &tv;
    node->context = vornConnectWithOptions(&options);
    if (node->context == nullptr) {
        fprintf(stderr, "Could not connect to Vorn at %s:%d: Out of memory\n", node->ip,
                node->port);
        return 0;
    }
    if (!node->context->err && config.tls) {
        const char *err = nullptr;
        if (cliSecureConnection(node->context, config.sslconfig, &err) != 0 && err) {
            fprintf(stderr, "TLS Error: %s\n", err);
            vornFree(node->context);
            node->context = nullptr;
            return 0;
        }
    }
    if (node->context->err) {
        fprintf(stderr, "Could not connect to Vorn at ");
        fprintf(stderr, "%s:%d: %s\n", node->ip, node->port, node->context->errstr);
        vornFree(node->context);
        node->context = nullptr;
        return 0;
    }
    anetKeepAlive(nullptr, node->context->fd, kKeepAliveInterval);
    if (config.auth != nullptr) {
        vornReply *reply =
            config.user == nullptr
                ? static_cast<vornReply *>(vornCommand(node->context, "AUTH %s", config.auth))
                : static_cast<vornReply *>(
                      vornCommand(node->context, "AUTH %s %s", config.user, config.auth));
        int ok = clusterManagerCheckVornReply(node, reply, nullptr);
        if (reply != nullptr) freeReplyObject(reply);
        if (!ok) return 0;
    }
    return 1;
}

vornReply *clusterManagerCommandArgv(vornContext *c, int argc, const char **argv,
                                     const size_t *argvlen) {
    if (vornAppendCommandArgv(c, argc, argv, argvlen) != VORN_OK) return nullptr;
    void *reply = nullptr;
    if (vornGetReply(c, &reply) != VORN_OK) return nullptr;
    return static_cast<vornReply *>(reply);
}

clusterManagerReplyPtr clusterManagerNodeCommand(clusterManagerNode *node, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    void *r = vornvCommand(node->context, fmt, ap);
    va_end(ap);
    return clusterManagerReplyPtr(static_cast<vornReply *>(r));
}

vornReply *clusterManagerCommandWords(vornContext *c, const std::vector<std::string> &words) {
    std::vector<const char *> argv;
    std::vector<size_t> argvlen;
    for (const std::string &w : words) {
        argv.push_back(w.data());
        argvlen.push_back(w.size());
    }
    return clusterManagerCommandArgv(c, static_cast<int>(argv.size()), argv.data(), argvlen.data());
}

int parseClusterNodeAddress(char *addr, char **ip_ptr, int *port_ptr, int *bus_port_ptr) {
    char *at = strrchr(addr, '@');
    if (at != nullptr) {
        *at = '\0';
        if (bus_port_ptr != nullptr && !parsePort(at + 1, bus_port_ptr)) return 0;
    }
    char *colon = strrchr(addr, ':');
    if (colon == nullptr) return 0;
    *colon = '\0';
    int port;
    if (!parsePort(colon + 1, &port)) return 0;
    char *ip = addr;
    size_t iplen = strlen(ip);
    if (iplen >= 2 && ip[0] == '[' && ip[iplen - 1] == ']') {
        ip[iplen - 1] = '\0';
        ip++;
    }
    *ip_ptr = ip;
    *port_ptr = port;
    return 1;
}

int getClusterHostFromCmdArgs(int argc, char **argv, char **ip_ptr, int *port_ptr) {
    char *ip = nullptr;
    int port = 0;
    if (argc == 1) {
        if (!parseClusterNodeAddress(argv[0], &ip, &port, nullptr)) return 0;
    } else if (argc >= 2) {
        ip = argv[0];
        if (!parsePort(argv[1], &port)) return 0;
    }
    if (ip == nullptr || *ip == '\0' || port == 0) return 0;
    *ip_ptr = ip;
    *port_ptr = port;
    return 1;
}

void clusterManagerPrintInvalidArgs(void) {
    fprintf(stderr, "[ERR] Invalid arguments: you need to pass either a valid address "
                    "(ie. 120.0.0.1:7000) or space separated IP and port (ie. 120.0.0.1 7000)\n");
}

int clusterManagerSlotCompare(const void *slot1, const void *slot2) {
    const char *const *i1 = static_cast<const char *const *>(slot1);
    const char *const *i2 = static_cast<const char *const *>(slot2);
    return strcmp(*i1, *i2);
}

int clusterManagerSlotCountCompareDesc(const void *n1, const void *n2) {
    auto *node1 = *static_cast<clusterManagerNode *const *>(n1);
    auto *node2 = *static_cast<clusterManagerNode *const *>(n2);
    return node2->slots_count - node1->slots_count;
}

int clusterManagerCompareNodeBalance(const void *n1, const void *n2) {
    auto *node1 = *static_cast<clusterManagerNode *const *>(n1);
    auto *node2 = *static_cast<clusterManagerNode *const *>(n2);
    return node1->balance - node2->balance;
}
