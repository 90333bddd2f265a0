/* TLS transport: the handshake on an already connected context, then reads
 * and writes through OpenSSL. */

#include "hivorn/ssl.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <openssl/err.h>

#include "hivorn/alloc.h"

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
    SSL_set_fd(ssl, c->fd);
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
    if (c->err == 0) {
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
        if (err != SSL_ERROR_SSL && saved_errno == EAGAIN) {
            /* The receive timeout expired. */
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
    setTransferError(c, err, saved_errno);
    return -1;
}
