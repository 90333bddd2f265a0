// Drawing the edited line: the escape sequences that bring the screen from its
// previous state to the current one. Pure functions of their input, so the
// exact output can be checked without a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lineedit {

struct Frame {
    std::string_view prompt;
    std::string_view buf; // the line as edited
    size_t pos = 0;       // cursor, a byte index into buf
    size_t cols = 80;     // terminal width
    bool mask = false;    // show '*' for every character
    std::string_view hint;
    int hint_color = -1; // ANSI colour, -1 for the default
    int hint_bold = 0;
};

// What a multi-line frame left on the screen, needed to erase it next time.
struct MultiLineLayout {
    size_t rows = 1;       // rows used so far (the most ever drawn)
    size_t cursor_row = 0; // row of the cursor, counted from the prompt's row
};

// Single-line mode: the line scrolls horizontally so the cursor stays visible.
void renderSingleLine(const Frame &f, std::string &out);
// Multi-line mode: the line wraps over as many rows as it needs.
void renderMultiLine(const Frame &f, MultiLineLayout &layout, std::string &out);

} // namespace lineedit
