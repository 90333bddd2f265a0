"""vorn-devserver replication over raw sockets: REPLCONF, the two snapshot
transfer forms, the snapshot format and --load, the transfer hooks, and the
write stream (SELECT, propagated writes, periodic PING)."""
import os
import struct
import subprocess
import time

import pytest

from conftest import SLOW, DevServer, RawConn, bin_path
import snapshot_format


def read_exact(conn, n):
    while len(conn.buf) < n:
        conn._fill()
    data, conn.buf = conn.buf[:n], conn.buf[n:]
    return data


def read_until_mark(conn, mark):
    while mark not in conn.buf:
        conn._fill()
    i = conn.buf.index(mark)
    data, conn.buf = conn.buf[:i], conn.buf[i + len(mark):]
    return data


def sync(conn, command=b"SYNC\r\n"):
    """Sends SYNC, returns (announcement line, snapshot bytes)."""
    conn.send_raw(command)
    head = conn._line()
    if head.startswith(b"$EOF:"):
        return head, read_until_mark(conn, head[5:])
    return head, read_exact(conn, int(head[1:]))


def fill_every_type(c):
    c.cmd("SET", "s", "v\r\n\0x")
    c.cmd("SET", "ttl", "1", "PX", "600000")
    c.cmd("RPUSH", "l", "a", "b", "")
    c.cmd("SADD", "set", "m1", "m2")
    c.cmd("HSET", "h", "f", "1", "g", "2")
    c.cmd("ZADD", "z", "1.5", "a", "-2", "b")
    c.cmd("XADD", "st", "5-1", "f", "v")
    c.cmd("SELECT", "3")
    c.cmd("SET", "in3", "x")
    c.cmd("SELECT", "0")


def test_length_form_snapshot_holds_every_key(connect):
    c, rep = connect(), connect()
    fill_every_type(c)
    head, snap = sync(rep)
    assert head == b"$%d" % len(snap)
    keys, pad = snapshot_format.parse(snap)
    assert pad == 0
    assert keys[(0, b"s")] == ("string", b"v\r\n\0x", -1)
    t, v, expire = keys[(0, b"ttl")]
    assert 590000 < expire - time.time() * 1000 <= 600000
    assert keys[(0, b"l")][1] == [b"a", b"b", b""]
    assert sorted(keys[(0, b"set")][1]) == [b"m1", b"m2"]
    assert keys[(0, b"h")][1] == [(b"f", b"1"), (b"g", b"2")]
    assert keys[(0, b"z")][1] == [(b"b", -2.0), (b"a", 1.5)]
    assert keys[(0, b"st")][1] == ((5, 1), [(5, 1, [b"f", b"v"])])
    assert keys[(3, b"in3")] == ("string", b"x", -1)
    assert len(keys) == 8


def test_write_stream_after_the_snapshot(connect):
    rep, c = connect(), connect()
    c.cmd("SET", "before", "1")
    sync(rep)
    c.cmd("SET", "k", "v")
    c.cmd("GET", "k")              # reads are not streamed
    c.cmd("INCR", "k")             # failed writes are not streamed
    c.cmd("SELECT", "2")
    c.cmd("DEL", "x")
    c.cmd("MULTI")
    c.cmd("LPUSH", "q", "1")
    c.cmd("EXEC")
    assert rep.read_reply() == [b"SELECT", b"0"]
    assert rep.read_reply() == [b"SET", b"k", b"v"]
    assert rep.read_reply() == [b"SELECT", b"2"]
    assert rep.read_reply() == [b"DEL", b"x"]
    assert rep.read_reply() == [b"LPUSH", b"q", b"1"]


@pytest.mark.parametrize("capa,diskless,form", [
    (True, "config", "eof"),
    (True, "option", "eof"),
    (False, "config", "length"),   # the replica cannot take a mark
    (True, None, "length"),        # diskless sync is off
])
def test_transfer_form_needs_capa_and_diskless(start_server, capa, diskless, form):
    srv = start_server(*(["--repl-diskless-sync", "yes"] if diskless == "option" else []))
    c, rep = RawConn(port=srv.port), RawConn(port=srv.port)
    c.cmd("SET", "k", "v")
    if diskless == "config":
        assert c.cmd("CONFIG", "SET", "repl-diskless-sync", "yes") == "OK"
    if capa:
        assert rep.cmd("REPLCONF", "capa", "eof") == "OK"
    head, snap = sync(rep)
    if form == "eof":
        assert len(head) == 45 and all(ch in b"0123456789abcdef" for ch in head[5:])
    else:
        assert head == b"$%d" % len(snap)
    assert snapshot_format.parse(snap)[0] == {(0, b"k"): ("string", b"v", -1)}
    c.cmd("SET", "after", "1")
    assert rep.read_reply() == [b"SELECT", b"0"]


def test_psync_announces_fullresync_and_marks_differ(connect):
    c = connect()
    c.cmd("CONFIG", "SET", "repl-diskless-sync", "yes")
    marks = []
    for _ in range(2):
        rep = connect()
        rep.cmd("REPLCONF", "listening-port", "0", "capa", "eof", "capa", "psync2")
        rep.send("PSYNC", "?", "-1")
        full = rep.read_reply()
        word, replid, offset = full.split(" ")
        assert word == "FULLRESYNC" and len(replid) == 40 and int(offset) >= 0
        head, snap = sync(rep, b"")
        snapshot_format.parse(snap)
        marks.append(head[5:])
        # ACK is answered, so a replica's request/reply pairing stays intact.
        assert rep.cmd("REPLCONF", "ACK", "0") == "OK"
        c.cmd("RPUSH", "l", "a")
        assert rep.read_reply() == [b"SELECT", b"0"]
        assert rep.read_reply() == [b"RPUSH", b"l", b"a"]
    assert marks[0] != marks[1]


@pytest.mark.parametrize("args,reply", [
    (["capa", "eof"], "OK"),
    (["listening-port", "6380", "capa", "eof", "capa", "psync2"], "OK"),
    (["vdb-only", "1"], "OK"),
    (["ack", "12"], "OK"),
    (["listening-port", "x"], "ERR value is not an integer or out of range"),
    (["listening-port", "70000"], "ERR value is not an integer or out of range"),
    (["vdb-only", "yes"], "ERR vdb-only takes 0 or 1"),
    (["no-such-option", "1"], "ERR Unrecognized REPLCONF option: no-such-option"),
    (["capa"], "ERR syntax error"),
])
def test_replconf_options(connect, args, reply):
    assert connect().cmd("REPLCONF", *args) == reply


def test_vdb_only_sends_the_snapshot_and_closes(connect):
    c, rep = connect(), connect()
    c.cmd("SET", "k", "v")
    assert rep.cmd("REPLCONF", "vdb-only", "1") == "OK"
    head, snap = sync(rep)
    assert snapshot_format.parse(snap)[0] == {(0, b"k"): ("string", b"v", -1)}
    c.cmd("SET", "k2", "v")        # not streamed to a snapshot-only request
    assert rep.is_closed()
    assert rep.buf == b""


def test_writes_during_a_transfer_follow_the_snapshot(server, connect):
    c, rep = connect(), connect()
    c.cmd("SET", "k", "old")
    assert c.cmd("DEVHOOK", "SYNC", "PAUSE", "400", "-5") == "OK"
    rep.send_raw(b"SYNC\r\n")
    time.sleep(0.15 * SLOW)
    c.cmd("SET", "k", "new")       # lands while the transfer is paused
    head = rep._line()
    snap = read_exact(rep, int(head[1:]))
    assert snapshot_format.parse(snap)[0][(0, b"k")][1] == b"old"   # a point in time
    assert rep.read_reply() == [b"SELECT", b"0"]
    assert rep.read_reply() == [b"SET", b"k", b"new"]


def test_periodic_ping_to_streaming_replicas(connect):
    c, rep = connect(), connect()
    c.cmd("CONFIG", "SET", "repl-ping-replica-period", "1")
    sync(rep)
    t0 = time.time()
    assert rep.read_reply() == [b"PING"]
    assert rep.read_reply() == [b"PING"]
    assert 1.0 <= time.time() - t0 <= 6 * SLOW
    c.cmd("SET", "k", "v")
    assert rep.read_reply() == [b"SELECT", b"0"]


# ---- transfer hooks ----

def recv_pieces(sock, total, quiet=0.08):
    """The bytes as they arrive: a list of (time, bytes), a new piece after
    every gap longer than quiet seconds."""
    pieces, got, last = [], 0, None
    sock.settimeout(10 * SLOW)
    while got < total:
        d = sock.recv(65536)
        if not d:
            break
        now = time.time()
        if last is None or now - last > quiet:
            pieces.append([now, b""])
        pieces[-1][1] += d
        last = now
        got += len(d)
    return pieces


def test_prepare_newlines_come_before_the_announcement(server, connect):
    c, rep = connect(), connect()
    c.cmd("CONFIG", "SET", "repl-diskless-sync", "yes")
    rep.cmd("REPLCONF", "capa", "eof")
    assert c.cmd("DEVHOOK", "SYNC", "PREPARE", "3", "150") == "OK"
    t0 = time.time()
    rep.send_raw(b"SYNC\r\n")
    pieces = recv_pieces(rep.sock, 3 + 47 + 18)
    data = b"".join(p for _, p in pieces)
    assert data.startswith(b"\n\n\n$EOF:")
    assert [p for _, p in pieces[:3]] == [b"\n"] * 3   # one at a time
    assert 0.45 <= pieces[-1][0] - t0 <= 5 * SLOW


def test_pause_splits_the_mark_across_reads(server, connect):
    c, rep = connect(), connect()
    c.cmd("CONFIG", "SET", "repl-diskless-sync", "yes")
    rep.cmd("REPLCONF", "capa", "eof")
    c.cmd("SET", "k", "v")
    assert c.cmd("DEVHOOK", "SYNC", "PAUSE", "200", "3", "-15") == "OK"
    rep.send_raw(b"SYNC\r\n")
    pieces = [p for _, p in recv_pieces(rep.sock, 47 + 33 + 9 + 40)]  # head, keys, end, mark
    data = b"".join(pieces)
    mark = data[5:45]
    assert pieces[0] == b"$EO"
    assert pieces[-1] == mark[-15:]
    assert data.endswith(mark) and len(pieces) == 3
    snapshot_format.parse(data[47:-40])


def test_cut_closes_after_exactly_n_bytes(server, connect):
    c, rep = connect(), connect()
    c.cmd("SET", "k", "v" * 1000)
    assert c.cmd("DEVHOOK", "SYNC", "CUT", "500") == "OK"
    rep.send_raw(b"SYNC\r\n")
    data = rep.read_all(wait=2)
    assert len(data) == 500 and data.startswith(b"$")
    assert rep.is_closed()
    # DEVHOOK RESET drops the transfer hooks.
    c.cmd("DEVHOOK", "RESET")
    head, snap = sync(connect())
    assert snapshot_format.parse(snap)[0][(0, b"k")][1] == b"v" * 1000


def test_trailer_follows_the_snapshot_in_the_same_write(server, connect):
    c, rep = connect(), connect()
    assert c.cmd("DEVHOOK", "SYNC", "TRAILER", "+extra\r\n") == "OK"
    head, snap = sync(rep)
    snapshot_format.parse(snap)
    assert rep.read_reply() == "extra"


@pytest.mark.parametrize("args,error", [
    (["PREPARE", "1"], "ERR usage: DEVHOOK SYNC PREPARE N MS"),
    (["PAUSE", "10"], "ERR usage: DEVHOOK SYNC PAUSE MS OFFSET [OFFSET ...]"),
    (["CUT", "-1"], "ERR usage: DEVHOOK SYNC CUT N"),
    (["CUT", "x"], "ERR DEVHOOK SYNC cut: 'x' is not an integer"),
    (["NOPE"], "ERR usage: DEVHOOK SYNC PREPARE|PAUSE|CUT|PAD|TRAILER|CLEAR ..."),
])
def test_sync_hook_errors(connect, args, error):
    assert connect().cmd("DEVHOOK", "SYNC", *args) == error


def vm_hwm_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def test_padding_streams_without_being_held_in_memory(start_server):
    pad = 256 * 1024 * 1024
    srv = start_server("--snapshot-pad", str(pad))
    rep = RawConn(port=srv.port, timeout=60)
    rep.send_raw(b"SYNC\r\n")
    head = rep._line()
    size = int(head[1:])
    assert size == 9 + 9 + pad + 9          # header, pad record, end record
    got = len(rep.buf)
    data = rep.buf
    rep.buf = b""
    while got < size:
        d = rep.sock.recv(1 << 20)
        assert d
        got += len(d)
        if got > size - (1 << 20):
            data += d
    assert got == size
    # The tail holds the end record; the checksum covers the whole padding,
    # which the loader test below verifies on a smaller scale.
    assert data[-9:-8] == b"\xff"
    assert vm_hwm_kib(srv.proc.pid) < 64 * 1024


# ---- --load ----

def test_snapshot_loads_back_with_every_key_equal(start_server, tmp_path):
    a = start_server("--snapshot-pad", "4096")
    c = RawConn(port=a.port)
    fill_every_type(c)
    head, snap = sync(RawConn(port=a.port))
    path = tmp_path / "dump.vdb"
    path.write_bytes(snap)
    b = start_server("--load", str(path))
    d = RawConn(port=b.port)
    for db, keys in ((0, ["s", "ttl", "l", "set", "h", "z", "st"]), (3, ["in3"])):
        c.cmd("SELECT", db)
        d.cmd("SELECT", db)
        assert sorted(d.cmd("KEYS", "*")) == sorted(k.encode() for k in keys)
        assert d.cmd("DEBUG", "DIGEST-VALUE", *keys) == c.cmd("DEBUG", "DIGEST-VALUE", *keys)
        for k in keys:
            assert d.cmd("TYPE", k) == c.cmd("TYPE", k)
    d.cmd("SELECT", 0)
    assert 590 <= d.cmd("TTL", "ttl") <= 600
    assert d.cmd("TTL", "s") == -1
    # A snapshot written by the format's own writer loads too; expired keys
    # are dropped.
    path.write_bytes(snapshot_format.build([(1, b"a", b"1", -1), (1, b"old", b"x", 1000)]))
    e = RawConn(port=start_server("--load", str(path)).port)
    e.cmd("SELECT", 1)
    assert e.cmd("KEYS", "*") == [b"a"]


def good_file():
    return snapshot_format.build([(0, b"k", b"v", -1)], pad=16)


def sealed(records):
    """A well-formed file (header, end record, checksum) around raw records."""
    out = b"VORNSNAP\x01" + records + b"\xff"
    return out + struct.pack("<Q", snapshot_format.checksum(out))


def rec(type_, key, value):
    return bytes([type_]) + struct.pack("<q", -1) + struct.pack("<I", len(key)) + key + value


def stream(last, entries):
    out = struct.pack("<QQQ", *last, len(entries))
    for ms, seq in entries:
        out += struct.pack("<QQQ", ms, seq, 0)
    return out


@pytest.mark.parametrize("content,reason", [
    (b"", "truncated snapshot (in header at offset 0)"),
    (b"VORNSNAQ\x01\xff" + b"\0" * 8, "not a vorn-devserver snapshot"),
    (good_file()[:8] + b"\x02" + good_file()[9:], "unsupported snapshot version 2"),
    (good_file()[:-3], "truncated snapshot (in checksum at offset 59)"),
    (good_file()[:32] + b"w" + good_file()[33:], "checksum mismatch"),
    (good_file() + b"x", "data after the end record"),
    (snapshot_format.build([(7, b"k", b"v", -1)]), "database 7 out of range (the server has 4)"),
    (good_file()[:9] + b"\x09" + good_file()[10:], "unknown record type 0x09 at offset 9"),
    (b"VORNSNAP\x01\x00" + struct.pack("<q", -5) + b"\x01\0\0\0k", "bad expiry"),
    (b"VORNSNAP\x01\x00" + b"\xff" * 8 + b"\xff\xff\xff\x7f", "string too long in key"),
    (b"VORNSNAP\x01\x00" + b"\xff" * 8 + b"\x01\0\0\0k" + b"\xff\xff\xff\x1f",
     "truncated snapshot (in string value at offset 27)"),
    (good_file()[:45] + b"\x01" + good_file()[46:], "non-zero byte in padding"),
    # Well sealed, but not what the server could have written.
    (sealed(rec(0, b"k", b"\1\0\0\0a") + rec(0, b"k", b"\1\0\0\0b")),
     "duplicate key 'k' in database 0"),
    (sealed(rec(1, b"l", struct.pack("<Q", 0))), "empty list"),
    (sealed(rec(4, b"z", struct.pack("<Q", 0))), "empty sorted set"),
    (sealed(rec(5, b"st", stream((9, 0), [(5, 1), (5, 1)]))), "stream entries out of order"),
    (sealed(rec(5, b"st", stream((4, 0), [(5, 1)]))), "stream entry after the stream's last ID"),
])
def test_bad_snapshot_files_fail_with_one_line(tmp_path, content, reason):
    path = tmp_path / "bad.vdb"
    path.write_bytes(content)
    p = subprocess.run([bin_path("vorn-devserver"), "--port", "0", "--databases", "4",
                        "--load", str(path)], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=10 * SLOW)
    assert p.returncode == 1
    assert p.stdout == b""
    assert p.stderr.decode() == f"vorn-devserver: cannot load '{path}': {reason}\n"


def test_missing_snapshot_file(tmp_path):
    path = tmp_path / "none.vdb"
    p = subprocess.run([bin_path("vorn-devserver"), "--port", "0", "--load", str(path)],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=10 * SLOW)
    assert (p.returncode, p.stderr) == (
        1, f"vorn-devserver: cannot load '{path}': No such file or directory\n".encode())
