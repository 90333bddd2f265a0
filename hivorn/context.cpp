/* The blocking connection context: creation, the read and write steps, the
 * request/reply cycle and release. */

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "hivorn/alloc.h"
#include "hivorn/hivorn.h"
#include "hivorn/net.h"

const vornContextFuncs vornContextDefaultFuncs = {
    nullptr, nullptr, nullptr, vornNetRead, vornNetWrite,
};

namespace {

/* Bytes taken from the transport per read step. */
constexpr size_t kReadChunk = 16384;

/* strerror_r comes in two flavours; accept either. */
[[maybe_unused]] const char *strerrorResult(int rc, const char *buf) {
    return rc == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char *strerrorResult(const char *msg, const char *) {
    return msg;
}

void copyErrstr(vornContext *c, const char *text) {
    size_t len = strlen(text);
    if (len > sizeof(c->errstr) - 1) len = sizeof(c->errstr) - 1;
    memcpy(c->errstr, text, len);
    c->errstr[len] = '\0';
}

vornContext *vornContextInit() {
    auto *c = static_cast<vornContext *>(hi_calloc(1, sizeof(vornContext)));
    if (c == nullptr) return nullptr;
    c->funcs = &vornContextDefaultFuncs;
    c->fd = VORN_INVALID_FD;
    c->obuf = hi_sdsempty();
    c->reader = vornReaderCreate();
    if (c->obuf == nullptr || c->reader == nullptr) {
        vornFree(c);
        return nullptr;
    }
    return c;
}

int copyTimeout(struct timeval *&slot, const struct timeval *tv) {
    if (tv == nullptr || slot == tv) return VORN_OK;
    if (slot == nullptr) {
        slot = static_cast<struct timeval *>(hi_malloc(sizeof(struct timeval)));
        if (slot == nullptr) return VORN_ERR;
    }
    *slot = *tv;
    return VORN_OK;
}

int __vornAppendCommand(vornContext *c, const char *cmd, size_t len) {
    hisds newbuf = hi_sdscatlen(c->obuf, cmd, len);
    if (newbuf == nullptr) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return VORN_ERR;
    }
    c->obuf = newbuf;
    return VORN_OK;
}

int vornGetReplyFromReader(vornContext *c, void **reply) {
    if (vornReaderGetReply(c->reader, reply) == VORN_ERR) {
        __vornSetError(c, c->reader->err, c->reader->errstr);
        return VORN_ERR;
    }
    return VORN_OK;
}

bool isPushReply(void *reply) {
    return static_cast<vornReply *>(reply)->type == VORN_REPLY_PUSH;
}

void *blockForReply(vornContext *c) {
    if (!(c->flags & VORN_BLOCK)) return nullptr;
    void *reply = nullptr;
    if (vornGetReply(c, &reply) != VORN_OK) return nullptr;
    return reply;
}

} // namespace

void __vornSetError(vornContext *c, int type, const char *str) {
    c->err = type;
    if (str != nullptr) {
        copyErrstr(c, str);
    } else {
        char buf[128];
        copyErrstr(c, strerrorResult(strerror_r(errno, buf, sizeof(buf)), buf));
    }
}

void __vornSetErrorFromErrno(vornContext *c, const char *prefix) {
    int errorno = errno;
    char buf[128];
    char sys[128];
    snprintf(buf, sizeof(buf), "%s: %s", prefix,
             strerrorResult(strerror_r(errorno, sys, sizeof(sys)), sys));
    __vornSetError(c, VORN_ERR_IO, buf);
}

void vornPushAutoFree(void *, void *reply) {
    freeReplyObject(reply);
}

vornPushFn *vornSetPushCallback(vornContext *c, vornPushFn *fn) {
    vornPushFn *old = c->push_cb;
    c->push_cb = fn;
    return old;
}

vornContext *vornConnectWithOptions(const vornOptions *options) {
    if (options->type != VORN_CONN_TCP && options->type != VORN_CONN_UNIX &&
        options->type != VORN_CONN_USERFD) {
        return nullptr;
    }
    vornContext *c = vornContextInit();
    if (c == nullptr) return nullptr;

    if (!(options->options & VORN_OPT_NONBLOCK)) c->flags |= VORN_BLOCK;
    if (options->options & VORN_OPT_REUSEADDR) c->flags |= VORN_REUSEADDR;
    if (options->options & VORN_OPT_NOAUTOFREE) c->flags |= VORN_NO_AUTO_FREE;

    if (options->push_cb != nullptr) {
        c->push_cb = options->push_cb;
    } else if (!(options->options & VORN_OPT_NO_PUSH_AUTOFREE)) {
        c->push_cb = vornPushAutoFree;
    }
    c->privdata = options->privdata;
    c->free_privdata = options->free_privdata;

    if (copyTimeout(c->connect_timeout, options->connect_timeout) != VORN_OK ||
        copyTimeout(c->command_timeout, options->command_timeout) != VORN_OK) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return c;
    }

    switch (options->type) {
    case VORN_CONN_TCP:
        vornContextConnectBindTcp(c, options->endpoint.tcp.ip, options->endpoint.tcp.port,
                                  c->connect_timeout, options->endpoint.tcp.source_addr);
        break;
    case VORN_CONN_UNIX:
        vornContextConnectUnix(c, options->endpoint.unix_socket, c->connect_timeout);
        break;
    default: /* VORN_CONN_USERFD */
        c->connection_type = VORN_CONN_USERFD;
        c->fd = options->endpoint.fd;
        c->flags |= VORN_CONNECTED;
        break;
    }

    if (c->command_timeout != nullptr && (c->flags & VORN_BLOCK) && c->fd != VORN_INVALID_FD) {
        vornContextSetTimeout(c, *c->command_timeout);
    }
    return c;
}

vornContext *vornConnect(const char *ip, int port) {
    vornOptions options = {};
    VORN_OPTIONS_SET_TCP(&options, ip, port);
    return vornConnectWithOptions(&options);
}

vornContext *vornConnectWithTimeout(const char *ip, int port, const struct timeval tv) {
    vornOptions options = {};
    VORN_OPTIONS_SET_TCP(&options, ip, port);
    options.connect_timeout = &tv;
    return vornConnectWithOptions(&options);
}

vornContext *vornConnectUnix(const char *path) {
    vornOptions options = {};
    VORN_OPTIONS_SET_UNIX(&options, path);
    return vornConnectWithOptions(&options);
}

void vornFree(vornContext *c) {
    if (c == nullptr) return;
    vornNetClose(c);
    hi_sdsfree(c->obuf);
    vornReaderFree(c->reader);
    hi_free(c->tcp.host);
    hi_free(c->tcp.source_addr);
    hi_free(c->unix_sock.path);
    hi_free(c->connect_timeout);
    hi_free(c->command_timeout);
    hi_free(c->saddr);
    if (c->privdata != nullptr && c->free_privdata != nullptr) c->free_privdata(c->privdata);
    if (c->funcs != nullptr && c->funcs->free_privctx != nullptr)
        c->funcs->free_privctx(c->privctx);
    /* A stale pointer to a released context then fails fast. */
    memset(static_cast<void *>(c), 0xff, sizeof(*c));
    hi_free(c);
}

int vornBufferRead(vornContext *c) {
    if (c->err) return VORN_ERR;
    char buf[kReadChunk];
    /* The rest of a large bulk payload goes from the transport straight into
     * the reply's own string, in reads as large as the transport gives,
     * instead of through the receive buffer. */
    char *dst = buf;
    size_t cap = vornReaderDirectRoom(c->reader, &dst);
    if (c->reader->err) {
        __vornSetError(c, c->reader->err, c->reader->errstr);
        return VORN_ERR;
    }
    const bool direct = cap > 0;
    if (!direct) {
        dst = buf;
        cap = sizeof(buf);
    }
    ssize_t nread = c->funcs->read(c, dst, cap);
    if (nread < 0) return VORN_ERR;
    if (nread == 0) return VORN_OK;
    if (direct) {
        vornReaderDirectCommit(c->reader, static_cast<size_t>(nread));
    } else if (vornReaderFeed(c->reader, buf, static_cast<size_t>(nread)) != VORN_OK) {
        __vornSetError(c, c->reader->err, c->reader->errstr);
        return VORN_ERR;
    }
    return VORN_OK;
}

int vornBufferWrite(vornContext *c, int *done) {
    if (c->err) return VORN_ERR;
    if (hi_sdslen(c->obuf) > 0) {
        ssize_t nwritten = c->funcs->write(c);
        if (nwritten < 0) return VORN_ERR;
        if (static_cast<size_t>(nwritten) == hi_sdslen(c->obuf)) {
            /* A fresh string lets a large pipeline's buffer go. */
            hisds fresh = hi_sdsempty();
            if (fresh == nullptr) {
                hi_sdsclear(c->obuf); /* what was written must never go out twice */
                __vornSetError(c, VORN_ERR_OOM, "Out of memory");
                return VORN_ERR;
            }
            hi_sdsfree(c->obuf);
            c->obuf = fresh;
        } else if (nwritten > 0 && hi_sdsrange(c->obuf, nwritten, -1) < 0) {
            __vornSetError(c, VORN_ERR_OOM, "Out of memory");
            return VORN_ERR;
        }
    }
    if (done != nullptr) *done = hi_sdslen(c->obuf) == 0;
    return VORN_OK;
}

int vornGetReply(vornContext *c, void **reply) {
    void *aux = nullptr;
    /* A reply already complete in the reader is handed out as is, push or not. */
    if (vornGetReplyFromReader(c, &aux) == VORN_ERR) return VORN_ERR;

    if (aux == nullptr && (c->flags & VORN_BLOCK)) {
        int wdone = 0;
        do {
            if (vornBufferWrite(c, &wdone) == VORN_ERR) return VORN_ERR;
        } while (!wdone);

        while (aux == nullptr) {
            if (vornBufferRead(c) == VORN_ERR) return VORN_ERR;
            for (;;) {
                if (vornGetReplyFromReader(c, &aux) == VORN_ERR) return VORN_ERR;
                if (aux == nullptr || !isPushReply(aux) || c->push_cb == nullptr) break;
                c->push_cb(c->privdata, aux); /* the callback owns it now */
                aux = nullptr;
            }
        }
    }

    if (reply != nullptr) {
        *reply = aux;
    } else {
        freeReplyObject(aux);
    }
    return VORN_OK;
}

int vornvAppendCommand(vornContext *c, const char *format, va_list ap) {
    char *cmd = nullptr;
    long long len = vornvFormatCommand(&cmd, format, ap);
    if (len == -1) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return VORN_ERR;
    }
    if (len == -2) {
        __vornSetError(c, VORN_ERR_OTHER, "Invalid format string");
        return VORN_ERR;
    }
    int rv = __vornAppendCommand(c, cmd, static_cast<size_t>(len));
    hi_free(cmd);
    return rv;
}

int vornAppendCommand(vornContext *c, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int rv = vornvAppendCommand(c, format, ap);
    va_end(ap);
    return rv;
}

int vornAppendCommandArgv(vornContext *c, int argc, const char **argv, const size_t *argvlen) {
    hisds cmd = nullptr;
    long long len = vornFormatSdsCommandArgv(&cmd, argc, argv, argvlen);
    if (len == -1) {
        __vornSetError(c, VORN_ERR_OOM, "Out of memory");
        return VORN_ERR;
    }
    int rv = __vornAppendCommand(c, cmd, static_cast<size_t>(len));
    hi_sdsfree(cmd);
    return rv;
}

void *vornvCommand(vornContext *c, const char *format, va_list ap) {
    if (vornvAppendCommand(c, format, ap) != VORN_OK) return nullptr;
    return blockForReply(c);
}

void *vornCommand(vornContext *c, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    void *reply = vornvCommand(c, format, ap);
    va_end(ap);
    return reply;
}
