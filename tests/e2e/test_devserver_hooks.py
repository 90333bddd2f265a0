"""vorn-devserver test hooks (DEVHOOK): scripted replies, failures, pushes,
delays, cut connections, INFO overrides and the command history."""
import time

import pytest

from conftest import SLOW, Err, Push, RawConn


@pytest.mark.parametrize("data", [
    b"-MOVED 3999 127.0.0.1:7001\r\n",
    b"-ASK 12 [::1]:7002\r\n",
    b"%1\r\n+a\r\n:1\r\n",
    b",3.14\r\n",
    b"=15\r\ntxt:Some string\r\n",
    b"!garbage that no reader accepts\r\n",
    b"+first\r\n+second\r\n",
])
def test_reply_hook_sends_bytes_verbatim_to_any_client(server, connect, data):
    admin, c = connect(), connect()
    assert admin.cmd("DEVHOOK", "REPLY", "GET", "1", data) == "OK"
    c.send("GET", "k")
    assert c.read_all() == data
    c.send("GET", "k")
    assert c.read_all() == b"$-1\r\n"  # used up


def test_replyhex_and_counts(connect):
    c = connect()
    assert c.cmd("DEVHOOK", "REPLYHEX", "ping", "2", "2b 68 69 0d 0a") == "OK"
    assert c.cmd("PING") == "hi" and c.cmd("PING") == "hi" and c.cmd("PING") == "PONG"
    c.cmd("DEVHOOK", "REPLY", "*", "0", "+any\r\n")  # until reset
    assert [c.cmd("ECHO", "x"), c.cmd("SET", "a", "b"), c.cmd("GET", "a")] == ["any"] * 3
    assert c.cmd("DEVHOOK", "RESET") == "OK"
    assert c.cmd("GET", "a") is None  # the SET never ran
    assert c.cmd("DEVHOOK", "REPLYHEX", "ping", "1", "zz") == "ERR invalid hex bytes"
    assert c.cmd("DEVHOOK", "REPLY", "ping", "-1", "x").startswith("ERR count")
    assert c.cmd("DEVHOOK", "CLOSE", "ping", "1", "-1").startswith("ERR value")
    assert c.cmd("DEVHOOK", "DELAY", "ping", "1", "86400000") == "OK"
    assert c.cmd("DEVHOOK", "DELAY", "ping", "1", "9223372036854775807") == (
        "ERR delay must be at most 86400000 ms")
    assert c.cmd("DEVHOOK", "RESET") == "OK"
    assert c.cmd("DEVHOOK", "BOGUS").startswith("ERR unknown DEVHOOK subcommand")


def test_fail_hook_matches_subcommands(connect):
    c = connect()
    c.cmd("DEVHOOK", "FAIL", "CONFIG REWRITE", "1", "ERR rewrite refused")
    c.cmd("DEVHOOK", "FAIL", "hello", "1", "NOPROTO sorry")
    assert c.cmd("CONFIG", "GET", "hz") == [b"hz", b"10"]  # other subcommand untouched
    assert c.cmd("CONFIG", "REWRITE") == "ERR rewrite refused"
    assert c.cmd("HELLO", "3") == "NOPROTO sorry"
    assert c.cmd("HELLO", "3")[b"proto"] == 3
    c.cmd("DEVHOOK", "FAIL", "SELECT", "1", "ERR no select")
    c.cmd("DEVHOOK", "FAIL", "AUTH", "1", "WRONGPASS nope")
    assert c.cmd("SELECT", "1") == "ERR no select"
    assert c.cmd("AUTH", "x") == "WRONGPASS nope"


def test_prefix_hook_sends_pushes_before_the_reply(connect):
    c = connect()
    c.cmd("HELLO", "3")
    push = b">2\r\n$10\r\ninvalidate\r\n*1\r\n$1\r\nk\r\n"
    c.cmd("DEVHOOK", "PREFIX", "GET", "1", push)
    c.cmd("SET", "k", "v")
    c.send("GET", "k")
    assert c.read_reply() == Push([b"invalidate", [b"k"]])
    assert c.read_reply() == b"v"


def test_delay_hook(connect):
    c = connect()
    c.cmd("DEVHOOK", "DELAY", "PING", "1", "300")
    t0 = time.time()
    c.send_raw(RawConn.encode("PING") + RawConn.encode("ECHO", "after"))
    assert c.read_reply() == "PONG"
    assert time.time() - t0 >= 0.3
    assert c.read_reply() == b"after"
    other = connect()
    t0 = time.time()
    assert other.cmd("PING") == "PONG" and time.time() - t0 < 0.25 * SLOW


def test_close_hook_cuts_the_reply(connect):
    c = connect()
    c.cmd("SET", "k", "hello")
    c.cmd("DEVHOOK", "CLOSE", "GET", "1", "5")
    c.send("GET", "k")
    assert c.read_all(wait=1) == b"$5\r\nh"
    assert c.is_closed()
    d = connect()
    d.cmd("DEVHOOK", "CLOSE", "PING", "1", "0")
    d.send("PING")
    assert d.is_closed() and d.buf == b""
    assert connect().cmd("GET", "k") == b"hello"


def test_info_overrides(connect):
    c = connect()
    c.cmd("DEVHOOK", "INFO", "loading", "1")
    c.cmd("DEVHOOK", "INFO", "cluster_enabled", "1")
    c.cmd("DEVHOOK", "INFO", "custom_field", "abc")
    info = c.cmd("INFO")
    assert b"\r\nloading:1\r\n" in info and b"\r\ncluster_enabled:1\r\n" in info
    assert info.endswith(b"custom_field:abc\r\n")
    assert b"\r\nloading:0" not in info
    c.cmd("DEVHOOK", "INFO", "loading")
    assert b"\r\nloading:0\r\n" in c.cmd("INFO", "persistence")


def test_history_and_list(connect):
    c = connect()
    c.cmd("DEVHOOK", "HISTORY", "CLEAR")
    c.cmd("SET", "a b", "1")
    c.cmd("GET", "a b")
    assert c.cmd("DEVHOOK", "HISTORY") == [b'"SET" "a b" "1"', b'"GET" "a b"']
    c.cmd("DEVHOOK", "DELAY", "get", "3", "10")
    assert c.cmd("DEVHOOK", "LIST") == [b'delay "get" 3 10']


def test_hooks_need_the_option(start_server):
    s = start_server()
    c = RawConn(port=s.port)
    assert c.cmd("DEVHOOK", "RESET").startswith("ERR unknown command 'DEVHOOK'")
    assert b"devhook" not in [e[0] for e in c.cmd("COMMAND")]
