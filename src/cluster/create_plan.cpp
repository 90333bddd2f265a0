#include "cluster/create_plan.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "cluster/log.h"
#include "support/vornassert.h"
#include "support/zmalloc.h"

namespace {

std::vector<clusterManagerNode *> nodeVector() {
    std::vector<clusterManagerNode *> v;
    clusterManagerForEachNode([&v](clusterManagerNode *n) { v.push_back(n); });
    return v;
}

// The first entry of the window not on the master's host, emptied in place;
// else the first entry at all, dropped from the window together with the
// (empty) entries before it; null when the window holds nothing.
clusterManagerNode *takeReplica(clusterManagerNodeArray *window, const clusterManagerNode *master) {
    for (int j = 0; j < window->len; j++) {
        clusterManagerNode *n = window->nodes[j];
        if (n != nullptr && strcmp(n->ip, master->ip) != 0) {
            window->nodes[j] = nullptr;
            window->count--;
            return n;
        }
    }
    while (window->len > 0) {
        clusterManagerNode *n;
        clusterManagerNodeArrayShift(window, &n);
        if (n != nullptr) return n;
    }
    return nullptr;
}

void setReplicate(clusterManagerNode *replica, const clusterManagerNode *master) {
    hi_sdsfree(replica->replicate);
    replica->replicate = hi_sdsdup(master->name);
    replica->dirty = 1;
    printf("Adding replica %s:%d to %s:%d\n", replica->ip, replica->port, master->ip, master->port);
}

} // namespace

void clusterManagerNodeArrayInit(clusterManagerNodeArray *array, int alloc_len) {
    array->alloc =
        static_cast<clusterManagerNode **>(zcalloc(alloc_len * sizeof(clusterManagerNode *)));
    array->nodes = array->alloc;
    array->len = alloc_len;
    array->count = 0;
}

void clusterManagerNodeArrayRelease(clusterManagerNodeArray *array) {
    zfree(array->alloc);
    array->alloc = array->nodes = nullptr;
    array->len = array->count = 0;
}

void clusterManagerNodeArrayAdd(clusterManagerNodeArray *array, clusterManagerNode *node) {
    vornAssert(array->len > 0);
    vornAssert(array->count < array->len);
    array->nodes[array->count++] = node;
}

void clusterManagerNodeArrayShift(clusterManagerNodeArray *array, clusterManagerNode **nodeptr) {
    vornAssert(array->len > 0);
    *nodeptr = *array->nodes;
    if (*nodeptr != nullptr) array->count--;
    array->nodes++;
    array->len--;
}

void clusterManagerNodeArrayReset(clusterManagerNodeArray *array) {
    if (array->nodes > array->alloc) {
        array->len = static_cast<int>(array->nodes - array->alloc);
        array->nodes = array->alloc;
        array->count = 0;
        for (int i = 0; i < array->len; i++)
            if (array->nodes[i] != nullptr) array->count++;
    }
}

clusterManagerNodeArray *clusterManagerHostGroups(int *count) {
    std::vector<clusterManagerNode *> nodes = nodeVector();
    int n = static_cast<int>(nodes.size());
    // One more entry than there can be hosts marks the end for the release.
    auto *groups =
        static_cast<clusterManagerNodeArray *>(zcalloc((n + 1) * sizeof(clusterManagerNodeArray)));
    int ip_count = 0;
    for (clusterManagerNode *node : nodes) {
        int g = 0;
        while (g < ip_count && strcmp(groups[g].nodes[0]->ip, node->ip) != 0)
            g++;
        if (g == ip_count) clusterManagerNodeArrayInit(&groups[ip_count++], n);
        clusterManagerNodeArrayAdd(&groups[g], node);
    }
    *count = ip_count;
    return groups;
}

void clusterManagerReleaseHostGroups(clusterManagerNodeArray *groups) {
    if (groups == nullptr) return;
    for (clusterManagerNodeArray *g = groups; g->alloc != nullptr; g++)
        clusterManagerNodeArrayRelease(g);
    zfree(groups);
}

int clusterManagerGetAntiAffinityScore(clusterManagerNodeArray *ipnodes, int ip_count,
                                       clusterManagerNode ***offending, int *offending_len) {
    int score = 0;
    std::vector<clusterManagerNode *> nodes = nodeVector();
    if (offending != nullptr) {
        *offending = static_cast<clusterManagerNode **>(
            zcalloc((nodes.size() + 1) * sizeof(clusterManagerNode *)));
        *offending_len = 0;
    }
    for (int i = 0; i < ip_count; i++) {
        clusterManagerNodeArray *group = &ipnodes[i];
        if (group->len == 0 || group->nodes[0] == nullptr) continue;
        const char *ip = group->nodes[0]->ip;
        // Master ID -> "m" for the master if it is on this host, then one
        // "s" per replica of it on this host.
        dict *related = dictCreate(&clusterManagerDictType, nullptr);
        for (int j = 0; j < group->len; j++) {
            clusterManagerNode *node = group->nodes[j];
            if (node == nullptr) continue;
            hisds key = node->replicate != nullptr ? node->replicate : node->name;
            dictEntry *de = dictFind(related, key);
            hisds types = de != nullptr ? static_cast<hisds>(dictGetVal(de)) : hi_sdsempty();
            if (node->replicate != nullptr) {
                types = hi_sdscatlen(types, "s", 1);
            } else {
                hisds m = hi_sdsnewlen("m", 1);
                m = hi_sdscatsds(m, types);
                hi_sdsfree(types);
                types = m;
            }
            if (de != nullptr)
                de->v.val = types;
            else
                dictAdd(related, key, types);
        }
        dictIterator *it = dictGetIterator(related);
        dictEntry *de;
        while ((de = dictNext(it)) != nullptr) {
            hisds types = static_cast<hisds>(dictGetVal(de));
            int len = static_cast<int>(hi_sdslen(types));
            if (len < 2) continue;
            if (types[0] == 'm')
                score += 10000 * (len - 1);
            else
                score += len;
            if (offending == nullptr) continue;
            hisds name = static_cast<hisds>(dictGetKey(de));
            for (clusterManagerNode *n : nodes) {
                if (n->replicate == nullptr || strcmp(n->ip, ip) != 0) continue;
                if (hi_sdscmp(n->replicate, name) != 0) continue;
                if (*offending_len < static_cast<int>(nodes.size()))
                    (*offending)[(*offending_len)++] = n;
                break;
            }
        }
        dictReleaseIterator(it);
        dictRelease(related);
    }
    return score;
}

void clusterManagerOptimizeAntiAffinity(clusterManagerNodeArray *ipnodes, int ip_count) {
    int score = clusterManagerGetAntiAffinityScore(ipnodes, ip_count, nullptr, nullptr);
    if (score == 0) return;
    clusterManagerLogInfo(">>> Trying to optimize slaves allocation for anti-affinity\n");
    std::vector<clusterManagerNode *> nodes = nodeVector();
    srand(static_cast<unsigned>(time(nullptr)));
    long maxiter = 500L * static_cast<long>(nodes.size());
    clusterManagerNode **offenders = nullptr;
    while (maxiter-- > 0) {
        zfree(offenders);
        offenders = nullptr;
        int offending_len = 0;
        score = clusterManagerGetAntiAffinityScore(ipnodes, ip_count, &offenders, &offending_len);
        if (score == 0 || offending_len == 0) break;
        clusterManagerNode *first = offenders[rand() % offending_len];
        std::vector<clusterManagerNode *> others;
        for (clusterManagerNode *n : nodes)
            if (n != first && n->replicate != nullptr) others.push_back(n);
        if (others.empty()) break;
        clusterManagerNode *second = others[rand() % others.size()];
        std::swap(first->replicate, second->replicate);
        first->dirty = second->dirty = 1;
        int new_score = clusterManagerGetAntiAffinityScore(ipnodes, ip_count, nullptr, nullptr);
        if (new_score > score) std::swap(first->replicate, second->replicate);
    }
    zfree(offenders);
    score = clusterManagerGetAntiAffinityScore(ipnodes, ip_count, nullptr, nullptr);
    if (score == 0)
        clusterManagerLogOk("%s\n", "[OK] Perfect anti-affinity obtained!");
    else if (score >= 10000)
        clusterManagerLogWarn("%s\n", "[WARNING] Some slaves are in the same host as their master");
    else
        clusterManagerLogWarn("%s\n",
                              "[WARNING] Some slaves of the same master are in the same host");
}

void clusterManagerAllocSlots(clusterManagerNode **masters, int masters_count) {
    float slots_per_node = CLUSTER_MANAGER_SLOTS / static_cast<float>(masters_count);
    float cursor = 0.0f;
    long first = 0;
    for (int i = 0; i < masters_count; i++) {
        clusterManagerNode *master = masters[i];
        cursor += slots_per_node;
        long last = lround(static_cast<double>(cursor) - 1.0);
        if (last > CLUSTER_MANAGER_SLOTS || i == masters_count - 1)
            last = CLUSTER_MANAGER_SLOTS - 1;
        if (last < first) last = first;
        printf("Master[%d] -> Slots %ld - %ld\n", i, first, last);
        clusterManagerNodeResetSlots(master);
        for (long s = first; s <= last; s++)
            master->slots[s] = 1;
        master->slots_count = static_cast<int>(last - first + 1);
        master->dirty = 1;
        first = last + 1;
    }
}

int clusterManagerPlanCluster(int replicas) {
    std::vector<clusterManagerNode *> nodes = nodeVector();
    int node_len = static_cast<int>(nodes.size());
    // A negative count would divide by zero (or plan nonsense) below.
    if (replicas < 0) {
        clusterManagerLogErr("*** ERROR: Invalid number of replicas per master: %d.\n", replicas);
        return 0;
    }
    int masters_count = static_cast<int>(node_len / (static_cast<long long>(replicas) + 1));
    if (masters_count < 3) {
        clusterManagerLogErr("*** ERROR: Invalid configuration for cluster creation.\n"
                             "*** Vorn Cluster requires at least 3 master nodes.\n"
                             "*** This is not possible with %d nodes and %d replicas per node.",
                             node_len, replicas);
        clusterManagerLogErr("\n*** At least %lld nodes are required.\n",
                             3 * (static_cast<long long>(replicas) + 1));
        return 0;
    }
    clusterManagerLogInfo(">>> Performing hash slots allocation on %d nodes...\n", node_len);

    int ip_count = 0;
    clusterManagerNodeArray *groups = clusterManagerHostGroups(&ip_count);

    // Round-robin over the hosts, so that consecutive entries come from
    // different hosts for as long as possible.
    std::vector<clusterManagerNode *> interleaved;
    while (static_cast<int>(interleaved.size()) < node_len) {
        for (int i = 0; i < ip_count; i++) {
            if (groups[i].count <= 0) continue;
            clusterManagerNode *n;
            clusterManagerNodeArrayShift(&groups[i], &n);
            interleaved.push_back(n);
        }
    }

    clusterManagerNode **masters = interleaved.data();
    clusterManagerAllocSlots(masters, masters_count);

    // The replica candidates, rotated left by one.
    int candidates = node_len - masters_count;
    clusterManagerNode **first_candidate = interleaved.data() + masters_count;
    if (candidates > 0) {
        clusterManagerNode *head = first_candidate[0];
        memmove(first_candidate, first_candidate + 1, (candidates - 1) * sizeof(*first_candidate));
        first_candidate[candidates - 1] = head;
    }
    clusterManagerNodeArray window = {first_candidate, first_candidate, candidates, candidates};

    int available = candidates;
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1) {
            // Every master has its replicas; the rest go one per master.
            if (available == 0 || replicas == 0) break;
            printf("Adding extra replicas...\n");
        }
        int wanted = pass == 0 ? replicas : 1;
        for (int i = 0; i < masters_count && available > 0; i++) {
            for (int assigned = 0; assigned < wanted && available > 0; assigned++) {
                clusterManagerNode *replica = takeReplica(&window, masters[i]);
                if (replica == nullptr) break;
                setReplicate(replica, masters[i]);
                available--;
            }
        }
    }

    for (int i = 0; i < ip_count; i++)
        clusterManagerNodeArrayReset(&groups[i]);
    clusterManagerOptimizeAntiAffinity(groups, ip_count);
    clusterManagerReleaseHostGroups(groups);
    return 1;
}
