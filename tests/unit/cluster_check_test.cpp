// Configuration signatures: equal slot configurations give equal texts
// whatever the order of the lines and ranges, and open slots do not count.
#include "cluster/check.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(ClusterSignature, EqualViewsEqualSignatures) {
    const std::string a = "aaaa", b = "bbbb", c = "cccc";
    std::string view1 = a + " h:1@2 myself,master - 0 0 1 connected 0-5460\n" + b +
                        " h:2@3 master - 0 0 2 connected 5461-10922 [5461->-" + c + "]\n" + c +
                        " h:3@4 master - 0 0 3 connected 10923-16383 100\n" + "dddd h:4@5 slave " +
                        a + " 0 0 1 connected\n";
    // Another node's view: other order, other ranges order, another open
    // slot, its own myself flag.
    std::string view2 = c + " h:3@4 master - 0 0 3 connected 100 10923-16383 [7-<-" + a + "]\n" +
                        b + " h:2@3 myself,master - 0 0 2 connected 5461-10922\n" + a +
                        " h:1@2 master - 0 0 1 connected 0-5460\n";
    hisds s1 = clusterManagerConfigSignatureOf(view1);
    hisds s2 = clusterManagerConfigSignatureOf(view2);
    ASSERT_NE(s1, nullptr);
    ASSERT_NE(s2, nullptr);
    // Entries sort byte-wise, so "100" comes before "10923-16383".
    EXPECT_STREQ(s1, "aaaa:0-5460|bbbb:5461-10922|cccc:100,10923-16383");
    EXPECT_STREQ(s1, s2);
    hi_sdsfree(s1);
    hi_sdsfree(s2);

    std::string moved = a + " h:1@2 myself,master - 0 0 1 connected 0-5459\n" + b +
                        " h:2@3 master - 0 0 2 connected 5460-10922\n";
    hisds s3 = clusterManagerConfigSignatureOf(moved);
    EXPECT_STREQ(s3, "aaaa:0-5459|bbbb:5460-10922");
    hi_sdsfree(s3);
}

TEST(ClusterSignature, NoSlotsNoSignature) {
    const char *texts[] = {
        "",
        "aaaa h:1@2 myself,master - 0 0 1 connected\n",            // eight tokens, no remainder
        "aaaa h:1@2 myself,master - 0 0 1 connected \n",           // an empty remainder
        "aaaa h:1@2 myself,master - 0 0 1 connected [5->-bbbb]\n", // open slots only
        "aaaa h:1@2 myself,master - 0 0 1 connected 0-16383",      // no line end
    };
    for (const char *t : texts)
        EXPECT_EQ(clusterManagerConfigSignatureOf(t), nullptr) << t;
}

} // namespace
