// Event loop and connections: listening sockets (TCP, TLS, Unix), one poll
// loop, non-blocking reads and writes, TLS handshakes, and the hand-over of
// complete requests to the command layer.
#include "server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <openssl/err.h>

namespace dev {

static volatile sig_atomic_t g_stop = 0;
static void onSignal(int) {
    g_stop = 1;
}
void requestShutdown() {
    srv.shutdown = true;
}

Client *findClient(uint64_t id) {
    auto it = srv.clients.find(id);
    return it == srv.clients.end() || it->second->closed ? nullptr : it->second.get();
}

void freeClient(Client &c) {
    if (c.closed) return;
    c.closed = true;
    unsubscribeAll(c);
    unwatchAll(c);
    for (auto it = srv.tracked.begin(); it != srv.tracked.end();) {
        it->second.erase(c.id);
        it = it->second.empty() ? srv.tracked.erase(it) : std::next(it);
    }
    if (c.conn.ssl) {
        SSL_free(c.conn.ssl);
        c.conn.ssl = nullptr;
    }
    if (c.conn.fd >= 0) close(c.conn.fd);
    c.conn.fd = -1;
}

static void setNonBlock(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

static std::string fmtAddr(const sockaddr_storage &ss) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (ss.ss_family == AF_INET) {
        auto *s = reinterpret_cast<const sockaddr_in *>(&ss);
        inet_ntop(AF_INET, &s->sin_addr, host, sizeof host);
        port = ntohs(s->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (ss.ss_family == AF_INET6) {
        auto *s = reinterpret_cast<const sockaddr_in6 *>(&ss);
        inet_ntop(AF_INET6, &s->sin6_addr, host, sizeof host);
        port = ntohs(s->sin6_port);
        std::string r = "[";
        r += host;
        r += "]:";
        r += std::to_string(port);
        return r;
    }
    return "?";
}

// Binds a TCP listener; port 0 picks a free port, written back to port.
int listenTcp(const std::string &addr, int &port) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    std::string ps = std::to_string(port);
    int rc = getaddrinfo(addr.c_str(), ps.c_str(), &hints, &res);
    if (rc != 0) {
        fprintf(stderr, "vorn-devserver: cannot resolve %s: %s\n", addr.c_str(), gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    for (addrinfo *ai = res; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, 511) == 0) break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) {
        fprintf(stderr, "vorn-devserver: cannot listen on %s:%d: %s\n", addr.c_str(), port,
                strerror(errno));
        return -1;
    }
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &sl);
    port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    setNonBlock(fd);
    return fd;
}

static int listenUnix(const std::string &path) {
    sockaddr_un sa{};
    if (path.size() >= sizeof sa.sun_path) {
        fprintf(stderr, "vorn-devserver: unix socket path too long\n");
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 511) != 0) {
        fprintf(stderr, "vorn-devserver: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    setNonBlock(fd);
    return fd;
}

static bool setupTls() {
    srv.ssl_ctx = SSL_CTX_new(TLS_server_method());
    if (!srv.ssl_ctx) return false;
    if (SSL_CTX_use_certificate_chain_file(srv.ssl_ctx, srv.tls_cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(srv.ssl_ctx, srv.tls_key.c_str(), SSL_FILETYPE_PEM) != 1) {
        fprintf(stderr, "vorn-devserver: cannot load TLS certificate or key\n");
        return false;
    }
    if (!srv.tls_ca.empty() &&
        SSL_CTX_load_verify_locations(srv.ssl_ctx, srv.tls_ca.c_str(), nullptr) != 1) {
        fprintf(stderr, "vorn-devserver: cannot load TLS CA certificate\n");
        return false;
    }
    // The output buffer may grow (and move) between a blocked write and its
    // retry.
    SSL_CTX_set_mode(srv.ssl_ctx,
                     SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    SSL_CTX_set_verify(srv.ssl_ctx,
                       srv.tls_verify ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT
                                      : SSL_VERIFY_NONE,
                       nullptr);
    return true;
}

Client &newClient(int fd, const std::string &addr, int node, int bus) {
    setNonBlock(fd);
    auto c = std::make_unique<Client>();
    c->id = srv.next_client_id++;
    c->conn.fd = fd;
    c->ctime = c->last_cmd_ms = nowMs();
    c->authed = !srv.requirePass();
    c->addr = addr;
    c->node = node;
    c->bus = bus;
    Client &r = *c;
    srv.clients.emplace(c->id, std::move(c));
    return r;
}

static void acceptClient(const Listener &l) {
    for (int n = 0; n < 64; n++) {
        sockaddr_storage ss{};
        socklen_t sl = sizeof ss;
        int fd = accept(l.fd, reinterpret_cast<sockaddr *>(&ss), &sl);
        if (fd < 0) return;
        Client &c = newClient(fd, l.unix_sock ? "/unixsocket:0" : fmtAddr(ss), l.node,
                              l.bus ? BUS_IN : BUS_NONE);
        c.conn.unix_sock = l.unix_sock;
        if (l.unix_sock) {
            c.laddr = srv.unix_path + ":0";
        } else {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            sockaddr_storage ls{};
            socklen_t ll = sizeof ls;
            getsockname(fd, reinterpret_cast<sockaddr *>(&ls), &ll);
            c.laddr = fmtAddr(ls);
        }
        if (l.tls) {
            c.conn.ssl = SSL_new(srv.ssl_ctx);
            SSL_set_fd(c.conn.ssl, fd);
            SSL_set_accept_state(c.conn.ssl);
            c.conn.handshake_done = false;
        }
        if (!l.bus) srv.total_connections++;
    }
}

static void tlsHandshake(Client &c) {
    ERR_clear_error();
    int rc = SSL_accept(c.conn.ssl);
    if (rc == 1) {
        c.conn.handshake_done = true;
        const char *sni = SSL_get_servername(c.conn.ssl, TLSEXT_NAMETYPE_host_name);
        c.sni = sni ? sni : "";
        srv.sni_names.push_back(c.sni);
        return;
    }
    int e = SSL_get_error(c.conn.ssl, rc);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) freeClient(c);
}

static void processInput(Client &c) {
    Args args;
    std::string err;
    c.pending_input = false;
    if (c.bus == BUS_REPL && !clusterReplicaPrelude(c)) return;
    while (!c.closed && !c.close_after_write) {
        if (c.hold_until > nowMs()) {
            c.pending_input = c.inpos < c.in.size();
            break;
        }
        ParseResult r = parseRequest(c.in, c.inpos, args, err);
        if (r == ParseResult::Need) break;
        if (r == ParseResult::Error) {
            c.out.error(err);
            c.close_after_write = true;
            c.in.clear();
            c.inpos = 0;
            break;
        }
        c.last_cmd_ms = nowMs();
        if (c.bus != BUS_NONE)
            clusterBusInput(c, args);
        else
            execCommand(c, args);
    }
    if (c.inpos > 0 && (c.inpos == c.in.size() || c.inpos > 65536)) {
        c.in.erase(0, c.inpos);
        c.inpos = 0;
    }
}

// One read or write on the connection, plain or TLS: the byte count, 0 when
// it would block, -1 when the connection is gone.
static ssize_t connIO(Client &c, bool writing, char *p, size_t len) {
    if (c.conn.ssl) {
        ERR_clear_error();
        int n = int(std::min<size_t>(len, 1 << 20));
        int rc = writing ? SSL_write(c.conn.ssl, p, n) : SSL_read(c.conn.ssl, p, n);
        if (rc > 0) return rc;
        int e = SSL_get_error(c.conn.ssl, rc);
        return (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) ? 0 : -1;
    }
    ssize_t rc = writing ? write(c.conn.fd, p, len) : read(c.conn.fd, p, len);
    if (rc < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return rc > 0 ? rc : -1;
}

static void readClient(Client &c) {
    char buf[65536];
    for (int rounds = 0; rounds < 16; rounds++) {
        ssize_t n = connIO(c, false, buf, sizeof buf);
        if (n < 0) return freeClient(c);
        if (n == 0) break;
        srv.net_in += n;
        c.in.append(buf, size_t(n));
        if (size_t(n) < sizeof buf && !(c.conn.ssl && SSL_pending(c.conn.ssl))) break;
    }
    processInput(c);
}

// A producing client gets more output once its buffer falls below this.
constexpr size_t kProduceLow = 256 * 1024;

static void writeClient(Client &c) {
    ReplyWriter &o = c.out;
    while (o.pending() > 0) {
        ssize_t n = connIO(c, true, o.buf.data() + o.sent, o.pending());
        if (n < 0) return freeClient(c);
        if (n == 0) break;
        o.consumed(size_t(n));
        srv.net_out += n;
    }
    if (o.pending() == 0 && c.close_after_write) freeClient(c);
}

int serve() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    std::vector<Listener> &ls = srv.listeners;
    int fd = listenTcp(srv.bind, srv.port);
    if (fd < 0) return 1;
    ls.push_back({fd, false, false, 0, false});
    std::string ready = "ready port=" + std::to_string(srv.port);
    if (srv.tls_port >= 0) {
        if (!setupTls()) return 1;
        fd = listenTcp(srv.bind, srv.tls_port);
        if (fd < 0) return 1;
        ls.push_back({fd, true, false, 0, false});
        ready += " tls-port=" + std::to_string(srv.tls_port);
    }
    if (!srv.unix_path.empty()) {
        fd = listenUnix(srv.unix_path);
        if (fd < 0) return 1;
        ls.push_back({fd, false, true, 0, false});
        ready += " unix-socket=" + srv.unix_path;
    }
    if (!clusterSetup(ready)) return 1;
    printf("%s\n", ready.c_str());
    fflush(stdout);

    std::vector<pollfd> pfds;
    std::vector<Client *> owners;
    long long last_sweep = 0;
    while (!g_stop && !srv.shutdown) {
        long long now = nowMs();
        int timeout = 100;
        pfds.clear();
        owners.clear();
        std::vector<size_t> lidx;
        for (size_t i = 0; i < ls.size(); i++)
            if (ls[i].fd >= 0) {
                pfds.push_back({ls[i].fd, POLLIN, 0});
                owners.push_back(nullptr);
                lidx.push_back(i);
            }
        for (auto &[id, cp] : srv.clients) {
            Client &c = *cp;
            if (c.closed) continue;
            short ev = 0;
            bool held = c.hold_until > now;
            if (held) timeout = std::min<long long>(timeout, c.hold_until - now + 1);
            if (c.produce && now >= c.produce_at && c.out.buf.size() < kProduceLow) c.produce(c);
            if (c.produce && c.produce_at > now)
                timeout = std::min<long long>(timeout, c.produce_at - now + 1);
            if (!c.close_after_write && !held && !c.produce) ev |= POLLIN;
            if (!c.conn.handshake_done) ev |= POLLIN;
            if (!held && c.out.pending() > 0) ev |= POLLOUT;
            // Requests left in the buffer after a delay need no new bytes.
            if (!held && c.pending_input && !c.close_after_write) timeout = 0;
            pfds.push_back({c.conn.fd, ev, 0});
            owners.push_back(&c);
        }
        int n = poll(pfds.data(), pfds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        now = nowMs();
        for (size_t i = 0; i < pfds.size(); i++) {
            if (i < lidx.size()) {
                // A listener may have been closed by an earlier event.
                if ((pfds[i].revents & POLLIN) && ls[lidx[i]].fd == pfds[i].fd)
                    acceptClient(ls[lidx[i]]);
                continue;
            }
            Client &c = *owners[i];
            if (c.closed) continue;
            short re = pfds[i].revents;
            if (!c.conn.handshake_done) {
                if (re) tlsHandshake(c);
                continue;
            }
            if (re & (POLLIN | POLLHUP | POLLERR)) {
                if (c.hold_until <= now && !c.close_after_write && !c.produce)
                    readClient(c);
                else if (re & (POLLHUP | POLLERR))
                    freeClient(c);
            } else if (c.hold_until <= now && c.pending_input) {
                processInput(c);
            }
        }
        // Flush every client with output (pub/sub and monitor feeds reach
        // clients that were not polled for writing).
        now = nowMs();
        for (auto &[id, cp] : srv.clients)
            if (!cp->closed && cp->conn.handshake_done && cp->hold_until <= now &&
                (cp->out.pending() > 0 || cp->close_after_write))
                writeClient(*cp);
        for (auto it = srv.clients.begin(); it != srv.clients.end();)
            it = it->second->closed ? srv.clients.erase(it) : std::next(it);
        if (now - last_sweep >= 100) {
            last_sweep = now;
            for (auto &db : srv.dbs)
                db.activeExpire(now);
            replicationCron(now);
        }
        clusterTick(now);
    }
    for (auto &[id, cp] : srv.clients)
        freeClient(*cp);
    srv.clients.clear();
    for (auto &l : ls)
        if (l.fd >= 0) close(l.fd);
    if (!srv.unix_path.empty()) unlink(srv.unix_path.c_str());
    if (srv.ssl_ctx) SSL_CTX_free(srv.ssl_ctx);
    return 0;
}

} // namespace dev
