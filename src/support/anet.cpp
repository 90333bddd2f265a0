#include "support/anet.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

void anetSetError(char *err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void anetSetError(char *err, const char *fmt, ...) {
    if (!err) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, ANET_ERR_LEN, fmt, ap);
    va_end(ap);
}

int anetSetBlock(char *err, int fd, bool non_block) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        anetSetError(err, "fcntl(F_GETFL): %s", strerror(errno));
        return ANET_ERR;
    }
    int wanted = non_block ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted == flags) return ANET_OK;
    if (fcntl(fd, F_SETFL, wanted) == -1) {
        anetSetError(err, "fcntl(F_SETFL,O_NONBLOCK): %s", strerror(errno));
        return ANET_ERR;
    }
    return ANET_OK;
}

int anetSetIntOption(char *err, int fd, int level, int name, const char *label, int value) {
    if (setsockopt(fd, level, name, &value, sizeof(value)) == -1) {
        anetSetError(err, "setsockopt %s: %s", label, strerror(errno));
        return ANET_ERR;
    }
    return ANET_OK;
}

} // namespace

int anetNonBlock(char *err, int fd) {
    return anetSetBlock(err, fd, true);
}

int anetBlock(char *err, int fd) {
    return anetSetBlock(err, fd, false);
}

int anetKeepAlive(char *err, int fd, int interval) {
    if (anetSetIntOption(err, fd, SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE", 1) != ANET_OK)
        return ANET_ERR;
    if (anetSetIntOption(err, fd, IPPROTO_TCP, TCP_KEEPIDLE, "TCP_KEEPIDLE", interval) != ANET_OK)
        return ANET_ERR;
    int probe_interval = interval / 3;
    if (probe_interval == 0) probe_interval = 1;
    if (anetSetIntOption(err, fd, IPPROTO_TCP, TCP_KEEPINTVL, "TCP_KEEPINTVL", probe_interval) !=
        ANET_OK)
        return ANET_ERR;
    if (anetSetIntOption(err, fd, IPPROTO_TCP, TCP_KEEPCNT, "TCP_KEEPCNT", 3) != ANET_OK)
        return ANET_ERR;
    return ANET_OK;
}

int anetEnableTcpNoDelay(char *err, int fd) {
    return anetSetIntOption(err, fd, IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", 1);
}

int anetFormatAddr(char *buf, size_t buf_len, const char *ip, int port) {
    return snprintf(buf, buf_len, strchr(ip, ':') ? "[%s]:%d" : "%s:%d", ip, port);
}
