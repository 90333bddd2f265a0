// Walking the key space of the current database with SCAN: the primitives
// shared by --scan, --bigkeys, --memkeys and --hotkeys, and --scan itself.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "hivorn/hivorn.h"

// One SCAN step from *it (with MATCH config.pattern when set). Checks the
// reply (exits 1 with a message when it is unusable), stores the next
// cursor in *it and returns the reply: element 1 is the array of key names.
vornReply *sendScan(uint64_t *it);

// Queues (without sending) one SCAN step from cursor.
void queueScan(uint64_t cursor);
// Checks the reply of a SCAN (null: it could not be read) as sendScan does,
// stores the next cursor in *it and hands the reply back.
vornReply *checkScanReply(vornReply *reply, uint64_t *it);

// A walk that asks for the next batch while the current one is being looked
// at: the next SCAN goes out in the same write as the first per-key queries
// of the batch in hand, so it costs no round trip of its own.
struct ScanWalk {
    uint64_t cursor = 0;
    uint64_t scans = 0; // SCAN commands sent
    vornReply *current = nullptr;
    vornReply *next = nullptr;
    bool next_queued = false;

    // SCAN from cursor 0; its reply is the first batch.
    void start();
    // Queues the next SCAN unless the walk is at its end (the -i pause, when
    // due, comes first).
    void queueNext();
    // Reads the reply of the queued SCAN, if any (checked in advance()).
    void readNext();
    // Moves on to the batch read by readNext; false at the end of the walk.
    bool advance();
    const vornReply *keys() const { return current->element[1]; }
};

// DBSIZE of the current database; exits 1 when it cannot be read.
long long getDbSize(void);

// Queues (without sending) the command made of the words before, the key
// and the words after, every argument with its explicit length.
void queueKeyCommand(std::initializer_list<const char *> before, const vornReply *key,
                     std::initializer_list<const char *> after = {});

// The next reply of a batch of per-key queries; when it cannot be read,
// "Error getting <what> for key '<name>' (<code>: <text>)" and exit 1. The
// key is named by its text, or by its quoted form when quoted.
vornReply *readKeyReply(const char *what, const vornReply *key, bool quoted = false);

// The quoted form of a key name, as the walks print it; exits 1 when out of
// memory (message "Failed to allocate memory for key!").
hisds quotedKey(const vornReply *key);

// Progress of a walk in percent: sampled keys against the DBSIZE taken at
// its start (100 once keys turn up in a database that reported none).
double scanProgress(uint64_t sampled, long long total_keys);

// The second and third lines of the walks' opening text.
void printScanIntro(const char *first_line);

// Pause of -i after every 100th SCAN command of a walk.
void scanPause(uint64_t scans);

// Grows an array of per-key slots to hold n (never shrinks); exits 1 with
// "Failed to allocate storage for keys!" when that fails.
void *growKeyArray(void *array, uint32_t *capacity, size_t n, size_t elemsize);

// --scan; never returns.
[[noreturn]] void scanMode(void);
