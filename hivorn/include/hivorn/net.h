#pragma once
/* Socket layer of the blocking context: connecting over TCP and Unix-domain
 * sockets and the plain transport read and write. */

#include <sys/types.h>
#include <sys/time.h>

#include "hivorn/hivorn.h"

/* Plain transport: one recv / one send of the whole of obuf. */
ssize_t vornNetRead(vornContext *c, char *buf, size_t bufcap);
ssize_t vornNetWrite(vornContext *c);
/* Maps the result of one recv (errno when negative) to the transport result,
 * recording the error in the context where there is one. */
ssize_t vornNetReadResult(vornContext *c, ssize_t nread);
void vornNetClose(vornContext *c);
/* True when errnum, left by a transfer on the blocking context, means that
 * its command timeout expired. */
bool vornNetTimedOut(const vornContext *c, int errnum);

/* Connect timeout in milliseconds: -1 for none; VORN_ERR when out of range. */
int vornContextTimeoutMsec(const struct timeval *tv, long *result);
int vornContextWaitReady(vornContext *c, long msec);
int vornCheckSocketError(vornContext *c);
int vornSetTcpNoDelay(vornContext *c);
int vornContextSetTimeout(vornContext *c, const struct timeval tv);

int vornContextConnectBindTcp(vornContext *c, const char *addr, int port,
                              const struct timeval *timeout, const char *source_addr);
int vornContextConnectUnix(vornContext *c, const char *path, const struct timeval *timeout);
