// The TLS transport against a TLS peer running in a thread of the test, with a
// certificate made at test time by the openssl command.

#include <chrono>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <malloc.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "hivorn/alloc.h"
#include "hivorn/hivorn.h"
#include "hivorn/ssl.h"
#include "loopback_peer.h"

using namespace peer;

namespace {

struct SslCtxDeleter {
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

// Reads exactly n bytes over TLS (less when the connection ends first).
std::string sslReadUpTo(SSL *ssl, size_t n) {
    std::string out;
    char buf[65536];
    while (out.size() < n) {
        int got = SSL_read(ssl, buf, static_cast<int>(std::min(sizeof(buf), n - out.size())));
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

void sslWriteAll(SSL *ssl, const std::string &bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        int n = SSL_write(ssl, bytes.data() + off, static_cast<int>(bytes.size() - off));
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

// Accepts one connection on a loopback listener in a thread, performs the
// server side of the handshake and runs the given script on it.
class TlsPeer {
  public:
    using Script = std::function<void(SSL *)>;
    TlsPeer(SSL_CTX *ctx, Script script) {
        listener_ = bindLoopback("127.0.0.1", &port_);
        thread_ = std::thread([this, ctx, script = std::move(script)] {
            Fd conn = acceptPeer(listener_.get());
            if (!conn.valid()) return;
            struct timeval tv = {10, 0}; // never hang the test
            setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            setsockopt(conn.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
            SSL *ssl = SSL_new(ctx);
            SSL_set_fd(ssl, conn.get());
            if (SSL_accept(ssl) == 1) {
                handshaken_ = true;
                script(ssl);
            }
            SSL_free(ssl);
            ERR_clear_error();
        });
    }
    ~TlsPeer() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }
    bool handshaken() const { return handshaken_; }

  private:
    Fd listener_;
    int port_ = 0;
    std::atomic<bool> handshaken_{false};
    std::thread thread_;
};

class SslTransport : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/vornssl.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::string cmd = "timeout 60 openssl req -x509 -newkey ec -pkeyopt "
                          "ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost "
                          "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
                          dir_ + "/key.pem' -out '" + dir_ +
                          "/cert.pem' </dev/null >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << "openssl could not make a certificate";
    }
    static void TearDownTestSuite() {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    void SetUp() override {
        server_ctx_.reset(SSL_CTX_new(TLS_server_method()));
        ASSERT_EQ(SSL_CTX_use_certificate_file(server_ctx_.get(), (dir_ + "/cert.pem").c_str(),
                                               SSL_FILETYPE_PEM),
                  1);
        ASSERT_EQ(SSL_CTX_use_PrivateKey_file(server_ctx_.get(), (dir_ + "/key.pem").c_str(),
                                              SSL_FILETYPE_PEM),
                  1);
        client_ctx_.reset(SSL_CTX_new(TLS_client_method()));
        ASSERT_EQ(
            SSL_CTX_load_verify_locations(client_ctx_.get(), (dir_ + "/cert.pem").c_str(), nullptr),
            1);
        SSL_CTX_set_verify(client_ctx_.get(), SSL_VERIFY_PEER, nullptr);
    }

    // A fresh client object, as the client core makes one per connection.
    SSL *newClientSsl() {
        SSL *ssl = SSL_new(client_ctx_.get());
        SSL_set_tlsext_host_name(ssl, "localhost");
        return ssl;
    }

    // A plain blocking connection, bounded by a command timeout so that a
    // misbehaving peer cannot hang the test.
    ContextPtr connectPlain(int port) {
        ContextPtr c = connectWithCommandTimeout(port, {10, 0});
        EXPECT_NE(c, nullptr);
        if (c) {
            EXPECT_EQ(c->err, 0) << c->errstr;
        }
        return c;
    }

    static std::string dir_;
    SslCtxPtr server_ctx_;
    SslCtxPtr client_ctx_;
};

std::string SslTransport::dir_;

} // namespace

TEST_F(SslTransport, CommandsRunUnchangedOverTls) {
    const std::string big(100000, 'b'); // larger than one read step
    std::string request;
    TlsPeer peer(server_ctx_.get(), [&](SSL *ssl) {
        request = sslReadUpTo(ssl, 14);
        sslWriteAll(ssl, "+PONG\r\n");
        request += sslReadUpTo(ssl, 22);
        sslWriteAll(ssl, "$100000\r\n" + big + "\r\n");
        sslReadUpTo(ssl, 1); // until the client goes away
    });
    ContextPtr c = connectPlain(peer.port());
    ASSERT_NE(c, nullptr);
    SSL *ssl = newClientSsl();
    ASSERT_EQ(vornInitiateSSL(c.get(), ssl), VORN_OK) << c->errstr;
    EXPECT_EQ(c->funcs, &vornContextSSLFuncs);
    ASSERT_NE(c->privctx, nullptr);
    EXPECT_EQ(static_cast<vornSSL *>(c->privctx)->ssl, ssl);

    ReplyPtr r = command(c.get(), "PING");
    ASSERT_NE(r, nullptr) << c->errstr;
    EXPECT_STREQ(r->str, "PONG");
    r = command(c.get(), "GET big");
    ASSERT_NE(r, nullptr) << c->errstr;
    ASSERT_EQ(r->type, VORN_REPLY_STRING);
    EXPECT_TRUE(std::string(r->str, r->len) == big);
    c.reset(); // releases the SSL object with the context
    peer.join();
    EXPECT_EQ(request, "*1\r\n$4\r\nPING\r\n*2\r\n$3\r\nGET\r\n$3\r\nbig\r\n");
}

TEST_F(SslTransport, SecondHandshakeIsRefused) {
    TlsPeer peer(server_ctx_.get(), [](SSL *ssl) { sslReadUpTo(ssl, 1); });
    ContextPtr c = connectPlain(peer.port());
    ASSERT_NE(c, nullptr);
    SSL *first = newClientSsl();
    ASSERT_EQ(vornInitiateSSL(c.get(), first), VORN_OK) << c->errstr;
    void *state = c->privctx;

    SSL *second = newClientSsl();
    EXPECT_EQ(vornInitiateSSL(c.get(), second), VORN_ERR);
    EXPECT_EQ(c->err, VORN_ERR_OTHER);
    EXPECT_STREQ(c->errstr, "vornContext was already associated");
    // The first TLS state stays in place and is released with the context.
    EXPECT_EQ(c->privctx, state);
    EXPECT_EQ(static_cast<vornSSL *>(c->privctx)->ssl, first);
    SSL_free(second);
}

TEST_F(SslTransport, PlainPeerFailsTheHandshake) {
    struct Case {
        const char *name;
        const char *peer_says; // then closes
    } cases[] = {
        {"peer answers in plain text", "-ERR unknown command\r\n"},
        {"peer closes at once", ""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        int port = 0;
        Fd listener = bindLoopback("127.0.0.1", &port);
        ASSERT_TRUE(listener.valid());
        ContextPtr c = connectPlain(port);
        ASSERT_NE(c, nullptr);
        Fd server = acceptPeer(listener.get());
        ASSERT_TRUE(server.valid());
        sendAll(server.get(), k.peer_says);
        server.reset();

        SSL *ssl = newClientSsl();
        EXPECT_EQ(vornInitiateSSL(c.get(), ssl), VORN_ERR);
        EXPECT_EQ(c->err, VORN_ERR_IO);
        const std::string errstr = c->errstr;
        EXPECT_EQ(errstr.rfind("SSL_connect failed: ", 0), 0u) << errstr;
        EXPECT_GT(errstr.size(), 20u) << "no reason after the prefix";
        EXPECT_EQ(c->privctx, nullptr);
        // In error, the context transfers nothing more (it has no TLS state
        // to transfer with).
        EXPECT_EQ(command(c.get(), "PING"), nullptr);
        EXPECT_EQ(errstr, c->errstr);
        // The failed context never touched the caller's object after failing:
        // releasing both is safe, in either order.
        c.reset();
        SSL_free(ssl);
        ERR_clear_error();
    }
}

TEST_F(SslTransport, HandshakeFailureKeepsAnEarlierError) {
    int port = 0;
    Fd listener = bindLoopback("127.0.0.1", &port);
    ContextPtr c = connectPlain(port);
    ASSERT_NE(c, nullptr);
    Fd server = acceptPeer(listener.get());
    server.reset();
    __vornSetError(c.get(), VORN_ERR_PROTOCOL, "earlier failure");
    SSL *ssl = newClientSsl();
    EXPECT_EQ(vornInitiateSSL(c.get(), ssl), VORN_ERR);
    EXPECT_EQ(c->err, VORN_ERR_PROTOCOL);
    EXPECT_STREQ(c->errstr, "earlier failure");
    SSL_free(ssl);
    ERR_clear_error();
}

TEST_F(SslTransport, PeerClosingWhileAReplyIsAwaited) {
    for (bool notify : {true, false}) {
        SCOPED_TRACE(notify ? "with close notification" : "socket just closed");
        TlsPeer peer(server_ctx_.get(), [notify](SSL *ssl) {
            sslReadUpTo(ssl, 14);
            if (notify) SSL_shutdown(ssl);
        });
        ContextPtr c = connectPlain(peer.port());
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(vornInitiateSSL(c.get(), newClientSsl()), VORN_OK) << c->errstr;
        EXPECT_EQ(command(c.get(), "PING"), nullptr);
        EXPECT_EQ(c->err, VORN_ERR_EOF);
        EXPECT_STREQ(c->errstr, "Server closed the connection");
        ERR_clear_error();
    }
}

TEST_F(SslTransport, WritingToAPeerThatWentAwayIsAnErrorNotASignal) {
    // In a child with the default SIGPIPE action, which would end it: the
    // peer handshakes, reads a little and closes while a large request is
    // still being written.
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_DFL);
            TlsPeer peer(server_ctx_.get(), [](SSL *ssl) {
                sslReadUpTo(ssl, 1024);
                shutdown(SSL_get_fd(ssl), SHUT_RDWR);
            });
            ContextPtr c = connectPlain(peer.port());
            if (c == nullptr || vornInitiateSSL(c.get(), newClientSsl()) != VORN_OK) _exit(2);
            const std::string big(16 << 20, 'v');
            void *reply = vornCommand(c.get(), "SET k %b", big.data(), big.size());
            bool ok = reply == nullptr && c->err == VORN_ERR_IO;
            c.reset();
            peer.join();
            _exit(ok ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(SslTransport, HandshakeWithASilentPeerTimesOut) {
    // Accepted but never answered: the command timeout bounds the handshake.
    int port = 0;
    Fd listener = bindLoopback("127.0.0.1", &port);
    ASSERT_TRUE(listener.valid());
    ContextPtr c = connectWithCommandTimeout(port, {0, 300000});
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->err, 0) << c->errstr;
    Fd server = acceptPeer(listener.get());
    SSL *ssl = newClientSsl();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(vornInitiateSSL(c.get(), ssl), VORN_ERR);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(c->err, VORN_ERR_TIMEOUT);
    EXPECT_STREQ(c->errstr, "SSL_connect failed: Connection timed out");
    EXPECT_GE(took, 0.2);
    EXPECT_LT(took, 10.0);
    SSL_free(ssl);
    ERR_clear_error();
}

// A large payload takes the direct path through TLS reads as well: split
// around the switch-over, then closed in its middle.
TEST_F(SslTransport, LargePayloadStraightIntoItsString) {
    const size_t n = 3u << 20;
    std::string payload(n, 't');
    for (size_t i = 0; i < n; i += 7919)
        payload[i] = static_cast<char>('A' + i % 26);
    const std::string wire = "$" + std::to_string(n) + "\r\n" + payload + "\r\n";
    for (size_t upto : {wire.size(), wire.size() / 2}) {
        SCOPED_TRACE("sent " + std::to_string(upto) + " of " + std::to_string(wire.size()));
        TlsPeer peer(server_ctx_.get(), [&](SSL *ssl) {
            sslReadUpTo(ssl, 22);
            sslWriteAll(ssl, wire.substr(0, 5)); // the header alone
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            sslWriteAll(ssl, wire.substr(5, 20000)); // the switch-over
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            sslWriteAll(ssl, wire.substr(20005, upto - 20005));
            if (upto == wire.size()) sslReadUpTo(ssl, 1); // until the client goes away
        });
        ContextPtr c = connectPlain(peer.port());
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(vornInitiateSSL(c.get(), newClientSsl()), VORN_OK) << c->errstr;
        ReplyPtr r = command(c.get(), "GET big");
        if (upto == wire.size()) {
            ASSERT_NE(r, nullptr) << c->errstr;
            ASSERT_EQ(r->len, n);
            EXPECT_TRUE(std::string(r->str, r->len) == payload);
        } else {
            EXPECT_EQ(r, nullptr);
            EXPECT_EQ(c->err, VORN_ERR_EOF);
            EXPECT_STREQ(c->errstr, "Server closed the connection");
        }
        c.reset();
        peer.join();
        ERR_clear_error();
    }
}

TEST_F(SslTransport, GarbageAfterTheHandshakeIsAnErrorWithAReason) {
    TlsPeer peer(server_ctx_.get(), [](SSL *ssl) {
        sslReadUpTo(ssl, 14);
        // Plain bytes under the TLS layer: not a valid record.
        sendAll(SSL_get_fd(ssl), std::string(64, 'z'));
        sslReadUpTo(ssl, 1);
    });
    ContextPtr c = connectWithCommandTimeout(peer.port(), {10, 0});
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(vornInitiateSSL(c.get(), newClientSsl()), VORN_OK) << c->errstr;
    errno = EINTR; // a stale value must neither be reported nor retried on
    EXPECT_EQ(command(c.get(), "PING"), nullptr);
    EXPECT_EQ(c->err, VORN_ERR_IO);
    EXPECT_STRNE(c->errstr, "");
    EXPECT_STRNE(c->errstr, "Success");
    EXPECT_STRNE(c->errstr, "Interrupted system call");
    c.reset();
    ERR_clear_error();
}

TEST_F(SslTransport, NonBlockingWriteRetriesWithTheSameLength) {
    std::atomic<bool> drain{false};
    std::string first(8 << 20, 'a');
    std::string second(3 << 20, 'b');
    const char *argv1[] = {"SET", "k1", first.data()};
    const size_t lens1[] = {3, 2, first.size()};
    const char *argv2[] = {"SET", "k2", second.data()};
    const size_t lens2[] = {3, 2, second.size()};
    std::string expected_total;
    std::string received;
    TlsPeer peer(server_ctx_.get(), [&](SSL *ssl) {
        while (!drain)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        received = sslReadUpTo(ssl, expected_total.size());
    });
    ContextPtr c = connectPlain(peer.port());
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(vornInitiateSSL(c.get(), newClientSsl()), VORN_OK) << c->errstr;
    auto *rssl = static_cast<vornSSL *>(c->privctx);
    c->flags &= ~VORN_BLOCK;
    ASSERT_EQ(fcntl(c->fd, F_SETFL, fcntl(c->fd, F_GETFL) | O_NONBLOCK), 0);

    ASSERT_EQ(vornAppendCommandArgv(c.get(), 3, argv1, lens1), VORN_OK);
    const size_t first_len = hi_sdslen(c->obuf);
    expected_total.assign(c->obuf, first_len);
    // The peer does not read: OpenSSL cannot finish and asks for a retry,
    // which is no error.
    int done = 0;
    ASSERT_EQ(vornBufferWrite(c.get(), &done), VORN_OK) << c->errstr;
    ASSERT_FALSE(done);
    EXPECT_EQ(rssl->lastLen, first_len);
    EXPECT_EQ(rssl->pendingWrite, 1);
    EXPECT_EQ(hi_sdslen(c->obuf), first_len); // nothing acknowledged yet

    // More requests while the retry is pending; the buffer grows and moves
    // (a reallocation that always moves makes sure of it), yet the retry
    // still covers only the first length.
    const char *before = c->obuf;
    hivornAllocFuncs saved = hivornAllocFns;
    // Built on the table in place, whose blocks the buffer already is: the
    // new block is taken while the old one still exists, so it lies elsewhere.
    static hivornAllocFuncs under;
    under = saved;
    hivornAllocFns.reallocFn = [](void *p, size_t size) -> void * {
        void *moved = under.mallocFn(size);
        void *same = moved != nullptr ? under.reallocFn(p, size) : nullptr;
        if (same == nullptr) {
            under.freeFn(moved);
            return nullptr;
        }
        memcpy(moved, same, size);
        under.freeFn(same);
        return moved;
    };
    int appended = vornAppendCommandArgv(c.get(), 3, argv2, lens2);
    hivornAllocFns = saved;
    ASSERT_EQ(appended, VORN_OK);
    ASSERT_NE(c->obuf, before);
    expected_total.assign(c->obuf, hi_sdslen(c->obuf));
    EXPECT_EQ(rssl->lastLen, first_len);

    drain = true;
    bool first_done = false;
    for (int i = 0; i < 20000 && !done; i++) {
        ASSERT_EQ(vornBufferWrite(c.get(), &done), VORN_OK) << c->errstr;
        if (!first_done && hi_sdslen(c->obuf) < expected_total.size()) {
            first_done = true;
            EXPECT_EQ(hi_sdslen(c->obuf), expected_total.size() - first_len)
                << "the retried write was not exactly the remembered length";
        }
        if (!done) {
            pollfd p = {c->fd, POLLOUT, 0};
            poll(&p, 1, 50);
        }
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(rssl->lastLen, 0u);
    peer.join();
    EXPECT_TRUE(received == expected_total)
        << "received " << received.size() << " of " << expected_total.size() << " bytes";
}

TEST_F(SslTransport, NoMemoryForTheTlsRecord) {
    int port = 0;
    Fd listener = bindLoopback("127.0.0.1", &port);
    ContextPtr c = connectPlain(port);
    ASSERT_NE(c, nullptr);
    hivornAllocFuncs saved = hivornAllocFns;
    hivornAllocFns.mallocFn = [](size_t) -> void * { return nullptr; };
    hivornAllocFns.callocFn = [](size_t, size_t) -> void * { return nullptr; };
    SSL *ssl = newClientSsl();
    int rv = vornInitiateSSL(c.get(), ssl);
    hivornAllocFns = saved;
    EXPECT_EQ(rv, VORN_ERR);
    EXPECT_EQ(c->err, VORN_ERR_OOM);
    EXPECT_STREQ(c->errstr, "Out of memory");
    EXPECT_EQ(c->privctx, nullptr);
    SSL_free(ssl); // still the caller's
}
