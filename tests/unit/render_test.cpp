// Reply rendering: each reply, given as the bytes a server sends, must print
// exactly the expected text in the standard, raw and CSV forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cli/config.h"
#include "cli/render.h"
#include "hivorn/hivorn.h"
#include "small_stack.h"

namespace {

struct ReplyDeleter {
    void operator()(vornReply *r) const { freeReplyObject(r); }
};
using ReplyPtr = std::unique_ptr<vornReply, ReplyDeleter>;

ReplyPtr decode(const std::string &wire) {
    vornReader *rd = vornReaderCreate();
    void *reply = nullptr;
    EXPECT_EQ(vornReaderFeed(rd, wire.data(), wire.size()), VORN_OK);
    EXPECT_EQ(vornReaderGetReply(rd, &reply), VORN_OK) << rd->errstr;
    vornReaderFree(rd);
    EXPECT_NE(reply, nullptr) << "incomplete reply: " << wire;
    return ReplyPtr(static_cast<vornReply *>(reply));
}

// A literal with its embedded zero bytes.
template <size_t N> std::string bin(const char (&s)[N]) {
    return std::string(s, N - 1);
}

std::string take(hisds s) {
    std::string out(s, hi_sdslen(s));
    hi_sdsfree(s);
    return out;
}

// What cliWriteReply writes (which skips the copy of a raw string).
std::string written(const vornReply *r, int mode, int verbatim) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    if (fp == nullptr) return "<no stream>";
    cliWriteReply(fp, r, mode, verbatim);
    fclose(fp);
    std::string out(buf, len);
    free(buf);
    return out;
}

// The rendering, which the reply writer must reproduce byte for byte.
std::string render(const std::string &wire, int mode, int verbatim = 0) {
    ReplyPtr r = decode(wire);
    if (!r) return "<no reply>";
    // Debugger lines change the settings as they render; render those once.
    const bool once = config.eval_ldb != 0;
    std::string out = take(cliFormatReply(r.get(), mode, verbatim));
    if (!once) {
        EXPECT_EQ(written(r.get(), mode, verbatim), out) << "written form of " << wire;
    }
    return out;
}

class Render : public ::testing::Test {
  protected:
    void SetUp() override {
        cliConfigSetDefaults();
        unsetenv("TERM");
    }
    void TearDown() override { cliConfigSetDefaults(); }
};

struct Case {
    const char *what;
    std::string wire;
    std::string tty, raw, csv; // raw and CSV include the default separators
};

TEST_F(Render, EveryReplyTypeInTheThreeForms) {
    const Case cases[] = {
        {"status", "+OK\r\n", "OK\n", "OK\n", "\"OK\"\n"},
        {"error", "-ERR bad thing\r\n", "(error) ERR bad thing\n", "ERR bad thing\n\n",
         "ERROR,\"ERR bad thing\"\n"},
        {"integer", ":-42\r\n", "(integer) -42\n", "-42\n", "-42\n"},
        {"string with quote and newline", "$5\r\na\"b\nc\r\n", "\"a\\\"b\\nc\"\n", "a\"b\nc\n",
         "\"a\\\"b\\nc\"\n"},
        {"string with a zero byte", bin("$3\r\na\0b\r\n"), "\"a\\x00b\"\n", bin("a\0b\n"),
         "\"a\\x00b\"\n"},
        {"empty string", "$0\r\n\r\n", "\"\"\n", "\n", "\"\"\n"},
        {"nil string", "$-1\r\n", "(nil)\n", "\n", "NULL\n"},
        {"nil array", "*-1\r\n", "(nil)\n", "\n", "NULL\n"},
        {"nil", "_\r\n", "(nil)\n", "\n", "NULL\n"},
        {"double keeps the server's text", ",3.14\r\n", "(double) 3.14\n", "3.14\n", "3.14\n"},
        {"double inf", ",inf\r\n", "(double) inf\n", "inf\n", "inf\n"},
        {"true", "#t\r\n", "(true)\n", "(true)\n", "true\n"},
        {"false", "#f\r\n", "(false)\n", "(false)\n", "false\n"},
        {"verbatim drops its tag", "=15\r\ntxt:hello world\r\n", "hello world\n", "hello world\n",
         "\"hello world\"\n"},
        {"empty array", "*0\r\n", "(empty array)\n", "\n", "\n"},
        {"empty map", "%0\r\n", "(empty hash)\n", "\n", "\n"},
        {"empty set", "~0\r\n", "(empty set)\n", "\n", "\n"},
        {"empty push", ">0\r\n", "(empty push)\n", "\n", "\n"},
        {"flat array", "*3\r\n$1\r\na\r\n:2\r\n$-1\r\n", "1) \"a\"\n2) (integer) 2\n3) (nil)\n",
         "a\n2\n\n", "\"a\",2,NULL\n"},
        {"nested array", "*2\r\n$1\r\na\r\n*2\r\n$1\r\nb\r\n$1\r\nc\r\n",
         "1) \"a\"\n2) 1) \"b\"\n   2) \"c\"\n", "a\nb\nc\n", "\"a\",\"b\",\"c\"\n"},
        {"nested empty array", "*2\r\n*0\r\n:1\r\n", "1) (empty array)\n2) (integer) 1\n", "\n1\n",
         ",1\n"},
        {"map counted by pairs", "%3\r\n$1\r\na\r\n:1\r\n$1\r\nb\r\n:2\r\n$1\r\nc\r\n:3\r\n",
         "1# \"a\" => (integer) 1\n2# \"b\" => (integer) 2\n3# \"c\" => (integer) 3\n",
         "a 1\nb 2\nc 3\n", "\"a\",1,\"b\",2,\"c\",3\n"},
        {"map with an aggregate value", "%1\r\n$1\r\nk\r\n*2\r\n:1\r\n:2\r\n",
         "1# \"k\" => 1) (integer) 1\n   2) (integer) 2\n", "k 1\n2\n", "\"k\",1,2\n"},
        {"map with an aggregate key", "%1\r\n*2\r\n:1\r\n:2\r\n$1\r\nv\r\n",
         "1# 1) (integer) 1\n   2) (integer) 2 => \"v\"\n", "1\n2 v\n", "1,2,\"v\"\n"},
        {"set", "~2\r\n$1\r\nx\r\n$1\r\ny\r\n", "1~ \"x\"\n2~ \"y\"\n", "x\ny\n", "\"x\",\"y\"\n"},
        {"push", ">2\r\n$7\r\nmessage\r\n$2\r\nhi\r\n", "1) \"message\"\n2) \"hi\"\n",
         "message\nhi\n", "\"message\",\"hi\"\n"},
        {"array of map and set", "*2\r\n%1\r\n$1\r\nk\r\n#t\r\n~1\r\n,1.5\r\n",
         "1) 1# \"k\" => (true)\n2) 1~ (double) 1.5\n", "k (true)\n1.5\n", "\"k\",true,1.5\n"},
        {"error with a zero byte stops there in CSV", bin("-ERR a\0b\r\n"), "(error) ERR a\n",
         bin("ERR a\0b\n\n"), "ERROR,\"ERR a\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(render(c.wire, OUTPUT_STANDARD), c.tty);
        EXPECT_EQ(render(c.wire, OUTPUT_RAW), c.raw);
        EXPECT_EQ(render(c.wire, OUTPUT_CSV), c.csv);
    }
}

// Index widths follow the number of entries; continuation lines of a nested
// list line up under its first entry.
TEST_F(Render, IndexesAlignForTenAndHundredEntries) {
    for (int n : {9, 10, 100}) {
        SCOPED_TRACE(n);
        std::string wire = "*" + std::to_string(n) + "\r\n";
        for (int i = 1; i < n; i++)
            wire += ":" + std::to_string(i) + "\r\n";
        wire += "*2\r\n$1\r\nx\r\n$1\r\ny\r\n"; // the last entry is a nested list
        std::string out = render(wire, OUTPUT_STANDARD);
        int width = n >= 100 ? 3 : n >= 10 ? 2 : 1;
        std::string first = std::string(width - 1, ' ') + "1) (integer) 1\n";
        std::string last =
            std::to_string(n) + ") 1) \"x\"\n" + std::string(width + 2, ' ') + "2) \"y\"\n";
        EXPECT_EQ(out.substr(0, first.size()), first);
        ASSERT_GE(out.size(), last.size());
        EXPECT_EQ(out.substr(out.size() - last.size()), last);
        if (n == 100) {
            EXPECT_NE(out.find("\n 10) (integer) 10\n"), std::string::npos);
        }
    }
}

TEST_F(Render, ContinuationLinesRepeatTheCallersPrefix) {
    ReplyPtr r = decode("*2\r\n:1\r\n*2\r\n:2\r\n:3\r\n");
    EXPECT_EQ(take(cliFormatReplyTTY(r.get(), "> ")),
              "1) (integer) 1\n> 2) 1) (integer) 2\n>    2) (integer) 3\n");
}

TEST_F(Render, RawSeparatorsAndVerbatimForm) {
    hi_sdsfree(config.mb_delim);
    config.mb_delim = hi_sdsnew(",");
    const std::string abc = "*3\r\n$1\r\na\r\n$1\r\nb\r\n$1\r\nc\r\n";
    EXPECT_EQ(render(abc, OUTPUT_RAW), "a,b,c\n");
    EXPECT_EQ(render("%2\r\n$1\r\na\r\n:1\r\n$1\r\nb\r\n:2\r\n", OUTPUT_RAW), "a 1,b 2\n");
    hi_sdsfree(config.cmd_delim);
    config.cmd_delim = hi_sdsnew("|");
    // An error keeps its own line end whatever the separator.
    EXPECT_EQ(render("-ERR x\r\n", OUTPUT_RAW), "ERR x\n|");
    // The verbatim form is raw without any separator, whatever the mode.
    for (int mode : {OUTPUT_STANDARD, OUTPUT_RAW, OUTPUT_CSV}) {
        EXPECT_EQ(render(abc, mode, 1), "a,b,c");
        EXPECT_EQ(render("$9\r\nline1\r\nl2\r\n", mode, 1), "line1\r\nl2");
    }
    // Except in JSON, where every reply is a document, written or formatted.
    EXPECT_EQ(render("$9\r\nline1\r\nl2\r\n", OUTPUT_JSON, 1), "\"line1\\r\\nl2\"\n");
}

TEST_F(Render, DeepNestingRendersWithoutExhaustingTheStack) {
    const int depth = smallstack::kDepth;
    std::string wire;
    for (int i = 0; i < depth; i++)
        wire += "*1\r\n";
    wire += ":7\r\n";
    std::string tty;
    for (int i = 0; i < depth; i++)
        tty += "1) ";
    ReplyPtr r = decode(wire);
    ASSERT_TRUE(r);
    smallstack::run([&] {
        EXPECT_EQ(take(cliFormatReply(r.get(), OUTPUT_STANDARD, 0)), tty + "(integer) 7\n");
        EXPECT_EQ(take(cliFormatReply(r.get(), OUTPUT_RAW, 0)), "7\n");
        EXPECT_EQ(take(cliFormatReply(r.get(), OUTPUT_CSV, 0)), "7\n");
    });
}

TEST_F(Render, UnknownModeAndTypeExit) {
    EXPECT_EXIT(render("+OK\r\n", 4), ::testing::ExitedWithCode(1),
                "^Error:  Unknown output encoding 4\n$");
    // Type codes the reader never produces must still end cleanly.
    for (int form : {OUTPUT_STANDARD, OUTPUT_RAW, OUTPUT_CSV, OUTPUT_JSON}) {
        vornReply bogus{};
        bogus.type = VORN_REPLY_BIGNUM;
        vornReply *elems[] = {&bogus};
        vornReply outer{};
        outer.type = VORN_REPLY_ARRAY;
        outer.elements = 1;
        outer.element = elems;
        EXPECT_EXIT(cliFormatReply(&outer, form, 0), ::testing::ExitedWithCode(1),
                    "^Unknown reply type: 13\n$");
    }
}

std::string pushOutput(const std::string &wire) {
    ReplyPtr r = decode(wire);
    ::testing::internal::CaptureStdout();
    cliPushHandler(nullptr, r.release()); // the handler frees the reply
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

TEST_F(Render, PushHandlerShowsInvalidationsCompactly) {
    config.output = OUTPUT_STANDARD;
    const std::string two = ">2\r\n$10\r\ninvalidate\r\n*2\r\n$1\r\na\r\n$2\r\nbc\r\n";
    EXPECT_EQ(pushOutput(two), "-> invalidate: 'a', 'bc'\n");
    EXPECT_EQ(pushOutput(">2\r\n$10\r\ninvalidate\r\n*0\r\n"), "-> invalidate: \n");
    // A key with a zero byte is shown up to it.
    EXPECT_EQ(pushOutput(bin(">2\r\n$10\r\ninvalidate\r\n*1\r\n$3\r\nk\0z\r\n")),
              "-> invalidate: 'k'\n");
    // Not an invalidation: a nil key list (flush), a non-string key, an
    // extra element, another message.
    EXPECT_EQ(pushOutput(">2\r\n$10\r\ninvalidate\r\n_\r\n"), "1) \"invalidate\"\n2) (nil)\n");
    EXPECT_EQ(pushOutput(">2\r\n$10\r\ninvalidate\r\n*1\r\n:1\r\n"),
              "1) \"invalidate\"\n2) 1) (integer) 1\n");
    EXPECT_EQ(pushOutput(">3\r\n$7\r\nmessage\r\n$1\r\nc\r\n$1\r\nm\r\n"),
              "1) \"message\"\n2) \"c\"\n3) \"m\"\n");
    // Other forms print the push like any reply.
    config.output = OUTPUT_RAW;
    EXPECT_EQ(pushOutput(two), "invalidate\na\nbc\n");
    config.output = OUTPUT_CSV;
    EXPECT_EQ(pushOutput(two), "\"invalidate\",\"a\",\"bc\"\n");
}

TEST_F(Render, DebuggerLinesAreColouredByContent) {
    struct {
        const char *line;
        const char *attrs; // bold;colour
    } cases[] = {
        {"plain text", "0;37"},
        {"<debug> line", "1;37"},
        {"<vorn> ping", "0;32"},
        {"<reply> pong", "0;36"},
        {"<error> oops", "0;31"},
        {"<hint> try", "1;37"},
        {"<value> 1", "0;35"},
        {"<retval> 1", "0;35"},
        {"<vorn> <value> later test wins", "0;35"},
        {"-> 5   local x = 1", "0;33"},
        {"  #3  return x", "1;37"},
        {" ->5", "0;37"}, // four characters: too short for a line number
    };
    setenv("TERM", "xterm-256color", 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::string expect = std::string("\x1b[") + c.attrs + ";49m" + c.line + "\x1b[0m";
        EXPECT_EQ(take(sdsCatColorizedLdbReply(hi_sdsempty(), c.line, strlen(c.line))), expect);
    }
    EXPECT_EQ(take(sdscatcolor(hi_sdsnew(">"), "x", 1, "blue")), ">\x1b[0;34;49mx\x1b[0m");
    setenv("TERM", "vt100", 1);
    EXPECT_EQ(take(sdsCatColorizedLdbReply(hi_sdsempty(), "<error> x", 9)), "<error> x");
    unsetenv("TERM");
}

TEST_F(Render, DebuggerEndMarkerReturnsToTheStandardForm) {
    config.eval_ldb = 1;
    config.enable_ldb_on_eval = 1;
    config.output = OUTPUT_RAW;
    EXPECT_EQ(render("+<vorn> ping\r\n", OUTPUT_RAW), "<vorn> ping\n");
    EXPECT_EQ(config.eval_ldb, 1);
    EXPECT_EQ(render("+<endsession>\r\n", OUTPUT_RAW), "\n");
    EXPECT_EQ(config.eval_ldb, 0);
    EXPECT_EQ(config.eval_ldb_end, 1);
    EXPECT_EQ(config.enable_ldb_on_eval, 0);
    EXPECT_EQ(config.output, OUTPUT_STANDARD);
    EXPECT_STRNE(config.prompt, ""); // rebuilt once the session ended
    // Outside the debugger a status is just text.
    EXPECT_EQ(render("+<endsession>\r\n", OUTPUT_RAW), "<endsession>\n");
}

} // namespace
