#include "lineedit/editor.h"

#include <cstdlib>
#include <utility>

#include "lineedit/history.h"
#include "lineedit/utf8.h"

namespace lineedit {

namespace {

constexpr size_t kMaxSequence = 16; // longer escape sequences are dropped
const char kBeep[] = "\x07";

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

LineEditor::LineEditor(std::string prompt, size_t cols, EditorOptions opts, const History *history)
    : prompt_(std::move(prompt)), cols_(cols ? cols : 80), opts_(opts) {
    if (history)
        for (size_t i = 0; i < history->size(); i++)
            entries_.push_back(history->at(i));
    entries_.emplace_back();
    entry_ = entries_.size() - 1;
}

void LineEditor::begin(std::string &out) {
    refresh(out);
}

// ---- input decoding ----

EditStatus LineEditor::feed(unsigned char c, std::string &out) {
    switch (decode_) {
    case Decode::Escape:
        if (c == '[' || c == 'O') {
            decode_ = c == '[' ? Decode::Csi : Decode::Ss3;
            pending_.clear();
            return EditStatus::Editing;
        }
        // Esc followed by something that starts no sequence: the Esc key,
        // then the byte on its own.
        decode_ = Decode::Ground;
        if (EditStatus s = dispatch(Key::Escape, out); s != EditStatus::Editing) return s;
        return feed(c, out);
    case Decode::Csi:
        if (c >= 0x20 && c <= 0x3F) {
            // An overlong sequence is read to its end and then ignored.
            if (pending_.size() <= kMaxSequence) pending_ += static_cast<char>(c);
            return EditStatus::Editing;
        }
        decode_ = Decode::Ground;
        if (c >= 0x40 && c <= 0x7E) {
            if (pending_.size() > kMaxSequence) return EditStatus::Editing;
            return dispatch(decodeCsi(static_cast<char>(c)), out);
        }
        // A byte that cannot be part of a sequence ends it and counts on its own.
        return feed(c, out);
    case Decode::Ss3:
        decode_ = Decode::Ground;
        pending_.clear();
        return dispatch(decodeCsi(static_cast<char>(c)), out);
    case Decode::Utf8:
        if (utf8::isContinuation(c)) {
            pending_ += static_cast<char>(c);
            if (--utf8_need_ > 0) return EditStatus::Editing;
            decode_ = Decode::Ground;
            insert(pending_);
            return dispatch(Key::Text, out);
        }
        // A broken sequence is kept byte for byte, then the byte is read anew.
        decode_ = Decode::Ground;
        insert(pending_);
        if (EditStatus s = dispatch(Key::Text, out); s != EditStatus::Editing) return s;
        return feed(c, out);
    case Decode::Ground:
        break;
    }

    if (c == 27) {
        decode_ = Decode::Escape;
        return EditStatus::Editing;
    }
    if (c >= 0x80) {
        size_t n = utf8::sequenceLength(c);
        if (n > 1) {
            decode_ = Decode::Utf8;
            pending_.assign(1, static_cast<char>(c));
            utf8_need_ = n - 1;
            return EditStatus::Editing;
        }
    }
    if (c >= 32 && c != 127) {
        insert(std::string_view(reinterpret_cast<const char *>(&c), 1));
        return dispatch(Key::Text, out);
    }
    switch (c) {
    case 1:
        return dispatch(Key::CtrlA, out);
    case 2:
        return dispatch(Key::CtrlB, out);
    case 3:
        return dispatch(Key::CtrlC, out);
    case 4:
        return dispatch(Key::CtrlD, out);
    case 5:
        return dispatch(Key::CtrlE, out);
    case 6:
        return dispatch(Key::CtrlF, out);
    case 8:
        return dispatch(Key::Backspace, out);
    case 9:
        return dispatch(Key::Tab, out);
    case 10: // Ctrl-J, or a line end that arrived untranslated
    case 13:
        return dispatch(Key::Enter, out);
    case 11:
        return dispatch(Key::CtrlK, out);
    case 12:
        return dispatch(Key::CtrlL, out);
    case 14:
        return dispatch(Key::CtrlN, out);
    case 16:
        return dispatch(Key::CtrlP, out);
    case 20:
        return dispatch(Key::CtrlT, out);
    case 21:
        return dispatch(Key::CtrlU, out);
    case 23:
        return dispatch(Key::CtrlW, out);
    case 127:
        return dispatch(Key::Backspace, out);
    default:
        return EditStatus::Editing; // other control characters are ignored
    }
}

void LineEditor::escapeTimeout(std::string &out) {
    if (decode_ != Decode::Escape) return;
    decode_ = Decode::Ground;
    dispatch(Key::Escape, out);
}

LineEditor::Key LineEditor::decodeCsi(char final) const {
    switch (final) {
    case 'A':
        return Key::Up;
    case 'B':
        return Key::Down;
    case 'C':
        return Key::Right;
    case 'D':
        return Key::Left;
    case 'H':
        return Key::Home;
    case 'F':
        return Key::End;
    case '~': {
        // ESC [ n ~ with n possibly followed by ";modifier".
        int n = 0;
        for (size_t i = 0; i < pending_.size() && pending_[i] >= '0' && pending_[i] <= '9'; i++)
            if (n < 1000) n = n * 10 + (pending_[i] - '0'); // large numbers name no key

        if (n == 1 || n == 7) return Key::Home;
        if (n == 4 || n == 8) return Key::End;
        if (n == 3) return Key::Delete;
        return Key::None;
    }
    default:
        return Key::None;
    }
}

// ---- key handling ----

// Text keys have already been inserted by the decoder (see insert), so that a
// multi-byte character arrives as one unit; only the completion state and the
// redraw are left to do here.
EditStatus LineEditor::dispatch(Key key, std::string &out) {
    if (completing_) {
        if (key == Key::Tab) {
            candidate_ = (candidate_ + 1) % (candidates_.size() + 1);
            if (candidate_ == candidates_.size()) {
                buf_ = typed_;
                pos_ = typed_pos_;
                out += kBeep;
            } else {
                buf_ = candidates_[candidate_];
                pos_ = buf_.size();
            }
            refresh(out);
            return EditStatus::Editing;
        }
        if (key == Key::Escape) {
            stopCompletion(false);
            refresh(out);
            return EditStatus::Editing;
        }
        // Any other key takes the candidate shown and then acts as usual.
        stopCompletion(true);
    }
    return edit(key, out);
}

EditStatus LineEditor::edit(Key key, std::string &out) {
    switch (key) {
    case Key::Text:
        break;
    case Key::Enter:
        return finish(EditStatus::Accepted, out);
    case Key::CtrlC:
        // As in shells: Ctrl-C abandons the line typed so far and offers a
        // fresh prompt; only on an empty line does it end the input.
        if (buf_.empty()) return finish(EditStatus::Interrupted, out);
        abandonLine(out);
        return EditStatus::Editing;
    case Key::CtrlD:
        if (buf_.empty()) return finish(EditStatus::EndOfInput, out);
        [[fallthrough]];
    case Key::Delete:
        if (pos_ < buf_.size()) buf_.erase(pos_, utf8::next(buf_, pos_) - pos_);
        break;
    case Key::Backspace:
        if (pos_ > 0) {
            size_t p = utf8::prev(buf_, pos_);
            buf_.erase(p, pos_ - p);
            pos_ = p;
        }
        break;
    case Key::Tab:
        if (opts_.completion) {
            startCompletion(out);
            return EditStatus::Editing;
        }
        return EditStatus::Editing;
    case Key::Left:
    case Key::CtrlB:
        pos_ = utf8::prev(buf_, pos_);
        break;
    case Key::Right:
    case Key::CtrlF:
        pos_ = utf8::next(buf_, pos_);
        break;
    case Key::Home:
    case Key::CtrlA:
        pos_ = 0;
        break;
    case Key::End:
    case Key::CtrlE:
        pos_ = buf_.size();
        break;
    case Key::Up:
    case Key::CtrlP:
        historyStep(-1);
        break;
    case Key::Down:
    case Key::CtrlN:
        historyStep(1);
        break;
    case Key::CtrlK:
        buf_.erase(pos_);
        break;
    case Key::CtrlU:
        buf_.clear();
        pos_ = 0;
        break;
    case Key::CtrlW: {
        size_t p = pos_;
        while (p > 0 && isSpace(buf_[p - 1]))
            p--;
        while (p > 0 && !isSpace(buf_[p - 1]))
            p--;
        buf_.erase(p, pos_ - p);
        pos_ = p;
        break;
    }
    case Key::CtrlT:
        // Swap the characters on both sides of the cursor, then step over
        // them unless the cursor is already on the last character.
        if (pos_ > 0 && pos_ < buf_.size()) {
            size_t a = utf8::prev(buf_, pos_);
            size_t b = utf8::next(buf_, pos_);
            std::string left = buf_.substr(a, pos_ - a);
            std::string right = buf_.substr(pos_, b - pos_);
            buf_.replace(a, b - a, right + left);
            pos_ = a + right.size();
            if (b < buf_.size()) pos_ = b;
        }
        break;
    case Key::CtrlL:
        out += "\x1b[H\x1b[2J";
        layout_ = MultiLineLayout{};
        break;
    case Key::Escape:
    case Key::None:
        return EditStatus::Editing;
    }
    refresh(out);
    return EditStatus::Editing;
}

void LineEditor::insert(std::string_view text) {
    // Typing while a candidate is shown takes that candidate and continues
    // after it.
    if (completing_) stopCompletion(true);
    buf_.insert(pos_, text);
    pos_ += text.size();
}

void LineEditor::historyStep(int dir) {
    if (entries_.size() < 2) return;
    if (dir < 0 && entry_ == 0) return;
    if (dir > 0 && entry_ + 1 == entries_.size()) return;
    entries_[entry_] = buf_; // keep what was edited on this entry
    entry_ = dir < 0 ? entry_ - 1 : entry_ + 1;
    buf_ = entries_[entry_];
    pos_ = buf_.size();
}

// ---- completion ----

void LineEditor::startCompletion(std::string &out) {
    linenoiseCompletions lc = {0, nullptr};
    opts_.completion(buf_.c_str(), &lc);
    candidates_.clear();
    for (size_t i = 0; i < lc.len; i++) {
        candidates_.emplace_back(lc.cvec[i]);
        std::free(lc.cvec[i]);
    }
    std::free(lc.cvec);
    if (candidates_.empty()) {
        out += kBeep;
        return;
    }
    completing_ = true;
    typed_ = buf_;
    typed_pos_ = pos_;
    candidate_ = 0;
    buf_ = candidates_[0];
    pos_ = buf_.size();
    refresh(out);
}

void LineEditor::stopCompletion(bool accept) {
    completing_ = false;
    if (!accept) {
        buf_ = typed_;
        pos_ = typed_pos_;
    }
    candidates_.clear();
}

// ---- drawing ----

void LineEditor::redrawIfDeferred(std::string &out) {
    if (!stale_) return;
    deferred_ = false;
    refresh(out);
}

void LineEditor::refresh(std::string &out, bool with_hint) {
    // Nothing is drawn in between, so the layout of the last drawing stays
    // true for the one that catches up.
    if (deferred_) {
        stale_ = true;
        return;
    }
    stale_ = false;
    Frame f;
    f.prompt = prompt_;
    f.buf = buf_;
    f.pos = pos_;
    f.cols = cols_;
    f.mask = opts_.mask;
    std::string hint;
    // No hints for a masked line: a hint derived from a secret would show it.
    if (with_hint && opts_.hints && !opts_.mask) {
        int color = -1, bold = 0;
        if (char *h = opts_.hints(buf_.c_str(), &color, &bold)) {
            hint = h;
            if (opts_.free_hints) opts_.free_hints(h);
            f.hint_color = color;
            f.hint_bold = bold;
        }
    }
    f.hint = hint;
    if (opts_.multiline)
        renderMultiLine(f, layout_, out);
    else
        renderSingleLine(f, out);
}

void LineEditor::abandonLine(std::string &out) {
    finish(EditStatus::Editing, out);
    out += "^C\r\n";
    buf_.clear();
    pos_ = 0;
    layout_ = MultiLineLayout{};
    // Walking the history starts again from the new, empty line.
    entry_ = entries_.size() - 1;
    entries_[entry_].clear();
    refresh(out);
}

EditStatus LineEditor::finish(EditStatus status, std::string &out) {
    // Leave the cursor after the whole line and drop the hint, so that what
    // follows starts below the line and the screen shows what was entered.
    pos_ = buf_.size();
    deferred_ = false;
    refresh(out, false);
    return status;
}

} // namespace lineedit
