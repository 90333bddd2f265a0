#include "support/ae.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/util_time.h"

namespace {

struct SocketPair : ::testing::Test {
    int sv[2] = {-1, -1};
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0); }
    void TearDown() override {
        for (int fd : sv)
            if (fd >= 0) close(fd);
    }
};

TEST_F(SocketPair, ReportsOnlyWhatIsReadyAndAsked) {
    // Idle connection: writable at once, not readable.
    EXPECT_EQ(aeWait(sv[0], AE_READABLE | AE_WRITABLE, 1000), AE_WRITABLE);
    EXPECT_EQ(aeWait(sv[0], AE_WRITABLE, 1000), AE_WRITABLE);

    ASSERT_EQ(write(sv[1], "x", 1), 1);
    EXPECT_EQ(aeWait(sv[0], AE_READABLE | AE_WRITABLE, 1000), AE_READABLE | AE_WRITABLE);
    EXPECT_EQ(aeWait(sv[0], AE_READABLE, 1000), AE_READABLE);
}

TEST_F(SocketPair, TimesOutWithZero) {
    long long start = mstime();
    EXPECT_EQ(aeWait(sv[0], AE_READABLE, 50), 0);
    long long waited = mstime() - start;
    EXPECT_GE(waited, 40);
    EXPECT_LT(waited, 5000);
    EXPECT_EQ(aeWait(sv[0], AE_READABLE, 0), 0) << "a zero timeout only polls";
}

TEST_F(SocketPair, HangUpIsReportedAsWritableSoTheWriteFails) {
    close(sv[1]);
    sv[1] = -1;
    // Even when only reading was asked for, the caller learns of the hang-up.
    EXPECT_EQ(aeWait(sv[0], AE_READABLE, 1000), AE_READABLE | AE_WRITABLE);
}

TEST(AeWait, InvalidDescriptorDoesNotLookIdle) {
    int fd[2];
    ASSERT_EQ(pipe(fd), 0);
    close(fd[0]);
    close(fd[1]);
    EXPECT_NE(aeWait(fd[0], AE_READABLE, 1000), 0);
}

} // namespace
