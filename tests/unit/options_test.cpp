#include "cli/options.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "cli/config.h"
#include "scoped_env.h"
#include "cli/palette.h"

namespace {

std::string str(const char *s) {
    return s ? std::string(s) : std::string("<null>");
}
std::string sds(hisds s) {
    return s ? std::string(s, hi_sdslen(s)) : std::string("<null>");
}

// parseOptions keeps pointers into argv, so the vector outlives the checks.
struct Args {
    std::vector<std::string> words;
    std::vector<char *> argv;
    explicit Args(std::vector<std::string> w) : words(std::move(w)) {
        words.insert(words.begin(), "vorn-cli");
        for (auto &s : words)
            argv.push_back(s.data());
        argv.push_back(nullptr);
    }
    int parse() { return parseOptions(static_cast<int>(words.size()), argv.data()); }
};

class OptionsTest : public ::testing::Test {
  protected:
    void SetUp() override { cliConfigSetDefaults(); }
    void TearDown() override { cliConfigSetDefaults(); }
};

struct UriCase {
    const char *uri;
    const char *host;
    int port;
    int db;
    const char *user;
    const char *auth;
    int tls;
};

TEST_F(OptionsTest, UriFillsEndpointCredentialsAndDatabase) {
    const UriCase cases[] = {
        {"vorn://h:7000/3", "h", 7000, 3, nullptr, nullptr, 0},
        {"vorn:///5", "127.0.0.1", 6379, 5, nullptr, nullptr, 0},
        {"vorns://h", "h", 6379, 0, nullptr, nullptr, 1},
        {"VORNS://Host:1/2", "Host", 1, 2, nullptr, nullptr, 1},
        {"vorn://u%41:p%3a%40@h:2", "h", 2, 0, "uA", "p:@", 0},
        {"vorn://secret@h", "h", 6379, 0, nullptr, "secret", 0},
        {"vorn://:pw@h", "h", 6379, 0, "", "pw", 0},
        {"vorn://u:p@", "127.0.0.1", 6379, 0, "u", "p", 0},
        {"vorn://", "127.0.0.1", 6379, 0, nullptr, nullptr, 0},
        {"vorn://h/", "h", 6379, 0, nullptr, nullptr, 0},
        {"vorn://:7001", "", 7001, 0, nullptr, nullptr, 0},
        {"vorn://h:65535/2147483647", "h", 65535, 2147483647, nullptr, nullptr, 0},
        // An IPv6 address in brackets is the host; the port follows them.
        {"vorn://[::1]:7000/2", "::1", 7000, 2, nullptr, nullptr, 0},
        {"vorns://u:p@[2001:db8::5]", "2001:db8::5", 6379, 0, "u", "p", 1},
        {"vorn://[::1]/3", "::1", 6379, 3, nullptr, nullptr, 0},
        {"vorn://[::ffff:10.0.0.1]:1", "::ffff:10.0.0.1", 1, 0, nullptr, nullptr, 0},
    };
    for (const UriCase &c : cases) {
        SCOPED_TRACE(c.uri);
        cliConfigSetDefaults();
        parseVornUri(c.uri);
        EXPECT_EQ(sds(config.hostip), c.host);
        EXPECT_EQ(config.hostport, c.port);
        EXPECT_EQ(config.input_dbnum, c.db);
        EXPECT_EQ(config.dbnum, 0);
        EXPECT_EQ(str(config.user), str(c.user));
        EXPECT_EQ(str(config.auth), str(c.auth));
        EXPECT_EQ(config.tls, c.tls);
    }
}

TEST_F(OptionsTest, MalformedUriExits) {
    const struct {
        const char *uri;
        const char *message;
    } cases[] = {
        {"http://h", "^Invalid URI scheme\n$"},
        {"vornx://h", "^Invalid URI scheme\n$"},
        {"vorn:/h", "^Invalid URI scheme\n$"},
        // Port and database are numbers within their ranges; the message
        // shows the offending part only, never the URI and its password.
        {"vorn://u:pw@h:port", "^Invalid value for option -u: 'port' \\(expected a port, "
                               "1-65535\\)\n$"},
        {"vorn://h:99999",
         "^Invalid value for option -u: '99999' \\(expected a port, 1-65535\\)\n$"},
        {"vorn://h:0/1", "^Invalid value for option -u: '0' \\(expected a port, 1-65535\\)\n$"},
        {"vorn://h:", "^Invalid value for option -u: '' \\(expected a port, 1-65535\\)\n$"},
        {"vorn://[::1]:70000", "^Invalid value for option -u: '70000' \\(expected a port"},
        // A ":" in the path belongs to the path, not to the authority.
        {"vorn://h/4:9", "^Invalid value for option -u: '4:9' \\(expected a database number, "
                         "0-2147483647\\)\n$"},
        {"vorn://h:9/-1", "^Invalid value for option -u: '-1' \\(expected a database number"},
        {"vorn://h/4294967297", "^Invalid value for option -u: '4294967297' \\(expected a "
                                "database number"},
        {"vorn://[::1", "^Invalid IPv6 address in URI\n$"},
        {"vorn://[::1]7000", "^Invalid IPv6 address in URI\n$"},
        {"vorn://%4@h", "^Incomplete URI encoding\n$"},
        // The escape must be complete within its own segment, not borrow the
        // separator that follows it.
        {"vorn://u%4:p@h", "^Incomplete URI encoding\n$"},
        {"vorn://u:p%@h", "^Incomplete URI encoding\n$"},
        {"vorn://%zz@h", "^Illegal character in URI encoding\n$"},
        {"vorn://%4g@h", "^Illegal character in URI encoding\n$"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.uri);
        EXPECT_EXIT(parseVornUri(c.uri), ::testing::ExitedWithCode(1), c.message);
    }
}

TEST(PercentDecode, DecodesEscapesInEitherCaseIncludingNul) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "plain"},     {"%41%62c", "Abc"},
        {"%aF%Af", "\xaf\xaf"}, {"a%00b", std::string("a\0b", 3)},
        {"%25%2525", "%%25"},   {"", ""},
    };
    for (const auto &c : cases) {
        hisds s = percentDecode(c.in.data(), c.in.size());
        EXPECT_EQ(sds(s), c.out) << c.in;
        hi_sdsfree(s);
    }
    // Only the given length is decoded.
    hisds s = percentDecode("ab%41", 2);
    EXPECT_EQ(sds(s), "ab");
    hi_sdsfree(s);
}

TEST(UnquoteCString, ReturnsTheSingleStringOrNone) {
    const struct {
        const char *in;
        std::optional<std::string> out;
    } cases[] = {
        {"abc", "abc"},
        {"\"a b\"", "a b"},
        {"'it''s'", std::nullopt},
        {"\"\\x00-\\x41\\n\"", std::string("\0-A\n", 4)},
        {"  spaced  ", "spaced"},
        {"two words", std::nullopt},
        {"", std::nullopt},
        {"\"unterminated", std::nullopt},
        {"\"closed\"glued", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        hisds s = unquoteCString(c.in);
        if (c.out) {
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(sds(s), *c.out);
        } else {
            EXPECT_EQ(s, nullptr);
        }
        hi_sdsfree(s);
    }
}

TEST(GetDotfilePath, OverrideThenHome) {
    const struct {
        const char *override;
        const char *home;
        const char *expected;
    } cases[] = {
        {"/tmp/hist", "/home/u", "/tmp/hist"},
        {"/dev/null", "/home/u", nullptr},
        {"", "/home/u", "/home/u/.vorncli_history"},
        {nullptr, "/home/u", "/home/u/.vorncli_history"},
        {nullptr, "", nullptr},
        {nullptr, nullptr, nullptr},
        {"/dev/null/x", nullptr, "/dev/null/x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(str(c.override) + " " + str(c.home));
        ScopedEnv o("VORN_TEST_DOTFILE", c.override);
        ScopedEnv h("HOME", c.home);
        hisds p = getDotfilePath("VORN_TEST_DOTFILE", ".vorncli_history");
        EXPECT_EQ(sds(p), str(c.expected));
        hi_sdsfree(p);
    }
}

TEST(IsColorTerm, NeedsXtermInTerm) {
    const struct {
        const char *term;
        int color;
    } cases[] = {{"xterm", 1}, {"xterm-256color", 1}, {"rxvt-xterm", 1}, {"vt100", 0},
                 {"", 0},      {nullptr, 0}};
    for (const auto &c : cases) {
        ScopedEnv t("TERM", c.term);
        EXPECT_EQ(isColorTerm() != 0, c.color != 0) << str(c.term);
    }
}

TEST(CliVersion, IsTheReleaseWithoutRevision) {
    hisds v = cliVersion();
    EXPECT_EQ(sds(v), "255.255.255");
    hi_sdsfree(v);
}

TEST(ReadArgFromStdin, ReadsEverythingIncludingNulAndNewlines) {
    std::string payload;
    for (int i = 0; i < 3000; i++)
        payload.push_back(static_cast<char>(i % 251));
    payload += "\n\n";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], payload.data(), payload.size()), static_cast<ssize_t>(payload.size()));
    close(fds[1]);
    int saved = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    hisds got = readArgFromStdin();
    dup2(saved, STDIN_FILENO);
    close(saved);
    EXPECT_EQ(sds(got), payload);
    hi_sdsfree(got);
}

TEST_F(OptionsTest, DefaultsFollowFakettyAndFixedValues) {
    {
        ScopedEnv f("FAKETTY", "");
        cliConfigSetDefaults();
        EXPECT_EQ(config.output, OUTPUT_STANDARD);
        EXPECT_EQ(config.push_output, 1);
    }
    EXPECT_EQ(sds(config.hostip), "127.0.0.1");
    EXPECT_EQ(config.hostport, 6379);
    EXPECT_EQ(config.repeat, 1);
    EXPECT_EQ(config.pipe_timeout, 30);
    EXPECT_EQ(config.last_cmd_type, -1);
    EXPECT_EQ(sds(config.mb_delim), "\n");
    EXPECT_EQ(sds(config.cmd_delim), "\n");
    EXPECT_EQ(config.cluster_manager_command.timeout, 60000);
    EXPECT_EQ(config.cluster_manager_command.pipeline, 10);
    EXPECT_FLOAT_EQ(config.cluster_manager_command.threshold, 2.0f);
    EXPECT_EQ(pref.hints, 1);
    EXPECT_EQ(spectrum_palette, spectrum_palette_color);
    EXPECT_EQ(spectrum_palette_size, 19);
    EXPECT_EQ(config.prompt[0], '\0');
}

struct ParseCase {
    std::vector<std::string> args;
    int firstarg; // index of the first command word in the full argv
    std::function<void()> check;
};

TEST_F(OptionsTest, ParseOptionsFillsConfig) {
    const clusterManagerCommand &cm = config.cluster_manager_command;
    // Cluster options may stand before or after the sub-command's arguments.
    const auto createAB = [&cm] {
        EXPECT_EQ(str(cm.name), "create");
        ASSERT_EQ(cm.argc, 2);
        EXPECT_EQ(str(cm.argv[0]) + str(cm.argv[1]), "AB");
        EXPECT_EQ(cm.replicas, 1);
    };
    const std::vector<ParseCase> cases = {
        {{"-h", "h1", "-p", "7000", "-n", "3", "get", "k"},
         7,
         [] {
             EXPECT_EQ(sds(config.hostip), "h1");
             EXPECT_EQ(config.hostport, 7000);
             EXPECT_EQ(config.input_dbnum, 3);
         }},
        // Options after the first command word are command words.
        {{"get", "-x", "k"}, 1, [] { EXPECT_EQ(config.stdinarg, 0); }},
        {{"-x", "-c", "-e", "-3", "--verbose", "--force", "--no-motd", "--quoted-input"},
         9,
         [] {
             EXPECT_EQ(config.stdinarg, 1);
             EXPECT_EQ(config.cluster_mode, 1);
             EXPECT_EQ(config.set_errcode, 1);
             EXPECT_EQ(config.vosp3, 1);
             EXPECT_EQ(config.verbose, 1);
             EXPECT_EQ(config.force_mode, 1);
             EXPECT_EQ(config.disable_motd, 1);
             EXPECT_EQ(config.quoted_input, 1);
         }},
        // A value is taken whatever it looks like.
        {{"-a", "-p", "--user", "--tls", "x"},
         5,
         [] {
             EXPECT_EQ(str(config.auth), "-p");
             EXPECT_EQ(str(config.user), "--tls");
             EXPECT_EQ(config.tls, 0);
         }},
        // Numbers at the edges of their ranges are taken as given.
        {{"-p", "65535", "-n", "2147483647", "-r", "5000000000", "--pipe-timeout", "0"},
         9,
         [] {
             EXPECT_EQ(config.hostport, 65535);
             EXPECT_EQ(config.input_dbnum, 2147483647);
             EXPECT_EQ(config.repeat, 5000000000L);
             EXPECT_EQ(config.pipe_timeout, 0);
         }},
        {{"-p", "1", "-n", "0", "-r", "-1", "--pipe-timeout", "-5"},
         9,
         [] {
             EXPECT_EQ(config.hostport, 1);
             EXPECT_EQ(config.input_dbnum, 0);
             EXPECT_EQ(config.repeat, -1);
             EXPECT_EQ(config.pipe_timeout, -5);
         }},
        {{"-r", "0"}, 3, [] { EXPECT_EQ(config.repeat, 0); }},
        {{"-i", "0.0001"}, 3, [] { EXPECT_EQ(config.interval, 100); }},
        {{"-i", "1.5"}, 3, [] { EXPECT_EQ(config.interval, 1500000); }},
        {{"-i", "0"}, 3, [] { EXPECT_EQ(config.interval, 0); }},
        {{"-i", "86400"}, 3, [] { EXPECT_EQ(config.interval, 86400000000L); }},
        // No -t: no timeout; a positive one never rounds down to none.
        {{"ping"}, 1, [] { EXPECT_EQ(config.timeout, 0); }},
        {{"-t", "2.5"}, 3, [] { EXPECT_EQ(config.timeout, 2500000); }},
        {{"-t", "0.0000001"}, 3, [] { EXPECT_EQ(config.timeout, 1); }},
        {{"-t", "0"}, 3, [] { EXPECT_EQ(config.timeout, 0); }},
        // Like every value-taking option, -t in last position is no option.
        {{"get", "-t"}, 1, [] { EXPECT_EQ(config.timeout, 0); }},
        // Later occurrences win; -u and -h both set the host.
        {{"-u", "vorn://a:1/2", "-h", "b", "-p", "3"},
         7,
         [] {
             EXPECT_EQ(sds(config.hostip), "b");
             EXPECT_EQ(config.hostport, 3);
             EXPECT_EQ(config.input_dbnum, 2);
         }},
        {{"--pass", "p1", "-a", "p2", "-s", "/tmp/s"},
         7,
         [] {
             EXPECT_EQ(str(config.auth), "p2");
             EXPECT_EQ(str(config.hostsocket), "/tmp/s");
         }},
        {{"--raw", "--csv"}, 3, [] { EXPECT_EQ(config.output, OUTPUT_CSV); }},
        {{"--csv", "--no-raw"}, 3, [] { EXPECT_EQ(config.output, OUTPUT_STANDARD); }},
        {{"--no-raw", "--ldb"},
         3,
         [] {
             EXPECT_EQ(config.eval_ldb, 1);
             EXPECT_EQ(config.eval_ldb_sync, 0);
             EXPECT_EQ(config.output, OUTPUT_RAW);
         }},
        {{"--ldb-sync-mode", "--eval", "f.lua", "k", ",", "a"},
         4,
         [] {
             EXPECT_EQ(config.eval_ldb, 1);
             EXPECT_EQ(config.eval_ldb_sync, 1);
             EXPECT_EQ(str(config.eval), "f.lua");
         }},
        {{"--show-pushes", "No"}, 3, [] { EXPECT_EQ(config.push_output, 0); }},
        {{"--show-pushes", "n", "--show-pushes", "Yes"},
         5,
         [] { EXPECT_EQ(config.push_output, 1); }},
        {{"--show-pushes", "n", "--show-pushes", "maybe"},
         5,
         [] { EXPECT_EQ(config.push_output, 0); }},
        {{"-d", "\\t", "-D", ""},
         5,
         [] {
             EXPECT_EQ(sds(config.mb_delim), "\\t");
             EXPECT_EQ(sds(config.cmd_delim), "");
         }},
        {{"--latency-history", "--latency-dist", "--mono"},
         4,
         [] {
             EXPECT_EQ(config.latency_mode, 1);
             EXPECT_EQ(config.latency_history, 1);
             EXPECT_EQ(config.latency_dist_mode, 1);
             EXPECT_EQ(spectrum_palette, spectrum_palette_mono);
             EXPECT_EQ(spectrum_palette_size, 13);
         }},
        {{"--memkeys-samples", "5"},
         3,
         [] {
             EXPECT_EQ(config.memkeys, 1);
             EXPECT_EQ(config.memkeys_samples, 5u);
         }},
        {{"--memkeys-samples", "5", "--memkeys"},
         4,
         [] {
             EXPECT_EQ(config.memkeys, 1);
             EXPECT_EQ(config.memkeys_samples, 0u);
         }},
        {{"--pattern", "a*", "--quoted-pattern", "\"k\\x00*\""},
         5,
         [] { EXPECT_EQ(sds(config.pattern), std::string("k\0*", 3)); }},
        {{"--lru-test", "10000000000", "--intrinsic-latency", "7", "--vdb", "-"},
         7,
         [] {
             EXPECT_EQ(config.lru_test_mode, 1);
             EXPECT_EQ(config.lru_test_sample_size, 10000000000LL);
             EXPECT_EQ(config.intrinsic_latency_mode, 1);
             EXPECT_EQ(config.intrinsic_latency_duration, 7);
             EXPECT_EQ(config.getvdb_mode, 1);
             EXPECT_EQ(str(config.vdb_filename), "-");
         }},
        {{"--slave", "--pipe", "--stat", "--scan", "--bigkeys", "--hotkeys", "--askpass",
          "--no-auth-warning"},
         9,
         [] {
             EXPECT_EQ(config.slave_mode, 1);
             EXPECT_EQ(config.pipe_mode, 1);
             EXPECT_EQ(config.stat_mode, 1);
             EXPECT_EQ(config.scan_mode, 1);
             EXPECT_EQ(config.bigkeys, 1);
             EXPECT_EQ(config.hotkeys, 1);
             EXPECT_EQ(config.askpass, 1);
             EXPECT_EQ(config.no_auth_warning, 1);
         }},
        {{"--tls", "--sni", "s", "--cacert", "ca", "--cacertdir", "cd", "--insecure", "--cert", "c",
          "--key", "k", "--tls-ciphers", "ci", "--tls-ciphersuites", "cs"},
         17,
         [] {
             const cliSSLconfig &t = config.sslconfig;
             EXPECT_EQ(config.tls, 1);
             EXPECT_EQ(str(t.sni) + str(t.cacert) + str(t.cacertdir) + str(t.cert) + str(t.key) +
                           str(t.ciphers) + str(t.ciphersuites),
                       "scacdckcics");
             EXPECT_EQ(t.skip_cert_verify, 1);
         }},
        {{"--cluster", "create", "A", "B", "--cluster-replicas", "1"}, 7, createAB},
        {{"--cluster", "create", "--cluster-replicas", "1", "A", "B"}, 7, createAB},
        // Words after the arguments were taken are skipped.
        {{"--cluster", "info", "A", "--verbose", "B", "C"},
         7,
         [&cm] {
             ASSERT_EQ(cm.argc, 1);
             EXPECT_EQ(str(cm.argv[0]), "A");
             EXPECT_EQ(config.verbose, 1);
         }},
        {{"--cluster", "help"},
         3,
         [&cm] {
             EXPECT_EQ(str(cm.name), "help");
             EXPECT_EQ(cm.argc, 0);
             EXPECT_EQ(cm.argv, nullptr);
         }},
        {{"--cluster", "rebalance", "h:1", "--cluster-weight", "a=1", "b=2", "--cluster-threshold",
          "1.5", "--cluster-use-empty-masters"},
         10,
         [&cm] {
             ASSERT_EQ(cm.weight_argc, 2);
             EXPECT_EQ(str(cm.weight[0]) + str(cm.weight[1]), "a=1b=2");
             EXPECT_FLOAT_EQ(cm.threshold, 1.5f);
             EXPECT_EQ(cm.flags & ~CLUSTER_MANAGER_CMD_FLAG_COLOR,
                       CLUSTER_MANAGER_CMD_FLAG_EMPTYMASTER);
         }},
        // A word without "=" ends the weights and is looked at on its own.
        {{"--cluster-weight", "get", "k"},
         2,
         [&cm] {
             EXPECT_EQ(cm.weight, nullptr);
             EXPECT_EQ(cm.weight_argc, 0);
         }},
        {{"--cluster-from", "f", "--cluster-to", "t", "--cluster-master-id", "m",
          "--cluster-from-user", "u", "--cluster-from-pass", "p", "--cluster-from-askpass",
          "--cluster-slots", "100", "--cluster-timeout", "5", "--cluster-pipeline", "7"},
         18,
         [&cm] {
             EXPECT_EQ(str(cm.from) + str(cm.to) + str(cm.master_id) + str(cm.from_user) +
                           str(cm.from_pass),
                       "ftmup");
             EXPECT_EQ(cm.from_askpass, 1);
             EXPECT_EQ(cm.slots, 100);
             EXPECT_EQ(cm.timeout, 5);
             EXPECT_EQ(cm.pipeline, 7);
         }},
    };
    for (const ParseCase &c : cases) {
        std::string trace;
        for (auto &w : c.args)
            trace += w + " ";
        SCOPED_TRACE(trace);
        cliConfigSetDefaults();
        Args a(c.args);
        EXPECT_EQ(a.parse(), c.firstarg);
        c.check();
    }
}

TEST_F(OptionsTest, ClusterFlagOptionsSetTheirBits) {
    const struct {
        const char *option;
        int flag;
    } cases[] = {
        {"--cluster-slave", 0x2},
        {"--cluster-yes", 0x4},
        {"--cluster-use-empty-masters", 0x10},
        {"--cluster-simulate", 0x20},
        {"--cluster-replace", 0x40},
        {"--cluster-copy", 0x80},
        {"--cluster-search-multiple-owners", 0x200},
        {"--cluster-fix-with-unreachable-masters", 0x400},
        {"--cluster-only-masters", 0x800},
        {"--cluster-only-replicas", 0x1000},
    };
    int all = 0;
    std::vector<std::string> words;
    for (const auto &c : cases) {
        cliConfigSetDefaults();
        Args a({c.option});
        EXPECT_EQ(a.parse(), 2);
        EXPECT_EQ(config.cluster_manager_command.flags, c.flag) << c.option;
        all |= c.flag;
        words.push_back(c.option);
    }
    cliConfigSetDefaults();
    Args a(words);
    a.parse();
    EXPECT_EQ(config.cluster_manager_command.flags, all);
}

TEST_F(OptionsTest, ClusterCommandIsColouredOnXterm) {
    for (const char *term : {"xterm-256color", "dumb"}) {
        ScopedEnv t("TERM", term);
        cliConfigSetDefaults();
        Args a({"--cluster", "check", "h:1"});
        a.parse();
        EXPECT_EQ(config.cluster_manager_command.flags,
                  strstr(term, "xterm") ? CLUSTER_MANAGER_CMD_FLAG_COLOR : 0)
            << term;
    }
}

TEST_F(OptionsTest, ParseErrorsExitWithStatusOne) {
    const struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"--"}, "^Unrecognized option or bad number of args for: '--'\n$"},
        {{"-p"}, "^Unrecognized option or bad number of args for: '-p'\n$"},
        {{"-n", "1", "--memkeys-samples"},
         "^Unrecognized option or bad number of args for: '--memkeys-samples'\n$"},
        {{"--cluster-weight"},
         "^Unrecognized option or bad number of args for: '--cluster-weight'\n$"},
        {{"--cluster", "check", "-z"}, "^Unrecognized option or bad number of args for: '-z'\n$"},
        {{"--quoted-pattern", "\"open"},
         "^Invalid quoted string specified for --quoted-pattern.\n$"},
        {{"--quoted-pattern", "a b"}, "^Invalid quoted string specified for --quoted-pattern.\n$"},
        {{"--cluster-weight", "a=1", "--cluster-weight", "b=2"},
         "^WARNING: you cannot use --cluster-weight more than once.\nYou can set more weights by "
         "adding them as a space-separated list, ie:\n--cluster-weight n1=w n2=w\n$"},
        {{"-u", "vornx://h"}, "^Invalid URI scheme\n$"},
        {{"-t"}, "^Unrecognized option or bad number of args for: '-t'\n$"},
        {{"-h"}, "^vorn-cli 255.255.255\n\nUsage: vorn-cli "},
        {{"--cluster"}, "^vorn-cli 255.255.255\n\nUsage: vorn-cli "},
        {{"--cluster", "a", "--cluster", "b"}, "^vorn-cli 255.255.255\n\nUsage: vorn-cli "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        Args a(c.args);
        EXPECT_EXIT(a.parse(), ::testing::ExitedWithCode(1), c.message);
    }
}

TEST_F(OptionsTest, MalformedOrOutOfRangeNumbersExitNamingOptionAndValue) {
    const struct {
        const char *option;
        const char *value;
        const char *expected;
    } cases[] = {
        // Values that a lax reading would have wrapped, cut or rounded into
        // some other number.
        {"-p", "99999", "a port, 1-65535"},
        {"-p", "0", "a port, 1-65535"},
        {"-p", "-1", "a port, 1-65535"},
        {"-p", "12abc", "a port, 1-65535"},
        {"-p", "", "a port, 1-65535"},
        {"-p", " 80", "a port, 1-65535"},
        {"-n", "4294967297", "a database number, 0-2147483647"},
        {"-n", "-1", "a database number, 0-2147483647"},
        {"-n", "x", "a database number, 0-2147483647"},
        {"-r", "abc", "a whole number"},
        {"-r", "1.5", "a whole number"},
        {"-r", "99999999999999999999", "a whole number"},
        {"-i", "1e30", "seconds, 0-86400"},
        {"-i", "inf", "seconds, 0-86400"},
        {"-i", "nan", "seconds, 0-86400"},
        {"-i", "-0.5", "seconds, 0-86400"},
        {"-i", "soon", "seconds, 0-86400"},
        {"-i", "86400.5", "seconds, 0-86400"},
        {"-t", "-1", "seconds, 0-86400"},
        {"-t", "1s", "seconds, 0-86400"},
        {"-t", "infinity", "seconds, 0-86400"},
        {"--pipe-timeout", "30s", "a whole number"},
        {"--pipe-timeout", "2147483648", "a whole number"},
        {"--memkeys-samples", "-1", "a whole number, 0-4294967295"},
        {"--memkeys-samples", "4294967296", "a whole number, 0-4294967295"},
        {"--lru-test", "0", "a whole number, 1 or more"},
        {"--lru-test", "many", "a whole number, 1 or more"},
        {"--intrinsic-latency", "-5", "seconds, 0-2147483647"},
        {"--cluster-replicas", "-1", "a whole number, 0-2147483647"},
        {"--cluster-slots", "16385", "a slot count, 0-16384"},
        {"--cluster-slots", "-3", "a slot count, 0-16384"},
        {"--cluster-timeout", "-1", "milliseconds, 0-2147483647"},
        {"--cluster-timeout", "5000000000", "milliseconds, 0-2147483647"},
        {"--cluster-pipeline", "0", "a whole number, 1-2147483647"},
        {"--cluster-threshold", "nan", "a number"},
        {"--cluster-threshold", "1e39", "a number"},
        {"--cluster-threshold", "2%", "a number"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.option) + " '" + c.value + "'");
        std::string want = std::string("Invalid value for option ") + c.option + ": '" + c.value +
                           "' (expected " + c.expected + ")\n";
        EXPECT_EXIT(
            {
                Args a({c.option, c.value, "ping"});
                a.parse();
                // Not reached; a value that was taken shows here.
                fprintf(stderr, "accepted\n");
                exit(0);
            },
            ::testing::ExitedWithCode(1), ::testing::Matcher<const std::string &>(want));
    }
}

TEST_F(OptionsTest, PasswordsAreHiddenInTheArgumentVector) {
    // What the process list shows afterwards: the same arguments, passwords
    // overwritten in place; the configuration keeps its own copies.
    Args a({"-a", "s3cret", "--pass", "pw2", "--cluster-from-pass", "pw3", "-u",
            "vorn://alice:pw4@h:7/1", "--user", "bob", "ping"});
    EXPECT_EQ(a.parse(), 11);
    EXPECT_EQ(str(config.auth), "pw4");
    EXPECT_EQ(str(config.user), "bob") << "--user came after the URI";
    EXPECT_EQ(str(config.cluster_manager_command.from_pass), "pw3");
    std::vector<std::string> shown;
    for (size_t i = 1; i < a.words.size(); i++)
        shown.push_back(a.argv[i]);
    EXPECT_EQ(shown, (std::vector<std::string>{"-a", "******", "--pass", "***",
                                               "--cluster-from-pass", "***", "-u",
                                               "vorn://alice:***@h:7/1", "--user", "bob", "ping"}));

    cliConfigSetDefaults();
    Args b({"-u", "vorns://only%40pw@[::1]:9", "-a", "x", "get", "k"});
    EXPECT_EQ(b.parse(), 5);
    EXPECT_EQ(str(config.auth), "x");
    EXPECT_STREQ(b.argv[2], "vorns://*********@[::1]:9");
    EXPECT_STREQ(b.argv[5], "get") << "command words are never touched";
}

TEST_F(OptionsTest, EnvironmentFillsPasswordAndClusterYes) {
    const struct {
        const char *auth_env;
        const char *yes_env;
        std::vector<std::string> args;
        const char *auth;
        int yes;
    } cases[] = {
        {"envpw", nullptr, {}, "envpw", 0},
        {"envpw", nullptr, {"-a", "cli"}, "cli", 0},
        {"envpw", nullptr, {"-u", "vorn://uripw@h"}, "uripw", 0},
        {nullptr, "1", {}, nullptr, 1},
        {nullptr, "yes", {}, nullptr, 0},
        {nullptr, "true", {}, nullptr, 0},
        {nullptr, "1 ", {}, nullptr, 0},
        {nullptr, "", {}, nullptr, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(str(c.auth_env) + "/" + str(c.yes_env));
        ScopedEnv a("VORNCLI_AUTH", c.auth_env);
        ScopedEnv y("VORNCLI_CLUSTER_YES", c.yes_env);
        cliConfigSetDefaults();
        Args args(c.args);
        args.parse();
        parseEnv();
        EXPECT_EQ(str(config.auth), str(c.auth));
        EXPECT_EQ((config.cluster_manager_command.flags & CLUSTER_MANAGER_CMD_FLAG_YES) != 0,
                  c.yes != 0);
    }
}

} // namespace
