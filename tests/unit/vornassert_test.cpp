#include "support/vornassert.h"

#include <gtest/gtest.h>

#include "support/util_time.h"

#include <sys/time.h>

namespace {

TEST(VornAssertDeathTest, ReportsExpressionAndLocationThenAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int two = 2;
    EXPECT_EXIT(vornAssert(two + 1 == 4), ::testing::KilledBySignal(SIGABRT),
                "^=== ASSERTION FAILED ===\n==> .*vornassert_test\\.cpp:[0-9]+ 'two \\+ 1 == 4' "
                "is not true\n$");
    vornAssert(two == 2); // a true check does nothing
}

TEST(Clock, MicrosecondsAndMillisecondsAgreeWithWallClock) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    long long before = tv.tv_sec * 1000000LL + tv.tv_usec;
    long long us = ustime();
    long long ms = mstime();
    gettimeofday(&tv, nullptr);
    long long after = tv.tv_sec * 1000000LL + tv.tv_usec;
    EXPECT_GE(us, before);
    EXPECT_LE(us, after);
    EXPECT_GE(ms, before / 1000);
    EXPECT_LE(ms, after / 1000);
}

} // namespace
