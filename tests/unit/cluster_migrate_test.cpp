// The slot migration engine's requests and reply checks against scripted
// peers: the MIGRATE words with every credential form, the value digests
// compared key by key, and the replies a node cannot really send.
#include "cluster/migrate.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/config.h"
#include "scripted_node.h"

namespace {

using namespace scripted;

// A GETKEYSINSLOT-like reply holding keys, built without a connection.
class KeysReply {
  public:
    explicit KeysReply(const std::vector<std::string> &keys) {
        std::string wire = "*" + std::to_string(keys.size()) + "\r\n";
        for (const std::string &k : keys)
            wire += "$" + std::to_string(k.size()) + "\r\n" + k + "\r\n";
        vornReader *r = vornReaderCreate();
        vornReaderFeed(r, wire.data(), wire.size());
        void *out = nullptr;
        vornReaderGetReply(r, &out);
        vornReaderFree(r);
        reply_ = static_cast<vornReply *>(out);
    }
    ~KeysReply() { freeReplyObject(reply_); }
    vornReply *get() const { return reply_; }

  private:
    vornReply *reply_ = nullptr;
};

class Migrate : public ScriptedCluster {
  protected:
    void SetUp() override {
        ScriptedCluster::SetUp();
        saved_auth = config.auth;
        saved_user = config.user;
    }
    void TearDown() override {
        config.auth = saved_auth;
        config.user = saved_user;
        ScriptedCluster::TearDown();
    }
    char *saved_auth = nullptr, *saved_user = nullptr;
};

TEST_F(Migrate, MigrateWords) {
    const std::string bin("k\0 1", 4);
    KeysReply keys({"a", bin});
    char pw[] = "pw", user[] = "ops";
    struct Case {
        char *auth, *user;
        int replace;
        Words credentials;
    };
    const Case cases[] = {
        {nullptr, nullptr, 0, {}},
        {nullptr, user, 0, {}}, // a user alone sends nothing
        {pw, nullptr, 1, {"AUTH", "pw"}},
        {pw, user, 0, {"AUTH2", "ops", "pw"}},
    };
    for (const Case &c : cases) {
        config.auth = c.auth;
        config.user = c.user;
        Words want = {"MIGRATE", "127.0.0.1", std::to_string(b->port), "", "0", "1234"};
        if (c.replace) want.push_back("REPLACE");
        want.insert(want.end(), c.credentials.begin(), c.credentials.end());
        want.insert(want.end(), {"KEYS", "a", bin});
        hisds dots = nullptr;
        vornReply *r = nullptr;
        std::string sent = a->run("+OK\r\n", [&] {
            r = clusterManagerMigrateKeysInReply(a->node, b->node, keys.get(), c.replace, 1234,
                                                 &dots);
        });
        EXPECT_EQ(sent, request(want));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->type, VORN_REPLY_STATUS);
        freeReplyObject(r);
        EXPECT_STREQ(dots, "..");
        hi_sdsfree(dots);
    }
}

TEST_F(Migrate, DigestComparison) {
    const std::string zeros(40, '0');
    auto digests = [](const std::vector<std::string> &d) {
        std::string w = "*" + std::to_string(d.size()) + "\r\n";
        for (const std::string &x : d)
            w += "$" + std::to_string(x.size()) + "\r\n" + x + "\r\n";
        return w;
    };
    KeysReply keys({"k1", "k2", "k3", "k4"});
    struct Case {
        std::string source, target;
        int result;
        std::vector<std::string> diffs;
        std::string printed;
    };
    const std::string d1(40, '1'), d2(40, '2');
    const Case cases[] = {
        // Missing on either side is no conflict; only present and different is.
        {digests({d1, zeros, d1, d2}), digests({d1, d1, d2, zeros}), 1, {"k3"}, ""},
        {digests({d1, d2, d1, d1}), digests({d1, d2, d1, d1}), 1, {}, ""},
        // One digest per key, or no comparison at all.
        {digests({d1, d1, d1}), digests({d1, d1, d1, d1}), 0, {}, ""},
        {"-ERR no digests\r\n",
         "-ERR none here\r\n",
         0,
         {},
         "Node " + std::string("S") + " replied with error:\nERR no digests\n" + "Node T" +
             " replied with error:\nERR none here\n"},
        {":3\r\n", digests({d1, d1, d1, d1}), 0, {}, ""},
    };
    for (const Case &c : cases) {
        list *diffs = listCreate();
        int result = -1;
        std::string sent_b;
        testing::internal::CaptureStdout();
        std::string sent_a = a->run(c.source, [&] {
            sent_b = b->run(c.target, [&] {
                result = clusterManagerCompareKeysValues(a->node, b->node, keys.get(), diffs);
            });
        });
        std::string printed = testing::internal::GetCapturedStdout();
        std::string want = request({"DEBUG", "DIGEST-VALUE", "k1", "k2", "k3", "k4"});
        EXPECT_EQ(sent_a, want);
        EXPECT_EQ(sent_b, want);
        EXPECT_EQ(result, c.result) << c.source;
        std::vector<std::string> got;
        clusterManagerForEach<char>(diffs, [&](char *k) { got.emplace_back(k); });
        EXPECT_EQ(got, c.diffs);
        std::string expected = c.printed;
        if (!expected.empty()) {
            expected.replace(expected.find("Node S") + 5, 1, address(a));
            expected.replace(expected.find("Node T") + 5, 1, address(b));
        }
        EXPECT_EQ(printed, expected);
        clusterManagerReleaseSdsList(diffs);
    }
}

TEST_F(Migrate, KeyBatchesANodeCannotSend) {
    for (const char *reply : {":5\r\n", "*2\r\n$1\r\nk\r\n:1\r\n", "*1\r\n*0\r\n"}) {
        int ok = -1;
        testing::internal::CaptureStdout();
        std::string sent = a->run(reply, [&] {
            ok = clusterManagerMigrateKeysInSlot(a->node, b->node, 3, 1000, 10, 1, nullptr);
        });
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, 0) << reply;
        EXPECT_EQ(sent, request({"CLUSTER", "GETKEYSINSLOT", "3", "10"}));
        EXPECT_EQ(printed, "[ERR] Node " + address(a) +
                               " gave an unexpected answer to CLUSTER GETKEYSINSLOT\n");
    }
    // An error is the node's own and is handed back.
    hisds err = nullptr;
    int ok = -1;
    testing::internal::CaptureStdout();
    a->run("-ERR not now\r\n",
           [&] { ok = clusterManagerMigrateKeysInSlot(a->node, b->node, 3, 1000, 10, 1, &err); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Node " + address(a) + " replied with error:\nERR not now\n");
    EXPECT_EQ(ok, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "ERR not now");
    hi_sdsfree(err);
}

TEST_F(Migrate, BatchThatNeverLeaves) {
    // The keys the MIGRATE took come back in the next batch: a node that
    // cannot move them must not keep the loop going.
    const std::string batch = "*2\r\n$2\r\nk1\r\n$2\r\nk2\r\n";
    int ok = -1;
    testing::internal::CaptureStdout();
    std::string sent = a->run({batch, "+OK\r\n", batch}, [&] {
        ok = clusterManagerMigrateKeysInSlot(a->node, b->node, 3, 1000, 10, 1, nullptr);
    });
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "..[ERR] Node " + address(a) +
                  " still holds the keys it migrated; giving up on slot 3\n");
    EXPECT_EQ(ok, 0);
    Words getkeys = {"CLUSTER", "GETKEYSINSLOT", "3", "10"};
    EXPECT_EQ(sent, requests({getkeys,
                              {"MIGRATE", "127.0.0.1", std::to_string(b->port), "", "0", "1000",
                               "KEYS", "k1", "k2"},
                              getkeys}));
}

} // namespace
