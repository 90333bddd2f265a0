// The blocking connection context against peer sockets opened by the test:
// connecting (TCP, Unix, a given descriptor), the request/reply cycle, push
// messages, the single read and write steps, error recording, and allocation
// failures.

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/wait.h>

#include <csignal>
#include <thread>

#include "hivorn/alloc.h"
#include "hivorn/hivorn.h"
#include "hivorn/net.h"
#include "loopback_peer.h"

using namespace peer;

namespace {

bool ipv6Available() {
    int port = 0;
    return bindLoopback("::1", &port).valid();
}

// A context on one end of a socket pair, the test holding the other end.
struct PairedContext {
    ContextPtr c;
    Fd peer;
};

PairedContext pairedContext(int options = 0, vornPushFn *push_cb = nullptr,
                            void *privdata = nullptr) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return {};
    vornOptions o = {};
    o.type = VORN_CONN_USERFD;
    o.options = options;
    o.endpoint.fd = sv[0];
    o.push_cb = push_cb;
    o.privdata = privdata;
    return {ContextPtr(vornConnectWithOptions(&o)), Fd(sv[1])};
}

std::string obufOf(const vornContext *c) {
    return std::string(c->obuf, hi_sdslen(c->obuf));
}

// Transport calls counted through privdata, to see when the context touches
// its socket.
struct TransportCalls {
    int reads = 0;
    int writes = 0;
};
ssize_t countingRead(vornContext *c, char *buf, size_t cap) {
    static_cast<TransportCalls *>(c->privdata)->reads++;
    return vornNetRead(c, buf, cap);
}
ssize_t countingWrite(vornContext *c) {
    static_cast<TransportCalls *>(c->privdata)->writes++;
    return vornNetWrite(c);
}
const vornContextFuncs kCountingFuncs = {nullptr, nullptr, nullptr, countingRead, countingWrite};

PairedContext countedContext(TransportCalls *calls) {
    PairedContext p = pairedContext(0, nullptr, calls);
    if (p.c) p.c->funcs = &kCountingFuncs;
    return p;
}

// Accepts the context's connection and runs one PING over it.
void expectRoundTrip(vornContext *c, int listener) {
    Fd server = acceptPeer(listener);
    ASSERT_TRUE(server.valid());
    sendAll(server.get(), "+PONG\r\n");
    ReplyPtr r = command(c, "PING");
    ASSERT_NE(r, nullptr) << c->errstr;
    EXPECT_EQ(r->type, VORN_REPLY_STATUS);
    EXPECT_STREQ(r->str, "PONG");
    EXPECT_EQ(recvUpTo(server.get(), 14), "*1\r\n$4\r\nPING\r\n");
}

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/vornctx.XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

} // namespace

// ---- connecting ----

TEST(ContextConnect, TcpOnBothLoopbackFamilies) {
    for (const char *host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        const bool v6 = std::string(host) == "::1";
        if (v6 && !ipv6Available()) {
            std::printf("skipping ::1: no IPv6 loopback on this machine\n");
            continue;
        }
        int port = 0;
        Fd listener = bindLoopback(host, &port);
        ASSERT_TRUE(listener.valid());
        // The IPv6 literal only resolves through the second, IPv6 lookup.
        ContextPtr c(vornConnect(host, port));
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(c->err, 0) << c->errstr;
        EXPECT_EQ(c->flags & (VORN_BLOCK | VORN_CONNECTED), VORN_BLOCK | VORN_CONNECTED);
        EXPECT_EQ(c->connection_type, VORN_CONN_TCP);
        EXPECT_STREQ(c->tcp.host, host);
        EXPECT_EQ(c->tcp.port, port);
        ASSERT_NE(c->saddr, nullptr);
        EXPECT_EQ(c->saddr->sa_family, v6 ? AF_INET6 : AF_INET);
        EXPECT_EQ(c->connect_timeout, nullptr);
        // Back in blocking mode once connected; small requests not delayed.
        EXPECT_EQ(fcntl(c->fd, F_GETFL) & O_NONBLOCK, 0);
        int nodelay = 0;
        socklen_t len = sizeof(nodelay);
        getsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
        EXPECT_NE(nodelay, 0);

        expectRoundTrip(c.get(), listener.get());
    }
}

TEST(ContextConnect, RefusedConnectionLeavesAContextWithTheSystemText) {
    for (const char *host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        if (std::string(host) == "::1" && !ipv6Available()) continue;
        int port = 0;
        Fd reserved = bindLoopback(host, &port, /*listening=*/false);
        ASSERT_TRUE(reserved.valid());
        ContextPtr c(vornConnect(host, port));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->err, VORN_ERR_IO);
        EXPECT_STREQ(c->errstr, "Connection refused");
        EXPECT_EQ(c->flags & VORN_CONNECTED, 0);
        // A failed context does no further work.
        EXPECT_EQ(command(c.get(), "PING"), nullptr);
        EXPECT_STREQ(c->errstr, "Connection refused");
    }
}

TEST(ContextConnect, TimeoutConversionToMilliseconds) {
    struct Case {
        long long sec;
        long long usec;
        int rv;
        long msec;
    } cases[] = {
        {0, 0, VORN_OK, 0},
        {0, 1, VORN_OK, 1},
        {0, 999, VORN_OK, 1},
        {0, 1001, VORN_OK, 2},
        {0, 1000000, VORN_OK, 1000},
        {0, 1000001, VORN_ERR, 0},
        {1, 500, VORN_OK, 1001},
        {2147483, 647000, VORN_OK, 2147483647},
        {2147483, 648000, VORN_OK, 2147483647}, // one past: clamped
        {9223372036854774LL, 0, VORN_OK, 2147483647},
        {9223372036854775LL, 0, VORN_ERR, 0},
        {-1, 0, VORN_OK, 2147483647},
        {LLONG_MIN, 0, VORN_OK, 2147483647},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::to_string(k.sec) + "s " + std::to_string(k.usec) + "us");
        struct timeval tv = {static_cast<time_t>(k.sec), static_cast<suseconds_t>(k.usec)};
        long msec = -42;
        ASSERT_EQ(vornContextTimeoutMsec(&tv, &msec), k.rv);
        if (k.rv == VORN_OK) {
            EXPECT_EQ(msec, k.msec);
        }
    }
    long msec = 0;
    ASSERT_EQ(vornContextTimeoutMsec(nullptr, &msec), VORN_OK);
    EXPECT_EQ(msec, -1);
}

TEST(ContextConnect, ConnectTimeoutRangeIsCheckedBeforeAnySocket) {
    int port = 0;
    Fd listener = bindLoopback("127.0.0.1", &port);
    ASSERT_TRUE(listener.valid());

    ContextPtr bad(vornConnectWithTimeout("127.0.0.1", port, {0, 1000001}));
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->err, VORN_ERR_IO);
    EXPECT_STREQ(bad->errstr, "Invalid timeout specified");
    EXPECT_EQ(bad->fd, VORN_INVALID_FD);
    EXPECT_FALSE(waitReadable(listener.get(), 0)) << "a connection was attempted";

    ContextPtr good(vornConnectWithTimeout("127.0.0.1", port, {0, 1000000}));
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->err, 0) << good->errstr;
    ASSERT_NE(good->connect_timeout, nullptr);
    EXPECT_EQ(good->connect_timeout->tv_usec, 1000000);
}

TEST(ContextConnect, ConnectTimesOutWhenTheAcceptQueueIsFull) {
    int port = 0;
    Fd listener = bindLoopback("127.0.0.1", &port, true, /*backlog=*/0);
    ASSERT_TRUE(listener.valid());
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    // Fill the queue until a connect no longer completes: from then on the
    // listener drops new handshakes.
    std::vector<Fd> fillers;
    bool full = false;
    for (int i = 0; i < 16 && !full; i++) {
        Fd s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(s.get(), reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
        pollfd p = {s.get(), POLLOUT, 0};
        full = poll(&p, 1, 300) == 0;
        fillers.push_back(std::move(s));
    }
    if (!full) GTEST_SKIP() << "the listener kept accepting handshakes; cannot provoke a timeout";

    auto t0 = std::chrono::steady_clock::now();
    ContextPtr c(vornConnectWithTimeout("127.0.0.1", port, {0, 300000}));
    double took = secondsSince(t0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->err, VORN_ERR_IO);
    EXPECT_STREQ(c->errstr, "Connection timed out");
    EXPECT_EQ(c->fd, VORN_INVALID_FD);
    EXPECT_GE(took, 0.25);
    EXPECT_LT(took, 5.0);
}

// Name resolution failures run in a child inside a fresh network namespace, so
// that no query can leave the machine.
TEST(ContextConnect, ResolutionFailuresInAnIsolatedNetwork) {
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipefd[0]);
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        const char *host = "no-such-host.invalid";
        std::string out;
        vornContext *c = vornConnect(host, 6379);
        out += std::to_string(c ? c->err : -1) + "\n" + (c ? c->errstr : "") + "\n";
        vornFree(c);
        // What the resolver says on the second (IPv6) attempt.
        struct addrinfo hints = {}, *res = nullptr;
        hints.ai_family = AF_INET6;
        hints.ai_socktype = SOCK_STREAM;
        int rv = getaddrinfo(host, "6379", &hints, &res);
        out += std::string(rv ? gai_strerror(rv) : "resolved") + "\n";
        // An unresolvable source address.
        vornOptions o = {};
        VORN_OPTIONS_SET_TCP(&o, "127.0.0.1", 6379);
        o.endpoint.tcp.source_addr = host;
        c = vornConnectWithOptions(&o);
        hints.ai_family = AF_INET;
        rv = getaddrinfo(host, nullptr, &hints, &res);
        out += std::to_string(c ? c->err : -1) + "\n" + (c ? c->errstr : "") + "\n";
        out += std::string("Can't get addr: ") + (rv ? gai_strerror(rv) : "resolved") + "\n";
        vornFree(c);
        if (write(pipefd[1], out.data(), out.size()) < 0) _exit(1);
        _exit(0);
    }
    close(pipefd[1]);
    Fd rd(pipefd[0]);
    std::string out;
    char buf[4096];
    ssize_t n = 0;
    while (waitReadable(rd.get(), 20000) && (n = read(rd.get(), buf, sizeof(buf))) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    if (n != 0) kill(pid, SIGKILL); // stuck: no end of output in time
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "cannot create a network namespace (needs root); skipped so that no "
                        "name lookup leaves the machine";
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> lines;
    for (size_t pos = 0, nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        lines.push_back(out.substr(pos, nl - pos));
    }
    ASSERT_EQ(lines.size(), 6u) << out;
    EXPECT_EQ(lines[0], std::to_string(VORN_ERR_OTHER));
    EXPECT_EQ(lines[1], lines[2]);
    EXPECT_NE(lines[2], "resolved");
    EXPECT_EQ(lines[3], std::to_string(VORN_ERR_OTHER));
    EXPECT_EQ(lines[4], lines[5]);
    EXPECT_NE(lines[5], "Can't get addr: resolved");
}

TEST(ContextConnect, SourceAddressBinding) {
    int port = 0;
    Fd listener = bindLoopback("127.0.0.1", &port);
    ASSERT_TRUE(listener.valid());
    struct Case {
        const char *source;
        int options;
        int err;
        const char *errstr;
    } cases[] = {
        {"127.0.0.1", 0, 0, ""},
        {"127.0.0.1", VORN_OPT_REUSEADDR, 0, ""},
        // Numeric, so nothing is looked up; not an address of this machine.
        {"192.0.2.1", 0, VORN_ERR_OTHER, "Can't bind socket: Cannot assign requested address"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.source) + " options " + std::to_string(k.options));
        vornOptions o = {};
        VORN_OPTIONS_SET_TCP(&o, "127.0.0.1", port);
        o.endpoint.tcp.source_addr = k.source;
        o.options = k.options;
        ContextPtr c(vornConnectWithOptions(&o));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->err, k.err);
        EXPECT_STREQ(c->errstr, k.errstr);
        EXPECT_STREQ(c->tcp.source_addr, k.source);
        if (k.err != 0) continue;
        EXPECT_EQ(c->flags & VORN_REUSEADDR, k.options ? VORN_REUSEADDR : 0);
        int reuse = -1;
        socklen_t len = sizeof(reuse);
        getsockopt(c->fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
        EXPECT_EQ(reuse != 0, k.options != 0);
        sockaddr_in local = {};
        len = sizeof(local);
        getsockname(c->fd, reinterpret_cast<sockaddr *>(&local), &len);
        EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);
        Fd server = acceptPeer(listener.get());
        EXPECT_TRUE(server.valid());
    }
}

TEST(ContextConnect, UnixSocketsAndTheCutPath) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());

    std::string path = dir.path() + "/s";
    Fd listener = listenUnix(path);
    ASSERT_TRUE(listener.valid());
    ContextPtr c(vornConnectUnix(path.c_str()));
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->err, 0) << c->errstr;
    EXPECT_EQ(c->connection_type, VORN_CONN_UNIX);
    EXPECT_STREQ(c->unix_sock.path, path.c_str());
    EXPECT_EQ(c->flags & (VORN_BLOCK | VORN_CONNECTED), VORN_BLOCK | VORN_CONNECTED);
    EXPECT_EQ(c->addrlen, sizeof(sockaddr_un));
    expectRoundTrip(c.get(), listener.get());

    // A socket whose path is exactly 107 bytes long is reached through any
    // longer path that starts with it.
    std::string exact = dir.path() + "/";
    exact += std::string(107 - exact.size(), 'p');
    ASSERT_EQ(exact.size(), 107u);
    Fd cut_listener = listenUnix(exact);
    ASSERT_TRUE(cut_listener.valid());
    std::string longer = exact + std::string(200 - exact.size(), 'x');
    ContextPtr cut(vornConnectUnix(longer.c_str()));
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(cut->err, 0) << cut->errstr;
    EXPECT_EQ(cut->unix_sock.path, longer);
    EXPECT_TRUE(acceptPeer(cut_listener.get()).valid());

    ContextPtr missing(vornConnectUnix((dir.path() + "/absent").c_str()));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->err, VORN_ERR_IO);
    EXPECT_STREQ(missing->errstr, "No such file or directory");
}

TEST(ContextConnect, OptionsCarryIntoTheContext) {
    vornFree(nullptr); // accepted

    static int released = 0;
    released = 0;
    int token = 0;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd far(sv[1]);
    vornOptions o = {};
    o.type = VORN_CONN_USERFD;
    o.endpoint.fd = sv[0];
    o.options = VORN_OPT_NONBLOCK | VORN_OPT_NOAUTOFREE;
    o.privdata = &token;
    o.free_privdata = [](void *p) {
        EXPECT_NE(p, nullptr);
        released++;
    };
    vornContext *c = vornConnectWithOptions(&o);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->err, 0);
    EXPECT_EQ(c->fd, sv[0]);
    EXPECT_EQ(c->connection_type, VORN_CONN_USERFD);
    EXPECT_EQ(c->flags, VORN_CONNECTED | VORN_NO_AUTO_FREE);
    EXPECT_EQ(c->privdata, &token);
    EXPECT_EQ(c->push_cb, &vornPushAutoFree);
    vornFree(c);
    EXPECT_EQ(released, 1);
    // The context closed the descriptor it was given.
    EXPECT_EQ(fcntl(sv[0], F_GETFD), -1);

    o.type = 99;
    EXPECT_EQ(vornConnectWithOptions(&o), nullptr);
}

TEST(ContextConnect, CommandTimeoutBoundsBlockingReceivesAndSends) {
    // The peer never answers (a PING waits for its reply), or never reads (a
    // request far larger than both socket buffers). The socket reports the
    // expired timeout as EAGAIN, the context as the timeout it is.
    const std::string big(64 << 20, 'v');
    const struct {
        const char *name;
        size_t size;
        const char *errstr;
    } cases[] = {{"receive", 0, "recv timeout"}, {"send", big.size(), "send timeout"}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        int port = 0;
        Fd listener = bindLoopback("127.0.0.1", &port);
        ASSERT_TRUE(listener.valid());
        ContextPtr c = connectWithCommandTimeout(port, {0, 200000});
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(c->err, 0) << c->errstr;
        ASSERT_NE(c->command_timeout, nullptr);
        for (int opt : {SO_RCVTIMEO, SO_SNDTIMEO}) {
            struct timeval got = {};
            socklen_t len = sizeof(got);
            getsockopt(c->fd, SOL_SOCKET, opt, &got, &len);
            EXPECT_EQ(got.tv_sec, 0);
            EXPECT_EQ(got.tv_usec, 200000);
        }
        Fd server = acceptPeer(listener.get());
        ASSERT_EQ(vornAppendCommand(c.get(), "SET k %b", big.data(), k.size), VORN_OK);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_NE(vornGetReply(c.get(), nullptr), VORN_OK);
        double took = secondsSince(t0);
        EXPECT_EQ(c->err, VORN_ERR_TIMEOUT);
        EXPECT_STREQ(c->errstr, k.errstr);
        EXPECT_GE(took, 0.15);
        EXPECT_LT(took, 10.0);
    }
}

TEST(ContextTransport, WritingToAPeerThatWentAwayIsAnErrorNotASignal) {
    // In a child with the default SIGPIPE action, which would end it.
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_DFL);
            PairedContext p = pairedContext();
            if (p.c == nullptr) _exit(2);
            p.peer = Fd();
            void *reply = vornCommand(p.c.get(), "PING");
            bool ok = reply == nullptr && p.c->err == VORN_ERR_IO &&
                      strcmp(p.c->errstr, "Broken pipe") == 0;
            _exit(ok ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- requests and replies ----

TEST(ContextCommand, EncodesRequestsAndReturnsReplies) {
    PairedContext p = pairedContext();
    ASSERT_NE(p.c, nullptr);
    vornContext *c = p.c.get();

    sendAll(p.peer.get(), "+OK\r\n");
    ReplyPtr r(static_cast<vornReply *>(vornCommand(c, "SET %s %b", "k", "v\0w", size_t{3})));
    ASSERT_NE(r, nullptr) << c->errstr;
    EXPECT_EQ(r->type, VORN_REPLY_STATUS);
    EXPECT_EQ(recvPending(p.peer.get()),
              std::string("*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$3\r\nv\0w\r\n", 29));

    sendAll(p.peer.get(), "$5\r\nhello\r\n");
    const char *argv[] = {"GET", "k"};
    ASSERT_EQ(vornAppendCommandArgv(c, 2, argv, nullptr), VORN_OK);
    void *raw = nullptr;
    ASSERT_EQ(vornGetReply(c, &raw), VORN_OK);
    r.reset(static_cast<vornReply *>(raw));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, VORN_REPLY_STRING);
    EXPECT_EQ(std::string(r->str, r->len), "hello");
    EXPECT_EQ(recvPending(p.peer.get()), "*2\r\n$3\r\nGET\r\n$1\r\nk\r\n");

    // A server error is a reply, not a context error.
    sendAll(p.peer.get(), "-ERR nope\r\n");
    r = command(c, "BAD");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, VORN_REPLY_ERROR);
    EXPECT_EQ(c->err, 0);
}

TEST(ContextCommand, RejectedFormatIsAnError) {
    PairedContext p = pairedContext();
    ASSERT_NE(p.c, nullptr);
    EXPECT_EQ(vornCommand(p.c.get(), "SET k %c", 'x'), nullptr);
    EXPECT_EQ(p.c->err, VORN_ERR_OTHER);
    EXPECT_STREQ(p.c->errstr, "Invalid format string");
    EXPECT_EQ(hi_sdslen(p.c->obuf), 0u);
}

TEST(ContextCommand, ServerClosingWhileAReplyIsAwaited) {
    PairedContext p = pairedContext();
    ASSERT_NE(p.c, nullptr);
    sendAll(p.peer.get(), "$10\r\nhalf"); // then gone, mid-reply
    shutdown(p.peer.get(), SHUT_WR);
    EXPECT_EQ(command(p.c.get(), "GET k"), nullptr);
    EXPECT_EQ(p.c->err, VORN_ERR_EOF);
    EXPECT_STREQ(p.c->errstr, "Server closed the connection");
}

TEST(ContextCommand, ProtocolErrorOfTheReaderIsCopied) {
    PairedContext p = pairedContext();
    ASSERT_NE(p.c, nullptr);
    sendAll(p.peer.get(), "!oops\r\n");
    EXPECT_EQ(command(p.c.get(), "PING"), nullptr);
    EXPECT_EQ(p.c->err, VORN_ERR_PROTOCOL);
    EXPECT_STREQ(p.c->errstr, "Protocol error, got \"!\" as reply type byte");
}

TEST(ContextCommand, PipelinedRequestsGoOutInOneWrite) {
    TransportCalls calls;
    PairedContext p = countedContext(&calls);
    ASSERT_NE(p.c, nullptr);
    vornContext *c = p.c.get();

    ASSERT_EQ(vornAppendCommand(c, "INCR a"), VORN_OK);
    ASSERT_EQ(vornAppendCommand(c, "INCR b"), VORN_OK);
    EXPECT_EQ(calls.writes, 0); // queued only
    sendAll(p.peer.get(), ":1\r\n:2\r\n");

    void *first = nullptr, *second = nullptr;
    ASSERT_EQ(vornGetReply(c, &first), VORN_OK);
    ReplyPtr r1(static_cast<vornReply *>(first));
    EXPECT_EQ(hi_sdslen(c->obuf), 0u);
    EXPECT_EQ(recvPending(p.peer.get()), "*2\r\n$4\r\nINCR\r\n$1\r\na\r\n"
                                         "*2\r\n$4\r\nINCR\r\n$1\r\nb\r\n");
    ASSERT_EQ(vornGetReply(c, &second), VORN_OK);
    ReplyPtr r2(static_cast<vornReply *>(second));
    ASSERT_NE(r1, nullptr);
    ASSERT_NE(r2, nullptr);
    EXPECT_EQ(r1->integer, 1);
    EXPECT_EQ(r2->integer, 2);
    EXPECT_EQ(calls.writes, 1);
    EXPECT_EQ(calls.reads, 1); // both replies came in one piece

    // No reply pointer: the next reply is consumed and released.
    sendAll(p.peer.get(), "$3\r\nabc\r\n+after\r\n");
    ASSERT_EQ(vornGetReply(c, nullptr), VORN_OK);
    ReplyPtr r3 = command(c, "X");
    ASSERT_NE(r3, nullptr);
    EXPECT_STREQ(r3->str, "after");
}

namespace {
struct PushLog {
    int calls = 0;
    std::string first;
};
void recordPush(void *privdata, void *reply) {
    auto *log = static_cast<PushLog *>(privdata);
    auto *r = static_cast<vornReply *>(reply);
    if (log->calls++ == 0 && r->elements > 0 && r->element[0]->str) log->first = r->element[0]->str;
    freeReplyObject(reply);
}
} // namespace

TEST(ContextCommand, PushMessagesWhileWaiting) {
    struct Case {
        const char *name;
        int options;
        bool callback;
        bool push_returned;
    } cases[] = {
        {"default releases it", 0, false, false},
        {"callback receives it", 0, true, false},
        {"no callback returns it", VORN_OPT_NO_PUSH_AUTOFREE, false, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        PushLog log;
        PairedContext p = pairedContext(k.options, k.callback ? recordPush : nullptr, &log);
        ASSERT_NE(p.c, nullptr);
        vornContext *c = p.c.get();
        EXPECT_EQ(c->push_cb, k.callback       ? &recordPush
                              : k.options == 0 ? &vornPushAutoFree
                                               : nullptr);

        sendAll(p.peer.get(), ">2\r\n+invalidate\r\n:1\r\n+OK\r\n");
        ReplyPtr r = command(c, "GET k");
        ASSERT_NE(r, nullptr) << c->errstr;
        EXPECT_EQ(log.calls, k.callback ? 1 : 0);
        if (k.callback) {
            EXPECT_EQ(log.first, "invalidate");
        }
        if (k.push_returned) {
            ASSERT_EQ(r->type, VORN_REPLY_PUSH);
            ASSERT_EQ(r->elements, 2u);
            EXPECT_STREQ(r->element[0]->str, "invalidate");
            void *next = nullptr;
            ASSERT_EQ(vornGetReply(c, &next), VORN_OK);
            r.reset(static_cast<vornReply *>(next));
            ASSERT_NE(r, nullptr);
        }
        EXPECT_EQ(r->type, VORN_REPLY_STATUS);
        EXPECT_STREQ(r->str, "OK");
    }
}

TEST(ContextCommand, PushCallbackSwapAndAPushAlreadyBuffered) {
    PushLog log;
    PairedContext p = pairedContext(0, nullptr, &log);
    ASSERT_NE(p.c, nullptr);
    vornContext *c = p.c.get();
    EXPECT_EQ(vornSetPushCallback(c, recordPush), &vornPushAutoFree);

    // The push arrives behind the reply, in the same piece: it is complete in
    // the reader before the next vornGetReply, which hands it out as is.
    sendAll(p.peer.get(), "+OK\r\n>1\r\n+late\r\n");
    ReplyPtr r = command(c, "PING");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, VORN_REPLY_STATUS);
    void *next = nullptr;
    ASSERT_EQ(vornGetReply(c, &next), VORN_OK);
    r.reset(static_cast<vornReply *>(next));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, VORN_REPLY_PUSH);
    EXPECT_EQ(log.calls, 0);

    EXPECT_EQ(vornSetPushCallback(c, nullptr), &recordPush);
    sendAll(p.peer.get(), ">1\r\n+now\r\n+OK\r\n");
    r = command(c, "PING");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, VORN_REPLY_PUSH); // no callback: returned
    EXPECT_EQ(log.calls, 0);
}

TEST(ContextCommand, ErrorsStickToTheContext) {
    TransportCalls calls;
    PairedContext p = countedContext(&calls);
    ASSERT_NE(p.c, nullptr);
    vornContext *c = p.c.get();
    shutdown(p.peer.get(), SHUT_WR);
    EXPECT_EQ(command(c, "PING"), nullptr);
    ASSERT_EQ(c->err, VORN_ERR_EOF);

    calls = {};
    EXPECT_EQ(command(c, "ECHO again"), nullptr);
    EXPECT_EQ(calls.reads + calls.writes, 0) << "a failed context touched its socket";
    EXPECT_EQ(obufOf(c), "*2\r\n$4\r\nECHO\r\n$5\r\nagain\r\n");
    EXPECT_EQ(vornBufferRead(c), VORN_ERR);
    int done = -1;
    EXPECT_EQ(vornBufferWrite(c, &done), VORN_ERR);
    EXPECT_EQ(calls.reads + calls.writes, 0);
    EXPECT_EQ(c->err, VORN_ERR_EOF);
    EXPECT_STREQ(c->errstr, "Server closed the connection");
}

TEST(ContextCommand, NonBlockingReadAndWriteSteps) {
    PairedContext p = pairedContext();
    ASSERT_NE(p.c, nullptr);
    vornContext *c = p.c.get();
    c->flags &= ~VORN_BLOCK;
    ASSERT_EQ(fcntl(c->fd, F_SETFL, fcntl(c->fd, F_GETFL) | O_NONBLOCK), 0);

    // Nothing to read: success, nothing fed.
    EXPECT_EQ(vornBufferRead(c), VORN_OK);
    void *reply = reinterpret_cast<void *>(1);
    EXPECT_EQ(vornGetReply(c, &reply), VORN_OK);
    EXPECT_EQ(reply, nullptr);

    // vornCommand only queues.
    EXPECT_EQ(vornCommand(c, "PING"), nullptr);
    EXPECT_EQ(c->err, 0);
    EXPECT_EQ(obufOf(c), "*1\r\n$4\r\nPING\r\n");

    // Write until the socket buffer is full: partial writes keep the unsent
    // tail, and a write that cannot send fails without recording an error.
    std::string big(4 << 20, 'v');
    const char *argv[] = {"SET", "k", big.data()};
    const size_t lens[] = {3, 1, big.size()};
    ASSERT_EQ(vornAppendCommandArgv(c, 3, argv, lens), VORN_OK);
    const std::string expected = obufOf(c);
    int done = 0, steps = 0, rv = VORN_OK;
    while ((rv = vornBufferWrite(c, &done)) == VORN_OK && !done && steps < 1000)
        steps++;
    ASSERT_EQ(rv, VORN_ERR);
    EXPECT_EQ(c->err, 0);
    EXPECT_STREQ(c->errstr, "");
    EXPECT_GT(hi_sdslen(c->obuf), 0u);

    // Drain on the far side and finish writing; the bytes arrive intact.
    std::string received;
    for (int i = 0; i < 10000 && !done; i++) {
        received += recvPending(p.peer.get());
        rv = vornBufferWrite(c, &done);
        ASSERT_TRUE(rv == VORN_OK || c->err == 0) << c->errstr;
    }
    ASSERT_TRUE(done);
    received += recvUpTo(p.peer.get(), expected.size() - received.size());
    EXPECT_TRUE(received == expected)
        << "received " << received.size() << " of " << expected.size() << " bytes";
}

TEST(ContextCommand, InterruptedBlockingWriteIsRetried) {
    PairedContext p = pairedContext();
    ASSERT_NE(p.c, nullptr);
    vornContext *c = p.c.get();
    // Fill the socket so that the next send blocks before writing anything.
    const int fl = fcntl(c->fd, F_GETFL);
    ASSERT_EQ(fcntl(c->fd, F_SETFL, fl | O_NONBLOCK), 0);
    size_t filled = 0;
    char junk[4096] = {};
    for (ssize_t n; (n = send(c->fd, junk, sizeof(junk), 0)) > 0;)
        filled += static_cast<size_t>(n);
    ASSERT_EQ(fcntl(c->fd, F_SETFL, fl), 0);

    // A signal handler installed without SA_RESTART interrupts that send.
    struct sigaction sa = {}, old = {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    sigset_t alrm;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alrm, nullptr); // the drain thread never takes it
    std::string got;
    std::thread drain([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        got = recvUpTo(p.peer.get(), filled + 14);
        sendAll(p.peer.get(), "+OK\r\n");
    });
    pthread_sigmask(SIG_UNBLOCK, &alrm, nullptr);
    struct itimerval it = {{0, 0}, {0, 100000}};
    setitimer(ITIMER_REAL, &it, nullptr);
    ReplyPtr r = command(c, "PING");
    drain.join();
    sigaction(SIGALRM, &old, nullptr);

    ASSERT_NE(r, nullptr) << "err " << c->err << " '" << c->errstr << "'";
    EXPECT_STREQ(r->str, "OK");
    ASSERT_EQ(got.size(), filled + 14);
    EXPECT_EQ(got.substr(filled), "*1\r\n$4\r\nPING\r\n");
}

// ---- the plain transport read ----

TEST(ContextTransport, ReadResultsAndTheirErrors) {
    struct Case {
        const char *name;
        bool blocking;
        ssize_t nread;
        int errnum;
        ssize_t result;
        int err;
        const char *errstr;
    } cases[] = {
        {"bytes", true, 5, 0, 5, 0, ""},
        {"end of file", true, 0, 0, -1, VORN_ERR_EOF, "Server closed the connection"},
        {"would block, non-blocking", false, -1, EAGAIN, 0, 0, ""},
        {"interrupted", true, -1, EINTR, 0, 0, ""},
        {"timed out, blocking", true, -1, ETIMEDOUT, -1, VORN_ERR_TIMEOUT, "recv timeout"},
        {"timed out, non-blocking", false, -1, ETIMEDOUT, -1, VORN_ERR_IO, "Connection timed out"},
        {"receive timeout expired", true, -1, EAGAIN, -1, VORN_ERR_IO,
         "Resource temporarily unavailable"},
        {"reset", true, -1, ECONNRESET, -1, VORN_ERR_IO, "Connection reset by peer"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        PairedContext p = pairedContext(k.blocking ? 0 : VORN_OPT_NONBLOCK);
        ASSERT_NE(p.c, nullptr);
        errno = k.errnum;
        EXPECT_EQ(vornNetReadResult(p.c.get(), k.nread), k.result);
        EXPECT_EQ(p.c->err, k.err);
        EXPECT_STREQ(p.c->errstr, k.errstr);
    }
}

TEST(ContextTransport, TimedOutReceiveFailsTheRequest) {
    // Linux reports an expired receive timeout as EAGAIN; a transport that
    // sees ETIMEDOUT stands in for a platform that does.
    static const vornContextFuncs timing_out = {nullptr, nullptr, nullptr,
                                                [](vornContext *c, char *, size_t) -> ssize_t {
                                                    errno = ETIMEDOUT;
                                                    return vornNetReadResult(c, -1);
                                                },
                                                vornNetWrite};
    PairedContext p = pairedContext();
    ASSERT_NE(p.c, nullptr);
    p.c->funcs = &timing_out;
    EXPECT_EQ(command(p.c.get(), "PING"), nullptr);
    EXPECT_EQ(p.c->err, VORN_ERR_TIMEOUT);
    EXPECT_STREQ(p.c->errstr, "recv timeout");
    EXPECT_EQ(recvPending(p.peer.get()), "*1\r\n$4\r\nPING\r\n");
}

// ---- large payloads received straight into their string ----

namespace {

// The largest room the context offered its transport.
size_t largestRead = 0;
ssize_t measuringRead(vornContext *c, char *buf, size_t cap) {
    largestRead = std::max(largestRead, cap);
    return vornNetRead(c, buf, cap);
}
const vornContextFuncs kMeasuringFuncs = {nullptr, nullptr, nullptr, measuringRead, vornNetWrite};

// Sends the wire cut at the given offsets, pausing between pieces so that
// each tends to arrive in a read of its own; optionally closes after `upto`.
std::thread sendPieces(int fd, std::string wire, std::vector<size_t> cuts,
                       size_t upto = std::string::npos) {
    return std::thread([fd, wire = std::move(wire), cuts = std::move(cuts), upto]() mutable {
        size_t end = std::min(upto, wire.size()), off = 0;
        cuts.push_back(end);
        for (size_t cut : cuts) {
            cut = std::min(cut, end);
            if (cut <= off) continue;
            sendAll(fd, std::string_view(wire).substr(off, cut - off));
            off = cut;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        if (upto != std::string::npos) shutdown(fd, SHUT_WR);
    });
}

std::string bulkWire(size_t n) {
    std::string payload(n, 'd');
    for (size_t i = 0; i < n; i += 4099)
        payload[i] = static_cast<char>('a' + i % 23);
    return "$" + std::to_string(n) + "\r\n" + payload + "\r\n";
}

} // namespace

// Splits at every boundary around the switch-over, over a Unix socket pair
// and TCP: the same string, taken through reads far larger than a piece.
TEST(ContextDirect, SplitsAroundTheSwitchOver) {
    const size_t n = 1u << 20;
    const std::string wire = bulkWire(n) + ":1\r\n";
    const size_t h = wire.find("\r\n") + 2; // header length
    const std::vector<std::vector<size_t>> splits = {
        {},
        {1},
        {h - 1},
        {h},
        {h + 1},
        {h, h + 1},
        {h + 100, h + 70000},
        {h + n - 1},
        {h + n},
        {h + n + 1},
        {h + n + 2},
        {1, h, h + n, h + n + 1},
    };
    int port = 0;
    Fd listener = bindLoopback("127.0.0.1", &port);
    ASSERT_TRUE(listener.valid());
    for (bool tcp : {false, true}) {
        for (const auto &cuts : splits) {
            std::string trace = tcp ? "tcp" : "unix";
            for (size_t c : cuts)
                trace += " " + std::to_string(c);
            SCOPED_TRACE(trace);
            ContextPtr c;
            Fd server;
            if (tcp) {
                c.reset(vornConnect("127.0.0.1", port));
                server = acceptPeer(listener.get());
            } else {
                PairedContext pc = pairedContext();
                c = std::move(pc.c);
                server = std::move(pc.peer);
            }
            ASSERT_TRUE(c && c->err == 0 && server.valid());
            c->funcs = &kMeasuringFuncs;
            largestRead = 0;
            std::thread t = sendPieces(server.get(), wire, cuts);
            ReplyPtr r = command(c.get(), "GET k");
            ReplyPtr next = command(c.get(), "PING");
            t.join();
            ASSERT_NE(r, nullptr) << c->errstr;
            EXPECT_EQ(r->type, VORN_REPLY_STRING);
            ASSERT_EQ(r->len, n);
            EXPECT_EQ(std::string(r->str, r->len), wire.substr(h, n));
            EXPECT_EQ(r->str[n], '\0');
            ASSERT_NE(next, nullptr) << c->errstr;
            EXPECT_EQ(next->integer, 1);
            EXPECT_GT(largestRead, 16384u);
        }
    }
}

// The threshold itself takes the direct path; one byte less stays on reads of
// 16 KiB through the receive buffer.
TEST(ContextDirect, ExactlyTheThreshold) {
    for (size_t n : {size_t(VORN_READER_DIRECT_MIN) - 1, size_t(VORN_READER_DIRECT_MIN)}) {
        PairedContext p = pairedContext();
        ASSERT_NE(p.c, nullptr);
        p.c->funcs = &kMeasuringFuncs;
        largestRead = 0;
        std::string wire = bulkWire(n);
        std::thread t = sendPieces(p.peer.get(), wire, {100});
        ReplyPtr r = command(p.c.get(), "GET k");
        t.join();
        ASSERT_NE(r, nullptr) << p.c->errstr;
        ASSERT_EQ(r->len, n);
        EXPECT_EQ(std::string(r->str, n), wire.substr(wire.size() - n - 2, n));
        if (n >= VORN_READER_DIRECT_MIN)
            EXPECT_GT(largestRead, 16384u);
        else
            EXPECT_EQ(largestRead, 16384u);
    }
}

// The peer going away in the middle of a large payload, or after it but
// before its CR LF, is the end-of-file error; the context then refuses work.
TEST(ContextDirect, ConnectionClosedMidPayload) {
    const size_t n = 1u << 20;
    const std::string wire = bulkWire(n);
    const size_t h = wire.find("\r\n") + 2;
    for (size_t upto : {h + 1000, h + n / 2, h + n, h + n + 1}) {
        SCOPED_TRACE("closed after " + std::to_string(upto));
        PairedContext p = pairedContext();
        ASSERT_NE(p.c, nullptr);
        std::thread t = sendPieces(p.peer.get(), wire, {h + 10}, upto);
        EXPECT_EQ(command(p.c.get(), "GET k"), nullptr);
        t.join();
        EXPECT_EQ(p.c->err, VORN_ERR_EOF);
        EXPECT_STREQ(p.c->errstr, "Server closed the connection");
        EXPECT_EQ(vornBufferRead(p.c.get()), VORN_ERR);
    }
}

// ---- allocation failures ----

namespace {

// Swaps the library's allocator table so that exactly the n-th allocation
// from now on fails; restores it when it goes out of scope.
class FailNthAllocation {
  public:
    explicit FailNthAllocation(long n) : saved_(hivornAllocFns) {
        countdown_ = n;
        hivornAllocFns.mallocFn = [](size_t size) { return due() ? nullptr : malloc(size); };
        hivornAllocFns.callocFn = [](size_t n, size_t size) {
            return due() ? nullptr : calloc(n, size);
        };
        hivornAllocFns.reallocFn = [](void *p, size_t size) {
            return due() ? nullptr : realloc(p, size);
        };
        hivornAllocFns.strdupFn = [](const char *s) { return due() ? nullptr : strdup(s); };
        hivornAllocFns.freeFn = free;
    }
    ~FailNthAllocation() { hivornAllocFns = saved_; }
    FailNthAllocation(const FailNthAllocation &) = delete;
    FailNthAllocation &operator=(const FailNthAllocation &) = delete;
    static bool tripped() { return countdown_ <= 0; }

  private:
    static bool due() { return --countdown_ == 0; }
    static inline long countdown_ = 0;
    hivornAllocFuncs saved_;
};

} // namespace

TEST(ContextAllocation, ConnectUnderFailingAllocations) {
    int port = 0;
    Fd listener = bindLoopback("127.0.0.1", &port, true, 128);
    ASSERT_TRUE(listener.valid());
    bool returned_context = false;
    long n = 1;
    for (; n < 200; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        struct timeval tv = {5, 0};
        vornOptions o = {};
        VORN_OPTIONS_SET_TCP(&o, "127.0.0.1", port);
        o.connect_timeout = &tv;
        o.command_timeout = &tv;
        ContextPtr c;
        bool tripped = false;
        {
            FailNthAllocation fail(n);
            c.reset(vornConnectWithOptions(&o));
            tripped = FailNthAllocation::tripped();
        }
        Fd server; // take the connection, if one was made
        if (waitReadable(listener.get(), 0)) server = acceptPeer(listener.get());
        if (!tripped) {
            ASSERT_NE(c, nullptr);
            EXPECT_EQ(c->err, 0) << c->errstr;
            break;
        }
        if (c == nullptr) {
            // Only the context itself, its output buffer and its reader may
            // make a connect function give up entirely.
            EXPECT_FALSE(returned_context) << "null after a context was already returned";
            continue;
        }
        returned_context = true;
        EXPECT_EQ(c->err, VORN_ERR_OOM);
        EXPECT_STREQ(c->errstr, "Out of memory");
    }
    EXPECT_TRUE(returned_context);
    EXPECT_LT(n, 200);
}

TEST(ContextAllocation, CommandUnderFailingAllocations) {
    long n = 1;
    for (; n < 200; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        PairedContext p = pairedContext();
        ASSERT_NE(p.c, nullptr);
        // The second reply is large and sent in two parts, so that it
        // switches to the direct path.
        std::string big = bulkWire(VORN_READER_DIRECT_MIN + 5);
        sendAll(p.peer.get(), "*2\r\n$1\r\na\r\n:5\r\n" + big.substr(0, 1000));
        std::thread rest = sendPieces(p.peer.get(), big.substr(1000), {});
        ReplyPtr r;
        bool tripped = false;
        {
            FailNthAllocation fail(n);
            const char *argv[] = {"MGET", "k"};
            if (vornAppendCommandArgv(p.c.get(), 2, argv, nullptr) == VORN_OK) {
                r.reset(static_cast<vornReply *>(vornCommand(p.c.get(), "GET %s", "k")));
                if (r != nullptr) {
                    ReplyPtr second(static_cast<vornReply *>(vornCommand(p.c.get(), "GET b")));
                    if (second == nullptr) r.reset();
                }
            }
            tripped = FailNthAllocation::tripped();
        }
        // A sender stuck on a full socket gives up once this end is gone.
        if (tripped) shutdown(p.c->fd, SHUT_RDWR);
        rest.join();
        if (!tripped) {
            ASSERT_EQ(p.c->err, 0) << p.c->errstr;
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->type, VORN_REPLY_ARRAY);
            break;
        }
        EXPECT_EQ(r, nullptr);
        EXPECT_EQ(p.c->err, VORN_ERR_OOM);
        EXPECT_STREQ(p.c->errstr, "Out of memory");
    }
    EXPECT_GT(n, 1);
    EXPECT_LT(n, 200);
}
