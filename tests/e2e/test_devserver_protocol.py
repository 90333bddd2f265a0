"""vorn-devserver over raw sockets: request forms, reply encoding in both
protocol versions, error replies, and robustness against malformed input."""
import os
import random
import socket

import pytest

from conftest import Err, RawConn, Status, Verbatim


def test_inline_and_array_requests_mix_on_one_connection(connect):
    c = connect()
    c.send_raw(b'PING\r\nSET "a key" \'v 1\'\r\n\r\n'
               + RawConn.encode("GET", "a key") + b"ECHO \"x\\ty\\x41\"\n")
    assert c.read_reply() == "PONG"
    assert c.read_reply() == "OK"
    assert c.read_reply() == b"v 1"
    assert c.read_reply() == b"x\tyA"


def test_binary_safe_values_and_requests_split_byte_by_byte(connect):
    c = connect()
    value = bytes(range(256)) + b"\r\n$3\r\n"
    req = RawConn.encode("SET", b"k\x00\r\n", value) + RawConn.encode("GET", b"k\x00\r\n")
    for i in range(len(req)):
        c.send_raw(req[i:i + 1])
    assert c.read_reply() == "OK"
    assert c.read_reply() == value


def test_pipelined_requests_answer_in_order(connect):
    c = connect()
    c.send_raw(b"".join(RawConn.encode("INCR", "n") for _ in range(500)))
    assert [c.read_reply() for _ in range(500)] == list(range(1, 501))


@pytest.mark.parametrize("args,error", [
    (["GET"], "ERR wrong number of arguments for 'get' command"),
    (["SET", "k"], "ERR wrong number of arguments for 'set' command"),
    (["ECHO", "a", "b"], "ERR wrong number of arguments for 'echo' command"),
    (["NOSUCH", "x", "y"], "ERR unknown command 'NOSUCH', with args beginning with: 'x' 'y' "),
    (["SELECT", "99"], "ERR DB index is out of range"),
    (["SELECT", "one"], "ERR value is not an integer or out of range"),
    (["INCRBY", "k", "1.5"], "ERR value is not an integer or out of range"),
    (["SET", "k", "v", "EX", "0"], "ERR invalid expire time in 'set' command"),
    (["SET", "k", "v", "NX", "XX"], "ERR syntax error"),
    (["HELLO", "4"], "NOPROTO unsupported protocol version"),
    (["SETRANGE", "k", "9223372036854775807", "x"], "ERR offset is out of range"),
    (["EXPIRE", "k", "9223372036854775807"], "ERR invalid expire time in 'expire' command"),
    (["GETRANGE", "k", "-9223372036854775808", "9223372036854775807"], None),
    (["AUTH", "pw"], None),  # no password configured: an ERR of its own
])
def test_error_replies(connect, args, error):
    c = connect()
    c.cmd("SET", "k", "value")
    r = c.cmd(*args)
    if args[0] == "GETRANGE":  # extreme bounds clamp to the whole value
        assert r == b"value"
    elif error:
        assert isinstance(r, Err) and r == error
    else:
        assert r.startswith("ERR AUTH <password> called without any password configured")


def test_wrong_type_errors(connect):
    c = connect()
    c.cmd("SET", "s", "x")
    c.cmd("RPUSH", "l", "x")
    for args in (["LPUSH", "s", "a"], ["SADD", "l", "a"], ["HGET", "s", "f"], ["GET", "l"],
                 ["ZADD", "s", "1", "m"], ["XADD", "l", "*", "f", "v"], ["INCR", "l"],
                 ["LLEN", "s"], ["SMEMBERS", "s"], ["ZRANGE", "l", "0", "-1"]):
        assert c.cmd(*args) == "WRONGTYPE Operation against a key holding the wrong kind of value"
    assert c.cmd("GET", "s") == b"x"  # unchanged


def test_vosp3_types_and_back_to_vosp2(connect):
    c = connect()
    c.cmd("HSET", "h", "f", "v")
    c.cmd("SADD", "s", "m")
    c.cmd("ZADD", "z", "1.5", "m")
    c.send("HGETALL", "h")
    assert c.read_all() == b"*2\r\n$1\r\nf\r\n$1\r\nv\r\n"
    hello = c.cmd("HELLO", "3")
    assert hello[b"proto"] == 3 and hello[b"server"] == b"vorn"
    wire = {
        ("HGETALL", "h"): b"%1\r\n$1\r\nf\r\n$1\r\nv\r\n",
        ("SMEMBERS", "s"): b"~1\r\n$1\r\nm\r\n",
        ("ZSCORE", "z", "m"): b",1.5\r\n",
        ("GET", "missing"): b"_\r\n",
        ("LPOP", "missing", "2"): b"_\r\n",
        ("INFO", "cluster"): b"=34\r\ntxt:# Cluster\r\ncluster_enabled:0\r\n\r\n",
    }
    for args, expect in wire.items():
        c.send(*args)
        assert c.read_all() == expect, args
    assert c.cmd("HELLO", "2")[::2][:1] == [b"server"]  # a flat array again
    for args, expect in {("GET", "missing"): b"$-1\r\n", ("ZSCORE", "z", "m"): b"$3\r\n1.5\r\n",
                         ("LPOP", "missing", "2"): b"*-1\r\n"}.items():
        c.send(*args)
        assert c.read_all() == expect, args


def test_hello_setname_and_client_commands(connect):
    c = connect()
    r = c.cmd("HELLO", "3", "SETNAME", "tester")
    assert isinstance(r, dict) and r[b"id"] == c.cmd("CLIENT", "ID")
    assert c.cmd("CLIENT", "GETNAME") == b"tester"
    lst = c.cmd("CLIENT", "LIST")
    assert isinstance(lst, Verbatim) and b"name=tester" in lst and lst.endswith(b"\n")
    assert b" proto=3" in lst
    assert c.cmd("CLIENT", "SETNAME", "a b").startswith("ERR Client names cannot contain")


def test_command_table(connect):
    c = connect()
    table = c.cmd("COMMAND")
    assert len(table) == c.cmd("COMMAND", "COUNT")
    entries = {e[0]: e for e in table}
    # name, arity, flags, first key, last key, step
    assert entries[b"get"][1] == 2 and entries[b"get"][3:] == [1, 1, 1]
    assert entries[b"mset"][1] == -3 and entries[b"mset"][3:] == [1, -1, 2]
    assert "write" in entries[b"set"][2] and "readonly" in entries[b"get"][2]
    assert b"devhook" in entries  # the hooks are enabled on this server
    info = c.cmd("COMMAND", "INFO", "get", "nosuch")
    assert info[0][0] == b"get" and info[1] is None


@pytest.mark.parametrize("junk,reply", [
    (b"*abc\r\n", b"-ERR Protocol error: invalid multibulk length\r\n"),
    (b"*2\r\n+GET\r\n", b"-ERR Protocol error: expected '$', got '+'\r\n"),
    (b"*1\r\n$-5\r\n", b"-ERR Protocol error: invalid bulk length\r\n"),
    (b"*1\r\n$999999999999\r\n", b"-ERR Protocol error: invalid bulk length\r\n"),
    (b"*99999999999\r\n", b"-ERR Protocol error: invalid multibulk length\r\n"),
    (b"*1\r\n$3\r\nGETXX", b"-ERR Protocol error: bulk string not terminated by CRLF\r\n"),
    (b'SET "unbalanced\r\n', b"-ERR Protocol error: unbalanced quotes in request\r\n"),
    (b"x" * 70000, b"-ERR Protocol error: too big inline request\r\n"),
])
def test_protocol_errors_reply_then_close(server, connect, junk, reply):
    c = connect()
    c.send_raw(RawConn.encode("PING") + junk)
    assert c.read_all(wait=1) == b"+PONG\r\n" + reply
    assert c.is_closed()
    assert connect().cmd("PING") == "PONG"  # the server lives on


def test_garbage_and_abrupt_disconnects_never_kill_the_server(server, connect):
    rng = random.Random(4)
    pieces = [b"*", b"$", b"\r\n", b"-1", b"3", b"*2\r\n$3\r\nSET\r\n", b"\x00", b"\"", b" ",
              b"PING", b"99999999", b"*1\r\n$4\r\nPING\r\n", b"\n", b"'"]
    for _ in range(150):
        s = socket.create_connection(("127.0.0.1", server.port))
        s.sendall(b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 30))))
        if rng.random() < 0.5:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.close()
    # A client that vanishes with a large pending reply.
    s = socket.create_connection(("127.0.0.1", server.port))
    s.sendall(RawConn.encode("SET", "big", "x" * 1000000) + RawConn.encode("GET", "big") * 50)
    s.close()
    c = connect()
    assert c.cmd("PING") == "PONG"
    assert server.proc.poll() is None


def test_quit_closes_after_ok(connect):
    c = connect()
    c.send("QUIT")
    assert c.read_all() == b"+OK\r\n"
    assert c.is_closed()


def test_shutdown_closes_connections_and_exits_zero(start_server):
    s = start_server()
    other = RawConn(port=s.port)
    assert other.cmd("PING") == "PONG"
    c = RawConn(port=s.port)
    c.send("SHUTDOWN")
    assert c.is_closed() and other.is_closed()
    assert s.proc.wait(timeout=5) == 0


@pytest.mark.parametrize("sig", ["SIGTERM", "SIGINT"])
def test_signals_stop_with_status_zero(start_server, sig):
    import signal
    s = start_server()
    s.proc.send_signal(getattr(signal, sig))
    assert s.proc.wait(timeout=5) == 0


def test_help_documents_options_and_hooks():
    import subprocess
    from conftest import bin_path
    out = subprocess.run([bin_path("vorn-devserver"), "--help"], stdin=subprocess.DEVNULL,
                         capture_output=True, timeout=10).stdout.decode()
    for word in ("--port", "--bind", "--unix-socket", "--tls-port", "--tls-cert", "--tls-key",
                 "--tls-ca-cert", "--tls-verify-clients", "--password", "--user", "--databases",
                 "--enable-test-hooks", "--demo-data", "--load", "--snapshot-pad",
                 "--repl-diskless-sync", "--help", "DEVHOOK REPLY ", "DEVHOOK REPLYHEX",
                 "DEVHOOK FAIL", "DEVHOOK DELAY", "DEVHOOK CLOSE", "DEVHOOK INFO",
                 "DEVHOOK SNI", "DEVHOOK PREFIX ", "DEVHOOK PREFIXHEX", "DEVHOOK HISTORY",
                 "DEVHOOK LIST", "DEVHOOK RESET", "DEVHOOK SYNC PREPARE", "DEVHOOK SYNC PAUSE",
                 "DEVHOOK SYNC CUT", "DEVHOOK SYNC PAD", "DEVHOOK SYNC TRAILER",
                 "DEVHOOK SYNC CLEAR", "lua-time-limit", "repl-ping-replica-period",
                 "SCRIPT DEBUG"):
        assert word in out, word


def test_bad_options_fail_with_a_message():
    import subprocess
    from conftest import bin_path
    for args, message in (
            (["--port", "x"], b"invalid port 'x'"),
            (["--nope"], b"unknown option '--nope'"),
            (["--nope", "1"], b"unknown option '--nope'"),
            (["--port"], b"--port needs a value"),
            (["--user", "nopass"], b"--user takes NAME:PASS"),
            (["--tls-port", "0"], b"--tls-port needs --tls-cert and --tls-key")):
        p = subprocess.run([bin_path("vorn-devserver")] + args, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=10)
        assert p.returncode == 1 and message in p.stderr, args


def test_every_command_survives_hostile_arguments(server, connect):
    """Each command in the table gets argument lists made of extreme numbers,
    odd texts and keys of every type; every request must get a reply."""
    c = connect()
    c.cmd("DEVHOOK", "RESET")
    rng = random.Random(7)
    pool = ["s", "l", "h", "z", "st", "set", "missing", "0", "1", "-1", "2", "100",
            "9223372036854775807", "-9223372036854775808", "9223372036854775808", "inf",
            "-inf", "nan", "1e308", "0.5", "", "*", "[", "\\", "a*b?[c-", "NX", "XX", "GT",
            "LT", "CH", "INCR", "GET", "EX", "PX", "KEEPTTL", "COUNT", "MATCH", "TYPE",
            "WITHSCORES", "REV", "ON", "OFF", "BCAST", "PREFIX", "REDIRECT", "AUTH",
            "SETNAME", "x" * 300, "0-1", "5-*", "-", "+", "18446744073709551615-1"]
    skip = {b"shutdown", b"debug", b"monitor", b"subscribe", b"psubscribe", b"quit", b"reset",
            b"devhook", b"multi", b"hello", b"client", b"acl", b"auth", b"select",
            b"flushall", b"flushdb", b"unsubscribe", b"punsubscribe",  # several replies
            b"sync", b"psync"}
    names = [e[0] for e in c.cmd("COMMAND") if e[0] not in skip]
    for round_ in range(40):
        c.cmd("RPUSH", "l", "a", "b")
        c.cmd("HSET", "h", "f", "1")
        c.cmd("ZADD", "z", "1", "m")
        c.cmd("XADD", "st", "1-1", "f", "v")
        c.cmd("SADD", "set", "m")
        c.cmd("SET", "s", "10")
        for name in names:
            args = [name] + [rng.choice(pool) for _ in range(rng.randint(0, 6))]
            c.cmd(*args)
    # The server still answers, on this connection and on a new one.
    assert c.cmd("PING") == "PONG"
    assert connect().cmd("PING") == "PONG"
