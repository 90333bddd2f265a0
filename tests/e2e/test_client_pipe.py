"""vorn-cli --pipe: raw protocol from standard input, replies counted, and
the closing ECHO that proves the last reply came back."""
import subprocess
import time

import pytest

from conftest import SLOW, bin_path, history, hook, run_cli
from fake_primary import scripted_server  # noqa: F401


def enc(*words):
    out = b"*%d\r\n" % len(words)
    for w in words:
        w = w if isinstance(w, bytes) else w.encode()
        out += b"$%d\r\n%s\r\n" % (len(w), w)
    return out


def pipe(port, data, *opts, timeout=20):
    return run_cli(["-p", str(port), "--pipe", *opts], input=data, timeout=timeout)


def test_empty_input_sends_only_the_echo(server):
    hook(server, "HISTORY", "CLEAR")
    r = pipe(server.port, b"")
    assert (r.returncode, r.stdout) == (0, b"errors: 0, replies: 0\n")
    assert r.stderr == (b"All data transferred. Waiting for the last reply...\n"
                        b"Last reply received from server.\n")
    [echo] = history(server)
    assert echo.startswith('"ECHO" "')


def test_commands_and_an_unknown_one(server):
    data = enc("SET", "a", "1") + enc("INCR", "a") + b"NOSUCHCMD x\r\n" + enc("GET", "a")
    r = pipe(server.port, data)
    assert r.returncode == 1
    assert r.stdout == b"errors: 1, replies: 4\n"
    errs = [l for l in r.stderr.split(b"\n") if l.startswith(b"ERR")]
    assert len(errs) == 1 and b"NOSUCHCMD" in errs[0]
    assert run_cli(["-p", str(server.port), "get", "a"]).stdout == b"2\n"


def test_last_line_without_line_end_still_runs(server):
    r = pipe(server.port, b"SET inline yes\r\nSET last one")
    assert (r.returncode, r.stdout) == (0, b"errors: 0, replies: 2\n")
    assert run_cli(["-p", str(server.port), "get", "last"]).stdout == b"one\n"


def test_a_20_byte_reply_that_is_not_the_echo_counts(server):
    v = b"x" * 20
    # Before and inside the last block of input: only the real echo ends it.
    r = pipe(server.port, enc("SET", "k", v) + enc("GET", "k") + enc("ECHO", v))
    assert (r.returncode, r.stdout) == (0, b"errors: 0, replies: 3\n")


def test_many_commands_in_many_blocks(server):
    n = 50000
    data = b"".join(enc("SET", "k%d" % i, "v" * (i % 50)) for i in range(n)) + enc("DBSIZE")
    r = pipe(server.port, data, timeout=60)
    assert (r.returncode, r.stdout) == (0, b"errors: 0, replies: %d\n" % (n + 1))
    assert run_cli(["-p", str(server.port), "dbsize"]).stdout == b"%d\n" % n


@pytest.fixture
def silent(scripted_server):
    """Factory: a server that reads every request and, unless told
    otherwise, answers none."""
    return lambda answer=lambda words: b"": scripted_server(answer)


def test_no_replies_times_out(silent):
    p = silent()
    t0 = time.monotonic()
    r = pipe(p.port, enc("PING"), "--pipe-timeout", "1")
    elapsed = time.monotonic() - t0
    assert r.returncode == 1
    assert r.stderr.endswith(b"No replies for 1 seconds: exiting.\n")
    assert r.stdout == b"errors: 1, replies: 0\n"
    assert 1.0 <= elapsed <= 3.0 + 3 * SLOW


def test_timeout_0_waits_for_ever(silent):
    p = silent()
    proc = subprocess.Popen([bin_path("vorn-cli"), "-p", str(p.port), "--pipe", "--pipe-timeout",
                             "0"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        with pytest.raises(subprocess.TimeoutExpired):
            proc.wait(timeout=3)
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()


def test_server_closing_mid_stream(silent):
    # Two replies, one of them an error, then the server goes away.
    answers = iter([b"+OK\r\n", [b"-ERR first\r\n", "close"]])
    p = silent(lambda words: next(answers, b""))
    r = pipe(p.port, enc("SET", "a", "b") + enc("SET", "c", "d") + enc("SET", "e", "f"))
    assert r.returncode == 1
    assert b"ERR first\n" in r.stderr
    assert b"Server I/O Error: " in r.stderr
    assert b"errors:" not in r.stdout


def test_unparsable_replies(silent):
    p = silent(lambda words: b"?what\r\n")
    r = pipe(p.port, enc("PING"))
    assert r.returncode == 1
    assert r.stderr.endswith(b"Error reading replies from server\n")
