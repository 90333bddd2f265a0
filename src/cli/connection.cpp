// The client's current server connection.
#include "cli/connection.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "cli/config.h"
#include "cli/render.h"
#include "cli/secure.h"
#include "support/anet.h"

vornContext *context = nullptr;

namespace {

constexpr int kKeepAliveInterval = 15;

struct ReplyDeleter {
    void operator()(vornReply *r) const { freeReplyObject(r); }
};
using ReplyPtr = std::unique_ptr<vornReply, ReplyDeleter>;

ReplyPtr command(vornContext *c, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    void *r = vornvCommand(c, fmt, ap);
    va_end(ap);
    return ReplyPtr(static_cast<vornReply *>(r));
}

// Checks the reply of a command sent while setting up the connection: no
// reply is an I/O error, an error reply "<what> failed: <text>".
bool setupReplyOk(const ReplyPtr &reply, const char *what) {
    if (!reply) {
        fprintf(stderr, "\nI/O error\n");
        return false;
    }
    if (reply->type == VORN_REPLY_ERROR) {
        fprintf(stderr, "%s failed: %s\n", what, reply->str);
        return false;
    }
    return true;
}

// A redirection always goes over TCP to the address it named.
bool connectsOverTcp() {
    return config.hostsocket == nullptr || (config.cluster_mode && config.cluster_reissue_command);
}

// Opens a connection over the transport the configuration names (TLS
// negotiated on top when asked); null only when out of memory.
vornContext *openTransport(bool tcp) {
    return cliOpenConnection(config.hostip, config.hostport, tcp ? nullptr : config.hostsocket);
}

} // namespace

vornContext *cliOpenConnection(const char *host, int port, const char *socket_path) {
    vornOptions options = {};
    if (socket_path != nullptr) {
        VORN_OPTIONS_SET_UNIX(&options, socket_path);
    } else {
        VORN_OPTIONS_SET_TCP(&options, host, port);
    }
    struct timeval tv = {};
    if (config.timeout > 0) {
        tv.tv_sec = static_cast<time_t>(config.timeout / 1000000);
        tv.tv_usec = static_cast<suseconds_t>(config.timeout % 1000000);
        options.connect_timeout = &tv;
        options.command_timeout = &tv;
    }
    return vornConnectWithOptions(&options);
}

// What every fresh current connection goes through: keep-alive, AUTH,
// SELECT and HELLO 3, the first failure ending the set-up.
static int prepareSession() {
    // Fails harmlessly on Unix-domain sockets.
    anetKeepAlive(nullptr, context->fd, kKeepAliveInterval);
    if (cliAuth(context, config.user, config.auth) != 0) return -1;
    if (cliSelect() != 0) return -1;
    if (cliSwitchProto() != 0) return -1;
    return 0;
}

int cliAuth(vornContext *ctx, const char *user, const char *auth) {
    if (auth == nullptr) return 0;
    ReplyPtr reply =
        user == nullptr ? command(ctx, "AUTH %s", auth) : command(ctx, "AUTH %s %s", user, auth);
    return setupReplyOk(reply, "AUTH") ? 0 : -1;
}

int cliSelect(void) {
    if (config.input_dbnum == config.dbnum) return 0;
    ReplyPtr reply = command(context, "SELECT %d", config.input_dbnum);
    char what[32];
    snprintf(what, sizeof(what), "SELECT %d", config.input_dbnum);
    if (!setupReplyOk(reply, what)) return -1;
    config.dbnum = config.input_dbnum;
    cliRefreshPrompt();
    return 0;
}

int cliSwitchProto(void) {
    if (!config.vosp3) return 0;
    ReplyPtr reply = command(context, "HELLO 3");
    return setupReplyOk(reply, "HELLO 3") ? 0 : -1;
}

int cliConnect(int flags) {
    if (context != nullptr && (flags & CC_FORCE)) {
        vornFree(context);
        context = nullptr;
        config.dbnum = 0;
        config.in_multi = 0;
        cliRefreshPrompt();
    }
    if (context == nullptr) {
        bool tcp = connectsOverTcp();
        context = openTransport(tcp);
        if (context == nullptr) {
            // Only an allocation failure leaves no context to report on.
            if (!(flags & CC_QUIET)) fprintf(stderr, "Could not connect to Vorn: Out of memory\n");
            return -1;
        }
        if (!context->err && config.tls) {
            const char *err = nullptr;
            if (cliSecureConnection(context, config.sslconfig, &err) != 0 && err) {
                fprintf(stderr, "Could not negotiate a TLS connection: %s\n", err);
                vornFree(context);
                context = nullptr;
                return -1;
            }
        }
        if (context->err) {
            if (!(flags & CC_QUIET)) {
                fprintf(stderr, "Could not connect to Vorn at ");
                if (tcp)
                    fprintf(stderr, "%s:%d: %s\n", config.hostip, config.hostport, context->errstr);
                else
                    fprintf(stderr, "%s: %s\n", config.hostsocket, context->errstr);
            }
            vornFree(context);
            context = nullptr;
            return -1;
        }
        if (prepareSession() != 0) return -1;
    }
    // Whatever path made the connection, pushes go to our printer.
    if (config.push_output) vornSetPushCallback(context, cliPushHandler);
    return 0;
}

void cliRefreshPrompt(void) {
    if (config.eval_ldb) return;
    hisds prompt = hi_sdsempty();
    if (config.hostsocket != nullptr) {
        prompt = hi_sdscatprintf(prompt, "vorn %s", config.hostsocket);
    } else if (strchr(config.hostip, ':') != nullptr) {
        prompt = hi_sdscatprintf(prompt, "[%s]:%d", config.hostip, config.hostport);
    } else {
        prompt = hi_sdscatprintf(prompt, "%s:%d", config.hostip, config.hostport);
    }
    if (config.dbnum != 0) prompt = hi_sdscatprintf(prompt, "[%i]", config.dbnum);
    if (config.in_multi) prompt = hi_sdscatlen(prompt, "(TX)", 4);
    prompt = hi_sdscatlen(prompt, "> ", 2);
    snprintf(config.prompt, sizeof(config.prompt), "%s", prompt);
    hi_sdsfree(prompt);
}

void cliPrintContextError(void) {
    if (context == nullptr) return;
    fprintf(stderr, "Error: %s\n", context->errstr);
}

vornReply *reconnectingVornCommand(vornContext *c, const char *fmt, ...) {
    void *reply = nullptr;
    int tries = 0;
    // Every error but a protocol error (4) has bit 0 or 1 set: the link
    // itself failed and a new connection may cure it.
    auto linkFailed = [](const vornContext *ctx) { return (ctx->err & 3) != 0; };
    // A write to a server that went away must show up as a write error to
    // reconnect from, not end the process (on a Unix socket it is the first
    // thing that happens).
    static bool sigpipe_ignored = false;
    if (!sigpipe_ignored) {
        signal(SIGPIPE, SIG_IGN);
        sigpipe_ignored = true;
    }
    while (reply == nullptr) {
        while (c == nullptr || linkFailed(c)) {
            printf("\r\x1b[0K");
            printf("Reconnecting... %d\r", ++tries);
            fflush(stdout);
            if (c == context) context = nullptr;
            vornFree(c);
            // The new connection is made like the first one: same transport,
            // then AUTH, SELECT and HELLO 3, so that a restarted server that
            // wants a password, or one on a socket or behind TLS, is watched
            // again as it was, in the same database and protocol.
            c = openTransport(connectsOverTcp());
            if (c != nullptr && !c->err && config.tls) {
                const char *err = nullptr;
                if (cliSecureConnection(c, config.sslconfig, &err) != 0 && err) {
                    fprintf(stderr, "TLS Error: %s\n", err);
                    exit(1);
                }
            }
            if (c != nullptr && !c->err) {
                context = c;
                config.dbnum = 0;
                // A refused AUTH, SELECT or HELLO will not change by trying
                // again; a link that broke meanwhile is retried.
                if (prepareSession() != 0 && !linkFailed(c)) exit(1);
                if (config.push_output) vornSetPushCallback(c, cliPushHandler);
            }
            usleep(1000000);
        }
        va_list ap;
        va_start(ap, fmt);
        reply = vornvCommand(c, fmt, ap);
        va_end(ap);
        if (c->err && !linkFailed(c)) {
            fprintf(stderr, "Error: %s\n", c->errstr);
            exit(1);
        } else if (tries > 0) {
            printf("\r\x1b[0K");
            fflush(stdout);
        }
        if (reply == nullptr && c->err == 0) {
            // Nothing to read and nothing wrong cannot be retried usefully.
            fprintf(stderr, "Error: no reply\n");
            exit(1);
        }
    }
    context = c;
    return static_cast<vornReply *>(reply);
}
