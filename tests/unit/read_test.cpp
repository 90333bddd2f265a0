// The reply reader: wire bytes fed whole, one byte at a time and split at
// every position must give the same tree, or the same error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "child_process.h"
#include "hivorn/hivorn.h"
#include "small_stack.h"

namespace {

std::string describe(const vornReply *r) {
    auto s = [](const vornReply *n) { return std::string(n->str, n->len); };
    switch (r->type) {
    case VORN_REPLY_STRING:
        return "STR(" + s(r) + ")";
    case VORN_REPLY_STATUS:
        return "STATUS(" + s(r) + ")";
    case VORN_REPLY_ERROR:
        return "ERR(" + s(r) + ")";
    case VORN_REPLY_INTEGER:
        return "INT(" + std::to_string(r->integer) + ")";
    case VORN_REPLY_NIL:
        return "NIL";
    case VORN_REPLY_BOOL:
        return r->integer ? "TRUE" : "FALSE";
    case VORN_REPLY_DOUBLE: {
        char buf[64];
        snprintf(buf, sizeof(buf), "%g", r->dval);
        return std::string("DOUBLE(") + buf + "|" + r->str + ")";
    }
    case VORN_REPLY_VERB:
        return std::string("VERB(") + r->vtype + "|" + s(r) + ")";
    default:
        break;
    }
    std::string name = r->type == VORN_REPLY_ARRAY ? "ARRAY"
                       : r->type == VORN_REPLY_MAP ? "MAP"
                       : r->type == VORN_REPLY_SET ? "SET"
                                                   : "PUSH";
    std::string out = name + "[";
    for (size_t i = 0; i < r->elements; i++)
        out += (i ? "," : "") + describe(r->element[i]);
    return out + "]";
}

// How the bytes reach the reader: fed, or, while a large payload is being
// received, written straight into its string as the context does.
enum class Delivery { Feed, Direct };

// Hands one piece to the reader; false when the reader refused it.
bool deliver(vornReader *r, std::string_view piece, Delivery how) {
    while (how == Delivery::Direct && !piece.empty()) {
        char *dst;
        size_t room = vornReaderDirectRoom(r, &dst);
        if (r->err) return false;
        if (room == 0) break;
        size_t n = std::min(room, piece.size());
        memcpy(dst, piece.data(), n);
        vornReaderDirectCommit(r, n);
        piece.remove_prefix(n);
    }
    return vornReaderFeed(r, piece.data(), piece.size()) == VORN_OK;
}

// Feeds the pieces in order, collecting every complete reply, or the error.
// directmin 0 keeps every payload on the buffered path.
std::string run(const std::vector<std::string> &pieces, size_t directmin = 0,
                Delivery how = Delivery::Feed) {
    vornReader *r = vornReaderCreate();
    r->directmin = directmin;
    std::string out;
    for (const auto &p : pieces) {
        if (!deliver(r, p, how)) break;
        while (true) {
            void *reply;
            if (vornReaderGetReply(r, &reply) != VORN_OK) break;
            if (reply == nullptr) break;
            out += describe(static_cast<vornReply *>(reply)) + ";";
            freeReplyObject(reply);
            EXPECT_LE(r->pos, r->len);
        }
        if (r->err) break;
    }
    if (r->err) {
        out += std::string("error ") + std::to_string(r->err) + ": " + r->errstr;
        EXPECT_EQ(r->buf, nullptr);
        EXPECT_EQ(r->len, 0u);
        EXPECT_EQ(r->direct.str, nullptr);
        // A failed reader refuses all further work.
        EXPECT_EQ(vornReaderFeed(r, "+OK\r\n", 5), VORN_ERR);
    }
    vornReaderFree(r);
    return out;
}

struct Case {
    std::string wire;
    std::string expect;
};

const std::string P = "error 4: "; // protocol error prefix

std::string repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; i++)
        out += s;
    return out;
}

std::string repeatJoined(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; i++)
        out += (i ? "," : "") + s;
    return out;
}

std::vector<Case> cases() {
    std::string d325 = "1." + std::string(323, '0'), d400(400, '1');
    std::string nest20;
    for (int i = 0; i < 20; i++)
        nest20 += "*1\r\n";
    nest20 += ":7\r\n";
    std::string nest20expect;
    for (int i = 0; i < 20; i++)
        nest20expect += "ARRAY[";
    nest20expect += "INT(7)" + std::string(20, ']') + ";";
    return {
        {"+OK\r\n", "STATUS(OK);"},
        {"+a\rb\r\n", "STATUS(a\rb);"},
        {"-ERR x\r\n", "ERR(ERR x);"},
        {"$5\r\nhello\r\n", "STR(hello);"},
        {"$3\r\nabcXY", "STR(abc);"},
        {"$0\r\n\r\n", "STR();"},
        {std::string("$3\r\na\0b\r\n", 9), std::string("STR(a\0b);", 9)},
        {"$-1\r\n", "NIL;"},
        {"*-1\r\n", "NIL;"},
        {"_\r\n", "NIL;"},
        {"$-2\r\n", P + "Bulk string length out of range"},
        {"$abc\r\n", P + "Bad bulk string length"},
        {"$01\r\n", P + "Bad bulk string length"},
        {"*0\r\n", "ARRAY[];"},
        {"*-2\r\n", P + "Multi-bulk length out of range"},
        {"*4294967296\r\n", P + "Multi-bulk length out of range"},
        {"*x\r\n", P + "Bad multi-bulk length"},
        {"%1\r\n+a\r\n:1\r\n", "MAP[STATUS(a),INT(1)];"},
        {"~2\r\n:1\r\n$1\r\nx\r\n", "SET[INT(1),STR(x)];"},
        {"*2\r\n*1\r\n:1\r\n:2\r\n", "ARRAY[ARRAY[INT(1)],INT(2)];"},
        {nest20, nest20expect},
        {":-9223372036854775808\r\n", "INT(-9223372036854775808);"},
        {":9223372036854775807\r\n", "INT(9223372036854775807);"},
        {":9223372036854775808\r\n", P + "Bad integer value"},
        {":+1\r\n", P + "Bad integer value"},
        {":-0\r\n", P + "Bad integer value"},
        {":007\r\n", P + "Bad integer value"},
        {":\r\n", P + "Bad integer value"},
        {":-\r\n", P + "Bad integer value"},
        {":0\r\n", "INT(0);"},
        {",3.14\r\n", "DOUBLE(3.14|3.14);"},
        {",inf\r\n", "DOUBLE(inf|inf);"},
        {",-INF\r\n", "DOUBLE(-inf|-INF);"},
        {",1e3\r\n", "DOUBLE(1000|1e3);"},
        {",nan\r\n", P + "Bad double value"},
        {",1.5x\r\n", P + "Bad double value"},
        {",\r\n", P + "Bad double value"},
        {"," + d400 + "\r\n", P + "Double value is too large"},
        {"," + d325 + "\r\n", "DOUBLE(1|" + d325 + ");"},
        {"#t\r\n", "TRUE;"},
        {"#T\r\n", "TRUE;"},
        {"#f\r\n", "FALSE;"},
        {"#\r\n", "FALSE;"},
        {"=15\r\ntxt:Some string\r\n", "VERB(txt|Some string);"},
        {"=3\r\ntxt\r\n",
         P + "Verbatim string 4 bytes of content type are missing or incorrectly encoded."},
        {"=5\r\ntxtab\r\n",
         P + "Verbatim string 4 bytes of content type are missing or incorrectly encoded."},
        {">2\r\n+message\r\n#t\r\n", "PUSH[STATUS(message),TRUE];"},
        {">2\r\n+a\r\n,1.5\r\n", "PUSH[STATUS(a),DOUBLE(1.5|1.5)];"},
        {"!x\r\n", P + "Protocol error, got \"!\" as reply type byte"},
        {std::string("\0", 1), P + "Protocol error, got \"\\x00\" as reply type byte"},
        {"\n", P + "Protocol error, got \"\\n\" as reply type byte"},
        {"\"", P + "Protocol error, got \"\\\"\" as reply type byte"},
        {"\xff", P + "Protocol error, got \"\\xff\" as reply type byte"},
        {"(1\r\n", P + "Protocol error, got \"(\" as reply type byte"},
        {"|1\r\n", P + "Protocol error, got \"|\" as reply type byte"},
        {"+a\r\n:1\r\n", "STATUS(a);INT(1);"},
        {"*2\r\n+a\r\n!", P + "Protocol error, got \"!\" as reply type byte"},
        {"\\", P + "Protocol error, got \"\\\\\" as reply type byte"},
        {"\t", P + "Protocol error, got \"\\t\" as reply type byte"},
        {"\r", P + "Protocol error, got \"\\r\" as reply type byte"},
        {"\a", P + "Protocol error, got \"\\a\" as reply type byte"},
        {"\b", P + "Protocol error, got \"\\b\" as reply type byte"},
        {"\x7f", P + "Protocol error, got \"\\x7f\" as reply type byte"},
        // Payload bytes are never searched for line ends.
        {"$4\r\na\r\nb\r\n", "STR(a\r\nb);"},
        {"+a\r\r\n", "STATUS(a\r);"},
        {"=4\r\ntxt:\r\n", "VERB(txt|);"},
        {"%0\r\n", "MAP[];"},
        {"%-1\r\n~-1\r\n>-1\r\n", "NIL;NIL;NIL;"},
        {"*3\r\n$-1\r\n*0\r\n_\r\n", "ARRAY[NIL,ARRAY[],NIL];"},
        {"%2\r\n+a\r\n*1\r\n:1\r\n$1\r\nb\r\n%1\r\n#f\r\n,-1\r\n",
         "MAP[STATUS(a),ARRAY[INT(1)],STR(b),MAP[FALSE,DOUBLE(-1|-1)]];"},
        {"_anything\r\n", "NIL;"},
        // Child arrays grow as children arrive.
        {"*20\r\n" + repeat(":5\r\n", 20), "ARRAY[" + repeatJoined("INT(5)", 20) + "];"},
        {"%9\r\n" + repeat("+k\r\n$1\r\nv\r\n", 9),
         "MAP[" + repeatJoined("STATUS(k),STR(v)", 9) + "];"},
        {"*17\r\n" + repeat("*1\r\n_\r\n", 17), "ARRAY[" + repeatJoined("ARRAY[NIL]", 17) + "];"},
        {"=8\r\nmkd:a\r\nb\r\n:1\r\n", "VERB(mkd|a\r\nb);INT(1);"},
        {"*2\r\n$6\r\nabcdefXY$2\r\nzz\r\n", "ARRAY[STR(abcdef),STR(zz)];"},
        {"$ 1\r\nx\r\n", P + "Bad bulk string length"},
        {"*1\r\n$-5\r\n", P + "Bulk string length out of range"},
        {std::string(",1.5\0\r\n", 7), P + "Bad double value"},
    };
}

// Every case on the buffered path, and on the direct path from the smallest
// payloads up, both fed and written into the string: a payload split at any
// byte switches over there and must come out the same.
TEST(ReaderCases, WholeOneByteAndEverySplit) {
    struct Path {
        size_t directmin;
        Delivery how;
    };
    for (Path path : {Path{0, Delivery::Feed}, Path{1, Delivery::Feed}, Path{1, Delivery::Direct},
                      Path{3, Delivery::Direct}}) {
        SCOPED_TRACE("directmin " + std::to_string(path.directmin) +
                     (path.how == Delivery::Direct ? " direct" : " fed"));
        for (const auto &c : cases()) {
            EXPECT_EQ(run({c.wire}, path.directmin, path.how), c.expect) << "whole: " << c.wire;
            std::vector<std::string> bytes;
            for (char ch : c.wire)
                bytes.emplace_back(1, ch);
            EXPECT_EQ(run(bytes, path.directmin, path.how), c.expect) << "bytewise: " << c.wire;
            for (size_t i = 1; i < c.wire.size(); i++)
                for (size_t j = i + 1; j <= c.wire.size(); j += 3)
                    EXPECT_EQ(run({c.wire.substr(0, i), c.wire.substr(i, j - i), c.wire.substr(j)},
                                  path.directmin, path.how),
                              c.expect)
                        << "split " << i << "," << j << ": " << c.wire;
        }
    }
}

TEST(Reader, IncompleteLineGivesNothingUntilLf) {
    vornReader *r = vornReaderCreate();
    void *reply;
    ASSERT_EQ(vornReaderFeed(r, "+OK\r", 4), VORN_OK);
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    EXPECT_EQ(reply, nullptr);
    ASSERT_EQ(vornReaderFeed(r, "\n", 1), VORN_OK);
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(static_cast<vornReply *>(reply)->len, 2u);
    freeReplyObject(reply);
    vornReaderFree(r);
}

TEST(Reader, StackGrowsByNine) {
    vornReader *r = vornReaderCreate();
    EXPECT_EQ(r->tasks, 9);
    std::string wire;
    for (int i = 0; i < 20; i++)
        wire += "*1\r\n";
    wire += ":1\r\n";
    ASSERT_EQ(vornReaderFeed(r, wire.data(), wire.size()), VORN_OK);
    void *reply;
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(r->tasks, 27);
    freeReplyObject(reply);
    vornReaderFree(r);
}

TEST(Reader, CompactsAfter1024ConsumedAndReleasesIdleBuffer) {
    vornReader *r = vornReaderCreate();
    std::string small = "+" + std::string(600, 'a') + "\r\n";
    void *reply;
    ASSERT_EQ(vornReaderFeed(r, small.data(), small.size()), VORN_OK);
    ASSERT_EQ(vornReaderFeed(r, small.data(), small.size()), VORN_OK);
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    freeReplyObject(reply);
    EXPECT_EQ(r->pos, small.size()); // below 1024: nothing moved yet
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    freeReplyObject(reply);
    EXPECT_EQ(r->pos, 0u);
    EXPECT_EQ(r->len, 0u);

    // A huge consumed reply leaves a big free buffer; the next feed gives it back.
    std::string big = "$100000\r\n" + std::string(100000, 'b') + "\r\n";
    ASSERT_EQ(vornReaderFeed(r, big.data(), big.size()), VORN_OK);
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    freeReplyObject(reply);
    EXPECT_GT(hi_sdsavail(r->buf), r->maxbuf);
    ASSERT_EQ(vornReaderFeed(r, "+x\r\n", 4), VORN_OK);
    EXPECT_LE(hi_sdsalloc(r->buf), 64u);
    vornReaderFree(r);
}

TEST(Reader, GetWithoutReplyPointerFreesTheReply) {
    vornReader *r = vornReaderCreate();
    ASSERT_EQ(vornReaderFeed(r, "*1\r\n+a\r\n", 8), VORN_OK);
    ASSERT_EQ(vornReaderGetReply(r, nullptr), VORN_OK);
    EXPECT_EQ(r->reply, nullptr);
    EXPECT_EQ(r->ridx, -1);
    vornReaderFree(r);
}

TEST(Reader, HalfBuiltReplyIsReleasedWithTheReader) {
    vornReader *r = vornReaderCreate();
    ASSERT_EQ(vornReaderFeed(r, "*3\r\n+a\r\n*2\r\n:1\r\n", 16), VORN_OK);
    void *reply;
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    EXPECT_EQ(reply, nullptr);
    EXPECT_NE(r->reply, nullptr);
    vornReaderFree(r); // the sanitizer run proves nothing leaks
}

// A reader without builders parses everything and builds nothing, which is
// how the largest accepted count is tested without allocating it.
TEST(Reader, BarebonesReaderAcceptsTheLargestCount) {
    vornReplyObjectFunctions none = {};
    vornReader *r = vornReaderCreateWithFunctions(&none);
    const char *wire = "*4294967295\r\n";
    ASSERT_EQ(vornReaderFeed(r, wire, strlen(wire)), VORN_OK);
    void *reply;
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    EXPECT_EQ(r->err, 0);
    EXPECT_EQ(reply, nullptr); // waiting for 4294967295 children
    vornReaderFree(r);

    r = vornReaderCreateWithFunctions(nullptr);
    ASSERT_EQ(vornReaderFeed(r, "*2\r\n$1\r\nx\r\n:3\r\n", 15), VORN_OK);
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    EXPECT_EQ(reply, reinterpret_cast<void *>(VORN_REPLY_ARRAY));
    vornReaderFree(r);
}

TEST(Reader, MaxElementsLimit) {
    vornReader *r = vornReaderCreate();
    r->maxelements = 2;
    ASSERT_EQ(vornReaderFeed(r, "*3\r\n", 4), VORN_OK);
    EXPECT_EQ(vornReaderGetReply(r, nullptr), VORN_ERR);
    EXPECT_STREQ(r->errstr, "Multi-bulk length out of range");
    vornReaderFree(r);
}

// A tree nested far deeper than any call stack could recurse into must still
// be built and released.
// Neither building nor releasing a tree takes a stack frame per level.
TEST(Reader, VeryDeepNestingIsBuiltAndReleased) {
    const int depth = smallstack::kDepth;
    std::string wire;
    for (int i = 0; i < depth; i++)
        wire += "*1\r\n";
    wire += ":5\r\n";
    smallstack::run([&] {
        vornReader *r = vornReaderCreate();
        ASSERT_EQ(vornReaderFeed(r, wire.data(), wire.size()), VORN_OK);
        void *reply;
        ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
        ASSERT_NE(reply, nullptr);
        auto *n = static_cast<vornReply *>(reply);
        for (int i = 0; i < depth; i++) {
            ASSERT_EQ(n->type, VORN_REPLY_ARRAY);
            ASSERT_EQ(n->elements, 1u);
            n = n->element[0];
        }
        EXPECT_EQ(n->type, VORN_REPLY_INTEGER);
        EXPECT_EQ(n->integer, 5);
        freeReplyObject(reply);
        vornReaderFree(r);
    });
}

// Without a limit, a map count that cannot be doubled is refused rather than
// overflowing.
TEST(Reader, UnlimitedMapCountMustSurviveDoubling) {
    vornReplyObjectFunctions none = {};
    for (long long limit : {0LL, -1LL}) {
        vornReader *r = vornReaderCreateWithFunctions(&none);
        r->maxelements = limit;
        const char *ok = "*9223372036854775807\r\n";
        ASSERT_EQ(vornReaderFeed(r, ok, strlen(ok)), VORN_OK);
        EXPECT_EQ(vornReaderGetReply(r, nullptr), VORN_OK);
        vornReaderFree(r);

        r = vornReaderCreateWithFunctions(&none);
        r->maxelements = limit;
        const char *map = "%4611686018427387904\r\n";
        ASSERT_EQ(vornReaderFeed(r, map, strlen(map)), VORN_OK);
        EXPECT_EQ(vornReaderGetReply(r, nullptr), VORN_ERR);
        EXPECT_STREQ(r->errstr, "Multi-bulk length out of range");
        vornReaderFree(r);
    }
}

TEST(String2ll, Table) {
    struct {
        const char *s;
        int ok;
        long long v;
    } cases[] = {{"0", 1, 0},
                 {"-1", 1, -1},
                 {"123", 1, 123},
                 {"", 0, 0},
                 {"-", 0, 0},
                 {"-0", 0, 0},
                 {"01", 0, 0},
                 {"+1", 0, 0},
                 {" 1", 0, 0},
                 {"1 ", 0, 0},
                 {"18446744073709551616", 0, 0},
                 {"-9223372036854775809", 0, 0}};
    for (const auto &c : cases) {
        long long v = 42;
        EXPECT_EQ(string2ll(c.s, strlen(c.s), &v), c.ok) << c.s;
        if (c.ok) {
            EXPECT_EQ(v, c.v) << c.s;
        }
    }
}

// Allocation failure: make the n-th allocation fail for n = 0, 1, ... until
// the whole operation succeeds; every failure must be clean.
int failAt = -1;
void *failMalloc(size_t n) {
    return failAt-- == 0 ? nullptr : malloc(n);
}
void *failCalloc(size_t a, size_t b) {
    return failAt-- == 0 ? nullptr : calloc(a, b);
}
void *failRealloc(void *p, size_t n) {
    return failAt-- == 0 ? nullptr : realloc(p, n);
}

TEST(ReaderOutOfMemory, EveryAllocationFailureIsClean) {
    hivornAllocFuncs fns = {failMalloc, failCalloc, failRealloc, strdup, free};
    std::string wire = "*3\r\n%1\r\n+k\r\n=8\r\ntxt:abcd\r\n*12\r\n" + std::string("*1\r\n") +
                       "*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n:1\r\n";
    // Eleven more children for the *12 so the reply completes.
    for (int i = 0; i < 11; i++)
        wire += ",2.5\r\n";
    wire += "$3\r\nend\r\n";
    bool succeeded = false;
    for (int n = 0; n < 500 && !succeeded; n++) {
        hivornAllocFuncs old = hivornSetAllocators(&fns);
        failAt = n;
        vornReader *r = vornReaderCreate();
        void *reply = nullptr;
        int rc = VORN_ERR;
        if (r != nullptr && vornReaderFeed(r, wire.data(), wire.size()) == VORN_OK)
            rc = vornReaderGetReply(r, &reply);
        failAt = -1;
        hivornSetAllocators(&old);
        if (r == nullptr) continue; // creation may fail: null, nothing leaked
        if (rc == VORN_ERR) {
            EXPECT_EQ(r->err, VORN_ERR_OOM);
            EXPECT_STREQ(r->errstr, "Out of memory");
        } else {
            ASSERT_NE(reply, nullptr);
            succeeded = true;
        }
        freeReplyObject(reply);
        vornReaderFree(r);
    }
    EXPECT_TRUE(succeeded);
}

// The same, fed in pieces with a reply asked for after each: this reaches the
// buffer growth, the room reserved ahead of a large payload, compaction, the
// release of an idle buffer, stack growth and child arrays growing in later
// calls; and on the direct path the payload's string, its growth and its
// hand-over to the node, fed or written straight into it.
TEST(ReaderOutOfMemory, PiecewiseFeedingFailsCleanly) {
    hivornAllocFuncs fns = {failMalloc, failCalloc, failRealloc, strdup, free};
    std::string big = "$200000\r\n" + std::string(200000, 'p') + "\r\n";
    std::string deep;
    for (int i = 0; i < 12; i++)
        deep += "*1\r\n";
    deep += "#t\r\n";
    std::string wide =
        "*12\r\n" + repeat(":1\r\n", 11) + "=150004\r\ntxt:" + std::string(150000, 'w') + "\r\n";
    std::string wire = big + "+after\r\n" + deep + "%1\r\n,1.5\r\n=5\r\ntxt:x\r\n" + wide;
    const size_t piece = 4096;
    struct Path {
        size_t directmin;
        Delivery how;
    };
    for (Path path :
         {Path{0, Delivery::Feed}, Path{100000, Delivery::Feed}, Path{100000, Delivery::Direct}}) {
        SCOPED_TRACE("directmin " + std::to_string(path.directmin));
        bool succeeded = false;
        for (int n = 0; n < 2000 && !succeeded; n++) {
            hivornAllocFuncs old = hivornSetAllocators(&fns);
            failAt = n;
            vornReader *r = vornReaderCreate();
            int replies = 0;
            bool failed = r == nullptr;
            if (r != nullptr) r->directmin = path.directmin;
            for (size_t off = 0; !failed && off < wire.size(); off += piece) {
                size_t len = std::min(piece, wire.size() - off);
                if (!deliver(r, std::string_view(wire).substr(off, len), path.how)) {
                    failed = true;
                    break;
                }
                void *reply;
                while (!failed) {
                    if (vornReaderGetReply(r, &reply) != VORN_OK) {
                        failed = true;
                    } else if (reply == nullptr) {
                        break;
                    } else {
                        replies++;
                        freeReplyObject(reply);
                    }
                }
            }
            failAt = -1;
            hivornSetAllocators(&old);
            if (r == nullptr) continue;
            if (failed) {
                EXPECT_EQ(r->err, VORN_ERR_OOM) << "allocation " << n;
                EXPECT_STREQ(r->errstr, "Out of memory");
                EXPECT_EQ(r->buf, nullptr);
                EXPECT_EQ(r->reply, nullptr);
                EXPECT_EQ(r->direct.str, nullptr);
            } else {
                EXPECT_EQ(replies, 5);
                succeeded = true;
            }
            vornReaderFree(r);
        }
        EXPECT_TRUE(succeeded);
    }
}

// ---- the direct path of large payloads ----

std::string bulk(size_t n, char fill = 'p') {
    return "$" + std::to_string(n) + "\r\n" + std::string(n, fill) + "\r\n";
}

// A payload of exactly the threshold takes the direct path, one byte less
// does not; both give the same string.
TEST(ReaderDirect, ThresholdDecidesThePath) {
    for (size_t n : {size_t(VORN_READER_DIRECT_MIN) - 1, size_t(VORN_READER_DIRECT_MIN)}) {
        vornReader *r = vornReaderCreate();
        std::string wire = bulk(n);
        ASSERT_EQ(vornReaderFeed(r, wire.data(), 100), VORN_OK);
        void *reply;
        ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
        EXPECT_EQ(reply, nullptr);
        EXPECT_EQ(r->direct.str != nullptr, n >= VORN_READER_DIRECT_MIN) << n;
        ASSERT_TRUE(deliver(r, std::string_view(wire).substr(100), Delivery::Direct));
        ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
        ASSERT_NE(reply, nullptr);
        auto *str = static_cast<vornReply *>(reply);
        EXPECT_EQ(str->type, VORN_REPLY_STRING);
        EXPECT_EQ(str->len, n);
        EXPECT_EQ(str->str[n], '\0');
        EXPECT_EQ(std::string(str->str, n), std::string(n, 'p'));
        freeReplyObject(reply);
        vornReaderFree(r);
    }
}

// The room offered never reaches past the payload's CR LF, so the bytes of
// the next reply stay for the buffer, and never reserves more ahead than
// what has arrived (or the 64 KiB floor).
TEST(ReaderDirect, RoomIsBoundedByWhatArrivedAndByThePayload) {
    const size_t n = 3u << 20;
    std::string wire = "*2\r\n" + bulk(n, 'q') + "+next\r\n";
    vornReader *r = vornReaderCreate();
    r->directmin = 1024;
    ASSERT_EQ(vornReaderFeed(r, wire.data(), 5000), VORN_OK);
    ASSERT_EQ(vornReaderGetReply(r, nullptr), VORN_OK);
    ASSERT_NE(r->direct.str, nullptr);
    size_t off = 5000, rooms = 0;
    for (;;) {
        char *dst;
        size_t room = vornReaderDirectRoom(r, &dst);
        if (room == 0) break;
        rooms++;
        size_t arrived = r->direct.filled;
        EXPECT_LE(r->direct.cap - arrived, std::max<size_t>(arrived, 64 * 1024));
        EXPECT_LE(r->direct.cap, n + 2);
        // Offered room is taken whole, as a fast socket would fill it.
        ASSERT_LE(off + room, wire.size() - strlen("+next\r\n"));
        memcpy(dst, wire.data() + off, room);
        vornReaderDirectCommit(r, room);
        off += room;
    }
    EXPECT_GT(rooms, 3u); // the string grew several times
    EXPECT_EQ(wire.substr(off), "+next\r\n");
    ASSERT_EQ(vornReaderFeed(r, wire.data() + off, wire.size() - off), VORN_OK);
    void *reply;
    ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK);
    ASSERT_NE(reply, nullptr);
    auto *a = static_cast<vornReply *>(reply);
    ASSERT_EQ(a->elements, 2u);
    EXPECT_EQ(a->element[0]->len, n);
    EXPECT_EQ(std::string(a->element[0]->str, n), std::string(n, 'q'));
    EXPECT_EQ(std::string(a->element[1]->str), "next");
    freeReplyObject(reply);
    vornReaderFree(r);
}

// Bytes fed while a payload is being received continue it, and no room is
// offered while fed bytes wait, so the order of the stream holds.
TEST(ReaderDirect, FedBytesAndDirectWritesInterleave) {
    const size_t n = 200000;
    std::string wire =
        "=" + std::to_string(n + 4) + "\r\ntxt:" + std::string(n, 'v') + "\r\n:7\r\n";
    vornReader *r = vornReaderCreate();
    r->directmin = 1000;
    size_t off = 0;
    std::string out;
    for (int step = 0; off < wire.size(); step++) {
        size_t piece = std::min<size_t>(wire.size() - off, 1000 + 7919 * (step % 5));
        if (step % 2 == 0) {
            ASSERT_EQ(vornReaderFeed(r, wire.data() + off, piece), VORN_OK);
            char *dst;
            EXPECT_EQ(vornReaderDirectRoom(r, &dst), 0u); // fed bytes first
        } else {
            ASSERT_TRUE(deliver(r, std::string_view(wire).substr(off, piece), Delivery::Direct));
        }
        off += piece;
        void *reply;
        while (vornReaderGetReply(r, &reply) == VORN_OK && reply != nullptr) {
            out += describe(static_cast<vornReply *>(reply)).substr(0, 12) + ";";
            freeReplyObject(reply);
        }
    }
    EXPECT_EQ(out, "VERB(txt|vvv;INT(7);");
    vornReaderFree(r);
}

// Announced sizes alone reserve nothing much: a hostile count or length
// followed by a little data allocates in proportion to the data.
class LargestAllocation {
  public:
    LargestAllocation() : saved_(hivornAllocFns) {
        largest = 0;
        hivornAllocFns.mallocFn = [](size_t n) { return note(n) ? malloc(n) : nullptr; };
        hivornAllocFns.callocFn = [](size_t a, size_t b) {
            return note(a * b) ? calloc(a, b) : nullptr;
        };
        hivornAllocFns.reallocFn = [](void *p, size_t n) {
            return note(n) ? realloc(p, n) : nullptr;
        };
        hivornAllocFns.strdupFn = strdup;
        hivornAllocFns.freeFn = free;
    }
    ~LargestAllocation() { hivornAllocFns = saved_; }
    static inline size_t largest = 0;

  private:
    static bool note(size_t n) {
        largest = std::max(largest, n);
        return true;
    }
    hivornAllocFuncs saved_;
};

TEST(ReaderHostileSizes, AnnouncementsReserveInProportionToData) {
    const std::string some(1000, 'x');
    struct Row {
        std::string wire;
        size_t directmin;
    } rows[] = {
        {"*4294967295\r\n" + repeat(":1\r\n", 100), VORN_READER_DIRECT_MIN},
        {"%2147483647\r\n" + repeat("+k\r\n:1\r\n", 50), VORN_READER_DIRECT_MIN},
        {"~4294967295\r\n*4294967295\r\n>4294967295\r\n:1\r\n", VORN_READER_DIRECT_MIN},
        {"$9223372036854775807\r\n" + some, VORN_READER_DIRECT_MIN},
        {"$9223372036854775807\r\n" + some, 0},
        {"*1\r\n=4000000000\r\ntxt:" + some, VORN_READER_DIRECT_MIN},
    };
    for (const auto &row : rows) {
        LargestAllocation probe;
        vornReader *r = vornReaderCreate();
        r->directmin = row.directmin;
        void *reply = nullptr;
        for (size_t off = 0; off < row.wire.size(); off += 100) {
            size_t n = std::min<size_t>(100, row.wire.size() - off);
            ASSERT_EQ(vornReaderFeed(r, row.wire.data() + off, n), VORN_OK);
            ASSERT_EQ(vornReaderGetReply(r, &reply), VORN_OK) << r->errstr;
        }
        EXPECT_EQ(reply, nullptr);
        EXPECT_LE(LargestAllocation::largest, 256u * 1024) << row.wire.substr(0, 20);
        vornReaderFree(r);
    }
}

// The same under a real address-space limit, in a child process: the hostile
// header is parsed without error, and a legitimate reply still works.
TEST(ReaderHostileSizes, HostileHeaderUnderAMemoryLimit) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
    int status = runInChild([] {
        // 1 GiB above what the process has mapped: far below 32 GiB of
        // child pointers.
        if (!limitAddressSpace(1ull << 30)) return 3;
        vornReader *r = vornReaderCreate();
        std::string hostile = "*4294967295\r\n:1\r\n:2\r\n";
        void *reply = nullptr;
        if (vornReaderFeed(r, hostile.data(), hostile.size()) != VORN_OK ||
            vornReaderGetReply(r, &reply) != VORN_OK || reply != nullptr)
            return 1;
        vornReaderFree(r);
        r = vornReaderCreate();
        if (vornReaderFeed(r, "*1\r\n+OK\r\n", 9) != VORN_OK ||
            vornReaderGetReply(r, &reply) != VORN_OK || reply == nullptr)
            return 2;
        freeReplyObject(reply);
        vornReaderFree(r);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
