"""vorn-devserver key migration over raw sockets, independent of the client:
DUMP / RESTORE and their payload, MIGRATE between nodes of one process (in
memory) and of separate processes (TCP), value digests, the slot migration
sequence with ASK and epochs, and the hooks that leave slots half moved."""
import struct
import time

import pytest

from conftest import (SLOW, Err, RawConn, build_cluster, cluster_nodes_text, cluster_views_agree,
                      free_port, wait_until)

ZERO = b"0" * 40


def fnv1a(data):
    h = 1469598103934665603
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


def payload(body):
    """A payload with a valid trailer around any body (type byte first)."""
    body = body + struct.pack("<H", 1)
    return body + struct.pack("<Q", fnv1a(body))


def fill_every_type(c):
    """Keys of every type on c; returns their names."""
    c.cmd("SET", "str", b"a\x00b\xff")
    c.cmd("RPUSH", "list", "x", "", "y")
    c.cmd("SADD", "set", "m1", "m2", "m3")
    c.cmd("HSET", "hash", "f1", "v1", "f2", "")
    c.cmd("ZADD", "zset", "1.5", "a", "-inf", "b", "3", "c")
    c.cmd("XADD", "stream", "5-1", "f", "v")
    c.cmd("XADD", "stream", "7-0", "g", "w", "h", "x")
    c.cmd("SET", "ttl", "soon", "PX", 60000)
    return ["str", "list", "set", "hash", "zset", "stream", "ttl"]


# ---- pairs of instances: a source with keys and a target that takes them ----

@pytest.fixture(params=["memory", "tcp"])
def pair(request, start_cluster_nodes):
    """(source, target, target port): two cluster nodes of one process (the
    transfer happens in memory) or of two processes (over TCP), with a
    password; the target owns every slot, the source holds keys anyway."""
    if request.param == "memory":
        srv = start_cluster_nodes(2, "--password", "pw")
        ports = srv.cluster_ports
    else:
        ports = [start_cluster_nodes(1, "--password", "pw").port for _ in range(2)]
    src, dst = RawConn(port=ports[0]), RawConn(port=ports[1])
    for c in (src, dst):
        assert c.cmd("AUTH", "pw") == "OK"
        assert c.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON") == "OK"
    assert dst.cmd("CLUSTER", "ADDSLOTSRANGE", 0, 16383) == "OK"
    return src, dst, ports[1]


def test_migrate_moves_every_type_with_its_value_and_time_to_live(pair):
    src, dst, port = pair
    keys = fill_every_type(src)
    digests = src.cmd("DEBUG", "DIGEST-VALUE", *keys)
    assert ZERO not in digests and len(set(digests)) == len(keys)
    assert src.cmd("MIGRATE", "127.0.0.1", port, "", 0, 5000, "AUTH", "pw",
                   "KEYS", *keys, "missing") == "OK"
    assert dst.cmd("DEBUG", "DIGEST-VALUE", *keys) == digests
    assert src.cmd("DEBUG", "DIGEST-VALUE", *keys) == [ZERO] * len(keys)
    assert src.cmd("DBSIZE") == 0
    assert 55000 < dst.cmd("PTTL", "ttl") <= 60000 and dst.cmd("PTTL", "str") == -1
    assert dst.cmd("GET", "str") == b"a\x00b\xff"
    assert dst.cmd("XRANGE", "stream", "-", "+") == [[b"5-1", [b"f", b"v"]],
                                                    [b"7-0", [b"g", b"w", b"h", b"x"]]]
    assert dst.cmd("ZRANGE", "zset", 0, -1, "WITHSCORES") == [b"b", b"-inf", b"a", b"1.5",
                                                              b"c", b"3"]
    # Nothing left to move.
    assert src.cmd("MIGRATE", "127.0.0.1", port, "str", 0, 5000, "AUTH", "pw") == "NOKEY"
    assert src.cmd("MIGRATE", "127.0.0.1", port, "", 0, 5000, "KEYS", "a", "b") == "NOKEY"


RELAY = "ERR Target instance replied with error: "
BUSY = RELAY + "BUSYKEY Target key name already exists."


def test_migrate_options_and_the_targets_answers(pair):
    src, dst, port = pair
    target = ("127.0.0.1", port)
    # (target's value of k before, MIGRATE words after the timeout, reply,
    #  k left on the source, k on the target afterwards)
    cases = [
        (None, ["AUTH", "pw"], "OK", None, b"src"),
        (None, ["AUTH2", "default", "pw"], "OK", None, b"src"),
        (None, ["COPY", "AUTH", "pw"], "OK", b"src", b"src"),
        (b"old", ["AUTH", "pw"], BUSY, b"src", b"old"),
        (b"old", ["REPLACE", "AUTH", "pw"], "OK", None, b"src"),
        (b"old", ["AUTH", "pw", "COPY", "REPLACE"], "OK", b"src", b"src"),
        (None, [], RELAY + "NOAUTH Authentication required.", b"src", None),
        (None, ["AUTH", "no"],
         RELAY + "WRONGPASS invalid username-password pair or user is disabled.", b"src", None),
        (None, ["AUTH2", "nobody", "pw"],
         RELAY + "WRONGPASS invalid username-password pair or user is disabled.", b"src", None),
    ]
    for before, words, reply, left, after in cases:
        for c in (src, dst):
            c.cmd("DEL", "k")
        src.cmd("SET", "k", "src")
        if before is not None:
            dst.cmd("SET", "k", before)
        assert src.cmd("MIGRATE", *target, "k", 0, 5000, *words) == reply, words
        assert (src.cmd("GET", "k"), dst.cmd("GET", "k")) == (left, after), words


def test_migrate_of_several_keys_moves_those_the_target_took(pair):
    src, dst, port = pair
    for k in ("a", "b", "c"):
        src.cmd("SET", k, "new-" + k)
    dst.cmd("SET", "b", "old-b")
    assert src.cmd("MIGRATE", "127.0.0.1", port, "", 0, 5000, "AUTH", "pw",
                   "KEYS", "a", "b", "c") == BUSY
    assert src.cmd("MGET", "a", "b", "c") == [None, b"new-b", None]
    assert dst.cmd("MGET", "a", "b", "c") == [b"new-a", b"old-b", b"new-c"]
    assert src.cmd("MIGRATE", "127.0.0.1", port, "", 0, 5000, "REPLACE", "AUTH", "pw",
                   "KEYS", "a", "b", "c") == "OK"
    assert dst.cmd("MGET", "a", "b", "c") == [b"new-a", b"new-b", b"new-c"]


def test_migrate_arguments_are_checked_before_anything_moves(pair):
    src, dst, port = pair
    src.cmd("SET", "k", "v")
    for words, reply in [
        (("x", "k", 0, 1000), "ERR value is not an integer or out of range"),
        ((port, "k", "zero", 1000), "ERR value is not an integer or out of range"),
        ((port, "k", 0, "soon"), "ERR value is not an integer or out of range"),
        ((port, "k", 0, 1000, "BOGUS"), "ERR syntax error"),
        ((port, "k", 0, 1000, "AUTH"), "ERR syntax error"),
        ((port, "k", 0, 1000, "KEYS", "k"),
         "ERR When using MIGRATE KEYS option, the key argument must be set to the empty string"),
    ]:
        assert src.cmd("MIGRATE", "127.0.0.1", *words) == Err(reply), words
    assert src.cmd("GET", "k") == b"v" and dst.cmd("EXISTS", "k") == 0


def test_migrate_between_plain_instances_selects_the_database(start_server):
    a, b = start_server(), start_server("--databases", "4", "--enable-test-hooks")
    src, dst = RawConn(port=a.port), RawConn(port=b.port)
    src.cmd("SELECT", 5)
    src.cmd("SET", "k", "v")
    assert src.cmd("MIGRATE", "127.0.0.1", b.port, "k", 3, 5000) == "OK"
    dst.cmd("SELECT", 3)
    assert dst.cmd("GET", "k") == b"v"
    src.cmd("SET", "k", "w")
    assert src.cmd("MIGRATE", "127.0.0.1", b.port, "k", 9, 5000) == \
        RELAY + "ERR DB index is out of range"
    # The cached connection forgot its database after the refusal.
    assert src.cmd("MIGRATE", "127.0.0.1", b.port, "k", 0, 5000) == "OK"
    dst.cmd("SELECT", 0)
    assert dst.cmd("GET", "k") == b"w"
    # A plain instance sends RESTORE (a cluster node RESTORE-ASKING), with
    # SELECT only when the connection's database changes.
    # (The test's own SELECTs are in the history as well.)
    sent = [b" ".join(h.split(b" ")[:2 if h.startswith(b'"SELECT"') else 1])
            for h in dst.cmd("DEVHOOK", "HISTORY") if not h.startswith((b'"DEVHOOK"', b'"GET"'))]
    assert sent == [b'"SELECT" "3"', b'"RESTORE"', b'"SELECT" "3"', b'"SELECT" "9"',
                    b'"SELECT" "0"', b'"RESTORE"', b'"SELECT" "0"']


def test_migrate_to_an_instance_that_cannot_answer(start_server, start_cluster_nodes):
    srv = start_cluster_nodes(3)
    ports = srv.cluster_ports
    src = RawConn(port=ports[0])
    src.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    src.cmd("SET", "k", "v")
    other = start_server("--enable-test-hooks")
    RawConn(port=other.port).cmd("DEVHOOK", "DELAY", "RESTORE-ASKING", 1, 3000)
    RawConn(port=ports[1]).cmd("DEVHOOK", "CLUSTER", "DOWN", ports[1], "HANG")
    RawConn(port=ports[2]).cmd("DEVHOOK", "CLUSTER", "DOWN", ports[2], "CLOSE")
    connect_err = "IOERR error or timeout connecting to the client"
    read_err = "IOERR error or timeout reading to target instance"
    # (port, timeout, reply, least and most seconds it may take)
    cases = [
        (free_port(), 1000, connect_err, 0, 1),
        (ports[2], 1000, connect_err, 0, 1),
        (ports[1], 500, read_err, 0.45, 2),
        (other.port, 500, read_err, 0.45, 2),
        (srv.cluster_bus_ports[1], 300, read_err, 0.25, 2),
        (ports[0], 1000, "ERR Target instance is this instance; nothing to migrate", 0, 1),
    ]
    for port, timeout, reply, least, most in cases:
        t0 = time.time()
        assert src.cmd("MIGRATE", "127.0.0.1", port, "k", 0, timeout) == Err(reply), port
        assert least <= time.time() - t0 <= most * SLOW, port
        assert src.cmd("GET", "k") == b"v"
    # A connection closed in the middle of the replies, and then a target
    # that answers again; the node reached earlier through "localhost".
    RawConn(port=other.port).cmd("DEVHOOK", "CLOSE", "RESTORE-ASKING", 1, 2)
    assert src.cmd("MIGRATE", "127.0.0.1", other.port, "k", 0, 1000) == Err(read_err)
    # The RESTOREs that timed out or lost their reply were applied all the same.
    assert src.cmd("MIGRATE", "localhost", other.port, "k", 0, 1000, "COPY") == BUSY
    assert src.cmd("MIGRATE", "localhost", other.port, "k", 0, 1000, "COPY", "REPLACE") == "OK"
    assert RawConn(port=ports[0]).cmd("DEVHOOK", "CLUSTER", "UP", ports[1]) == "OK"
    RawConn(port=ports[1]).cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    assert src.cmd("MIGRATE", "localhost", ports[1], "k", 0, 1000) == \
        RELAY + "CLUSTERDOWN Hash slot not served"


def test_migrate_retries_once_on_a_cached_connection_the_target_closed(start_server):
    a, b = start_server(), start_server("--enable-test-hooks")
    src, dst = RawConn(port=a.port), RawConn(port=b.port)
    src.cmd("SET", "k1", "v")
    assert src.cmd("MIGRATE", "127.0.0.1", b.port, "k1", 0, 1000) == "OK"
    ids = [l.split()[0] for l in bytes(dst.cmd("CLIENT", "LIST")).decode().splitlines()
           if "cmd=restore" in l]
    assert len(ids) == 1
    dst.cmd("CLIENT", "KILL", "ID", ids[0].split("=")[1])
    src.cmd("SET", "k2", "v")
    assert src.cmd("MIGRATE", "127.0.0.1", b.port, "k2", 0, 1000) == "OK"
    assert dst.cmd("MGET", "k1", "k2") == [b"v", b"v"]


# ---- RESTORE and its payload ----

def test_restore_of_dumped_values_and_its_errors(server):
    c = RawConn(port=server.port)
    keys = fill_every_type(c)
    dumps = {k: c.cmd("DUMP", k) for k in keys}
    digests = c.cmd("DEBUG", "DIGEST-VALUE", *keys)
    assert c.cmd("DUMP", "missing") is None
    for k in keys:
        assert c.cmd("RESTORE", "copy-" + k, 0, dumps[k]) == "OK"
    assert c.cmd("DEBUG", "DIGEST-VALUE", *["copy-" + k for k in keys]) == digests
    assert c.cmd("PTTL", "copy-ttl") == -1
    good = dumps["hash"]
    cases = [
        (("k", 0, good[:-1] + bytes([good[-1] ^ 1])),
         "ERR DUMP payload version or checksum are wrong"),
        (("k", 0, good[:5]), "ERR DUMP payload version or checksum are wrong"),
        (("k", 0, b""), "ERR DUMP payload version or checksum are wrong"),
        (("k", 0, payload(b"\x00\x05ab")), "ERR Bad data format"),          # string too short
        (("k", 0, payload(b"\x09")), "ERR Bad data format"),                # no such type
        (("k", 0, payload(b"\x01\xff\xff\xff\xff\x0f")), "ERR Bad data format"),  # huge count
        (("k", 0, payload(b"\x02\x02\x01a\x01a")), "ERR Bad data format"),  # a member twice
        (("k", 0, payload(b"\x00\x01a!")), "ERR Bad data format"),          # bytes left over
        (("k", 0, payload(b"\x03\x00")), "ERR Bad data format"),              # an empty hash
        (("k", 0, payload(b"\x05\x01\x00\x01\x02\x00\x00")), "ERR Bad data format"),  # beyond last ID
        (("k", 0, payload(b"\x01\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01")),
         "ERR Bad data format"),                                             # count overflows
        (("k", -1, good), "ERR Invalid TTL value, must be >= 0"),
        (("k", "x", good), "ERR value is not an integer or out of range"),
        (("k", 0, good, "NOPE"), "ERR syntax error"),
        (("k", 0, good, "FREQ", 300), "ERR Invalid FREQ value, must be >= 0 and <= 255"),
        (("str", 0, good), "BUSYKEY Target key name already exists."),
    ]
    for args, reply in cases:
        assert c.cmd("RESTORE", *args) == Err(reply), args
    assert c.cmd("EXISTS", "k") == 0
    assert c.cmd("RESTORE", "k", 0, payload(b"\x00\x02ok")) == "OK" and c.cmd("GET", "k") == b"ok"
    assert c.cmd("RESTORE", "str", 5000, good, "REPLACE", "IDLETIME", 10, "FREQ", 3) == "OK"
    assert c.cmd("TYPE", "str") == "hash" and 4000 < c.cmd("PTTL", "str") <= 5000
    now_ms = int(time.time() * 1000)
    assert c.cmd("RESTORE", "abs", now_ms + 60000, good, "ABSTTL") == "OK"
    assert 50000 < c.cmd("PTTL", "abs") <= 60000
    # A time already past replaces the old value with nothing.
    assert c.cmd("RESTORE", "abs", now_ms - 1000, good, "ABSTTL", "REPLACE") == "OK"
    assert c.cmd("EXISTS", "abs") == 0


# ---- value digests ----

def test_digest_value_tells_equal_values_from_different_ones(connect):
    c = connect()
    # Equal values, built differently.
    c.cmd("SADD", "s1", "a", "b", "c")
    c.cmd("SADD", "s2", "c", "a", "b")
    c.cmd("HSET", "h1", "f", "1", "g", "2")
    c.cmd("HSET", "h2", "g", "2", "f", "1")
    c.cmd("ZADD", "z1", 1, "a", 2, "b")
    c.cmd("ZADD", "z2", 2, "b", 1, "a")
    c.cmd("SET", "t1", "v", "EX", 100)
    c.cmd("SET", "t2", "v")
    for x, y in [("s1", "s2"), ("h1", "h2"), ("z1", "z2"), ("t1", "t2")]:
        dx, dy = c.cmd("DEBUG", "DIGEST-VALUE", x, y)
        assert dx == dy and len(dx) == 40 and dx != ZERO, (x, y)
        assert all(ch in b"0123456789abcdef" for ch in dx)
    # Different values that a careless rendering would mix up.
    c.cmd("RPUSH", "l1", b"a\xff", "b")
    c.cmd("RPUSH", "l2", "a", b"\xffb")
    c.cmd("RPUSH", "l3", "b", b"a\xff")
    c.cmd("SADD", "s3", b"a\xff", "b")
    c.cmd("HSET", "h3", b"a\xff", "b")
    c.cmd("HSET", "h4", "b", b"a\xff")
    c.cmd("SET", "str", b"a\xffb")
    c.cmd("SET", "empty", "")
    c.cmd("ZADD", "z3", 1, "a", 3, "b")
    c.cmd("XADD", "x1", "1-1", "f", "v")
    c.cmd("XADD", "x2", "1-2", "f", "v")
    names = ["l1", "l2", "l3", "s3", "h3", "h4", "str", "empty", "z1", "z3", "x1", "x2"]
    digests = c.cmd("DEBUG", "DIGEST-VALUE", *names)
    assert len(set(digests)) == len(names) and ZERO not in digests
    assert c.cmd("DEBUG", "DIGEST-VALUE", "missing", "str") == [ZERO, digests[6]]
    assert c.cmd("DEBUG", "DIGEST-VALUE") == []


# ---- moving a slot: marks, ASK, batches, ownership with epochs ----

def views(ports):
    """{port: {id: (flags, epoch, slot words)}} from every node's view."""
    out = {}
    for p in ports:
        nodes = {}
        for line in cluster_nodes_text(p).splitlines():
            f = line.split(" ")
            nodes[f[0]] = (f[2], int(f[6]), f[8:])
        out[p] = nodes
    return out


def owner_everywhere(ports, slot):
    """The ID every view gives as the slot's owner, or None while they differ."""
    owners = set()
    for nodes in views(ports).values():
        mine = [nid for nid, (_, _, slots) in nodes.items() if any(
            s == str(slot) or ("-" in s and not s.startswith("[") and
                               int(s.split("-")[0]) <= slot <= int(s.split("-")[1]))
            for s in slots)]
        owners.add(tuple(mine))
    return owners.pop()[0] if len(owners) == 1 and len(next(iter(owners))) == 1 else None


@pytest.fixture(params=["one process", "three processes"])
def trio(request, start_cluster_nodes):
    """Three masters (slots 0-5460, 5461-10922, 10923-16383) hosted by one
    process or by one process each; returns (ports, ids)."""
    if request.param == "one process":
        ports = start_cluster_nodes(3).cluster_ports
    else:
        ports = [start_cluster_nodes(1).port for _ in range(3)]
    return ports, build_cluster(ports)


def test_a_slot_moves_key_batch_by_key_batch_and_changes_owner_everywhere(trio):
    ports, ids = trio
    a, b, c = (RawConn(port=p) for p in ports)
    slot = a.cmd("CLUSTER", "KEYSLOT", "bar")
    assert slot == 5061
    keys = ["bar"] + [f"{{bar}}{i}" for i in range(24)]
    for k in keys:
        assert a.cmd("SET", k, "v-" + k) == "OK"
    a.cmd("RPUSH", "{bar}list", "x", "y")
    keys.append("{bar}list")
    digests = a.cmd("DEBUG", "DIGEST-VALUE", *keys)
    assert b.cmd("CLUSTER", "SETSLOT", slot, "IMPORTING", ids[0]) == "OK"
    assert a.cmd("CLUSTER", "SETSLOT", slot, "MIGRATING", ids[1]) == "OK"
    assert f"[{slot}->-{ids[1]}]" in cluster_nodes_text(ports[0])
    assert f"[{slot}-<-{ids[0]}]" in cluster_nodes_text(ports[1])
    ask = Err(f"ASK {slot} 127.0.0.1:{ports[1]}")
    moved_to_a = Err(f"MOVED {slot} 127.0.0.1:{ports[0]}")
    batches = []
    while True:
        batch = a.cmd("CLUSTER", "GETKEYSINSLOT", slot, 10)
        if not batch:
            break
        batches.append(len(batch))
        assert a.cmd("MIGRATE", "127.0.0.1", ports[1], "", 0, 5000, "KEYS", *batch) == "OK"
        # Moved keys are asked for on the target; keys still here are served.
        assert a.cmd("GET", batch[0]) == ask
        assert a.cmd("SET", batch[0], "new") == ask
        rest = a.cmd("CLUSTER", "GETKEYSINSLOT", slot, 1)
        if rest:
            assert a.cmd("EXISTS", rest[0]) == 1
            assert a.cmd("MGET", rest[0], batch[0]) == Err(
                "TRYAGAIN Multiple keys request during rehashing of slot")
        assert b.cmd("GET", batch[0]) == moved_to_a
        assert b.cmd("ASKING") == "OK" and b.cmd("EXISTS", batch[0]) == 1
        assert b.cmd("EXISTS", batch[0]) == moved_to_a  # ASKING covers one command
    assert batches == [10, 10, 6]
    assert (a.cmd("CLUSTER", "COUNTKEYSINSLOT", slot), b.cmd("CLUSTER", "COUNTKEYSINSLOT", slot)) \
        == (0, 26)
    epoch_before = views(ports)[ports[1]][ids[1]][1]
    for conn in (a, b, c):
        assert conn.cmd("CLUSTER", "SETSLOT", slot, "NODE", ids[1]) == "OK"
    assert wait_until(lambda: owner_everywhere(ports, slot) == ids[1])
    assert wait_until(lambda: cluster_views_agree(ports))
    # The new owner took a config epoch of its own, above every other, and
    # every view learns it.
    def epochs(port):
        return {nid: e for nid, (_, e, _) in views(ports)[port].items()}
    for p in ports:
        assert wait_until(lambda: epochs(p)[ids[1]] > epoch_before), p
        e = epochs(p)
        assert e[ids[1]] == max(e.values()) and len(set(e.values())) == 3
    for p in ports:
        assert "[" not in cluster_nodes_text(p)
    assert b.cmd("DEBUG", "DIGEST-VALUE", *keys) == digests
    assert a.cmd("GET", "bar") == Err(f"MOVED {slot} 127.0.0.1:{ports[1]}")
    assert c.cmd("GET", "bar") == Err(f"MOVED {slot} 127.0.0.1:{ports[1]}")
    # The neighbouring slots did not move.
    assert owner_everywhere(ports, slot - 1) == ids[0] and owner_everywhere(ports, slot + 1) \
        == ids[0]


def test_a_slot_keeps_its_owner_while_keys_remain(trio):
    ports, ids = trio
    a, b = RawConn(port=ports[0]), RawConn(port=ports[1])
    a.cmd("SET", "bar", "v")
    assert a.cmd("CLUSTER", "SETSLOT", 5061, "NODE", ids[1]) == Err(
        "ERR Can't assign hashslot 5061 to a different node while I still hold keys for this "
        "hash slot.")
    # A node that neither owns nor imports the slot refuses the keys, and so
    # does a slot nobody serves.
    assert a.cmd("MIGRATE", "127.0.0.1", ports[1], "bar", 0, 5000) == \
        RELAY + f"MOVED 5061 127.0.0.1:{ports[0]}"
    b.cmd("DEVHOOK", "CLUSTER", "UNCOVER", 5061)
    assert a.cmd("MIGRATE", "127.0.0.1", ports[1], "bar", 0, 5000) == \
        RELAY + "CLUSTERDOWN Hash slot not served"
    assert a.cmd("CLUSTER", "COUNTKEYSINSLOT", 5061) == 1


def test_migrated_keys_follow_the_replicas_of_both_sides(start_cluster_nodes):
    srv = start_cluster_nodes(4)
    ports = srv.cluster_ports
    ids = build_cluster(ports, replicas=1)  # masters 0, 1; replicas 2 -> 0, 3 -> 1
    m0, m1, r0, r1 = (RawConn(port=p) for p in ports)
    for r in (r0, r1):
        r.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    m0.cmd("SET", "bar", "v", "EX", 100)
    assert wait_until(lambda: r0.cmd("GET", "bar") == b"v")
    m1.cmd("CLUSTER", "SETSLOT", 5061, "IMPORTING", ids[0])
    m0.cmd("CLUSTER", "SETSLOT", 5061, "MIGRATING", ids[1])
    assert m0.cmd("MIGRATE", "127.0.0.1", ports[1], "bar", 0, 5000) == "OK"
    assert wait_until(lambda: r1.cmd("GET", "bar") == b"v")
    assert 0 < r1.cmd("TTL", "bar") <= 100
    assert wait_until(lambda: r0.cmd("EXISTS", "bar") == 0)


# ---- slots left open or uncovered, and their repair, command by command ----

SLOT = 5061  # the slot of "bar", owned by the first of three masters


@pytest.fixture
def broken(start_cluster_nodes):
    """Three masters of one process, 12 keys in SLOT on the first; returns
    (ports, ids, conns, keys, digests)."""
    ports = start_cluster_nodes(3).cluster_ports
    ids = build_cluster(ports)
    conns = [RawConn(port=p) for p in ports]
    keys = [f"{{bar}}{i}" for i in range(12)]
    for k in keys:
        conns[0].cmd("SET", k, "v" + k)
    return ports, ids, conns, keys, conns[0].cmd("DEBUG", "DIGEST-VALUE", *keys)


def open_marks(port):
    """The open-slot words of the node's own line."""
    line = next(l for l in cluster_nodes_text(port).splitlines() if "myself" in l)
    return [w for w in line.split(" ") if w.startswith("[")]


def move_keys(src, dst_port, slot):
    """Moves every key of the slot from src, ten at a time."""
    while batch := src.cmd("CLUSTER", "GETKEYSINSLOT", slot, 10):
        assert src.cmd("MIGRATE", "127.0.0.1", dst_port, "", 0, 5000, "KEYS", *batch) == "OK"


def assert_whole(ports, owner, keys, digests):
    """One owner in every view, nothing open, every key there unchanged."""
    assert wait_until(lambda: owner_everywhere(ports, SLOT) == owner[1])
    assert wait_until(lambda: cluster_views_agree(ports))
    assert all(open_marks(p) == [] for p in ports)
    assert owner[0].cmd("DEBUG", "DIGEST-VALUE", *keys) == digests
    assert owner[0].cmd("CLUSTER", "COUNTKEYSINSLOT", SLOT) == len(keys)


def test_an_interrupted_move_is_finished(broken):
    ports, ids, (a, b, c), keys, digests = broken
    b.cmd("CLUSTER", "SETSLOT", SLOT, "IMPORTING", ids[0])
    a.cmd("CLUSTER", "SETSLOT", SLOT, "MIGRATING", ids[1])
    assert a.cmd("MIGRATE", "127.0.0.1", ports[1], "", 0, 5000, "KEYS", *keys[:5]) == "OK"
    assert (open_marks(ports[0]), open_marks(ports[1])) == ([f"[{SLOT}->-{ids[1]}]"],
                                                            [f"[{SLOT}-<-{ids[0]}]"])
    assert (a.cmd("CLUSTER", "COUNTKEYSINSLOT", SLOT), b.cmd("CLUSTER", "COUNTKEYSINSLOT", SLOT)) \
        == (7, 5)
    move_keys(a, ports[1], SLOT)
    for conn in (a, b, c):
        assert conn.cmd("CLUSTER", "SETSLOT", SLOT, "NODE", ids[1]) == "OK"
    assert_whole(ports, (b, ids[1]), keys, digests)


def test_keys_of_an_importing_node_go_back_to_the_owner(broken):
    ports, ids, (a, b, c), keys, digests = broken
    b.cmd("CLUSTER", "SETSLOT", SLOT, "IMPORTING", ids[0])
    assert b.cmd("ASKING") == "OK" and b.cmd("SET", "{bar}extra", "e") == "OK"
    digests = digests + b.cmd("DEBUG", "DIGEST-VALUE", "{bar}extra")
    assert open_marks(ports[1]) == [f"[{SLOT}-<-{ids[0]}]"] and open_marks(ports[0]) == []
    move_keys(b, ports[0], SLOT)
    assert b.cmd("CLUSTER", "SETSLOT", SLOT, "STABLE") == "OK"
    for conn in (b, c):
        assert conn.cmd("CLUSTER", "SETSLOT", SLOT, "NODE", ids[0]) == "OK"
    assert_whole(ports, (a, ids[0]), keys + ["{bar}extra"], digests)


@pytest.mark.parametrize("where", ["owner", "non-owner", "two nodes"])
def test_a_slot_marked_migrating_without_a_target_is_closed(broken, where):
    ports, ids, (a, b, c), keys, digests = broken
    if where in ("owner", "two nodes"):
        assert a.cmd("CLUSTER", "SETSLOT", SLOT, "MIGRATING", ids[1]) == "OK"
    if where in ("non-owner", "two nodes"):
        # CLUSTER SETSLOT refuses this on a node that does not own the slot.
        assert c.cmd("CLUSTER", "SETSLOT", SLOT, "MIGRATING", ids[1]) == Err(
            f"ERR I'm not the owner of hash slot {SLOT}")
        assert c.cmd("DEVHOOK", "CLUSTER", "OPEN", SLOT, "MIGRATING", ports[1]) == "OK"
        assert open_marks(ports[2]) == [f"[{SLOT}->-{ids[1]}]"]
        assert c.cmd("CLUSTER", "GETKEYSINSLOT", SLOT, 10) == []
    marked = [p for p in ports if open_marks(p)]
    assert len(marked) == (2 if where == "two nodes" else 1)
    time.sleep(0.3)  # marks are the node's own: gossip leaves them
    assert [p for p in ports if open_marks(p)] == marked
    for p in marked:
        assert RawConn(port=p).cmd("CLUSTER", "SETSLOT", SLOT, "STABLE") == "OK"
    assert_whole(ports, (a, ids[0]), keys, digests)


def test_open_hook_arguments(broken):
    ports, ids, (a, b, c), keys, digests = broken
    for args, reply in [
        ((SLOT, "MIGRATING"), "ERR syntax error"),
        ((16384, "MIGRATING", ids[1]), "ERR Invalid or out of range slot"),
        ((SLOT, "LEAVING", ids[1]), "ERR syntax error"),
        ((SLOT, "IMPORTING", "f" * 40), "ERR I don't know about node " + "f" * 40),
        ((SLOT, "IMPORTING", ids[0]), "ERR a slot cannot be open towards the node itself"),
    ]:
        assert a.cmd("DEVHOOK", "CLUSTER", "OPEN", *args) == Err(reply), args
    # One mark per slot and node: importing replaces migrating.
    assert a.cmd("DEVHOOK", "CLUSTER", "OPEN", SLOT, "MIGRATING", ids[1]) == "OK"
    assert a.cmd("DEVHOOK", "CLUSTER", "OPEN", SLOT, "IMPORTING", ids[2]) == "OK"
    assert open_marks(ports[0]) == [f"[{SLOT}-<-{ids[2]}]"]


def test_an_uncovered_slot_gets_an_owner_everywhere(broken):
    ports, ids, (a, b, c), keys, digests = broken
    for k in keys:
        a.cmd("DEL", k)
    a.cmd("DEVHOOK", "CLUSTER", "UNCOVER", SLOT)
    assert wait_until(lambda: owner_everywhere(ports, SLOT) is None)
    # What the coverage repair sends to the node it picks.
    for cmd in (("MULTI",), ("CLUSTER", "DELSLOTS", SLOT), ("CLUSTER", "ADDSLOTS", SLOT),
                ("CLUSTER", "BUMPEPOCH")):
        c.cmd(*cmd)
    deleted, added, bumped = c.cmd("EXEC")
    assert deleted == Err(f"ERR Slot {SLOT} is already unassigned") and added == "OK"
    assert bumped == "STILL 3"  # the third master holds the highest epoch already
    # Claimed anew, the slot is no longer held unowned: every view learns it.
    assert wait_until(lambda: owner_everywhere(ports, SLOT) == ids[2])
    assert wait_until(lambda: cluster_views_agree(ports))


@pytest.mark.parametrize("uncovered", [True, False])
def test_keys_of_one_slot_on_two_masters_end_on_one(broken, uncovered):
    ports, ids, (a, b, c), keys, digests = broken
    b.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    extra = [f"{{bar}}b{i}" for i in range(20)]
    for k in extra:
        b.cmd("SET", k, "v" + k)
    digests = digests + b.cmd("DEBUG", "DIGEST-VALUE", *extra)
    b.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "OFF")
    if uncovered:
        a.cmd("DEVHOOK", "CLUSTER", "UNCOVER", SLOT)
    assert [len(x.cmd("CLUSTER", "GETKEYSINSLOT", SLOT, 1)) for x in (a, b, c)] == [1, 1, 0]
    # B has the most keys: it becomes the owner, A's keys follow.
    b.cmd("MULTI")
    b.cmd("CLUSTER", "DELSLOTS", SLOT)
    b.cmd("CLUSTER", "ADDSLOTS", SLOT)
    b.cmd("CLUSTER", "SETSLOT", SLOT, "STABLE")
    b.cmd("CLUSTER", "BUMPEPOCH")
    replies = b.cmd("EXEC")
    assert replies[1:3] == ["OK", "OK"] and str(replies[3]).startswith("BUMPED")
    if not uncovered:
        a.cmd("CLUSTER", "DELSLOTS", SLOT)
    assert a.cmd("CLUSTER", "SETSLOT", SLOT, "NODE", ids[1]) == "OK"
    if uncovered:
        assert a.cmd("CLUSTER", "SETSLOT", SLOT, "IMPORTING", ids[1]) == "OK"
    move_keys(a, ports[1], SLOT)
    assert a.cmd("CLUSTER", "SETSLOT", SLOT, "STABLE") == "OK"
    assert_whole(ports, (b, ids[1]), keys + extra, digests)


def test_a_slot_a_node_is_made_to_believe_it_owns_stays_its_belief(broken):
    ports, ids, (a, b, c), keys, digests = broken
    assert b.cmd("DEVHOOK", "CLUSTER", "SKEW", SLOT, ids[1]) == "OK"
    assert b.cmd("CLUSTER", "SETSLOT", SLOT, "MIGRATING", ids[2]) == "OK"
    time.sleep(0.3)
    # The others still see the real owner, which can still open the slot.
    for p in (ports[0], ports[2]):
        assert str(SLOT) not in " ".join(views([p])[p][ids[1]][2])
    assert a.cmd("CLUSTER", "SETSLOT", SLOT, "MIGRATING", ids[2]) == "OK"
    assert a.cmd("CLUSTER", "SETSLOT", SLOT, "STABLE") == "OK"
    assert b.cmd("CLUSTER", "SETSLOT", SLOT, "STABLE") == "OK"
    # Back to the real owner before gossip takes over again.
    assert b.cmd("DEVHOOK", "CLUSTER", "SKEW", SLOT, ids[0]) == "OK"
    assert b.cmd("DEVHOOK", "CLUSTER", "RELEASE") == "OK"
    assert_whole(ports, (a, ids[0]), keys, digests)
