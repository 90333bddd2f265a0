#include "cluster/migrate.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/config.h"
#include "cluster/log.h"
#include "cluster/reply_ptr.h"
#include "cluster/slot_ops.h"

namespace {

// The digest a node gives for a key it does not hold.
constexpr const char *kMissingDigest = "0000000000000000000000000000000000000000";

bool flaggedSlave(const clusterManagerNode *n) {
    return (n->flags & CLUSTER_MANAGER_FLAG_SLAVE) != 0;
}

// A batch of keys as GETKEYSINSLOT returned it: an array of strings. Any
// other shape is not something a node can send, and is refused rather than
// half-used.
bool isKeyBatch(const vornReply *r) {
    if (r == nullptr || r->type != VORN_REPLY_ARRAY) return false;
    for (size_t i = 0; i < r->elements; i++)
        if (r->element[i]->type != VORN_REPLY_STRING) return false;
    return true;
}

// Argument vectors with binary-safe words; the words are owned here, the
// keys borrowed from the reply they came from.
class ArgVector {
  public:
    void add(std::string word) {
        owned_.push_back(std::move(word));
        refs_.push_back({nullptr, owned_.size() - 1});
    }
    void addBorrowed(const char *p, size_t len) { refs_.push_back({p, len}); }
    void addKeys(const vornReply *keys) {
        for (size_t i = 0; i < keys->elements; i++)
            addBorrowed(keys->element[i]->str, keys->element[i]->len);
    }
    // Queues the command on ctx and reads its reply; null on I/O failure.
    clusterManagerReplyPtr run(vornContext *ctx) {
        if (!append(ctx)) return nullptr;
        return read(ctx);
    }
    bool append(vornContext *ctx) {
        std::vector<const char *> argv;
        std::vector<size_t> argvlen;
        for (const Ref &r : refs_) {
            if (r.ptr == nullptr) {
                argv.push_back(owned_[r.len].data());
                argvlen.push_back(owned_[r.len].size());
            } else {
                argv.push_back(r.ptr);
                argvlen.push_back(r.len);
            }
        }
        return vornAppendCommandArgv(ctx, static_cast<int>(argv.size()), argv.data(),
                                     argvlen.data()) == VORN_OK;
    }
    static clusterManagerReplyPtr read(vornContext *ctx) {
        void *raw = nullptr;
        if (vornGetReply(ctx, &raw) != VORN_OK) return nullptr;
        return clusterManagerReplyPtr(static_cast<vornReply *>(raw));
    }

  private:
    struct Ref {
        const char *ptr; // null: owned_[len]
        size_t len;
    };
    std::vector<std::string> owned_;
    std::vector<Ref> refs_;
};

clusterManagerReplyPtr getKeysInSlot(clusterManagerNode *node, int slot, int count) {
    return clusterManagerReplyPtr(static_cast<vornReply *>(
        vornCommand(node->context, "CLUSTER GETKEYSINSLOT %d %d", slot, count)));
}

std::vector<std::string> keyList(const vornReply *keys) {
    std::vector<std::string> v;
    for (size_t i = 0; i < keys->elements; i++)
        v.emplace_back(keys->element[i]->str, keys->element[i]->len);
    return v;
}

bool sameKeys(const vornReply *keys, const std::vector<std::string> &v) {
    if (keys->elements != v.size()) return false;
    for (size_t i = 0; i < v.size(); i++)
        if (std::string_view(keys->element[i]->str, keys->element[i]->len) != v[i]) return false;
    return true;
}

hisds dotsFor(size_t n) {
    hisds d = hi_sdsempty();
    for (size_t i = 0; i < n; i++)
        d = hi_sdscatlen(d, ".", 1);
    return d;
}

void printDots(hisds dots) {
    if (dots == nullptr) return;
    printf("%s", dots);
    fflush(stdout);
}

void setErr(hisds *err, const vornReply *r) {
    if (err == nullptr || r == nullptr || r->type != VORN_REPLY_ERROR) return;
    hi_sdsfree(*err);
    *err = hi_sdsnewlen(r->str, r->len);
}

// The value check of a batch that met existing keys on the target: 1 when
// every key present on both nodes has the same value there, 0 after the
// report of the keys that differ or of why they could not be compared.
int checkBusyKeys(clusterManagerNode *source, clusterManagerNode *target, vornReply *keys) {
    clusterManagerLogWarn("*** Checking key values on both nodes...\n");
    list *diffs = listCreate();
    int ok = 1;
    if (!clusterManagerCompareKeysValues(source, target, keys, diffs)) {
        clusterManagerLogErr("*** Value check failed!\n");
        ok = 0;
    } else if (listLength(diffs) > 0) {
        clusterManagerLogErr("*** Found %d key(s) in both source node and target node having "
                             "different values.\n"
                             "    Source node: %s:%d\n"
                             "    Target node: %s:%d\n"
                             "    Keys(s):\n",
                             static_cast<int>(listLength(diffs)), source->ip, source->port,
                             target->ip, target->port);
        clusterManagerForEach<char>(diffs, [](char *k) { clusterManagerLogErr("    - %s\n", k); });
        clusterManagerLogErr("Please fix the above key(s) manually and try again or relaunch "
                             "the command \nwith --cluster-replace option to force key "
                             "overriding.\n");
        ok = 0;
    }
    clusterManagerReleaseSdsList(diffs);
    return ok;
}

} // namespace

vornReply *clusterManagerMigrateKeysInReply(clusterManagerNode *source, clusterManagerNode *target,
                                            vornReply *reply, int replace, int timeout,
                                            hisds *dots) {
    ArgVector args;
    args.add("MIGRATE");
    args.add(target->ip);
    args.add(std::to_string(target->port));
    args.add("");
    args.add("0");
    args.add(std::to_string(timeout));
    if (replace) args.add("REPLACE");
    // The source authenticates with the target as we do; a user name alone
    // means no credentials at all.
    if (config.auth != nullptr) {
        if (config.user != nullptr) {
            args.add("AUTH2");
            args.add(config.user);
        } else {
            args.add("AUTH");
        }
        args.add(config.auth);
    }
    args.add("KEYS");
    args.addKeys(reply);
    if (dots != nullptr) *dots = dotsFor(reply->elements);
    return args.run(source->context).release();
}

int clusterManagerCompareKeysValues(clusterManagerNode *n1, clusterManagerNode *n2,
                                    vornReply *keys_reply, list *diffs) {
    ArgVector args;
    args.add("DEBUG");
    args.add("DIGEST-VALUE");
    args.addKeys(keys_reply);
    clusterManagerReplyPtr r1 = args.run(n1->context);
    if (r1 == nullptr) return 0;
    clusterManagerReplyPtr r2 = args.run(n2->context);
    if (r2 == nullptr) return 0;
    bool e1 = r1->type == VORN_REPLY_ERROR, e2 = r2->type == VORN_REPLY_ERROR;
    if (e1) clusterManagerPrintReplyError(n1, r1->str);
    if (e2) clusterManagerPrintReplyError(n2, r2->str);
    if (e1 || e2) return 0;
    size_t n = keys_reply->elements;
    // One digest per key, each a string; anything else cannot be compared.
    for (const vornReply *r : {r1.get(), r2.get()}) {
        if (r->type != VORN_REPLY_ARRAY || r->elements != n) return 0;
        for (size_t i = 0; i < n; i++)
            if (r->element[i]->type != VORN_REPLY_STRING &&
                r->element[i]->type != VORN_REPLY_STATUS)
                return 0;
    }
    for (size_t i = 0; i < n; i++) {
        const vornReply *d1 = r1->element[i], *d2 = r2->element[i];
        if (strcmp(d1->str, kMissingDigest) == 0 || strcmp(d2->str, kMissingDigest) == 0) continue;
        if (d1->len != d2->len || memcmp(d1->str, d2->str, d1->len) != 0) {
            const vornReply *k = keys_reply->element[i];
            listAddNodeTail(diffs, hi_sdsnewlen(k->str, k->len));
        }
    }
    return 1;
}

int clusterManagerMigrateKeysInSlot(clusterManagerNode *source, clusterManagerNode *target,
                                    int slot, int timeout, int pipeline, int verbose, hisds *err) {
    const int flags = config.cluster_manager_command.flags;
    const bool do_fix = (flags & CLUSTER_MANAGER_CMD_FLAG_FIX) != 0;
    const bool do_replace = (flags & CLUSTER_MANAGER_CMD_FLAG_REPLACE) != 0;
    std::vector<std::string> moved; // the batch the last MIGRATE took
    for (;;) {
        clusterManagerReplyPtr keys = getKeysInSlot(source, slot, pipeline);
        if (keys == nullptr) return 0;
        if (keys->type == VORN_REPLY_ERROR) {
            setErr(err, keys.get());
            clusterManagerPrintReplyError(source, keys->str);
            return 0;
        }
        if (!isKeyBatch(keys.get())) {
            clusterManagerLogErr("[ERR] Node %s:%d gave an unexpected answer to "
                                 "CLUSTER GETKEYSINSLOT\n",
                                 source->ip, source->port);
            return 0;
        }
        if (keys->elements == 0) return 1;
        // Keys a successful MIGRATE took leave the source. A node offering
        // the very same batch again would keep this loop going forever.
        if (sameKeys(keys.get(), moved)) {
            clusterManagerLogErr("[ERR] Node %s:%d still holds the keys it migrated; giving "
                                 "up on slot %d\n",
                                 source->ip, source->port, slot);
            return 0;
        }
        moved = keyList(keys.get());

        hisds dots = nullptr;
        clusterManagerReplyPtr migrate(clusterManagerMigrateKeysInReply(
            source, target, keys.get(), 0, timeout, verbose ? &dots : nullptr));
        auto fail = [&](const vornReply *r) {
            if (r != nullptr && r->type == VORN_REPLY_ERROR) {
                setErr(err, r);
                printf("\n");
                clusterManagerPrintReplyError(source, r->str);
            }
            hi_sdsfree(dots);
            return 0;
        };
        if (migrate == nullptr) return fail(nullptr);
        if (migrate->type != VORN_REPLY_ERROR) {
            printDots(dots);
            hi_sdsfree(dots);
            continue;
        }

        // An error the source relays from the target names BUSYKEY after
        // its own prefix, so the whole text is searched.
        bool busy = strstr(migrate->str, "BUSYKEY") != nullptr;
        bool not_served = false;
        if (!busy) {
            hisds owner_err = nullptr;
            clusterManagerNode *owner = clusterManagerGetSlotOwner(source, slot, &owner_err);
            if (owner_err != nullptr) {
                clusterManagerPrintReplyError(source, owner_err);
                hi_sdsfree(owner_err);
            } else if (owner == nullptr) {
                not_served = true;
            }
        }
        if (!busy && !not_served) return fail(migrate.get());
        if (not_served && do_fix) {
            clusterManagerLogWarn("*** Slot was not served, setting owner to node %s:%d.\n",
                                  target->ip, target->port);
            clusterManagerSetSlot(source, target, slot, "node", nullptr);
        }
        if (busy) {
            clusterManagerLogWarn("\n*** Target key exists\n");
            if (!do_replace && !checkBusyKeys(source, target, keys.get())) {
                hi_sdsfree(dots);
                return 0;
            }
            clusterManagerLogWarn("*** Replacing target keys...\n");
        }
        migrate.reset(
            clusterManagerMigrateKeysInReply(source, target, keys.get(), busy, timeout, nullptr));
        if (migrate == nullptr || migrate->type == VORN_REPLY_ERROR) return fail(migrate.get());
        printDots(dots);
        hi_sdsfree(dots);
    }
}

int clusterManagerMoveSlot(clusterManagerNode *source, clusterManagerNode *target, int slot,
                           int opts, hisds *err) {
    if (err != nullptr) *err = nullptr;
    const bool quiet = opts & CLUSTER_MANAGER_OPT_QUIET;
    const bool cold = opts & CLUSTER_MANAGER_OPT_COLD;
    if (!quiet) {
        printf("Moving slot %d from %s:%d to %s:%d: ", slot, source->ip, source->port, target->ip,
               target->port);
        fflush(stdout);
    }
    if (!cold) {
        if (!clusterManagerSetSlot(target, source, slot, "importing", err)) return 0;
        if (!clusterManagerSetSlot(source, target, slot, "migrating", err)) return 0;
    }
    const clusterManagerCommand &cmd = config.cluster_manager_command;
    int ok = clusterManagerMigrateKeysInSlot(source, target, slot, cmd.timeout, cmd.pipeline,
                                             (opts & CLUSTER_MANAGER_OPT_VERBOSE) != 0, err);
    if (!quiet) printf("\n");
    if (!ok) return 0;
    if (!cold) {
        bool failed = false;
        clusterManagerForEachNode([&](clusterManagerNode *n) {
            if (flaggedSlave(n)) return true;
            clusterManagerReplyPtr r(static_cast<vornReply *>(
                vornCommand(n->context, "CLUSTER SETSLOT %d %s %s", slot, "node", target->name)));
            if (r == nullptr) {
                failed = true;
            } else if (r->type == VORN_REPLY_ERROR) {
                setErr(err, r.get());
                clusterManagerPrintReplyError(n, r->str);
                failed = true;
            }
            return !failed;
        });
        if (failed) return 0;
    }
    if (opts & CLUSTER_MANAGER_OPT_UPDATE) {
        source->slots[slot] = 0;
        target->slots[slot] = 1;
    }
    return 1;
}
