// Request encoding from a format and from an argument vector.
#include <gtest/gtest.h>

#include <string>

#include "hivorn/hivorn.h"

namespace {

std::string fmt(int *rc, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *cmd = nullptr;
    *rc = vornvFormatCommand(&cmd, format, ap);
    va_end(ap);
    if (*rc < 0) return "";
    std::string out(cmd, *rc);
    EXPECT_EQ(cmd[*rc], '\0');
    vornFreeCommand(cmd);
    return out;
}

TEST(FormatCommand, Table) {
    int rc;
    EXPECT_EQ(fmt(&rc, "SET %s %s", "k", ""), "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$0\r\n\r\n");
    EXPECT_EQ(fmt(&rc, "  SET   k    v  "), "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$1\r\nv\r\n");
    EXPECT_EQ(fmt(&rc, "INCRBY k %d", 5), "*3\r\n$6\r\nINCRBY\r\n$1\r\nk\r\n$1\r\n5\r\n");
    EXPECT_EQ(fmt(&rc, "X %lld %.2f", 1234567890123LL, 2.5),
              "*3\r\n$1\r\nX\r\n$13\r\n1234567890123\r\n$4\r\n2.50\r\n");
    EXPECT_EQ(fmt(&rc, "X %hhd%hd%ld%u%x", 1, 2, 3L, 4u, 255), "*2\r\n$1\r\nX\r\n$6\r\n1234ff\r\n");
    EXPECT_EQ(fmt(&rc, "A %"), "*2\r\n$1\r\nA\r\n$1\r\n%\r\n");
    EXPECT_EQ(fmt(&rc, "A 100%%"), "*2\r\n$1\r\nA\r\n$4\r\n100%\r\n");
    EXPECT_EQ(fmt(&rc, "GET %b", "a\0b", static_cast<size_t>(3)),
              std::string("*2\r\n$3\r\nGET\r\n$3\r\na\0b\r\n", 22));
    EXPECT_EQ(fmt(&rc, "A\tB\nC"), "*1\r\n$5\r\nA\tB\nC\r\n");
    EXPECT_EQ(fmt(&rc, "k%sv", "-"), "*1\r\n$3\r\nk-v\r\n");
    std::string empty = fmt(&rc, "");
    EXPECT_EQ(empty, "*0\r\n");
    EXPECT_EQ(rc, 4);
    EXPECT_EQ(fmt(&rc, "   "), "*0\r\n");
    // A conversion longer than 13 characters is skipped, its argument
    // still consumed: the walk resumes two characters after the '%'.
    EXPECT_EQ(fmt(&rc, "A %000000000000010d %s", 7, "z"),
              "*3\r\n$1\r\nA\r\n$15\r\n00000000000010d\r\n$1\r\nz\r\n");
    // The boundary: 13 characters are rendered, 14 are not.
    EXPECT_EQ(fmt(&rc, "A %00000000010d|", 7), "*2\r\n$1\r\nA\r\n$11\r\n0000000007|\r\n");
    EXPECT_EQ(fmt(&rc, "A %000000000010d|", 7), "*2\r\n$1\r\nA\r\n$13\r\n00000000010d|\r\n");
    // An empty %b argument is still an argument.
    EXPECT_EQ(fmt(&rc, "A %b", "", static_cast<size_t>(0)), "*2\r\n$1\r\nA\r\n$0\r\n\r\n");
}

TEST(FormatCommand, InvalidConversionsGiveMinusTwo) {
    int rc;
    for (const char *f : {"A %c", "A %p", "A %zu", "A %5s", "A %l", "A %hq", "A %.", "A %q"}) {
        fmt(&rc, f, 1);
        EXPECT_EQ(rc, -2) << f;
    }
}

TEST(FormatSdsArgv, WithAndWithoutLengths) {
    const char *argv[] = {"GET", "k"};
    hisds cmd;
    long long len = vornFormatSdsCommandArgv(&cmd, 2, argv, nullptr);
    EXPECT_EQ(std::string(cmd, hi_sdslen(cmd)), "*2\r\n$3\r\nGET\r\n$1\r\nk\r\n");
    EXPECT_EQ(len, static_cast<long long>(hi_sdslen(cmd)));
    vornFreeSdsCommand(cmd);

    const char *bin[] = {"SET", "a\0b", ""};
    size_t lens[] = {3, 3, 0};
    len = vornFormatSdsCommandArgv(&cmd, 3, bin, lens);
    std::string expect("*3\r\n$3\r\nSET\r\n$3\r\na\0b\r\n$0\r\n\r\n", 28);
    EXPECT_EQ(std::string(cmd, hi_sdslen(cmd)), expect);
    EXPECT_EQ(len, 28);
    vornFreeSdsCommand(cmd);

    EXPECT_EQ(vornFormatSdsCommandArgv(nullptr, 2, argv, nullptr), -1);
}

int failAt = -1;
void *failMalloc(size_t n) {
    return failAt-- == 0 ? nullptr : malloc(n);
}
void *failRealloc(void *p, size_t n) {
    return failAt-- == 0 ? nullptr : realloc(p, n);
}

TEST(FormatOutOfMemory, EncodersFailWithMinusOne) {
    hivornAllocFuncs fns = {failMalloc, calloc, failRealloc, strdup, free};
    const char *argv[] = {"SET", "key", "value"};
    bool fmtOk = false, argvOk = false;
    for (int n = 0; n < 100 && !(fmtOk && argvOk); n++) {
        hivornAllocFuncs old = hivornSetAllocators(&fns);
        failAt = n;
        char *cmd = nullptr;
        int rc = vornFormatCommand(&cmd, "SET %s %d %.1f", "key", 7, 1.5);
        failAt = n;
        hisds scmd = nullptr;
        long long src = vornFormatSdsCommandArgv(&scmd, 3, argv, nullptr);
        failAt = -1;
        hivornSetAllocators(&old);
        if (rc < 0) {
            EXPECT_EQ(rc, -1);
        } else {
            fmtOk = true;
            vornFreeCommand(cmd);
        }
        if (src < 0) {
            EXPECT_EQ(src, -1);
        } else {
            argvOk = true;
            vornFreeSdsCommand(scmd);
        }
    }
    EXPECT_TRUE(fmtOk && argvOk);
}

} // namespace
