#include "cluster/reshard.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/config.h"
#include "cli/numbers.h"
#include "cluster/check.h"
#include "cluster/topology.h"
#include "cluster/log.h"
#include "cluster/migrate.h"
#include "cluster/render.h"

namespace {

bool isMaster(const clusterManagerNode *n) {
    return !(n->flags & CLUSTER_MANAGER_FLAG_SLAVE) && n->replicate == nullptr;
}

// One answer from standard input, read byte by byte up to and including
// its line end so that answers piped in together each reach their own
// question. At most maxlen bytes are taken: the last byte taken is the line
// end and is dropped; when the answer is longer, the byte at the limit is
// dropped too and the rest of the line is skipped. Null at end of input
// with nothing read.
std::optional<std::string> readAnswer(size_t maxlen) {
    std::string line;
    char ch;
    bool eol = false;
    while (line.size() < maxlen) {
        ssize_t n = read(STDIN_FILENO, &ch, 1);
        if (n <= 0) break;
        line.push_back(ch);
        if (ch == '\n') {
            eol = true;
            break;
        }
    }
    if (line.empty()) return std::nullopt;
    if (eol) {
        line.pop_back();
    } else if (line.size() == maxlen) {
        line.pop_back();
        while (read(STDIN_FILENO, &ch, 1) == 1 && ch != '\n') {
        }
    }
    return line;
}

// Asks question until check accepts an answer. False at end of input: a
// question nobody can answer would otherwise be asked forever.
template <typename Check> bool ask(const char *question, size_t maxlen, Check check) {
    for (;;) {
        printf("%s", question);
        fflush(stdout);
        std::optional<std::string> answer = readAnswer(maxlen);
        if (!answer) {
            printf("\n");
            fprintf(stderr, "*** No answer on standard input, operation aborted.\n");
            return false;
        }
        if (check(*answer)) return true;
    }
}

// Appends every master but target to sources, replacing what was there.
void useAllMasters(list *sources, clusterManagerNode *target) {
    listEmpty(sources);
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (isMaster(n) && hi_sdscmp(n->name, target->name) != 0) listAddNodeTail(sources, n);
    });
}

// One source given by ID. False when the command must stop.
bool addSource(list *sources, const std::string &id, clusterManagerNode *target) {
    int raise_err = 0;
    clusterManagerNode *n = clusterNodeForResharding(id.c_str(), target, &raise_err);
    if (n != nullptr) listAddNodeTail(sources, n);
    return !raise_err;
}

// The sources of --cluster-from. False when the command must stop.
bool sourcesFromOption(list *sources, const char *from, clusterManagerNode *target) {
    std::string text(from);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string part = text.substr(pos, comma - pos);
        pos = comma + 1;
        if (part.empty()) continue;
        if (part == "all") {
            useAllMasters(sources, target);
            return true;
        }
        if (!addSource(sources, part, target)) return false;
    }
    return true;
}

// The sources typed one per line. False when the command must stop.
bool sourcesFromInput(list *sources, clusterManagerNode *target) {
    printf("Please enter all the source node IDs.\n");
    printf("  Type 'all' to use all the nodes as source nodes for the hash slots.\n");
    printf("  Type 'done' once you entered all the source nodes IDs.\n");
    for (;;) {
        std::string question = "Source node #" + std::to_string(listLength(sources) + 1) + ": ";
        std::string answer;
        if (!ask(question.c_str(), 255, [&](const std::string &a) {
                answer = a;
                return !a.empty();
            }))
            return false;
        if (answer == "done") return true;
        if (answer == "all") {
            useAllMasters(sources, target);
            return true;
        }
        if (!addSource(sources, answer, target)) return false;
    }
}

void printNodeBlock(const clusterManagerNode *n) {
    hisds info = clusterManagerNodeInfo(n, 4);
    printf("%s\n", info);
    hi_sdsfree(info);
}

int reshard() {
    clusterManagerCommand &cmd = config.cluster_manager_command;
    clusterManagerCheckCluster(0);
    if (cluster_manager.errors != nullptr && listLength(cluster_manager.errors) > 0 &&
        !config.force_mode) {
        fflush(stdout);
        fprintf(stderr, "*** Please fix your cluster problems before resharding\n");
        return 0;
    }
    int slots = cmd.slots;
    if (slots == 0) {
        std::string question = "How many slots do you want to move (from 1 to " +
                               std::to_string(CLUSTER_MANAGER_SLOTS) + ")? ";
        const cliNumberRange range = {"a number of slots", 1, CLUSTER_MANAGER_SLOTS};
        if (!ask(question.c_str(), 6, [&](const std::string &a) {
                long long v;
                if (!cliParseInteger(a.c_str(), range, &v)) return false;
                slots = static_cast<int>(v);
                return true;
            }))
            return 0;
    }
    std::string to;
    if (cmd.to != nullptr) {
        to = cmd.to;
    } else if (!ask("What is the receiving node ID? ", 255, [&](const std::string &a) {
                   to = a;
                   return !a.empty();
               })) {
        return 0;
    }
    int raise_err = 0;
    clusterManagerNode *target = clusterNodeForResharding(to.c_str(), nullptr, &raise_err);
    if (target == nullptr) return 0;

    list *sources = listCreate();
    auto done = [&](int result) {
        listRelease(sources);
        return result;
    };
    bool go_on = cmd.from != nullptr ? sourcesFromOption(sources, cmd.from, target)
                                     : sourcesFromInput(sources, target);
    if (!go_on) return done(0);
    if (listLength(sources) == 0) {
        fprintf(stderr, "*** No source nodes given, operation aborted.\n");
        return done(0);
    }
    printf("\nReady to move %d slots.\n", slots);
    printf("  Source nodes:\n");
    clusterManagerForEach<clusterManagerNode>(sources, printNodeBlock);
    printf("  Destination node:\n");
    printNodeBlock(target);
    list *table = clusterManagerComputeReshardTable(sources, slots);
    printf("  Resharding plan:\n");
    clusterManagerShowReshardTable(table);
    auto finish = [&](int result) {
        clusterManagerReleaseReshardTable(table);
        return done(result);
    };
    if (!(cmd.flags & CLUSTER_MANAGER_CMD_FLAG_YES)) {
        printf("Do you want to proceed with the proposed reshard plan (yes/no)? ");
        fflush(stdout);
        std::optional<std::string> answer = readAnswer(4);
        if (!answer || answer->compare(0, 3, "yes") != 0) return finish(0);
    }
    bool ok = true;
    clusterManagerForEach<clusterManagerReshardTableItem>(
        table, [&](clusterManagerReshardTableItem *item) {
            hisds err = nullptr;
            ok = clusterManagerMoveSlot(item->source, target, item->slot,
                                        CLUSTER_MANAGER_OPT_VERBOSE, &err) != 0;
            hi_sdsfree(err);
            return ok;
        });
    return finish(ok ? 1 : 0);
}

// The --cluster-weight words applied to the loaded nodes. False when one
// is refused.
bool applyWeights() {
    const clusterManagerCommand &cmd = config.cluster_manager_command;
    for (int i = 0; i < cmd.weight_argc; i++) {
        std::string word = cmd.weight[i];
        size_t eq = word.find('=');
        if (eq == std::string::npos) return false;
        std::string prefix = word.substr(0, eq), value = word.substr(eq + 1);
        float w;
        // A negative weight would ask a master for fewer than no slots.
        if (!cliParseReal(value.c_str(), &w) || w < 0) {
            cliPrintInvalidNumber("--cluster-weight", value.c_str(), "a weight of 0 or more");
            return false;
        }
        clusterManagerNode *n = clusterManagerNodeByAbbreviatedName(prefix.c_str());
        if (n == nullptr) {
            clusterManagerLogErr("*** No such master node %s\n", prefix.c_str());
            return false;
        }
        n->weight = w;
    }
    return true;
}

int rebalance() {
    const clusterManagerCommand &cmd = config.cluster_manager_command;
    if (!applyWeights()) return 0;
    std::vector<clusterManagerNode *> involved;
    float total_weight = 0;
    const bool use_empty = cmd.flags & CLUSTER_MANAGER_CMD_FLAG_EMPTYMASTER;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (!isMaster(n)) return;
        if (!use_empty && n->slots_count == 0) {
            n->weight = 0;
            return;
        }
        involved.push_back(n);
        total_weight += n->weight;
    });
    clusterManagerCheckCluster(1);
    if (cluster_manager.errors != nullptr && listLength(cluster_manager.errors) > 0 &&
        !config.force_mode) {
        clusterManagerLogErr("*** Please fix your cluster problems before rebalancing\n");
        return 0;
    }
    if (involved.empty() || !(total_weight > 0)) {
        clusterManagerLogErr("*** No master with a weight above 0 to rebalance across\n");
        return 0;
    }
    int count = static_cast<int>(involved.size());
    if (!clusterManagerComputeBalances(involved.data(), count, total_weight, cmd.threshold)) {
        clusterManagerLogWarn(
            "*** No rebalancing needed! All nodes are within the %.2f%% threshold.\n",
            cmd.threshold);
        return 1;
    }
    qsort(involved.data(), involved.size(), sizeof(involved[0]), clusterManagerCompareNodeBalance);
    clusterManagerLogInfo(">>> Rebalancing across %d nodes. Total weight = %.2f\n", count,
                          total_weight);
    if (config.verbose) {
        for (clusterManagerNode *n : involved)
            printf("%s:%d balance is %d slots\n", n->ip, n->port, n->balance);
    }
    const bool simulate = cmd.flags & CLUSTER_MANAGER_CMD_FLAG_SIMULATE;
    int dst = 0, src = count - 1;
    while (dst < src) {
        clusterManagerNode *to = involved[dst], *from = involved[src];
        int numslots = std::min(std::abs(to->balance), std::abs(from->balance));
        if (numslots > 0) {
            printf("Moving %d slots from %s:%d to %s:%d\n", numslots, from->ip, from->port, to->ip,
                   to->port);
            list *sources = listCreate();
            listAddNodeTail(sources, from);
            list *table = clusterManagerComputeReshardTable(sources, numslots);
            listRelease(sources);
            bool ok = static_cast<int>(listLength(table)) == numslots;
            if (!ok) clusterManagerLogErr("*** Assertion failed: Reshard table != number of slots");
            if (ok) {
                clusterManagerForEach<clusterManagerReshardTableItem>(
                    table, [&](clusterManagerReshardTableItem *item) {
                        if (!simulate) {
                            ok = clusterManagerMoveSlot(item->source, to, item->slot,
                                                        CLUSTER_MANAGER_OPT_QUIET |
                                                            CLUSTER_MANAGER_OPT_UPDATE,
                                                        nullptr) != 0;
                            if (!ok) return false;
                        }
                        printf("#");
                        fflush(stdout);
                        return true;
                    });
            }
            clusterManagerReleaseReshardTable(table);
            if (!ok) return 0;
            printf("\n");
        }
        to->balance += numslots;
        from->balance -= numslots;
        if (to->balance == 0) dst++;
        if (from->balance == 0) src--;
    }
    return 1;
}

} // namespace

int clusterManagerCommandReshard(int argc, char **argv) {
    if (!clusterManagerLoadInfoFromArgs(argc, argv)) return 0;
    return reshard();
}

int clusterManagerCommandRebalance(int argc, char **argv) {
    if (!clusterManagerLoadInfoFromArgs(argc, argv)) return 0;
    return rebalance();
}

clusterManagerNode *clusterNodeForResharding(const char *id, clusterManagerNode *target,
                                             int *raise_err) {
    clusterManagerNode *node = clusterManagerNodeByName(id);
    if (node == nullptr || (node->flags & CLUSTER_MANAGER_FLAG_SLAVE)) {
        clusterManagerLogErr("*** The specified node (%s) is not known or not a master, please "
                             "retry.\n",
                             id);
        *raise_err = 1;
        return nullptr;
    }
    if (target != nullptr && hi_sdscmp(node->name, target->name) == 0) {
        clusterManagerLogErr("*** It is not possible to use the target node as source node.\n");
        return nullptr;
    }
    return node;
}

clusterManagerNode *clusterManagerNodeByAbbreviatedName(const char *prefix) {
    std::string lower(prefix);
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    clusterManagerNode *found = nullptr;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (n->name == nullptr) return true;
        if (strncmp(n->name, lower.c_str(), lower.size()) == 0) {
            found = n;
            return false;
        }
        return true;
    });
    return found;
}

list *clusterManagerComputeReshardTable(list *sources, int numslots) {
    list *moved = listCreate();
    std::vector<clusterManagerNode *> nodes;
    int total = 0;
    clusterManagerForEach<clusterManagerNode>(sources, [&](clusterManagerNode *n) {
        nodes.push_back(n);
        total += n->slots_count;
    });
    if (total <= 0 || numslots <= 0) return moved;
    qsort(nodes.data(), nodes.size(), sizeof(nodes[0]), clusterManagerSlotCountCompareDesc);
    for (size_t i = 0; i < nodes.size(); i++) {
        clusterManagerNode *n = nodes[i];
        float share = static_cast<float>(numslots) / static_cast<float>(total) *
                      static_cast<float>(n->slots_count);
        share = i == 0 ? std::ceil(share) : std::floor(share);
        int max = static_cast<int>(share);
        int count = 0;
        for (int slot = 0; slot < CLUSTER_MANAGER_SLOTS; slot++) {
            if (!n->slots[slot]) continue;
            if (count == max || static_cast<int>(listLength(moved)) >= numslots) break;
            auto *item = static_cast<clusterManagerReshardTableItem *>(
                malloc(sizeof(clusterManagerReshardTableItem)));
            item->source = n;
            item->slot = slot;
            listAddNodeTail(moved, item);
            count++;
        }
    }
    return moved;
}

void clusterManagerReleaseReshardTable(list *table) {
    if (table == nullptr) return;
    clusterManagerForEach<clusterManagerReshardTableItem>(table, free);
    listRelease(table);
}

void clusterManagerShowReshardTable(list *table) {
    clusterManagerForEach<clusterManagerReshardTableItem>(
        table, [](clusterManagerReshardTableItem *item) {
            printf("    Moving slot %d from %s\n", item->slot, item->source->name);
        });
}

bool clusterManagerComputeBalances(clusterManagerNode **nodes, int count, float total_weight,
                                   float threshold) {
    int total_balance = 0;
    bool reached = false;
    for (int i = 0; i < count; i++) {
        clusterManagerNode *n = nodes[i];
        int expected =
            static_cast<int>(static_cast<float>(CLUSTER_MANAGER_SLOTS) / total_weight * n->weight);
        n->balance = n->slots_count - expected;
        total_balance += n->balance;
        if (threshold > 0) {
            if (n->slots_count > 0) {
                float err_perc =
                    static_cast<float>(fabs(100 - (100.0 * expected / n->slots_count)));
                if (err_perc > threshold) reached = true;
            } else if (expected > 1) {
                reached = true;
            }
        }
    }
    if (!reached) return false;
    // Truncated shares leave slots nobody expects; masters at or below
    // their share take one more each, in order, until none is left over.
    while (total_balance > 0) {
        bool taken = false;
        for (int i = 0; i < count && total_balance > 0; i++) {
            if (nodes[i]->balance <= 0) {
                nodes[i]->balance--;
                total_balance--;
                taken = true;
            }
        }
        if (!taken) break;
    }
    return true;
}
