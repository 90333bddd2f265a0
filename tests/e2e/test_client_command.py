"""vorn-cli running one command: repetition, standard input, exit statuses,
authentication and database selection, cluster redirections, raw-text
commands, SHUTDOWN and the streaming commands."""
import subprocess
import time

import pytest

from conftest import SLOW, RawConn, bin_path, free_port, history, hook, run_cli

TTY = {"FAKETTY": "1"}


def cli(server, *args, **kw):
    return run_cli(["-p", str(server.port), *args], **kw)


def test_repeat_counts(server):
    r = cli(server, "-r", "3", "incr", "c")
    assert (r.stdout, r.returncode) == (b"1\n2\n3\n", 0)
    hook(server, "HISTORY", "CLEAR")
    r = cli(server, "-r", "0", "incr", "c")
    assert (r.stdout, r.stderr, r.returncode) == (b"", b"", 0)
    assert not any("incr" in h for h in history(server))


def test_interval_sleeps_after_every_pass(server):
    start = time.monotonic()
    r = cli(server, "-r", "3", "-i", "0.3", "ping")
    elapsed = time.monotonic() - start
    assert r.stdout == b"PONG\nPONG\nPONG\n"
    assert 0.9 <= elapsed < 0.9 + 3 * SLOW


def test_forever_with_interval(server):
    p = subprocess.Popen([bin_path("vorn-cli"), "-p", str(server.port), "-r", "-1", "-i", "0.1",
                          "incr", "n"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    try:
        lines = [p.stdout.readline() for _ in range(3)]
        assert lines == [b"1\n", b"2\n", b"3\n"]
    finally:
        p.kill()
        p.wait(timeout=5)


def test_last_argument_from_stdin(server):
    assert cli(server, "-x", "set", "k", input=b"a\x00b\nc").stdout == b"OK\n"
    assert cli(server, "get", "k").stdout == b"a\x00b\nc\n"


def test_quoted_input(server):
    assert cli(server, "--quoted-input", "set", '"a b\\x00"', "v").stdout == b"OK\n"
    assert cli(server, "--quoted-input", "get", '"a b\\x00"').stdout == b"v\n"
    r = cli(server, "--quoted-input", "get", '"open')
    assert (r.stdout, r.returncode) == (b"Invalid quoted string\n", 1)


@pytest.mark.parametrize("opts,env,out,err,status", [
    ((), TTY, b"(error) ERR nope\n", b"", 0),
    ((), None, b"ERR nope\n\n", b"", 0),
    (("-e",), None, b"", b"ERR nope\n", 1),
    (("-e",), TTY, b"", b"ERR nope\n", 1),
])
def test_error_replies_and_exit_status(server, opts, env, out, err, status):
    hook(server, "FAIL", "GET", 1, "ERR nope")
    r = cli(server, *opts, "get", "k", extra_env=env)
    assert (r.stdout, r.stderr, r.returncode) == (out, err, status)


def test_lost_connection_exits_with_1(server):
    hook(server, "CLOSE", "GET", 1, 0)
    r = cli(server, "get", "k")
    assert r.returncode == 1 and r.stdout == b""
    assert r.stderr.startswith(b"Error: ") and len(r.stderr) > len(b"Error: \n")


@pytest.mark.parametrize("args,sent", [
    (("-a", "secret"), '"AUTH" "secret"'),
    (("--user", "default", "--pass", "secret"), '"AUTH" "default" "secret"'),
])
def test_auth_forms(start_server, args, sent):
    s = start_server("--enable-test-hooks", "--password", "secret")
    r = cli(s, "--no-auth-warning", *args, "ping")
    assert (r.stdout, r.stderr, r.returncode) == (b"PONG\n", b"", 0)
    assert history(s)[:2] == [sent, '"ping"']


def test_auth_from_environment_and_user_alone(start_server):
    s = start_server("--enable-test-hooks", "--password", "secret")
    r = cli(s, "ping", extra_env={"VORNCLI_AUTH": "secret"})
    assert (r.stdout, r.stderr) == (b"PONG\n", b"")
    hook(s, "HISTORY", "CLEAR")
    r = cli(s, "--user", "default", "ping")  # a user alone sends no AUTH
    assert not any("AUTH" in h for h in history(s))
    assert r.stdout.startswith(b"NOAUTH")


def test_wrong_password(start_server):
    s = start_server("--password", "secret")
    r = cli(s, "-a", "bad", "--no-auth-warning", "ping")
    assert r.returncode == 1 and r.stdout == b""
    assert r.stderr == (b"AUTH failed: WRONGPASS invalid username-password pair or user is "
                        b"disabled.\n")


def test_select_only_when_asked(server):
    cli(server, "-n", "0", "ping")
    assert history(server) == ['"ping"']
    hook(server, "HISTORY", "CLEAR")
    assert cli(server, "-n", "3", "set", "k", "v3").stdout == b"OK\n"
    assert history(server) == ['"SELECT" "3"', '"set" "k" "v3"']
    assert cli(server, "-n", "3", "get", "k").stdout == b"v3\n"
    assert cli(server, "get", "k").stdout == b"\n"


def test_select_failure(server):
    r = cli(server, "-n", "99", "ping")
    assert r.returncode == 1 and r.stdout == b""
    assert r.stderr.startswith(b"SELECT 99 failed: ERR")


def test_hello_3(server):
    cli(server, "hset", "h", "f", "v")
    r = cli(server, "-3", "hgetall", "h", extra_env=TTY)
    assert r.stdout == b'1# "f" => "v"\n'
    assert '"HELLO" "3"' in history(server)
    hook(server, "FAIL", "HELLO 3", 1, "NOPROTO unsupported protocol version")
    r = cli(server, "-3", "ping")
    assert (r.stdout, r.returncode) == (b"", 1)
    assert r.stderr == b"HELLO 3 failed: NOPROTO unsupported protocol version\n"


def test_connection_failure_messages(tmp_path):
    port = free_port()
    r = run_cli(["-p", str(port), "ping"])
    assert (r.stdout, r.returncode) == (b"", 1)
    assert r.stderr == f"Could not connect to Vorn at 127.0.0.1:{port}: Connection refused\n".encode()
    r = run_cli(["-h", "::1", "-p", str(port), "ping"])
    assert r.returncode == 1
    assert r.stderr.startswith(f"Could not connect to Vorn at ::1:{port}: ".encode())
    path = str(tmp_path / "none.sock")
    r = run_cli(["-s", path, "ping"])
    assert r.returncode == 1
    assert r.stderr == f"Could not connect to Vorn at {path}: No such file or directory\n".encode()


def test_unix_socket(start_server, tmp_path):
    s = start_server("--unix-socket", str(tmp_path / "v.sock"))
    assert run_cli(["-s", s.unix_socket, "ping"]).stdout == b"PONG\n"


def test_uri_connects_where_it_says(start_server):
    s = start_server("--enable-test-hooks", "--user", "alice:pw")
    r = run_cli(["-u", f"vorn://alice:pw@127.0.0.1:{s.port}/2", "--no-auth-warning",
                 "set", "k", "v"])
    assert (r.stdout, r.stderr, r.returncode) == (b"OK\n", b"", 0)
    assert history(s) == ['"AUTH" "alice" "pw"', '"SELECT" "2"', '"set" "k" "v"']


def test_moved_resends_to_the_named_node(start_server):
    a = start_server("--enable-test-hooks")
    b = start_server("--enable-test-hooks")
    cli(b, "set", "k", "on-b")
    hook(a, "REPLY", "GET", 1, f"-MOVED 3999 127.0.0.1:{b.port}\r\n")
    r = cli(a, "-c", "get", "k")
    assert (r.stdout, r.stderr, r.returncode) == (b"on-b\n", b"", 0)
    # Without -c the redirection is an ordinary error.
    hook(a, "REPLY", "GET", 1, f"-MOVED 3999 127.0.0.1:{b.port}\r\n")
    assert cli(a, "get", "k").stdout == f"MOVED 3999 127.0.0.1:{b.port}\n\n".encode()


def test_ask_sends_asking_first(start_server):
    a = start_server("--enable-test-hooks")
    b = start_server("--enable-test-hooks")
    hook(a, "REPLY", "GET", 1, f"-ASK 12 127.0.0.1:{b.port}\r\n")
    r = cli(a, "-c", "get", "k")
    assert (r.stdout, r.returncode) == (b"\n", 0)
    assert history(b) == ['"ASKING"', '"get" "k"']


def test_redirection_resends_the_full_repeat_count(start_server):
    a = start_server("--enable-test-hooks")
    b = start_server("--enable-test-hooks")
    hook(a, "REPLY", "INCR", 1, f"-MOVED 1 127.0.0.1:{b.port}\r\n")
    r = cli(a, "-c", "-r", "5", "incr", "n")
    assert r.stdout == b"1\n2\n3\n4\n5\n"
    assert [h for h in history(a) if "incr" in h] == ['"incr" "n"']


def test_redirection_to_a_dead_node_fails_with_255(server):
    port = free_port()
    hook(server, "REPLY", "GET", 1, f"-MOVED 1 127.0.0.1:{port}\r\n")
    r = cli(server, "-c", "get", "k")
    assert r.returncode == 255
    assert r.stderr == f"Could not connect to Vorn at 127.0.0.1:{port}: Connection refused\n".encode()


def test_malformed_redirection_is_shown_as_an_error(server):
    hook(server, "REPLY", "GET", 1, "-MOVED 3999\r\n")
    r = cli(server, "-c", "get", "k", extra_env=TTY)
    assert (r.stdout, r.returncode) == (b"(error) MOVED 3999\n", 0)


@pytest.mark.parametrize("words,raw", [
    (("info",), True),
    (("client", "list"), True),
    (("latency", "doctor"), True),
    (("latency", "doctor", "x"), False),
])
def test_raw_text_commands(server, words, raw):
    hook(server, "REPLY", words[0], 1, "$9\r\nline1\r\nl2\r\n")
    r = cli(server, *words, extra_env=TTY)
    assert r.stdout == (b"line1\r\nl2" if raw else b'"line1\\r\\nl2"\n')


def test_shutdown_succeeds(start_server):
    s = start_server()
    r = cli(s, "shutdown")
    assert (r.stdout, r.stderr, r.returncode) == (b"", b"", 0)
    assert s.proc.wait(timeout=5 * SLOW) == 0


def stream(server, *args, env=None):
    e = {"HOME": "/nonexistent", "PATH": "/usr/bin:/bin"}
    e.update(env or {})
    return subprocess.Popen([bin_path("vorn-cli"), "-p", str(server.port), *args],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=e)


def read_until(p, marker, limit=20):
    out = b""
    for _ in range(limit):
        line = p.stdout.readline()
        out += line
        if not line or marker in line:
            break
    return out


def test_monitor_streams(server):
    p = stream(server, "monitor")
    try:
        assert p.stdout.readline() == b"OK\n"
        RawConn(port=server.port).cmd("SET", "mk", "mv")
        assert b'"SET" "mk" "mv"' in read_until(p, b'"mk"')
    finally:
        p.kill()
        p.wait(timeout=5)


def test_subscribe_streams(server):
    p = stream(server, "subscribe", "ch", env=TTY)
    try:
        first = b"".join(p.stdout.readline() for _ in range(4))
        assert first == (b"Reading messages... (press Ctrl-C to quit)\n"
                         b'1) "subscribe"\n2) "ch"\n3) (integer) 1\n')
        deadline = time.time() + 5 * SLOW
        while RawConn(port=server.port).cmd("PUBLISH", "ch", "hello") == 0:
            assert time.time() < deadline
            time.sleep(0.05)
        assert b"".join(p.stdout.readline() for _ in range(3)) == (
            b'1) "message"\n2) "ch"\n3) "hello"\n')
    finally:
        p.kill()
        p.wait(timeout=5)


def test_subscribe_leaves_on_an_error(server):
    hook(server, "FAIL", "SUBSCRIBE", 1, "ERR no subscriptions")
    r = cli(server, "subscribe", "ch")
    assert (r.stdout, r.returncode) == (b"ERR no subscriptions\n\n", 0)
