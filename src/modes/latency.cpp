// The latency modes. PING is sent through reconnectingVornCommand, so a
// server restart shows "Reconnecting..." and sampling resumes; the time
// spent reconnecting is part of the sample it interrupted.
#include "modes/latency.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cli/color.h"
#include "cli/config.h"
#include "cli/connection.h"
#include "cli/palette.h"
#include "support/util_time.h"

volatile sig_atomic_t force_cancel_loop = 0;

const distsamples latency_dist_template[31] = {
    {10, 0, '.'},       {125, 0, '-'},      {250, 0, '*'},     {500, 0, '#'},
    {1000, 0, '1'},     {2000, 0, '2'},     {3000, 0, '3'},    {4000, 0, '4'},
    {5000, 0, '5'},     {6000, 0, '6'},     {7000, 0, '7'},    {8000, 0, '8'},
    {9000, 0, '9'},     {10000, 0, 'A'},    {20000, 0, 'B'},   {30000, 0, 'C'},
    {40000, 0, 'D'},    {50000, 0, 'E'},    {100000, 0, 'F'},  {200000, 0, 'G'},
    {300000, 0, 'H'},   {400000, 0, 'I'},   {500000, 0, 'J'},  {1000000, 0, 'K'},
    {2000000, 0, 'L'},  {4000000, 0, 'M'},  {8000000, 0, 'N'}, {16000000, 0, 'O'},
    {30000000, 0, 'P'}, {60000000, 0, 'Q'}, {0, 0, '?'},
};

namespace {

// Time of one PING in the clock's unit; exits when no reply comes back.
template <class Clock> int64_t timedPing(Clock clock) {
    int64_t start = clock();
    vornReply *reply = reconnectingVornCommand(context, "PING");
    if (reply == nullptr) {
        fprintf(stderr, "\nI/O error\n");
        exit(1);
    }
    int64_t latency = clock() - start;
    freeReplyObject(reply);
    return latency;
}

} // namespace

void latencyModePrint(int64_t min, int64_t max, double avg, int64_t count) {
    if (config.output == OUTPUT_STANDARD) {
        printf("min: %lld, max: %lld, avg: %.2f (%lld samples)", (long long)min, (long long)max,
               avg, (long long)count);
        fflush(stdout);
    } else if (config.output == OUTPUT_CSV) {
        printf("%lld,%lld,%.2f,%lld\n", (long long)min, (long long)max, avg, (long long)count);
    } else {
        printf("%lld %lld %.2f %lld\n", (long long)min, (long long)max, avg, (long long)count);
    }
}

void latencyMode(void) {
    int64_t history_interval = config.interval ? config.interval / 1000 : 15000;
    int64_t history_start = mstime();
    // From here on the interval is in milliseconds: the run time of the
    // single-line raw / CSV form.
    config.interval = config.interval ? config.interval / 1000 : 1000;
    if (context == nullptr) exit(1);

    int64_t min = 0, max = 0, tot = 0, count = 0;
    double avg = 0;
    for (;;) {
        int64_t latency = timedPing(mstime);
        count++;
        if (count == 1) {
            min = max = tot = latency;
            avg = static_cast<double>(latency);
        } else {
            if (latency < min) min = latency;
            if (latency > max) max = latency;
            tot += latency;
            avg = static_cast<double>(tot) / count;
        }

        if (config.output == OUTPUT_STANDARD) {
            printf("\033[0G\033[2K");
            latencyModePrint(min, max, avg, count);
        } else if (config.latency_history) {
            latencyModePrint(min, max, avg, count);
        } else if (mstime() - history_start > config.interval) {
            latencyModePrint(min, max, avg, count);
            exit(0);
        }

        if (config.latency_history && mstime() - history_start > history_interval) {
            printf(" -- %.2f seconds range\n", static_cast<float>(mstime() - history_start) / 1000);
            history_start = mstime();
            min = max = tot = count = 0;
        }
        usleep(10000);
    }
}

int latencyDistBucket(const distsamples *samples, int64_t latency_us) {
    int j = 0;
    while (samples[j].max != 0 && samples[j].max < latency_us)
        j++;
    return j;
}

void showLatencyDistLegend(void) {
    printf("---------------------------------------------\n");
    printf(". - * #          .01 .125 .25 .5 milliseconds\n");
    printf("1,2,3,...,9      from 1 to 9     milliseconds\n");
    printf("A,B,C,D,E        10,20,30,40,50  milliseconds\n");
    printf("F,G,H,I,J        .1,.2,.3,.4,.5       seconds\n");
    printf("K,L,M,N,O,P,Q,?  1,2,4,8,16,30,60,>60 seconds\n");
    // The shade scale only means something in colour.
    if (cliColorAllowed()) {
        printf("From 0 to 100%%: ");
        for (int j = 0; j < spectrum_palette_size; j++)
            printf("\033[48;5;%dm ", spectrum_palette[j]);
        printf("\033[0m\n");
    }
    printf("---------------------------------------------\n");
}

// Without colours a row shows the character of every bucket that holds
// samples and a blank for the others.
static void showLatencyDistSamplesPlain(distsamples *samples) {
    for (int j = 0;; j++) {
        putchar(samples[j].count ? samples[j].character : ' ');
        samples[j].count = 0;
        if (samples[j].max == 0) break;
    }
    putchar('\n');
    fflush(stdout);
}

void showLatencyDistSamples(distsamples *samples, int64_t tot) {
    if (!cliColorAllowed()) return showLatencyDistSamplesPlain(samples);
    printf("\033[38;5;0m");
    for (int j = 0;; j++) {
        int coloridx =
            static_cast<int>(ceil(static_cast<double>(samples[j].count) / static_cast<double>(tot) *
                                  (spectrum_palette_size - 1)));
        printf("\033[48;5;%dm%c", spectrum_palette[coloridx], samples[j].character);
        samples[j].count = 0;
        if (samples[j].max == 0) break;
    }
    printf("\033[0m\n");
    fflush(stdout);
}

void latencyDistMode(void) {
    int64_t interval_ms = config.interval ? config.interval / 1000 : 1000;
    int64_t history_start = ustime();
    int64_t outputs = 0, count = 0;
    distsamples samples[31];
    memcpy(samples, latency_dist_template, sizeof(samples));
    if (context == nullptr) exit(1);

    for (;;) {
        int64_t latency = timedPing(ustime);
        count++;
        samples[latencyDistBucket(samples, latency)].count++;

        if ((ustime() - history_start) / 1000 > interval_ms) {
            if (outputs % 20 == 0) showLatencyDistLegend();
            showLatencyDistSamples(samples, count);
            history_start = ustime();
            outputs++;
            count = 0;
        }
        usleep(10000);
    }
}

void intrinsicLatencyModeStop(int s) {
    (void)s;
    force_cancel_loop = 1;
}

void intrinsicLatencyMode(void) {
    // 64-bit arithmetic, so that long runs (past 2147 seconds) keep their
    // length instead of wrapping.
    int64_t run_time = static_cast<int64_t>(config.intrinsic_latency_duration) * 1000000;
    int64_t test_end = ustime() + run_time;
    int64_t max_latency = 0, runs = 0;
    signal(SIGINT, intrinsicLatencyModeStop);

    for (;;) {
        int64_t start = ustime();
        int64_t end = ustime();
        int64_t latency = end - start;
        runs++;
        if (latency <= 0) continue;

        if (latency > max_latency) {
            max_latency = latency;
            printf("Max latency so far: %lld microseconds.\n", (long long)max_latency);
            fflush(stdout);
        }
        if (force_cancel_loop || end > test_end) {
            double avg_us = static_cast<double>(run_time) / runs;
            double avg_ns = avg_us * 1e3;
            printf(
                "\n%lld total runs (avg latency: %.4f microseconds / %.2f nanoseconds per run).\n",
                (long long)runs, avg_us, avg_ns);
            printf("Worst run took %.0fx longer than the average latency.\n",
                   static_cast<double>(max_latency) / avg_us);
            exit(0);
        }
    }
}
