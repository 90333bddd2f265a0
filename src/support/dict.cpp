#include "support/dict.h"

#include <climits>
#include <cstring>

#include "support/siphash.h"
#include "support/vornassert.h"
#include "support/zmalloc.h"

namespace {

uint8_t dict_hash_function_seed[16];

void dictResetTable(dictht *ht) {
    ht->table = nullptr;
    ht->size = 0;
    ht->sizemask = 0;
    ht->used = 0;
}

int dictCompareKeys(dict *d, const void *key1, const void *key2) {
    return d->type->keyCompare ? d->type->keyCompare(d->privdata, key1, key2) : key1 == key2;
}

void dictSetKey(dict *d, dictEntry *entry, void *key) {
    entry->key = d->type->keyDup ? d->type->keyDup(d->privdata, key) : key;
}

void dictSetVal(dict *d, dictEntry *entry, void *val) {
    entry->v.val = d->type->valDup ? d->type->valDup(d->privdata, val) : val;
}

void dictFreeKey(dict *d, dictEntry *entry) {
    if (d->type->keyDestructor) d->type->keyDestructor(d->privdata, entry->key);
}

void dictFreeVal(dict *d, dictEntry *entry) {
    if (d->type->valDestructor) d->type->valDestructor(d->privdata, entry->v.val);
}

// Rehash steps are skipped while a safe iterator runs: moving entries could
// make it visit one twice or miss one.
void dictRehashStep(dict *d) {
    if (d->iterators == 0) dictRehash(d, 1);
}

unsigned long dictNextPower(unsigned long size) {
    unsigned long i = DICT_HT_INITIAL_SIZE;
    if (size >= LONG_MAX) return LONG_MAX + 1LU;
    while (i < size)
        i *= 2;
    return i;
}

int dictExpandIfNeeded(dict *d) {
    if (dictIsRehashing(d)) return DICT_OK;
    if (d->ht[0].size == 0) return dictExpand(d, DICT_HT_INITIAL_SIZE);
    if (d->ht[0].used >= d->ht[0].size) return dictExpand(d, d->ht[0].used + 1);
    return DICT_OK;
}

// Bucket index for a new key, or -1 when the key is already present (then
// *existing, if given, points at its entry). While rehashing the index is
// one of table 1, where new entries go.
long dictKeyIndex(dict *d, const void *key, uint64_t hash, dictEntry **existing) {
    unsigned long idx = 0;
    if (existing) *existing = nullptr;
    if (dictExpandIfNeeded(d) == DICT_ERR) return -1;
    for (int table = 0; table <= 1; table++) {
        idx = hash & d->ht[table].sizemask;
        for (dictEntry *he = d->ht[table].table[idx]; he; he = he->next) {
            if (key == he->key || dictCompareKeys(d, key, he->key)) {
                if (existing) *existing = he;
                return -1;
            }
        }
        if (!dictIsRehashing(d)) break;
    }
    return static_cast<long>(idx);
}

dictEntry *dictAddRaw(dict *d, void *key, dictEntry **existing) {
    if (dictIsRehashing(d)) dictRehashStep(d);
    long index = dictKeyIndex(d, key, dictHashKey(d, key), existing);
    if (index == -1) return nullptr;

    // Most recent entry first in its bucket: recently added entries tend to
    // be looked up more often.
    dictht *ht = dictIsRehashing(d) ? &d->ht[1] : &d->ht[0];
    dictEntry *entry = static_cast<dictEntry *>(zmalloc(sizeof(*entry)));
    entry->next = ht->table[index];
    ht->table[index] = entry;
    ht->used++;
    dictSetKey(d, entry, key);
    return entry;
}

void dictClearTable(dict *d, dictht *ht) {
    for (unsigned long i = 0; i < ht->size && ht->used > 0; i++) {
        dictEntry *he = ht->table[i];
        while (he) {
            dictEntry *next = he->next;
            dictFreeKey(d, he);
            dictFreeVal(d, he);
            zfree(he);
            ht->used--;
            he = next;
        }
    }
    zfree(ht->table);
    dictResetTable(ht);
}

// A digest of the table's shape. A plain iterator takes it at the start and
// compares at release: any add, delete or rehash step in between changes it.
uint64_t dictFingerprint(dict *d) {
    uint64_t integers[6];
    integers[0] = reinterpret_cast<uintptr_t>(d->ht[0].table);
    integers[1] = d->ht[0].size;
    integers[2] = d->ht[0].used;
    integers[3] = reinterpret_cast<uintptr_t>(d->ht[1].table);
    integers[4] = d->ht[1].size;
    integers[5] = d->ht[1].used;

    // Mixing the values one after the other makes the digest depend on their
    // order, so swapped sizes do not cancel out.
    uint64_t hash = 0;
    for (uint64_t v : integers) {
        hash += v;
        hash = (~hash) + (hash << 21);
        hash = hash ^ (hash >> 24);
        hash = (hash + (hash << 3)) + (hash << 8);
        hash = hash ^ (hash >> 14);
        hash = (hash + (hash << 2)) + (hash << 4);
        hash = hash ^ (hash >> 28);
        hash = hash + (hash << 31);
    }
    return hash;
}

} // namespace

void dictSetHashFunctionSeed(const uint8_t *seed) {
    memcpy(dict_hash_function_seed, seed, sizeof(dict_hash_function_seed));
}

const uint8_t *dictGetHashFunctionSeed(void) {
    return dict_hash_function_seed;
}

uint64_t dictGenHashFunction(const void *key, size_t len) {
    return siphash(static_cast<const uint8_t *>(key), len, dict_hash_function_seed);
}

uint64_t dictGenCaseHashFunction(const unsigned char *buf, size_t len) {
    return siphash_nocase(buf, len, dict_hash_function_seed);
}

dict *dictCreate(dictType *type, void *privDataPtr) {
    dict *d = static_cast<dict *>(zmalloc(sizeof(*d)));
    dictResetTable(&d->ht[0]);
    dictResetTable(&d->ht[1]);
    d->type = type;
    d->privdata = privDataPtr;
    d->rehashidx = -1;
    d->iterators = 0;
    return d;
}

int dictExpand(dict *d, unsigned long size) {
    // Refused while a move is in progress, or when the new table could not
    // hold the entries already present.
    if (dictIsRehashing(d) || d->ht[0].used > size) return DICT_ERR;

    unsigned long realsize = dictNextPower(size);
    if (realsize == d->ht[0].size) return DICT_ERR;

    dictht n;
    n.size = realsize;
    n.sizemask = realsize - 1;
    n.table = static_cast<dictEntry **>(zcalloc(realsize * sizeof(dictEntry *)));
    n.used = 0;

    if (d->ht[0].table == nullptr) {
        d->ht[0] = n;
        return DICT_OK;
    }
    d->ht[1] = n;
    d->rehashidx = 0;
    return DICT_OK;
}

int dictRehash(dict *d, int n) {
    if (!dictIsRehashing(d)) return 0;

    while (n-- && d->ht[0].used != 0) {
        // used != 0 guarantees a non-empty bucket at or after rehashidx.
        vornAssert(d->ht[0].size > static_cast<unsigned long>(d->rehashidx));
        while (d->ht[0].table[d->rehashidx] == nullptr)
            d->rehashidx++;

        dictEntry *de = d->ht[0].table[d->rehashidx];
        while (de) {
            dictEntry *nextde = de->next;
            uint64_t h = dictHashKey(d, de->key) & d->ht[1].sizemask;
            de->next = d->ht[1].table[h];
            d->ht[1].table[h] = de;
            d->ht[0].used--;
            d->ht[1].used++;
            de = nextde;
        }
        d->ht[0].table[d->rehashidx] = nullptr;
        d->rehashidx++;
    }

    if (d->ht[0].used == 0) {
        zfree(d->ht[0].table);
        d->ht[0] = d->ht[1];
        dictResetTable(&d->ht[1]);
        d->rehashidx = -1;
        return 0;
    }
    return 1;
}

int dictAdd(dict *d, void *key, void *val) {
    dictEntry *entry = dictAddRaw(d, key, nullptr);
    if (!entry) return DICT_ERR;
    dictSetVal(d, entry, val);
    return DICT_OK;
}

int dictReplace(dict *d, void *key, void *val) {
    dictEntry *existing;
    dictEntry *entry = dictAddRaw(d, key, &existing);
    if (entry) {
        dictSetVal(d, entry, val);
        return 1;
    }
    // Set the new value before releasing the old one.
    dictEntry old = *existing;
    dictSetVal(d, existing, val);
    // Storing the very value the entry already holds must not release it:
    // the entry would be left pointing at freed memory.
    if (d->type->valDup || old.v.val != val) dictFreeVal(d, &old);
    return 0;
}

int dictDelete(dict *d, const void *key) {
    if (dictSize(d) == 0) return DICT_ERR;
    if (dictIsRehashing(d)) dictRehashStep(d);
    uint64_t h = dictHashKey(d, key);

    for (int table = 0; table <= 1; table++) {
        uint64_t idx = h & d->ht[table].sizemask;
        dictEntry *prev = nullptr;
        for (dictEntry *he = d->ht[table].table[idx]; he; prev = he, he = he->next) {
            if (key == he->key || dictCompareKeys(d, key, he->key)) {
                if (prev)
                    prev->next = he->next;
                else
                    d->ht[table].table[idx] = he->next;
                dictFreeKey(d, he);
                dictFreeVal(d, he);
                zfree(he);
                d->ht[table].used--;
                return DICT_OK;
            }
        }
        if (!dictIsRehashing(d)) break;
    }
    return DICT_ERR;
}

dictEntry *dictFind(dict *d, const void *key) {
    if (dictSize(d) == 0) return nullptr;
    if (dictIsRehashing(d)) dictRehashStep(d);
    uint64_t h = dictHashKey(d, key);
    for (int table = 0; table <= 1; table++) {
        uint64_t idx = h & d->ht[table].sizemask;
        for (dictEntry *he = d->ht[table].table[idx]; he; he = he->next) {
            if (key == he->key || dictCompareKeys(d, key, he->key)) return he;
        }
        if (!dictIsRehashing(d)) return nullptr;
    }
    return nullptr;
}

void *dictFetchValue(dict *d, const void *key) {
    dictEntry *he = dictFind(d, key);
    return he ? dictGetVal(he) : nullptr;
}

void dictEmpty(dict *d) {
    dictClearTable(d, &d->ht[0]);
    dictClearTable(d, &d->ht[1]);
    d->rehashidx = -1;
    d->iterators = 0;
}

void dictRelease(dict *d) {
    if (!d) return;
    dictEmpty(d);
    zfree(d);
}

dictIterator *dictGetIterator(dict *d) {
    dictIterator *iter = static_cast<dictIterator *>(zmalloc(sizeof(*iter)));
    iter->d = d;
    iter->table = 0;
    iter->index = -1;
    iter->safe = 0;
    iter->entry = nullptr;
    iter->nextEntry = nullptr;
    iter->fingerprint = 0;
    return iter;
}

dictIterator *dictGetSafeIterator(dict *d) {
    dictIterator *i = dictGetIterator(d);
    i->safe = 1;
    return i;
}

dictEntry *dictNext(dictIterator *iter) {
    while (true) {
        if (iter->entry == nullptr) {
            dictht *ht = &iter->d->ht[iter->table];
            if (iter->index == -1 && iter->table == 0) {
                if (iter->safe)
                    iter->d->iterators++;
                else
                    iter->fingerprint = dictFingerprint(iter->d);
            }
            iter->index++;
            if (iter->index >= static_cast<long>(ht->size)) {
                if (dictIsRehashing(iter->d) && iter->table == 0) {
                    iter->table++;
                    iter->index = 0;
                    ht = &iter->d->ht[1];
                } else {
                    break;
                }
            }
            iter->entry = ht->table[iter->index];
        } else {
            iter->entry = iter->nextEntry;
        }
        if (iter->entry) {
            // Remember the successor now: the caller of a safe iterator may
            // delete the entry we return.
            iter->nextEntry = iter->entry->next;
            return iter->entry;
        }
    }
    return nullptr;
}

void dictReleaseIterator(dictIterator *iter) {
    if (!(iter->index == -1 && iter->table == 0)) {
        if (iter->safe)
            iter->d->iterators--;
        else
            vornAssert(iter->fingerprint == dictFingerprint(iter->d));
    }
    zfree(iter);
}
