// The shell's line splitter in the script debugger, where "eval <expr>" and
// "e <expr>" keep the expression whole, and the unquoting of --quoted-input
// and --quoted-pattern. Both are checked against the argument splitter they
// build on: outside the debugger's two commands the shell must split a line
// exactly as the splitter does, and an unquoted string exists exactly when
// the splitter finds one word. The same line goes through the hints and Tab
// completion drawn from the command table (with a command learnt from a
// server): every completion must extend what was typed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "cli/config.h"
#include "cli/help.h"
#include "cli/options.h"
#include "cli/repl.h"
#include "hivorn/hivorn.h"
#include "lineedit/linenoise.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// The words of a split result (freed here), or false for none.
bool words(hisds *argv, int argc, std::vector<std::string> &out) {
    if (argv == nullptr) return false;
    check(argc >= 0);
    for (int i = 0; i < argc; i++)
        out.emplace_back(argv[i], hi_sdslen(argv[i]));
    hi_sdsfreesplitres(argv, argc);
    return true;
}

// Hints and completions for the line; a completion starts with the typed
// text, up to case.
void helpFor(const std::string &line) {
    int color = -1, bold = -1;
    if (char *hint = hintsCallback(line.c_str(), &color, &bold)) {
        check(color == 90 && bold == 0);
        freeHintsCallback(hint);
    }
    linenoiseCompletions lc = {0, nullptr};
    completionCallback(line.c_str(), &lc);
    for (size_t i = 0; i < lc.len; i++) {
        check(strlen(lc.cvec[i]) >= line.size() &&
              strncasecmp(lc.cvec[i], line.c_str(), line.size()) == 0);
        free(lc.cvec[i]);
    }
    free(lc.cvec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    cliInitHelp();
    // The table is freed before the leak check at exit, which would
    // otherwise find its strings after the table itself went away.
    atexit(cliFreeHelp);
    // A COMMAND reply naming one command the table does not know.
    static const char learnt[] = "*2\r\n*6\r\n$7\r\nfuzzcmd\r\n:-3\r\n*0\r\n:1\r\n:1\r\n:1\r\n"
                                 "*4\r\n$3\r\nGET\r\n:2\r\n*0\r\n:1\r\n";
    vornReader *r = vornReaderCreate();
    void *reply = nullptr;
    check(vornReaderFeed(r, learnt, sizeof(learnt) - 1) == VORN_OK &&
          vornReaderGetReply(r, &reply) == VORN_OK && reply != nullptr);
    cliIntegrateHelpFromReply(static_cast<vornReply *>(reply));
    freeReplyObject(reply);
    vornReaderFree(r);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    line.resize(strlen(line.c_str())); // a typed line ends at its first NUL

    std::vector<std::string> plain;
    int argc = -1;
    bool splits = words(hi_sdssplitargs(line.c_str(), &argc), argc, plain);

    // The shell outside the debugger is the splitter itself.
    config.eval_ldb = 0;
    std::vector<std::string> shell;
    argc = -1;
    check(words(cliSplitArgs(line.data(), &argc), argc, shell) == splits && shell == plain);

    config.eval_ldb = 1;
    std::vector<std::string> debugger;
    argc = -1;
    bool ok = words(cliSplitArgs(line.data(), &argc), argc, debugger);
    config.eval_ldb = 0;
    size_t cmdlen = line.starts_with("eval ") ? 4 : line.starts_with("e ") ? 1 : 0;
    if (cmdlen != 0) {
        check(ok && debugger.size() == 2);
        check(debugger[0] == line.substr(0, cmdlen) && debugger[1] == line.substr(cmdlen + 1));
    } else {
        check(ok == splits && debugger == plain);
    }

    hisds unquoted = unquoteCString(line.c_str());
    check((unquoted != nullptr) == (splits && plain.size() == 1));
    if (unquoted != nullptr) check(std::string(unquoted, hi_sdslen(unquoted)) == plain[0]);
    hi_sdsfree(unquoted);

    helpFor(line);
    return 0;
}
