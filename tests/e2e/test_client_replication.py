"""vorn-cli posing as a replica: --vdb writes the server's snapshot to a
file or standard output, --replica and a typed SYNC / PSYNC print the
command stream. A scripted server shapes the transfer byte by byte; the
round trips run against vorn-devserver."""
import os
import stat
import subprocess
import threading
import time

import pytest

from conftest import SLOW, bin_path, run_cli
from fake_primary import scripted_server  # noqa: F401

MARK = b"0123456789abcdefghijklmnopqrstuvwxyzABCD"
assert len(MARK) == 40


@pytest.fixture
def primary(scripted_server):
    """Factory: a server answering REPLCONF with replconf(words) (+OK by
    default) and SYNC / PSYNC with the pieces of sync."""
    def make(sync, replconf=lambda words: b"+OK\r\n"):
        def answer(words):
            name = words[0].upper()
            if name == b"REPLCONF":
                return replconf(words)
            if name in (b"SYNC", b"PSYNC"):
                return sync
            return b"-ERR unexpected\r\n"
        return scripted_server(answer)
    return make


def vdb(p, path, timeout=10, **kw):
    return run_cli(["-p", str(p.port), "--vdb", str(path)], timeout=timeout, **kw)


def listing(d):
    return sorted(os.listdir(d))


# ---- the snapshot dump ----

SNAP = bytes(range(256)) * 40  # 10240 bytes, zero bytes included


@pytest.mark.parametrize("sync,size", [
    ([b"\n\n", 0.05, b"\n", b"$%d\r\n" % len(SNAP), SNAP], len(SNAP)),
    ([b"$%d" % len(SNAP), 0.05, b"\r\n" + SNAP[:100], 0.05, SNAP[100:]], len(SNAP)),
    ([b"$EOF:" + MARK + b"\r\n" + SNAP + MARK], len(SNAP)),
    ([b"$EOF:" + MARK + b"\r\n" + SNAP + MARK[:25], 0.1, MARK[25:]], len(SNAP)),
    ([b"$EOF:" + MARK + b"\r\n" + SNAP[:5000], 0.05, SNAP[5000:] + MARK[:1], 0.05, MARK[1:]],
     len(SNAP)),
    ([b"$0\r\n"], 0),
    ([b"$EOF:" + MARK + b"\r\n" + MARK], 0),
], ids=["newlines-first", "split-announcement", "mark", "mark-25-15", "mark-1-39",
        "empty-length", "empty-mark"])
def test_vdb_writes_exactly_the_snapshot(primary, tmp_path, sync, size):
    p = primary(sync)
    out = tmp_path / "dump.vdb"
    r = vdb(p, out)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == SNAP[:size]
    assert stat.S_IMODE(out.stat().st_mode) == 0o644
    assert listing(tmp_path) == ["dump.vdb"]
    assert p.names() == [b"REPLCONF", b"REPLCONF", b"SYNC"]
    assert [w for _, w in p.requests][:2] == [[b"REPLCONF", b"capa", b"eof"],
                                               [b"REPLCONF", b"vdb-only", b"1"]]
    err = r.stderr.decode()
    assert err.startswith("sending REPLCONF capa eof\nsending REPLCONF vdb-only 1\n")
    if sync[0].startswith(b"$EOF") or b"$EOF" in sync[0]:
        assert ("SYNC sent to master, writing bytes of bulk transfer until EOF marker to '%s'\n"
                "Transfer finished with success after %d bytes\n" % (out, size)) in err
    else:
        assert ("SYNC sent to master, writing %d bytes to '%s'\nTransfer finished with success.\n"
                % (size, out)) in err


def test_length_transfer_stops_at_its_length(primary, tmp_path):
    # More bytes are already waiting behind the snapshot, and the connection
    # stays open: the client must stop reading at the announced length.
    p = primary([b"$5\r\nhello*1\r\n$4\r\nPING\r\n" + b"x" * 9000])
    out = tmp_path / "d"
    r = vdb(p, out)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == b"hello"


def test_vdb_to_standard_output(primary):
    p = primary([b"$%d\r\n" % len(SNAP), SNAP])
    r = run_cli(["-p", str(p.port), "--vdb", "-"])
    assert (r.returncode, r.stdout) == (0, SNAP)
    assert b"writing %d bytes to '-'" % len(SNAP) in r.stderr


def test_marked_transfer_to_standard_output_leaves_the_mark_out(primary):
    # The last 30 bytes of the second piece may be the mark's start; they are
    # held back until the end proves it, so no byte of the mark is written.
    p = primary([b"$EOF:" + MARK + b"\r\n" + SNAP[:3000], 0.05, SNAP[3000:] + MARK[:30], 0.05,
                 MARK[30:]])
    r = run_cli(["-p", str(p.port), "--vdb", "-"])
    assert r.returncode == 0, r.stderr
    assert r.stdout == SNAP
    assert b"Transfer finished with success after %d bytes\n" % len(SNAP) in r.stderr


def test_vdb_into_a_fifo(primary, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()), daemon=True)
    reader.start()
    p = primary([b"$EOF:" + MARK + b"\r\n" + SNAP + MARK])
    r = vdb(p, fifo)
    reader.join(timeout=10)
    assert r.returncode == 0, r.stderr
    assert got == [SNAP]
    assert listing(tmp_path) == ["pipe"]


def test_an_existing_file_is_replaced_whole(primary, tmp_path):
    out = tmp_path / "d.vdb"
    out.write_bytes(b"y" * 50000)
    os.chmod(out, 0o600)
    link = tmp_path / "latest"
    os.symlink("d.vdb", link)
    p = primary([b"$3\r\nabc"])
    r = vdb(p, link)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == b"abc"
    assert os.path.islink(link), "the link stays a link to the replaced file"
    assert stat.S_IMODE(out.stat().st_mode) == 0o600
    assert b"writing 3 bytes to '%s'" % bytes(link) in r.stderr


@pytest.mark.parametrize("sync,message", [
    ([b"$20000\r\n" + SNAP[:5000], 0.05, "close"],
     b"I/O Error reading VDB payload from socket\n"),
    ([b"$EOF:" + MARK + b"\r\n" + SNAP, 0.05, "close"],
     b"I/O Error reading VDB payload from socket\n"),
    ([b"$EOF:" + MARK + b"\r\n" + SNAP + MARK[:39], 0.05, "close"],
     b"I/O Error reading VDB payload from socket\n"),
    ([b"\n", "close"], b"Error reading bulk length while SYNCing\n"),
    ([b"-ERR not now\r\n"], b"SYNC with master failed: -ERR not now\r\n"),
    ([b"+OK\r\n"], b"SYNC with master failed: +OK\r\n"),
    ([b"$12x\r\n"], b"SYNC with master failed: $12x\r\n"),
    ([b"$\r\n"], b"SYNC with master failed: $\r\n"),
    ([b"$-1\r\n"], b"SYNC with master failed: $-1\r\n"),
    ([b"$" + b"9" * 5000], b"Error reading bulk length while SYNCing\n"),
], ids=["cut-length", "cut-mark", "cut-inside-mark", "no-announcement", "error", "status",
        "bad-length", "no-length", "negative", "endless-line"])
def test_a_failed_transfer_leaves_no_file(primary, tmp_path, sync, message):
    keep = tmp_path / "keep.vdb"
    keep.write_bytes(b"previous dump")
    for target in (tmp_path / "new.vdb", keep):
        p = primary(sync)
        r = vdb(p, target)
        assert r.returncode == 1
        assert message in r.stderr, r.stderr
        assert b"Transfer finished" not in r.stderr
        assert listing(tmp_path) == ["keep.vdb"], "no file and no temporary file left"
        assert keep.read_bytes() == b"previous dump"


def test_unopenable_output(primary, tmp_path):
    p = primary([b"$3\r\nabc"])
    target = tmp_path / "missing" / "d.vdb"
    r = vdb(p, target)
    assert r.returncode == 1
    assert r.stderr.endswith(b"Error opening '%s': No such file or directory\n" % bytes(target))


def test_replconf_errors_only_warn(primary, tmp_path):
    p = primary([b"$3\r\nabc"], replconf=lambda w: b"-ERR unknown option '%s'\r\n" % w[1])
    out = tmp_path / "d"
    r = vdb(p, out)
    assert r.returncode == 0
    assert out.read_bytes() == b"abc"
    assert (b"sending REPLCONF capa eof\nREPLCONF capa error: ERR unknown option 'capa'\n"
            b"sending REPLCONF vdb-only 1\nREPLCONF vdb-only error: ERR unknown option 'vdb-only'\n"
            ) in r.stderr


def test_replconf_without_reply(primary, tmp_path):
    p = primary([b"$3\r\nabc"], replconf=lambda w: "close")
    r = vdb(p, tmp_path / "d")
    assert r.returncode == 1
    assert r.stderr == b"sending REPLCONF capa eof\n\nI/O error\n"
    assert listing(tmp_path) == []


def test_interrupted_transfer_removes_its_temporary_file(primary, tmp_path):
    p = primary([b"$100000\r\n" + SNAP, 30])
    proc = subprocess.Popen([bin_path("vorn-cli"), "-p", str(p.port), "--vdb",
                             str(tmp_path / "d")], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 10 * SLOW
        while len(os.listdir(tmp_path)) == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
        assert [n for n in os.listdir(tmp_path) if n.startswith(".d.tmp-")]
        proc.send_signal(2)
        assert proc.wait(timeout=10 * SLOW) == -2
    finally:
        proc.kill()
        proc.wait()
        proc.stderr.close()
    assert listing(tmp_path) == []


# ---- the replica stream ----

STREAM = b"*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$2\r\nv1\r\n*1\r\n$4\r\nPING\r\n"


def replica(p, *args, timeout=10):
    return run_cli(["-p", str(p.port), *args], timeout=timeout)


def test_replica_after_a_marked_transfer_acknowledges(primary):
    p = primary([b"\n", b"$EOF:" + MARK + b"\r\n" + SNAP[:2000], 0.05, SNAP[2000:] + MARK])
    # The stream starts once the server has the acknowledgement.
    orig = p.answer

    def answer(words):
        if words[:2] == [b"REPLCONF", b"ACK"]:
            return [b"+OK\r\n", STREAM, 0.1, "close"]
        return orig(words)
    p.answer = answer
    t0 = time.monotonic()
    r = replica(p, "--replica")
    assert r.stdout == b'"SET","k","v1"\n"PING"\n'
    assert r.stderr == (b"sending REPLCONF capa eof\n"
                        b"SYNC with master, discarding bytes of bulk transfer until EOF marker...\n"
                        b"SYNC done after %d bytes. Logging commands from master.\n"
                        b"sending REPLCONF ACK 0\n"
                        b"Error: Server closed the connection\n" % (len(SNAP) + 40))
    assert r.returncode == 1
    sync_t = next(t for t, w in p.requests if w[0] == b"SYNC")
    ack_t = next(t for t, w in p.requests if w[:2] == [b"REPLCONF", b"ACK"])
    assert 0.9 <= ack_t - sync_t <= 1.0 + 3 * SLOW
    assert [w for _, w in p.requests][-1] == [b"REPLCONF", b"ACK", b"0"]


def test_replica_after_a_length_transfer_sends_nothing_more(primary):
    p = primary([b"$%d\r\n" % len(SNAP), SNAP, STREAM, 0.3, "close"])
    r = replica(p, "--replica")
    assert r.stdout == b'"SET","k","v1"\n"PING"\n'
    assert b"SYNC with master, discarding %d bytes of bulk transfer...\n" % len(SNAP) in r.stderr
    assert b"SYNC done. Logging commands from master.\n" in r.stderr
    assert p.names() == [b"REPLCONF", b"SYNC"]


def test_stream_right_behind_the_mark_is_not_lost(primary):
    p = primary([b"$EOF:" + MARK + b"\r\n" + SNAP[:100] + MARK + STREAM])
    orig = p.answer
    p.answer = lambda w: [b"+OK\r\n", 0.2, "close"] if w[1:2] == [b"ACK"] else orig(w)
    # Without looking past the end of each read the transfer would never end.
    r = replica(p, "--replica")
    assert b"SYNC done after 140 bytes." in r.stderr
    assert b'"PING"\n' in r.stdout


def test_replica_sync_failure(primary):
    p = primary([b"-NOMASTERLINK can't SYNC\r\n"])
    r = replica(p, "--slave")
    assert r.returncode == 1
    assert r.stderr.endswith(b"SYNC with master failed: -NOMASTERLINK can't SYNC\r\n")


@pytest.mark.parametrize("typed", [["sync"], ["PSYNC", "?", "-1"]])
def test_typed_sync_enters_the_replica_stream(primary, typed):
    full = [b"+FULLRESYNC 0123456789abcdef0123456789abcdef01234567 0\r\n"] if typed[0] == "PSYNC" \
        else []
    p = primary(full + [b"$4\r\nVDB!", STREAM, 0.2, "close"])
    r = replica(p, *typed)
    assert r.stdout == (b"Entering replica output mode...  (press Ctrl-C to quit)\n"
                        b'"SET","k","v1"\n"PING"\n')
    assert b"SYNC with master, discarding 4 bytes of bulk transfer...\n" in r.stderr
    assert r.returncode == 1
    # The typed command is the one request: no second SYNC behind it.
    assert [w for _, w in p.requests] == [[w.encode() for w in typed]]


# ---- against vorn-devserver ----

import snapshot_format  # noqa: E402
from conftest import RawConn, hook  # noqa: E402


def fill(c):
    c.cmd("SET", "s", "v\r\n\0x")
    c.cmd("SET", "ttl", "1", "PX", "600000")
    c.cmd("RPUSH", "l", "a", "b", "")
    c.cmd("HSET", "h", "f", "1")
    c.cmd("ZADD", "z", "1.5", "a")
    c.cmd("SELECT", "2")
    c.cmd("SET", "in2", "x")
    c.cmd("SELECT", "0")


@pytest.mark.parametrize("diskless", ["no", "yes"])
def test_dump_loads_back_with_every_key_equal(start_server, tmp_path, diskless):
    a = start_server("--enable-test-hooks", "--snapshot-pad", "100000",
                     "--repl-diskless-sync", diskless)
    c = RawConn(port=a.port)
    fill(c)
    out = tmp_path / "dump.vdb"
    r = vdb(a, out)
    assert r.returncode == 0, r.stderr
    form = b"until EOF marker" if diskless == "yes" else b"writing %d bytes" % out.stat().st_size
    assert form in r.stderr
    keys, pad = snapshot_format.parse(out.read_bytes())
    assert pad == 100000
    b = RawConn(port=start_server("--load", str(out)).port)
    for db, names in ((0, ["s", "ttl", "l", "h", "z"]), (2, ["in2"])):
        c.cmd("SELECT", db)
        b.cmd("SELECT", db)
        assert sorted(b.cmd("KEYS", "*")) == sorted(k.encode() for k in names)
        assert b.cmd("DEBUG", "DIGEST-VALUE", *names) == c.cmd("DEBUG", "DIGEST-VALUE", *names)
    b.cmd("SELECT", 0)
    assert 590 <= b.cmd("TTL", "ttl") <= 600


@pytest.mark.parametrize("hooks,diskless", [
    ([("PREPARE", "3", "50")], "no"),
    ([("PAUSE", "100", "3", "-15")], "yes"),
    ([("PAUSE", "100", "-1", "-39")], "yes"),
    ([("TRAILER", "*1\r\n$4\r\nPING\r\n")], "no"),
], ids=["preparing", "split-mark-25-15", "split-mark-39-1", "more-data-waiting"])
def test_dump_through_the_transfer_hooks(start_server, tmp_path, hooks, diskless):
    a = start_server("--enable-test-hooks", "--repl-diskless-sync", diskless)
    fill(RawConn(port=a.port))
    for h in hooks:
        hook(a, "SYNC", *h)
    ref = tmp_path / "ref.vdb"
    out = tmp_path / "d.vdb"
    hook(a, "SYNC", "CLEAR")
    assert vdb(a, ref).returncode == 0
    for h in hooks:
        hook(a, "SYNC", *h)
    r = vdb(a, out)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == ref.read_bytes()
    snapshot_format.parse(out.read_bytes())


@pytest.mark.parametrize("diskless", ["no", "yes"])
def test_dump_cut_midway_leaves_the_old_file(start_server, tmp_path, diskless):
    a = start_server("--enable-test-hooks", "--snapshot-pad", "50000",
                     "--repl-diskless-sync", diskless)
    out = tmp_path / "d.vdb"
    out.write_bytes(b"yesterday")
    hook(a, "SYNC", "CUT", "30000")
    r = vdb(a, out)
    assert r.returncode == 1
    assert r.stderr.endswith(b"I/O Error reading VDB payload from socket\n")
    assert listing(tmp_path) == ["d.vdb"]
    assert out.read_bytes() == b"yesterday"


def test_replica_shows_every_write_of_another_client(start_server):
    a = start_server("--enable-test-hooks", "--repl-diskless-sync", "yes")
    proc = subprocess.Popen([bin_path("vorn-cli"), "-p", str(a.port), "--replica"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    err = b""
    try:
        c = RawConn(port=a.port)
        c.cmd("CONFIG", "SET", "repl-ping-replica-period", "1")
        # Writes once the replica is logging (its acknowledgement answered).
        while b"sending REPLCONF ACK 0\n" not in err:
            line = proc.stderr.readline()
            assert line, err
            err += line
        time.sleep(0.3)
        c.cmd("SET", "k", "1")
        c.cmd("SELECT", "1")
        c.cmd("RPUSH", "l", "a b", "\"q\"")
        c.cmd("SELECT", "0")
        c.cmd("DEL", "k")
        lines = []
        while len(lines) < 6:
            line = proc.stdout.readline()
            assert line, lines
            if line != b'"PING"\n':  # the server's keep-alive, once a second
                lines.append(line)
        assert lines == [b'"SELECT","0"\n', b'"SET","k","1"\n', b'"SELECT","1"\n',
                         b'"RPUSH","l","a b","\\"q\\""\n', b'"SELECT","0"\n', b'"DEL","k"\n']
    finally:
        proc.kill()
        proc.wait(timeout=5)
        err += proc.stderr.read()
        proc.stdout.close()
        proc.stderr.close()
    assert b"SYNC with master, discarding bytes of bulk transfer until EOF marker...\n" in err
    assert b"sending REPLCONF ACK 0\n" in err


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into any directory")
def test_a_file_in_a_closed_directory_is_written_in_place(primary, tmp_path):
    d = tmp_path / "closed"
    d.mkdir()
    out = d / "d.vdb"
    out.write_bytes(b"z" * 100)
    os.chmod(d, 0o555)
    try:
        r = vdb(primary([b"$3\r\nabc"]), out)
        assert r.returncode == 0, r.stderr
        assert out.read_bytes() == b"abc"
        r = vdb(primary([b"$30000\r\n" + SNAP[:100], 0.05, "close"]), out)
        assert r.returncode == 1
        assert out.read_bytes() == b"", "a failed transfer leaves no file that looks whole"
    finally:
        os.chmod(d, 0o755)
