// Wall-clock readings used for timing and pacing.
#pragma once

// Microseconds since the epoch (seconds * 1000000 + microseconds).
long long ustime(void);
// Milliseconds since the epoch: ustime() / 1000.
long long mstime(void);
