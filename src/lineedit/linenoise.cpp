// The public line-editing functions: settings, history and the read loop that
// connects the editing state machine to the terminal.
#include "lineedit/linenoise.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lineedit/editor.h"
#include "lineedit/history.h"
#include "lineedit/terminal.h"

namespace {

lineedit::History history;
lineedit::EditorOptions options;

// How long an Esc byte waits for the rest of an escape sequence before it
// counts as the Esc key on its own.
constexpr int kEscapeWaitMs = 50;

// Reads a line of any length from a stream, without its line end; none at end
// of input when nothing was read.
char *readPlainLine(FILE *in, bool strip_cr) {
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n = getline(&line, &cap, in);
    if (n < 0) {
        free(line);
        return nullptr;
    }
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    if (strip_cr && n > 0 && line[n - 1] == '\r') line[--n] = '\0';
    return line;
}

char *editOnTerminal(const char *prompt) {
    // Whatever the caller printed through stdio must reach the screen before
    // the prompt, which is written directly.
    fflush(stdout);
    if (lineedit::term::enableRawMode(STDIN_FILENO) == -1) return nullptr;

    lineedit::LineEditor editor(prompt, lineedit::term::columns(STDIN_FILENO, STDOUT_FILENO),
                                options, &history);
    std::string out;
    editor.begin(out);
    lineedit::term::writeAll(STDOUT_FILENO, out);

    lineedit::EditStatus status = lineedit::EditStatus::Editing;
    while (status == lineedit::EditStatus::Editing) {
        out.clear();
        unsigned char c;
        int r =
            lineedit::term::readByte(STDIN_FILENO, c, editor.escapePending() ? kEscapeWaitMs : -1);
        if (r < 0) {
            status = lineedit::EditStatus::EndOfInput;
            break;
        }
        // Follow window size changes between key presses.
        if (size_t cols = lineedit::term::windowColumns(STDOUT_FILENO)) editor.setColumns(cols);
        bool more = r == 1 && lineedit::term::inputPending(STDIN_FILENO);
        editor.setDeferred(more);
        if (r == 0)
            editor.escapeTimeout(out);
        else
            status = editor.feed(c, out);
        if (!more && status == lineedit::EditStatus::Editing) editor.redrawIfDeferred(out);
        lineedit::term::writeAll(STDOUT_FILENO, out);
    }

    lineedit::term::disableRawMode(STDIN_FILENO);
    lineedit::term::writeAll(STDOUT_FILENO, "\n");
    switch (status) {
    case lineedit::EditStatus::Accepted:
        return strdup(editor.line().c_str());
    case lineedit::EditStatus::Interrupted:
        errno = EAGAIN;
        return nullptr;
    default:
        errno = ENOENT;
        return nullptr;
    }
}

} // namespace

char *linenoise(const char *prompt) {
    if (!prompt) prompt = "";
    if (!isatty(STDIN_FILENO)) return readPlainLine(stdin, false);
    if (lineedit::term::isUnsupportedTerm()) {
        fputs(prompt, stdout);
        fflush(stdout);
        return readPlainLine(stdin, true);
    }
    return editOnTerminal(prompt);
}

void linenoiseFree(void *ptr) {
    free(ptr);
}

void linenoiseSetMultiLine(int ml) {
    options.multiline = ml != 0;
}
void linenoiseSetCompletionCallback(linenoiseCompletionCallback *fn) {
    options.completion = fn;
}
void linenoiseSetHintsCallback(linenoiseHintsCallback *fn) {
    options.hints = fn;
}
void linenoiseSetFreeHintsCallback(linenoiseFreeHintsCallback *fn) {
    options.free_hints = fn;
}
void linenoiseMaskModeEnable(void) {
    options.mask = true;
}
void linenoiseMaskModeDisable(void) {
    options.mask = false;
}

void linenoiseAddCompletion(linenoiseCompletions *lc, const char *str) {
    char *copy = strdup(str);
    if (!copy) return;
    auto *cvec = static_cast<char **>(realloc(lc->cvec, sizeof(char *) * (lc->len + 1)));
    if (!cvec) {
        free(copy);
        return;
    }
    lc->cvec = cvec;
    lc->cvec[lc->len++] = copy;
}

int linenoiseHistoryAdd(const char *line) {
    return line && history.add(line) ? 1 : 0;
}
int linenoiseHistorySetMaxLen(int len) {
    return history.setMaxLen(len) ? 1 : 0;
}
int linenoiseHistorySave(const char *filename) {
    return history.save(filename);
}
int linenoiseHistoryLoad(const char *filename) {
    return history.load(filename);
}

void linenoiseClearScreen(void) {
    fflush(stdout);
    lineedit::term::writeAll(STDOUT_FILENO, "\x1b[H\x1b[2J");
}
