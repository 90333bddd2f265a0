#include "modes/stat.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

TEST(BytesToHuman, UnitBoundaries) {
    const int64_t K = 1024, M = K * K, G = M * K, T = G * K;
    struct Row {
        int64_t n;
        const char *want;
    } rows[] = {
        {0, "0B"},
        {1023, "1023B"},
        {1024, "1.00K"},
        {1536, "1.50K"},
        {M - 1, "1024.00K"}, // still below 1024²
        {5 * M, "5.00M"},
        {G - 1, "1024.00M"},
        {G, "1.00G"},
        {T - 1, "1024.00G"},
        {T, "1.00T"}, // past the gigabytes the text goes on growing
        {T * 1024 * 3, "3.00P"},
        {-1023, "-1023B"},
        {-1536, "-1.50K"},
        {INT64_MIN, "-8192.00P"}, // the most negative count has a magnitude too
    };
    for (const Row &r : rows) {
        char buf[64] = "untouched";
        bytesToHuman(buf, r.n, sizeof(buf));
        EXPECT_STREQ(buf, r.want) << r.n;
    }
}

TEST(BytesToHuman, StaysInsideTheBuffer) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    bytesToHuman(buf, 5 * 1024 * 1024, sizeof(buf));
    EXPECT_EQ(std::string(buf), "5.0");
}

TEST(InfoKeyspaceKeys, SumsEveryDatabaseLine) {
    struct Row {
        const char *info;
        int64_t want;
    } rows[] = {
        {"# Keyspace\r\n", 0},
        {"# Keyspace\r\ndb0:keys=3,expires=0\r\ndb3:keys=4,expires=1\r\n", 7},
        // Beyond db19 as well; a name that merely contains "db" is no database.
        {"used_db1:keys=100\r\ndb25:keys=2,expires=0\r\ndb:keys=9\r\n", 2},
        {"db0:keys=5", 5}, // last line without CR LF
    };
    for (const Row &r : rows)
        EXPECT_EQ(infoKeyspaceKeys(r.info), r.want) << r.info;
}
