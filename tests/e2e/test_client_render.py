"""vorn-cli prints every reply type, served byte for byte by vorn-devserver,
in the standard (terminal), raw and CSV forms, and shows or hides pushes."""
import pytest

from conftest import hook, run_cli

TTY = {"FAKETTY": "1"}


def get_as(server, wire, *opts, env=None):
    """Serves `wire` as the reply of the next GET and runs `vorn-cli GET k`."""
    hook(server, "REPLY", "GET", 1, wire)
    return run_cli(["-p", str(server.port), *opts, "get", "k"], extra_env=env)


def numbered(n, last_nested):
    wire = b"*%d\r\n" % n + b"".join(b":%d\r\n" % i for i in range(1, n))
    wire += b"*2\r\n$1\r\nx\r\n$1\r\ny\r\n" if last_nested else b":%d\r\n" % n
    return wire


def numbered_tty(n):
    w = len(str(n))
    lines = [f"{i:>{w}}) (integer) {i}\n" for i in range(1, n)]
    lines.append(f"{n}) 1) \"x\"\n" + " " * (w + 2) + "2) \"y\"\n")
    return "".join(lines).encode()


CASES = [
    # what, wire bytes, standard form, raw form, CSV form
    ("status", b"+OK\r\n", b"OK\n", b"OK\n", b'"OK"\n'),
    ("error", b"-ERR no such thing\r\n", b"(error) ERR no such thing\n",
     b"ERR no such thing\n\n", b'ERROR,"ERR no such thing"\n'),
    ("integer", b":-7\r\n", b"(integer) -7\n", b"-7\n", b"-7\n"),
    ("string with quote, newline and zero byte", b'$7\r\na"b\nc\x00d\r\n',
     b'"a\\"b\\nc\\x00d"\n', b'a"b\nc\x00d\n', b'"a\\"b\\nc\\x00d"\n'),
    ("nil", b"$-1\r\n", b"(nil)\n", b"\n", b"NULL\n"),
    ("VOSP3 nil", b"_\r\n", b"(nil)\n", b"\n", b"NULL\n"),
    ("double", b",3.14\r\n", b"(double) 3.14\n", b"3.14\n", b"3.14\n"),
    ("true", b"#t\r\n", b"(true)\n", b"(true)\n", b"true\n"),
    ("false", b"#f\r\n", b"(false)\n", b"(false)\n", b"false\n"),
    ("verbatim", b"=9\r\ntxt:a b\nc\r\n", b"a b\nc\n", b"a b\nc\n", b'"a b\\nc"\n'),
    ("empty array", b"*0\r\n", b"(empty array)\n", b"\n", b"\n"),
    ("empty map", b"%0\r\n", b"(empty hash)\n", b"\n", b"\n"),
    ("empty set", b"~0\r\n", b"(empty set)\n", b"\n", b"\n"),
    ("nested", b"*2\r\n$1\r\na\r\n*2\r\n$1\r\nb\r\n*0\r\n",
     b'1) "a"\n2) 1) "b"\n   2) (empty array)\n', b"a\nb\n\n", b'"a","b",\n'),
    ("map counted by pairs", b"%3\r\n$1\r\na\r\n:1\r\n$1\r\nb\r\n#f\r\n$1\r\nc\r\n,2.5\r\n",
     b'1# "a" => (integer) 1\n2# "b" => (false)\n3# "c" => (double) 2.5\n',
     b"a 1\nb (false)\nc 2.5\n", b'"a",1,"b",false,"c",2.5\n'),
    ("set", b"~2\r\n$1\r\nx\r\n:2\r\n", b'1~ "x"\n2~ (integer) 2\n', b"x\n2\n", b'"x",2\n'),
    ("ten elements", numbered(10, True), numbered_tty(10),
     b"".join(b"%d\n" % i for i in range(1, 10)) + b"x\ny\n",
     b",".join(b"%d" % i for i in range(1, 10)) + b',"x","y"\n'),
    ("hundred elements", numbered(100, True), numbered_tty(100),
     b"".join(b"%d\n" % i for i in range(1, 100)) + b"x\ny\n",
     b",".join(b"%d" % i for i in range(1, 100)) + b',"x","y"\n'),
]


@pytest.mark.parametrize("what,wire,tty,raw,csv", CASES, ids=[c[0] for c in CASES])
def test_reply_forms(server, what, wire, tty, raw, csv):
    for opts, env, expect in (((), TTY, tty), ((), None, raw), (("--csv",), None, csv)):
        r = get_as(server, wire, *opts, env=env)
        assert (r.stdout, r.stderr, r.returncode) == (expect, b"", 0), (opts, env)


def test_raw_delimiters_and_forced_forms(server):
    abc = b"*3\r\n$1\r\na\r\n$1\r\nb\r\n$1\r\nc\r\n"
    assert get_as(server, abc, "-d", ",").stdout == b"a,b,c\n"
    assert get_as(server, abc, "-d", ",", "-D", "|").stdout == b"a,b,c|"
    # --raw wins over a terminal, --no-raw gives the standard form on a pipe.
    assert get_as(server, abc, "--raw", env=TTY).stdout == b"a\nb\nc\n"
    assert get_as(server, abc, "--no-raw").stdout == b'1) "a"\n2) "b"\n3) "c"\n'


def test_malformed_reply_fails_cleanly(server):
    r = get_as(server, b"(12\r\n")  # a big number: rejected by the reader
    assert r.returncode == 1 and r.stdout == b""
    assert r.stderr.startswith(b"Error: Protocol error")


PUSH = b">2\r\n$10\r\ninvalidate\r\n*2\r\n$1\r\na\r\n$1\r\nb\r\n"


@pytest.mark.parametrize("opts,env,expect", [
    ((), TTY, b"-> invalidate: 'a', 'b'\nPONG\n"),
    ((), None, b"PONG\n"),  # hidden on a pipe
    (("--show-pushes", "yes"), None, b"invalidate\na\nb\nPONG\n"),
    (("--show-pushes", "no"), TTY, b"PONG\n"),
    (("--csv", "--show-pushes", "yes"), None, b'"invalidate","a","b"\n"PONG"\n'),
])
def test_pushes_shown_and_hidden(server, opts, env, expect):
    hook(server, "PREFIX", "PING", 1, PUSH)
    r = run_cli(["-p", str(server.port), "-3", *opts, "ping"], extra_env=env)
    assert (r.stdout, r.returncode) == (expect, 0)


def test_other_pushes_use_the_numbered_form(server):
    hook(server, "PREFIX", "PING", 1, b">3\r\n$7\r\nmessage\r\n$1\r\nc\r\n$2\r\nhi\r\n")
    r = run_cli(["-p", str(server.port), "ping"], extra_env=TTY)
    assert r.stdout == b'1) "message"\n2) "c"\n3) "hi"\nPONG\n'
