// The latency modes: PING round trips (plain, in ranges, as a spectrum) and
// the intrinsic latency of the client host itself.
#pragma once

#include <csignal>
#include <cstdint>

// One bucket of the latency spectrum.
struct distsamples {
    int64_t max;   // inclusive upper bound in microseconds; 0 marks the last bucket
    int64_t count; // samples of the current interval
    int character; // printed for the bucket
};

// Set by the SIGINT handler of the intrinsic-latency test.
extern volatile sig_atomic_t force_cancel_loop;

// --latency / --latency-history; never returns.
[[noreturn]] void latencyMode(void);
// --latency-dist; never returns.
[[noreturn]] void latencyDistMode(void);
// --intrinsic-latency; never returns.
[[noreturn]] void intrinsicLatencyMode(void);

// One summary in the current output form (redrawn line, raw or CSV).
void latencyModePrint(int64_t min, int64_t max, double avg, int64_t count);
void showLatencyDistLegend(void);
// One spectrum row of tot samples; clears the bucket counts.
void showLatencyDistSamples(distsamples *samples, int64_t tot);
// The bucket a sample of latency_us falls into.
int latencyDistBucket(const distsamples *samples, int64_t latency_us);
void intrinsicLatencyModeStop(int s);

// The 31 buckets of the spectrum, counts at 0.
extern const distsamples latency_dist_template[31];
