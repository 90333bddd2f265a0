/* TLS transport: the handshake on an already connected context, then reads
 * and writes through OpenSSL. */

#include "hivorn/ssl.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>

#include "hivorn/alloc.h"
#include "hivorn/net.h"

namespace {

/* A non-blocking transfer that OpenSSL cannot finish before it reads or
 * writes more is "try again", not an error; remember which way it waits. */
bool wantsRetry(vornSSL *rssl, int sslerr) {
    if (sslerr == SSL_ERROR_WANT_READ) {
        rssl->wantRead = 1;
        return true;
    }
    if (sslerr == SSL_ERROR_WANT_WRITE) {
        rssl->pendingWrite = 1;
        return true;
    }
    return false;
}

/* Records a failed transfer. A TLS-level failure has no meaningful system
 * error number (the text would read "Success" or be stale), so it is
 * described by OpenSSL's reason instead. */
void setTransferError(vornContext *c, int sslerr, int errnum) {
    const char *reason = nullptr;
    if (sslerr == SSL_ERROR_SSL) reason = ERR_reason_error_string(ERR_peek_last_error());
    errno = errnum;
    __vornSetError(c, VORN_ERR_IO, reason);
}

/* Error text and code of a transfer whose command timeout expired. */
bool setTimeoutError(vornContext *c, int errnum, const char *text) {
    if (!vornNetTimedOut(c, errnum)) return false;
    __vornSetError(c, VORN_ERR_TIMEOUT, text);
    return true;
}

/* The socket BIO writes with write(2), which raises SIGPIPE when the peer has
 * gone. Ours is the socket BIO with its write step replaced by send(2) with
 * MSG_NOSIGNAL, so that a closed connection is an error of the transfer and
 * never ends the process; the handshake and reads (which may write too) all
 * go through it. */
int noSignalWrite(BIO *bio, const char *buf, int len) {
    int fd = -1;
    BIO_get_fd(bio, &fd);
    errno = 0;
    int n = static_cast<int>(send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL));
    BIO_clear_retry_flags(bio);
    if (n <= 0 && BIO_sock_should_retry(n)) BIO_set_retry_write(bio);
    return n;
}

BIO_METHOD *noSignalSocketMethod() {
    static BIO_METHOD *method = [] {
        const BIO_METHOD *sock = BIO_s_socket();
        BIO_METHOD *m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                         "socket without SIGPIPE");
        if (m == nullptr) return m;
        BIO_meth_set_write(m, noSignalWrite);
        BIO_meth_set_read(m, BIO_meth_get_read(sock));
        BIO_meth_set_puts(m, BIO_meth_get_puts(sock));
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(sock));
        BIO_meth_set_create(m, BIO_meth_get_create(sock));
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(sock));
        return m;
    }();
    return method;
}

/* Binds the object to the socket through the BIO above. */
bool attachSocket(SSL *ssl, int fd) {
    BIO_METHOD *method = noSignalSocketMethod();
    BIO *bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) return false;
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);
    return true;
}

} // namespace

const vornContextFuncs vornContextSSLFuncs = {
    vornSSLFree, nullptr, nullptr, vornSSLRead, vornSSLWrite,
};

void vornSSLFree(void *privctx) {
    auto *rssl = static_cast<vornSSL *>(privctx);
    if (rssl == nullptr) return;
    if (rssl->ssl != nullptr) {
        SSL_free(rssl->ssl);
        rssl->ssl = nullptr;
    }
    hi_free(rssl);
}

int vornInitiateSSL(vornContext *c, SSL *ssl) {
    if (c->privctx != nullptr) {
        __vornSetError(c, VORN_ERR_OTHER, "vornContext was already associated");
        return VORN_ERR;
    }
    auto *rssl = static_cast<vornSSL *>(hi_calloc(1, sizeof(vornSSL)));
    if (rssl == nullptr) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return VORN_ERR;
    }
    c->funcs = &vornContextSSLFuncs;
    rssl->ssl = ssl;

    /* obuf may move when it grows while a write waits to be retried. */
    SSL_set_mode(ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!attachSocket(ssl, c->fd)) {
        c->funcs = &vornContextDefaultFuncs;
        hi_free(rssl);
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return VORN_ERR;
    }
    SSL_set_connect_state(ssl);
    ERR_clear_error();
    int rv = SSL_connect(ssl);
    if (rv == 1) {
        c->privctx = rssl;
        return VORN_OK;
    }
    int saved_errno = errno;
    rv = SSL_get_error(ssl, rv);
    if (!(c->flags & VORN_BLOCK) && (rv == SSL_ERROR_WANT_READ || rv == SSL_ERROR_WANT_WRITE)) {
        /* The handshake completes within later reads and writes. */
        c->privctx = rssl;
        return VORN_OK;
    }
    if (c->err == 0 && vornNetTimedOut(c, saved_errno)) {
        /* The peer accepted but never finished the handshake in time. */
        __vornSetError(c, VORN_ERR_TIMEOUT, "SSL_connect failed: Connection timed out");
    } else if (c->err == 0) {
        const char *reason = nullptr;
        if (rv == SSL_ERROR_SYSCALL) {
            reason = strerror(saved_errno);
        } else {
            reason = ERR_reason_error_string(ERR_peek_last_error());
            if (reason == nullptr) reason = "unknown error";
        }
        char buf[256];
        snprintf(buf, sizeof(buf), "SSL_connect failed: %s", reason);
        __vornSetError(c, VORN_ERR_IO, buf);
    }
    rssl->ssl = nullptr; /* still the caller's */
    hi_free(rssl);
    return VORN_ERR;
}

ssize_t vornSSLRead(vornContext *c, char *buf, size_t bufcap) {
    auto *rssl = static_cast<vornSSL *>(c->privctx);
    int cap = bufcap > INT_MAX ? INT_MAX : static_cast<int>(bufcap);
    /* Stale values must not be mistaken for this call's outcome. */
    errno = 0;
    ERR_clear_error();
    int nread = SSL_read(rssl->ssl, buf, cap);
    if (nread > 0) return nread;
    if (nread == 0) {
        __vornSetError(c, VORN_ERR_EOF, "Server closed the connection");
        return -1;
    }
    int saved_errno = errno;
    int err = SSL_get_error(rssl->ssl, nread);
    if (c->flags & VORN_BLOCK) {
        if (err != SSL_ERROR_SSL && saved_errno == EINTR) return 0;
        if (err != SSL_ERROR_SSL && setTimeoutError(c, saved_errno, "recv timeout")) {
            /* The command timeout expired. */
        } else if (err != SSL_ERROR_SSL && saved_errno == EAGAIN) {
            __vornSetError(c, VORN_ERR_IO, "Resource temporarily unavailable");
        } else {
            setTransferError(c, err, saved_errno);
        }
        return -1;
    }
    if (wantsRetry(rssl, err)) return 0;
    setTransferError(c, err, saved_errno);
    return -1;
}

ssize_t vornSSLWrite(vornContext *c) {
    auto *rssl = static_cast<vornSSL *>(c->privctx);
    size_t len = rssl->lastLen != 0 ? rssl->lastLen : hi_sdslen(c->obuf);
    if (len > INT_MAX) len = INT_MAX;
    errno = 0;
    ERR_clear_error();
    int n = SSL_write(rssl->ssl, c->obuf, static_cast<int>(len));
    if (n > 0) {
        rssl->lastLen = 0;
        return n;
    }
    const bool blocking = (c->flags & VORN_BLOCK) != 0;
    /* On a blocking context nothing written means the write failed: a zero
     * here would have the caller retry forever. */
    if (n == 0 && !blocking) return 0;
    int saved_errno = errno;
    rssl->lastLen = len;
    int err = SSL_get_error(rssl->ssl, n);
    if (!blocking && wantsRetry(rssl, err)) return 0;
    if (err != SSL_ERROR_SSL && setTimeoutError(c, saved_errno, "send timeout")) return -1;
    setTransferError(c, err, saved_errno);
    return -1;
}
