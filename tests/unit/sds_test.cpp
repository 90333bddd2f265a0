// Dynamic strings: splitting, quoting, growth, formatting, range and compare.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "hivorn/alloc.h"
#include "hivorn/sds.h"

namespace {

std::string str(hisds s) {
    return std::string(s, hi_sdslen(s));
}

struct SplitCase {
    std::string line;
    bool ok;
    std::vector<std::string> words;
};

TEST(SdsSplitArgs, Table) {
    const std::vector<SplitCase> cases = {
        {"", true, {}},
        {"   \t ", true, {}},
        {"set key \"hello world\"", true, {"set", "key", "hello world"}},
        {"\"\\x41\\x4a\"", true, {"AJ"}},
        {"\"\\x4\"", true, {"x4"}},
        {"\"\\n\"", true, {"\n"}},
        {"\"\\q\"", true, {"q"}},
        {"\"\\r\\t\\b\\a\\\"\\\\\"", true, {"\r\t\b\a\"\\"}},
        {"'it\\'s'", true, {"it's"}},
        {"'a\\nb'", true, {"a\\nb"}},
        {"\"abc", false, {}},
        {"'abc", false, {}},
        {"\"a\"b", false, {}},
        {"'a'b", false, {}},
        {"\"a\" b", true, {"a", "b"}},
        {"\"a\"\tb", true, {"a", "b"}},
        {"\"\"", true, {""}},
        {"a\"\"b", false, {}},
        {"a\"\" b", true, {"a", "b"}},
        {"a\"b c\"", true, {"ab c"}},
        {"a\vb", true, {"a\vb"}},
        {"a\fb", true, {"a\fb"}},
        {"a\tb", true, {"a", "b"}},
        {"\"ends in backslash\\", false, {}},
        {"  lead  trail  ", true, {"lead", "trail"}},
        {"\"\\xfF\\x00z\"", true, {std::string("\xff\0z", 3)}},
    };
    for (const auto &c : cases) {
        int argc = -1;
        hisds *argv = hi_sdssplitargs(c.line.c_str(), &argc);
        if (!c.ok) {
            EXPECT_EQ(argv, nullptr) << c.line;
            EXPECT_EQ(argc, 0) << c.line;
            continue;
        }
        ASSERT_NE(argv, nullptr) << c.line;
        ASSERT_EQ(argc, static_cast<int>(c.words.size())) << c.line;
        for (int i = 0; i < argc; i++)
            EXPECT_EQ(str(argv[i]), c.words[i]) << c.line;
        hi_sdsfreesplitres(argv, argc);
    }
}

TEST(SdsCatRepr, EscapesAndRoundTrips) {
    const char bytes[] = {'a', '\n', '"', '\0', '\xff'};
    hisds s = hi_sdscatrepr(hi_sdsempty(), bytes, sizeof(bytes));
    EXPECT_EQ(str(s), "\"a\\n\\\"\\x00\\xff\"");
    EXPECT_EQ(hi_sdslen(s), 15u);
    hi_sdsfree(s);

    // Every byte value survives the quote-then-split round trip.
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back(static_cast<char>(i));
    s = hi_sdscatrepr(hi_sdsempty(), all.data(), all.size());
    for (size_t i = 0; i < hi_sdslen(s); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        ASSERT_TRUE(c >= 0x20 && c <= 0x7e);
    }
    int argc;
    hisds *argv = hi_sdssplitargs(s, &argc);
    ASSERT_EQ(argc, 1);
    EXPECT_EQ(str(argv[0]), all);
    hi_sdsfreesplitres(argv, argc);
    hi_sdsfree(s);
}

TEST(SdsCatFmt, Directives) {
    hisds s = hi_sdscatfmt(hi_sdsempty(), "%s=%i", "k", -5);
    EXPECT_EQ(str(s), "k=-5");
    hi_sdsfree(s);
    s = hi_sdscatfmt(hi_sdsempty(), "%U|%I|%u", 18446744073709551615ULL, LLONG_MIN, 4294967295U);
    EXPECT_EQ(str(s), "18446744073709551615|-9223372036854775808|4294967295");
    hi_sdsfree(s);
    hisds arg = hi_sdsnewlen("a\0b", 3);
    s = hi_sdscatfmt(hi_sdsnew(">"), "%S%x%%%d", arg);
    EXPECT_EQ(str(s), std::string(">a\0bx%d", 7));
    hi_sdsfree(s);
    hi_sdsfree(arg);
}

TEST(SdsCatPrintf, GrowsBeyondScratchAndStopsAtNul) {
    std::string big(5000, 'x');
    hisds s = hi_sdscatprintf(hi_sdsnew("<"), "%s|%d", big.c_str(), 42);
    EXPECT_EQ(str(s), "<" + big + "|42");
    hi_sdsfree(s);
    s = hi_sdscatprintf(hi_sdsempty(), "ab%ccd", 0);
    EXPECT_EQ(str(s), "ab");
    hi_sdsfree(s);
}

TEST(SdsRange, Table) {
    struct Case {
        const char *in;
        ssize_t start, end;
        const char *out;
    } cases[] = {
        {"hello", 1, -1, "ello"}, {"hello", 0, -2, "hell"}, {"hello", -3, -1, "llo"},
        {"hello", 3, 1, ""},      {"hello", 10, 20, ""},    {"hello", 0, -1, "hello"},
        {"hello", -100, 1, "he"}, {"hello", 2, 100, "llo"}, {"", 0, -1, ""},
        {"", 5, 1, ""},
    };
    for (const auto &c : cases) {
        hisds s = hi_sdscat(hi_sdsempty(), c.in); // a header with a capacity
        size_t cap = hi_sdsalloc(s);
        EXPECT_EQ(hi_sdsrange(s, c.start, c.end), 0);
        EXPECT_EQ(str(s), c.out) << c.in << " " << c.start << " " << c.end;
        EXPECT_EQ(s[hi_sdslen(s)], '\0');
        EXPECT_EQ(hi_sdsalloc(s), cap);
        hi_sdsfree(s);
    }
}

TEST(SdsCmp, OrderAndPrefix) {
    hisds abc = hi_sdsnew("abc"), abd = hi_sdsnew("abd"), ab = hi_sdsnew("ab");
    hisds e1 = hi_sdsempty(), e2 = hi_sdsempty();
    hisds hi = hi_sdsnewlen("\xff", 1), lo = hi_sdsnewlen("\x01", 1);
    EXPECT_LT(hi_sdscmp(abc, abd), 0);
    EXPECT_EQ(hi_sdscmp(abc, ab), 1);
    EXPECT_LT(hi_sdscmp(ab, abc), 0);
    EXPECT_EQ(hi_sdscmp(e1, e2), 0);
    EXPECT_GT(hi_sdscmp(hi, lo), 0); // bytes compare unsigned
    for (hisds s : {abc, abd, ab, e1, e2, hi, lo})
        hi_sdsfree(s);
}

TEST(SdsGrowth, HeaderKindsAndCapacity) {
    struct Case {
        size_t len;
        unsigned char kind;
    } kinds[] = {{0, HI_SDS_TYPE_8},      {1, HI_SDS_TYPE_5},     {31, HI_SDS_TYPE_5},
                 {32, HI_SDS_TYPE_8},     {254, HI_SDS_TYPE_8},   {255, HI_SDS_TYPE_16},
                 {65534, HI_SDS_TYPE_16}, {65535, HI_SDS_TYPE_32}};
    for (const auto &k : kinds) {
        hisds s = hi_sdsnewlen(nullptr, k.len);
        EXPECT_EQ(static_cast<unsigned char>(s[-1]) & HI_SDS_TYPE_MASK, k.kind) << k.len;
        EXPECT_EQ(hi_sdslen(s), k.len);
        hi_sdsfree(s);
    }

    hisds s = hi_sdsMakeRoomFor(hi_sdsempty(), 1);
    EXPECT_EQ(hi_sdsalloc(s), 2u);
    hi_sdsfree(s);

    // A short-header string grows into a header that records capacity.
    s = hi_sdscat(hi_sdsnew("abc"), "d");
    EXPECT_EQ(static_cast<unsigned char>(s[-1]) & HI_SDS_TYPE_MASK, HI_SDS_TYPE_8);
    EXPECT_EQ(hi_sdsalloc(s), 8u);
    EXPECT_EQ(str(s), "abcd");
    hi_sdsfree(s);

    // Above 1 MiB the capacity grows by 1 MiB, not by doubling.
    s = hi_sdsMakeRoomFor(hi_sdsempty(), 1048576);
    EXPECT_EQ(hi_sdsalloc(s), 2097152u);
    hi_sdsfree(s);
    s = hi_sdsMakeRoomFor(hi_sdsnew("x"), 1048575);
    EXPECT_EQ(hi_sdsalloc(s), 2097152u);
    hi_sdsfree(s);

    // Appending byte by byte keeps content across every header change.
    s = hi_sdsempty();
    std::string expect;
    for (int i = 0; i < 70000; i++) {
        char c = static_cast<char>('a' + i % 26);
        s = hi_sdscatlen(s, &c, 1);
        expect.push_back(c);
    }
    EXPECT_EQ(str(s), expect);
    EXPECT_EQ(static_cast<unsigned char>(s[-1]) & HI_SDS_TYPE_MASK, HI_SDS_TYPE_32);
    hi_sdsfree(s);
}

TEST(SdsNumbersAndCase, Conversions) {
    struct Case {
        long long v;
        const char *text;
    } cases[] = {{0, "0"},
                 {-1, "-1"},
                 {LLONG_MAX, "9223372036854775807"},
                 {LLONG_MIN, "-9223372036854775808"}};
    for (const auto &c : cases) {
        hisds s = hi_sdsfromlonglong(c.v);
        EXPECT_EQ(str(s), c.text);
        hi_sdsfree(s);
    }
    hisds s = hi_sdsnewlen("aZ\xe9\0b", 5);
    hi_sdstoupper(s);
    EXPECT_EQ(str(s), std::string("AZ\xe9\0B", 5));
    hi_sdstolower(s);
    EXPECT_EQ(str(s), std::string("az\xe9\0b", 5));
    hi_sdsfree(s);
}

TEST(SdsBasics, CopyDupClear) {
    hisds s = hi_sdsnew(nullptr);
    EXPECT_EQ(hi_sdslen(s), 0u);
    s = hi_sdscpy(s, "a longer text than before");
    EXPECT_EQ(str(s), "a longer text than before");
    s = hi_sdscpylen(s, "ab", 2);
    EXPECT_EQ(str(s), "ab");
    hisds d = hi_sdsdup(s);
    d = hi_sdscatsds(d, s);
    EXPECT_EQ(str(d), "abab");
    hi_sdsclear(d);
    EXPECT_EQ(hi_sdslen(d), 0u);
    EXPECT_EQ(d[0], '\0');
    hi_sdsfree(d);
    hi_sdsfree(s);
    hi_sdsfree(nullptr);
}

// Allocation failures: every growing operation returns null and leaves its
// input valid.
int failAfter = -1;
void *failingMalloc(size_t n) {
    return failAfter-- == 0 ? nullptr : malloc(n);
}
void *failingRealloc(void *p, size_t n) {
    return failAfter-- == 0 ? nullptr : realloc(p, n);
}

TEST(SdsOutOfMemory, GrowingOperationsFailCleanly) {
    hivornAllocFuncs fns = {failingMalloc, calloc, failingRealloc, strdup, free};
    for (int n = 0; n < 64; n++) {
        hisds s = hi_sdsnew("seed");
        hivornAllocFuncs old = hivornSetAllocators(&fns);
        failAfter = n;
        int argc;
        hisds *argv = hi_sdssplitargs("a \"b c\" 'd' e f g", &argc);
        hisds t = hi_sdscatrepr(s, "\x01\x02 quoted \"x\"\n", 15);
        hivornSetAllocators(&old);
        if (argv == nullptr) {
            EXPECT_EQ(argc, 0);
        } else {
            EXPECT_EQ(argc, 6);
            hi_sdsfreesplitres(argv, argc);
        }
        hi_sdsfree(t != nullptr ? t : s);
    }
    failAfter = -1;
}

} // namespace
