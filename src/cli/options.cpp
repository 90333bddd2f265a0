#include "cli/options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "cli/color.h"
#include "cli/config.h"
#include "cli/numbers.h"
#include "lineedit/linenoise.h"
#include "cli/palette.h"
#include "support/release.h"

// ---------------------------------------------------------------------------
// Small helpers

hisds cliVersion(void) {
    hisds version = hi_sdsnew(VORN_VERSION);
    // Builds made from a known source revision say which one.
    if (strtoll(vornGitSHA1(), nullptr, 16)) {
        version = hi_sdscatprintf(version, " (git:%s", vornGitSHA1());
        if (strtoll(vornGitDirty(), nullptr, 10)) version = hi_sdscatprintf(version, "-dirty");
        version = hi_sdscat(version, ")");
    }
    return version;
}

int isColorTerm(void) {
    if (!cliColorAllowed()) return 0;
    const char *t = getenv("TERM");
    return t != nullptr && strstr(t, "xterm") != nullptr;
}

hisds unquoteCString(const char *str) {
    int count = 0;
    hisds *unquoted = hi_sdssplitargs(str, &count);
    hisds res = nullptr;
    if (unquoted && count == 1) {
        res = unquoted[0];
        unquoted[0] = nullptr;
    }
    if (unquoted) hi_sdsfreesplitres(unquoted, count);
    return res;
}

hisds readArgFromStdin(void) {
    char buf[1024];
    hisds arg = hi_sdsempty();
    for (;;) {
        ssize_t nread = read(STDIN_FILENO, buf, sizeof(buf));
        if (nread == 0) break;
        if (nread < 0) {
            if (errno == EINTR) continue;
            perror("Reading from standard input");
            exit(1);
        }
        arg = hi_sdscatlen(arg, buf, static_cast<size_t>(nread));
    }
    return arg;
}

hisds getDotfilePath(const char *envoverride, const char *dotfilename) {
    const char *path = getenv(envoverride);
    if (path != nullptr && *path != '\0') {
        // "/dev/null" is how a user says "do not keep this file at all".
        if (!strcmp(path, "/dev/null")) return nullptr;
        return hi_sdsnew(path);
    }
    const char *home = getenv("HOME");
    if (home != nullptr && *home != '\0')
        return hi_sdscatprintf(hi_sdsempty(), "%s/%s", home, dotfilename);
    return nullptr;
}

hisds askPassword(const char *prompt) {
    linenoiseMaskModeEnable();
    char *line = linenoise(prompt);
    linenoiseMaskModeDisable();
    if (line == nullptr) return nullptr;
    hisds password = hi_sdsnew(line);
    linenoiseFree(line);
    return password;
}

int createClusterManagerCommand(char *cmdname, int argc, char **argv) {
    clusterManagerCommand *cmd = &config.cluster_manager_command;
    cmd->name = cmdname;
    cmd->argc = argc;
    cmd->argv = argc ? argv : nullptr;
    if (isColorTerm()) cmd->flags |= CLUSTER_MANAGER_CMD_FLAG_COLOR;
    return 0;
}

// ---------------------------------------------------------------------------
// Server URIs

static int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

hisds percentDecode(const char *pe, size_t len) {
    const char *end = pe + len;
    hisds ret = hi_sdsempty();
    for (const char *curr = pe; curr < end;) {
        if (*curr != '%') {
            ret = hi_sdscatlen(ret, curr++, 1);
            continue;
        }
        // The two digits must lie inside this segment: the byte after it is
        // a separator (":" or "@") or the end of the text.
        if (end - curr < 3) {
            hi_sdsfree(ret);
            fprintf(stderr, "Incomplete URI encoding\n");
            exit(1);
        }
        int hi = hexDigitValue(curr[1]);
        int lo = hexDigitValue(curr[2]);
        if (hi < 0 || lo < 0) {
            hi_sdsfree(ret);
            fprintf(stderr, "Illegal character in URI encoding\n");
            exit(1);
        }
        char c = static_cast<char>(hi * 16 + lo);
        ret = hi_sdscatlen(ret, &c, 1);
        curr += 3;
    }
    return ret;
}

// Where the password of a URI lies, so that the argument vector can be
// cleaned afterwards.
struct UriSecret {
    size_t offset = 0;
    size_t length = 0;
};

[[noreturn]] static void invalidUriHost() {
    fprintf(stderr, "Invalid IPv6 address in URI\n");
    exit(1);
}

// Reads the number in [start, end) of a URI; the URI itself is never shown,
// since it may carry a password.
static int uriNumber(const char *start, const char *end, const cliNumberRange &range) {
    hisds text = hi_sdsnewlen(start, static_cast<size_t>(end - start));
    long long v = 0;
    bool valid = cliParseInteger(text, range, &v);
    if (!valid) cliPrintInvalidNumber("-u", text, range.what);
    hi_sdsfree(text);
    if (!valid) exit(1);
    return static_cast<int>(v);
}

static UriSecret parseUri(const char *uri) {
    static const char scheme[] = "vorn://";
    static const char tlsscheme[] = "vorns://";
    UriSecret secret;
    const char *curr = uri;
    const char *end = uri + strlen(uri);

    if (!strncasecmp(tlsscheme, curr, strlen(tlsscheme))) {
        config.tls = 1;
        curr += strlen(tlsscheme);
    } else if (!strncasecmp(scheme, curr, strlen(scheme))) {
        curr += strlen(scheme);
    } else {
        fprintf(stderr, "Invalid URI scheme\n");
        exit(1);
    }
    if (curr == end) return secret;

    // User information: [user:]password@
    if (const char *at = strchr(curr, '@')) {
        const char *colon = strchr(curr, ':');
        if (colon && colon < at) {
            config.user = cliConfigKeepString(percentDecode(curr, colon - curr));
            curr = colon + 1;
        }
        config.auth = cliConfigKeepString(percentDecode(curr, at - curr));
        secret.offset = static_cast<size_t>(curr - uri);
        secret.length = static_cast<size_t>(at - curr);
        curr = at + 1;
    }
    if (curr == end) return secret;

    // Host and port. Only a ":" of the authority names a port: one in the
    // path must not cut the host name short. An IPv6 address is written in
    // brackets, since its own colons would otherwise read as a port.
    const char *path = strchr(curr, '/');
    if (*curr != '/') {
        const char *hostend = path ? path : end;
        const char *host = curr;
        const char *port = nullptr;
        if (*curr == '[') {
            const auto *close = static_cast<const char *>(memchr(curr, ']', hostend - curr));
            if (close == nullptr) invalidUriHost();
            if (close + 1 < hostend) {
                if (close[1] != ':') invalidUriHost();
                port = close + 1;
            }
            host = curr + 1;
            if (port) config.hostport = uriNumber(port + 1, hostend, cliPortRange);
            hostend = close;
        } else if ((port = static_cast<const char *>(memchr(curr, ':', hostend - curr)))) {
            config.hostport = uriNumber(port + 1, hostend, cliPortRange);
            hostend = port;
        }
        hi_sdsfree(config.hostip);
        config.hostip = hi_sdsnewlen(host, hostend - host);
    }
    curr = path ? path + 1 : end;
    if (curr == end) return secret;

    config.input_dbnum = uriNumber(curr, end, cliDatabaseRange);
    return secret;
}

void parseVornUri(const char *uri) {
    parseUri(uri);
}

// ---------------------------------------------------------------------------
// Help screen

namespace {

struct HelpEntry {
    const char *form;      // the option as the screen shows it
    const char *lines[8];  // help lines, null-terminated
    int continuation = 21; // indentation of the lines after the first
};

// Column where every help text starts.
constexpr int HELP_COLUMN = 21;

const HelpEntry helpConnection[] = {
    {"-h <hostname>", {"Server hostname (default: 127.0.0.1)."}},
    {"-p <port>", {"Server port (default: 6379)."}},
    {"-s <socket>", {"Server socket (overrides hostname and port)."}},
    {"-a <password>",
     {"Password to use when connecting to the server.",
      "You can also use the VORNCLI_AUTH environment", "variable to pass this password more safely",
      "(if both are used, this argument takes precedence)."}},
    {"--user <username>", {"Used to send ACL style 'AUTH username pass'. Needs -a."}},
    {"--pass <password>", {"Alias of -a for consistency with the new --user option."}},
    {"--askpass",
     {"Force user to input password with mask from STDIN.",
      "If this argument is used, '-a' and VORNCLI_AUTH", "environment variable will be ignored."}},
    {"-u <uri>", {"Server URI."}},
    {"-r <repeat>", {"Execute specified command N times."}},
    {"-i <interval>",
     {"When -r is used, waits <interval> seconds per command.",
      "It is possible to specify sub-second times like -i 0.1."}},
    {"-n <db>", {"Database number."}},
    {"-3", {"Start session in VOSP3 protocol mode."}},
    {"-x", {"Read last argument from STDIN."}},
    {"-d <delimiter>", {"Delimiter between response bulks for raw formatting (default: \\n)."}},
    {"-D <delimiter>", {"Delimiter between responses for raw formatting (default: \\n)."}},
    {"-c", {"Enable cluster mode (follow -ASK and -MOVED redirections)."}},
    {"-e", {"Return exit error code when command execution fails."}},
    {"--tls", {"Establish a secure TLS connection."}},
    {"--sni <host>", {"Server name indication for TLS."}},
    {"--cacert <file>", {"CA Certificate file to verify with."}},
    {"--cacertdir <dir>",
     {"Directory where trusted CA certificates are stored.",
      "If neither cacert nor cacertdir are specified, the default",
      "system-wide trusted root certs configuration will apply."}},
    {"--insecure", {"Allow insecure TLS connection by skipping cert validation."}},
    {"--cert <file>", {"Client certificate to authenticate with."}},
    {"--key <file>", {"Private key file to authenticate with."}},
    {"--tls-ciphers <list>",
     {"Sets the list of prefered ciphers (TLSv1.2 and below)",
      "in order of preference from highest to lowest separated by colon (\":\").",
      "See the ciphers(1ssl) manpage for more information about the syntax of this string."}},
    {"--tls-ciphersuites <list>",
     {"Sets the list of prefered ciphersuites (TLSv1.3)",
      "in order of preference from highest to lowest separated by colon (\":\").",
      "See the ciphers(1ssl) manpage for more information about the syntax of this string,",
      "and specifically for TLSv1.3 ciphersuites."}},
    {"--raw", {"Use raw formatting for replies (default when STDOUT is", "not a tty)."}},
    {"--no-raw", {"Force formatted output even when STDOUT is not a tty."}},
    {"--quoted-input", {"Force input to be handled as quoted strings."}},
    {"--csv", {"Output in CSV format."}},
    {"--show-pushes <yn>",
     {"Whether to print VOSP3 PUSH messages.  Enabled by default when",
      "STDOUT is a tty but can be overriden with --show-pushes no."}},
    {"--stat", {"Print rolling stats about server: mem, clients, ..."}},
    {"--latency",
     {"Enter a special mode continuously sampling latency.",
      "If you use this mode in an interactive session it runs",
      "forever displaying real-time stats. Otherwise if --raw or",
      "--csv is specified, or if you redirect the output to a non",
      "TTY, it samples the latency for 1 second (you can use",
      "-i to change the interval), then produces a single output", "and exits."}},
};

// The entries of this group may mention default values; see usage().
const HelpEntry helpModes[] = {
    {"--latency-history",
     {"Like --latency but tracking latency changes over time.",
      "Default time interval is 15 sec. Change it using -i."}},
    {"--latency-dist",
     {"Shows latency as a spectrum, requires xterm 256 colors.",
      "Default time interval is 1 sec. Change it using -i."}},
    {"--lru-test <keys>", {"Simulate a cache workload with an 80-20 distribution."}},
    {"--replica", {"Simulate a replica showing commands received from the master."}},
    {"--vdb <filename>",
     {"Transfer an VDB dump from remote server to local file.",
      "Use filename of \"-\" to write to stdout."}},
    {"--pipe", {"Transfer raw Vorn protocol from stdin to server."}},
    {"--pipe-timeout <n>",
     {"In --pipe mode, abort with error if after sending all data.",
      "no reply is received within <n> seconds.", "Default timeout: %d. Use 0 to wait forever."}},
};

const HelpEntry helpScanning[] = {
    {"--bigkeys", {"Sample Vorn keys looking for keys with many elements (complexity)."}},
    {"--memkeys", {"Sample Vorn keys looking for keys consuming a lot of memory."}},
    {"--memkeys-samples <n>",
     {"Sample Vorn keys looking for keys consuming a lot of memory.",
      "And define number of key elements to sample"}},
    {"--hotkeys",
     {"Sample Vorn keys looking for hot keys.", "only works when maxmemory-policy is *lfu."}},
    {"--scan", {"List all keys using the SCAN command."}},
    {"--pattern <pat>",
     {"Keys pattern when using the --scan, --bigkeys or --hotkeys", "options (default: *)."}},
    {"--quoted-pattern <pat>",
     {"Same as --pattern, but the specified string can be",
      "quoted, in order to pass an otherwise non binary-safe string."},
     25},
    {"--intrinsic-latency <sec>",
     {"Run a test to measure intrinsic system latency.",
      "The test will run for the specified amount of seconds."}},
    {"--eval <file>", {"Send an EVAL command using the Lua script at <file>."}},
    {"--ldb", {"Used with --eval enable the Vorn Lua debugger."}},
    {"--ldb-sync-mode",
     {"Like --ldb but uses the synchronous Lua debugger, in",
      "this mode the server is blocked and script changes are",
      "not rolled back from the server memory."}},
    // A form too long for the column gets a line of its own.
    {"--cluster <command> [args...] [opts...]",
     {"", "Cluster Manager command and arguments (see below)."}},
    {"--verbose", {"Verbose mode."}},
    {"--no-auth-warning",
     {"Don't show warning message when using password on command", "line interface."}},
    {"--force", {"Ignore validation and safety checks"}},
    {"--help", {"Output this help and exit."}},
    {"--version", {"Output version and exit."}},
};

const char helpTail[] = "Cluster Manager Commands:\n"
                        "  Use --cluster help to list all available cluster manager commands.\n"
                        "\n"
                        "Examples:\n"
                        "  cat /etc/passwd | vorn-cli -x set mypasswd\n"
                        "  vorn-cli get mypasswd\n"
                        "  vorn-cli -r 100 lpush mylist x\n"
                        "  vorn-cli -r 100 -i 1 info | grep used_memory_human:\n"
                        "  vorn-cli --quoted-input set '\"null-\\x00-separated\"' value\n"
                        "  vorn-cli --eval myscript.lua key1 key2 , arg1 arg2 arg3\n"
                        "  vorn-cli --scan --pattern '*:12345*'\n"
                        "\n"
                        "  (Note: when using --eval the comma separates KEYS[] from ARGV[] items)\n"
                        "\n"
                        "When no command is given, vorn-cli starts in interactive mode.\n"
                        "Type \"help\" in interactive mode for information on available commands\n"
                        "and settings.\n"
                        "\n";

// Writes one entry. A line containing "%d" shows `number` there.
void printHelpEntry(const char *form, const char *const *lines, size_t nlines, int continuation,
                    int number) {
    fprintf(stderr, "  %-*s", HELP_COLUMN - 3, form);
    for (size_t i = 0; i < nlines && lines[i]; i++) {
        const char *line = lines[i];
        if (i == 0) {
            if (*line == '\0') {
                fputc('\n', stderr);
                continue;
            }
            fputc(' ', stderr);
        } else {
            fprintf(stderr, "%*s", continuation, "");
        }
        if (const char *d = strstr(line, "%d")) {
            fprintf(stderr, "%.*s%d%s\n", static_cast<int>(d - line), line, number, d + 2);
        } else {
            fprintf(stderr, "%s\n", line);
        }
    }
}

template <size_t N> void printHelpEntries(const HelpEntry (&entries)[N], int number) {
    for (const HelpEntry &e : entries)
        printHelpEntry(e.form, e.lines, 8, e.continuation, number);
}

// ---------------------------------------------------------------------------
// Options beyond the help screen above. Each row is both parsed by
// parseOptions and listed by usage(), in one block after the screen, so an
// option is added by adding its row.

// The longest pause or timeout accepted, in seconds: a day.
constexpr double kMaxSeconds = 86400;

// Reads a pause or timeout in seconds into microseconds, or exits with the
// refusal message.
long long secondsValue(const char *option, const char *text) {
    long long us = 0;
    if (!cliParseSeconds(text, kMaxSeconds, &us))
        cliInvalidNumber(option, text, "seconds, 0-86400");
    return us;
}

void applyTimeout(const char *option, const char *value) {
    config.timeout = secondsValue(option, value);
}

// Like --raw and --csv, the last output option given wins.
void applyJson(const char *, const char *) {
    config.output = OUTPUT_JSON;
}

struct ExtraOption {
    const char *name;
    const char *value;    // the value's name on the help screen; null for a switch
    const char *lines[4]; // help lines, null-terminated
    void (*apply)(const char *option, const char *value);
};

const ExtraOption extraOptions[] = {
    {"-t",
     "<seconds>",
     {"Give up connecting, and any read or write on the connection,",
      "after <seconds> (sub-second times like -t 0.5 work too).",
      "Default: 0, wait as long as it takes."},
     applyTimeout},
    {"--json",
     nullptr,
     {"Output every reply as one JSON document on one line.",
      "Bytes that are not UTF-8 are written as \\udc80-\\udcff."},
     applyJson},
};

void printExtraOptions() {
    fputs("Additional options:\n", stderr);
    for (const ExtraOption &o : extraOptions) {
        hisds form = hi_sdsnew(o.name);
        if (o.value) form = hi_sdscatprintf(form, " %s", o.value);
        printHelpEntry(form, o.lines, 4, HELP_COLUMN, 0);
        hi_sdsfree(form);
    }
    fputs("\n", stderr);
}

// Options accepted but shown on no help screen: aliases, the spectrum's
// palette, and the options of the cluster sub-commands (which --cluster help
// names only briefly). Only the documentation reads these rows.
struct OtherOptionDoc {
    const char *name;
    const char *value;
    const char *line;
    cliOptionSection section;
};

const OtherOptionDoc otherOptionDocs[] = {
    {"-v", nullptr, "Same as --version.", CLI_OPTION_OTHER},
    {"--slave", nullptr, "Same as --replica.", CLI_OPTION_OTHER},
    {"--mono", nullptr, "Draw the --latency-dist spectrum in shades of grey.", CLI_OPTION_OTHER},
    {"--no-motd", nullptr, "Do not fetch the message of the day when the shell starts.",
     CLI_OPTION_OTHER},
    {"--cluster-replicas", "<n>", "create: replicas per master.", CLI_OPTION_CLUSTER},
    {"--cluster-master-id", "<id>", "add-node: the master the new replica follows.",
     CLI_OPTION_CLUSTER},
    {"--cluster-slave", nullptr, "add-node: add the node as a replica.", CLI_OPTION_CLUSTER},
    {"--cluster-from", "<ids>", "reshard: source node IDs, comma-separated, or all.",
     CLI_OPTION_CLUSTER},
    {"--cluster-to", "<id>", "reshard: target node ID.", CLI_OPTION_CLUSTER},
    {"--cluster-slots", "<n>", "reshard: number of slots to move.", CLI_OPTION_CLUSTER},
    {"--cluster-yes", nullptr, "Answer every confirmation with yes.", CLI_OPTION_CLUSTER},
    {"--cluster-timeout", "<ms>", "Node connection and migration timeout in milliseconds.",
     CLI_OPTION_CLUSTER},
    {"--cluster-pipeline", "<n>", "Keys moved per MIGRATE batch.", CLI_OPTION_CLUSTER},
    {"--cluster-replace", nullptr, "Replace existing keys while moving or importing.",
     CLI_OPTION_CLUSTER},
    {"--cluster-weight", "<node=weight>...", "rebalance: weights of nodes.", CLI_OPTION_CLUSTER},
    {"--cluster-use-empty-masters", nullptr, "rebalance: give slots to masters without any.",
     CLI_OPTION_CLUSTER},
    {"--cluster-simulate", nullptr, "rebalance: show the moves without making them.",
     CLI_OPTION_CLUSTER},
    {"--cluster-threshold", "<n>", "rebalance: imbalance percentage that triggers moves.",
     CLI_OPTION_CLUSTER},
    {"--cluster-search-multiple-owners", nullptr, "check, fix: look for slots with several owners.",
     CLI_OPTION_CLUSTER},
    {"--cluster-fix-with-unreachable-masters", nullptr,
     "fix: also fix slots of masters that cannot be reached.", CLI_OPTION_CLUSTER},
    {"--cluster-only-masters", nullptr, "call: only on masters.", CLI_OPTION_CLUSTER},
    {"--cluster-only-replicas", nullptr, "call: only on replicas.", CLI_OPTION_CLUSTER},
    {"--cluster-copy", nullptr, "import: copy the keys instead of moving them.",
     CLI_OPTION_CLUSTER},
    {"--cluster-from-user", "<user>", "import: user name on the source server.",
     CLI_OPTION_CLUSTER},
    {"--cluster-from-pass", "<password>", "import: password of the source server.",
     CLI_OPTION_CLUSTER},
    {"--cluster-from-askpass", nullptr, "import: ask for the source server's password.",
     CLI_OPTION_CLUSTER},
};

// Splits a help-screen form ("-h <hostname>") into its name and value, and
// fills in the number a "%d" line shows.
template <size_t N>
void addScreenDocs(std::vector<cliOptionDoc> &docs, const HelpEntry (&entries)[N], int number) {
    for (const HelpEntry &e : entries) {
        cliOptionDoc d;
        std::string form = e.form;
        size_t sp = form.find(' ');
        d.name = form.substr(0, sp);
        if (sp != std::string::npos) d.value = form.substr(sp + 1);
        for (const char *line : e.lines) {
            if (line == nullptr) break;
            if (*line == '\0') continue; // the break of a long form
            std::string l = line;
            if (size_t p = l.find("%d"); p != std::string::npos)
                l.replace(p, 2, std::to_string(number));
            d.lines.push_back(l);
        }
        d.section = CLI_OPTION_SCREEN;
        docs.push_back(d);
    }
}

} // namespace

std::vector<cliOptionDoc> cliOptionDocs(void) {
    std::vector<cliOptionDoc> docs;
    addScreenDocs(docs, helpConnection, 0);
    addScreenDocs(docs, helpModes, VORN_CLI_DEFAULT_PIPE_TIMEOUT);
    addScreenDocs(docs, helpScanning, 0);
    for (const ExtraOption &o : extraOptions) {
        cliOptionDoc d{o.name, o.value ? o.value : "", {}, CLI_OPTION_ADDITIONAL};
        for (const char *line : o.lines)
            if (line) d.lines.push_back(line);
        docs.push_back(d);
    }
    for (const OtherOptionDoc &o : otherOptionDocs)
        docs.push_back({o.name, o.value ? o.value : "", {o.line}, o.section});
    return docs;
}

const char *cliHelpTail(void) {
    return helpTail;
}

void usage(void) {
    hisds version = cliVersion();
    fprintf(stderr,
            "vorn-cli %s\n"
            "\n"
            "Usage: vorn-cli [OPTIONS] [cmd [arg [arg ...]]]\n",
            version);
    hi_sdsfree(version);
    printHelpEntries(helpConnection, 0);
    printHelpEntries(helpModes, VORN_CLI_DEFAULT_PIPE_TIMEOUT);
    printHelpEntries(helpScanning, 0);
    fputs("\n", stderr);
    fputs(helpTail, stderr);
    printExtraOptions();
    exit(1);
}

// ---------------------------------------------------------------------------
// Command line

// Options that set a field to a fixed value.
struct SwitchOption {
    const char *name;
    int *field;
    int value;
};

static const SwitchOption switchOptions[] = {
    {"-x", &config.stdinarg, 1},
    {"-c", &config.cluster_mode, 1},
    {"-e", &config.set_errcode, 1},
    {"-3", &config.vosp3, 1},
    {"--no-auth-warning", &config.no_auth_warning, 1},
    {"--askpass", &config.askpass, 1},
    {"--raw", &config.output, OUTPUT_RAW},
    {"--no-raw", &config.output, OUTPUT_STANDARD},
    {"--csv", &config.output, OUTPUT_CSV},
    {"--quoted-input", &config.quoted_input, 1},
    {"--latency", &config.latency_mode, 1},
    {"--latency-dist", &config.latency_dist_mode, 1},
    {"--slave", &config.slave_mode, 1},
    {"--replica", &config.slave_mode, 1},
    {"--stat", &config.stat_mode, 1},
    {"--scan", &config.scan_mode, 1},
    {"--pipe", &config.pipe_mode, 1},
    {"--bigkeys", &config.bigkeys, 1},
    {"--hotkeys", &config.hotkeys, 1},
    {"--verbose", &config.verbose, 1},
    {"--no-motd", &config.disable_motd, 1},
    {"--force", &config.force_mode, 1},
    {"--tls", &config.tls, 1},
    {"--insecure", &config.sslconfig.skip_cert_verify, 1},
    {"--cluster-from-askpass", &config.cluster_manager_command.from_askpass, 1},
};

// Options that set a bit of the cluster command flags.
struct FlagOption {
    const char *name;
    int flag;
};

static const FlagOption clusterFlagOptions[] = {
    {"--cluster-slave", CLUSTER_MANAGER_CMD_FLAG_SLAVE},
    {"--cluster-yes", CLUSTER_MANAGER_CMD_FLAG_YES},
    {"--cluster-use-empty-masters", CLUSTER_MANAGER_CMD_FLAG_EMPTYMASTER},
    {"--cluster-simulate", CLUSTER_MANAGER_CMD_FLAG_SIMULATE},
    {"--cluster-replace", CLUSTER_MANAGER_CMD_FLAG_REPLACE},
    {"--cluster-copy", CLUSTER_MANAGER_CMD_FLAG_COPY},
    {"--cluster-search-multiple-owners", CLUSTER_MANAGER_CMD_FLAG_CHECK_OWNERS},
    {"--cluster-fix-with-unreachable-masters",
     CLUSTER_MANAGER_CMD_FLAG_FIX_WITH_UNREACHABLE_MASTERS},
    {"--cluster-only-masters", CLUSTER_MANAGER_CMD_FLAG_MASTERS_ONLY},
    {"--cluster-only-replicas", CLUSTER_MANAGER_CMD_FLAG_SLAVES_ONLY},
};

// Options whose value is kept as given (borrowed from argv). A secret is
// copied instead, and its text in the argument vector overwritten, so that
// it does not stay visible in the process list.
struct StringOption {
    const char *name;
    char **field;
    bool secret = false;
};

static const StringOption stringOptions[] = {
    {"-s", &config.hostsocket},
    {"-a", &config.auth, true},
    {"--pass", &config.auth, true},
    {"--user", &config.user},
    {"--eval", &config.eval},
    {"--sni", &config.sslconfig.sni},
    {"--cacert", &config.sslconfig.cacert},
    {"--cacertdir", &config.sslconfig.cacertdir},
    {"--cert", &config.sslconfig.cert},
    {"--key", &config.sslconfig.key},
    {"--tls-ciphers", &config.sslconfig.ciphers},
    {"--tls-ciphersuites", &config.sslconfig.ciphersuites},
    {"--cluster-master-id", &config.cluster_manager_command.master_id},
    {"--cluster-from", &config.cluster_manager_command.from},
    {"--cluster-to", &config.cluster_manager_command.to},
    {"--cluster-from-user", &config.cluster_manager_command.from_user},
    {"--cluster-from-pass", &config.cluster_manager_command.from_pass, true},
};

// What the numbers of the options must be. A value outside its range is
// refused: it would otherwise be wrapped or cut into another number.
static const cliNumberRange anyInt = {"a whole number", INT_MIN, INT_MAX};
static const cliNumberRange repeatRange = {"a whole number", LONG_MIN, LONG_MAX};
static const cliNumberRange countRange = {"a whole number, 0-2147483647", 0, INT_MAX};
static const cliNumberRange positiveCountRange = {"a whole number, 1-2147483647", 1, INT_MAX};
static const cliNumberRange samplesRange = {"a whole number, 0-4294967295", 0, UINT_MAX};
static const cliNumberRange keysRange = {"a whole number, 1 or more", 1, LLONG_MAX};
static const cliNumberRange durationRange = {"seconds, 0-2147483647", 0, INT_MAX};
static const cliNumberRange slotsRange = {"a slot count, 0-16384", 0, 16384};
static const cliNumberRange millisRange = {"milliseconds, 0-2147483647", 0, INT_MAX};

// Reads the value of a numeric option or exits with the refusal message.
static long long numberValue(const char *option, const char *text, const cliNumberRange &range) {
    long long v = 0;
    if (!cliParseInteger(text, range, &v)) cliInvalidNumber(option, text, range.what);
    return v;
}

// Options whose value is an int.
struct IntOption {
    const char *name;
    int *field;
    const cliNumberRange *range;
};

static const IntOption intOptions[] = {
    {"-p", &config.hostport, &cliPortRange},
    {"-n", &config.input_dbnum, &cliDatabaseRange},
    // 0 or less turns the pipe-mode timeout off.
    {"--pipe-timeout", &config.pipe_timeout, &anyInt},
    {"--cluster-replicas", &config.cluster_manager_command.replicas, &countRange},
    // 0 has reshard ask for the count.
    {"--cluster-slots", &config.cluster_manager_command.slots, &slotsRange},
    {"--cluster-timeout", &config.cluster_manager_command.timeout, &millisRange},
    // A batch of no keys would never move a slot's keys.
    {"--cluster-pipeline", &config.cluster_manager_command.pipeline, &positiveCountRange},
};

// Overwrites a secret in the argument vector, keeping its length so that the
// other arguments stay where they are.
static void hideArgument(char *text, size_t len) {
    memset(text, '*', len);
}

// Looks `arg` up in one of the tables above.
template <typename T, size_t N> static const T *findOption(const T (&table)[N], const char *arg) {
    for (const T &o : table)
        if (!strcmp(o.name, arg)) return &o;
    return nullptr;
}

// A row of extraOptions; one that takes a value only when a value follows.
static const ExtraOption *findExtraOption(const char *arg, bool hasval) {
    const ExtraOption *o = findOption(extraOptions, arg);
    return o != nullptr && (o->value == nullptr || hasval) ? o : nullptr;
}

static void replaceSds(hisds *field, const char *value) {
    hi_sdsfree(*field);
    *field = hi_sdsnew(value);
}

[[noreturn]] static void unrecognizedOption(const char *arg) {
    fprintf(stderr, "Unrecognized option or bad number of args for: '%s'\n", arg);
    exit(1);
}

// Handles the options with a value or a rule of their own. Returns false
// when `arg` is none of them; otherwise advances *i past the values taken.
static bool parseSpecialOption(int argc, char **argv, int *i) {
    clusterManagerCommand *cm = &config.cluster_manager_command;
    const char *arg = argv[*i];
    const bool hasval = *i + 1 < argc;
    auto is = [arg](const char *name) { return strcmp(arg, name) == 0; };
    // A value-taking option is only recognised when a value follows.
    auto isv = [arg, hasval](const char *name) { return hasval && strcmp(arg, name) == 0; };
    auto value = [argv, i] { return argv[++*i]; };

    if ((is("-h") && !hasval) || is("--help") || (is("--cluster") && !hasval)) {
        usage();
    } else if (isv("-h")) {
        replaceSds(&config.hostip, value());
    } else if (isv("-r")) {
        config.repeat = numberValue(arg, value(), repeatRange);
    } else if (isv("-i")) {
        config.interval = secondsValue(arg, value());
    } else if (isv("-u")) {
        char *uri = value();
        UriSecret secret = parseUri(uri);
        hideArgument(uri + secret.offset, secret.length);
    } else if (isv("-d")) {
        replaceSds(&config.mb_delim, value());
    } else if (isv("-D")) {
        replaceSds(&config.cmd_delim, value());
    } else if (is("--mono")) {
        spectrum_palette = spectrum_palette_mono;
        spectrum_palette_size = spectrum_palette_mono_size;
    } else if (is("--latency-history")) {
        config.latency_mode = 1;
        config.latency_history = 1;
    } else if (isv("--lru-test")) {
        config.lru_test_mode = 1;
        config.lru_test_sample_size = numberValue(arg, value(), keysRange);
    } else if (isv("--pattern")) {
        replaceSds(&config.pattern, value());
    } else if (isv("--quoted-pattern")) {
        hi_sdsfree(config.pattern);
        config.pattern = unquoteCString(value());
        if (!config.pattern) {
            fprintf(stderr, "Invalid quoted string specified for --quoted-pattern.\n");
            exit(1);
        }
    } else if (isv("--intrinsic-latency")) {
        config.intrinsic_latency_mode = 1;
        config.intrinsic_latency_duration =
            static_cast<int>(numberValue(arg, value(), durationRange));
    } else if (isv("--vdb")) {
        config.getvdb_mode = 1;
        config.vdb_filename = value();
    } else if (is("--memkeys")) {
        config.memkeys = 1;
        config.memkeys_samples = 0;
    } else if (isv("--memkeys-samples")) {
        config.memkeys = 1;
        config.memkeys_samples = static_cast<unsigned>(numberValue(arg, value(), samplesRange));
    } else if (is("--ldb")) {
        config.eval_ldb = 1;
        config.output = OUTPUT_RAW;
    } else if (is("--ldb-sync-mode")) {
        config.eval_ldb = 1;
        config.eval_ldb_sync = 1;
        config.output = OUTPUT_RAW;
    } else if (is("-v") || is("--version")) {
        hisds version = cliVersion();
        printf("vorn-cli %s\n", version);
        hi_sdsfree(version);
        exit(0);
    } else if (isv("--show-pushes")) {
        const char *yn = value();
        if (!strncasecmp(yn, "n", 1))
            config.push_output = 0;
        else if (!strncasecmp(yn, "y", 1))
            config.push_output = 1;
        else
            fprintf(stderr, "Unknown --show-pushes value '%s' (valid: '[y]es', '[n]o')\n", yn);
    } else if (isv("--cluster-threshold")) {
        const char *v = value();
        if (!cliParseReal(v, &cm->threshold)) cliInvalidNumber(arg, v, "a number");
    } else if (is("--cluster")) {
        if (cm->name != nullptr) usage();
        char *name = value();
        // The sub-command's arguments run up to the next option.
        int j = *i + 1;
        while (j < argc && argv[j][0] != '-')
            j++;
        createClusterManagerCommand(name, j - (*i + 1), argv + *i + 1);
        *i = j - 1;
    } else if (isv("--cluster-weight")) {
        if (cm->weight != nullptr) {
            fprintf(stderr, "WARNING: you cannot use --cluster-weight more than once.\n"
                            "You can set more weights by adding them as a space-separated "
                            "list, ie:\n--cluster-weight n1=w n2=w\n");
            exit(1);
        }
        int wargc = 0;
        for (int w = *i + 1; w < argc; w++) {
            if (!strncmp(argv[w], "--", 2) || !strchr(argv[w], '=')) break;
            wargc++;
        }
        if (wargc > 0) {
            cm->weight = argv + *i + 1;
            cm->weight_argc = wargc;
            *i += wargc;
        }
    } else {
        return false;
    }
    return true;
}

int parseOptions(int argc, char **argv) {
    clusterManagerCommand *cm = &config.cluster_manager_command;
    int i;
    for (i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const bool hasval = i + 1 < argc;

        if (const SwitchOption *o = findOption(switchOptions, arg)) {
            *o->field = o->value;
        } else if (const FlagOption *o = findOption(clusterFlagOptions, arg)) {
            cm->flags |= o->flag;
        } else if (const StringOption *o = hasval ? findOption(stringOptions, arg) : nullptr) {
            char *v = argv[++i];
            if (o->secret) {
                *o->field = cliConfigKeepString(hi_sdsnew(v));
                hideArgument(v, strlen(v));
            } else {
                *o->field = v;
            }
        } else if (const IntOption *o = hasval ? findOption(intOptions, arg) : nullptr) {
            *o->field = static_cast<int>(numberValue(arg, argv[++i], *o->range));
        } else if (const ExtraOption *o = findExtraOption(arg, hasval)) {
            o->apply(arg, o->value ? argv[++i] : nullptr);
        } else if (parseSpecialOption(argc, argv, &i)) {
            continue;
        } else if (arg[0] == '-') {
            unrecognizedOption(arg);
        } else if (cm->name == nullptr) {
            break; // the first command word
        } else if (cm->argc == 0) {
            // Words after a cluster sub-command and its options are its
            // arguments, unless it had some right after its name.
            int j = i + 1;
            while (j < argc && argv[j][0] != '-')
                j++;
            cm->argc = j - i;
            cm->argv = argv + i;
            i = j - 1;
        }
    }
    return i;
}

void parseEnv(void) {
    const char *auth = getenv("VORNCLI_AUTH");
    if (auth != nullptr && config.auth == nullptr) config.auth = const_cast<char *>(auth);
    const char *yes = getenv("VORNCLI_CLUSTER_YES");
    if (yes != nullptr && !strcmp(yes, "1"))
        config.cluster_manager_command.flags |= CLUSTER_MANAGER_CMD_FLAG_YES;
}
