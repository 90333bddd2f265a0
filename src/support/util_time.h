// Wall-clock readings used for timing and pacing.
#pragma once

// Microseconds since the epoch (seconds * 1000000 + microseconds).
long long ustime(void);
// Milliseconds since the epoch: ustime() / 1000.
long long mstime(void);
// Sleeps any number of microseconds (usleep may refuse a second or more,
// and its argument is 32 bits wide); a signal does not cut the sleep short.
void sleepMicros(long long us);
