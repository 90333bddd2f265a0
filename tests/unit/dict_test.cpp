#include "support/dict.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hivorn/sds.h"
#include "support/adlist.h"
#include "support/siphash.h"
#include "cli/dict_types.h"

namespace {

// ---------------------------------------------------------------------------
// An independent SipHash-1-2, written from the algorithm's description rather
// than shared with the library: message padded to whole 64-bit words, the
// length in the top byte of the last word.
uint64_t refRotl(uint64_t x, unsigned b) {
    return (x << b) | (x >> (64 - b));
}

uint64_t refSipHash12(const std::string &msg, const uint8_t key[16]) {
    uint64_t k0 = 0, k1 = 0;
    for (int i = 0; i < 8; i++) {
        k0 |= uint64_t(key[i]) << (8 * i);
        k1 |= uint64_t(key[8 + i]) << (8 * i);
    }
    uint64_t v[4] = {k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
                     k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
    auto sipround = [&v] {
        v[0] += v[1], v[2] += v[3];
        v[1] = refRotl(v[1], 13) ^ v[0], v[3] = refRotl(v[3], 16) ^ v[2];
        v[0] = refRotl(v[0], 32);
        v[2] += v[1], v[0] += v[3];
        v[1] = refRotl(v[1], 17) ^ v[2], v[3] = refRotl(v[3], 21) ^ v[0];
        v[2] = refRotl(v[2], 32);
    };
    std::vector<uint8_t> padded(msg.begin(), msg.end());
    padded.resize((msg.size() / 8 + 1) * 8, 0);
    padded.back() = static_cast<uint8_t>(msg.size());
    for (size_t off = 0; off < padded.size(); off += 8) {
        uint64_t m = 0;
        for (int i = 0; i < 8; i++)
            m |= uint64_t(padded[off + i]) << (8 * i);
        v[3] ^= m;
        sipround();
        v[0] ^= m;
    }
    v[2] ^= 0xff;
    sipround();
    sipround();
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

TEST(SipHash, MatchesIndependentImplementation) {
    uint8_t zero_key[16] = {};
    uint8_t key[16];
    for (int i = 0; i < 16; i++)
        key[i] = static_cast<uint8_t>(i * 17 + 3);

    std::vector<std::string> inputs = {
        "", "a", "string", "1234567", "12345678", "123456789", std::string("\0\xff\x80 x", 5)};
    std::string grow;
    for (int len = 0; len < 40; len++) {
        inputs.push_back(grow);
        grow.push_back(static_cast<char>(0xA0 + len)); // bytes above 0x7f too
    }
    for (const std::string &in : inputs) {
        const auto *p = reinterpret_cast<const uint8_t *>(in.data());
        EXPECT_EQ(siphash(p, in.size(), zero_key), refSipHash12(in, zero_key)) << in.size();
        EXPECT_EQ(siphash(p, in.size(), key), refSipHash12(in, key)) << in.size();
    }
}

TEST(SipHash, NocaseHashesTheLowerCaseForm) {
    uint8_t key[16] = {1, 2, 3};
    const std::string mixed = "Hello WORLD, Mixed-Case [@Z]";
    const std::string lower = "hello world, mixed-case [@z]";
    const auto *m = reinterpret_cast<const uint8_t *>(mixed.data());
    EXPECT_EQ(siphash_nocase(m, mixed.size(), key), refSipHash12(lower, key));
    EXPECT_NE(siphash(m, mixed.size(), key), refSipHash12(lower, key));
}

TEST(SipHash, DictHashUsesTheProcessSeed) {
    uint8_t zero_key[16] = {};
    EXPECT_EQ(0, memcmp(dictGetHashFunctionSeed(), zero_key, 16)) << "seed must start all zero";
    EXPECT_EQ(dictGenHashFunction("list", 4), refSipHash12("list", zero_key));

    uint8_t seed[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    dictSetHashFunctionSeed(seed);
    EXPECT_EQ(dictGenHashFunction("list", 4), refSipHash12("list", seed));
    dictSetHashFunctionSeed(zero_key);
}

// ---------------------------------------------------------------------------
// A table of C-string keys and counted values, enough to observe every
// callback.
struct Counters {
    int key_frees = 0;
    int val_frees = 0;
    std::multiset<const void *> freed_vals;
};

uint64_t strHash(const void *key) {
    return dictGenHashFunction(key, strlen(static_cast<const char *>(key)));
}
int strCompare(void *, const void *a, const void *b) {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
}
void *strDup(void *, const void *key) {
    return strdup(static_cast<const char *>(key));
}
void strFree(void *privdata, void *key) {
    static_cast<Counters *>(privdata)->key_frees++;
    free(key);
}
void valFree(void *privdata, void *val) {
    auto *c = static_cast<Counters *>(privdata);
    c->val_frees++;
    c->freed_vals.insert(val);
    delete static_cast<int *>(val);
}

dictType strType = {strHash, strDup, nullptr, strCompare, strFree, valFree};

std::vector<std::string> iterationOrder(dict *d) {
    std::vector<std::string> out;
    dictIterator *it = dictGetIterator(d);
    while (dictEntry *de = dictNext(it))
        out.push_back(static_cast<const char *>(dictGetKey(de)));
    dictReleaseIterator(it);
    return out;
}

struct DictFixture : ::testing::Test {
    Counters counters;
    dict *d = dictCreate(&strType, &counters);
    void TearDown() override { dictRelease(d); }
    int add(const std::string &k, int v) { return dictAdd(d, (void *)k.c_str(), new int(v)); }
    int *find(const std::string &k) {
        dictEntry *de = dictFind(d, k.c_str());
        return de ? static_cast<int *>(dictGetVal(de)) : nullptr;
    }
};

TEST_F(DictFixture, GrowsFromFourAndRehashesOneBucketPerOperation) {
    EXPECT_EQ(dictSlots(d), 0u);
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(add("k" + std::to_string(i), i), DICT_OK);
    EXPECT_EQ(d->ht[0].size, 4u);
    EXPECT_FALSE(dictIsRehashing(d));

    // The fifth insertion finds 4 entries in 4 buckets and makes a table of 8;
    // the new entry goes straight into it.
    ASSERT_EQ(add("k4", 4), DICT_OK);
    ASSERT_TRUE(dictIsRehashing(d));
    EXPECT_EQ(d->ht[1].size, 8u);
    EXPECT_EQ(d->ht[0].used, 4u);
    EXPECT_EQ(d->ht[1].used, 1u);

    // Every lookup moves one non-empty bucket, whatever it finds.
    unsigned long nonempty = 0;
    for (unsigned long i = 0; i < d->ht[0].size; i++)
        nonempty += d->ht[0].table[i] != nullptr;
    for (unsigned long step = 0; step < nonempty; step++) {
        ASSERT_TRUE(dictIsRehashing(d));
        ASSERT_EQ(find("absent"), nullptr);
    }
    EXPECT_FALSE(dictIsRehashing(d));
    EXPECT_EQ(d->ht[0].size, 8u);
    EXPECT_EQ(dictSize(d), 5u);
    for (int i = 0; i < 5; i++) {
        int *v = find("k" + std::to_string(i));
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(*v, i);
    }
}

TEST_F(DictFixture, DuplicateAddFailsInEitherTableAndLeavesOwnershipWithCaller) {
    for (int i = 0; i < 5; i++)
        add("k" + std::to_string(i), i);
    ASSERT_TRUE(dictIsRehashing(d));
    // Keys still in table 0 and the key already in table 1 are both found.
    for (int i = 0; i < 5; i++) {
        int *mine = new int(100);
        EXPECT_EQ(dictAdd(d, (void *)("k" + std::to_string(i)).c_str(), mine), DICT_ERR);
        delete mine;
    }
    EXPECT_EQ(dictSize(d), 5u);
    EXPECT_EQ(counters.val_frees, 0);
    EXPECT_EQ(counters.key_frees, 0);
}

TEST_F(DictFixture, ReplaceAddsOrSwapsValue) {
    int *first = new int(1);
    EXPECT_EQ(dictReplace(d, (void *)"k", first), 1);
    int *second = new int(2);
    EXPECT_EQ(dictReplace(d, (void *)"k", second), 0);
    EXPECT_EQ(counters.freed_vals.count(first), 1u) << "old value must be released";
    EXPECT_EQ(find("k"), second);
    EXPECT_EQ(dictSize(d), 1u);

    // Storing the same pointer again keeps it alive (ASan would flag a use
    // of the freed value below).
    EXPECT_EQ(dictReplace(d, (void *)"k", second), 0);
    EXPECT_EQ(counters.val_frees, 1);
    EXPECT_EQ(*find("k"), 2);
}

TEST_F(DictFixture, DeleteReleasesKeyAndValueAndMissesCleanly) {
    EXPECT_EQ(dictDelete(d, "nothing"), DICT_ERR); // empty table
    for (int i = 0; i < 6; i++)
        add("k" + std::to_string(i), i);
    ASSERT_TRUE(dictIsRehashing(d));
    EXPECT_EQ(dictDelete(d, "k5"), DICT_OK); // added to table 1 during the move
    EXPECT_EQ(dictDelete(d, "k0"), DICT_OK);
    EXPECT_EQ(dictDelete(d, "k0"), DICT_ERR);
    EXPECT_EQ(dictDelete(d, "zz"), DICT_ERR);
    EXPECT_EQ(counters.key_frees, 2);
    EXPECT_EQ(counters.val_frees, 2);
    EXPECT_EQ(dictSize(d), 4u);
    EXPECT_EQ(find("k0"), nullptr);
    EXPECT_NE(find("k3"), nullptr);
}

// Many adds, deletes and replaces against a reference map, through several
// growth cycles; every entry is released exactly once at the end.
TEST_F(DictFixture, AgreesWithReferenceMapUnderChurn) {
    std::map<std::string, int> ref;
    unsigned state = 12345;
    auto next = [&state] { return (state = state * 1103515245 + 12345) >> 8; };
    int created = 0;
    for (int op = 0; op < 5000; op++) {
        std::string k = "key:" + std::to_string(next() % 700);
        switch (next() % 3) {
        case 0: {
            int *v = new int(op);
            created++;
            int r = dictAdd(d, (void *)k.c_str(), v);
            EXPECT_EQ(r == DICT_OK, !ref.count(k));
            if (r == DICT_OK)
                ref[k] = op;
            else
                delete v, created--;
            break;
        }
        case 1:
            EXPECT_EQ(dictDelete(d, k.c_str()) == DICT_OK, ref.erase(k) == 1);
            break;
        case 2:
            created++;
            EXPECT_EQ(dictReplace(d, (void *)k.c_str(), new int(op)), ref.count(k) ? 0 : 1);
            ref[k] = op;
            break;
        }
        ASSERT_EQ(dictSize(d), ref.size());
    }
    std::map<std::string, int> seen;
    dictIterator *it = dictGetIterator(d);
    while (dictEntry *de = dictNext(it)) {
        auto [_, inserted] = seen.emplace(static_cast<const char *>(dictGetKey(de)),
                                          *static_cast<int *>(dictGetVal(de)));
        EXPECT_TRUE(inserted) << "entry visited twice";
    }
    dictReleaseIterator(it);
    EXPECT_EQ(seen, ref);
    // Sizes stay powers of two.
    EXPECT_EQ(d->ht[0].size & (d->ht[0].size - 1), 0u);
    dictEmpty(d);
    EXPECT_EQ(counters.val_frees, created);
    EXPECT_EQ(dictSize(d), 0u);
    EXPECT_EQ(add("again", 1), DICT_OK) << "an emptied table is usable";
}

TEST_F(DictFixture, IterationVisitsEachEntryOnceWhileRehashing) {
    for (int i = 0; i < 9; i++)
        add("k" + std::to_string(i), i); // grows 4 -> 8 -> 16
    ASSERT_TRUE(dictIsRehashing(d));
    std::vector<std::string> order = iterationOrder(d);
    EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(), 9u);
    EXPECT_EQ(order.size(), 9u);
}

TEST_F(DictFixture, NewestEntryComesFirstWithinBucket) {
    // Find two keys that share a bucket of the 4-slot table.
    std::vector<std::string> same;
    uint64_t target = strHash("base") & 3;
    for (int i = 0; same.size() < 2; i++) {
        std::string k = "c" + std::to_string(i);
        if ((strHash(k.c_str()) & 3) == target) same.push_back(k);
    }
    add(same[0], 0);
    add(same[1], 1);
    EXPECT_EQ(iterationOrder(d), (std::vector<std::string>{same[1], same[0]}));
}

TEST_F(DictFixture, SafeIteratorAllowsDeletingTheCurrentEntryAndPausesRehash) {
    for (int i = 0; i < 6; i++)
        add("k" + std::to_string(i), i);
    ASSERT_TRUE(dictIsRehashing(d));
    long rehashidx = d->rehashidx;
    dictIterator *it = dictGetSafeIterator(d);
    int visited = 0;
    while (dictEntry *de = dictNext(it)) {
        visited++;
        find("k1");
        dictDelete(d, dictGetKey(de));
        EXPECT_EQ(d->rehashidx, rehashidx) << "no entries may move under a safe iterator";
    }
    dictReleaseIterator(it);
    EXPECT_EQ(visited, 6);
    EXPECT_EQ(dictSize(d), 0u);
    EXPECT_EQ(d->iterators, 0u);
}

TEST(DictDeathTest, ChangingTableDuringPlainIterationIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Counters c;
    dict *d = dictCreate(&strType, &c);
    for (int i = 0; i < 3; i++)
        dictAdd(d, (void *)("k" + std::to_string(i)).c_str(), new int(i));
    EXPECT_DEATH(
        {
            dictIterator *it = dictGetIterator(d);
            dictNext(it);
            dictAdd(d, (void *)"intruder", nullptr);
            dictReleaseIterator(it);
        },
        "=== ASSERTION FAILED ===\n==> .*dict\\.cpp:[0-9]+ 'iter->fingerprint == "
        "dictFingerprint\\(iter->d\\)' is not true");
    // An iterator that only reads passes the check.
    EXPECT_EQ(iterationOrder(d).size(), 3u);
    dictRelease(d);
}

// The six type names, as hisds keys in registration order; lookups through
// a temporary string of the same text then drive the incremental move from 4
// to 8 buckets. Checks hash, growth rule, insertion position and rehash step
// together.
dictType sdsKeyType = {dictSdsHash,       nullptr,           nullptr,
                       dictSdsKeyCompare, dictSdsDestructor, nullptr};

std::vector<std::string> sdsIterationOrder(dict *d) {
    std::vector<std::string> out;
    dictIterator *it = dictGetIterator(d);
    while (dictEntry *de = dictNext(it)) {
        hisds k = static_cast<hisds>(dictGetKey(de));
        out.emplace_back(k, hi_sdslen(k));
    }
    dictReleaseIterator(it);
    return out;
}

TEST(DictOrder, TypeNamesFollowBucketLayout) {
    const std::vector<std::string> names = {"string", "list", "set", "hash", "zset", "stream"};
    struct Case {
        std::vector<std::string> lookups;
        std::vector<std::string> order;
    };
    const Case cases[] = {
        {{}, {"hash", "list", "string", "stream", "set", "zset"}},
        {{"string"}, {"string", "list", "hash", "stream", "set", "zset"}},
        {{"hash", "none"}, {"list", "hash", "string", "stream", "set", "zset"}},
        {{"set", "set", "list", "zset", "x"}, {"list", "hash", "string", "stream", "set", "zset"}},
    };
    for (const Case &c : cases) {
        dict *d = dictCreate(&sdsKeyType, nullptr);
        for (const std::string &n : names)
            ASSERT_EQ(dictAdd(d, hi_sdsnew(n.c_str()), nullptr), DICT_OK);
        for (const std::string &word : c.lookups) {
            hisds probe = hi_sdsnew(word.c_str());
            dictEntry *de = dictFind(d, probe);
            EXPECT_EQ(de != nullptr, word != "none" && word != "x") << word;
            hi_sdsfree(probe);
        }
        EXPECT_EQ(sdsIterationOrder(d), c.order) << c.lookups.size() << " lookups";
        dictRelease(d);
    }
}

TEST(DictSds, CompareAndHashCoverEveryByte) {
    const struct {
        std::string a, b;
        bool equal;
    } rows[] = {
        {"abc", "abc", true},
        {"abc", "abd", false},
        {"ab", "abc", false},
        {std::string("a\0b", 3), std::string("a\0c", 3), false}, // equal as C strings
        {std::string("a\0b", 3), std::string("a\0b", 3), true},
        {std::string("a\0", 2), "a", false},
        {"", "", true},
    };
    for (const auto &r : rows) {
        hisds a = hi_sdsnewlen(r.a.data(), r.a.size());
        hisds b = hi_sdsnewlen(r.b.data(), r.b.size());
        EXPECT_EQ(dictSdsKeyCompare(nullptr, a, b) != 0, r.equal) << r.a << " vs " << r.b;
        EXPECT_EQ(dictSdsHash(a), dictGenHashFunction(r.a.data(), r.a.size()));
        if (r.equal) {
            EXPECT_EQ(dictSdsHash(a), dictSdsHash(b));
        }
        hi_sdsfree(a);
        hi_sdsfree(b);
    }
}

int list_value_frees = 0;

TEST(DictSds, DestructorsReleaseKeysAndLists) {
    // Keys are hisds, values lists of hisds; releasing the table must free
    // all of it (the sanitizer build reports anything left behind).
    dictType type = {dictSdsHash,       nullptr,           nullptr,
                     dictSdsKeyCompare, dictSdsDestructor, dictListDestructor};
    dict *d = dictCreate(&type, nullptr);
    list_value_frees = 0;
    for (int i = 0; i < 10; i++) {
        list *l = listCreate();
        listSetFreeMethod(l, [](void *p) {
            list_value_frees++;
            hi_sdsfree(static_cast<hisds>(p));
        });
        for (int j = 0; j <= i; j++)
            listAddNodeTail(l, hi_sdsfromlonglong(j));
        ASSERT_EQ(dictAdd(d, hi_sdsfromlonglong(i), l), DICT_OK);
    }
    hisds key = hi_sdsnew("3");
    EXPECT_EQ(dictDelete(d, key), DICT_OK);
    hi_sdsfree(key);
    EXPECT_EQ(list_value_frees, 4);
    dictRelease(d);
    EXPECT_EQ(list_value_frees, 55);
}

} // namespace
