"""--stat: the rolling table, and the monitoring modes across a server
restart (same transport, password, database and protocol again)."""
import os
import re
import time

import pytest

from conftest import SLOW, DevServer, RawConn, history, hook, run_cli
from running import running  # noqa: F401  (fixture)
from test_devserver_net import certs, tls_server  # noqa: F401  (fixture and helper)

HEADER = (b"------- data ------ --------------------- load -------------------- - child -\n"
          b"keys       mem      clients blocked requests            connections          \n")
ROW = re.compile(rb"^(\S+) +(\S+) +(\S+) +(\S+) +(-?\d+) \(\+(-?\d+)\) +(\S+) *(\S*)$")


def rows(out):
    return [ROW.match(l) for l in out.split(b"\n") if ROW.match(l)]


def test_table_with_two_databases_and_the_request_increase(server, running):
    c = RawConn(port=server.port)
    for k in ("a", "b", "c"):
        c.cmd("SET", k, "v")
    c.cmd("SELECT", "3")
    c.cmd("SET", "x", "1")
    c.cmd("SET", "y", "2")
    p = running(["-p", str(server.port), "--stat", "-i", "0.2"])
    p.wait_for(lambda out: len(rows(out)) >= 3)
    for _ in range(4):  # commands of another client between two rows
        c.cmd("PING")
    p.wait_for(lambda out: len(rows(out)) >= 6)
    p.stop()
    assert p.out.startswith(HEADER)
    r = rows(p.out)
    assert all(m[1] == b"5" for m in r)  # db0 and db3 added up
    assert all(m[2].endswith((b"B", b"K", b"M")) for m in r)
    assert r[0][6] == b"0"
    totals = [int(m[5]) for m in r]
    for prev, cur, m in zip(totals, totals[1:], r[1:]):
        assert int(m[6]) == cur - prev
    assert sum(int(m[6]) for m in r[1:]) >= len(r) - 1 + 4
    assert int(r[0][3]) >= 2 and r[0][4] == b"0"
    # Fixed columns: keys 11 wide, mem 8, then " clients" 9 and blocked 8.
    line = p.out.split(b"\n")[2]
    assert line[:11].rstrip() == b"5" and line[11:19].rstrip() == r[0][2]


def test_interval_spacing(server, running):
    p = running(["-p", str(server.port), "--stat", "-i", "0.5"])
    p.wait_for(lambda out: len(rows(out)) >= 1)
    took = p.wait_for(lambda out: len(rows(out)) >= 3)
    p.stop()
    assert 0.9 <= took < 1.0 + 3 * SLOW


@pytest.mark.parametrize("fields,child", [
    ({}, b""),
    # The first field whose name contains bgsave_in_progress counts.
    ({"vdb_bgsave_in_progress": "1"}, b"SAVE"),
    ({"bgsave_in_progress": "1"}, b""),
    ({"aof_rewrite_in_progress": "1"}, b"AOF"),
    ({"vdb_bgsave_in_progress": "1", "aof_rewrite_in_progress": "1"}, b"SAVE+AOF"),
    ({"loading": "1"}, b"LOAD"),
    ({"loading": "1", "aof_rewrite_in_progress": "1"}, b""),
])
def test_child_column(server, running, fields, child):
    for k, v in fields.items():
        hook(server, "INFO", k, v)
    hook(server, "INFO", "used_memory", "1536")
    p = running(["-p", str(server.port), "--stat"])
    p.wait_for(lambda out: len(rows(out)) >= 1)
    p.stop()
    m = rows(p.out)[0]
    assert m[2] == b"1.50K"
    assert m[8] == child


def test_header_every_20_rows(server, running):
    p = running(["-p", str(server.port), "--stat", "-i", "0.01"])
    p.wait_for(lambda out: len(rows(out)) >= 21, timeout=20)
    p.stop()
    lines = p.out.split(b"\n")
    assert lines[0] + b"\n" + lines[1] + b"\n" == HEADER
    assert lines[22] + b"\n" + lines[23] + b"\n" == HEADER
    assert all(ROW.match(l) for l in lines[2:22])


def test_missing_fields(server, running):
    text = b"used_memory:2048\r\ndb0:keys=4\r\n"
    hook(server, "REPLY", "INFO", 0, b"$%d\r\n%s\r\n" % (len(text), text))
    p = running(["-p", str(server.port), "--stat", "-i", "0.1"])
    p.wait_for(lambda out: out.count(b"\n") >= 4)
    p.stop()
    # Absent figures print as the not-found value, run together as they are
    # wider than their cells; the increase of an absent total is 0.
    line = p.out.split(b"\n")[3]
    nf = b"-9223372036854775808"
    assert line == (b"4          2.00K    " + nf + nf + (nf + b" (+0)").ljust(19) + b" " + nf)


def test_error_reply_ends_with_1(server):
    hook(server, "FAIL", "INFO", 1, "ERR no info today")
    r = run_cli(["-p", str(server.port), "--stat"])
    assert (r.stdout, r.returncode) == (b"ERROR: ERR no info today\n", 1)


def restart(old, args):
    """Stops the server and starts a new one on the same endpoint."""
    old.stop()
    time.sleep(1.5)  # the client notices and starts reconnecting
    return DevServer(args)


def test_stat_survives_a_restart_with_password_and_database(start_server, running):
    s = start_server("--enable-test-hooks", "--password", "pw")
    port = s.port
    c = RawConn(port=port)
    c.cmd("AUTH", "pw")
    c.cmd("SELECT", "2")
    p = running(["-p", str(port), "-a", "pw", "--no-auth-warning", "-n", "2", "--stat",
                 "-i", "0.2"])
    p.wait_for(lambda out: len(rows(out)) >= 1)
    s2 = restart(s, ["--port", str(port), "--enable-test-hooks", "--password", "pw"])
    try:
        p.wait_for(lambda out: b"Reconnecting... 1\r" in out)
        n = len(rows(p.out))
        p.wait_for(lambda out: len(rows(out)) >= n + 2, timeout=15)
        sent = history(s2)
        assert sent[:2] == ['"AUTH" "pw"', '"SELECT" "2"']
        assert all(h == '"INFO"' for h in sent[2:])
        assert b"\r\x1b[0K" in p.out.split(b"Reconnecting... 1\r")[1]
        assert b"NOAUTH" not in p.out and p.err == b""
    finally:
        p.stop()
        s2.stop()


def test_latency_survives_a_restart_on_a_unix_socket(tmp_path, running):
    sock = str(tmp_path / "vorn.sock")
    args = ["--port", "0", "--unix-socket", sock, "--enable-test-hooks"]
    s = DevServer(args)
    try:
        p = running(["-s", sock, "-3", "--latency-history", "-i", "1"])
        p.wait_for(lambda out: out.count(b"\n") >= 3)
        s.stop()
        p.wait_for(lambda out: b"Reconnecting... 2\r" in out, timeout=15)
        s = DevServer(args)
        p.wait_for(lambda out: b"seconds range" in out.split(b"Reconnecting...")[-1], timeout=15)
        after = p.out.split(b"Reconnecting...")[-1]
        assert re.search(rb"\n\d+ \d+ \d+\.\d\d 1\n", after)
        assert history(s)[:1] == ['"HELLO" "3"']
    finally:
        s.stop()


def test_stat_survives_a_restart_over_tls(start_server, certs, running):
    s = tls_server(start_server, certs)
    args = ["--port", str(s.port), "--enable-test-hooks", "--tls-port", str(s.tls_port),
            "--tls-cert", str(certs / "server.crt"), "--tls-key", str(certs / "server.key")]
    p = running(["--tls", "--cacert", str(certs / "ca.crt"), "-p", str(s.tls_port), "--stat",
                 "-i", "0.2"])
    p.wait_for(lambda out: len(rows(out)) >= 1)
    s2 = restart(s, args)
    try:
        p.wait_for(lambda out: b"Reconnecting... 1\r" in out)
        n = len(rows(p.out))
        p.wait_for(lambda out: len(rows(out)) >= n + 2, timeout=15)
        assert p.err == b""
    finally:
        p.stop()
        s2.stop()
