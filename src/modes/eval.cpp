#include "modes/eval.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/command.h"
#include "cli/config.h"
#include "cli/connection.h"
#include "cli/repl.h"
#include "hivorn/hivorn.h"

namespace {

// The whole file, byte for byte; a file that cannot be opened ends the
// process.
hisds readScript(const char *path) {
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        fprintf(stderr, "Can't open file '%s': %s\n", path, strerror(errno));
        exit(1);
    }
    hisds script = hi_sdsempty();
    char buf[1024];
    size_t nread;
    while ((nread = fread(buf, 1, sizeof(buf), fp)) != 0)
        script = hi_sdscatlen(script, buf, nread);
    bool failed = ferror(fp) != 0;
    int saved = errno;
    fclose(fp);
    if (failed) {
        // A directory opens but cannot be read: sending part of a script
        // would run something else than the file says.
        fprintf(stderr, "Can't read file '%s': %s\n", path, strerror(saved));
        hi_sdsfree(script);
        exit(1);
    }
    return script;
}

} // namespace

std::vector<hisds> evalRequest(hisds script, int argc, char **argv) {
    std::vector<hisds> req;
    req.reserve(static_cast<size_t>(argc) + 3);
    req.push_back(hi_sdsnew("EVAL"));
    req.push_back(script);
    req.push_back(nullptr); // the key count, known at the end
    bool got_comma = false;
    int keys = 0;
    for (int j = 0; j < argc; j++) {
        if (!got_comma && strcmp(argv[j], ",") == 0) {
            got_comma = true;
            continue;
        }
        req.push_back(hi_sdsnew(argv[j]));
        if (!got_comma) keys++;
    }
    req[2] = hi_sdscatprintf(hi_sdsempty(), "%d", keys);
    return req;
}

int evalMode(int argc, char **argv) {
    int retval = 0;
    for (;;) {
        if (config.eval_ldb) {
            printf("Lua debugging session started, please use:\n"
                   "quit    -- End the session.\n"
                   "restart -- Restart the script in debug mode again.\n"
                   "help    -- Show Lua script debugging commands.\n\n");
        }
        hisds script = readScript(config.eval);

        if (config.eval_ldb) {
            void *reply = vornCommand(context, config.eval_ldb_sync ? "SCRIPT DEBUG sync"
                                                                    : "SCRIPT DEBUG yes");
            if (reply != nullptr) freeReplyObject(reply);
        }

        std::vector<hisds> req = evalRequest(script, argc, argv);
        const int eval_ldb = config.eval_ldb;
        retval = issueCommandRepeat(static_cast<int>(req.size()), req.data(), config.repeat);
        for (hisds w : req)
            hi_sdsfree(w);

        if (!eval_ldb) break;
        if (!config.eval_ldb) {
            // The server ended the session before it began; its next reply
            // says why.
            printf("Eval debugging session can't start:\n");
            cliReadReply(0);
            break;
        }

        strncpy(config.prompt, "lua debugger> ", sizeof(config.prompt));
        repl(); // returns for "restart" only
        cliConnect(CC_FORCE);
        printf("\n");
    }
    return retval;
}
