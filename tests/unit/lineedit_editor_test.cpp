#include "lineedit/editor.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lineedit/history.h"

namespace {

using lineedit::EditorOptions;
using lineedit::EditStatus;
using lineedit::History;
using lineedit::LineEditor;

struct Outcome {
    EditStatus status = EditStatus::Editing;
    std::string line;
    size_t cursor = 0;
    std::string output;
};

// Feeds the keys one byte at a time, stopping when the editor finishes. An
// Esc left waiting at the end is resolved as the Esc key.
Outcome feedKeys(LineEditor &ed, const std::string &keys) {
    Outcome o;
    for (char c : keys) {
        o.status = ed.feed(static_cast<unsigned char>(c), o.output);
        if (o.status != EditStatus::Editing) break;
    }
    if (ed.escapePending()) ed.escapeTimeout(o.output);
    o.line = ed.line();
    o.cursor = ed.cursor();
    return o;
}

// A new editor with the prompt "> " on an 80-column screen.
Outcome run(const std::string &keys, EditorOptions opts = {}, const History *history = nullptr) {
    LineEditor ed("> ", 80, opts, history);
    std::string first;
    ed.begin(first);
    Outcome o = feedKeys(ed, keys);
    o.output = first + o.output;
    return o;
}

struct KeyCase {
    const char *name;
    std::string keys;
    std::string line;
    size_t cursor;
};

TEST(LineEditorKeys, EditTheLineAsExpected) {
    const std::string L = "\x1b[D", R = "\x1b[C";
    const std::vector<KeyCase> cases = {
        {"typing", "abc", "abc", 3},
        {"left arrow then insert", "abc" + L + L + "X", "aXbc", 2},
        {"left arrow, application mode", "abc\x1bODX", "abXc", 3},
        {"right arrow stops at the end", "ab" + L + L + R + R + R + "c", "abc", 3},
        {"left arrow stops at the start", "ab" + L + L + L + "c", "cab", 1},
        {"ctrl-b and ctrl-f", "abc\x02\x02\x06Y", "abYc", 3},
        {"modified arrow moves like the arrow", "abc\x1b[1;5DX", "abXc", 3},
        {"ctrl-a and ctrl-e", "bc\001a\005d", "abcd", 4},
        {"home, CSI H", "bc\x1b[Ha", "abc", 1},
        {"home, SS3 H", "bc\x1bOHa", "abc", 1},
        {"home, 1~", "bc\x1b[1~a", "abc", 1},
        {"home, 7~", "bc\x1b[7~a", "abc", 1},
        {"end, CSI F", "ab\x01\x1b[Fc", "abc", 3},
        {"end, SS3 F", "ab\x01\x1bOFc", "abc", 3},
        {"end, 4~", "ab\x01\x1b[4~c", "abc", 3},
        {"end, 8~", "ab\x01\x1b[8~c", "abc", 3},
        {"backspace", "abc\x7f", "ab", 2},
        {"ctrl-h", "abc\x08\x08", "a", 1},
        {"backspace inside the line", "abc" + L + "\x7f", "ac", 1},
        {"backspace at the start does nothing", "ab\x01\x7f", "ab", 0},
        {"delete key", "abc\x01\x1b[3~", "bc", 0},
        {"delete key at the end does nothing", "abc\x1b[3~", "abc", 3},
        {"ctrl-d deletes under the cursor", "abc" + L + L + "\x04", "ac", 1},
        {"ctrl-d at the end of a line does nothing", "abc\x04", "abc", 3},
        {"ctrl-k kills to the end", "abcdef" + L + L + L + "\x0b", "abc", 3},
        {"ctrl-u clears the line", "abc" + L + "\x15", "", 0},
        {"ctrl-w deletes the word before", "foo bar\x17", "foo ", 4},
        {"ctrl-w skips blanks first", "foo bar  \x17", "foo ", 4},
        {"ctrl-w inside a word", "foo bar" + L + "\x17", "foo r", 4},
        {"ctrl-w at the start does nothing", "foo\x01\x17", "foo", 0},
        {"ctrl-t swaps and advances", "abc" + L + L + "\x14", "bac", 2},
        {"ctrl-t before the last character stays", "ab" + L + "\x14", "ba", 1},
        {"ctrl-t at the end does nothing", "ab\x14", "ab", 2},
        {"ctrl-t at the start does nothing", "ab\x01\x14", "ab", 0},
        {"ctrl-l keeps the line", "ab\014c", "abc", 3},
        {"unknown sequences are ignored", "a\x1b[5~\x1b[2~\x1b[Zb", "ab", 2},
        {"other control characters are ignored", "a\007\032\017b", "ab", 2},
        {"esc then a character inserts it", "a\033b", "ab", 2},
        {"overlong sequence is dropped", "a\x1b[111111111111111111111111111~b", "ab", 2},
        {"utf-8 character is one step", "h\xc3\xa9" + L + "x", "hx\xc3\xa9", 2},
        {"backspace removes a whole utf-8 character", "h\xe2\x82\xac\x7f", "h", 1},
        {"delete removes a whole utf-8 character", "\xf0\x9f\x98\x80!\x01\x1b[3~", "!", 0},
        {"ctrl-t swaps utf-8 characters", "\303\251a" + L + "\x14", "a\xc3\xa9", 1},
        {"broken utf-8 is kept byte for byte", "\303a" + L + "\x7f", "a", 0},
        {"tab without completion is ignored", "a\tb", "ab", 2},
    };
    for (const auto &c : cases) {
        Outcome o = run(c.keys);
        EXPECT_EQ(o.status, EditStatus::Editing) << c.name;
        EXPECT_EQ(o.line, c.line) << c.name;
        EXPECT_EQ(o.cursor, c.cursor) << c.name;
    }
}

TEST(LineEditorKeys, FinishingKeys) {
    struct Case {
        std::string keys;
        EditStatus status;
        std::string line;
    } cases[] = {
        {"abc\r", EditStatus::Accepted, "abc"},
        {"abc\n", EditStatus::Accepted, "abc"},
        {"\r", EditStatus::Accepted, ""},
        {"ab\x03\x03", EditStatus::Interrupted, ""},
        // Ctrl-C on a line with text abandons it; typing goes on on a new one.
        {"ab\x03"
         "cd\r",
         EditStatus::Accepted, "cd"},
        {"\x03", EditStatus::Interrupted, ""},
        {"\x04", EditStatus::EndOfInput, ""},
        {"a\x7f\x04", EditStatus::EndOfInput, ""},
    };
    for (const auto &c : cases) {
        Outcome o = run(c.keys + "zzz");
        EXPECT_EQ(o.status, c.status) << testing::PrintToString(c.keys);
        EXPECT_EQ(o.line, c.line) << testing::PrintToString(c.keys);
    }
}

TEST(LineEditorKeys, EnterInTheMiddleReturnsTheWholeLine) {
    Outcome o = run("hello\x01\x1b[C\r");
    EXPECT_EQ(o.status, EditStatus::Accepted);
    EXPECT_EQ(o.line, "hello");
    EXPECT_EQ(o.cursor, 5u) << "the cursor goes to the end so output continues below";
}

TEST(LineEditorKeys, CtrlLClearsTheScreenAndRedraws) {
    Outcome o = run("ab\x0c");
    size_t clear = o.output.find("\x1b[H\x1b[2J");
    ASSERT_NE(clear, std::string::npos);
    EXPECT_NE(o.output.find("> ab", clear), std::string::npos);
}

// ---- history ----

struct HistoryKeys : ::testing::Test {
    History h;
    void SetUp() override {
        for (const char *l : {"one", "two", "three"})
            h.add(l);
    }
};

TEST_F(HistoryKeys, UpAndDownWalkTheHistoryAndKeepTheTypedLine) {
    const std::string U = "\x1b[A", D = "\x1b[B";
    const std::vector<KeyCase> cases = {
        {"up recalls the newest", U, "three", 5},
        {"up twice", U + U, "two", 3},
        {"up stops at the oldest", U + U + U + U + U, "one", 3},
        {"down returns to the new line", U + D, "", 0},
        {"down stops at the new line", D + D, "", 0},
        {"the typed line is kept", "new" + U + U + D + D, "new", 3},
        {"ctrl-p and ctrl-n", "x\x10\x10\x0e", "three", 5},
        {"application-mode arrows", "\x1bOA\x1bOA\x1bOB", "three", 5},
        {"an edited entry keeps its edit", U + "X" + U + D, "threeX", 6},
    };
    for (const auto &c : cases) {
        Outcome o = run(c.keys, {}, &h);
        EXPECT_EQ(o.line, c.line) << c.name;
        EXPECT_EQ(o.cursor, c.cursor) << c.name;
    }
}

TEST_F(HistoryKeys, EditingRecalledLinesLeavesTheStoredHistoryAlone) {
    Outcome o = run("\x1b[A\x7f\x7f\x1b[A\r", {}, &h);
    EXPECT_EQ(o.line, "two");
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h.at(2), "three");
}

// ---- completion ----

const char *const kCommands[] = {"GET", "GETSET", "SET"};

void completeCommands(const char *buf, linenoiseCompletions *lc) {
    for (const char *c : kCommands)
        if (strncasecmp(c, buf, strlen(buf)) == 0) linenoiseAddCompletion(lc, c);
}

EditorOptions withCompletion() {
    EditorOptions o;
    o.completion = completeCommands;
    return o;
}

TEST(LineEditorCompletion, TabCyclesEscRestoresOtherKeysAccept) {
    const std::vector<KeyCase> cases = {
        {"first candidate", "g\t", "GET", 3},
        {"second candidate", "g\t\t", "GETSET", 6},
        {"after the last the typed text", "g\t\t\t", "g", 1},
        {"and round again", "g\t\t\t\t", "GET", 3},
        {"esc restores the typed text and cursor", "ge\x1b[D\t\t\x1b", "ge", 1},
        {"esc then a character", "g\t\033x", "gx", 2},
        {"a character accepts and is inserted", "g\t ", "GET ", 4},
        {"an arrow accepts and moves", "g\t\t\x1b[D", "GETSET", 5},
        {"backspace accepts and deletes", "g\t\t\x7f", "GETSE", 5},
        {"accepting the typed text", "g\t\t\tx", "gx", 2},
        {"no candidate leaves the line", "x\t", "x", 1},
        {"utf-8 accepts like any character", "s\t\xc3\xa9", "SET\xc3\xa9", 5},
    };
    for (const auto &c : cases) {
        Outcome o = run(c.keys, withCompletion());
        EXPECT_EQ(o.line, c.line) << c.name;
        EXPECT_EQ(o.cursor, c.cursor) << c.name;
    }
}

TEST(LineEditorCompletion, EnterAcceptsTheCandidateAndTheLine) {
    Outcome o = run("se\t\r", withCompletion());
    EXPECT_EQ(o.status, EditStatus::Accepted);
    EXPECT_EQ(o.line, "SET");
}

TEST(LineEditorCompletion, BeepsWithoutCandidatesAndWhenCyclingBackToTheTypedText) {
    LineEditor ed("> ", 80, withCompletion(), nullptr);
    Outcome o = feedKeys(ed, "x\t");
    EXPECT_NE(o.output.find('\x07'), std::string::npos);
    EXPECT_FALSE(ed.completing());

    LineEditor ed2("> ", 80, withCompletion(), nullptr);
    o = feedKeys(ed2, "s\t");
    EXPECT_EQ(o.output.find('\x07'), std::string::npos);
    EXPECT_TRUE(ed2.completing());
    o = feedKeys(ed2, "\t");
    EXPECT_NE(o.output.find('\x07'), std::string::npos) << "back at the typed text";
    EXPECT_EQ(ed2.line(), "s");
}

// ---- hints ----

int hints_freed = 0;
int hint_color = 90, hint_bold = 0;

char *argumentHint(const char *buf, int *color, int *bold) {
    if (strcasecmp(buf, "get") != 0) return nullptr;
    *color = hint_color;
    *bold = hint_bold;
    return strdup(" key");
}

void freeHint(void *p) {
    hints_freed++;
    free(p);
}

EditorOptions withHints() {
    EditorOptions o;
    o.hints = argumentHint;
    o.free_hints = freeHint;
    return o;
}

TEST(LineEditorHints, DrawnAfterTheLineInTheRequestedStyle) {
    struct Case {
        int color, bold;
        std::string drawn;
    } cases[] = {
        {90, 0, "\x1b[0;90;49m key\x1b[0m"},
        {31, 1, "\x1b[1;31;49m key\x1b[0m"},
        {-1, 1, "\x1b[1;37;49m key\x1b[0m"}, // bold alone gets a visible colour
        {-1, 0, " key\x1b[0K"},              // no style, no escape sequence
    };
    for (const auto &c : cases) {
        hint_color = c.color;
        hint_bold = c.bold;
        Outcome o = run("get", withHints());
        EXPECT_NE(o.output.find("get" + c.drawn), std::string::npos)
            << testing::PrintToString(o.output);
    }
    hint_color = 90;
    hint_bold = 0;
}

TEST(LineEditorHints, FollowTheLineAreFreedAndVanishOnEnter) {
    hints_freed = 0;
    LineEditor ed("> ", 80, withHints(), nullptr);
    Outcome o = feedKeys(ed, "ge");
    EXPECT_EQ(o.output.find(" key"), std::string::npos) << "no hint for ge";
    o = feedKeys(ed, "t");
    EXPECT_NE(o.output.find(" key"), std::string::npos);
    EXPECT_EQ(hints_freed, 1);
    // The cursor stays right after the line, before the hint.
    EXPECT_EQ(o.output.substr(o.output.rfind('\r')), "\r\x1b[5C");

    o = feedKeys(ed, "\r");
    EXPECT_EQ(o.status, EditStatus::Accepted);
    EXPECT_EQ(o.output.find(" key"), std::string::npos) << "the final frame has no hint";
    EXPECT_EQ(ed.line(), "get");
}

TEST(LineEditorHints, LongHintIsCutAtTheWindowEdge) {
    LineEditor ed("> ", 8, withHints(), nullptr);
    Outcome o = feedKeys(ed, "get");
    EXPECT_NE(o.output.find("get\x1b[0;90;49m ke\x1b[0m"), std::string::npos)
        << testing::PrintToString(o.output);
}

// ---- mask mode ----

TEST(LineEditorMask, EchoesStarsAndNeverTheTextOrItsHints) {
    EditorOptions opts = withHints();
    opts.mask = true;
    Outcome o = run("g\xc3\xa9t\x1b[D\r", opts);
    EXPECT_EQ(o.status, EditStatus::Accepted);
    EXPECT_EQ(o.line, "g\xc3\xa9t");
    EXPECT_NE(o.output.find("> ***"), std::string::npos);
    EXPECT_EQ(o.output.find("\xc3\xa9"), std::string::npos);
    EXPECT_EQ(o.output.find('g'), std::string::npos);
    EXPECT_EQ(o.output.find("key"), std::string::npos);
    EXPECT_NE(o.output.find("\r\x1b[4C"), std::string::npos) << "cursor after two of three";

    o = run("get", opts);
    EXPECT_EQ(o.output.find("key"), std::string::npos) << "no hint for a masked line";
}

} // namespace

namespace {

int hintCalls = 0;
char *countingHint(const char *, int *, int *) {
    hintCalls++;
    return strdup(" hint");
}

} // namespace

// A paste arrives with more bytes waiting: the line is drawn (and its hint
// asked for) once when the input runs dry, not after every byte, and that
// one drawing is the one an editor fed byte by byte would end with.
TEST(LineEditorDrawing, RedrawsArePutOffWhileInputIsWaiting) {
    for (bool multiline : {false, true}) {
        EditorOptions opts;
        opts.multiline = multiline;
        opts.hints = countingHint;
        opts.free_hints = freeHint;
        const std::string paste(60, 'x');

        LineEditor eager("> ", 80, opts, nullptr);
        std::string eagerOut;
        eager.begin(eagerOut);
        hintCalls = 0;
        eagerOut += feedKeys(eager, paste).output;
        EXPECT_EQ(hintCalls, 60);

        LineEditor lazy("> ", 80, opts, nullptr);
        std::string lazyOut;
        lazy.begin(lazyOut);
        hintCalls = 0;
        lazy.setDeferred(true);
        std::string during;
        for (char c : paste)
            ASSERT_EQ(lazy.feed(static_cast<unsigned char>(c), during), EditStatus::Editing);
        EXPECT_EQ(during, "");
        EXPECT_EQ(hintCalls, 0);
        std::string caughtUp;
        lazy.redrawIfDeferred(caughtUp);
        EXPECT_EQ(hintCalls, 1);
        EXPECT_NE(caughtUp.find(paste + " hint"), std::string::npos) << "multiline=" << multiline;
        if (!multiline) {
            ASSERT_LE(caughtUp.size(), eagerOut.size());
            EXPECT_EQ(eagerOut.substr(eagerOut.size() - caughtUp.size()), caughtUp);
        }
        std::string again;
        lazy.redrawIfDeferred(again);
        EXPECT_EQ(again, "") << "nothing left to catch up";

        // Enter while input is still waiting draws the finished line at once.
        lazy.setDeferred(true);
        std::string end;
        EXPECT_EQ(lazy.feed('\r', end), EditStatus::Accepted);
        EXPECT_NE(end.find(paste), std::string::npos);
    }
}
