// --lru-test: a cache workload with a skewed key distribution.
#pragma once

#include <cstddef>

// A number in [min - 1, max] drawn from a power law favouring min.
long long powerLawRand(long long min, long long max, double alpha);

// The next key name, "lru:<n>", into buf (at most buflen bytes).
void LRUTestGenKey(char *buf, size_t buflen);

// --lru-test; never returns.
[[noreturn]] void LRUTestMode(void);
