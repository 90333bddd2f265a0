// --lru-test: pipelined batches of SETs and GETs of keys drawn from a power
// law (about 80% of the draws fall on the lowest 20% of the key numbers),
// with hits and misses reported once a second.
#include "modes/lru.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "cli/config.h"
#include "cli/connection.h"
#include "support/util_time.h"

#define LRU_CYCLE_PERIOD 1000 // ms
#define LRU_CYCLE_PIPELINE_SIZE 250

long long powerLawRand(long long min, long long max, double alpha) {
    double pl, r;
    max += 1;
    r = static_cast<double>(rand()) / RAND_MAX;
    pl = pow((pow(static_cast<double>(max), alpha + 1) - pow(static_cast<double>(min), alpha + 1)) *
                     r +
                 pow(static_cast<double>(min), alpha + 1),
             1.0 / (alpha + 1));
    return (max - 1 - static_cast<long long>(pl)) + min;
}

void LRUTestGenKey(char *buf, size_t buflen) {
    snprintf(buf, buflen, "lru:%lld", powerLawRand(1, config.lru_test_sample_size, 6.2));
}

void LRUTestMode(void) {
    char key[128];
    char val[6];
    srand(static_cast<unsigned>(time(nullptr) ^ getpid()));

    for (;;) {
        long long start_cycle = mstime();
        long long hits = 0, misses = 0;
        while (mstime() - start_cycle < LRU_CYCLE_PERIOD) {
            // Writes: the values are never examined, only the keys matter.
            for (int j = 0; j < LRU_CYCLE_PIPELINE_SIZE; j++) {
                for (int k = 0; k < 5; k++)
                    val[k] = static_cast<char>('A' + rand() % ('z' - 'A'));
                val[5] = '\0';
                LRUTestGenKey(key, sizeof(key));
                vornAppendCommand(context, "SET %s %s", key, val);
            }
            for (int j = 0; j < LRU_CYCLE_PIPELINE_SIZE; j++) {
                void *reply = nullptr;
                if (vornGetReply(context, &reply) == VORN_OK) freeReplyObject(reply);
            }

            // Reads.
            for (int j = 0; j < LRU_CYCLE_PIPELINE_SIZE; j++) {
                LRUTestGenKey(key, sizeof(key));
                vornAppendCommand(context, "GET %s", key);
            }
            for (int j = 0; j < LRU_CYCLE_PIPELINE_SIZE; j++) {
                void *r = nullptr;
                if (vornGetReply(context, &r) != VORN_OK) continue;
                vornReply *reply = static_cast<vornReply *>(r);
                if (reply->type == VORN_REPLY_ERROR)
                    printf("%s\n", reply->str);
                else if (reply->type == VORN_REPLY_NIL)
                    misses++;
                else
                    hits++;
                freeReplyObject(reply);
            }

            if (context->err) {
                fprintf(stderr, "I/O error during LRU test\n");
                exit(1);
            }
        }
        // A cycle without a counted GET has no shares to show.
        long long gets = hits + misses;
        double hit_pct = gets ? 100 * static_cast<double>(hits) / gets : 0;
        double miss_pct = gets ? 100 * static_cast<double>(misses) / gets : 0;
        printf("%lld Gets/sec | Hits: %lld (%.2f%%) | Misses: %lld (%.2f%%)\n", gets, hits, hit_pct,
               misses, miss_pct);
        fflush(stdout);
    }
}
