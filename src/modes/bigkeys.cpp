// --bigkeys / --memkeys. Every SCAN batch costs one pipelined round trip of
// TYPE queries and one of size queries, whatever its length.
#include "modes/bigkeys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "cli/connection.h"
#include "cli/dict_types.h"
#include "modes/keyspace.h"
#include "support/zmalloc.h"

const typeinfo type_string = {nullptr, "STRLEN", "bytes", 0, 0, 0, nullptr};
const typeinfo type_list = {nullptr, "LLEN", "items", 0, 0, 0, nullptr};
const typeinfo type_set = {nullptr, "SCARD", "members", 0, 0, 0, nullptr};
const typeinfo type_hash = {nullptr, "HLEN", "fields", 0, 0, 0, nullptr};
const typeinfo type_zset = {nullptr, "ZCARD", "members", 0, 0, 0, nullptr};
const typeinfo type_stream = {nullptr, "XLEN", "entries", 0, 0, 0, nullptr};
const typeinfo type_other = {nullptr, nullptr, "?", 0, 0, 0, nullptr};

namespace {

// Frees the record and, with its name, the table key (the same string).
void type_free(void *privdata, void *val) {
    (void)privdata;
    typeinfo *info = static_cast<typeinfo *>(val);
    if (info->biggest_key) hi_sdsfree(info->biggest_key);
    hi_sdsfree(info->name);
    zfree(info);
}

} // namespace

dictType typeinfoDictType = {
    dictSdsHash,       // hash function
    nullptr,           // key dup
    nullptr,           // val dup
    dictSdsKeyCompare, // key compare
    nullptr,           // key destructor (the value destructor frees the name)
    type_free,         // val destructor
};

typeinfo *typeinfo_add(dict *types, const char *name, const typeinfo *type_template) {
    typeinfo *info = static_cast<typeinfo *>(zmalloc(sizeof(typeinfo)));
    *info = *type_template;
    info->name = hi_sdsnew(name);
    if (dictAdd(types, info->name, info) != DICT_OK) {
        type_free(nullptr, info);
        return nullptr;
    }
    return info;
}

dict *typeinfoDictCreate(void) {
    dict *types = dictCreate(&typeinfoDictType, nullptr);
    typeinfo_add(types, "string", &type_string);
    typeinfo_add(types, "list", &type_list);
    typeinfo_add(types, "set", &type_set);
    typeinfo_add(types, "hash", &type_hash);
    typeinfo_add(types, "zset", &type_zset);
    typeinfo_add(types, "stream", &type_stream);
    return types;
}

void getKeyTypes(dict *types_dict, const vornReply *keys, typeinfo **types, ScanWalk *walk) {
    for (size_t i = 0; i < keys->elements; i++)
        queueKeyCommand({"TYPE"}, keys->element[i]);
    if (walk) walk->queueNext();

    for (size_t i = 0; i < keys->elements; i++) {
        const vornReply *key = keys->element[i];
        vornReply *reply = readKeyReply("type", key);
        if (reply->type == VORN_REPLY_ERROR) {
            fprintf(stderr, "TYPE returned an error: %s\n", reply->str);
            exit(1);
        }
        if (reply->type != VORN_REPLY_STATUS) {
            fprintf(stderr, "Invalid reply type (%d) for TYPE on key '%s'!\n", reply->type,
                    key->str);
            exit(1);
        }
        hisds typereply = hi_sdsnewlen(reply->str, reply->len);
        dictEntry *de = dictFind(types_dict, typereply);
        hi_sdsfree(typereply);
        typeinfo *type = nullptr;
        if (de != nullptr)
            type = static_cast<typeinfo *>(dictGetVal(de));
        else if (strcmp(reply->str, "none") != 0)
            type = typeinfo_add(types_dict, reply->str, &type_other);
        types[i] = type;
        freeReplyObject(reply);
    }
    if (walk) walk->readNext();
}

void getKeySizes(const vornReply *keys, typeinfo **types, uint64_t *sizes, int memkeys,
                 unsigned memkeys_samples) {
    char samples[16];
    snprintf(samples, sizeof(samples), "%u", memkeys_samples);
    for (size_t i = 0; i < keys->elements; i++) {
        if (types[i] == nullptr) continue;
        if (!memkeys) {
            if (types[i]->sizecmd) queueKeyCommand({types[i]->sizecmd}, keys->element[i]);
        } else if (memkeys_samples == 0) {
            queueKeyCommand({"MEMORY", "USAGE"}, keys->element[i]);
        } else {
            queueKeyCommand({"MEMORY", "USAGE"}, keys->element[i], {"SAMPLES", samples});
        }
    }

    for (size_t i = 0; i < keys->elements; i++) {
        const vornReply *key = keys->element[i];
        sizes[i] = 0;
        if (types[i] == nullptr || (!types[i]->sizecmd && !memkeys)) continue;
        vornReply *reply = readKeyReply("size", key);
        if (reply->type == VORN_REPLY_INTEGER) {
            sizes[i] = static_cast<uint64_t>(reply->integer);
        } else {
            // The key changed type (or went away) after TYPE answered.
            const char *cmd = memkeys ? "MEMORY USAGE" : types[i]->sizecmd;
            fprintf(stderr, "Warning:  %s on '%s' failed (may have changed type)\n", cmd, key->str);
        }
        freeReplyObject(reply);
    }
}

void findBigKeys(int memkeys, unsigned memkeys_samples) {
    dict *types_dict = typeinfoDictCreate();
    long long total_keys = getDbSize();
    printScanIntro("\n# Scanning the entire keyspace to find biggest keys as well as\n");

    uint64_t sampled = 0, totlen = 0;
    typeinfo **types = nullptr;
    uint64_t *sizes = nullptr;
    uint32_t types_cap = 0, sizes_cap = 0;
    ScanWalk walk;
    walk.start();
    do {
        double pct = scanProgress(sampled, total_keys);
        const vornReply *keys = walk.keys();
        types = static_cast<typeinfo **>(
            growKeyArray(types, &types_cap, keys->elements, sizeof(typeinfo *)));
        sizes = static_cast<uint64_t *>(
            growKeyArray(sizes, &sizes_cap, keys->elements, sizeof(uint64_t)));

        getKeyTypes(types_dict, keys, types, &walk);
        getKeySizes(keys, types, sizes, memkeys, memkeys_samples);

        for (size_t i = 0; i < keys->elements; i++) {
            typeinfo *type = types[i];
            if (type == nullptr) continue;
            const vornReply *key = keys->element[i];
            type->totalsize += sizes[i];
            type->count++;
            totlen += key->len;
            sampled++;
            if (type->biggest < sizes[i]) {
                if (type->biggest_key) hi_sdsfree(type->biggest_key);
                type->biggest_key = quotedKey(key);
                printf("[%05.2f%%] Biggest %-6s found so far '%s' with %llu %s\n", pct, type->name,
                       type->biggest_key, (unsigned long long)sizes[i],
                       memkeys ? "bytes" : type->sizeunit);
                type->biggest = sizes[i];
            }
            if (sampled % 1000000 == 0)
                printf("[%05.2f%%] Sampled %llu keys so far\n", pct, (unsigned long long)sampled);
        }
    } while (walk.advance());

    free(types);
    free(sizes);

    printf("\n-------- summary -------\n\n");
    printf("Sampled %llu keys in the keyspace!\n", (unsigned long long)sampled);
    printf("Total key length in bytes is %llu (avg len %.2f)\n\n", (unsigned long long)totlen,
           totlen ? static_cast<double>(totlen) / static_cast<double>(sampled) : 0);

    dictIterator *di = dictGetIterator(types_dict);
    dictEntry *de;
    while ((de = dictNext(di))) {
        typeinfo *type = static_cast<typeinfo *>(dictGetVal(de));
        if (type->biggest_key)
            printf("Biggest %6s found '%s' has %llu %s\n", type->name, type->biggest_key,
                   (unsigned long long)type->biggest, memkeys ? "bytes" : type->sizeunit);
    }
    dictReleaseIterator(di);

    printf("\n");

    di = dictGetIterator(types_dict);
    while ((de = dictNext(di))) {
        typeinfo *type = static_cast<typeinfo *>(dictGetVal(de));
        printf("%llu %ss with %llu %s (%05.2f%% of keys, avg size %.2f)\n",
               (unsigned long long)type->count, type->name, (unsigned long long)type->totalsize,
               memkeys ? "bytes" : type->sizeunit,
               sampled ? 100 * static_cast<double>(type->count) / static_cast<double>(sampled) : 0,
               type->count ? static_cast<double>(type->totalsize) / static_cast<double>(type->count)
                           : 0);
    }
    dictReleaseIterator(di);

    dictRelease(types_dict);
    exit(0);
}
