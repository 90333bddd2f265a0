#include "support/util_time.h"

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
