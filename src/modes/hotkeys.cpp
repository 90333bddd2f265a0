// --hotkeys. The server refuses OBJECT FREQ unless it evicts by access
// frequency (an LFU maxmemory-policy); that refusal ends the walk.
#include "modes/hotkeys.h"

#include <cstdio>
#include <cstdlib>

#include "cli/connection.h"
#include "modes/keyspace.h"

void getKeyFreqs(const vornReply *keys, uint64_t *freqs, ScanWalk *walk) {
    for (size_t i = 0; i < keys->elements; i++)
        queueKeyCommand({"OBJECT", "FREQ"}, keys->element[i]);
    if (walk) walk->queueNext();

    for (size_t i = 0; i < keys->elements; i++) {
        const vornReply *key = keys->element[i];
        vornReply *reply = readKeyReply("freq", key, true);
        freqs[i] = 0;
        if (reply->type == VORN_REPLY_INTEGER) {
            freqs[i] = static_cast<uint64_t>(reply->integer);
        } else if (reply->type == VORN_REPLY_ERROR) {
            fprintf(stderr, "Error: %s\n", reply->str);
            exit(1);
        } else {
            hisds q = quotedKey(key);
            fprintf(stderr, "Warning: OBJECT freq on '%s' failed (may have been deleted)\n", q);
            hi_sdsfree(q);
        }
        freeReplyObject(reply);
    }
    if (walk) walk->readNext();
}

int hotKeysAdmit(uint64_t *counters, hisds *hotkeys, uint64_t freq, hisds key) {
    int k = 0;
    while (k < HOTKEYS_SAMPLE && freq > counters[k])
        k++;
    if (k == 0) return -1;
    k--;
    if (k == 0 || counters[k] == 0) {
        hi_sdsfree(hotkeys[k]);
    } else {
        // Full below the target: the coldest leaves, the rest move down.
        hi_sdsfree(hotkeys[0]);
        for (int j = 0; j < k; j++) {
            counters[j] = counters[j + 1];
            hotkeys[j] = hotkeys[j + 1];
        }
    }
    counters[k] = freq;
    hotkeys[k] = key;
    return k;
}

void findHotKeys(void) {
    uint64_t counters[HOTKEYS_SAMPLE] = {0};
    hisds hotkeys[HOTKEYS_SAMPLE] = {nullptr};
    uint64_t *freqs = nullptr;
    uint32_t freqs_cap = 0;
    uint64_t sampled = 0;

    long long total_keys = getDbSize();
    printScanIntro("\n# Scanning the entire keyspace to find hot keys as well as\n");

    ScanWalk walk;
    walk.start();
    do {
        double pct = scanProgress(sampled, total_keys);
        const vornReply *keys = walk.keys();
        freqs = static_cast<uint64_t *>(
            growKeyArray(freqs, &freqs_cap, keys->elements, sizeof(uint64_t)));
        getKeyFreqs(keys, freqs, &walk);

        for (size_t i = 0; i < keys->elements; i++) {
            sampled++;
            if (sampled % 1000000 == 0)
                printf("[%05.2f%%] Sampled %llu keys so far\n", pct, (unsigned long long)sampled);
            if (freqs[i] == 0 || freqs[i] <= counters[0]) continue;
            hisds q = quotedKey(keys->element[i]);
            int slot = hotKeysAdmit(counters, hotkeys, freqs[i], q);
            if (slot < 0) {
                hi_sdsfree(q);
                continue;
            }
            printf("[%05.2f%%] Hot key '%s' found so far with counter %llu\n", pct, q,
                   (unsigned long long)freqs[i]);
        }
    } while (walk.advance());

    free(freqs);

    printf("\n-------- summary -------\n\n");
    printf("Sampled %llu keys in the keyspace!\n", (unsigned long long)sampled);
    for (int i = HOTKEYS_SAMPLE - 1; i >= 0; i--) {
        if (counters[i] > 0 && hotkeys[i] != nullptr)
            printf("hot key found with counter: %llu\tkeyname: %s\n",
                   (unsigned long long)counters[i], hotkeys[i]);
        hi_sdsfree(hotkeys[i]);
    }
    exit(0);
}
