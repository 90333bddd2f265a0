// How the words after the options become the keys and arguments of EVAL.
#include "modes/eval.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

TEST(EvalRequest, KeysAndArgumentsSplitAtTheFirstLoneComma) {
    struct Row {
        std::vector<std::string> words;
        std::vector<std::string> want; // after "EVAL" and the script
    } rows[] = {
        {{"key1", "key2", ",", "x", "y"}, {"2", "key1", "key2", "x", "y"}},
        {{}, {"0"}},
        {{",", "a", ",", "b"}, {"0", "a", ",", "b"}},
        {{"k1,k2", "x"}, {"2", "k1,k2", "x"}},
        {{"k", ","}, {"1", "k"}},
        {{",,", ", "}, {"2", ",,", ", "}},
        {{","}, {"0"}},
        {{"a", "", ",", ""}, {"2", "a", "", ""}},
    };
    for (const Row &r : rows) {
        std::vector<char *> argv;
        for (const std::string &w : r.words)
            argv.push_back(const_cast<char *>(w.c_str()));
        hisds script = hi_sdsnewlen("return 1\0x", 10);
        std::vector<hisds> req = evalRequest(script, static_cast<int>(argv.size()), argv.data());
        ASSERT_EQ(req.size(), r.want.size() + 2);
        EXPECT_EQ(std::string(req[0], hi_sdslen(req[0])), "EVAL");
        EXPECT_EQ(req[1], script) << "the script is taken over, zero bytes included";
        EXPECT_EQ(hi_sdslen(req[1]), 10u);
        for (size_t i = 0; i < r.want.size(); i++)
            EXPECT_EQ(std::string(req[i + 2], hi_sdslen(req[i + 2])), r.want[i])
                << "word " << i << " of row starting " << (r.words.empty() ? "" : r.words[0]);
        for (hisds w : req)
            hi_sdsfree(w);
    }
}
