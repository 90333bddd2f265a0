// The line editor's key handling: bytes from the terminal (keys, escape
// sequences, UTF-8, broken sequences) drive the editing state machine, with
// history, Tab completion and hints in play. After every byte the cursor
// must lie within the line; a finished line starts a fresh editor.
//
// The first byte picks the settings: multi-line (bit 0), masked input
// (bit 1), an Esc key on its own after every byte that leaves an escape
// pending (bit 2), and the terminal width (bits 3-7, 1 to 32 columns, or 80
// for 0). The rest is the keyboard input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lineedit/editor.h"
#include "lineedit/history.h"
#include "lineedit/linenoise.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

void complete(const char *line, linenoiseCompletions *lc) {
    if (line[0] == '\0') return;
    std::string longer = std::string(line) + "ab\xc3\xa9";
    linenoiseAddCompletion(lc, longer.c_str());
    if (line[0] == 's' || line[0] == 'S') linenoiseAddCompletion(lc, "SET key value");
    linenoiseAddCompletion(lc, "");
}

char *hint(const char *line, int *color, int *bold) {
    size_t len = strlen(line);
    if (len == 0 || len % 3 == 0) return nullptr;
    *color = len % 2 ? 90 : -1;
    *bold = len % 5 == 0;
    return strdup(len % 2 ? " key \xe4\xb8\xad value" : " [\x1b[1mopt\x1b[0m]");
}

void freeHint(void *h) {
    free(h);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    unsigned flags = data[0];
    lineedit::EditorOptions opts;
    opts.multiline = flags & 1;
    opts.mask = flags & 2;
    opts.completion = complete;
    opts.hints = hint;
    opts.free_hints = freeHint;
    bool escTimeouts = flags & 4;
    size_t cols = flags >> 3; // 0 means the default width

    lineedit::History history;
    for (const char *l : {"GET key", "", "SET k \"v w\"", "\xe4\xb8\xad\xe6\x96\x87 x"})
        history.add(l);

    std::string out;
    auto editor = std::make_unique<lineedit::LineEditor>("vorn> ", cols, opts, &history);
    editor->begin(out);
    for (size_t i = 1; i < size; i++) {
        lineedit::EditStatus s = editor->feed(data[i], out);
        if (escTimeouts && s == lineedit::EditStatus::Editing && editor->escapePending())
            editor->escapeTimeout(out);
        check(editor->cursor() <= editor->line().size());
        if (s != lineedit::EditStatus::Editing) {
            if (s == lineedit::EditStatus::Accepted) history.add(editor->line());
            editor = std::make_unique<lineedit::LineEditor>("vorn> ", cols, opts, &history);
            editor->begin(out);
        }
        if (out.size() > (1u << 16)) out.clear();
    }
    return 0;
}
