#include "modes/info_field.h"

#include <cstdint>

#include <gtest/gtest.h>

TEST(GetLongInfoField, FirstOccurrenceAndItsEnd) {
    const char *info = "# Memory\r\nused_memory:1024\r\nused_memory_human:1.00K\r\n"
                       "connected_clients: 7\r\n"
                       "# Keyspace\r\ndb0:keys=12,expires=3,avg_ttl=0\r\n"
                       "db3:keys=5,expires=0\r\nlast:-42";
    struct Row {
        const char *field;
        int64_t want;
    } rows[] = {
        {"used_memory", 1024},        // the plain name comes first
        {"used_memory_human", 1},     // conversion stops at the first non-digit
        {"connected_clients", 7},     // leading blanks accepted
        {"db0:keys", 12},             // a comma ends the value
        {"db3:keys", 5},
        {"expires", 3},               // first match anywhere, even inside a line
        {"last", -42},                // no CR after it: runs to the end
        {"db1:keys", INT64_MIN},      // absent
        {"Memory", 0},                // no digits
        {"-42", 0},                   // a match at the very end
    };
    for (const Row &r : rows)
        EXPECT_EQ(getLongInfoField(info, r.field), r.want) << r.field;
}
