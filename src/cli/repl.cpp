// The interactive session. Lines are read with the line editor, local
// commands (quit, exit, connect, clear, restart, ":set ...") are handled
// here, and everything else goes to command execution with an optional
// leading repeat count.
#include "cli/repl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli/command.h"
#include "cli/config.h"
#include "cli/connection.h"
#include "cli/help.h"
#include "cli/numbers.h"
#include "cli/options.h"
#include "hivorn/alloc.h"
#include "lineedit/linenoise.h"
#include "support/util_time.h"

namespace {

// Repeat counts are parsed with strtol; "5" alone is still a command.
struct RepeatCount {
    long repeat = 1;
    int skip = 0;     // words taken by the count (0 or 1)
    bool bad = false; // a count that is out of range or not positive
};

RepeatCount parseRepeat(hisds *argv, int argc) {
    RepeatCount rc;
    if (argc < 2 || argv[0][0] == '\0') return rc;
    char *end = nullptr;
    errno = 0;
    long n = strtol(argv[0], &end, 10);
    if (*end != '\0') return rc;
    rc.skip = 1;
    if (errno == ERANGE || n <= 0)
        rc.bad = true;
    else
        rc.repeat = n;
    return rc;
}

bool anyWordIs(hisds *argv, int from, int argc, std::initializer_list<const char *> names) {
    for (int i = from; i < argc; i++)
        for (const char *name : names)
            if (!strcasecmp(argv[i], name)) return true;
    return false;
}

// True when the words after an optional repeat count form a command that
// carries a password: those lines never reach the history. A word such as a
// key that merely looks like one of the markers keeps a line out too, which
// costs nothing but a history entry.
bool carriesSecret(hisds *argv, int argc) {
    int first = parseRepeat(argv, argc).skip;
    if (argc <= first) return false;
    const char *cmd = argv[first];
    if (!strcasecmp(cmd, "auth")) return true;
    if (!strcasecmp(cmd, "acl")) return argc > first + 1 && !strcasecmp(argv[first + 1], "setuser");
    if (!strcasecmp(cmd, "hello")) return anyWordIs(argv, first + 1, argc, {"auth"});
    if (!strcasecmp(cmd, "migrate")) return anyWordIs(argv, first + 1, argc, {"auth", "auth2"});
    if (!strcasecmp(cmd, "config"))
        return argc > first + 1 && !strcasecmp(argv[first + 1], "set") &&
               anyWordIs(argv, first + 2, argc,
                         {"requirepass", "masterauth", "masteruser", "tls-key-file-pass",
                          "tls-client-key-file-pass"});
    return false;
}

// The words of a line that does not split, read loosely: words end at
// blanks, and quote characters are either dropped (auth"pw reads authpw) or
// end a word too (acl "setuser"bob reads acl setuser bob).
bool looseWordsCarrySecret(const char *line, bool quotes_separate) {
    const char *blanks = quotes_separate ? " \t\r\n\v\f\"'" : " \t\r\n\v\f";
    std::vector<hisds> words;
    const char *p = line;
    while (*p != '\0') {
        size_t len = strcspn(p, blanks);
        hisds w = hi_sdsempty();
        for (size_t i = 0; i < len && w != nullptr; i++)
            if (p[i] != '"' && p[i] != '\'') w = hi_sdscatlen(w, p + i, 1);
        if (w == nullptr) break;
        if (hi_sdslen(w) > 0)
            words.push_back(w);
        else
            hi_sdsfree(w);
        p += len;
        while (*p != '\0' && strchr(blanks, *p) != nullptr)
            p++;
    }
    bool secret = carriesSecret(words.data(), static_cast<int>(words.size()));
    for (hisds w : words)
        hi_sdsfree(w);
    return secret;
}

// A line with unbalanced quotes cannot be split, yet a mistyped password
// command must stay out of the history file too: it is kept out when either
// loose reading of its words carries a secret.
bool unsplittableLineCarriesSecret(const char *line) {
    return looseWordsCarrySecret(line, false) || looseWordsCarrySecret(line, true);
}

// A per-user file that exists but is not a regular file is skipped with one
// warning: reading a FIFO would hold the session up before its first prompt,
// and a directory or device is no place for the file. The null device is the
// usual way of keeping no file at all, and is skipped without a word.
bool usableDotfile(const char *path, const char *what) {
    struct stat st;
    if (stat(path, &st) != 0 || S_ISREG(st.st_mode)) return true;
    struct stat null;
    bool isnull =
        S_ISCHR(st.st_mode) && stat("/dev/null", &null) == 0 && null.st_rdev == st.st_rdev;
    if (!isnull)
        fprintf(stderr, "Warning: %s %s is not a regular file; not using it\n", what, path);
    return false;
}

int history = 0;             // in-memory history is kept (input is a terminal)
hisds historyfile = nullptr; // where it is saved after every line; may be null

bool historySaveWarned = false; // a failed save is reported once per session

void recordLine(const char *line) {
    if (history) linenoiseHistoryAdd(line);
    if (historyfile != nullptr && linenoiseHistorySave(historyfile) != 0 && !historySaveWarned) {
        // The previous file is still whole; only the newest lines are missing.
        fprintf(stderr, "Warning: could not save the history to %s: %s\n", historyfile,
                strerror(errno));
        historySaveWarned = true;
    }
}

void startSession() {
    cliInitHelp();
    // A debugger console's connection belongs to the script debugger, which
    // would take COMMAND for one of its own commands.
    if (!config.eval_ldb) cliIntegrateHelp();

    config.interactive = 1;
    linenoiseSetMultiLine(1);
    linenoiseSetCompletionCallback(completionCallback);
    linenoiseSetHintsCallback(hintsCallback);
    linenoiseSetFreeHintsCallback(freeHintsCallback);

    if (isatty(fileno(stdin))) {
        history = 1;
        hi_sdsfree(historyfile);
        historyfile = getDotfilePath("VORNCLI_HISTFILE", ".vorncli_history");
        if (historyfile != nullptr && !usableDotfile(historyfile, "history file")) {
            hi_sdsfree(historyfile);
            historyfile = nullptr;
        }
        if (historyfile != nullptr) linenoiseHistoryLoad(historyfile);
        cliLoadPreferences();
    }
    cliRefreshPrompt();
}

// The final reply of a debugged EVAL, once the debugger said it ended.
void finishDebuggerSession() {
    config.eval_ldb_end = 0;
    cliReadReply(0);
    printf("\n(Lua debugging session ended%s)\n\n",
           config.eval_ldb_sync ? "" : " -- dataset changes rolled back");
}

void runCommand(hisds *argv, int argc, const RepeatCount &rc) {
    long long start = mstime();
    issueCommandRepeat(argc - rc.skip, argv + rc.skip, rc.repeat);
    if (config.eval_ldb_end) finishDebuggerSession();
    long long elapsed = mstime() - start;
    if (config.output == OUTPUT_STANDARD && elapsed >= 500)
        printf("(%.2fs)\n", static_cast<double>(elapsed) / 1000);
}

} // namespace

hisds *cliSplitArgs(char *line, int *argc) {
    if (config.eval_ldb && (!strncmp(line, "eval ", 5) || !strncmp(line, "e ", 2))) {
        size_t cmdlen = line[1] == ' ' ? 1 : 4;
        auto *argv = static_cast<hisds *>(hi_malloc(sizeof(hisds) * 2));
        if (argv == nullptr) return nullptr;
        argv[0] = hi_sdsnewlen(line, cmdlen);
        argv[1] = hi_sdsnew(line + cmdlen + 1);
        if (argv[0] == nullptr || argv[1] == nullptr) {
            hi_sdsfreesplitres(argv, 2);
            return nullptr;
        }
        *argc = 2;
        return argv;
    }
    return hi_sdssplitargs(line, argc);
}

void cliSetPreferences(hisds *argv, int argc, int interactive) {
    const char *prefix = interactive ? "" : ".vornclirc: ";
    if (strcasecmp(argv[0], ":set") != 0 || argc < 2) {
        printf("%sunknown vorn-cli internal command '%s'\n", prefix, argv[0]);
        return;
    }
    if (!strcasecmp(argv[1], "hints"))
        pref.hints = 1;
    else if (!strcasecmp(argv[1], "nohints"))
        pref.hints = 0;
    else
        printf("%sunknown vorn-cli preference '%s'\n", prefix, argv[1]);
}

void cliLoadPreferences(void) {
    hisds rcfile = getDotfilePath("VORNCLI_RCFILE", ".vornclirc");
    if (rcfile == nullptr) return;
    bool usable = usableDotfile(rcfile, "preferences file");
    // Opened without waiting, and read only when it is a regular file, so
    // that nothing put there in the meantime can hold the session up.
    int fd = usable ? open(rcfile, O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    hi_sdsfree(rcfile);
    if (fd < 0) return;
    struct stat st;
    FILE *fp = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (fp = fdopen(fd, "r")) == nullptr) {
        close(fd);
        return;
    }
    char buf[1024];
    while (fgets(buf, sizeof(buf), fp) != nullptr) {
        int argc = 0;
        hisds *argv = hi_sdssplitargs(buf, &argc);
        if (argv == nullptr) continue;
        if (argc > 0) cliSetPreferences(argv, argc, 0);
        hi_sdsfreesplitres(argv, argc);
    }
    fclose(fp);
}

namespace {

// The words of one line, released with it.
struct Words {
    hisds *argv = nullptr;
    int argc = 0;
    Words(const Words &) = delete;
    Words &operator=(const Words &) = delete;
    explicit Words(char *line) { argv = cliSplitArgs(line, &argc); }
    ~Words() {
        if (argv != nullptr) hi_sdsfreesplitres(argv, argc);
    }
};

// Acts on one non-empty line. Returns true for the debugger's "restart",
// which leaves the session.
bool evalLine(char *line) {
    Words words(line);
    if (words.argv == nullptr) {
        if (!unsplittableLineCarriesSecret(line)) recordLine(line);
        printf("Invalid argument(s)\n");
        fflush(stdout);
        return false;
    }
    if (words.argc == 0) return false; // blanks only
    hisds *argv = words.argv;
    int argc = words.argc;

    RepeatCount rc = parseRepeat(argv, argc);
    if (rc.bad) {
        fputs("Invalid vorn-cli repeat command option value.\n", stdout);
        fflush(stdout);
        return false;
    }
    if (!carriesSecret(argv, argc)) recordLine(line);

    if (!strcasecmp(argv[0], "quit") || !strcasecmp(argv[0], "exit")) exit(0);

    if (argv[0][0] == ':') {
        cliSetPreferences(argv, argc, 1);
    } else if (!strcasecmp(argv[0], "restart")) {
        if (config.eval) {
            config.eval_ldb = 1;
            config.output = OUTPUT_RAW;
            return true; // the debugger driver starts the session again
        }
        printf("Use 'restart' only in Lua debugging mode.");
    } else if (argc == 3 && !strcasecmp(argv[0], "connect")) {
        long long port = 0;
        if (!cliParseInteger(argv[2], cliPortRange, &port)) {
            printf("Invalid value for connect: '%s' (expected %s)\n", argv[2], cliPortRange.what);
            fflush(stdout);
            return false;
        }
        hi_sdsfree(config.hostip);
        config.hostip = hi_sdsnew(argv[1]);
        config.hostport = static_cast<int>(port);
        cliRefreshPrompt();
        cliConnect(CC_FORCE);
    } else if (argc == 1 && !strcasecmp(argv[0], "clear")) {
        linenoiseClearScreen();
    } else {
        runCommand(argv, argc, rc);
    }
    fflush(stdout);
    return false;
}

// The next line typed. Memory kept for the next large reply goes back first:
// the session may now sit idle for any length of time.
char *readLine() {
    hivornReleaseKeptMemory();
    return linenoise(context != nullptr ? config.prompt : "not connected> ");
}

} // namespace

void repl(void) {
    startSession();

    char *line;
    while ((line = readLine()) != nullptr) {
        bool restart = line[0] != '\0' && evalLine(line);
        linenoiseFree(line);
        if (restart) return;
    }
    exit(0);
}
