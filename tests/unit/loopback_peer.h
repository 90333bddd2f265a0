#pragma once
// Peer sockets for the connection tests: listeners on loopback and Unix
// sockets, and the far end of a connection driven step by step by the test.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "hivorn/hivorn.h"

namespace peer {

// A peer that goes away makes writes fail with EPIPE instead of killing the
// test binary.
inline const bool kSigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);

// Owns a descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept {
        reset(o.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct ContextDeleter {
    void operator()(vornContext *c) const { vornFree(c); }
};
using ContextPtr = std::unique_ptr<vornContext, ContextDeleter>;

struct ReplyDeleter {
    void operator()(void *r) const { freeReplyObject(r); }
};
using ReplyPtr = std::unique_ptr<vornReply, ReplyDeleter>;

inline ReplyPtr command(vornContext *c, const char *cmd) {
    return ReplyPtr(static_cast<vornReply *>(vornCommand(c, cmd)));
}

// A blocking TCP context on 127.0.0.1 with the given command timeout.
inline ContextPtr connectWithCommandTimeout(int port, struct timeval tv) {
    vornOptions o = {};
    VORN_OPTIONS_SET_TCP(&o, "127.0.0.1", port);
    o.command_timeout = &tv;
    return ContextPtr(vornConnectWithOptions(&o));
}

// A bound TCP socket on a loopback address with an ephemeral port; listening
// unless told otherwise (a bound socket that does not listen refuses
// connections while keeping its port reserved).
inline Fd bindLoopback(const char *addr, int *port, bool listening = true, int backlog = 16) {
    const bool v6 = strchr(addr, ':') != nullptr;
    Fd s(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    if (!s.valid()) return s;
    sockaddr_storage ss = {};
    socklen_t len = 0;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        inet_pton(AF_INET6, addr, &a->sin6_addr);
        len = sizeof(*a);
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        inet_pton(AF_INET, addr, &a->sin_addr);
        len = sizeof(*a);
    }
    if (bind(s.get(), reinterpret_cast<sockaddr *>(&ss), len) != 0) return Fd();
    if (listening && listen(s.get(), backlog) != 0) return Fd();
    len = sizeof(ss);
    getsockname(s.get(), reinterpret_cast<sockaddr *>(&ss), &len);
    *port = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                     : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    return s;
}

inline Fd listenUnix(const std::string &path) {
    Fd s(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof(sa.sun_path)) return Fd();
    memcpy(sa.sun_path, path.data(), path.size());
    if (bind(s.get(), reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) return Fd();
    if (listen(s.get(), 16) != 0) return Fd();
    return s;
}

inline bool waitReadable(int fd, int timeout_ms) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

// Accepts the next connection, waiting at most five seconds.
inline Fd acceptPeer(int lfd) {
    if (!waitReadable(lfd, 5000)) return Fd();
    return Fd(accept(lfd, nullptr, nullptr));
}

inline void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// Reads until `want` bytes arrived, the peer closed, or `timeout_ms` passed
// without data.
inline std::string recvUpTo(int fd, size_t want, int timeout_ms = 5000) {
    std::string out;
    char buf[65536];
    while (out.size() < want && waitReadable(fd, timeout_ms)) {
        ssize_t n = recv(fd, buf, std::min(sizeof(buf), want - out.size()), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Everything readable right now, without waiting.
inline std::string recvPending(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

inline double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace peer
