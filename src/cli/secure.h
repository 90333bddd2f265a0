// TLS negotiation of the client's connections and the connection write
// helper of pipe mode.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "cli/config.h"
#include "hivorn/hivorn.h"

// Negotiates TLS on a connected context with the given settings. The first
// call builds the one process-wide TLS context from them; later calls reuse it
// and only apply their SNI. Returns 0, or -1 with *err set to the reason when
// the set-up failed (left null when the handshake itself failed: the
// connection then carries the error).
int cliSecureConnection(vornContext *c, const cliSSLconfig &cfg, const char **err);

// Writes len bytes through the connection's transport after whatever earlier
// bytes are still buffered. Returns how many of the given bytes went out
// (len, fewer, or 0 while older bytes are pending), or -1 on error (errno
// EAGAIN on a non-blocking connection); unsent given bytes are not kept.
ssize_t cliWriteConn(vornContext *c, const char *buf, size_t len);
