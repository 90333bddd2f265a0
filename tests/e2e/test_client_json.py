"""--json: every reply type of both protocol versions, served byte for byte
by vorn-devserver, comes out as one JSON document per line that Python's json
module reads back to the value the server sent (binary strings included)."""
import json
import subprocess
import time

import pytest

from conftest import bin_path, hook, run_cli, RawConn
from test_shell import Shell


def undo_escape(s):
    """The documented reverse of the byte escape: U+DC80..U+DCFF are bytes."""
    return s.encode("utf-8", "surrogateescape")


def served(server, wire, *opts, proto=()):
    """Serves `wire` as the reply of the next GET; returns vorn-cli's result."""
    hook(server, "REPLY", "GET", 1, wire)
    return run_cli(["-p", str(server.port), *proto, *opts, "--json", "get", "k"])


BINARY = bytes(range(256))

CASES = [
    # what, wire bytes, the value json.loads must give
    ("status", b"+OK\r\n", "OK"),
    ("error", b"-ERR no such thing\r\n", {"error": "ERR no such thing"}),
    ("integer", b":-7\r\n", -7),
    ("big integer", b":9223372036854775807\r\n", 9223372036854775807),
    ("string with quote, backslash, controls", b'$10\r\na"b\\\n\t\x00\x1f\x7fz\r\n',
     'a"b\\\n\t\x00\x1f\x7fz'),
    ("utf-8 string", "$%d\r\n%s\r\n" % (len("żółw ✓ 𝄞".encode()), "żółw ✓ 𝄞"), "żółw ✓ 𝄞"),
    ("nil", b"$-1\r\n", None),
    ("nil array", b"*-1\r\n", None),
    ("VOSP3 nil", b"_\r\n", None),
    ("double", b",3.14\r\n", 3.14),
    ("double with exponent", b",1.5e-7\r\n", 1.5e-7),
    ("double not in JSON's spelling", b",.5\r\n", 0.5),
    ("infinity", b",inf\r\n", "inf"),
    ("minus infinity", b",-inf\r\n", "-inf"),
    ("true", b"#t\r\n", True),
    ("false", b"#f\r\n", False),
    ("verbatim", b"=9\r\ntxt:a b\nc\r\n", "a b\nc"),
    ("empty array", b"*0\r\n", []),
    ("empty map", b"%0\r\n", {}),
    ("empty set", b"~0\r\n", []),
    ("nested", b"*3\r\n$1\r\na\r\n*2\r\n:1\r\n*0\r\n-ERR inner\r\n",
     ["a", [1, []], {"error": "ERR inner"}]),
    ("map with keys of every scalar type",
     b"%6\r\n$1\r\na\r\n:1\r\n:2\r\n#f\r\n,2.5\r\n_\r\n_\r\n+s\r\n#t\r\n$0\r\n\r\n+st\r\n~1\r\n:3\r\n",
     {"a": 1, "2": False, "2.5": None, "null": "s", "true": "", "st": [3]}),
    ("map with an aggregate key", b"%1\r\n*2\r\n:1\r\n$1\r\n\"\r\n:9\r\n", {'[1, "\\""]': 9}),
    ("set", b"~2\r\n$1\r\nx\r\n:2\r\n", ["x", 2]),
]


@pytest.mark.parametrize("proto", [(), ("-3",)], ids=["VOSP2", "VOSP3"])
@pytest.mark.parametrize("what,wire,value", CASES, ids=[c[0] for c in CASES])
def test_every_reply_type_is_one_json_document(server, proto, what, wire, value):
    if isinstance(wire, str):
        wire = wire.encode()
    r = served(server, wire, proto=proto)
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith(b"\n") and r.stdout.count(b"\n") == 1, r.stdout
    got = json.loads(r.stdout)
    assert got == value and type(got) is type(value)


@pytest.mark.parametrize("payload", [
    BINARY,
    b"\xff\xfe ok \xc3\xa9 \xc3",              # invalid bytes around a valid letter
    b"\xed\xa0\x80",                             # an encoded surrogate is not UTF-8
    b"\xc0\xaf \xe0\x80\xaf \xf4\x90\x80\x80",   # overlong forms, above U+10FFFF
    "\udcff".encode("utf-8", "surrogatepass"),   # the escape's own range, as bytes
])
def test_binary_strings_round_trip(server, payload):
    wire = b"$%d\r\n%s\r\n" % (len(payload), payload)
    r = served(server, wire)
    doc = json.loads(r.stdout)
    assert undo_escape(doc) == payload
    # Valid UTF-8 is written as it is; only the stray bytes are escaped.
    if payload == BINARY:
        assert b"\\udc80" in r.stdout and b"\\u007f" in r.stdout


def test_binary_keys_of_a_map_round_trip(server):
    wire = b"%1\r\n$2\r\n\xff\x00\r\n$2\r\n\xc3\xa9\r\n"
    doc = json.loads(served(server, wire).stdout)
    assert {undo_escape(k): v for k, v in doc.items()} == {b"\xff\x00": "é"}


def test_deep_nesting_does_not_exhaust_the_stack(server):
    depth = 100000
    r = served(server, b"*1\r\n" * depth + b":1\r\n")
    assert r.returncode == 0
    assert r.stdout == b"[" * depth + b"1" + b"]" * depth + b"\n"


def test_error_with_e_keeps_status_and_still_prints_the_document(server):
    hook(server, "REPLY", "GET", 1, b"-ERR boom\r\n")
    r = run_cli(["-p", str(server.port), "--json", "-e", "get", "k"])
    assert r.returncode == 1
    assert json.loads(r.stdout) == {"error": "ERR boom"}
    assert r.stderr == b"ERR boom\n"
    # Without -e an error reply is output like any other and the status is 0.
    hook(server, "REPLY", "GET", 1, b"-ERR boom\r\n")
    r = run_cli(["-p", str(server.port), "--json", "get", "k"])
    assert (r.returncode, json.loads(r.stdout)) == (0, {"error": "ERR boom"})


@pytest.mark.parametrize("opts,form", [
    (["--json", "--raw"], b"OK\n"),
    (["--json", "--csv"], b'"OK"\n'),
    (["--csv", "--json"], b'"OK"\n'),
    (["--raw", "--json"], b'"OK"\n'),
    (["--no-raw", "--json"], b'"OK"\n'),
    (["--json", "--no-raw"], b"OK\n"),
])
def test_last_output_option_wins(server, opts, form):
    hook(server, "REPLY", "GET", 1, b"+OK\r\n")
    r = run_cli(["-p", str(server.port), *opts, "get", "k"])
    assert r.stdout == form


def test_repeat_info_and_pushes_each_give_a_document(server):
    # INFO is otherwise printed as it is; -r gives one document per reply,
    # and a push arriving before a reply is a document of its own.
    r = run_cli(["-p", str(server.port), "--json", "-r", "2", "info", "server"])
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and all("# Server" in json.loads(l) for l in lines)
    hook(server, "PREFIX", "GET", 1, b">2\r\n$4\r\nnote\r\n:5\r\n")
    r = run_cli(["-p", str(server.port), "-3", "--show-pushes", "y", "--json", "get", "nokey"])
    assert [json.loads(l) for l in r.stdout.splitlines()] == [["note", 5], None]


def test_subscribe_stream_is_json_only(server):
    # A subscription never ends on its own: read two documents, then stop it.
    c = RawConn(port=server.port)
    p = subprocess.Popen([bin_path("vorn-cli"), "-p", str(server.port), "--json",
                          "subscribe", "ch"], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        first = p.stdout.readline()
        assert json.loads(first) == ["subscribe", "ch", 1]
        deadline = time.time() + 10
        while c.cmd("PUBLISH", "ch", "hi\xff".encode("latin-1")) == 0 and time.time() < deadline:
            time.sleep(0.05)
        assert undo_escape(json.loads(p.stdout.readline())[2]) == b"hi\xff"
    finally:
        p.kill()
        p.wait(timeout=10)
        p.stdout.close()
        p.stderr.close()


def test_interactive_shell_prints_json(server, tmp_path):
    sh = Shell(tmp_path, ["-p", str(server.port), "-3", "--json"])
    try:
        sh.expect(f"127.0.0.1:{server.port}> ")
        sh.send("hset h f v")
        sh.expect("\r\n1\r\n")
        sh.send("hgetall h")
        sh.expect('{"f": "v"}\r\n')
        sh.send("get missing")
        sh.expect("null\r\n")
        sh.send("quit")
        assert sh.exit_status() == 0
    finally:
        sh.close()


def test_debugger_session_still_ends_with_json_given_last(server, tmp_path):
    script = tmp_path / "s.lua"
    script.write_text("return 7\n")
    sh = Shell(tmp_path, ["-p", str(server.port), "--ldb", "--json", "--eval", str(script)])
    try:
        sh.expect("lua debugger> ")
        sh.send("c")
        sh.expect("(Lua debugging session ended -- dataset changes rolled back)")
        # The end of a session switches to the standard form, as it does
        # from --raw.
        sh.send("incr n")
        sh.expect("(integer) 1")
        sh.send("quit")
        assert sh.exit_status() == 0
    finally:
        sh.close()
