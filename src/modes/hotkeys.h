// --hotkeys: the 16 keys with the highest access-frequency counters.
#pragma once

#include <cstdint>

#include "hivorn/hivorn.h"

#define HOTKEYS_SAMPLE 16

struct ScanWalk;

// Fills freqs[i] with the OBJECT FREQ counter of every key of the batch.
// With a walk, its next SCAN rides along with the queries.
void getKeyFreqs(const vornReply *keys, uint64_t *freqs, ScanWalk *walk = nullptr);

// Offers a key with counter freq to the hot list (counters ascending, slot
// HOTKEYS_SAMPLE - 1 the hottest). Returns the slot it took, or -1 when it
// stays out (a counter of 0, or one not above the coldest of a full list).
// On admission the list takes ownership of key; otherwise the caller keeps it.
int hotKeysAdmit(uint64_t *counters, hisds *hotkeys, uint64_t freq, hisds key);

// --hotkeys; never returns.
[[noreturn]] void findHotKeys(void);
