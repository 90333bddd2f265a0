// Posing as a replica: the replication handshake, the snapshot transfer
// that follows it, and the stream of commands the server propagates.
#pragma once

#include "hivorn/hivorn.h"

// Sends "REPLCONF option value" on the current connection. An error reply is
// reported and ignored; no reply at all exits with status 1.
void sendReplconf(const char *arg1, const char *arg2);
// Tells the server that the end-of-file-mark form of the transfer is fine.
void sendCapa(void);
// Tells the server that only the snapshot is wanted, not the stream after it.
void sendVdbOnly(void);

// Writes a raw SYNC on c and reads the transfer announcement. Returns the
// announced length with *out_usemark 0, or 0 with *out_usemark 1 and the
// 40-byte mark in out_eof when the snapshot ends with a mark. Every failure
// prints its message and exits with status 1.
unsigned long long sendSync(vornContext *c, char *out_eof, int *out_usemark);

// Full synchronisation on the current connection: the snapshot is read and
// thrown away, then every propagated command is printed in CSV form until
// the connection ends.
void slaveMode(void);

// Full synchronisation on *conn with the snapshot written to filename ("-"
// for standard output). On success the connection is freed, *conn cleared
// and the routine returns; every failure prints its message and exits with
// status 1. A regular file appears at filename only once it is complete.
void getVDB(vornContext **conn, const char *filename);
