// TLS for the client's connections. The library set-up is done once from main
// when --tls is given; the per-connection negotiation belongs in this file too.
#include "cli/tls.h"

#include <openssl/ssl.h>

void cliSecureInit(void) {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_ssl(0, nullptr);
}
