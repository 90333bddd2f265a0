"""Command-line options: help screen, version, option errors, conflicts,
password warnings, URI errors and the --cluster argument checks. None of
these needs a server: each ends before any connection is made."""
import pytest

from conftest import bin_path, run_cli

HELP = """vorn-cli 255.255.255

Usage: vorn-cli [OPTIONS] [cmd [arg [arg ...]]]
  -h <hostname>      Server hostname (default: 127.0.0.1).
  -p <port>          Server port (default: 6379).
  -s <socket>        Server socket (overrides hostname and port).
  -a <password>      Password to use when connecting to the server.
                     You can also use the VORNCLI_AUTH environment
                     variable to pass this password more safely
                     (if both are used, this argument takes precedence).
  --user <username>  Used to send ACL style 'AUTH username pass'. Needs -a.
  --pass <password>  Alias of -a for consistency with the new --user option.
  --askpass          Force user to input password with mask from STDIN.
                     If this argument is used, '-a' and VORNCLI_AUTH
                     environment variable will be ignored.
  -u <uri>           Server URI.
  -r <repeat>        Execute specified command N times.
  -i <interval>      When -r is used, waits <interval> seconds per command.
                     It is possible to specify sub-second times like -i 0.1.
  -n <db>            Database number.
  -3                 Start session in VOSP3 protocol mode.
  -x                 Read last argument from STDIN.
  -d <delimiter>     Delimiter between response bulks for raw formatting (default: \\n).
  -D <delimiter>     Delimiter between responses for raw formatting (default: \\n).
  -c                 Enable cluster mode (follow -ASK and -MOVED redirections).
  -e                 Return exit error code when command execution fails.
  --tls              Establish a secure TLS connection.
  --sni <host>       Server name indication for TLS.
  --cacert <file>    CA Certificate file to verify with.
  --cacertdir <dir>  Directory where trusted CA certificates are stored.
                     If neither cacert nor cacertdir are specified, the default
                     system-wide trusted root certs configuration will apply.
  --insecure         Allow insecure TLS connection by skipping cert validation.
  --cert <file>      Client certificate to authenticate with.
  --key <file>       Private key file to authenticate with.
  --tls-ciphers <list> Sets the list of prefered ciphers (TLSv1.2 and below)
                     in order of preference from highest to lowest separated by colon (":").
                     See the ciphers(1ssl) manpage for more information about the syntax of this string.
  --tls-ciphersuites <list> Sets the list of prefered ciphersuites (TLSv1.3)
                     in order of preference from highest to lowest separated by colon (":").
                     See the ciphers(1ssl) manpage for more information about the syntax of this string,
                     and specifically for TLSv1.3 ciphersuites.
  --raw              Use raw formatting for replies (default when STDOUT is
                     not a tty).
  --no-raw           Force formatted output even when STDOUT is not a tty.
  --quoted-input     Force input to be handled as quoted strings.
  --csv              Output in CSV format.
  --show-pushes <yn> Whether to print VOSP3 PUSH messages.  Enabled by default when
                     STDOUT is a tty but can be overriden with --show-pushes no.
  --stat             Print rolling stats about server: mem, clients, ...
  --latency          Enter a special mode continuously sampling latency.
                     If you use this mode in an interactive session it runs
                     forever displaying real-time stats. Otherwise if --raw or
                     --csv is specified, or if you redirect the output to a non
                     TTY, it samples the latency for 1 second (you can use
                     -i to change the interval), then produces a single output
                     and exits.
  --latency-history  Like --latency but tracking latency changes over time.
                     Default time interval is 15 sec. Change it using -i.
  --latency-dist     Shows latency as a spectrum, requires xterm 256 colors.
                     Default time interval is 1 sec. Change it using -i.
  --lru-test <keys>  Simulate a cache workload with an 80-20 distribution.
  --replica          Simulate a replica showing commands received from the master.
  --vdb <filename>   Transfer an VDB dump from remote server to local file.
                     Use filename of "-" to write to stdout.
  --pipe             Transfer raw Vorn protocol from stdin to server.
  --pipe-timeout <n> In --pipe mode, abort with error if after sending all data.
                     no reply is received within <n> seconds.
                     Default timeout: 30. Use 0 to wait forever.
  --bigkeys          Sample Vorn keys looking for keys with many elements (complexity).
  --memkeys          Sample Vorn keys looking for keys consuming a lot of memory.
  --memkeys-samples <n> Sample Vorn keys looking for keys consuming a lot of memory.
                     And define number of key elements to sample
  --hotkeys          Sample Vorn keys looking for hot keys.
                     only works when maxmemory-policy is *lfu.
  --scan             List all keys using the SCAN command.
  --pattern <pat>    Keys pattern when using the --scan, --bigkeys or --hotkeys
                     options (default: *).
  --quoted-pattern <pat> Same as --pattern, but the specified string can be
                         quoted, in order to pass an otherwise non binary-safe string.
  --intrinsic-latency <sec> Run a test to measure intrinsic system latency.
                     The test will run for the specified amount of seconds.
  --eval <file>      Send an EVAL command using the Lua script at <file>.
  --ldb              Used with --eval enable the Vorn Lua debugger.
  --ldb-sync-mode    Like --ldb but uses the synchronous Lua debugger, in
                     this mode the server is blocked and script changes are
                     not rolled back from the server memory.
  --cluster <command> [args...] [opts...]
                     Cluster Manager command and arguments (see below).
  --verbose          Verbose mode.
  --no-auth-warning  Don't show warning message when using password on command
                     line interface.
  --force            Ignore validation and safety checks
  --help             Output this help and exit.
  --version          Output version and exit.

Cluster Manager Commands:
  Use --cluster help to list all available cluster manager commands.

Examples:
  cat /etc/passwd | vorn-cli -x set mypasswd
  vorn-cli get mypasswd
  vorn-cli -r 100 lpush mylist x
  vorn-cli -r 100 -i 1 info | grep used_memory_human:
  vorn-cli --quoted-input set '"null-\\x00-separated"' value
  vorn-cli --eval myscript.lua key1 key2 , arg1 arg2 arg3
  vorn-cli --scan --pattern '*:12345*'

  (Note: when using --eval the comma separates KEYS[] from ARGV[] items)

When no command is given, vorn-cli starts in interactive mode.
Type "help" in interactive mode for information on available commands
and settings.

""".encode()

# Options the screen above does not describe follow it in one block.
MORE_OPTIONS = b"""Additional options:
  -t <seconds>       Give up connecting, and any read or write on the connection,
                     after <seconds> (sub-second times like -t 0.5 work too).
                     Default: 0, wait as long as it takes.
  --json             Output every reply as one JSON document on one line.
                     Bytes that are not UTF-8 are written as \\udc80-\\udcff.

"""

UNRECOGNIZED = "Unrecognized option or bad number of args for: '{}'\n"
PASSWORD_WARNING = (b"Warning: Using a password with '-a' or '-u' option on the command "
                    b"line interface may not be safe.\n")
WRONG_ARITY = b"[ERR] Wrong number of arguments for specified --cluster sub command\n"
UNKNOWN_CLUSTER = b"Unknown --cluster subcommand\n"


@pytest.mark.parametrize("args", [
    ["--help"],
    ["-h"],                                   # -h without a host
    ["--cluster"],                            # --cluster without a name
    ["-p", "1", "--help", "get", "k"],
    ["--cluster", "check", "h:1", "--cluster", "info"],
])
def test_help_screen(args):
    r = run_cli(args)
    assert r.stderr[:len(HELP)] == HELP
    assert r.stderr[len(HELP):] == MORE_OPTIONS
    assert r.stdout == b""
    assert r.returncode == 1


@pytest.mark.parametrize("args", [["--version"], ["-v"], ["-p", "1", "-v", "get", "k"]])
def test_version(args):
    r = run_cli(args)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"vorn-cli 255.255.255\n", b"")


@pytest.mark.parametrize("args,bad", [
    (["--", "get", "k"], "--"),
    (["--bogus"], "--bogus"),
    (["-xc", "get"], "-xc"),                  # no combined short options
    (["--port=7000", "get"], "--port=7000"),
    (["-p"], "-p"),                           # value options in last position
    (["-n", "1", "--memkeys-samples"], "--memkeys-samples"),
    (["--cluster-weight"], "--cluster-weight"),
    (["--cluster", "check", "h:1", "-Z"], "-Z"),
])
def test_unrecognized_option(args, bad):
    r = run_cli(args)
    assert r.stderr == UNRECOGNIZED.format(bad).encode()
    assert r.stdout == b""
    assert r.returncode == 1


@pytest.mark.parametrize("args", [["-c", "-s", "/tmp/none.sock", "ping"],
                                  ["-s", "/tmp/none.sock", "-c", "ping"]])
def test_cluster_mode_and_socket_conflict(args):
    r = run_cli(args)
    assert r.stderr == b"Options -c and -s are mutually exclusive.\n"
    assert r.returncode == 1


@pytest.mark.parametrize("option", ["--ldb", "--ldb-sync-mode"])
def test_ldb_requires_eval(option):
    r = run_cli([option, "get", "k"])
    argv0 = bin_path("vorn-cli")
    assert r.stderr == (b"Options --ldb and --ldb-sync-mode require --eval.\n"
                        b"Try " + argv0.encode() + b" --help for more information.\n")
    assert r.returncode == 1


# Each run ends at the unknown cluster sub-command, after the warning step.
@pytest.mark.parametrize("args,env,warned", [
    (["-a", "pw"], None, True),
    (["--pass", "pw"], None, True),
    (["-u", "vorn://user:pw@h:1"], None, True),
    (["-u", "vorn://h:1/2"], None, False),
    (["-a", "pw", "--no-auth-warning"], None, False),
    (["--no-auth-warning", "-a", "pw"], None, False),
    ([], {"VORNCLI_AUTH": "pw"}, False),
    (["-a", "pw"], {"VORNCLI_AUTH": "other"}, True),
])
def test_password_warning(args, env, warned):
    r = run_cli(args + ["--cluster", "nosuch"], extra_env=env)
    assert r.stderr == (PASSWORD_WARNING if warned else b"") + UNKNOWN_CLUSTER
    assert r.returncode == 1


def test_show_pushes_unknown_value_only_warns():
    r = run_cli(["--show-pushes", "maybe", "--cluster", "nosuch"])
    assert r.stderr == (b"Unknown --show-pushes value 'maybe' (valid: '[y]es', '[n]o')\n"
                        + UNKNOWN_CLUSTER)
    assert r.returncode == 1


@pytest.mark.parametrize("args,message", [
    (["--cluster", "info"], WRONG_ARITY),
    (["--cluster", "check"], WRONG_ARITY),
    (["--cluster", "create", "a:1"], WRONG_ARITY),
    (["--cluster", "add-node", "a:1"], WRONG_ARITY),
    (["--cluster", "add-node", "a:1", "b:2", "c:3"], WRONG_ARITY),
    (["--cluster", "del-node", "a:1"], WRONG_ARITY),
    (["--cluster", "call", "a:1"], WRONG_ARITY),
    (["--cluster", "set-timeout", "a:1"], WRONG_ARITY),
    (["--cluster", "import"], WRONG_ARITY),
    (["--cluster", "import", "a:1", "b:2"], WRONG_ARITY),
    (["--cluster", "backup", "a:1"], WRONG_ARITY),
    # Arguments gathered after cluster options count too.
    (["--cluster", "add-node", "--cluster-slave", "a:1"], WRONG_ARITY),
    (["--cluster", "nosuch", "a:1"], UNKNOWN_CLUSTER),
    (["--cluster", "CREATE", "a:1", "b:2"], UNKNOWN_CLUSTER),   # names are case-sensitive
    (["--cluster", "", "a:1"], UNKNOWN_CLUSTER),
])
def test_cluster_argument_checks(args, message):
    r = run_cli(args)
    assert r.stderr == message
    assert r.stdout == b""
    assert r.returncode == 1


# Addresses on the loopback with ports nothing listens on: once the
# sub-commands run, they fail fast at connecting.
@pytest.mark.parametrize("args", [
    ["--cluster", "help"],
    ["--cluster", "help", "x", "y", "z"],
    ["--cluster", "info", "127.0.0.1:1"],
    ["--cluster", "info", "127.0.0.1", "1"],
    ["--cluster", "create", "127.0.0.1:1", "127.0.0.1:2", "127.0.0.1:3"],
    ["--cluster", "add-node", "--cluster-slave", "127.0.0.1:1", "127.0.0.1:2"],
    ["--cluster", "import", "127.0.0.1:1", "--cluster-from", "127.0.0.1:2"],
])
def test_cluster_argument_counts_that_pass(args):
    r = run_cli(args, timeout=20)
    assert WRONG_ARITY not in r.stderr
    assert UNKNOWN_CLUSTER not in r.stderr


def test_cluster_weight_twice():
    r = run_cli(["--cluster", "rebalance", "h:1", "--cluster-weight", "a=1",
                 "--cluster-weight", "b=2"])
    assert r.stderr == (b"WARNING: you cannot use --cluster-weight more than once.\n"
                        b"You can set more weights by adding them as a space-separated "
                        b"list, ie:\n--cluster-weight n1=w n2=w\n")
    assert r.returncode == 1


@pytest.mark.parametrize("pattern", ['"open', "two words", "'a'b", ""])
def test_invalid_quoted_pattern(pattern):
    r = run_cli(["--quoted-pattern", pattern, "--scan"])
    assert r.stderr == b"Invalid quoted string specified for --quoted-pattern.\n"
    assert r.returncode == 1


@pytest.mark.parametrize("uri,message", [
    ("http://h:1", b"Invalid URI scheme\n"),
    ("vorn:/h", b"Invalid URI scheme\n"),
    ("h:6379", b"Invalid URI scheme\n"),
    ("vorn://%4@h", b"Incomplete URI encoding\n"),
    ("vorn://user%4:pw@h", b"Incomplete URI encoding\n"),
    ("vorn://pw%@h", b"Incomplete URI encoding\n"),
    ("vorn://%g1@h", b"Illegal character in URI encoding\n"),
    ("vorns://u:%4x@h", b"Illegal character in URI encoding\n"),
])
def test_invalid_uri(uri, message):
    r = run_cli(["-u", uri, "ping"])
    assert r.stderr == message
    assert r.returncode == 1


@pytest.mark.parametrize("typed", [b"typed\n", b""])
def test_askpass_reads_standard_input_without_echo(typed):
    # The prompt reads a line when one is there and tolerates end of input;
    # the typed password never shows on either stream.
    r = run_cli(["--askpass", "--cluster-from-askpass", "--cluster", "nosuch"], input=typed)
    assert r.stderr == UNKNOWN_CLUSTER
    assert b"typed" not in r.stdout
    assert r.returncode == 1


@pytest.mark.parametrize("words", [['set', '"a b', 'v'], ['"k"x', 'v'], ['get', "'open"]])
def test_quoted_input_rejects_unterminated_words(server, words):
    r = run_cli(["-p", str(server.port), "--quoted-input"] + words)
    assert r.stdout == b"Invalid quoted string\n"
    assert r.returncode == 1
