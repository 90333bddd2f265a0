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

// DBSIZE of the current database; exits 1 when it cannot be read.
long long getDbSize(void);

// Queues (without sending) the command made of the words before, the key
// and the words after, every argument with its explicit length.
void queueKeyCommand(std::initializer_list<const char *> before, const vornReply *key,
                     std::initializer_list<const char *> after = {});

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
