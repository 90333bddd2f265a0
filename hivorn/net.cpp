/* Socket layer of the blocking context. */

#include "hivorn/net.h"

#include <cerrno>
#include <climits>
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

#include "hivorn/alloc.h"

namespace {

/* How often a connect that keeps failing with EADDRNOTAVAIL is retried when
 * address reuse is asked for (ephemeral ports exhausted for a moment). */
constexpr int kMaxAddrNotAvailRetries = 10;

int vornSetBlocking(vornContext *c, bool blocking) {
    int flags = fcntl(c->fd, F_GETFL);
    if (flags == -1) {
        __vornSetErrorFromErrno(c, "fcntl(F_GETFL)");
        vornNetClose(c);
        return VORN_ERR;
    }
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(c->fd, F_SETFL, flags) == -1) {
        __vornSetErrorFromErrno(c, "fcntl(F_SETFL)");
        vornNetClose(c);
        return VORN_ERR;
    }
    return VORN_OK;
}

/* Replaces an owned string by a copy of src, unless src is that very string. */
int replaceOwnedString(char *&slot, const char *src) {
    if (slot == src) return VORN_OK;
    char *copy = nullptr;
    if (src != nullptr && (copy = hi_strdup(src)) == nullptr) return VORN_ERR;
    hi_free(slot);
    slot = copy;
    return VORN_OK;
}

/* Stores the connect timeout (or drops it when none is given) and converts it
 * to milliseconds. */
int storeConnectTimeout(vornContext *c, const struct timeval *timeout, long *msec) {
    if (timeout == nullptr) {
        hi_free(c->connect_timeout);
        c->connect_timeout = nullptr;
    } else if (c->connect_timeout != timeout) {
        if (c->connect_timeout == nullptr) {
            c->connect_timeout = static_cast<struct timeval *>(hi_malloc(sizeof(struct timeval)));
            if (c->connect_timeout == nullptr) {
                __vornSetError(c, VORN_ERR_OOM, "Out of memory");
                return VORN_ERR;
            }
        }
        *c->connect_timeout = *timeout;
    }
    if (vornContextTimeoutMsec(c->connect_timeout, msec) != VORN_OK) {
        __vornSetError(c, VORN_ERR_IO, "Invalid timeout specified");
        return VORN_ERR;
    }
    return VORN_OK;
}

int storeAddress(vornContext *c, const struct sockaddr *addr, size_t len) {
    hi_free(c->saddr);
    c->saddr = static_cast<struct sockaddr *>(hi_malloc(len));
    if (c->saddr == nullptr) {
        c->addrlen = 0;
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return VORN_ERR;
    }
    memcpy(c->saddr, addr, len);
    c->addrlen = len;
    return VORN_OK;
}

/* A second connect on the pending socket tells whether the handshake has
 * finished: 1 connected, 0 not (yet), with errno left by that connect. */
int vornCheckConnectDone(vornContext *c) {
    if (connect(c->fd, c->saddr, static_cast<socklen_t>(c->addrlen)) == 0) return 1;
    return errno == EISCONN ? 1 : 0;
}

int bindSourceAddress(vornContext *c, const struct addrinfo &hints) {
    struct addrinfo *bservinfo = nullptr;
    int rv = getaddrinfo(c->tcp.source_addr, nullptr, &hints, &bservinfo);
    if (rv != 0) {
        char buf[128];
        snprintf(buf, sizeof(buf), "Can't get addr: %s", gai_strerror(rv));
        __vornSetError(c, VORN_ERR_OTHER, buf);
        return VORN_ERR;
    }
    if (c->flags & VORN_REUSEADDR) {
        int on = 1;
        if (setsockopt(c->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
            freeaddrinfo(bservinfo);
            __vornSetErrorFromErrno(c, "setsockopt(SO_REUSEADDR)");
            return VORN_ERR;
        }
    }
    bool bound = false;
    for (struct addrinfo *b = bservinfo; b != nullptr; b = b->ai_next) {
        if (bind(c->fd, b->ai_addr, b->ai_addrlen) != -1) {
            bound = true;
            break;
        }
    }
    int bind_errno = errno;
    freeaddrinfo(bservinfo);
    if (!bound) {
        char buf[128];
        snprintf(buf, sizeof(buf), "Can't bind socket: %s", strerror(bind_errno));
        __vornSetError(c, VORN_ERR_OTHER, buf);
        return VORN_ERR;
    }
    return VORN_OK;
}

} // namespace

void vornNetClose(vornContext *c) {
    if (c != nullptr && c->fd != VORN_INVALID_FD) {
        close(c->fd);
        c->fd = VORN_INVALID_FD;
    }
}

ssize_t vornNetReadResult(vornContext *c, ssize_t nread) {
    if (nread > 0) return nread;
    if (nread == 0) {
        __vornSetError(c, VORN_ERR_EOF, "Server closed the connection");
        return -1;
    }
    const bool blocking = (c->flags & VORN_BLOCK) != 0;
    if (((errno == EAGAIN || errno == EWOULDBLOCK) && !blocking) || errno == EINTR) return 0;
    if ((errno == ETIMEDOUT && blocking) || vornNetTimedOut(c, errno)) {
        __vornSetError(c, VORN_ERR_TIMEOUT, "recv timeout");
    } else {
        __vornSetError(c, VORN_ERR_IO, nullptr);
    }
    return -1;
}

bool vornNetTimedOut(const vornContext *c, int errnum) {
    /* A blocking socket reports an expired receive or send timeout as
     * EAGAIN; without a command timeout EAGAIN cannot mean that. */
    return (errnum == EAGAIN || errnum == EWOULDBLOCK) && (c->flags & VORN_BLOCK) &&
           c->command_timeout != nullptr;
}

ssize_t vornNetRead(vornContext *c, char *buf, size_t bufcap) {
    return vornNetReadResult(c, recv(c->fd, buf, bufcap, 0));
}

ssize_t vornNetWrite(vornContext *c) {
    /* A peer that went away is an error of this connection, reported like
     * any other, never a signal that ends the process. */
    ssize_t nwritten = send(c->fd, c->obuf, hi_sdslen(c->obuf), MSG_NOSIGNAL);
    if (nwritten >= 0) return nwritten;
    const bool blocking = (c->flags & VORN_BLOCK) != 0;
    if (errno == EINTR && blocking) {
        /* Interrupted before anything was sent: nothing written, the blocking
         * caller simply writes again. Reporting a failure here would fail the
         * request with no error recorded. */
        return 0;
    }
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && !blocking) return -1;
    if (errno == EINTR) return -1;
    if (vornNetTimedOut(c, errno)) {
        __vornSetError(c, VORN_ERR_TIMEOUT, "send timeout");
    } else {
        __vornSetError(c, VORN_ERR_IO, nullptr);
    }
    return -1;
}

int vornContextTimeoutMsec(const struct timeval *tv, long *result) {
    if (tv == nullptr) {
        *result = -1;
        return VORN_OK;
    }
    constexpr long long kMaxSec = (LLONG_MAX - 999) / 1000;
    if (tv->tv_usec > 1000000 || tv->tv_sec > kMaxSec) return VORN_ERR;
    long long msec = 0;
    /* Only a very negative tv_sec can overflow here; such a value is as out
     * of range as any other negative one. */
    if (__builtin_mul_overflow(static_cast<long long>(tv->tv_sec), 1000LL, &msec) ||
        __builtin_add_overflow(msec, (static_cast<long long>(tv->tv_usec) + 999) / 1000, &msec) ||
        msec < 0 || msec > INT_MAX) {
        msec = INT_MAX;
    }
    *result = static_cast<long>(msec);
    return VORN_OK;
}

int vornCheckSocketError(vornContext *c) {
    int saved_errno = errno;
    int err = 0;
    socklen_t errlen = sizeof(err);
    if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &errlen) == -1) {
        __vornSetErrorFromErrno(c, "getsockopt(SO_ERROR)");
        return VORN_ERR;
    }
    errno = err != 0 ? err : saved_errno;
    __vornSetError(c, VORN_ERR_IO, nullptr);
    return VORN_ERR;
}

int vornContextWaitReady(vornContext *c, long msec) {
    if (errno != EINPROGRESS) {
        __vornSetError(c, VORN_ERR_IO, nullptr);
        vornNetClose(c);
        return VORN_ERR;
    }
    struct pollfd wfd = {};
    wfd.fd = c->fd;
    wfd.events = POLLOUT;
    int res = poll(&wfd, 1, static_cast<int>(msec));
    if (res == -1) {
        __vornSetErrorFromErrno(c, "poll(2)");
        vornNetClose(c);
        return VORN_ERR;
    }
    if (res == 0) {
        errno = ETIMEDOUT;
        __vornSetError(c, VORN_ERR_IO, nullptr);
        vornNetClose(c);
        return VORN_ERR;
    }
    if (vornCheckConnectDone(c)) return VORN_OK;
    return vornCheckSocketError(c);
}

int vornSetTcpNoDelay(vornContext *c) {
    int yes = 1;
    if (setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes)) == -1) {
        __vornSetErrorFromErrno(c, "setsockopt(TCP_NODELAY)");
        vornNetClose(c);
        return VORN_ERR;
    }
    return VORN_OK;
}

int vornContextSetTimeout(vornContext *c, const struct timeval tv) {
    if (setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == -1) {
        __vornSetErrorFromErrno(c, "setsockopt(SO_RCVTIMEO)");
        return VORN_ERR;
    }
    if (setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == -1) {
        __vornSetErrorFromErrno(c, "setsockopt(SO_SNDTIMEO)");
        return VORN_ERR;
    }
    return VORN_OK;
}

int vornContextConnectBindTcp(vornContext *c, const char *addr, int port,
                              const struct timeval *timeout, const char *source_addr) {
    const bool blocking = (c->flags & VORN_BLOCK) != 0;
    const bool reuseaddr = (c->flags & VORN_REUSEADDR) != 0;

    c->connection_type = VORN_CONN_TCP;
    c->tcp.port = port;
    if (replaceOwnedString(c->tcp.host, addr) != VORN_OK) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return VORN_ERR;
    }
    long timeout_msec = -1;
    if (storeConnectTimeout(c, timeout, &timeout_msec) != VORN_OK) return VORN_ERR;
    if (replaceOwnedString(c->tcp.source_addr, source_addr) != VORN_OK) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return VORN_ERR;
    }

    char portstr[6]; /* at most 5 digits */
    snprintf(portstr, sizeof(portstr), "%d", port);
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *servinfo = nullptr;
    /* IPv4 first: a host with both kinds of address then never waits for an
     * IPv6 attempt. */
    int rv = getaddrinfo(c->tcp.host, portstr, &hints, &servinfo);
    if (rv != 0) {
        hints.ai_family = AF_INET6;
        rv = getaddrinfo(c->tcp.host, portstr, &hints, &servinfo);
        if (rv != 0) {
            __vornSetError(c, VORN_ERR_OTHER, gai_strerror(rv));
            return VORN_ERR;
        }
    }

    int result = VORN_ERR;
    struct addrinfo *p = servinfo;
    for (; p != nullptr; p = p->ai_next) {
        int addrnotavail = 0;
    retry_address:
        int s = socket(p->ai_family, p->ai_socktype, p->ai_protocol);
        if (s == -1) continue;
        c->fd = s;
        if (vornSetBlocking(c, false) != VORN_OK) goto done;
        if (c->tcp.source_addr != nullptr && bindSourceAddress(c, hints) != VORN_OK) goto done;
        if (storeAddress(c, p->ai_addr, p->ai_addrlen) != VORN_OK) goto done;

        if (connect(s, p->ai_addr, p->ai_addrlen) == -1) {
            if (errno == EHOSTUNREACH) {
                vornNetClose(c);
                continue;
            } else if (errno == EINPROGRESS && !blocking) {
                /* The caller finishes the connect itself. */
            } else if (errno == EADDRNOTAVAIL && reuseaddr) {
                if (++addrnotavail >= kMaxAddrNotAvailRetries) {
                    __vornSetError(c, VORN_ERR_IO, nullptr);
                    vornNetClose(c);
                    goto done;
                }
                vornNetClose(c);
                goto retry_address;
            } else {
                if (vornContextWaitReady(c, timeout_msec) != VORN_OK) goto done;
                if (vornSetTcpNoDelay(c) != VORN_OK) goto done;
            }
        }
        if (blocking && vornSetBlocking(c, true) != VORN_OK) goto done;
        c->flags |= VORN_CONNECTED;
        result = VORN_OK;
        goto done;
    }
    {
        char buf[128];
        snprintf(buf, sizeof(buf), "Can't create socket: %s", strerror(errno));
        __vornSetError(c, VORN_ERR_OTHER, buf);
    }
done:
    freeaddrinfo(servinfo);
    return result;
}

int vornContextConnectUnix(vornContext *c, const char *path, const struct timeval *timeout) {
    const bool blocking = (c->flags & VORN_BLOCK) != 0;

    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s == -1) {
        __vornSetError(c, VORN_ERR_IO, nullptr);
        return VORN_ERR;
    }
    c->fd = s;
    if (vornSetBlocking(c, false) != VORN_OK) return VORN_ERR;

    c->connection_type = VORN_CONN_UNIX;
    if (replaceOwnedString(c->unix_sock.path, path) != VORN_OK) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        vornNetClose(c);
        return VORN_ERR;
    }
    long timeout_msec = -1;
    if (storeConnectTimeout(c, timeout, &timeout_msec) != VORN_OK) {
        vornNetClose(c);
        return VORN_ERR;
    }

    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    /* A longer path is cut; the last byte stays the terminating NUL. */
    strncpy(sa.sun_path, c->unix_sock.path, sizeof(sa.sun_path) - 1);
    if (storeAddress(c, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != VORN_OK) {
        vornNetClose(c);
        return VORN_ERR;
    }
    if (connect(s, c->saddr, static_cast<socklen_t>(c->addrlen)) == -1) {
        if (errno == EINPROGRESS && !blocking) {
            /* The caller finishes the connect itself. */
        } else if (vornContextWaitReady(c, timeout_msec) != VORN_OK) {
            return VORN_ERR;
        }
    }
    if (blocking && vornSetBlocking(c, true) != VORN_OK) return VORN_ERR;
    c->flags |= VORN_CONNECTED;
    return VORN_OK;
}
