// TLS negotiation of the client's connections and the connection write
// helper of pipe mode.
#include "cli/secure.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "hivorn/ssl.h"

namespace {

// Shared by every TLS connection of the process, the cluster manager's
// included; dropped again when its set-up fails so that the next attempt
// starts afresh.
SSL_CTX *ssl_ctx = nullptr;

// Builds ssl_ctx from the settings; returns the failure reason or null.
const char *createSslContext(const cliSSLconfig &cfg) {
    ssl_ctx = SSL_CTX_new(TLS_client_method());
    if (ssl_ctx == nullptr) return "Failed to create SSL_CTX";
    const char *err = nullptr;
    SSL_CTX_set_options(ssl_ctx, SSL_OP_NO_SSLv3);
    SSL_CTX_set_verify(ssl_ctx, cfg.skip_cert_verify ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
    if (cfg.cacert || cfg.cacertdir) {
        if (!SSL_CTX_load_verify_locations(ssl_ctx, cfg.cacert, cfg.cacertdir))
            err = "Invalid CA Certificate File/Directory";
    } else if (!SSL_CTX_set_default_verify_paths(ssl_ctx)) {
        err = "Failed to use default CA paths";
    }
    if (!err && cfg.cert && !SSL_CTX_use_certificate_chain_file(ssl_ctx, cfg.cert))
        err = "Invalid client certificate";
    if (!err && cfg.key && !SSL_CTX_use_PrivateKey_file(ssl_ctx, cfg.key, SSL_FILETYPE_PEM))
        err = "Invalid private key";
    if (!err && cfg.ciphers && !SSL_CTX_set_cipher_list(ssl_ctx, cfg.ciphers))
        err = "Error while configuring ciphers";
    if (!err && cfg.ciphersuites && !SSL_CTX_set_ciphersuites(ssl_ctx, cfg.ciphersuites))
        err = "Error while setting cypher suites";
    if (err) {
        SSL_CTX_free(ssl_ctx);
        ssl_ctx = nullptr;
    }
    return err;
}

bool isIpAddress(const char *name) {
    unsigned char buf[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, name, buf) == 1 || inet_pton(AF_INET6, name, buf) == 1;
}

// A verified certificate must also be one issued for the server we meant:
// the --sni name when one is given (so that an address can be dialled for a
// named server), else the host connected to. Returns false when the name
// cannot be set.
bool expectServerName(SSL *ssl, const char *name) {
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    if (isIpAddress(name)) return X509_VERIFY_PARAM_set1_ip_asc(param, name) == 1;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return X509_VERIFY_PARAM_set1_host(param, name, 0) == 1;
}

// The name the certificate is checked against; null when there is none to
// check (a Unix socket without --sni).
const char *expectedServerName(const vornContext *c, const cliSSLconfig &cfg) {
    if (cfg.sni != nullptr) return cfg.sni;
    if (c->connection_type == VORN_CONN_TCP) return c->tcp.host;
    return nullptr;
}

} // namespace

int cliSecureConnection(vornContext *c, const cliSSLconfig &cfg, const char **err) {
    *err = nullptr;
    if (ssl_ctx == nullptr && (*err = createSslContext(cfg)) != nullptr) return -1;
    SSL *ssl = SSL_new(ssl_ctx);
    if (ssl == nullptr) {
        *err = "Failed to create SSL object";
        return -1;
    }
    if (cfg.sni && !SSL_set_tlsext_host_name(ssl, cfg.sni)) {
        *err = "Failed to configure SNI";
        SSL_free(ssl);
        return -1;
    }
    const char *expected = cfg.skip_cert_verify ? nullptr : expectedServerName(c, cfg);
    if (expected != nullptr && !expectServerName(ssl, expected)) {
        *err = "Failed to configure the expected server name";
        SSL_free(ssl);
        return -1;
    }
    if (vornInitiateSSL(c, ssl) != VORN_OK) {
        long verify = SSL_get_verify_result(ssl);
        if (expected != nullptr &&
            (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)) {
            // Say which name the certificate failed to match, not only that
            // verification failed.
            char msg[128];
            snprintf(msg, sizeof(msg), "SSL_connect failed: certificate is not valid for '%s'",
                     expected);
            __vornSetError(c, VORN_ERR_IO, msg);
        }
        // The context only takes the object over on success.
        SSL_free(ssl);
        return -1;
    }
    return 0;
}

ssize_t cliWriteConn(vornContext *c, const char *buf, size_t len) {
    hisds grown = hi_sdscatlen(c->obuf, buf, len);
    if (grown == nullptr) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return -1;
    }
    c->obuf = grown;
    // Drops the given bytes from the end of the buffer again.
    auto dropNew = [&] {
        size_t have = hi_sdslen(c->obuf);
        hi_sdssetlen(c->obuf, have > len ? have - len : 0);
        c->obuf[hi_sdslen(c->obuf)] = '\0';
    };
    int done = 0;
    if (vornBufferWrite(c, &done) == VORN_ERR) {
        if (!(c->flags & VORN_BLOCK)) errno = EAGAIN;
        dropNew();
        return -1;
    }
    size_t left = hi_sdslen(c->obuf);
    if (done || left == 0) {
        hi_sdsclear(c->obuf);
        return static_cast<ssize_t>(len);
    }
    if (left > len) {
        // Older bytes are still pending: none of the new ones went out.
        dropNew();
        return 0;
    }
    hi_sdsclear(c->obuf);
    return static_cast<ssize_t>(len - left);
}
