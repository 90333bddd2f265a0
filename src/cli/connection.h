// The client's one current server connection: opening it, the steps every
// new connection goes through, the prompt naming it, and the reconnecting
// command wrapper of the monitoring modes.
#pragma once

#include "hivorn/hivorn.h"

// The current connection; null when not connected.
extern vornContext *context;

// cliConnect flags.
#define CC_FORCE (1 << 0) // drop an existing connection and open a new one
#define CC_QUIET (1 << 1) // do not print the connection-failure message

// Opens (or keeps) the current connection. Returns 0, or -1 after printing
// why. After an AUTH, SELECT or HELLO failure the connection stays open.
int cliConnect(int flags);

// Opens a blocking connection to host:port, or to the Unix socket when host
// is null; with -t, connecting and every later read and write of it are
// bounded by that timeout. The caller checks err.
vornContext *cliOpenConnection(const char *host, int port, const char *socket_path);

// AUTH with the password (and user, when set); nothing is sent without a
// password. Returns 0 or -1.
int cliAuth(vornContext *ctx, const char *user, const char *auth);
// SELECT config.input_dbnum unless the connection already has it.
int cliSelect(void);
// HELLO 3 when VOSP3 was asked for.
int cliSwitchProto(void);

// Rebuilds config.prompt from the endpoint, database and transaction state.
void cliRefreshPrompt(void);

// "Error: <text>" of the current connection on standard error.
void cliPrintContextError(void);

// Sends a command, reconnecting once a second for as long as the connection
// fails ("Reconnecting... N" on standard output); never returns null. Each new
// connection is made as cliConnect makes one (same transport, TLS, AUTH,
// SELECT, HELLO 3). A protocol error, a TLS set-up error or a refused
// AUTH / SELECT / HELLO exits with status 1. The connection passed may be
// replaced; context is updated.
vornReply *reconnectingVornCommand(vornContext *c, const char *fmt, ...);
