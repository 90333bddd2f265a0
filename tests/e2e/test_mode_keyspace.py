"""--scan, --bigkeys, --memkeys and --hotkeys against vorn-devserver."""
import re
import select
import socket
import threading
import time

import pytest

from conftest import SLOW, RawConn, history, hook, run_cli

TTY = {"FAKETTY": "1"}
INTRO = (b"\n# Scanning the entire keyspace to find biggest keys as well as\n"
         b"# average sizes per key type.  You can use -i 0.1 to sleep 0.1 sec\n"
         b"# per 100 SCAN commands (not usually needed).\n\n")


def cli(server, *args, **kw):
    return run_cli(["-p", str(server.port), *args], **kw)


def fill(server, *cmds, db=0):
    c = RawConn(port=server.port)
    c.cmd("SELECT", db)
    for cmd in cmds:
        c.cmd(*cmd)
    c.close()


def test_scan_quoted_on_a_terminal_raw_otherwise(server):
    fill(server, ("SET", "plain", "1"), ("SET", b"a\nb\x00c", "2"), ("SET", "sp ace", "3"))
    r = cli(server, "--scan", extra_env=TTY)
    assert (r.stdout, r.returncode) == (b'"plain"\n"a\\nb\\x00c"\n"sp ace"\n', 0)
    r = cli(server, "--scan")
    assert (r.stdout, r.returncode) == (b"plain\na\nb\x00c\nsp ace\n", 0)


def test_scan_walks_every_batch_and_the_database_asked_for(server):
    fill(server, *[("SET", f"k{i}", "v") for i in range(35)])
    fill(server, ("SET", "other", "v"), db=4)
    r = cli(server, "--scan")
    assert sorted(r.stdout.split()) == sorted(f"k{i}".encode() for i in range(35))
    assert cli(server, "-n", "4", "--scan").stdout == b"other\n"
    assert sum(h.startswith('"SCAN"') for h in history(server)) >= 4


def test_empty_database(server):
    r = cli(server, "--bigkeys")
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout == INTRO + (
        b"\n-------- summary -------\n\n"
        b"Sampled 0 keys in the keyspace!\n"
        b"Total key length in bytes is 0 (avg len 0.00)\n\n\n"
        b"0 hashs with 0 fields (00.00% of keys, avg size 0.00)\n"
        b"0 lists with 0 items (00.00% of keys, avg size 0.00)\n"
        b"0 strings with 0 bytes (00.00% of keys, avg size 0.00)\n"
        b"0 streams with 0 entries (00.00% of keys, avg size 0.00)\n"
        b"0 sets with 0 members (00.00% of keys, avg size 0.00)\n"
        b"0 zsets with 0 members (00.00% of keys, avg size 0.00)\n")
    assert cli(server, "--scan").stdout == b""


def test_bigkeys_report(server):
    fill(server, ("SET", "s1", "abc"), ("SET", "s2", "abcdefgh"), ("SET", "s3", "abcdefgh"),
         ("RPUSH", "l", "a", "b"), ("HSET", "h", "f", "v"), ("SADD", "st", "x", "y", "z"),
         ("SET", "empty", ""))
    r = cli(server, "--bigkeys")
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout == INTRO + (
        b"[00.00%] Biggest string found so far '\"s1\"' with 3 bytes\n"
        b"[00.00%] Biggest string found so far '\"s2\"' with 8 bytes\n"
        b"[00.00%] Biggest list   found so far '\"l\"' with 2 items\n"
        b"[00.00%] Biggest hash   found so far '\"h\"' with 1 fields\n"
        b"[00.00%] Biggest set    found so far '\"st\"' with 3 members\n"
        b"\n-------- summary -------\n\n"
        b"Sampled 7 keys in the keyspace!\n"
        b"Total key length in bytes is 15 (avg len 2.14)\n\n"
        b"Biggest   list found '\"l\"' has 2 items\n"
        b"Biggest   hash found '\"h\"' has 1 fields\n"
        b"Biggest string found '\"s2\"' has 8 bytes\n"
        b"Biggest    set found '\"st\"' has 3 members\n\n"
        b"1 lists with 2 items (14.29% of keys, avg size 2.00)\n"
        b"1 hashs with 1 fields (14.29% of keys, avg size 1.00)\n"
        b"4 strings with 19 bytes (57.14% of keys, avg size 4.75)\n"
        b"0 streams with 0 entries (00.00% of keys, avg size 0.00)\n"
        b"1 sets with 3 members (14.29% of keys, avg size 3.00)\n"
        b"0 zsets with 0 members (00.00% of keys, avg size 0.00)\n")


def test_progress_percentage_and_pause(server):
    # 1005 keys: 101 SCAN steps of 10, one pause after the 100th.
    c = RawConn(port=server.port)
    # Every 100 keys a bigger value, so that biggest keys turn up all along.
    c.send_raw(b"".join(RawConn.encode("SET", f"key:{i:04d}", "x" * (i // 100)) for i in range(1005)))
    for _ in range(1005):
        c.read_reply()
    start = time.monotonic()
    r = cli(server, "--bigkeys", "-i", "1")
    took = time.monotonic() - start
    assert r.returncode == 0
    assert 1.0 <= took < 1.0 + 4 * SLOW
    pcts = [float(p) for p in re.findall(rb"^\[(\d\d\.\d\d)%\]", r.stdout, re.M)]
    # Each line shows the share sampled before its batch.
    assert pcts[0] == 9.95 and pcts == sorted(pcts)
    assert b"[99.50%] Biggest string found so far '\"key:1000\"' with 10 bytes\n" in r.stdout
    assert b"Sampled 1005 keys in the keyspace!\n" in r.stdout


def test_memkeys_units_and_samples(server):
    fill(server, ("SET", "s", "x" * 100), ("RPUSH", "l", *["e" * 10] * 20))
    hook(server, "HISTORY", "CLEAR")
    r = cli(server, "--memkeys")
    assert r.returncode == 0
    units = re.findall(rb"(?:with|has) \d+ (\S+)", r.stdout)
    assert len(units) == 2 + 2 + 6 and set(units) == {b"bytes"}
    assert b"Biggest string found so far '\"s\"' with " in r.stdout
    sent = history(server)
    assert '"MEMORY" "USAGE" "s"' in sent and not any("SAMPLES" in h for h in sent)
    hook(server, "HISTORY", "CLEAR")
    r = cli(server, "--memkeys-samples", "3")
    assert r.returncode == 0
    assert '"MEMORY" "USAGE" "l" "SAMPLES" "3"' in history(server)


def test_vanished_changed_and_unknown_keys(server):
    fill(server, ("SET", "gone", "1"), ("SET", "turns", "abcdef"), ("SET", "keep", "xy"))
    hook(server, "MODKEY", "mod", "vornmod01", "payload")
    hook(server, "AFTER", "SCAN", 1, "DEL", "gone")
    hook(server, "AFTER", "TYPE turns", 1, "RETYPE", "turns", "list")
    r = cli(server, "--bigkeys")
    assert r.returncode == 0
    assert r.stderr == b"Warning:  STRLEN on 'turns' failed (may have changed type)\n"
    out = r.stdout
    assert b"Sampled 3 keys in the keyspace!\n" in out  # the deleted key is not counted
    assert b"2 strings with 2 bytes (66.67% of keys, avg size 1.00)\n" in out
    assert b"1 vornmod01s with 0 ? (33.33% of keys, avg size 0.00)\n" in out
    assert b"Biggest vornmod01" not in out
    # With memory sizes the module key has a size and a biggest line.
    r = cli(server, "--memkeys")
    assert re.search(rb"^Biggest vornmod01 found '\"mod\"' has \d+ bytes$", r.stdout, re.M)


def test_pattern_restricts_every_walk(server):
    fill(server, ("SET", "user:1", "a"), ("SET", "user:2", "bb"), ("SET", "other", "ccc"),
         ("CONFIG", "SET", "maxmemory-policy", "allkeys-lfu"))
    for args in (["--scan"], ["--bigkeys"], ["--memkeys"], ["--hotkeys"]):
        hook(server, "HISTORY", "CLEAR")
        r = cli(server, *args, "--pattern", "user:*")
        assert r.returncode == 0, (args, r.stderr)
        assert b"other" not in r.stdout
        scans = [h for h in history(server) if h.startswith('"SCAN"')]
        assert scans and all(h.endswith('"MATCH" "user:*"') for h in scans)
    r = cli(server, "--bigkeys", "--quoted-pattern", '"user:\\x32"')
    assert b"Sampled 1 keys" in r.stdout


def test_hotkeys(server):
    fill(server, ("CONFIG", "SET", "maxmemory-policy", "allkeys-lfu"),
         ("CONFIG", "SET", "lfu-log-factor", "0"), ("CONFIG", "SET", "lfu-decay-time", "0"))
    c = RawConn(port=server.port)
    for i in range(20):
        c.cmd("SET", f"h{i:02d}", "v")
        for _ in range(i):
            c.cmd("GET", f"h{i:02d}")
    r = cli(server, "--hotkeys")
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout.startswith(b"\n# Scanning the entire keyspace to find hot keys as well as\n")
    summary = r.stdout.split(b"-------- summary -------\n\n")[1]
    # New keys start at 5 and every GET adds 1: the 16 hottest, hottest first.
    want = b"Sampled 20 keys in the keyspace!\n" + b"".join(
        b"hot key found with counter: %d\tkeyname: \"h%02d\"\n" % (5 + i, i)
        for i in range(19, 3, -1))
    assert summary == want
    assert b"[00.00%] Hot key '\"h00\"' found so far with counter 5\n" in r.stdout


def test_hotkeys_needs_an_lfu_policy(server):
    fill(server, ("SET", "k", "v"))
    r = cli(server, "--hotkeys")
    assert r.returncode == 1
    assert r.stderr.startswith(b"Error: ERR An LFU maxmemory policy is not selected")


def test_hotkeys_key_deleted_during_the_walk(server):
    fill(server, ("SET", "k", "v"), ("SET", "j", "v"),
         ("CONFIG", "SET", "maxmemory-policy", "allkeys-lfu"))
    hook(server, "AFTER", "SCAN", 1, "DEL", "k")
    r = cli(server, "--hotkeys")
    assert r.returncode == 0
    assert r.stderr == b"Warning: OBJECT freq on '\"k\"' failed (may have been deleted)\n"
    assert r.stdout.endswith(b"Sampled 2 keys in the keyspace!\n"
                             b"hot key found with counter: 5\tkeyname: \"j\"\n")


def crlf(s):
    return s.replace("|", "\r\n")


@pytest.mark.parametrize("mode,kind,match,data,message", [
    ("--bigkeys", "CLOSE", "DBSIZE", "0", b"\nI/O error\n"),
    ("--hotkeys", "FAIL", "DBSIZE", "ERR no size", b"Couldn't determine DBSIZE: ERR no size\n"),
    ("--bigkeys", "REPLY", "DBSIZE", "+7|", b"Non INTEGER response from DBSIZE!\n"),
    ("--scan", "CLOSE", "SCAN", "0", b"\nI/O error\n"),
    ("--scan", "FAIL", "SCAN", "ERR bad scan", b"SCAN error: ERR bad scan\n"),
    ("--bigkeys", "REPLY", "SCAN", "+OK|", b"Non ARRAY response from SCAN!\n"),
    ("--scan", "REPLY", "SCAN", "*3|$1|0|*0|:1|", b"Invalid element count from SCAN!\n"),
    ("--scan", "REPLY", "SCAN", "*2|:0|*0|", b"Invalid cursor from SCAN!\n"),
    ("--scan", "REPLY", "SCAN", "*2|$2|x1|*0|", b"Invalid cursor from SCAN!\n"),
    ("--scan", "REPLY", "SCAN", "*2|$1|0|$1|k|", b"Non ARRAY key list from SCAN!\n"),
    ("--bigkeys", "REPLY", "SCAN", "*2|$1|0|*1|:5|", b"Non STRING key from SCAN!\n"),
    ("--bigkeys", "FAIL", "TYPE", "ERR no type", b"TYPE returned an error: ERR no type\n"),
    ("--bigkeys", "REPLY", "TYPE", ":1|", b"Invalid reply type (3) for TYPE on key 'k'!\n"),
    ("--bigkeys", "CLOSE", "TYPE", "0", b"Error getting type for key 'k' (3: "),
    ("--bigkeys", "CLOSE", "STRLEN", "0", b"Error getting size for key 'k' (3: "),
    ("--memkeys", "CLOSE", "MEMORY", "0", b"Error getting size for key 'k' (3: "),
    ("--hotkeys", "CLOSE", "OBJECT", "0", b"Error getting freq for key '\"k\"' (3: "),
    ("--hotkeys", "REPLY", "OBJECT", "+OK|",
     b"Warning: OBJECT freq on '\"k\"' failed (may have been deleted)\n"),
    ("--bigkeys", "REPLY", "STRLEN", "$1|x|",
     b"Warning:  STRLEN on 'k' failed (may have changed type)\n"),
    ("--memkeys", "FAIL", "MEMORY", "ERR no",
     b"Warning:  MEMORY USAGE on 'k' failed (may have changed type)\n"),
])
def test_failures(server, mode, kind, match, data, message):
    fill(server, ("SET", "k", "v"), ("CONFIG", "SET", "maxmemory-policy", "allkeys-lfu"))
    hook(server, kind, match, 1, crlf(data))
    r = cli(server, mode)
    assert r.stderr.startswith(message), r.stderr
    warning = message.startswith(b"Warning")
    assert r.returncode == (0 if warning else 1)
    if warning:
        assert r.stderr == message and b"Sampled 1 keys" in r.stdout


class BurstCounter:
    """A TCP relay that counts how often the client starts writing again
    after the server has answered: one count per round trip."""

    def __init__(self, port):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.target = port
        self.bursts = 0
        self.thread = threading.Thread(target=self.relay, daemon=True)
        self.thread.start()

    def relay(self):
        client, _ = self.listener.accept()
        server = socket.create_connection(("127.0.0.1", self.target))
        answered = True
        while True:
            ready, _, _ = select.select([client, server], [], [], 20)
            if not ready:
                break
            if client in ready:
                data = client.recv(65536)
                if not data:
                    break
                if answered:
                    self.bursts += 1
                    answered = False
                server.sendall(data)
            if server in ready:
                data = server.recv(65536)
                if not data:
                    break
                answered = True
                client.sendall(data)
        client.close()
        server.close()
        self.listener.close()


# Per batch one round trip per kind of per-key query; the next SCAN goes
# out with the first of them, so only the first SCAN costs a trip of its own.
@pytest.mark.parametrize("mode,per_batch", [
    ("--scan", 1), ("--bigkeys", 2), ("--memkeys", 2), ("--hotkeys", 1)])
def test_one_round_trip_per_query_kind_per_batch(server, mode, per_batch):
    fill(server, *[("SET", f"k{i}", "v") for i in range(50)],
         ("CONFIG", "SET", "maxmemory-policy", "allkeys-lfu"))
    relay = BurstCounter(server.port)
    r = run_cli(["-p", str(relay.port), mode])
    assert r.returncode == 0
    relay.thread.join(timeout=10 * SLOW)
    batches = 5  # 50 keys in steps of 10
    first = 0 if mode == "--scan" else 1 + 1  # DBSIZE, the first SCAN
    assert relay.bursts == first + batches * per_batch
