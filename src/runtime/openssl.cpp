// The OpenSSL functions the client calls, each forwarding to the shared
// library loaded on the first call. Only --tls needs OpenSSL, and linking it
// would make every run load and relocate libssl and libcrypto, which costs
// more than all the rest of a one-shot command's start. It stays a shared
// library, so its security updates still apply.
//
// This file is linked into vorn-cli alone; the tests, benchmarks and fuzzers
// link OpenSSL as usual. The forwarders are not exported from the
// executable, so the library's own calls never come back through them.
#include <cstdio>
#include <cstdlib>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "support/runtime_library.h"

#define VORN_STRINGIFY2(x) #x
#define VORN_STRINGIFY(x) VORN_STRINGIFY2(x)

namespace {

// The soname of the library the headers describe (libcrypto comes with it).
const char *const LIBSSL_SONAME = "libssl.so." VORN_STRINGIFY(OPENSSL_SHLIB_VERSION);

// The first call made is the library set-up when --tls is given, before any
// connection: a library that cannot be loaded ends the run there, with the
// reason.
void *library() {
    static void *lib = [] {
        const char *why = nullptr;
        void *l = runtimeLibraryOpen(LIBSSL_SONAME, &why);
        if (l == nullptr) {
            fprintf(stderr, "Could not load the TLS library %s: %s\n", LIBSSL_SONAME, why);
            exit(1);
        }
        return l;
    }();
    return lib;
}

template <typename Fn> Fn symbol(const char *name) {
    Fn fn;
    if (!runtimeLibraryResolve(library(), name, fn)) {
        fprintf(stderr, "Could not load the TLS library %s: %s is missing\n", LIBSSL_SONAME, name);
        exit(1);
    }
    return fn;
}

} // namespace

// Defines function `name` with the declared parameters, calling the
// library's function of the same name with `args`. Each looks itself up once.
// clang-format off
#define VORN_FORWARD(ret, name, params, args)                                                      \
    auto name params -> ret {                                                                      \
        static const auto fn = symbol<decltype(&name)>(#name);                                     \
        return fn args;                                                                            \
    }
// clang-format on

using BioCreateFn = int (*)(BIO *);
using BioCtrlFn = long (*)(BIO *, int, long, void *);
using BioPutsFn = int (*)(BIO *, const char *);
using BioReadFn = int (*)(BIO *, char *, int);
using BioWriteFn = int (*)(BIO *, const char *, int);

extern "C" {

// libcrypto: set-up, errors, the socket BIO and its method table, and the
// certificate name checks.
VORN_FORWARD(int, OPENSSL_init_crypto, (uint64_t opts, const OPENSSL_INIT_SETTINGS *s), (opts, s))
VORN_FORWARD(void, ERR_clear_error, (void), ())
VORN_FORWARD(unsigned long, ERR_peek_last_error, (void), ())
VORN_FORWARD(const char *, ERR_reason_error_string, (unsigned long e), (e))
VORN_FORWARD(BIO *, BIO_new, (const BIO_METHOD *type), (type))
VORN_FORWARD(const BIO_METHOD *, BIO_s_socket, (void), ())
VORN_FORWARD(long, BIO_ctrl, (BIO * b, int cmd, long larg, void *parg), (b, cmd, larg, parg))
VORN_FORWARD(long, BIO_int_ctrl, (BIO * b, int cmd, long larg, int iarg), (b, cmd, larg, iarg))
VORN_FORWARD(void, BIO_set_flags, (BIO * b, int flags), (b, flags))
VORN_FORWARD(void, BIO_clear_flags, (BIO * b, int flags), (b, flags))
VORN_FORWARD(int, BIO_sock_should_retry, (int i), (i))
VORN_FORWARD(int, BIO_get_new_index, (void), ())
VORN_FORWARD(BIO_METHOD *, BIO_meth_new, (int type, const char *name), (type, name))
VORN_FORWARD(BioCreateFn, BIO_meth_get_create, (const BIO_METHOD *m), (m))
VORN_FORWARD(BioCtrlFn, BIO_meth_get_ctrl, (const BIO_METHOD *m), (m))
VORN_FORWARD(BioCreateFn, BIO_meth_get_destroy, (const BIO_METHOD *m), (m))
VORN_FORWARD(BioPutsFn, BIO_meth_get_puts, (const BIO_METHOD *m), (m))
VORN_FORWARD(BioReadFn, BIO_meth_get_read, (const BIO_METHOD *m), (m))
VORN_FORWARD(int, BIO_meth_set_create, (BIO_METHOD * m, BioCreateFn f), (m, f))
VORN_FORWARD(int, BIO_meth_set_ctrl, (BIO_METHOD * m, BioCtrlFn f), (m, f))
VORN_FORWARD(int, BIO_meth_set_destroy, (BIO_METHOD * m, BioCreateFn f), (m, f))
VORN_FORWARD(int, BIO_meth_set_puts, (BIO_METHOD * m, BioPutsFn f), (m, f))
VORN_FORWARD(int, BIO_meth_set_read, (BIO_METHOD * m, BioReadFn f), (m, f))
VORN_FORWARD(int, BIO_meth_set_write, (BIO_METHOD * m, BioWriteFn f), (m, f))
VORN_FORWARD(int, X509_VERIFY_PARAM_set1_host, (X509_VERIFY_PARAM * p, const char *name, size_t n),
             (p, name, n))
VORN_FORWARD(int, X509_VERIFY_PARAM_set1_ip_asc, (X509_VERIFY_PARAM * p, const char *ip), (p, ip))
VORN_FORWARD(void, X509_VERIFY_PARAM_set_hostflags, (X509_VERIFY_PARAM * p, unsigned int flags),
             (p, flags))

// libssl: the context, the connection and its transfers.
VORN_FORWARD(int, OPENSSL_init_ssl, (uint64_t opts, const OPENSSL_INIT_SETTINGS *s), (opts, s))
VORN_FORWARD(const SSL_METHOD *, TLS_client_method, (void), ())
VORN_FORWARD(SSL_CTX *, SSL_CTX_new, (const SSL_METHOD *meth), (meth))
VORN_FORWARD(void, SSL_CTX_free, (SSL_CTX * ctx), (ctx))
VORN_FORWARD(uint64_t, SSL_CTX_set_options, (SSL_CTX * ctx, uint64_t op), (ctx, op))
VORN_FORWARD(void, SSL_CTX_set_verify, (SSL_CTX * ctx, int mode, SSL_verify_cb cb), (ctx, mode, cb))
VORN_FORWARD(int, SSL_CTX_load_verify_locations, (SSL_CTX * ctx, const char *file, const char *dir),
             (ctx, file, dir))
VORN_FORWARD(int, SSL_CTX_set_default_verify_paths, (SSL_CTX * ctx), (ctx))
VORN_FORWARD(int, SSL_CTX_use_certificate_chain_file, (SSL_CTX * ctx, const char *file),
             (ctx, file))
VORN_FORWARD(int, SSL_CTX_use_PrivateKey_file, (SSL_CTX * ctx, const char *file, int type),
             (ctx, file, type))
VORN_FORWARD(int, SSL_CTX_set_cipher_list, (SSL_CTX * ctx, const char *str), (ctx, str))
VORN_FORWARD(int, SSL_CTX_set_ciphersuites, (SSL_CTX * ctx, const char *str), (ctx, str))
VORN_FORWARD(SSL *, SSL_new, (SSL_CTX * ctx), (ctx))
VORN_FORWARD(void, SSL_free, (SSL * ssl), (ssl))
VORN_FORWARD(long, SSL_ctrl, (SSL * ssl, int cmd, long larg, void *parg), (ssl, cmd, larg, parg))
VORN_FORWARD(X509_VERIFY_PARAM *, SSL_get0_param, (SSL * ssl), (ssl))
VORN_FORWARD(void, SSL_set_bio, (SSL * ssl, BIO *rbio, BIO *wbio), (ssl, rbio, wbio))
VORN_FORWARD(void, SSL_set_connect_state, (SSL * ssl), (ssl))
VORN_FORWARD(int, SSL_connect, (SSL * ssl), (ssl))
VORN_FORWARD(int, SSL_read, (SSL * ssl, void *buf, int num), (ssl, buf, num))
VORN_FORWARD(int, SSL_write, (SSL * ssl, const void *buf, int num), (ssl, buf, num))
VORN_FORWARD(int, SSL_get_error, (const SSL *ssl, int ret), (ssl, ret))
VORN_FORWARD(long, SSL_get_verify_result, (const SSL *ssl), (ssl))

} // extern "C"
