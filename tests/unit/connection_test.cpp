// The reconnecting command wrapper of the monitoring modes and the write
// helper of pipe mode, against a loopback peer driven by the test.
#include <gtest/gtest.h>

#include <thread>

#include "cli/config.h"
#include "cli/connection.h"
#include "cli/secure.h"
#include "loopback_peer.h"

namespace {

class Connection : public ::testing::Test {
  protected:
    void SetUp() override {
        cliConfigSetDefaults();
        listener = peer::bindLoopback("127.0.0.1", &port);
        hi_sdsfree(config.hostip);
        config.hostip = hi_sdsnew("127.0.0.1");
        config.hostport = port;
    }
    void TearDown() override {
        vornFree(context);
        context = nullptr;
        cliConfigSetDefaults();
    }
    int port = 0;
    peer::Fd listener;
};

TEST_F(Connection, ReconnectingCommandRetriesUntilAReplyComes) {
    vornContext *c = vornConnect("127.0.0.1", port);
    ASSERT_EQ(c->err, 0);
    // The first connection dies before answering; the second one answers.
    peer::Fd first = peer::acceptPeer(listener.get());
    first.reset();
    std::string request;
    std::thread server([&] {
        peer::Fd second = peer::acceptPeer(listener.get());
        request = peer::recvUpTo(second.get(), 14);
        peer::sendAll(second.get(), "+PONG\r\n");
        peer::recvUpTo(second.get(), 1, 2000); // stay open until the client is done
    });
    ::testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    vornReply *reply = reconnectingVornCommand(c, "PING");
    double elapsed = peer::secondsSince(t0);
    fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::string(reply->str, reply->len), "PONG");
    freeReplyObject(reply);
    EXPECT_EQ(out, "\r\x1b[0KReconnecting... 1\r\r\x1b[0K");
    EXPECT_EQ(request, "*1\r\n$4\r\nPING\r\n");
    EXPECT_GE(elapsed, 0.9); // one pause per attempt
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->err, 0);
    vornFree(context);
    context = nullptr;
    server.join();
}

TEST_F(Connection, ReconnectingCommandStopsOnAProtocolError) {
    vornContext *c = vornConnect("127.0.0.1", port);
    ASSERT_EQ(c->err, 0);
    peer::Fd p = peer::acceptPeer(listener.get());
    peer::sendAll(p.get(), "?bad\r\n");
    EXPECT_EXIT(reconnectingVornCommand(c, "PING"), ::testing::ExitedWithCode(1),
                "^Error: Protocol error");
    vornFree(c);
}

TEST_F(Connection, WriteConnReportsWhatWentOut) {
    vornContext *c = vornConnect("127.0.0.1", port);
    ASSERT_EQ(c->err, 0);
    peer::Fd p = peer::acceptPeer(listener.get());
    EXPECT_EQ(cliWriteConn(c, "abc", 3), 3);
    EXPECT_EQ(hi_sdslen(c->obuf), 0u);
    EXPECT_EQ(peer::recvUpTo(p.get(), 3), "abc");
    // A failed write keeps none of the given bytes, but what was queued
    // before them stays.
    c->obuf = hi_sdscat(c->obuf, "old");
    __vornSetError(c, VORN_ERR_IO, "boom");
    EXPECT_EQ(cliWriteConn(c, "new", 3), -1);
    EXPECT_EQ(std::string(c->obuf, hi_sdslen(c->obuf)), "old");
    vornFree(c);
}

TEST_F(Connection, PromptNamesEndpointDatabaseAndTransaction) {
    struct {
        const char *host;
        const char *socket;
        int db;
        int multi;
        const char *prompt;
    } cases[] = {
        {"127.0.0.1", nullptr, 0, 0, "127.0.0.1:6379> "},
        {"127.0.0.1", nullptr, 2, 0, "127.0.0.1:6379[2]> "},
        {"127.0.0.1", nullptr, 0, 1, "127.0.0.1:6379(TX)> "},
        {"::1", nullptr, 3, 1, "[::1]:6379[3](TX)> "},
        {"127.0.0.1", "/tmp/v.sock", 1, 0, "vorn /tmp/v.sock[1]> "},
    };
    for (const auto &c : cases) {
        hi_sdsfree(config.hostip);
        config.hostip = hi_sdsnew(c.host);
        config.hostport = 6379;
        config.hostsocket = const_cast<char *>(c.socket);
        config.dbnum = c.db;
        config.in_multi = c.multi;
        cliRefreshPrompt();
        EXPECT_STREQ(config.prompt, c.prompt);
    }
    std::string longSocket(300, 's');
    config.hostsocket = longSocket.data();
    cliRefreshPrompt();
    EXPECT_EQ(strlen(config.prompt), 127u);
    config.hostsocket = nullptr;
    // The debugger keeps its own prompt.
    config.eval_ldb = 1;
    config.dbnum = 5;
    cliRefreshPrompt();
    EXPECT_EQ(strlen(config.prompt), 127u);
}

} // namespace
