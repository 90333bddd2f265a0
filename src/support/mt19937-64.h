// 64-bit Mersenne Twister (MT19937-64, 312 words of state), the process-wide
// shared generator.
#pragma once

#include <cstdint>

void init_genrand64(unsigned long long seed);
// Seeds from an array of keys.
void init_by_array64(const unsigned long long init_key[], unsigned long long key_length);
// Next number in [0, 2^64-1].
unsigned long long genrand64_int64(void);
// Next number in [0, 2^63-1].
long long genrand64_int63(void);
// Next number in [0,1].
double genrand64_real1(void);
// Next number in [0,1).
double genrand64_real2(void);
