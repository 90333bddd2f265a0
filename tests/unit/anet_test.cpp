#include "support/anet.h"

#include <cstring>
#include <string>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof(value);
    EXPECT_EQ(getsockopt(fd, level, name, &value, &len), 0);
    return value;
}

TEST(Anet, KeepAliveSetsIdleIntervalAndProbeCount) {
    struct Case {
        int interval, idle, probe_interval;
    };
    // The probe interval is a third of the idle time, never below one second.
    const Case cases[] = {{15, 15, 5}, {7, 7, 2}, {2, 2, 1}, {1, 1, 1}};
    for (const Case &c : cases) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        char err[ANET_ERR_LEN] = "";
        ASSERT_EQ(anetKeepAlive(err, fd, c.interval), ANET_OK) << err;
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), c.idle) << c.interval;
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), c.probe_interval) << c.interval;
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
        close(fd);
    }
}

TEST(Anet, NonBlockAndBlockToggleTheFlag) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(anetNonBlock(nullptr, sv[0]), ANET_OK);
    EXPECT_TRUE(fcntl(sv[0], F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(fcntl(sv[1], F_GETFL) & O_NONBLOCK);
    char byte;
    EXPECT_EQ(read(sv[0], &byte, 1), -1) << "a non-blocking read of an idle socket returns";
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_EQ(anetNonBlock(nullptr, sv[0]), ANET_OK); // idempotent
    ASSERT_EQ(anetBlock(nullptr, sv[0]), ANET_OK);
    EXPECT_FALSE(fcntl(sv[0], F_GETFL) & O_NONBLOCK);
    close(sv[0]);
    close(sv[1]);
}

TEST(Anet, FailuresFillTheOptionalErrorText) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    close(fd); // a descriptor number that is certainly not open now
    using Fn = int (*)(char *, int);
    const std::pair<const char *, Fn> calls[] = {
        {"non-block", [](char *e, int f) { return anetNonBlock(e, f); }},
        {"keep-alive", [](char *e, int f) { return anetKeepAlive(e, f, 15); }},
        {"no-delay", [](char *e, int f) { return anetEnableTcpNoDelay(e, f); }},
    };
    for (auto [name, fn] : calls) {
        char err[ANET_ERR_LEN];
        memset(err, 'x', sizeof(err));
        EXPECT_EQ(fn(err, fd), ANET_ERR) << name;
        EXPECT_NE(memchr(err, '\0', sizeof(err)), nullptr) << name << ": text must be terminated";
        EXPECT_NE(strstr(err, strerror(EBADF)), nullptr) << name << ": " << err;
        EXPECT_EQ(fn(nullptr, fd), ANET_ERR) << name << " without a buffer";
    }
}

TEST(Anet, FormatAddrBracketsIPv6) {
    const struct {
        const char *ip;
        int port;
        const char *expected;
    } rows[] = {
        {"127.0.0.1", 6379, "127.0.0.1:6379"},
        {"::1", 7000, "[::1]:7000"},
        {"fe80::1%eth0", 1, "[fe80::1%eth0]:1"},
        {"localhost", 0, "localhost:0"},
    };
    for (const auto &r : rows) {
        char buf[64];
        int n = anetFormatAddr(buf, sizeof(buf), r.ip, r.port);
        EXPECT_STREQ(buf, r.expected);
        EXPECT_EQ(n, static_cast<int>(strlen(r.expected)));
    }
    char small[6];
    EXPECT_EQ(anetFormatAddr(small, sizeof(small), "::1", 7000), 10);
    EXPECT_STREQ(small, "[::1]") << "output is cut to the buffer and terminated";
}

} // namespace
