#include "cluster/backup.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/config.h"
#include "cli/connection.h"
#include "cluster/check.h"
#include "cluster/log.h"
#include "cluster/render.h"
#include "cluster/topology.h"
#include "modes/info_field.h"
#include "modes/replication.h"
#include "modes/vdb_output.h"
#include "support/crc16.h"

namespace {

using ReplyPtr = clusterManagerReplyPtr;

constexpr int kScanCount = 1000;

// ---- import ----

// The owner of every slot: the first loaded master, in list order, that owns
// it; null for a slot nobody owns.
using SlotOwnerMap = std::array<clusterManagerNode *, CLUSTER_MANAGER_SLOTS>;

std::unique_ptr<SlotOwnerMap> buildSlotOwnerMap(void) {
    auto owners = std::make_unique<SlotOwnerMap>();
    owners->fill(nullptr);
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if ((n->flags & CLUSTER_MANAGER_FLAG_SLAVE) || n->slots_count == 0) return;
        for (int s = 0; s < CLUSTER_MANAGER_SLOTS; s++)
            if (n->slots[s] && (*owners)[s] == nullptr) (*owners)[s] = n;
    });
    return owners;
}

// The MIGRATE request for one key, every word but the owner and the key
// fixed for the whole import: host, port, key, database 0, timeout, the
// cluster's credentials, then COPY before REPLACE.
class MigrateCommand {
  public:
    MigrateCommand() {
        const clusterManagerCommand &cmd = config.cluster_manager_command;
        words_ = {"MIGRATE", "", "", "", "0", std::to_string(cmd.timeout)};
        if (config.auth != nullptr) {
            if (config.user != nullptr) {
                words_.push_back("AUTH2");
                words_.push_back(config.user);
            } else {
                words_.push_back("AUTH");
            }
            words_.push_back(config.auth);
        }
        if (cmd.flags & CLUSTER_MANAGER_CMD_FLAG_COPY) words_.push_back("COPY");
        if (cmd.flags & CLUSTER_MANAGER_CMD_FLAG_REPLACE) words_.push_back("REPLACE");
    }

    vornReply *send(vornContext *c, const clusterManagerNode *owner, const char *key,
                    size_t keylen) {
        words_[1] = owner->ip;
        words_[2] = std::to_string(owner->port);
        words_[3].assign(key, keylen);
        return clusterManagerCommandWords(c, words_);
    }

  private:
    std::vector<std::string> words_;
};

void printSourceError(const char *ip, int port, const char *err) {
    clusterManagerLogErr("Source %s:%d replied with error:\n%s\n", ip, port, err);
}

// Checks a source reply: a missing one (the connection's error printed) or
// an error reply (logged) fails.
bool sourceReplyOk(vornContext *src, const char *ip, int port, const vornReply *r) {
    if (r == nullptr) {
        fprintf(stderr, "Error: %s\n", src->errstr[0] ? src->errstr : "no reply");
        return false;
    }
    if (r->type == VORN_REPLY_ERROR) {
        printSourceError(ip, port, r->str);
        return false;
    }
    return true;
}

// The next cursor and the keys of a SCAN reply, or false for a reply of any
// other shape: a source that answers nonsense ends the import instead of
// being read out of bounds.
bool parseScanReply(const vornReply *r, unsigned long long *cursor, const vornReply **keys) {
    if (r->type != VORN_REPLY_ARRAY || r->elements < 2) return false;
    const vornReply *c = r->element[0];
    if (c->type == VORN_REPLY_STRING) {
        char *end = nullptr;
        *cursor = strtoull(c->str, &end, 10);
        if (end == c->str || *end != '\0') return false;
    } else if (c->type == VORN_REPLY_INTEGER) {
        *cursor = static_cast<unsigned long long>(c->integer);
    } else {
        return false;
    }
    *keys = r->element[1];
    if ((*keys)->type != VORN_REPLY_ARRAY) return false;
    for (size_t i = 0; i < (*keys)->elements; i++)
        if ((*keys)->element[i]->type != VORN_REPLY_STRING) return false;
    return true;
}

// Walks the source's keys and migrates each to the master of its slot.
int migrateAllKeys(vornContext *src, const char *ip, int port) {
    std::unique_ptr<SlotOwnerMap> owners = buildSlotOwnerMap();
    MigrateCommand migrate;
    unsigned long long cursor = 0;
    do {
        ReplyPtr reply(
            static_cast<vornReply *>(vornCommand(src, "SCAN %llu COUNT %d", cursor, kScanCount)));
        if (!sourceReplyOk(src, ip, port, reply.get())) return 0;
        const vornReply *keys = nullptr;
        if (!parseScanReply(reply.get(), &cursor, &keys)) {
            clusterManagerLogErr("[ERR] Source %s:%d sent a malformed SCAN reply\n", ip, port);
            return 0;
        }
        for (size_t i = 0; i < keys->elements; i++) {
            const vornReply *key = keys->element[i];
            int slot = clusterManagerKeyHashSlot(key->str, key->len);
            clusterManagerNode *owner = (*owners)[slot];
            if (owner == nullptr) {
                clusterManagerLogErr("[ERR] No master owns slot %d\n", slot);
                return 0;
            }
            printf("Migrating ");
            fwrite(key->str, 1, key->len, stdout);
            printf(" to %s:%d: ", owner->ip, owner->port);
            ReplyPtr r(migrate.send(src, owner, key->str, key->len));
            if (!sourceReplyOk(src, ip, port, r.get())) return 0;
            clusterManagerLogOk("OK\n");
        }
    } while (cursor != 0);
    return 1;
}

// ---- backup ----

hisds appendJSONString(hisds out, const char *s) {
    out = hi_sdscatlen(out, "\"", 1);
    if (s != nullptr) out = clusterManagerJSONEscape(out, s, strlen(s));
    return hi_sdscatlen(out, "\"", 1);
}

// ",\n    \"key\": {\"slot\": \"id\",...}" for a node's open-slot pairs.
hisds appendOpenSlots(hisds out, const char *key, hisds *pairs, int count) {
    if (count == 0) return out;
    out = hi_sdscatprintf(out, ",\n    \"%s\": {", key);
    for (int i = 0; i + 1 < count; i += 2) {
        if (i > 0) out = hi_sdscatlen(out, ",", 1);
        out = appendJSONString(out, pairs[i]);
        out = hi_sdscatlen(out, ": ", 2);
        out = appendJSONString(out, pairs[i + 1]);
    }
    return hi_sdscatlen(out, "}", 1);
}

// Length of the UTF-8 sequence starting at s (at most n bytes), or 0 when
// the bytes there are not one.
size_t utf8SequenceLength(const unsigned char *s, size_t n) {
    size_t len;
    uint32_t cp;
    if (s[0] < 0x80) return 1;
    if ((s[0] & 0xe0) == 0xc0) {
        len = 2;
        cp = s[0] & 0x1f;
    } else if ((s[0] & 0xf0) == 0xe0) {
        len = 3;
        cp = s[0] & 0x0f;
    } else if ((s[0] & 0xf8) == 0xf0) {
        len = 4;
        cp = s[0] & 0x07;
    } else {
        return 0;
    }
    if (len > n) return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3f);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return len;
}

// Writes the text to path: a regular file by way of a temporary file
// renamed into place once complete and on disk, so a failure never leaves a
// nodes.json that looks whole; a FIFO or a device directly.
bool writeWholeFile(const char *path, const char *data, size_t len) {
    vdbOutput out;
    return out.open(path) && out.write(data, len) && out.sync() && out.commit();
}

// The snapshot transfer of one master into its file; the node's connection
// is used up by it. A failed transfer says why and ends the process, before
// nodes.json is written, so no backup claims a snapshot it does not have.
void saveNodeSnapshot(clusterManagerNode *node, const char *path) {
    getVDB(&node->context, path);
}

// The backup directory as given, followed by "/" unless it ends with one.
hisds backupDirPrefix(void) {
    const char *dir = config.cluster_manager_command.backup_dir;
    hisds path = hi_sdsnew(dir != nullptr ? dir : "");
    if (hi_sdslen(path) == 0 || path[hi_sdslen(path) - 1] != '/') path = hi_sdscat(path, "/");
    return path;
}

hisds appendPathComponent(hisds out, const char *s) {
    for (const char *p = s != nullptr ? s : ""; *p; p++)
        out = hi_sdscatlen(out, *p == '/' ? "_" : p, 1);
    return out;
}

} // namespace

int clusterManagerKeyHashSlot(const char *key, size_t keylen) {
    size_t s, e;
    for (s = 0; s < keylen; s++)
        if (key[s] == '{') break;
    if (s == keylen) return crc16(key, static_cast<int>(keylen)) & 0x3fff;
    for (e = s + 1; e < keylen; e++)
        if (key[e] == '}') break;
    // No closing brace, or an empty tag: the whole key counts.
    if (e == keylen || e == s + 1) return crc16(key, static_cast<int>(keylen)) & 0x3fff;
    return crc16(key + s + 1, static_cast<int>(e - s - 1)) & 0x3fff;
}

hisds clusterManagerJSONEscape(hisds out, const char *s, size_t len) {
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    size_t i = 0;
    while (i < len) {
        unsigned char c = p[i];
        size_t seq = utf8SequenceLength(p + i, len - i);
        if (c == '"' || c == '\\') {
            char esc[2] = {'\\', static_cast<char>(c)};
            out = hi_sdscatlen(out, esc, 2);
        } else if (c < 0x20 || c == 0x7f || seq == 0) {
            // A byte outside UTF-8 stands for the character of its value.
            out = hi_sdscatprintf(out, "\\u%04x", c);
            seq = 1;
        } else {
            out = hi_sdscatlen(out, p + i, seq);
            i += seq;
            continue;
        }
        i++;
    }
    return out;
}

hisds clusterManagerNodeGetJSON(const clusterManagerNode *node, unsigned long error_count) {
    hisds slots = clusterManagerNodeSlotsString(node);
    for (size_t i = 0; i < hi_sdslen(slots); i++)
        if (slots[i] == '-') slots[i] = ',';
    hisds flags = clusterManagerNodeFlagString(node);

    hisds json = hi_sdsnew("  {\n    \"name\": ");
    json = appendJSONString(json, node->name);
    json = hi_sdscat(json, ",\n    \"host\": ");
    json = appendJSONString(json, node->ip);
    json = hi_sdscatprintf(json, ",\n    \"port\": %d,\n    \"replicate\": ", node->port);
    if (node->replicate != nullptr)
        json = appendJSONString(json, node->replicate);
    else
        json = hi_sdscat(json, "null");
    json = hi_sdscatprintf(
        json, ",\n    \"slots\": [%s],\n    \"slots_count\": %d,\n    \"flags\": ", slots,
        node->slots_count);
    json = appendJSONString(json, flags);
    json = hi_sdscatprintf(json, ",\n    \"current_epoch\": %" PRIu64, node->current_epoch);
    if (error_count > 0)
        json = hi_sdscatprintf(json, ",\n    \"cluster_errors\": %lu", error_count);
    json = appendOpenSlots(json, "migrating", node->migrating, node->migrating_count);
    json = appendOpenSlots(json, "importing", node->importing, node->importing_count);
    json = hi_sdscat(json, "\n  }");
    hi_sdsfree(slots);
    hi_sdsfree(flags);
    return json;
}

hisds clusterManagerGetNodeVDBFilename(const clusterManagerNode *node) {
    hisds path = hi_sdscat(backupDirPrefix(), "vorn-node-");
    path = appendPathComponent(path, node->ip);
    path = hi_sdscatprintf(path, "-%d-", node->port);
    path = appendPathComponent(path, node->name);
    return hi_sdscat(path, ".vdb");
}

int clusterManagerCommandImport(int argc, char **argv) {
    char *ip = nullptr;
    int port = 0;
    if (!getClusterHostFromCmdArgs(argc, argv, &ip, &port)) {
        clusterManagerPrintInvalidArgs();
        return 0;
    }
    clusterManagerCommand &cmd = config.cluster_manager_command;
    if (cmd.from == nullptr) {
        fprintf(stderr, "[ERR] Option '--cluster-from' is required for subcommand 'import'.\n");
        return 0;
    }
    char *src_ip = nullptr;
    int src_port = 0;
    if (!getClusterHostFromCmdArgs(1, &cmd.from, &src_ip, &src_port)) {
        fprintf(stderr, "[ERR] Invalid --cluster-from host. You need to pass a valid address "
                        "(ie. 120.0.0.1:7000).\n");
        return 0;
    }
    clusterManagerLogInfo(">>> Importing data from %s:%d to cluster %s:%d\n", src_ip, src_port, ip,
                          port);
    clusterManagerNode *refnode = clusterManagerNewNode(ip, port);
    if (!clusterManagerLoadInfoFromNode(refnode)) return 0;
    if (!clusterManagerCheckCluster(0)) return 0;

    // The source may spend up to the timeout on each MIGRATE before it
    // answers; a source silent for twice as long is taken for hung instead
    // of being waited for forever.
    long long t = cmd.timeout;
    struct timeval tv = {static_cast<time_t>(t / 1000), static_cast<suseconds_t>(t % 1000 * 1000)};
    struct timeval reply_tv = {static_cast<time_t>(2 * t / 1000),
                               static_cast<suseconds_t>(2 * t % 1000 * 1000)};
    vornOptions options = {};
    VORN_OPTIONS_SET_TCP(&options, src_ip, src_port);
    options.connect_timeout = &tv;
    options.command_timeout = &reply_tv;
    std::unique_ptr<vornContext, void (*)(vornContext *)> src(vornConnectWithOptions(&options),
                                                              vornFree);
    if (src == nullptr || src->err) {
        fprintf(stderr, "Could not connect to Vorn at %s:%d: %s.\n", src_ip, src_port,
                src != nullptr ? src->errstr : "Out of memory");
        return 0;
    }
    if (cliAuth(src.get(), cmd.from_user, cmd.from_pass) != 0) return 0;

    ReplyPtr info(static_cast<vornReply *>(vornCommand(src.get(), "INFO")));
    if (!sourceReplyOk(src.get(), src_ip, src_port, info.get())) return 0;
    int64_t enabled = info->str != nullptr ? getLongInfoField(info->str, "cluster_enabled") : 0;
    if (enabled != 0 && enabled != INT64_MIN) {
        clusterManagerLogErr("[ERR] The source node should not be a cluster node.\n");
        return 0;
    }
    ReplyPtr size(static_cast<vornReply *>(vornCommand(src.get(), "DBSIZE")));
    if (!sourceReplyOk(src.get(), src_ip, src_port, size.get())) return 0;
    clusterManagerLogWarn("*** Importing %lld keys from DB 0\n", size->integer);

    return migrateAllKeys(src.get(), src_ip, src_port);
}

int clusterManagerCommandBackup(int argc, char **argv) {
    (void)argc;
    if (!clusterManagerLoadInfoFromArgs(1, argv)) return 0;

    int no_issues = clusterManagerCheckCluster(0);
    unsigned long error_count = 0;
    if (!no_issues && cluster_manager.errors != nullptr)
        error_count = listLength(cluster_manager.errors);
    config.cluster_manager_command.backup_dir = argv[1];

    hisds json = hi_sdsnew("[\n");
    bool first = true;
    clusterManagerForEachNode([&](clusterManagerNode *n) {
        if (!first) json = hi_sdscat(json, ",\n");
        first = false;
        hisds obj = clusterManagerNodeGetJSON(n, error_count);
        json = hi_sdscatsds(json, obj);
        hi_sdsfree(obj);
        if (n->replicate != nullptr) return;
        clusterManagerLogInfo(">>> Node %s:%d -> Saving VDB...\n", n->ip, n->port);
        fflush(stdout);
        hisds path = clusterManagerGetNodeVDBFilename(n);
        saveNodeSnapshot(n, path);
        hi_sdsfree(path);
    });
    json = hi_sdscat(json, "\n]");

    hisds path = hi_sdscat(backupDirPrefix(), "nodes.json");
    fflush(stdout);
    clusterManagerLogInfo("Saving cluster configuration to: %s\n", path);
    bool written = writeWholeFile(path, json, hi_sdslen(json));
    hi_sdsfree(json);
    if (!written) {
        clusterManagerLogErr("Could not save nodes to: %s\n", path);
        clusterManagerLogOk("[ERR] Failed to back cluster!\n");
        hi_sdsfree(path);
        return 0;
    }
    hi_sdsfree(path);
    if (!no_issues)
        clusterManagerLogWarn("*** Cluster seems to have some problems, please be aware of it if "
                              "you're going to restore this backup.\n");
    clusterManagerLogOk("[OK] Backup created into: %s\n", argv[1]);
    return 1;
}
