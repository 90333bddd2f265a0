#include "modes/lru.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "cli/config.h"

TEST(PowerLawRand, RangeAndSkew) {
    srand(12345);
    const long long n = 1000;
    long long low = 0, ones = 0, draws = 200000;
    for (long long i = 0; i < draws; i++) {
        long long v = powerLawRand(1, n, 6.2);
        ASSERT_GE(v, 0);
        ASSERT_LE(v, n);
        if (v <= n / 5) low++;
        if (v == 1) ones++;
    }
    // About 80% of the draws fall on the lowest 20% of the numbers
    // (1 - 0.8^7.2), and 1 is the most frequent of all.
    double share = double(low) / double(draws);
    EXPECT_GT(share, 0.78);
    EXPECT_LT(share, 0.82);
    EXPECT_GT(ones, draws / n * 5);
}

TEST(LRUTestGenKey, NamesStayInTheKeySpace) {
    long long saved = config.lru_test_sample_size;
    config.lru_test_sample_size = 50;
    srand(7);
    for (int i = 0; i < 10000; i++) {
        char buf[128];
        LRUTestGenKey(buf, sizeof(buf));
        ASSERT_EQ(strncmp(buf, "lru:", 4), 0);
        long long v = atoll(buf + 4);
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 50);
    }
    char tiny[6];
    LRUTestGenKey(tiny, sizeof(tiny));
    EXPECT_EQ(strlen(tiny), 5u); // truncated, never overrun
    config.lru_test_sample_size = saved;
}
