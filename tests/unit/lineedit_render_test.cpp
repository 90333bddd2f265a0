#include "lineedit/render.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using lineedit::Frame;
using lineedit::MultiLineLayout;

Frame frame(std::string_view buf, size_t pos, size_t cols) {
    Frame f;
    f.prompt = "> ";
    f.buf = buf;
    f.pos = pos;
    f.cols = cols;
    return f;
}

TEST(RenderSingleLine, ScrollsSoTheCursorStaysVisible) {
    const std::string line = "abcdefghijkl"; // 12 characters, 8 columns left of a 10-column screen
    struct Case {
        std::string buf;
        size_t pos;
        std::string out;
    } cases[] = {
        {"abc", 3, "\r> abc\x1b[0K\r\x1b[5C"},
        {"", 0, "\r> \x1b[0K\r\x1b[2C"},
        {line, 0, "\r> abcdefgh\x1b[0K\r\x1b[2C"},
        {line, 7, "\r> abcdefgh\x1b[0K\r\x1b[9C"},
        {line, 8, "\r> bcdefghi\x1b[0K\r\x1b[9C"},
        {line, 12, "\r> fghijkl\x1b[0K\r\x1b[9C"},
        // Wide characters count two columns each.
        {"\xe6\x97\xa5\xe6\x9c\xac", 6, "\r> \xe6\x97\xa5\xe6\x9c\xac\x1b[0K\r\x1b[6C"},
        {"\xe6\x97\xa5\xe6\x97\xa5\xe6\x97\xa5\xe6\x97\xa5\xe6\x97\xa5", 15,
         "\r> \xe6\x97\xa5\xe6\x97\xa5\xe6\x97\xa5\x1b[0K\r\x1b[8C"},
    };
    for (const auto &c : cases) {
        std::string out;
        lineedit::renderSingleLine(frame(c.buf, c.pos, 10), out);
        EXPECT_EQ(out, c.out) << c.buf << " @" << c.pos;
    }
}

TEST(RenderSingleLine, PromptEscapesTakeNoColumns) {
    Frame f = frame("ab", 2, 80);
    f.prompt = "\x1b[1mdb\x1b[0m> ";
    std::string out;
    lineedit::renderSingleLine(f, out);
    EXPECT_EQ(out, "\r\x1b[1mdb\x1b[0m> ab\x1b[0K\r\x1b[6C");
}

TEST(RenderSingleLine, HintOnlyWhenTheWholeLineIsShown) {
    Frame f = frame("abcdefghijkl", 12, 10);
    f.hint = " more";
    f.hint_color = 90;
    std::string out;
    lineedit::renderSingleLine(f, out);
    EXPECT_EQ(out.find("more"), std::string::npos);
}

TEST(RenderSingleLine, MaskShowsOneStarPerCharacter) {
    Frame f = frame("p\xc3\xa4ss", 3, 80);
    f.mask = true;
    std::string out;
    lineedit::renderSingleLine(f, out);
    EXPECT_EQ(out, "\r> ****\x1b[0K\r\x1b[4C");
}

// Multi-line frames on a 10-column screen with the prompt "> ": a frame first
// erases the rows the previous one used, from the last row upwards.
TEST(RenderMultiLine, WrapsAndErasesWhatWasDrawnBefore) {
    MultiLineLayout layout;
    std::string out;

    lineedit::renderMultiLine(frame("abcdefghijkl", 12, 10), layout, out);
    EXPECT_EQ(out, "\r\x1b[0K> abcdefghijkl\r\x1b[4C");
    EXPECT_EQ(layout.rows, 2u);
    EXPECT_EQ(layout.cursor_row, 1u);

    // Cursor moved to the first row: output goes back up one row.
    out.clear();
    lineedit::renderMultiLine(frame("abcdefghijkl", 3, 10), layout, out);
    EXPECT_EQ(out, "\r\x1b[0K\x1b[1A\r\x1b[0K> abcdefghijkl\x1b[1A\r\x1b[5C");
    EXPECT_EQ(layout.cursor_row, 0u);

    // From the first row, go down to the last before erasing upwards.
    out.clear();
    lineedit::renderMultiLine(frame("ab", 2, 10), layout, out);
    EXPECT_EQ(out, "\x1b[1B\r\x1b[0K\x1b[1A\r\x1b[0K> ab\r\x1b[4C");
    EXPECT_EQ(layout.rows, 2u) << "rows once used are still erased";
}

TEST(RenderMultiLine, CursorAfterAFullRowOpensTheNextRow) {
    MultiLineLayout layout;
    std::string out;
    lineedit::renderMultiLine(frame("abcdefgh", 8, 10), layout, out);
    EXPECT_EQ(out, "\r\x1b[0K> abcdefgh\n\r\r");
    EXPECT_EQ(layout.rows, 2u);
    EXPECT_EQ(layout.cursor_row, 1u);

    // With the cursor inside, the full row needs no extra one.
    layout = {};
    out.clear();
    lineedit::renderMultiLine(frame("abcdefgh", 1, 10), layout, out);
    EXPECT_EQ(out, "\r\x1b[0K> abcdefgh\r\x1b[3C");
    EXPECT_EQ(layout.rows, 1u);
}

TEST(RenderMultiLine, HintUsesOnlyTheRestOfTheLastRow) {
    MultiLineLayout layout;
    Frame f = frame("abcdefghijk", 11, 10); // 13 columns: 7 left on row 2
    f.hint = " key value";
    f.hint_color = 90;
    std::string out;
    lineedit::renderMultiLine(f, layout, out);
    EXPECT_EQ(out, "\r\x1b[0K> abcdefghijk\x1b[0;90;49m key va\x1b[0m\r\x1b[3C");
    EXPECT_EQ(layout.rows, 2u);

    // The hint reaching the right edge leaves the cursor's row unchanged.
    layout = {};
    out.clear();
    f = frame("ab", 0, 10);
    f.hint = " 12345678";
    lineedit::renderMultiLine(f, layout, out);
    EXPECT_EQ(out, "\r\x1b[0K> ab 12345\r\x1b[2C");
    EXPECT_EQ(layout.rows, 1u);
}

} // namespace
