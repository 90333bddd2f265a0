// Running one user command: the one-shot path and every line of the
// interactive session come through here.
#include "cli/command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <vector>

#include "cli/config.h"
#include "cli/connection.h"
#include "cli/numbers.h"
#include "cli/help.h"
#include "cli/options.h"
#include "cli/render.h"
#include "hivorn/hivorn.h"
#include "support/util_time.h"

void (*cliReplicaStream)(void) = nullptr;

namespace {

bool is(const char *word, const char *name) {
    return strcasecmp(word, name) == 0;
}

// Commands whose reply is text meant to be read as is: printed raw, without
// quotes or numbering, whatever the output form.
bool wantsRawStrings(int argc, hisds *argv) {
    const char *cmd = argv[0];
    if (is(cmd, "info") || is(cmd, "lolwut")) return true;
    if (argc < 2) return false;
    const char *sub = argv[1];
    return (is(cmd, "debug") && (is(sub, "htstats") || is(sub, "htstats-key"))) ||
           (is(cmd, "memory") && (is(sub, "malloc-stats") || is(sub, "doctor"))) ||
           (argc == 2 && is(cmd, "cluster") && (is(sub, "nodes") || is(sub, "info"))) ||
           (is(cmd, "client") && (is(sub, "list") || is(sub, "info"))) ||
           (argc == 3 && is(cmd, "latency") && is(sub, "graph")) ||
           (argc == 2 && is(cmd, "latency") && is(sub, "doctor")) ||
           (is(cmd, "proxy") && is(sub, "info"));
}

// How a MOVED / ASK error was taken.
enum class Redirection { NotOne, Followed, Malformed };

// Reads "MOVED <slot> <host>:<port>" or "ASK ..." and points the client at
// the named node. A text without that shape is not a redirection and is
// shown like any other error; one naming a slot or port that cannot exist
// is a protocol error, never a wrapped number.
Redirection followRedirection(const vornReply *r) {
    bool ask = strncmp(r->str, "ASK ", 4) == 0;
    if (!ask && strncmp(r->str, "MOVED ", 6) != 0) return Redirection::NotOne;
    const char *p = strchr(r->str, ' ');
    const char *s = strchr(p + 1, ' ');
    if (s == nullptr) return Redirection::NotOne;
    const char *colon = strrchr(s + 1, ':');
    if (colon == nullptr) return Redirection::NotOne;
    static const cliNumberRange slotRange = {"a slot, 0-16383", 0, 16383};
    hisds slottext = hi_sdsnewlen(p + 1, static_cast<size_t>(s - (p + 1)));
    long long slot = 0, port = 0;
    bool valid = cliParseInteger(slottext, slotRange, &slot) &&
                 cliParseInteger(colon + 1, cliPortRange, &port);
    hi_sdsfree(slottext);
    if (!valid) return Redirection::Malformed;
    hi_sdsfree(config.hostip);
    config.hostip = hi_sdsnewlen(s + 1, static_cast<size_t>(colon - (s + 1)));
    config.hostport = static_cast<int>(port);
    if (config.interactive)
        printf("-> Redirected to slot [%d] located at %s:%d\n", static_cast<int>(slot),
               config.hostip, config.hostport);
    config.cluster_reissue_command = 1;
    if (ask) config.cluster_send_asking = 1;
    cliRefreshPrompt();
    return Redirection::Followed;
}

// Keeps the database and transaction state shown in the prompt in step
// with the command that just succeeded in being read.
void trackState(int argc, hisds *argv) {
    const char *cmd = argv[0];
    bool failed = config.last_cmd_type == VORN_REPLY_ERROR;
    if (is(cmd, "select") && argc == 2 && !failed) {
        config.input_dbnum = config.dbnum = atoi(argv[1]);
        cliRefreshPrompt();
    } else if (is(cmd, "auth") && (argc == 2 || argc == 3)) {
        cliSelect();
    } else if (is(cmd, "multi") && argc == 1 && !failed) {
        config.in_multi = 1;
        config.pre_multi_dbnum = config.dbnum;
        cliRefreshPrompt();
    } else if (is(cmd, "exec") && argc == 1 && config.in_multi) {
        config.in_multi = 0;
        if (failed || config.last_cmd_type == VORN_REPLY_NIL)
            config.input_dbnum = config.dbnum = config.pre_multi_dbnum;
        cliRefreshPrompt();
    } else if (is(cmd, "discard") && argc == 1 && !failed) {
        config.in_multi = 0;
        config.input_dbnum = config.dbnum = config.pre_multi_dbnum;
        cliRefreshPrompt();
    }
}

} // namespace

int cliReadReply(int output_raw_strings) {
    void *raw = nullptr;
    if (vornGetReply(context, &raw) != VORN_OK) {
        if (config.shutdown) {
            // The server closing the connection is how SHUTDOWN succeeds.
            vornFree(context);
            context = nullptr;
            return 0;
        }
        if (config.interactive) {
            // A timed-out request leaves the connection out of step with its
            // replies: the session reconnects for the next command, as after
            // a lost connection.
            if ((context->err == VORN_ERR_IO && (errno == ECONNRESET || errno == EPIPE)) ||
                context->err == VORN_ERR_EOF || context->err == VORN_ERR_TIMEOUT)
                return -1;
        }
        cliPrintContextError();
        exit(1);
    }
    auto *reply = static_cast<vornReply *>(raw);
    config.last_cmd_type = reply->type;

    if (config.cluster_mode && reply->type == VORN_REPLY_ERROR) {
        Redirection how = followRedirection(reply);
        if (how == Redirection::Malformed) {
            char msg[128];
            snprintf(msg, sizeof(msg), "Protocol error, invalid redirection: %s", reply->str);
            freeReplyObject(reply);
            __vornSetError(context, VORN_ERR_PROTOCOL, msg);
            cliPrintContextError();
            exit(1);
        }
        if (how == Redirection::Followed) {
            freeReplyObject(reply);
            return 0;
        }
    }

    if (!config.interactive && config.set_errcode && reply->type == VORN_REPLY_ERROR) {
        // A JSON reader still gets its document; the status stays 1.
        if (config.output == OUTPUT_JSON) {
            hisds doc = cliFormatReply(reply, OUTPUT_JSON, 0);
            fwrite(doc, 1, hi_sdslen(doc), stdout);
            fflush(stdout);
            hi_sdsfree(doc);
        }
        fprintf(stderr, "%s\n", reply->str);
        exit(1);
    }

    cliWriteReply(stdout, reply, config.output, output_raw_strings);
    // Where SIGPIPE is ignored (the interactive session), a reader of our
    // output that went away still ends the process instead of having it
    // stream replies nobody reads.
    bool reader_gone = fflush(stdout) == EOF && errno == EPIPE;
    freeReplyObject(reply);
    if (reader_gone) exit(1);
    return 0;
}

int cliSendAsking(void) {
    config.cluster_send_asking = 0;
    if (context == nullptr) return -1;
    auto *reply = static_cast<vornReply *>(vornCommand(context, "ASKING"));
    if (reply == nullptr) {
        fprintf(stderr, "\nI/O error\n");
        return -1;
    }
    int rc = 0;
    if (reply->type == VORN_REPLY_ERROR) {
        fprintf(stderr, "ASKING failed: %s\n", reply->str);
        rc = -1;
    }
    freeReplyObject(reply);
    return rc;
}

int cliSendCommand(int argc, hisds *argv, long repeat) {
    const char *cmd = argv[0];
    if (!config.eval_ldb && (is(cmd, "help") || is(cmd, "?"))) {
        cliOutputHelp(argc - 1, argv + 1);
        return 0;
    }
    if (context == nullptr) return -1;

    int output_raw = wantsRawStrings(argc, argv);
    if (is(cmd, "shutdown")) config.shutdown = 1;
    if (is(cmd, "monitor")) config.monitor_mode = 1;
    if (is(cmd, "subscribe") || is(cmd, "psubscribe")) config.pubsub_mode = 1;
    if (is(cmd, "sync") || is(cmd, "psync")) config.slave_mode = 1;

    if (argc == 3 && is(cmd, "script") && is(argv[1], "debug"))
        config.enable_ldb_on_eval = is(argv[2], "yes") || is(argv[2], "sync");
    if (is(cmd, "eval") && config.enable_ldb_on_eval) {
        config.eval_ldb = 1;
        config.output = OUTPUT_RAW;
    }

    std::vector<size_t> lens(static_cast<size_t>(argc));
    for (int j = 0; j < argc; j++)
        lens[j] = hi_sdslen(argv[j]);

    for (long pass = 0; repeat < 0 || pass < repeat; pass++) {
        vornAppendCommandArgv(context, argc, const_cast<const char **>(argv), lens.data());

        while (config.monitor_mode) {
            if (cliReadReply(output_raw) != 0) exit(1);
            fflush(stdout);
        }

        if (config.pubsub_mode) {
            // The banner is for people; raw and JSON output stay machine-readable.
            if (config.output != OUTPUT_RAW && config.output != OUTPUT_JSON)
                printf("Reading messages... (press Ctrl-C to quit)\n");
            // Messages must come back as replies, pushes included.
            vornSetPushCallback(context, nullptr);
            while (config.pubsub_mode) {
                if (cliReadReply(output_raw) != 0) exit(1);
                fflush(stdout);
                if (config.last_cmd_type == VORN_REPLY_ERROR) {
                    if (config.push_output) vornSetPushCallback(context, cliPushHandler);
                    config.pubsub_mode = 0;
                }
            }
            continue;
        }

        if (config.slave_mode) {
            config.slave_mode = 0;
            if (cliReplicaStream == nullptr) {
                fprintf(stderr, "The replica stream is not available in this build\n");
                return -1;
            }
            printf("Entering replica output mode...  (press Ctrl-C to quit)\n");
            cliReplicaStream();
            return -1;
        }

        if (cliReadReply(output_raw) != 0) return -1;
        trackState(argc, argv);

        if (config.cluster_reissue_command) break;

        sleepMicros(config.interval);
        fflush(stdout);
    }
    return 0;
}

int issueCommandRepeat(int argc, hisds *argv, long repeat) {
    if (config.cluster_reissue_command || context == nullptr || context->err == VORN_ERR_IO ||
        context->err == VORN_ERR_EOF || context->err == VORN_ERR_TIMEOUT) {
        if (cliConnect(CC_FORCE) != 0) {
            cliPrintContextError();
            config.cluster_reissue_command = 0;
            return -1;
        }
    }
    for (;;) {
        config.cluster_reissue_command = 0;
        if (config.cluster_send_asking && cliSendAsking() != 0) {
            cliPrintContextError();
            return -1;
        }
        if (cliSendCommand(argc, argv, repeat) != 0) {
            cliPrintContextError();
            return -1;
        }
        if (!(config.cluster_mode && config.cluster_reissue_command)) return 0;
        // Re-send the whole command, full repeat count, to the named node.
        if (cliConnect(CC_FORCE) != 0) {
            cliPrintContextError();
            config.cluster_reissue_command = 0;
            return -1;
        }
    }
}

int issueCommand(int argc, hisds *argv) {
    return issueCommandRepeat(argc, argv, config.repeat);
}
