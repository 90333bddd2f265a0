// The rolling server statistics table (--stat).
#pragma once

#include <cstddef>
#include <cstdint>

// Human-readable form of a byte count n into s (bufsize bytes): "1023B",
// "1.00K", "5.00M", "2.50G", "1.00T"; negative counts get a leading '-'.
void bytesToHuman(char *s, int64_t n, size_t bufsize);

// Sum of the keys= figures of every database listed in an INFO text.
int64_t infoKeyspaceKeys(const char *info);

// --stat; never returns.
[[noreturn]] void statMode(void);
