// The editing state machine: bytes read from the terminal go in, the edited
// line changes and the escape sequences that redraw it come out. It touches no
// terminal itself, so the whole key handling can be driven from a byte string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "lineedit/linenoise.h"
#include "lineedit/render.h"

namespace lineedit {

class History;

struct EditorOptions {
    bool multiline = false;
    bool mask = false;
    linenoiseCompletionCallback *completion = nullptr;
    linenoiseHintsCallback *hints = nullptr;
    linenoiseFreeHintsCallback *free_hints = nullptr;
};

enum class EditStatus {
    Editing,     // more input needed
    Accepted,    // Enter: line() is the result
    Interrupted, // Ctrl-C
    EndOfInput,  // Ctrl-D on an empty line
};

class LineEditor {
  public:
    // `history` (may be none) is copied: recalled lines can be edited without
    // changing the stored history.
    LineEditor(std::string prompt, size_t cols, EditorOptions opts, const History *history);

    // Draws the prompt.
    void begin(std::string &out);
    // Processes one input byte, appending screen output to `out`.
    EditStatus feed(unsigned char byte, std::string &out);
    // True while an Esc byte waits to learn whether a sequence follows.
    bool escapePending() const { return decode_ == Decode::Escape; }
    // Nothing followed the Esc byte: it was the Esc key.
    void escapeTimeout(std::string &out);

    // While more input is already waiting (a paste, typing ahead), redraws
    // are put off: drawing the line and asking for its hint after every
    // byte would cost time in the square of the pasted length.
    void setDeferred(bool deferred) { deferred_ = deferred; }
    // Draws the line if a redraw was put off.
    void redrawIfDeferred(std::string &out);

    void setColumns(size_t cols) { cols_ = cols ? cols : 80; }
    const std::string &line() const { return buf_; }
    size_t cursor() const { return pos_; }
    bool completing() const { return completing_; }

  private:
    enum class Key {
        None,
        Text,
        Enter,
        Tab,
        Escape,
        Backspace,
        Delete,
        Left,
        Right,
        Up,
        Down,
        Home,
        End,
        CtrlA,
        CtrlB,
        CtrlC,
        CtrlD,
        CtrlE,
        CtrlF,
        CtrlK,
        CtrlL,
        CtrlN,
        CtrlP,
        CtrlT,
        CtrlU,
        CtrlW,
    };
    enum class Decode { Ground, Escape, Csi, Ss3, Utf8 };

    EditStatus dispatch(Key key, std::string &out);
    EditStatus edit(Key key, std::string &out);
    Key decodeCsi(char final) const;

    void insert(std::string_view text);
    void historyStep(int dir);
    void startCompletion(std::string &out);
    void stopCompletion(bool accept);
    void refresh(std::string &out, bool with_hint = true);
    EditStatus finish(EditStatus status, std::string &out);
    // Shows the line as given up and starts an empty one below it.
    void abandonLine(std::string &out);

    std::string prompt_;
    size_t cols_;
    EditorOptions opts_;
    std::string buf_;
    size_t pos_ = 0;
    MultiLineLayout layout_;

    // History as seen by this edit: stored lines then the line being typed.
    std::vector<std::string> entries_;
    size_t entry_ = 0;

    bool deferred_ = false;
    bool stale_ = false; // a redraw was put off

    bool completing_ = false;
    std::vector<std::string> candidates_;
    size_t candidate_ = 0; // == candidates_.size(): the typed text is shown
    std::string typed_;    // the line as it was when Tab was pressed
    size_t typed_pos_ = 0;

    Decode decode_ = Decode::Ground;
    std::string pending_; // bytes of an escape sequence or UTF-8 character
    size_t utf8_need_ = 0;
};

} // namespace lineedit
