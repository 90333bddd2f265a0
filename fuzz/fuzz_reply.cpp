// What the client does with the replies a server sends: every complete reply
// is formatted in the three output forms, read as a COMMAND reply that
// teaches the shell's help new commands, and, when it is a push message,
// handed to the push printer; then the replies are read again the way a
// command reads them (cliReadReply), which follows MOVED / ASK redirections
// in cluster mode and tracks the end of a debugger session.
//
// The first byte picks the settings: output form (bits 0-1), raw strings
// (bit 2), interactive (bit 3), cluster mode (bit 4), debugger (bit 5) and a
// colour terminal (bit 6). The rest is the byte stream from the server.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/config.h"
#include "cli/connection.h"
#include "cli/help.h"
#include "cli/render.h"
#include "exit_trap.h"
#include "hivorn/hivorn.h"

namespace {

// A count may ask for billions of elements, which the reader would try to
// allocate; the reader's own target covers that limit.
constexpr long long kMaxElements = 1024;

void check(bool ok) {
    if (!ok) abort();
}

void format(hisds s) {
    check(s != nullptr);
    hi_sdsfree(s);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Replies are printed on standard output; libFuzzer reports on standard
    // error.
    check(freopen("/dev/null", "w", stdout) != nullptr);
    cliInitHelp();
    // The table is freed before the leak check at exit, which would
    // otherwise find its strings after the table itself went away.
    atexit(cliFreeHelp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    unsigned flags = data[0];
    const char *stream = reinterpret_cast<const char *>(data) + 1;
    size--;

    cliConfigSetDefaults();
    config.output = (flags & 3) == 3 ? OUTPUT_STANDARD : static_cast<int>(flags & 3);
    config.push_output = 1;
    config.interactive = (flags >> 3) & 1;
    config.cluster_mode = (flags >> 4) & 1;
    config.eval_ldb = (flags >> 5) & 1;
    if (flags & 64)
        setenv("TERM", "xterm", 1);
    else
        unsetenv("TERM");

    // The replies as a command would see them: everything complete before
    // the end of the stream or the first protocol error.
    vornReader *reader = vornReaderCreate();
    check(reader != nullptr);
    reader->maxelements = kMaxElements;
    size_t complete = 0;
    if (vornReaderFeed(reader, stream, size) == VORN_OK) {
        void *reply;
        while (vornReaderGetReply(reader, &reply) == VORN_OK && reply != nullptr) {
            complete++;
            auto *r = static_cast<vornReply *>(reply);
            format(cliFormatReplyTTY(r, ""));
            format(cliFormatReplyTTY(r, "1) "));
            format(cliFormatReplyRaw(r));
            format(cliFormatReplyCSV(r));
            format(cliFormatReply(r, config.output, (flags >> 2) & 1));
            int known = helpEntriesLen;
            cliIntegrateHelpFromReply(r);
            check(helpEntriesLen >= known);
            if (helpEntriesLen > known) cliInitHelp(); // back to the built-in table
            if (r->type == VORN_REPLY_PUSH)
                cliPushHandler(nullptr, r); // takes the reply
            else
                freeReplyObject(r);
        }
    }
    vornReaderFree(reader);

    // A connection whose reader already holds the stream: replies are taken
    // from it and the descriptor, which is none, is never read.
    vornOptions options = {};
    options.type = VORN_CONN_USERFD;
    options.endpoint.fd = VORN_INVALID_FD;
    context = vornConnectWithOptions(&options);
    check(context != nullptr && context->err == 0);
    context->reader->maxelements = kMaxElements;
    check(vornReaderFeed(context->reader, stream, size) == VORN_OK);
    for (size_t i = 0; i < complete; i++) {
        config.cluster_reissue_command = 0;
        int read_status = 0;
        std::string message;
        int exited = exit_trap::run([&] { read_status = cliReadReply((flags >> 2) & 1); }, message);
        if (exited != -1) {
            // The one way a complete reply ends the process: a redirection
            // whose slot or address is unusable, in cluster mode.
            check(exited == 1 && config.cluster_mode);
            check(message.rfind("Error: Protocol error, invalid redirection: ", 0) == 0);
            break;
        }
        check(read_status == 0);
        if (config.cluster_reissue_command) {
            // Redirected: the new address came from the error text.
            check(config.cluster_mode && config.last_cmd_type == VORN_REPLY_ERROR);
        }
    }
    vornFree(context);
    context = nullptr;
    return 0;
}
