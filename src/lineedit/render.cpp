#include "lineedit/render.h"

#include "lineedit/utf8.h"

namespace lineedit {

namespace {

// The text actually shown for the line, and the cursor's index into it.
struct Display {
    std::string masked;
    std::string_view text;
    size_t pos;
};

Display displayOf(const Frame &f) {
    Display d;
    if (f.mask) {
        d.masked.assign(utf8::count(f.buf), '*');
        d.text = d.masked;
        d.pos = utf8::count(f.buf.substr(0, f.pos));
    } else {
        d.text = f.buf;
        d.pos = f.pos;
    }
    return d;
}

void appendHint(const Frame &f, size_t room, std::string &out) {
    if (f.hint.empty() || room == 0) return;
    std::string_view shown = utf8::fitPrefix(f.hint, room);
    int color = f.hint_color, bold = f.hint_bold;
    if (bold == 1 && color == -1) color = 37;
    bool styled = color != -1 || bold != 0;
    if (styled) out += "\x1b[" + std::to_string(bold) + ";" + std::to_string(color) + ";49m";
    out.append(shown);
    if (styled) out += "\x1b[0m";
}

void moveToColumn(size_t col, std::string &out) {
    out += '\r';
    // A zero count means one to many terminals, so column 0 gets no move.
    if (col > 0) out += "\x1b[" + std::to_string(col) + "C";
}

} // namespace

void renderSingleLine(const Frame &f, std::string &out) {
    Display d = displayOf(f);
    size_t cols = f.cols ? f.cols : 80;
    size_t plen = utf8::width(f.prompt);
    size_t avail = cols > plen ? cols - plen : 1;

    // Scroll from the left until the cursor has a cell of its own.
    size_t start = 0;
    while (start < d.pos && utf8::width(d.text.substr(start, d.pos - start)) >= avail)
        start = utf8::next(d.text, start);
    std::string_view visible = utf8::fitPrefix(d.text.substr(start), avail);

    out += '\r';
    out.append(f.prompt);
    out.append(visible);
    if (start == 0 && visible.size() == d.text.size()) {
        size_t used = plen + utf8::width(visible);
        if (used < cols) appendHint(f, cols - used, out);
    }
    out += "\x1b[0K";
    moveToColumn(plen + utf8::width(d.text.substr(start, d.pos - start)), out);
}

void renderMultiLine(const Frame &f, MultiLineLayout &layout, std::string &out) {
    Display d = displayOf(f);
    size_t cols = f.cols ? f.cols : 80;
    size_t plen = utf8::width(f.prompt);

    // Erase what the previous frame drew: go to its last row, then clear
    // every row on the way up to the prompt's row.
    if (layout.rows > layout.cursor_row + 1)
        out += "\x1b[" + std::to_string(layout.rows - 1 - layout.cursor_row) + "B";
    for (size_t r = layout.rows; r > 1; r--)
        out += "\r\x1b[0K\x1b[1A";
    out += "\r\x1b[0K";

    out.append(f.prompt);
    out.append(d.text);
    size_t end = plen + utf8::width(d.text); // columns taken by prompt and line

    size_t rows;
    size_t last_row; // row the terminal's cursor is on after the output
    bool at_end = d.pos == d.text.size();
    if (at_end && end > 0 && end % cols == 0) {
        // The line fills its last row exactly and the cursor belongs after
        // it: open the next row explicitly, terminals keep the cursor on the
        // full row until something is written.
        out += "\n\r";
        rows = end / cols + 1;
        last_row = rows - 1;
    } else {
        // The hint only uses what is left of the line's last row.
        size_t room = end > 0 && end % cols == 0 ? 0 : cols - end % cols;
        size_t before = out.size();
        appendHint(f, room, out);
        size_t hint_width = out.size() == before ? 0 : utf8::width(utf8::fitPrefix(f.hint, room));
        size_t drawn = end + hint_width;
        rows = end == 0 ? 1 : (end + cols - 1) / cols;
        last_row = drawn > 0 && drawn % cols == 0 ? drawn / cols - 1 : drawn / cols;
        if (last_row + 1 > rows) rows = last_row + 1;
    }

    size_t cursor = plen + utf8::width(d.text.substr(0, d.pos));
    size_t cursor_row = cursor / cols;
    if (last_row > cursor_row) out += "\x1b[" + std::to_string(last_row - cursor_row) + "A";
    moveToColumn(cursor % cols, out);

    if (rows > layout.rows) layout.rows = rows;
    layout.cursor_row = cursor_row;
}

} // namespace lineedit
