// SCAN walks of the current database. There is no reconnection here: a walk
// that loses its connection stops with an error instead of starting over.
#include "modes/keyspace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/config.h"
#include "cli/connection.h"
#include "support/util_time.h"

namespace {

[[noreturn]] void fail(const char *msg) {
    fputs(msg, stderr);
    exit(1);
}

// A cursor is a decimal number and nothing else.
bool parseCursor(const vornReply *r, uint64_t *out) {
    if (r->type != VORN_REPLY_STRING || r->len == 0 || r->str[0] == '-') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(r->str, &end, 10);
    if (errno != 0 || end != r->str + r->len) return false;
    *out = v;
    return true;
}

} // namespace

void queueScan(uint64_t cursor) {
    unsigned long long c = cursor;
    if (config.pattern != nullptr)
        vornAppendCommand(context, "SCAN %llu MATCH %b", c, config.pattern,
                          hi_sdslen(config.pattern));
    else
        vornAppendCommand(context, "SCAN %llu", c);
}

vornReply *checkScanReply(vornReply *reply, uint64_t *it) {
    if (reply == nullptr) fail("\nI/O error\n");
    if (reply->type == VORN_REPLY_ERROR) {
        fprintf(stderr, "SCAN error: %s\n", reply->str);
        exit(1);
    }
    if (reply->type != VORN_REPLY_ARRAY) fail("Non ARRAY response from SCAN!\n");
    if (reply->elements != 2) fail("Invalid element count from SCAN!\n");
    // The walk hands every key to later commands: a reply that is not a
    // cursor and a list of key strings stops it here.
    if (!parseCursor(reply->element[0], it)) fail("Invalid cursor from SCAN!\n");
    const vornReply *keys = reply->element[1];
    if (keys->type != VORN_REPLY_ARRAY) fail("Non ARRAY key list from SCAN!\n");
    for (size_t i = 0; i < keys->elements; i++)
        if (keys->element[i]->type != VORN_REPLY_STRING) fail("Non STRING key from SCAN!\n");
    return reply;
}

namespace {

vornReply *readReply() {
    void *r = nullptr;
    return vornGetReply(context, &r) == VORN_OK ? static_cast<vornReply *>(r) : nullptr;
}

} // namespace

vornReply *sendScan(uint64_t *it) {
    queueScan(*it);
    return checkScanReply(readReply(), it);
}

void ScanWalk::start() {
    current = sendScan(&cursor);
    scans = 1;
}

void ScanWalk::queueNext() {
    if (cursor == 0) return;
    scanPause(scans);
    queueScan(cursor);
    scans++;
    next_queued = true;
}

void ScanWalk::readNext() {
    if (next_queued) next = readReply();
}

bool ScanWalk::advance() {
    freeReplyObject(current);
    current = nullptr;
    if (!next_queued) return false;
    next_queued = false;
    current = checkScanReply(next, &cursor);
    next = nullptr;
    return true;
}

long long getDbSize(void) {
    vornReply *reply = static_cast<vornReply *>(vornCommand(context, "DBSIZE"));
    if (reply == nullptr) fail("\nI/O error\n");
    if (reply->type == VORN_REPLY_ERROR) {
        fprintf(stderr, "Couldn't determine DBSIZE: %s\n", reply->str);
        exit(1);
    }
    if (reply->type != VORN_REPLY_INTEGER) fail("Non INTEGER response from DBSIZE!\n");
    long long size = reply->integer;
    freeReplyObject(reply);
    return size;
}

void queueKeyCommand(std::initializer_list<const char *> before, const vornReply *key,
                     std::initializer_list<const char *> after) {
    const char *argv[8];
    size_t lens[8];
    int argc = 0;
    for (const char *w : before) {
        argv[argc] = w;
        lens[argc++] = strlen(w);
    }
    argv[argc] = key->str;
    lens[argc++] = key->len;
    for (const char *w : after) {
        argv[argc] = w;
        lens[argc++] = strlen(w);
    }
    vornAppendCommandArgv(context, argc, argv, lens);
}

vornReply *readKeyReply(const char *what, const vornReply *key, bool quoted) {
    void *r = nullptr;
    if (vornGetReply(context, &r) == VORN_OK) return static_cast<vornReply *>(r);
    hisds name = quoted ? quotedKey(key) : hi_sdsnew(key->str);
    fprintf(stderr, "Error getting %s for key '%s' (%d: %s)\n", what, name, context->err,
            context->errstr);
    exit(1);
}

hisds quotedKey(const vornReply *key) {
    hisds empty = hi_sdsempty();
    hisds q = empty ? hi_sdscatrepr(empty, key->str, key->len) : nullptr;
    if (q == nullptr) fail("Failed to allocate memory for key!\n");
    return q;
}

double scanProgress(uint64_t sampled, long long total_keys) {
    if (total_keys <= 0) return sampled ? 100.0 : 0.0;
    return 100 * static_cast<double>(sampled) / static_cast<double>(total_keys);
}

void printScanIntro(const char *first_line) {
    printf("%s", first_line);
    printf("# average sizes per key type.  You can use -i 0.1 to sleep 0.1 sec\n");
    printf("# per 100 SCAN commands (not usually needed).\n\n");
}

void scanPause(uint64_t scans) {
    if (scans % 100 == 0 && config.interval) sleepMicros(config.interval);
}

void *growKeyArray(void *array, uint32_t *capacity, size_t n, size_t elemsize) {
    if (n <= *capacity) return array;
    void *grown = n > UINT32_MAX ? nullptr : realloc(array, n * elemsize);
    if (grown == nullptr) fail("Failed to allocate storage for keys!\n");
    *capacity = static_cast<uint32_t>(n);
    return grown;
}

void scanMode(void) {
    uint64_t cursor = 0;
    do {
        vornReply *reply = sendScan(&cursor);
        const vornReply *keys = reply->element[1];
        for (size_t j = 0; j < keys->elements; j++) {
            const vornReply *key = keys->element[j];
            if (config.output == OUTPUT_STANDARD) {
                hisds q = quotedKey(key);
                printf("%s\n", q);
                hi_sdsfree(q);
            } else {
                // The whole name, NUL bytes included.
                fwrite(key->str, 1, key->len, stdout);
                putchar('\n');
            }
        }
        freeReplyObject(reply);
    } while (cursor != 0);
    exit(0);
}
