// The protocol client library: reply objects, request encoding and the
// blocking connection context.
#pragma once

#include <cstdarg>
#include <cstddef>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#include "hivorn/alloc.h"
#include "hivorn/read.h"
#include "hivorn/sds.h"

// One node of a decoded reply tree.
struct vornReply {
    int type;
    long long integer;
    double dval;
    size_t len;
    char *str;
    char vtype[4];
    size_t elements;
    vornReply **element;
};

// The reply builders every reader of the client uses.
extern vornReplyObjectFunctions defaultFunctions;

vornReader *vornReaderCreate();
void freeReplyObject(void *reply);

// Request encoding. vornvFormatCommand returns the request length, -1 when
// memory runs out or -2 for an invalid format; *target is then a plain
// allocation released with hi_free.
long long vornvFormatCommand(char **target, const char *format, va_list ap);
long long vornFormatCommand(char **target, const char *format, ...);
// Returns the request length, or -1 when memory runs out.
long long vornFormatSdsCommandArgv(hisds *target, int argc, const char **argv,
                                   const size_t *argvlen);
void vornFreeCommand(char *cmd);
void vornFreeSdsCommand(hisds cmd);

// ---- connection context ----

// Context flags.
#define VORN_BLOCK 0x1
#define VORN_CONNECTED 0x2
#define VORN_REUSEADDR 0x80
#define VORN_NO_AUTO_FREE 0x200

// vornOptions::options bits.
#define VORN_OPT_NONBLOCK 0x1
#define VORN_OPT_REUSEADDR 0x2
#define VORN_OPT_NOAUTOFREE 0x4
#define VORN_OPT_NO_PUSH_AUTOFREE 0x8

typedef int vornFD;
#define VORN_INVALID_FD -1

enum vornConnectionType { VORN_CONN_TCP = 0, VORN_CONN_UNIX = 1, VORN_CONN_USERFD = 2 };

struct vornContext;

// Receives a push message; the callback owns the reply from then on.
typedef void(vornPushFn)(void *privdata, void *reply);

// Transport table: plain sockets, or TLS once vornInitiateSSL succeeded. The
// event-driven slots exist for layout compatibility; the blocking context
// never calls them.
struct vornContextFuncs {
    void (*free_privctx)(void *privctx);
    void (*async_read)(void *ac);
    void (*async_write)(void *ac);
    // Bytes read, 0 for "try again", -1 on error (recorded in the context).
    ssize_t (*read)(vornContext *c, char *buf, size_t bufcap);
    // Bytes written from the start of obuf, 0 for "try again", -1 on error.
    ssize_t (*write)(vornContext *c);
};

struct vornOptions {
    int type;
    int options;
    const struct timeval *connect_timeout;
    const struct timeval *command_timeout;
    union {
        struct {
            const char *source_addr;
            const char *ip;
            int port;
        } tcp;
        const char *unix_socket;
        vornFD fd;
    } endpoint;
    void *privdata;
    void (*free_privdata)(void *);
    vornPushFn *push_cb;
    void *async_push_cb; // for an event-driven layer; ignored here
};

#define VORN_OPTIONS_SET_TCP(opts, ip_, port_)                                                     \
    do {                                                                                           \
        (opts)->type = VORN_CONN_TCP;                                                              \
        (opts)->endpoint.tcp.ip = (ip_);                                                           \
        (opts)->endpoint.tcp.port = (port_);                                                       \
    } while (0)

#define VORN_OPTIONS_SET_UNIX(opts, path)                                                          \
    do {                                                                                           \
        (opts)->type = VORN_CONN_UNIX;                                                             \
        (opts)->endpoint.unix_socket = (path);                                                     \
    } while (0)

struct vornContext {
    const vornContextFuncs *funcs;
    int err;          // 0, or the VORN_ERR_* code of the last failure
    char errstr[128]; // NUL-terminated description of err
    vornFD fd;
    int flags;
    hisds obuf; // encoded requests not yet written
    vornReader *reader;
    enum vornConnectionType connection_type;
    struct timeval *connect_timeout;
    struct timeval *command_timeout;
    struct {
        char *host;
        char *source_addr;
        int port;
    } tcp;
    struct {
        char *path;
    } unix_sock;
    struct sockaddr *saddr;
    size_t addrlen;
    void *privdata;
    void (*free_privdata)(void *);
    void *privctx; // transport state (TLS), released through funcs->free_privctx
    vornPushFn *push_cb;
};

extern const vornContextFuncs vornContextDefaultFuncs;

vornContext *vornConnectWithOptions(const vornOptions *options);
vornContext *vornConnect(const char *ip, int port);
vornContext *vornConnectWithTimeout(const char *ip, int port, const struct timeval tv);
vornContext *vornConnectUnix(const char *path);
void vornFree(vornContext *c);

vornPushFn *vornSetPushCallback(vornContext *c, vornPushFn *fn);
void vornPushAutoFree(void *privdata, void *reply);

int vornBufferRead(vornContext *c);
int vornBufferWrite(vornContext *c, int *done);
int vornGetReply(vornContext *c, void **reply);

int vornvAppendCommand(vornContext *c, const char *format, va_list ap);
int vornAppendCommand(vornContext *c, const char *format, ...);
int vornAppendCommandArgv(vornContext *c, int argc, const char **argv, const size_t *argvlen);
void *vornvCommand(vornContext *c, const char *format, va_list ap);
void *vornCommand(vornContext *c, const char *format, ...);

// Records an error: str, cut to 127 characters, or with a null str (only for
// VORN_ERR_IO) the system's text for errno.
void __vornSetError(vornContext *c, int type, const char *str);
// Records VORN_ERR_IO as "<prefix>: <system text for errno>".
void __vornSetErrorFromErrno(vornContext *c, const char *prefix);
