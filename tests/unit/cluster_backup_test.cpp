// Key hash slots, the nodes.json objects with their escaping, and the
// snapshot file names of the backup.
#include "cluster/backup.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "cli/config.h"
#include "cluster_node_fixture.h"
#include "support/crc16.h"

namespace {

using namespace cluster_test;

NodePtr makeNode(const char *id, std::initializer_list<std::pair<int, int>> ranges,
                 std::initializer_list<const char *> flags) {
    NodePtr n = nodeWithSlots(ranges);
    n->name = hi_sdsnew(id);
    setFlagWords(n.get(), flags);
    return n;
}

int slotOf(const std::string &key) {
    return clusterManagerKeyHashSlot(key.data(), key.size());
}

int wholeKeySlot(const std::string &key) {
    return crc16(key.data(), static_cast<int>(key.size())) & 0x3fff;
}

TEST(ClusterKeyHashSlot, KnownSlots) {
    struct Row {
        const char *key;
        int slot;
    } rows[] = {
        {"foo", 12182},
        {"{user1000}.following", 3443},
        {"{user1000}.followers", 3443},
        {"user1000", 3443},
        {"foo{}{bar}", 8363},    // the first tag is empty: the whole key
        {"foo{{bar}}zap", 4015}, // the tag is "{bar"
        {"foo{bar}{zap}", 5061}, // only the first tag counts
        {"bar", 5061},
        {"", 0},
    };
    for (const Row &r : rows)
        EXPECT_EQ(slotOf(r.key), r.slot) << r.key;
}

TEST(ClusterKeyHashSlot, TagRules) {
    // Keys without a usable tag hash whole.
    for (std::string key : {"{", "{}", "}{", "a}b{", "abc{", "{}x}", "x{}"})
        EXPECT_EQ(slotOf(key), wholeKeySlot(key)) << key;
    // Keys with a tag hash only the tag.
    struct Row {
        std::string key, tag;
    } rows[] = {
        {"{a}", "a"},
        {"x{a}y{b}", "a"},
        {"{{a}", "{a"},
        {"}{a}", "a"},
        {std::string("k\0{t\0}", 6), std::string("t\0", 2)}, // zero bytes are key bytes
        {"\xff{\xfe}", "\xfe"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(slotOf(r.key), wholeKeySlot(r.tag)) << r.key;
    for (int b = 0; b < 256; b++) {
        std::string key(1, static_cast<char>(b));
        EXPECT_LT(slotOf(key), CLUSTER_MANAGER_SLOTS);
    }
}

TEST(ClusterBackupJSON, MasterAndReplicaObjects) {
    NodePtr master = makeNode("aaaa", {{0, 5460}, {10923, 10923}}, {"myself", "master"});
    master->current_epoch = 3;
    EXPECT_EQ(take(clusterManagerNodeGetJSON(master.get(), 0)),
              "  {\n"
              "    \"name\": \"aaaa\",\n"
              "    \"host\": \"127.0.0.1\",\n"
              "    \"port\": 7000,\n"
              "    \"replicate\": null,\n"
              "    \"slots\": [[0,5460],[10923]],\n"
              "    \"slots_count\": 5462,\n"
              "    \"flags\": \"master\",\n"
              "    \"current_epoch\": 3\n"
              "  }");

    NodePtr replica = makeNode("bbbb", {}, {"slave", "fail"});
    replica->replicate = hi_sdsnew("aaaa");
    replica->current_epoch = 18446744073709551615ull;
    EXPECT_EQ(take(clusterManagerNodeGetJSON(replica.get(), 2)),
              "  {\n"
              "    \"name\": \"bbbb\",\n"
              "    \"host\": \"127.0.0.1\",\n"
              "    \"port\": 7000,\n"
              "    \"replicate\": \"aaaa\",\n"
              "    \"slots\": [],\n"
              "    \"slots_count\": 0,\n"
              "    \"flags\": \"slave,fail\",\n"
              "    \"current_epoch\": 18446744073709551615,\n"
              "    \"cluster_errors\": 2\n"
              "  }");
}

TEST(ClusterBackupJSON, OpenSlots) {
    NodePtr n = makeNode("cccc", {{7, 7}}, {"master"});
    clusterManagerNodeAddOpenSlot(&n->migrating, &n->migrating_count, "7", 1, "dddd", 4);
    clusterManagerNodeAddOpenSlot(&n->migrating, &n->migrating_count, "9", 1, "eeee", 4);
    clusterManagerNodeAddOpenSlot(&n->importing, &n->importing_count, "12", 2, "ffff", 4);
    std::string json = take(clusterManagerNodeGetJSON(n.get(), 1));
    EXPECT_NE(json.find("    \"current_epoch\": 0,\n"
                        "    \"cluster_errors\": 1,\n"
                        "    \"migrating\": {\"7\": \"dddd\",\"9\": \"eeee\"},\n"
                        "    \"importing\": {\"12\": \"ffff\"}\n"
                        "  }"),
              std::string::npos)
        << json;
}

TEST(ClusterBackupJSON, Escaping) {
    struct Row {
        std::string in, want;
    } rows[] = {
        {"plain-host.example", "plain-host.example"},
        {"a\"b", "a\\\"b"},
        {"back\\slash", "back\\\\slash"},
        {"line\nbreak\ttab\r", "line\\u000abreak\\u0009tab\\u000d"},
        {std::string("nul\0x", 5), "nul\\u0000x"},
        {"del\x7f", "del\\u007f"},
        {"caf\xc3\xa9", "caf\xc3\xa9"}, // UTF-8 stays as it is
        {"\xe2\x82\xac \xf0\x9f\x98\x80", "\xe2\x82\xac \xf0\x9f\x98\x80"},
        {"bad\xff\xc3", "bad\\u00ff\\u00c3"},      // stray and cut-off bytes
        {"\xc0\xaf", "\\u00c0\\u00af"},            // overlong form
        {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"}, // a surrogate
    };
    for (const Row &r : rows)
        EXPECT_EQ(take(clusterManagerJSONEscape(hi_sdsempty(), r.in.data(), r.in.size())), r.want)
            << r.in;

    // A hostile flag word or host cannot close the string early.
    NodePtr n = makeNode("id\"}, {\"x", {}, {"master\",\"evil"});
    char host[] = "h\"\n]";
    n->ip = host;
    std::string json = take(clusterManagerNodeGetJSON(n.get(), 0));
    EXPECT_NE(json.find("\"name\": \"id\\\"}, {\\\"x\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"host\": \"h\\\"\\u000a]\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"flags\": \"master\\\",\\\"evil\""), std::string::npos) << json;
    n->ip = kHost;
}

TEST(ClusterBackup, SnapshotFileNames) {
    NodePtr n = makeNode("0123abcd", {}, {"master"});
    struct Row {
        const char *dir;
        const char *want;
    } rows[] = {
        {"/tmp/bk", "/tmp/bk/vorn-node-127.0.0.1-7000-0123abcd.vdb"},
        {"/tmp/bk/", "/tmp/bk/vorn-node-127.0.0.1-7000-0123abcd.vdb"},
        {"rel", "rel/vorn-node-127.0.0.1-7000-0123abcd.vdb"},
        {"/", "/vorn-node-127.0.0.1-7000-0123abcd.vdb"},
    };
    char *saved = config.cluster_manager_command.backup_dir;
    for (const Row &r : rows) {
        config.cluster_manager_command.backup_dir = const_cast<char *>(r.dir);
        EXPECT_EQ(take(clusterManagerGetNodeVDBFilename(n.get())), r.want) << r.dir;
    }
    // An ID from a hostile server cannot lead the file out of the directory.
    hi_sdsfree(n->name);
    n->name = hi_sdsnew("../../etc/x");
    config.cluster_manager_command.backup_dir = const_cast<char *>("/tmp/bk");
    EXPECT_EQ(take(clusterManagerGetNodeVDBFilename(n.get())),
              "/tmp/bk/vorn-node-127.0.0.1-7000-.._.._etc_x.vdb");
    config.cluster_manager_command.backup_dir = saved;
}

} // namespace
