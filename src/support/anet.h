// Socket helpers. Each takes an optional buffer of ANET_ERR_LEN bytes that
// receives a description of the failure; pass null when it is not wanted.
#pragma once

#include <cstddef>

#define ANET_OK 0
#define ANET_ERR -1
#define ANET_ERR_LEN 256

// Switches the descriptor to non-blocking mode.
int anetNonBlock(char *err, int fd);
// Switches the descriptor back to blocking mode.
int anetBlock(char *err, int fd);
// Turns TCP keep-alive on: the first probe after interval seconds of
// silence, then one every interval / 3 seconds (at least 1), and the peer is
// declared dead after 3 unanswered probes.
int anetKeepAlive(char *err, int fd, int interval);
// Disables Nagle's algorithm on the descriptor.
int anetEnableTcpNoDelay(char *err, int fd);
// Writes "host:port" into buf, bracketing the host when it contains ':' (an
// IPv6 address). Returns what snprintf returns.
int anetFormatAddr(char *buf, size_t buf_len, const char *ip, int port);
