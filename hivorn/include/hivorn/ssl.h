#pragma once
/* TLS transport of the blocking context. The caller builds the SSL object
 * (context, verification, server name); the context takes it over once the
 * handshake succeeded. */

#include <openssl/ssl.h>

#include "hivorn/hivorn.h"

/* TLS state of one context, kept in its privctx. */
struct vornSSL {
    SSL *ssl;
    /* Length of a write OpenSSL asked to be retried; 0 when none is pending.
     * The retry must repeat exactly this length. */
    size_t lastLen;
    /* Recorded when a non-blocking transfer stopped because OpenSSL needs to
     * read (wantRead) or write (pendingWrite) first. */
    int wantRead;
    int pendingWrite;
};

extern const vornContextFuncs vornContextSSLFuncs;

/* Handshakes on the connected context's socket and switches its transport to
 * TLS. On success the context owns ssl; on failure the caller still does. */
int vornInitiateSSL(vornContext *c, SSL *ssl);

ssize_t vornSSLRead(vornContext *c, char *buf, size_t bufcap);
ssize_t vornSSLWrite(vornContext *c);
void vornSSLFree(void *privctx);
