#include "support/util_time.h"

#include <cerrno>
#include <ctime>

#include <sys/time.h>

long long ustime(void) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    long long ust = static_cast<long long>(tv.tv_sec) * 1000000;
    ust += tv.tv_usec;
    return ust;
}

long long mstime(void) {
    return ustime() / 1000;
}

void sleepMicros(long long us) {
    if (us <= 0) return;
    struct timespec ts = {static_cast<time_t>(us / 1000000),
                          static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}
