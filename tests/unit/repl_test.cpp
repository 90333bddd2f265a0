// Splitting typed lines: the usual argument rules, and the debugger's
// "eval"/"e" lines that keep a Lua expression whole.
#include "cli/repl.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/config.h"

namespace {

std::vector<std::string> split(const char *line, bool ldb) {
    config.eval_ldb = ldb ? 1 : 0;
    std::string copy(line);
    int argc = -1;
    hisds *argv = cliSplitArgs(copy.data(), &argc);
    config.eval_ldb = 0;
    std::vector<std::string> words;
    if (argv == nullptr) {
        words.push_back("<null>");
        return words;
    }
    for (int i = 0; i < argc; i++)
        words.emplace_back(argv[i], hi_sdslen(argv[i]));
    hi_sdsfreesplitres(argv, argc);
    return words;
}

using Words = std::vector<std::string>;

TEST(ReplSplit, DebuggerKeepsTheExpressionOfEvalLinesWhole) {
    struct Case {
        const char *line;
        bool ldb;
        Words words;
    } cases[] = {
        {"eval vorn.call('get', \"k\")  + 1", true, {"eval", "vorn.call('get', \"k\")  + 1"}},
        {"e  x", true, {"e", " x"}},
        {"e ", true, {"e", ""}},
        {"eval \"unbalanced", true, {"eval", "\"unbalanced"}},
        // Only the exact lower-case prefixes, and only in the debugger.
        {"EVAL a b", true, {"EVAL", "a", "b"}},
        {"evalsha a b", true, {"evalsha", "a", "b"}},
        {"e", true, {"e"}},
        {"print 'a b'", true, {"print", "a b"}},
        {"eval a  b", false, {"eval", "a", "b"}},
        {"eval \"unbalanced", false, {"<null>"}},
        {"set k \"a\\x41\"", false, {"set", "k", "aA"}},
        {"", false, {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(split(c.line, c.ldb), c.words) << c.line << " ldb=" << c.ldb;
}

} // namespace
