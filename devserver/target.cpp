// Talking to a MIGRATE target.
//
// The loop is single threaded and one process may host several cluster
// nodes. A target that is a node of this process cannot answer over a socket
// while its process waits for it, so its requests run in memory: on a
// connection-less client of that node, through the same dispatch as any
// client's (authentication, database checks, slot redirections, the node's
// test hooks, its replicas), and the bytes it answers are read like a
// socket's. Any other target is reached over TCP, blocking, with the MIGRATE
// timeout bounding every connect, write and read; the connection is kept
// for the next MIGRATE to the same place (ten seconds at most while idle).
#include "target.h"

#include "cluster.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <optional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dev {

static const char *kConnectErr = "IOERR error or timeout connecting to the client";
static const char *kWriteErr = "IOERR error or timeout writing to target instance";
static const char *kReadErr = "IOERR error or timeout reading to target instance";

// ---- reply reader ----

static ParseResult readLine(const std::string &buf, size_t &pos, std::string &line) {
    size_t eol = buf.find("\r\n", pos);
    if (eol == std::string::npos)
        return buf.size() - pos > kMaxInline ? ParseResult::Error : ParseResult::Need;
    line = buf.substr(pos, eol - pos);
    pos = eol + 2;
    return ParseResult::Ok;
}

static ParseResult readAny(const std::string &buf, size_t &pos, TargetReply &out, int depth) {
    if (depth > 64) return ParseResult::Error;
    if (pos >= buf.size()) return ParseResult::Need;
    std::string line;
    ParseResult r = readLine(buf, pos, line);
    if (r != ParseResult::Ok) return r;
    if (line.empty()) return ParseResult::Error;
    char t = line[0];
    std::string rest = line.substr(1);
    long long n = 0;
    switch (t) {
    case '+':
    case '-':
        out.error = t == '-';
        out.text = rest;
        return ParseResult::Ok;
    case ':':
    case ',':
    case '#':
    case '_':
    case '(':
        out.text.clear();
        return ParseResult::Ok;
    case '$':
    case '=':
    case '!':
        if (!toLL(rest, n) || n < -1 || n > kMaxBulk) return ParseResult::Error;
        if (n < 0) return ParseResult::Ok;
        if (buf.size() - pos < size_t(n) + 2) return ParseResult::Need;
        if (buf.compare(pos + size_t(n), 2, "\r\n") != 0) return ParseResult::Error;
        // A blob error is an error too.
        out.error = t == '!';
        out.text = out.error ? buf.substr(pos, size_t(n)) : "";
        pos += size_t(n) + 2;
        return ParseResult::Ok;
    case '*':
    case '~':
    case '>':
    case '%':
    case '|': {
        if (!toLL(rest, n) || n < -1 || n > kMaxArgs) return ParseResult::Error;
        long long items = (t == '%' || t == '|') ? n * 2 : n;
        for (long long i = 0; i < items; i++) {
            TargetReply skip;
            r = readAny(buf, pos, skip, depth + 1);
            if (r != ParseResult::Ok) return r;
        }
        out.text.clear();
        return ParseResult::Ok;
    }
    default:
        return ParseResult::Error;
    }
}

ParseResult readTargetReply(const std::string &buf, size_t &pos, TargetReply &out) {
    size_t start = pos;
    out = TargetReply{};
    ParseResult r = readAny(buf, pos, out, 0);
    if (r != ParseResult::Ok) pos = start;
    return r;
}

// ---- the exchange, over either channel ----

// A channel sends requests and collects one reply per request; on failure
// it fills x.io_error (and x.hold_ms).
struct Channel {
    virtual ~Channel() = default;
    virtual bool roundTrip(const std::vector<Args> &reqs, std::vector<TargetReply> &out,
                           TargetExchange &x) = 0;
};

// AUTH and SELECT go first, on their own: RESTOREs sent along with a refused
// SELECT would land in whatever database the connection had, and after a
// refused AUTH on a target without a password they would still run, leaving
// the keys on both sides.
static void runExchange(Channel &ch, TargetExchange &x, bool send_auth, bool send_select) {
    std::vector<Args> prelude;
    if (send_auth) prelude.push_back(x.auth);
    if (send_select) prelude.push_back({"SELECT", std::to_string(x.db)});
    if (!prelude.empty()) {
        std::vector<TargetReply> r;
        if (!ch.roundTrip(prelude, r, x)) return;
        if (send_auth) x.auth_reply = r[0];
        if (send_select) x.select_reply = r.back();
        if (x.auth_reply.error || x.select_reply.error) return;
    }
    ch.roundTrip(x.restores, x.replies, x);
}

// ---- in memory, for nodes of this process ----

static bool isOwnAddress(const std::string &host) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return false;
    bool own = false;
    for (addrinfo *ai = res; ai && !own; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) {
            auto *s = reinterpret_cast<sockaddr_in *>(ai->ai_addr);
            own = (ntohl(s->sin_addr.s_addr) >> 24) == 127;
        } else if (ai->ai_family == AF_INET6) {
            auto *s = reinterpret_cast<sockaddr_in6 *>(ai->ai_addr);
            own = IN6_IS_ADDR_LOOPBACK(&s->sin6_addr);
        }
        if (own) break;
        // An address of one of this host's interfaces can be bound.
        int fd = socket(ai->ai_family, SOCK_DGRAM, 0);
        if (fd < 0) continue;
        sockaddr_storage ss{};
        memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
        if (ai->ai_family == AF_INET) reinterpret_cast<sockaddr_in *>(&ss)->sin_port = 0;
        if (ai->ai_family == AF_INET6) reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port = 0;
        own = bind(fd, reinterpret_cast<sockaddr *>(&ss), ai->ai_addrlen) == 0;
        close(fd);
    }
    freeaddrinfo(res);
    return own;
}

enum class Local { No, Node, OtherPort };

// Whether host:port is served by this process: the node whose client port
// it is, or another of the process's ports (TLS, bus) that a blocking
// MIGRATE could never get an answer from.
static Local findLocal(const std::string &host, int port, int &node) {
    if (!isOwnAddress(host)) return Local::No;
    if (!clusterEnabled()) {
        node = 0;
        if (port == srv.port) return Local::Node;
        return port == srv.tls_port ? Local::OtherPort : Local::No;
    }
    using namespace cluster;
    for (auto &in : g_nodes) {
        if (in->port == port) {
            node = in->index;
            return Local::Node;
        }
        if (in->bus_port == port || in->tls_port == port) return Local::OtherPort;
    }
    return Local::No;
}

namespace {

// Requests run on a connection-less client of the target node.
struct MemoryChannel : Channel {
    Client t;
    size_t read_pos = 0;

    MemoryChannel(const Client &source, int node) {
        t.id = srv.next_client_id++;
        t.node = node;
        t.addr = source.laddr.empty() ? "127.0.0.1:0" : source.laddr;
        t.ctime = t.last_cmd_ms = nowMs();
        t.authed = !srv.requirePass();
    }
    ~MemoryChannel() override { freeClient(t); }

    bool roundTrip(const std::vector<Args> &reqs, std::vector<TargetReply> &out,
                   TargetExchange &x) override {
        long long start = nowMs();
        for (const Args &r : reqs) {
            if (t.closed || t.close_after_write) break;
            Args a = r;
            execCommand(t, a);
            // A delay hook on the target longer than the timeout is a timeout.
            if (t.hold_until - start > x.timeout_ms) break;
        }
        out.clear();
        for (size_t i = 0; i < reqs.size(); i++) {
            TargetReply reply;
            if (readTargetReply(t.out.buf, read_pos, reply) != ParseResult::Ok) {
                x.io_error = kReadErr;
                if (t.hold_until > start) x.hold_ms = x.timeout_ms;
                return false;
            }
            out.push_back(std::move(reply));
        }
        return true;
    }
};

} // namespace

static void exchangeInMemory(Client &source, int node, TargetExchange &x) {
    using namespace cluster;
    if (clusterEnabled()) {
        Instance &in = instance(node);
        if (in.down == CLOSED) {
            x.io_error = kConnectErr;
            return;
        }
        if (in.down == HUNG) {
            // Nothing would ever come back before the timeout.
            x.io_error = kReadErr;
            x.hold_ms = x.timeout_ms;
            return;
        }
    }
    {
        MemoryChannel ch(source, node);
        runExchange(ch, x, !x.auth.empty(), x.db != 0);
    }
    if (clusterEnabled()) activate(source.node);
}

// ---- over TCP ----

namespace {

struct Cached {
    int fd = -1;
    long long db = 0;
    long long last_use = 0;
};
std::map<std::string, Cached> g_cache;
constexpr long long kIdleMs = 10000;

void dropCached(const std::string &key) {
    auto it = g_cache.find(key);
    if (it == g_cache.end()) return;
    close(it->second.fd);
    g_cache.erase(it);
}

bool waitFd(int fd, short ev, long long timeout_ms) {
    pollfd p{fd, ev, 0};
    for (;;) {
        int n = poll(&p, 1, int(std::max<long long>(timeout_ms, 0)));
        if (n < 0 && errno == EINTR) continue;
        return n > 0 && (p.revents & (ev | POLLHUP | POLLERR));
    }
}

int connectWithTimeout(const std::string &host, int port, long long timeout_ms) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return -1;
    int fd = -1;
    for (addrinfo *ai = res; ai && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
        int err = 0;
        socklen_t len = sizeof err;
        if (rc != 0 && (errno != EINPROGRESS || !waitFd(fd, POLLOUT, timeout_ms) ||
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

enum class IoResult { Ok, Timeout, Closed, Garbage };

// What a send or recv that moved no bytes means: go on (after waiting for
// the socket when it would block), or stop with the result.
std::optional<IoResult> stalled(int fd, ssize_t n, short ev, long long timeout_ms) {
    if (n < 0 && errno == EINTR) return std::nullopt;
    if (n < 0 && errno == EAGAIN)
        return waitFd(fd, ev, timeout_ms) ? std::nullopt : std::optional(IoResult::Timeout);
    return IoResult::Closed;
}

IoResult writeAll(int fd, const std::string &data, long long timeout_ms) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n > 0)
            off += size_t(n);
        else if (auto r = stalled(fd, n, POLLOUT, timeout_ms))
            return *r;
    }
    return IoResult::Ok;
}

// Reads replies until there are `want` of them.
IoResult readReplies(int fd, size_t want, std::vector<TargetReply> &out, long long timeout_ms) {
    std::string buf;
    size_t pos = 0;
    char chunk[65536];
    out.clear();
    while (out.size() < want) {
        TargetReply r;
        ParseResult pr = readTargetReply(buf, pos, r);
        if (pr == ParseResult::Ok) {
            out.push_back(std::move(r));
            continue;
        }
        if (pr == ParseResult::Error) return IoResult::Garbage;
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n > 0)
            buf.append(chunk, size_t(n));
        else if (auto res = stalled(fd, n, POLLIN, timeout_ms))
            return *res;
    }
    return IoResult::Ok;
}

} // namespace

namespace {

struct TcpChannel : Channel {
    std::string key;
    Cached *conn = nullptr;

    bool roundTrip(const std::vector<Args> &reqs, std::vector<TargetReply> &out,
                   TargetExchange &x) override {
        ReplyWriter w; // requests are arrays of bulk strings, written like such replies
        for (const Args &r : reqs)
            w.bulks(r);
        if (writeAll(conn->fd, w.buf, x.timeout_ms) != IoResult::Ok) {
            x.io_error = kWriteErr;
        } else if (readReplies(conn->fd, reqs.size(), out, x.timeout_ms) != IoResult::Ok) {
            x.io_error = kReadErr;
        } else {
            conn->last_use = nowMs();
            return true;
        }
        dropCached(key);
        conn = nullptr;
        return false;
    }
};

// True when the other side has closed a cached connection already.
bool closedByPeer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char ch;
    ssize_t n = recv(fd, &ch, 1, MSG_PEEK | MSG_DONTWAIT);
    // Bytes nobody asked for make the connection useless as well.
    return n >= 0 || (errno != EAGAIN && errno != EINTR);
}

} // namespace

static void exchangeOverTcp(TargetExchange &x) {
    long long now = nowMs();
    for (auto it = g_cache.begin(); it != g_cache.end();) {
        if (now - it->second.last_use > kIdleMs || closedByPeer(it->second.fd)) {
            close(it->second.fd);
            it = g_cache.erase(it);
        } else {
            ++it;
        }
    }
    // One connection per target and credentials: a MIGRATE without AUTH
    // must not ride on a connection another MIGRATE authenticated.
    TcpChannel ch;
    ch.key = x.host + ":" + std::to_string(x.port);
    for (auto &w : x.auth)
        ch.key += " " + std::to_string(w.size()) + ":" + w;
    bool fresh = g_cache.count(ch.key) == 0;
    if (fresh) {
        int fd = connectWithTimeout(x.host, x.port, x.timeout_ms);
        if (fd < 0) {
            x.io_error = kConnectErr;
            return;
        }
        g_cache[ch.key] = Cached{fd, 0, now};
    }
    ch.conn = &g_cache[ch.key];
    runExchange(ch, x, fresh && !x.auth.empty(), ch.conn->db != x.db);
    if (!ch.conn) return;
    if (x.auth_reply.error) {
        dropCached(ch.key); // never authenticated: not worth keeping
    } else if (!x.select_reply.error) {
        ch.conn->db = x.db;
    }
}

void exchangeWithTarget(Client &source, TargetExchange &x) {
    int node = 0;
    switch (findLocal(x.host, x.port, node)) {
    case Local::Node:
        if (node == source.node) {
            x.same_instance = true;
            return;
        }
        return exchangeInMemory(source, node, x);
    case Local::OtherPort:
        x.io_error = kReadErr;
        x.hold_ms = x.timeout_ms;
        return;
    case Local::No:
        return exchangeOverTcp(x);
    }
}

} // namespace dev
