// --bigkeys and --memkeys: the biggest key of every type, by element count
// or by memory, and a summary per type.
#pragma once

#include <cstdint>

#include "hivorn/hivorn.h"
#include "support/dict.h"

// One accumulator per key type.
struct typeinfo {
    hisds name;          // also the key of its entry in the type table
    const char *sizecmd; // null for types without a size command
    const char *sizeunit;
    uint64_t biggest;
    uint64_t count;
    uint64_t totalsize;
    hisds biggest_key; // quoted form; null until a non-empty key is seen
};

extern const typeinfo type_string, type_list, type_set, type_hash, type_zset, type_stream,
    type_other;

extern dictType typeinfoDictType;

// A copy of the template under its own copy of name, added to types.
typeinfo *typeinfo_add(dict *types, const char *name, const typeinfo *type_template);

// The type table with the six standard types registered, in the order the
// summary's iteration order derives from.
dict *typeinfoDictCreate(void);

struct ScanWalk;

// Fills types[i] for every key of the batch (null: the key vanished). With
// a walk, its next SCAN rides along with the TYPE queries.
void getKeyTypes(dict *types_dict, const vornReply *keys, typeinfo **types,
                 ScanWalk *walk = nullptr);
// Fills sizes[i]: the type's element count, or the memory usage with memkeys.
void getKeySizes(const vornReply *keys, typeinfo **types, uint64_t *sizes, int memkeys,
                 unsigned memkeys_samples);

// --bigkeys (memkeys 0) and --memkeys; never returns.
[[noreturn]] void findBigKeys(int memkeys, unsigned memkeys_samples);
