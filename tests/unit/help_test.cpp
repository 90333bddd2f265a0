#include "cli/help.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/config.h"
#include "cli/connection.h"
#include "hivorn/read.h"
#include "loopback_peer.h"

namespace {

// The command names of the built-in table, in table order.
const char *const kTableNames =
    "ACL CAT, ACL DELUSER, ACL GENPASS, ACL GETUSER, ACL HELP, ACL LIST, ACL LOAD, ACL LOG, "
    "ACL SAVE, ACL SETUSER, ACL USERS, ACL WHOAMI, APPEND, AUTH, BGREWRITEAOF, BGSAVE, BITCOUNT, "
    "BITFIELD, BITOP, BITPOS, BLMOVE, BLPOP, BRPOP, BRPOPLPUSH, BZPOPMAX, BZPOPMIN, CLIENT "
    "CACHING, CLIENT GETNAME, CLIENT GETREDIR, CLIENT ID, CLIENT INFO, CLIENT KILL, CLIENT LIST, "
    "CLIENT PAUSE, CLIENT REPLY, CLIENT SETNAME, CLIENT TRACKING, CLIENT TRACKINGINFO, CLIENT "
    "UNBLOCK, CLIENT UNPAUSE, CLUSTER ADDSLOTS, CLUSTER BUMPEPOCH, CLUSTER "
    "COUNT-FAILURE-REPORTS, CLUSTER COUNTKEYSINSLOT, CLUSTER DELSLOTS, CLUSTER FAILOVER, CLUSTER "
    "FLUSHSLOTS, CLUSTER FORGET, CLUSTER GETKEYSINSLOT, CLUSTER INFO, CLUSTER KEYSLOT, CLUSTER "
    "MEET, CLUSTER MYID, CLUSTER NODES, CLUSTER REPLICAS, CLUSTER REPLICATE, CLUSTER RESET, "
    "CLUSTER SAVECONFIG, CLUSTER SET-CONFIG-EPOCH, CLUSTER SETSLOT, CLUSTER SLAVES, CLUSTER "
    "SLOTS, COMMAND, COMMAND COUNT, COMMAND GETKEYS, COMMAND INFO, CONFIG GET, CONFIG RESETSTAT, "
    "CONFIG REWRITE, CONFIG SET, COPY, DBSIZE, DEBUG OBJECT, DEBUG SEGFAULT, DECR, DECRBY, DEL, "
    "DISCARD, DUMP, ECHO, EVAL, EVALSHA, EXEC, EXISTS, EXPIRE, EXPIREAT, EXPIREMEMBER, "
    "EXPIREMEMBERAT, FAILOVER, FLUSHALL, FLUSHDB, GEOADD, GEODIST, GEOHASH, GEOPOS, GEORADIUS, "
    "GEORADIUSBYMEMBER, GEOSEARCH, GEOSEARCHSTORE, GET, GETBIT, GETDEL, GETEX, GETRANGE, GETSET, "
    "HDEL, HELLO, HEXISTS, HGET, HGETALL, HINCRBY, HINCRBYFLOAT, HKEYS, HLEN, HMGET, HMSET, "
    "HRANDFIELD, HSCAN, HSET, HSETNX, HSTRLEN, HVALS, INCR, INCRBY, INCRBYFLOAT, INFO, KEYS, "
    "LASTSAVE, LATENCY DOCTOR, LATENCY GRAPH, LATENCY HELP, LATENCY HISTORY, LATENCY LATEST, "
    "LATENCY RESET, LINDEX, LINSERT, LLEN, LMOVE, LOLWUT, LPOP, LPOS, LPUSH, LPUSHX, LRANGE, "
    "LREM, LSET, LTRIM, MEMORY DOCTOR, MEMORY HELP, MEMORY MALLOC-STATS, MEMORY PURGE, MEMORY "
    "STATS, MEMORY USAGE, MGET, MIGRATE, MODULE LIST, MODULE LOAD, MODULE UNLOAD, MONITOR, MOVE, "
    "MSET, MSETNX, MULTI, OBJECT, PERSIST, PEXPIRE, PEXPIREAT, PFADD, PFCOUNT, PFMERGE, PING, "
    "PSETEX, PSUBSCRIBE, PSYNC, PTTL, PUBLISH, PUBSUB, PUNSUBSCRIBE, QUIT, RANDOMKEY, READONLY, "
    "READWRITE, RENAME, RENAMENX, REPLICAOF, RESET, RESTORE, ROLE, RPOP, RPOPLPUSH, RPUSH, "
    "RPUSHX, SADD, SAVE, SCAN, SCARD, SCRIPT DEBUG, SCRIPT EXISTS, SCRIPT FLUSH, SCRIPT KILL, "
    "SCRIPT LOAD, SDIFF, SDIFFSTORE, SELECT, SET, SETBIT, SETEX, SETNX, SETRANGE, SHUTDOWN, "
    "SINTER, SINTERSTORE, SISMEMBER, SLAVEOF, SLOWLOG, SMEMBERS, SMISMEMBER, SMOVE, SORT, SPOP, "
    "SRANDMEMBER, SREM, SSCAN, STRALGO, STRLEN, SUBSCRIBE, SUNION, SUNIONSTORE, SWAPDB, SYNC, "
    "TIME, TOUCH, TTL, TYPE, UNLINK, UNSUBSCRIBE, UNWATCH, WAIT, WATCH, XACK, XADD, XAUTOCLAIM, "
    "XCLAIM, XDEL, XGROUP, XINFO, XLEN, XPENDING, XRANGE, XREAD, XREADGROUP, XREVRANGE, XTRIM, "
    "ZADD, ZCARD, ZCOUNT, ZDIFF, ZDIFFSTORE, ZINCRBY, ZINTER, ZINTERSTORE, ZLEXCOUNT, ZMSCORE, "
    "ZPOPMAX, ZPOPMIN, ZRANDMEMBER, ZRANGE, ZRANGEBYLEX, ZRANGEBYSCORE, ZRANGESTORE, ZRANK, ZREM, "
    "ZREMRANGEBYLEX, ZREMRANGEBYRANK, ZREMRANGEBYSCORE, ZREVRANGE, ZREVRANGEBYLEX, "
    "ZREVRANGEBYSCORE, ZREVRANK, ZSCAN, ZSCORE, ZUNION, ZUNIONSTORE, VORN.CRON, VORN.HRENAME, "
    "VORN.MEXISTS";

std::vector<std::string> splitList(const std::string &s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t pos; (pos = s.find(", ", start)) != std::string::npos; start = pos + 2)
        out.push_back(s.substr(start, pos - start));
    out.push_back(s.substr(start));
    return out;
}

const struct commandHelp *findRow(const char *name) {
    for (const struct commandHelp &row : commandHelp)
        if (strcmp(row.name, name) == 0) return &row;
    return nullptr;
}

// Runs fn with standard output captured.
template <typename F> std::string captureStdout(F fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

std::string runHelp(const std::vector<std::string> &words) {
    std::vector<hisds> argv;
    for (const std::string &w : words)
        argv.push_back(hi_sdsnewlen(w.data(), w.size()));
    std::string out = captureStdout([&] {
        cliOutputHelp(static_cast<int>(argv.size()), argv.empty() ? nullptr : argv.data());
    });
    for (hisds s : argv)
        hi_sdsfree(s);
    return out;
}

// The bold command names of the help blocks in an output, in order.
std::vector<std::string> blockNames(const std::string &out) {
    std::vector<std::string> names;
    const std::string open = "\r\n  \x1b[1m";
    for (size_t pos = out.find(open); pos != std::string::npos; pos = out.find(open, pos + 1)) {
        size_t start = pos + open.size();
        names.push_back(out.substr(start, out.find("\x1b[0m", start) - start));
    }
    return names;
}

size_t countOf(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1))
        n++;
    return n;
}

std::vector<std::string> complete(const char *buf) {
    linenoiseCompletions lc = {0, nullptr};
    completionCallback(buf, &lc);
    std::vector<std::string> out(lc.cvec, lc.cvec + lc.len);
    for (size_t i = 0; i < lc.len; i++)
        free(lc.cvec[i]);
    free(lc.cvec);
    return out;
}

// The hint for a buffer; "<none>" when there is none.
std::string hint(const char *buf) {
    int color = -1, bold = -1;
    char *h = hintsCallback(buf, &color, &bold);
    if (h == nullptr) return "<none>";
    std::string s(h, hi_sdslen(h));
    EXPECT_EQ(color, 90) << buf;
    EXPECT_EQ(bold, 0) << buf;
    freeHintsCallback(h);
    return s;
}

// A reply decoded from wire bytes by the library's reader.
peer::ReplyPtr decode(const std::string &wire) {
    vornReader *r = vornReaderCreate();
    void *reply = nullptr;
    vornReaderFeed(r, wire.data(), wire.size());
    int rc = vornReaderGetReply(r, &reply);
    vornReaderFree(r);
    EXPECT_EQ(rc, VORN_OK);
    EXPECT_NE(reply, nullptr) << "incomplete reply in the fixture";
    return peer::ReplyPtr(static_cast<vornReply *>(reply));
}

// One element of a COMMAND reply: name, arity, flags, first key, last key, step.
std::string commandDescription(const std::string &name, long long arity, long long firstkey) {
    return "*6\r\n$" + std::to_string(name.size()) + "\r\n" + name +
           "\r\n:" + std::to_string(arity) + "\r\n*0\r\n:" + std::to_string(firstkey) +
           "\r\n:0\r\n:0\r\n";
}

const std::string kSetParams = "key value [EX seconds|PX milliseconds|EXAT timestamp|PXAT "
                               "milliseconds-timestamp|KEEPTTL] [NX|XX] [GET]";

class HelpTest : public testing::Test {
  protected:
    void SetUp() override {
        cliConfigSetDefaults();
        cliInitHelp();
    }
    void TearDown() override {
        cliFreeHelp();
        cliConfigSetDefaults();
    }
};

TEST(HelpTableTest, NamesAreTheListedCommandsInOrder) {
    std::vector<std::string> expected = splitList(kTableNames);
    ASSERT_EQ(expected.size(), static_cast<size_t>(CLI_HELP_COMMAND_COUNT));
    std::vector<std::string> actual;
    for (const struct commandHelp &row : commandHelp)
        actual.push_back(row.name ? row.name : "<null>");
    EXPECT_EQ(actual, expected);
}

TEST(HelpTableTest, GroupNamesAndSizes) {
    const std::vector<std::string> names = {"generic",    "string", "list",      "set",
                                            "sorted_set", "hash",   "pubsub",    "transactions",
                                            "connection", "server", "scripting", "hyperloglog",
                                            "cluster",    "geo",    "stream",    "replication"};
    const int sizes[CLI_HELP_GROUP_COUNT] = {28, 27, 20, 16, 33, 16, 6,  5,
                                             21, 57, 8,  3,  24, 8,  14, 0};
    int counted[CLI_HELP_GROUP_COUNT] = {};
    for (const struct commandHelp &row : commandHelp) {
        ASSERT_GE(row.group, 0) << row.name;
        ASSERT_LT(row.group, CLI_HELP_GROUP_COUNT) << row.name;
        counted[row.group]++;
    }
    for (int i = 0; i < CLI_HELP_GROUP_COUNT; i++) {
        EXPECT_EQ(commandGroups[i], names[i]);
        EXPECT_EQ(counted[i], sizes[i]) << names[i];
    }
}

TEST(HelpTableTest, QuotedRowsAreExact) {
    struct Row {
        const char *name, *params, *summary;
        int group;
        const char *since;
    };
    const Row rows[] = {
        {"GET", "key", "Get the value of a key", 1, "1.0.0"},
        {"SET", kSetParams.c_str(), "Set the string value of a key", 1, "1.0.0"},
        {"AUTH", "[username] password", "Authenticate to the server", 8, "1.0.0"},
        {"SELECT", "index", "Change the selected database for the current connection", 8, "1.0.0"},
        {"CLIENT KILL",
         "[ip:port] [ID client-id] [TYPE normal|master|slave|pubsub] [USER username] [ADDR "
         "ip:port] [LADDR ip:port] [SKIPME yes/no]",
         "Kill the connection of a client", 8, "2.4.0"},
        {"CLUSTER INFO", "-", "Provides info about Vorn Cluster node state", 12, "3.0.0"},
        {"COMMAND", "-", "Get array of Vorn command details", 9, "2.8.13"},
        {"EVAL", "script numkeys key [key ...] arg [arg ...]", "Execute a Lua script server side",
         10, "2.6.0"},
        {"SCRIPT DEBUG", "YES|SYNC|NO", "Set the debug mode for executed scripts.", 10, "3.2.0"},
        {"ZADD", "key [NX|XX] [GT|LT] [CH] [INCR] score member [score member ...]",
         "Add one or more members to a sorted set, or update its score if it already exists", 4,
         "1.2.0"},
        {"VORN.CRON", "name [single/repeat] [optional: start] delay script numkeys [key N] [arg N]",
         "Run a specified script after start + delay, optionally repeating every delay interval. "
         " The job may be cancelled by deleting the key associated with the job (name parameter)",
         10, "6.5.2"},
        {"VORN.HRENAME", "key [src hash key] [dst hash key]",
         "Rename a hash key, copying the value.", 4, "6.5.3"},
        {"VORN.MEXISTS", "key [key ...]", "Determine if a key exists", 0, "6.5.12"},
    };
    for (const Row &want : rows) {
        const struct commandHelp *row = findRow(want.name);
        ASSERT_NE(row, nullptr) << want.name;
        EXPECT_STREQ(row->params, want.params) << want.name;
        EXPECT_STREQ(row->summary, want.summary) << want.name;
        EXPECT_EQ(row->group, want.group) << want.name;
        EXPECT_STREQ(row->since, want.since) << want.name;
    }
}

// Every row must be usable by help and hints: upper-case words separated by
// one blank, a synopsis, a summary naming no other product, and a version.
namespace {

// The capitalised words of a summary that do not open a sentence and are not
// one of the names this system uses, separated by blanks. Summaries are
// plain descriptions: a product, company or person named in one shows here.
std::string strangeProperNames(const char *summary) {
    static const std::set<std::string> known = {"Vorn",         "Lua", "HyperLogLog",
                                                "HyperLogLogs", "IDs", "Cluster"};
    std::string strange;
    bool sentence_start = true;
    for (const char *p = summary; *p != '\0';) {
        if (!isalpha(static_cast<unsigned char>(*p))) {
            if (*p == '.' || *p == ';') sentence_start = true;
            p++;
            continue;
        }
        const char *start = p;
        while (isalnum(static_cast<unsigned char>(*p)) || *p == '\'' || *p == '-')
            p++;
        std::string word(start, p);
        bool mixed = std::any_of(word.begin(), word.end(), ::isupper) &&
                     std::any_of(word.begin(), word.end(), ::islower);
        if (mixed && !sentence_start && known.count(word) == 0) strange += word + " ";
        sentence_start = false;
    }
    return strange;
}

} // namespace

TEST(HelpTableTest, ProperNameCheckFindsMixedCaseNamesOnly) {
    EXPECT_EQ(strangeProperNames("Get the value of a key"), "");
    EXPECT_EQ(strangeProperNames("Run a Lua script. Then stop"), "");
    EXPECT_EQ(strangeProperNames("Return the CLUSTER INFO of the node"), "");
    EXPECT_EQ(strangeProperNames("Works like Zorbix and McWidget do"), "Zorbix McWidget ");
}

TEST(HelpTableTest, EveryRowIsWellFormed) {
    for (const struct commandHelp &row : commandHelp) {
        std::string name = row.name;
        EXPECT_FALSE(name.empty());
        EXPECT_EQ(name.find("  "), std::string::npos) << name;
        EXPECT_NE(name.front(), ' ') << name;
        EXPECT_NE(name.back(), ' ') << name;
        for (char c : name)
            EXPECT_FALSE(islower(static_cast<unsigned char>(c))) << name;
        ASSERT_NE(row.params, nullptr) << name;
        EXPECT_NE(row.params[0], '\0') << name;
        EXPECT_NE(row.params[0], ' ') << name;
        ASSERT_NE(row.summary, nullptr) << name;
        EXPECT_NE(row.summary[0], '\0') << name;
        EXPECT_EQ(strangeProperNames(row.summary), "") << name;
        ASSERT_NE(row.since, nullptr) << name;
        int major, minor, patch;
        char rest;
        EXPECT_EQ(sscanf(row.since, "%d.%d.%d%c", &major, &minor, &patch, &rest), 3)
            << name << " since " << row.since;
    }
}

TEST_F(HelpTest, EntriesAreGroupsThenCommandsInTableOrder) {
    ASSERT_EQ(helpEntriesLen, CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT);
    for (int i = 0; i < CLI_HELP_GROUP_COUNT; i++) {
        const helpEntry &e = helpEntries[i];
        std::string want = std::string("@") + commandGroups[i];
        EXPECT_EQ(e.type, CLI_HELP_GROUP);
        ASSERT_EQ(e.argc, 1);
        EXPECT_EQ(std::string(e.argv[0], hi_sdslen(e.argv[0])), want);
        EXPECT_EQ(std::string(e.full, hi_sdslen(e.full)), want);
        EXPECT_EQ(e.org, nullptr);
    }
    for (int i = 0; i < CLI_HELP_COMMAND_COUNT; i++) {
        const helpEntry &e = helpEntries[CLI_HELP_GROUP_COUNT + i];
        EXPECT_EQ(e.type, CLI_HELP_COMMAND);
        EXPECT_EQ(e.org, &commandHelp[i]);
        EXPECT_STREQ(e.full, commandHelp[i].name);
        std::string joined;
        for (int j = 0; j < e.argc; j++)
            joined += (j ? " " : "") + std::string(e.argv[j]);
        EXPECT_EQ(joined, commandHelp[i].name);
    }
    const helpEntry &kill = helpEntries[CLI_HELP_GROUP_COUNT + 31];
    ASSERT_STREQ(kill.full, "CLIENT KILL");
    EXPECT_EQ(kill.argc, 2);

    // Building again starts over rather than appending.
    cliInitHelp();
    EXPECT_EQ(helpEntriesLen, CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT);
}

TEST_F(HelpTest, CommandHelpBlockBytes) {
    EXPECT_EQ(captureStdout([] { cliOutputCommandHelp(findRow("GET"), 1); }),
              "\r\n  \x1b[1mGET\x1b[0m \x1b[90mkey\x1b[0m\r\n"
              "  \x1b[33msummary:\x1b[0m Get the value of a key\r\n"
              "  \x1b[33msince:\x1b[0m 1.0.0\r\n"
              "  \x1b[33mgroup:\x1b[0m string\r\n");
    EXPECT_EQ(captureStdout([] { cliOutputCommandHelp(findRow("CLUSTER INFO"), 0); }),
              "\r\n  \x1b[1mCLUSTER INFO\x1b[0m \x1b[90m-\x1b[0m\r\n"
              "  \x1b[33msummary:\x1b[0m Provides info about Vorn Cluster node state\r\n"
              "  \x1b[33msince:\x1b[0m 3.0.0\r\n");
}

TEST_F(HelpTest, GenericHelpText) {
    const std::string generic = "vorn-cli 255.255.255\n"
                                "To get help about Vorn commands type:\n"
                                "      \"help @<group>\" to get a list of commands in <group>\n"
                                "      \"help <command>\" for help on <command>\n"
                                "      \"help <tab>\" to get a list of possible help topics\n"
                                "      \"quit\" to exit\n"
                                "\n"
                                "To set vorn-cli preferences:\n"
                                "      \":set hints\" enable online hints\n"
                                "      \":set nohints\" disable online hints\n"
                                "Set your preferences in ~/.vornclirc\n";
    EXPECT_EQ(runHelp({}), generic);

    // Without the entries (a one-shot command) words find nothing, but the
    // generic text is still there.
    cliFreeHelp();
    EXPECT_EQ(runHelp({}), generic);
    EXPECT_EQ(runHelp({"get"}), "\r\n");
}

TEST_F(HelpTest, HelpForOneCommandIncludesItsGroup) {
    EXPECT_EQ(runHelp({"GET"}), "\r\n  \x1b[1mGET\x1b[0m \x1b[90mkey\x1b[0m\r\n"
                                "  \x1b[33msummary:\x1b[0m Get the value of a key\r\n"
                                "  \x1b[33msince:\x1b[0m 1.0.0\r\n"
                                "  \x1b[33mgroup:\x1b[0m string\r\n"
                                "\r\n");
}

TEST_F(HelpTest, HelpSelectsByGroupOrByWholeWords) {
    struct Case {
        std::vector<std::string> words;
        size_t blocks;
        bool group_lines;
        std::vector<std::string> first; // the first block names, in order
    };
    const Case cases[] = {
        {{"@list"}, 20, false, {"BLMOVE", "BLPOP", "BRPOP", "BRPOPLPUSH", "LINDEX"}},
        {{"@LIST"}, 20, false, {"BLMOVE"}},
        {{"@generic"}, 28, false, {"COPY", "DEL", "DUMP"}},
        {{"@server"}, 57, false, {"ACL CAT"}},
        {{"@replication"}, 0, false, {}},
        {{"@nosuch"}, 0, false, {}},
        {{"client"}, 14, true, {"CLIENT CACHING", "CLIENT GETNAME", "CLIENT GETREDIR"}},
        {{"CLIENT", "kill"}, 1, true, {"CLIENT KILL"}},
        {{"client", "kill", "extra"}, 0, true, {}},
        {{"cl"}, 0, true, {}},
        {{"get"}, 1, true, {"GET"}},
        {{"vorn.cron"}, 1, true, {"VORN.CRON"}},
    };
    for (const Case &c : cases) {
        std::string label = c.words[0] + (c.words.size() > 1 ? " " + c.words[1] : "");
        std::string out = runHelp(c.words);
        std::vector<std::string> names = blockNames(out);
        EXPECT_EQ(names.size(), c.blocks) << label;
        EXPECT_EQ(countOf(out, "group:"), c.group_lines ? c.blocks : 0) << label;
        for (size_t i = 0; i < c.first.size() && i < names.size(); i++)
            EXPECT_EQ(names[i], c.first[i]) << label;
        EXPECT_TRUE(out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) << label;
        if (c.blocks == 0) {
            EXPECT_EQ(out, "\r\n") << label;
        }
    }
}

TEST_F(HelpTest, CompletionCandidates) {
    struct Case {
        const char *buf;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"get", {"GET", "GETBIT", "GETDEL", "GETEX", "GETRANGE", "GETSET"}},
        {"GeTr", {"GETRANGE"}},
        {"client ki", {"CLIENT KILL"}},
        {"help @s",
         {"help @string", "help @set", "help @sorted_set", "help @server", "help @scripting",
          "help @stream"}},
        // The typed prefix, blanks included, is kept as it is.
        {"HELP  @sor", {"HELP  @sorted_set"}},
        {"help getr", {"help GETRANGE"}},
        {"help vorn.", {"help VORN.CRON", "help VORN.HRENAME", "help VORN.MEXISTS"}},
        // Groups are offered only after help.
        {"@s", {}},
        {"nosuch", {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(complete(c.buf), c.want) << c.buf;

    // "help " with nothing after it offers every group and every command.
    std::vector<std::string> all = complete("help ");
    ASSERT_EQ(all.size(), static_cast<size_t>(helpEntriesLen));
    EXPECT_EQ(all.front(), "help @generic");
    EXPECT_EQ(all.back(), "help VORN.MEXISTS");
}

TEST_F(HelpTest, HintsFollowTheTypedArguments) {
    pref.hints = 1;
    struct Case {
        const char *buf;
        std::string want;
    };
    const Case cases[] = {
        {"set", " " + kSetParams},
        {"SeT", " " + kSetParams},
        {"set ", kSetParams},
        {"set k", " " + kSetParams.substr(4)},
        {"set k ", kSetParams.substr(4)},
        {"set k v ", kSetParams.substr(10)},
        {"set k v", " " + kSetParams.substr(10)},
        // Optional parts are never dropped, however much is typed.
        {"set k v EX 10 ", kSetParams.substr(10)},
        {"set \"a b\" ", kSetParams.substr(4)},
        {"command", " -"},
        {"command ", "-"},
        {"command x ", ""},
        {"get\t", "key"},
        // A two-word command matches only as the whole buffer.
        {"config set", " value"},
        {"config set ", "<none>"},
        {"config", "<none>"},
        {"client kill", " [ip:port] [ID client-id] [TYPE normal|master|slave|pubsub] [USER "
                        "username] [ADDR ip:port] [LADDR ip:port] [SKIPME yes/no]"},
        {"nosuch ", "<none>"},
        {"", "<none>"},
        {"   ", "<none>"},
        {"set \"unbalanced", "<none>"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(hint(c.buf), c.want) << "[" << c.buf << "]";

    pref.hints = 0;
    EXPECT_EQ(hint("set"), "<none>");
    EXPECT_EQ(hint("set k "), "<none>");
}

TEST_F(HelpTest, LearntCommandsFromTheCommandReply) {
    std::string wire = "*7\r\n" + commandDescription("get", 2, 1) + // in the table
                       commandDescription("foo", -2, 1) +           // learnt
                       commandDescription("mod.bar", 3, 0) +        // learnt
                       commandDescription("Foo", 5, 1) +            // already learnt
                       commandDescription("noargs", 1, 0) +         // learnt
                       ":1\r\n" +                                   // ends the walk
                       commandDescription("late", 2, 1);            // never reached
    peer::ReplyPtr reply = decode(wire);
    ASSERT_TRUE(reply);
    cliIntegrateHelpFromReply(reply.get());

    ASSERT_EQ(helpEntriesLen, CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT + 3);
    struct Want {
        const char *name, *params;
    };
    const Want learnt[] = {{"FOO", "key ...options..."}, {"MOD.BAR", "arg arg "}, {"NOARGS", ""}};
    for (int i = 0; i < 3; i++) {
        const helpEntry &e = helpEntries[CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT + i];
        EXPECT_EQ(e.type, CLI_HELP_COMMAND);
        ASSERT_EQ(e.argc, 1);
        EXPECT_STREQ(e.argv[0], learnt[i].name);
        EXPECT_STREQ(e.full, learnt[i].name);
        ASSERT_NE(e.org, nullptr);
        EXPECT_STREQ(e.org->name, learnt[i].name);
        EXPECT_STREQ(e.org->params, learnt[i].params);
        EXPECT_STREQ(e.org->summary, "Help not available");
        EXPECT_EQ(e.org->group, CLI_HELP_GROUP_GENERIC);
        EXPECT_STREQ(e.org->since, "not known");
    }

    EXPECT_EQ(runHelp({"foo"}), "\r\n  \x1b[1mFOO\x1b[0m \x1b[90mkey ...options...\x1b[0m\r\n"
                                "  \x1b[33msummary:\x1b[0m Help not available\r\n"
                                "  \x1b[33msince:\x1b[0m not known\r\n"
                                "  \x1b[33mgroup:\x1b[0m generic\r\n"
                                "\r\n");
    std::vector<std::string> generic = blockNames(runHelp({"@generic"}));
    ASSERT_EQ(generic.size(), 31u);
    EXPECT_EQ(std::vector<std::string>(generic.end() - 3, generic.end()),
              (std::vector<std::string>{"FOO", "MOD.BAR", "NOARGS"}));
    EXPECT_EQ(complete("mod."), (std::vector<std::string>{"MOD.BAR"}));
    EXPECT_EQ(complete("help fo"), (std::vector<std::string>{"help FOO"}));
    pref.hints = 1;
    EXPECT_EQ(hint("foo "), "key ...options...");
    EXPECT_EQ(hint("foo k "), "...options...");
    EXPECT_EQ(hint("mod.bar a "), "arg ");
}

TEST_F(HelpTest, ArityAndFirstKeyShapeTheSynopsis) {
    struct Case {
        long long arity, firstkey;
        const char *params;
    };
    const Case cases[] = {
        {1, 0, ""},
        {-1, 0, "...options..."},
        {2, 1, "key "},
        {-2, 1, "key ...options..."},
        {4, 1, "key arg arg "},
        {-3, 2, "arg arg ...options..."},
        {3, 2, "arg arg "},
        {1, 1, "key "},
        {0, 0, ""},
    };
    std::string wire = "*" + std::to_string(std::size(cases)) + "\r\n";
    for (size_t i = 0; i < std::size(cases); i++)
        wire += commandDescription("cmd" + std::to_string(i), cases[i].arity, cases[i].firstkey);
    peer::ReplyPtr reply = decode(wire);
    cliIntegrateHelpFromReply(reply.get());
    ASSERT_EQ(helpEntriesLen,
              static_cast<int>(CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT + std::size(cases)));
    for (size_t i = 0; i < std::size(cases); i++) {
        const helpEntry &e = helpEntries[CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT + i];
        EXPECT_STREQ(e.org->params, cases[i].params)
            << "arity " << cases[i].arity << " first key " << cases[i].firstkey;
    }
}

TEST_F(HelpTest, MalformedCommandRepliesLearnNothing) {
    const std::string shapes[] = {
        "-ERR unknown command\r\n",                             // not an array
        "*1\r\n*3\r\n$3\r\nfoo\r\n:2\r\n*0\r\n",                // too few fields
        "*1\r\n*4\r\n:1\r\n:2\r\n*0\r\n:1\r\n",                 // name not a string
        "*1\r\n*4\r\n$3\r\nfoo\r\n$1\r\n2\r\n*0\r\n:1\r\n",     // arity not an integer
        "*1\r\n*4\r\n$3\r\nfoo\r\n:2\r\n*0\r\n$1\r\n1\r\n",     // first key not an integer
        "*1\r\n" + commandDescription("huge", 4000000000LL, 1), // absurd arity
        "*1\r\n" + commandDescription("huge", -4000000000LL, 1),
    };
    for (const std::string &wire : shapes) {
        peer::ReplyPtr reply = decode(wire);
        cliIntegrateHelpFromReply(reply.get());
        EXPECT_EQ(helpEntriesLen, CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT) << wire;
    }
    cliIntegrateHelpFromReply(nullptr);
    EXPECT_EQ(helpEntriesLen, CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT);
}

// The whole path: a quiet connection, one COMMAND request, the reply merged.
TEST_F(HelpTest, IntegrateAsksTheServerForCommand) {
    int port = 0;
    peer::Fd listener = peer::bindLoopback("127.0.0.1", &port);
    ASSERT_TRUE(listener.valid());
    const std::string request = "*1\r\n$7\r\nCOMMAND\r\n";
    std::string received;
    std::thread server([&] {
        peer::Fd conn = peer::acceptPeer(listener.get());
        if (!conn.valid()) return;
        received = peer::recvUpTo(conn.get(), request.size());
        peer::sendAll(conn.get(), "*2\r\n" + commandDescription("get", 2, 1) +
                                      commandDescription("mymodule.cmd", -3, 1));
        peer::recvUpTo(conn.get(), 1, 5000); // until the client closes
    });
    hi_sdsfree(config.hostip);
    config.hostip = hi_sdsnew("127.0.0.1");
    config.hostport = port;
    testing::internal::CaptureStderr();
    cliIntegrateHelp();
    std::string err = testing::internal::GetCapturedStderr();
    vornFree(context);
    context = nullptr;
    server.join();

    EXPECT_EQ(received, request);
    EXPECT_EQ(err, "");
    ASSERT_EQ(helpEntriesLen, CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT + 1);
    EXPECT_STREQ(helpEntries[helpEntriesLen - 1].full, "MYMODULE.CMD");
    EXPECT_STREQ(helpEntries[helpEntriesLen - 1].org->params, "key arg ...options...");
}

TEST_F(HelpTest, IntegrateWithoutAServerIsSilent) {
    int port = 0;
    peer::Fd reserved = peer::bindLoopback("127.0.0.1", &port, /*listening=*/false);
    ASSERT_TRUE(reserved.valid());
    hi_sdsfree(config.hostip);
    config.hostip = hi_sdsnew("127.0.0.1");
    config.hostport = port;
    testing::internal::CaptureStderr();
    std::string out = captureStdout([] { cliIntegrateHelp(); });
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(helpEntriesLen, CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT);
}

} // namespace
