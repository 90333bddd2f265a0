// Chained hash table with incremental rehashing.
//
// Two tables: while the table grows, entries move from table 0 to table 1 one
// bucket per later add, find or delete, so no single operation pays for the
// whole move. Iteration order follows the bucket layout (table 0 then 1,
// buckets in index order, most recent entry first within a bucket); with the
// hash seed left at all zeros it is the same on every run.
#pragma once

#include <cstddef>
#include <cstdint>

#define DICT_OK 0
#define DICT_ERR 1

typedef struct dictEntry {
    void *key;
    union {
        void *val;
        uint64_t u64;
        int64_t s64;
        double d;
    } v;
    struct dictEntry *next;
} dictEntry;

// Callbacks of one kind of table; any of them may be left null (keys are
// then compared by pointer and neither duplicated nor freed).
typedef struct dictType {
    uint64_t (*hashFunction)(const void *key);
    void *(*keyDup)(void *privdata, const void *key);
    void *(*valDup)(void *privdata, const void *obj);
    int (*keyCompare)(void *privdata, const void *key1, const void *key2);
    void (*keyDestructor)(void *privdata, void *key);
    void (*valDestructor)(void *privdata, void *obj);
} dictType;

typedef struct dictht {
    dictEntry **table;
    unsigned long size;
    unsigned long sizemask;
    unsigned long used;
} dictht;

typedef struct dict {
    dictType *type;
    void *privdata;
    dictht ht[2];
    long rehashidx;          // next bucket of table 0 to move; -1 when not rehashing
    unsigned long iterators; // safe iterators running; they pause rehashing
} dict;

// A plain iterator forbids any change to the table while it runs (checked
// when it is released: a mismatch is fatal). A safe iterator allows
// dictDelete of the entry just returned and dictAdd/dictFind, and pauses
// rehashing meanwhile.
typedef struct dictIterator {
    dict *d;
    long index;
    int table, safe;
    dictEntry *entry, *nextEntry;
    uint64_t fingerprint;
} dictIterator;

#define DICT_HT_INITIAL_SIZE 4

#define dictHashKey(d, key) (d)->type->hashFunction(key)
#define dictGetKey(he) ((he)->key)
#define dictGetVal(he) ((he)->v.val)
#define dictSlots(d) ((d)->ht[0].size + (d)->ht[1].size)
#define dictSize(d) ((d)->ht[0].used + (d)->ht[1].used)
#define dictIsRehashing(d) ((d)->rehashidx != -1)

dict *dictCreate(dictType *type, void *privDataPtr);
// Grows (or first sizes) the table to hold at least size entries.
int dictExpand(dict *d, unsigned long size);
// DICT_ERR when the key is already present; the caller then keeps key and
// val.
int dictAdd(dict *d, void *key, void *val);
// Adds the entry, or replaces the value of an existing key (releasing the old
// value). Returns 1 when added, 0 when replaced; in the second case the
// entry keeps its own key and the caller keeps key.
int dictReplace(dict *d, void *key, void *val);
// Removes the key, releasing key and value. DICT_ERR when not found.
int dictDelete(dict *d, const void *key);
dictEntry *dictFind(dict *d, const void *key);
void *dictFetchValue(dict *d, const void *key);
// Releases every entry but keeps the (now empty) dictionary.
void dictEmpty(dict *d);
void dictRelease(dict *d);
dictIterator *dictGetIterator(dict *d);
dictIterator *dictGetSafeIterator(dict *d);
dictEntry *dictNext(dictIterator *iter);
void dictReleaseIterator(dictIterator *iter);
// Moves up to n non-empty buckets; returns 1 while entries remain to move.
int dictRehash(dict *d, int n);

// The process-wide 16-byte hash key. Left at all zeros by the client, so that
// iteration orders are reproducible.
void dictSetHashFunctionSeed(const uint8_t *seed);
const uint8_t *dictGetHashFunctionSeed(void);
uint64_t dictGenHashFunction(const void *key, size_t len);
uint64_t dictGenCaseHashFunction(const unsigned char *buf, size_t len);
