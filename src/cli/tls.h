// TLS for the client's connections: one-time library set-up here; the
// per-connection negotiation (cliSecureConnection) lives beside it.
#pragma once

// Initialises the TLS library once, before the first TLS connection.
void cliSecureInit(void);
