"""vorn-devserver cluster mode over raw sockets, independent of the client:
node state, the CLUSTER commands, gossip between nodes of one process and of
separate processes, redirections and the cluster test hooks."""
import re
import socket
import subprocess
import time

import pytest

from conftest import (SLOW, Err, RawConn, bin_path, build_cluster, cluster_nodes_text,
                      cluster_views_agree, wait_until)

LINE = re.compile(r"^([0-9a-f]{40}) (\S+):(\d+)@(\d+) (\S+) (\S+) (\d+) (\d+) (\d+) "
                  r"(connected|disconnected)((?: \S+)*)$")


def parse_nodes(text):
    """{id: dict} of a CLUSTER NODES text; every line must be well formed."""
    nodes = {}
    for line in text.splitlines():
        m = LINE.match(line)
        assert m, f"malformed CLUSTER NODES line {line!r}"
        nid, ip, port, bus, flags, master, ping, pong, epoch, link, rest = m.groups()
        nodes[nid] = dict(ip=ip, port=int(port), bus=int(bus), flags=flags.split(","),
                          master=master, epoch=int(epoch), link=link, slots=rest.split())
    return nodes


def info_fields(text):
    return dict(l.split(":", 1) for l in bytes(text).decode().split("\r\n") if ":" in l)


def cluster_info(port):
    return info_fields(RawConn(port=port).cmd("CLUSTER", "INFO"))


def myself(port):
    return next(v | {"id": k} for k, v in parse_nodes(cluster_nodes_text(port)).items()
                if "myself" in v["flags"])


@pytest.fixture
def three(start_cluster_nodes):
    """A process with three nodes joined as a 3-master cluster."""
    srv = start_cluster_nodes(3)
    ids = build_cluster(srv.cluster_ports)
    return srv, srv.cluster_ports, ids


# ---- one node ----

@pytest.mark.parametrize("args,message", [
    (["--cluster-enabled", "maybe"], "--cluster-enabled takes yes or no"),
    (["--cluster-nodes", "0"], "invalid --cluster-nodes value (1 to 1000)"),
    (["--cluster-nodes", "x"], "invalid --cluster-nodes value (1 to 1000)"),
    (["--cluster-nodes"], "--cluster-nodes needs a value"),
])
def test_cluster_option_errors(args, message):
    p = subprocess.run([bin_path("vorn-devserver"), "--port", "0"] + args,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=10 * SLOW)
    assert (p.returncode, p.stdout) == (1, b"")
    assert p.stderr.decode() == f"vorn-devserver: {message}\n"


def test_lone_node_identity_and_views(start_server):
    srv = start_server("--cluster-enabled", "yes", "--enable-test-hooks")
    assert srv.cluster_ports == [srv.port] and len(srv.cluster_bus_ports) == 1
    c = RawConn(port=srv.port)
    nid = bytes(c.cmd("CLUSTER", "MYID")).decode()
    assert re.fullmatch(r"[0-9a-f]{40}", nid)
    text = cluster_nodes_text(srv.port)
    assert text == (f"{nid} 127.0.0.1:{srv.port}@{srv.cluster_bus_ports[0]} "
                    f"myself,master - 0 0 0 connected\n")
    info = cluster_info(srv.port)
    assert (info["cluster_state"], info["cluster_slots_assigned"], info["cluster_known_nodes"],
            info["cluster_size"], info["cluster_current_epoch"]) == ("fail", "0", "1", "0", "0")
    assert "cluster_enabled:1\r\n" in bytes(c.cmd("INFO")).decode()
    assert c.cmd("CONFIG", "GET", "cluster-port") == [b"cluster-port",
                                                      str(srv.cluster_bus_ports[0]).encode()]
    # The bus port really listens.
    socket.create_connection(("127.0.0.1", srv.cluster_bus_ports[0]), timeout=2).close()
    assert c.cmd("CONFIG", "SET", "cluster-node-timeout", "5000") == "OK"
    assert c.cmd("CONFIG", "GET", "cluster-node-timeout") == [b"cluster-node-timeout", b"5000"]
    assert c.cmd("CONFIG", "REWRITE") == "OK"


def test_plain_instance_is_no_cluster_node(server):
    c = RawConn(port=server.port)
    assert "cluster_enabled:0\r\n" in bytes(c.cmd("INFO")).decode()
    assert c.cmd("CLUSTER", "NODES") == Err("ERR This instance has cluster support disabled")
    assert c.cmd("CONFIG", "REWRITE").startswith("ERR")
    assert c.cmd("SET", "foo", "x") == "OK"  # no redirections


def test_cluster_nodes_option_gives_independent_nodes(start_cluster_nodes):
    srv = start_cluster_nodes(4)
    ports = srv.cluster_ports
    assert srv.port == ports[0] and len(set(ports + srv.cluster_bus_ports)) == 8
    ids = {bytes(RawConn(port=p).cmd("CLUSTER", "MYID")) for p in ports}
    assert len(ids) == 4
    # Own key spaces, configurations and hooks (history) per node.
    a, b = RawConn(port=ports[0]), RawConn(port=ports[1])
    a.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    assert a.cmd("SET", "k", "v") == "OK"
    assert (a.cmd("DBSIZE"), b.cmd("DBSIZE")) == (1, 0)
    a.cmd("CONFIG", "SET", "cluster-node-timeout", "1234")
    assert b.cmd("CONFIG", "GET", "cluster-node-timeout")[1] == b"15000"
    assert b.cmd("CONFIG", "GET", "port")[1] == str(ports[1]).encode()
    hist = [bytes(h) for h in b.cmd("DEVHOOK", "HISTORY")]
    assert not any(b'"SET"' in h for h in hist)
    # A hook set on one node acts on that node only (a refused REWRITE).
    assert a.cmd("DEVHOOK", "FAIL", "CONFIG REWRITE", 0, "ERR rewrite refused") == "OK"
    assert a.cmd("CONFIG", "REWRITE") == Err("ERR rewrite refused")
    assert b.cmd("CONFIG", "REWRITE") == "OK"
    assert "tcp_port:%d\r\n" % ports[1] in bytes(b.cmd("INFO")).decode()
    # Each node lists its own clients only, not its peers' nor the bus links.
    listed = bytes(b.cmd("CLIENT", "LIST")).decode().splitlines()
    assert len(listed) == 1 and f"laddr=127.0.0.1:{ports[1]} " in listed[0]
    assert info_fields(b.cmd("INFO"))["connected_clients"] == "1"
    assert b.cmd("SELECT", 1) == Err("ERR SELECT is not allowed in cluster mode")
    assert b.cmd("SELECT", 0) == "OK"
    # Command counts are per node too (what a client sent to each).
    before = info_fields(b.cmd("INFO"))["total_commands_processed"]
    for _ in range(5):
        a.cmd("PING")
    assert info_fields(b.cmd("INFO"))["total_commands_processed"] == str(int(before) + 1)


@pytest.mark.parametrize("key,slot", [
    ("123456789", 12739), ("foo", 12182), ("bar", 5061), ("", 0),
    ("{user1000}.following", 3443), ("{user1000}.followers", 3443),
    ("foo{}{bar}", None), ("foo{{bar}}zap", "{bar"), ("foo{bar}{zap}", "bar"),
])
def test_keyslot_hash_tags(start_server, key, slot):
    srv = start_server("--cluster-enabled", "yes")
    c = RawConn(port=srv.port)
    got = c.cmd("CLUSTER", "KEYSLOT", key)
    if slot is None:  # an empty tag hashes the whole key
        slot = key
    if isinstance(slot, str):
        slot = c.cmd("CLUSTER", "KEYSLOT", slot)
    assert got == slot


def test_slot_assignment_and_errors(start_cluster_nodes):
    srv = start_cluster_nodes(1)
    c = RawConn(port=srv.port)
    cases = [
        (("ADDSLOTS", 0, 1, 2), "OK"),
        (("ADDSLOTS", 2), "ERR Slot 2 is already busy"),
        (("ADDSLOTS", 5, 5), "ERR Slot 5 specified multiple times"),
        (("ADDSLOTS", 16384), "ERR Invalid or out of range slot"),
        (("ADDSLOTS", "x"), "ERR Invalid or out of range slot"),
        (("ADDSLOTSRANGE", 10, 20, 100, 100), "OK"),
        (("DELSLOTS", 3), "ERR Slot 3 is already unassigned"),
        (("DELSLOTS", 1), "OK"),
        (("DELSLOTSRANGE", 15, 20), "OK"),
        (("COUNTKEYSINSLOT", 16384), "ERR Invalid slot"),
        (("GETKEYSINSLOT", 0, -1), "ERR Invalid number of keys"),
        (("SETSLOT", 0, "MIGRATING", "0" * 40), "ERR I don't know about node " + "0" * 40),
        (("SETSLOT", 0, "BOGUS"), "ERR syntax error"),
        (("NOSUCH",), "ERR unknown subcommand 'NOSUCH'. Try CLUSTER HELP."),
        (("MEET", "not-an-ip", 7000), "ERR Invalid node address specified: not-an-ip:7000"),
        (("SET-CONFIG-EPOCH", -1), "ERR Invalid config epoch specified: -1"),
        (("REPLICATE", "f" * 40), "ERR Unknown node " + "f" * 40),
        (("FORGET", "f" * 40), "ERR Unknown node " + "f" * 40),
    ]
    for args, want in cases:
        assert c.cmd("CLUSTER", *args) == want, args
    assert myself(srv.port)["slots"] == ["0", "2", "10-14", "100"]
    assert cluster_info(srv.port)["cluster_slots_assigned"] == "8"
    me = myself(srv.port)["id"]
    assert c.cmd("CLUSTER", "REPLICATE", me) == "ERR Can't replicate myself"
    assert c.cmd("CLUSTER", "FORGET", me) == "ERR I tried hard but I can't forget myself..."


def test_keys_per_slot(start_cluster_nodes):
    srv = start_cluster_nodes(1)
    c = RawConn(port=srv.port)
    c.cmd("CLUSTER", "ADDSLOTSRANGE", 0, 16383)
    keys = [f"{{tag}}{i}" for i in range(5)]
    for k in keys + ["other"]:
        assert c.cmd("SET", k, "v") == "OK"
    slot = c.cmd("CLUSTER", "KEYSLOT", "tag")
    assert c.cmd("CLUSTER", "COUNTKEYSINSLOT", slot) == 5
    some = c.cmd("CLUSTER", "GETKEYSINSLOT", slot, 3)
    assert len(some) == 3 and set(some) <= {k.encode() for k in keys}
    assert sorted(c.cmd("CLUSTER", "GETKEYSINSLOT", slot, 10)) == sorted(k.encode() for k in keys)
    assert c.cmd("CLUSTER", "COUNTKEYSINSLOT", (slot + 1) % 16384) == 0
    # The counts follow deletions, renames, expiry and flushes.
    c.cmd("DEL", keys[0])
    assert c.cmd("RENAME", keys[1], "{tag}renamed") == "OK"
    assert c.cmd("RENAME", "{tag}renamed", "elsewhere") == Err(
        "CROSSSLOT Keys in request don't hash to the same slot")
    c.cmd("PEXPIRE", keys[2], 1)
    time.sleep(0.3)
    assert c.cmd("CLUSTER", "COUNTKEYSINSLOT", slot) == 3
    assert sorted(c.cmd("CLUSTER", "GETKEYSINSLOT", slot, 10)) == sorted(
        k.encode() for k in keys[3:] + ["{tag}renamed"])
    # A master holding keys cannot reset.
    assert c.cmd("CLUSTER", "RESET") == Err(
        "ERR CLUSTER RESET can't be called with master nodes containing keys")
    c.cmd("FLUSHALL")
    assert c.cmd("CLUSTER", "COUNTKEYSINSLOT", slot) == 0
    assert c.cmd("CLUSTER", "RESET") == "OK"


# ---- joining ----

def test_three_nodes_join_and_agree(three):
    srv, ports, ids = three
    for i, p in enumerate(ports):
        nodes = parse_nodes(cluster_nodes_text(p))
        assert set(nodes) == set(ids)
        me = nodes[ids[i]]
        assert me["flags"] == ["myself", "master"] and me["port"] == p
        assert me["bus"] == srv.cluster_bus_ports[i]
        for nid, n in nodes.items():
            assert n["link"] == "connected" and n["master"] == "-"
            assert n["epoch"] == ids.index(nid) + 1
        assert [nodes[x]["slots"] for x in ids] == [["0-5460"], ["5461-10922"],
                                                     ["10923-16383"]]
        info = cluster_info(p)
        assert (info["cluster_state"], info["cluster_known_nodes"], info["cluster_size"],
                info["cluster_current_epoch"], info["cluster_my_epoch"]) == (
                    "ok", "3", "3", "3", str(i + 1))
    slots = RawConn(port=ports[1]).cmd("CLUSTER", "SLOTS")
    assert sorted(slots) == [[0, 5460, [b"127.0.0.1", ports[0], ids[0].encode()]],
                             [5461, 10922, [b"127.0.0.1", ports[1], ids[1].encode()]],
                             [10923, 16383, [b"127.0.0.1", ports[2], ids[2].encode()]]]


def test_views_converge_within_a_second(start_cluster_nodes):
    srv = start_cluster_nodes(6)
    ports = srv.cluster_ports
    conns = [RawConn(port=p) for p in ports]
    for i, c in enumerate(conns[:3]):
        c.cmd("CLUSTER", "ADDSLOTSRANGE", i * 5000, i * 5000 + 99)
    t0 = time.time()
    for c in conns[1:]:
        assert c.cmd("CLUSTER", "MEET", "127.0.0.1", ports[0]) == "OK"
    assert wait_until(lambda: cluster_views_agree(ports), timeout=3, step=0.02)
    assert 0 < time.time() - t0 < 2.5 * SLOW  # about a second, on a loaded machine
    # Everybody learnt everybody, not only the meeting point.
    for p in ports:
        assert cluster_info(p)["cluster_known_nodes"] == "6"


def test_handshake_shows_until_the_node_answers(start_cluster_nodes):
    srv = start_cluster_nodes(2)
    a, b = srv.cluster_ports
    RawConn(port=a).cmd("DEVHOOK", "CLUSTER", "DOWN", b, "HANG")
    RawConn(port=a).cmd("CLUSTER", "MEET", "127.0.0.1", b)
    time.sleep(0.3)
    lines = cluster_nodes_text(a).splitlines()
    other = [l for l in lines if "myself" not in l]
    assert len(other) == 1 and " handshake " in f" {other[0].split()[2].replace(',', ' ')} "
    assert other[0].split()[7] == "disconnected"
    RawConn(port=a).cmd("DEVHOOK", "CLUSTER", "UP", b)
    assert wait_until(lambda: cluster_views_agree([a, b]))


def test_separate_processes_meet_over_their_bus_ports(start_server):
    for extra in ([], ["--password", "pw"]):
        s1 = start_server("--cluster-enabled", "yes", *extra)
        s2 = start_server("--cluster-enabled", "yes", *extra)
        c1, c2 = RawConn(port=s1.port), RawConn(port=s2.port)
        if extra:
            c1.cmd("AUTH", "pw")
            c2.cmd("AUTH", "pw")
        c1.cmd("CLUSTER", "ADDSLOTSRANGE", 0, 8191)
        c2.cmd("CLUSTER", "ADDSLOTSRANGE", 8192, 16383)
        assert c2.cmd("CLUSTER", "MEET", "127.0.0.1", s1.port) == "OK"

        def agreed():
            t1 = bytes(c1.cmd("CLUSTER", "NODES")).decode()
            t2 = bytes(c2.cmd("CLUSTER", "NODES")).decode()
            n1, n2 = parse_nodes(t1), parse_nodes(t2)
            return (len(n1) == len(n2) == 2 and "handshake" not in t1 + t2 and
                    {k: v["slots"] for k, v in n1.items()} ==
                    {k: v["slots"] for k, v in n2.items()})
        assert wait_until(agreed), extra
        peer = next(v for v in parse_nodes(bytes(c1.cmd("CLUSTER", "NODES")).decode()).values()
                    if "myself" not in v["flags"])
        assert (peer["port"], peer["bus"]) == (s2.port, s2.cluster_bus_ports[0])
        assert info_fields(c1.cmd("CLUSTER", "INFO"))["cluster_state"] == "ok"


# ---- epochs and slot ownership ----

def test_config_epochs(start_cluster_nodes):
    srv = start_cluster_nodes(2)
    a, b = (RawConn(port=p) for p in srv.cluster_ports)
    assert a.cmd("CLUSTER", "SET-CONFIG-EPOCH", 5) == "OK"
    assert a.cmd("CLUSTER", "SET-CONFIG-EPOCH", 6) == "ERR Node config epoch is already non-zero"
    assert info_fields(a.cmd("CLUSTER", "INFO"))["cluster_current_epoch"] == "5"
    assert a.cmd("CLUSTER", "BUMPEPOCH") == "STILL 5"
    assert b.cmd("CLUSTER", "BUMPEPOCH") == "BUMPED 1"
    b.cmd("CLUSTER", "MEET", "127.0.0.1", srv.cluster_ports[0])
    assert wait_until(lambda: info_fields(b.cmd("CLUSTER", "INFO"))["cluster_known_nodes"] == "2")
    assert b.cmd("CLUSTER", "SET-CONFIG-EPOCH", 9) == Err(
        "ERR The user can assign a config epoch only when the node does not know any other "
        "node.")
    # b learns the current epoch 5; its own epoch 1 is below a's, so it bumps.
    assert wait_until(lambda: info_fields(b.cmd("CLUSTER", "INFO"))["cluster_current_epoch"]
                      == "5")
    assert b.cmd("CLUSTER", "BUMPEPOCH") == "BUMPED 6"


def test_equal_config_epochs_are_resolved(start_cluster_nodes):
    srv = start_cluster_nodes(3)
    ports = srv.cluster_ports
    for i, p in enumerate(ports):
        RawConn(port=p).cmd("CLUSTER", "ADDSLOTS", i)
        RawConn(port=p).cmd("CLUSTER", "SET-CONFIG-EPOCH", 1)
    for p in ports[1:]:
        RawConn(port=p).cmd("CLUSTER", "MEET", "127.0.0.1", ports[0])

    def distinct():
        return len({myself(p)["epoch"] for p in ports}) == 3 and cluster_views_agree(ports)
    assert wait_until(distinct)


def test_moving_a_slot_with_setslot(three):
    srv, ports, ids = three
    a, b, c = (RawConn(port=p) for p in ports)
    slot = c_slot = a.cmd("CLUSTER", "KEYSLOT", "bar")  # owned by a
    assert slot <= 5460
    assert a.cmd("SET", "bar", "v") == "OK"
    assert b.cmd("CLUSTER", "SETSLOT", slot, "IMPORTING", ids[0]) == "OK"
    assert a.cmd("CLUSTER", "SETSLOT", slot, "MIGRATING", ids[1]) == "OK"
    assert f"[{slot}->-{ids[1]}]" in myself(ports[0])["slots"]
    assert f"[{slot}-<-{ids[0]}]" in myself(ports[1])["slots"]
    # Open slots are only shown on the node's own line.
    assert not any(s.startswith("[") for n in parse_nodes(cluster_nodes_text(ports[2])).values()
                   for s in n["slots"])
    errors = [
        (c, ("SETSLOT", slot, "MIGRATING", ids[1]), f"ERR I'm not the owner of hash slot {slot}"),
        (a, ("SETSLOT", slot, "IMPORTING", ids[1]),
         f"ERR I'm already the owner of hash slot {slot}"),
    ]
    for conn, args, want in errors:
        assert conn.cmd("CLUSTER", *args) == want
    # Redirections while the slot moves: keys still here are served.
    assert a.cmd("GET", "bar") == b"v"
    assert a.cmd("GET", "{bar}missing") == Err(f"ASK {slot} 127.0.0.1:{ports[1]}")
    assert a.cmd("MGET", "bar", "{bar}missing") == Err(
        "TRYAGAIN Multiple keys request during rehashing of slot")
    assert b.cmd("GET", "bar") == Err(f"MOVED {slot} 127.0.0.1:{ports[0]}")
    assert b.cmd("ASKING") == "OK"
    assert b.cmd("GET", "bar") is None
    assert b.cmd("GET", "bar") == Err(f"MOVED {slot} 127.0.0.1:{ports[0]}")  # ASKING is one-shot
    # The owner still holds a key: it refuses to hand the slot over.
    assert a.cmd("CLUSTER", "SETSLOT", slot, "NODE", ids[1]) == Err(
        f"ERR Can't assign hashslot {slot} to a different node while I still hold keys for "
        f"this hash slot.")
    a.cmd("DEL", "bar")
    assert b.cmd("CLUSTER", "SETSLOT", slot, "NODE", ids[1]) == "OK"
    assert a.cmd("CLUSTER", "SETSLOT", slot, "NODE", ids[1]) == "OK"
    # b took a new epoch for the slot, so every view follows.
    assert myself(ports[1])["epoch"] == 4

    def moved():
        return all(parse_nodes(cluster_nodes_text(p))[ids[1]]["slots"] ==
                   [f"{c_slot}", "5461-10922"] for p in ports) and cluster_views_agree(ports)
    assert wait_until(moved)
    assert c.cmd("GET", "bar") == Err(f"MOVED {slot} 127.0.0.1:{ports[1]}")
    assert not any(s.startswith("[") for p in ports for s in myself(p)["slots"])


def test_redirections(three):
    srv, ports, ids = three
    a = RawConn(port=ports[0])
    assert a.cmd("SET", "foo", "x") == Err(f"MOVED 12182 127.0.0.1:{ports[2]}")
    assert a.cmd("MSET", "a{t}", 1, "b{u}", 2) == Err(
        "CROSSSLOT Keys in request don't hash to the same slot")
    assert a.cmd("PING") == "PONG"  # keyless commands run anywhere
    # Inside MULTI a redirection aborts the transaction.
    assert a.cmd("MULTI") == "OK"
    assert a.cmd("GET", "foo").startswith("MOVED")
    assert a.cmd("EXEC").startswith("EXECABORT")
    a.cmd("DEVHOOK", "CLUSTER", "UNCOVER", 12182)
    assert a.cmd("GET", "foo") == Err("CLUSTERDOWN Hash slot not served")


def test_replicate(three, start_cluster_nodes):
    srv, ports, ids = three
    more = start_cluster_nodes(1)
    r = RawConn(port=more.port)
    r.cmd("CLUSTER", "MEET", "127.0.0.1", ports[0])
    assert wait_until(lambda: cluster_views_agree(ports + [more.port]))
    rid = myself(more.port)["id"]
    assert r.cmd("CLUSTER", "REPLICATE", ids[1]) == "OK"

    def seen():
        return all(parse_nodes(cluster_nodes_text(p))[rid]["flags"][-1] == "slave" and
                   parse_nodes(cluster_nodes_text(p))[rid]["master"] == ids[1]
                   for p in ports + [more.port])
    assert wait_until(seen)
    me = myself(more.port)
    assert me["flags"] == ["myself", "slave"] and me["epoch"] == 2  # its master's epoch
    replicas = RawConn(port=ports[0]).cmd("CLUSTER", "REPLICAS", ids[1])
    assert len(replicas) == 1 and replicas[0].startswith(rid.encode())
    slots = sorted(RawConn(port=ports[0]).cmd("CLUSTER", "SLOTS"))
    assert slots[1][3] == [b"127.0.0.1", more.port, rid.encode()]
    assert RawConn(port=ports[2]).cmd("CLUSTER", "REPLICATE", rid) == Err(
        "ERR I can only replicate a master, not a replica.")
    assert RawConn(port=ports[2]).cmd("CLUSTER", "REPLICATE", ids[1]) == Err(
        "ERR To set a master the node must be empty and without assigned slots.")
    assert r.cmd("CLUSTER", "FORGET", ids[1]) == "ERR Can't forget my master!"
    assert r.cmd("SET", "{x}", "1").startswith("MOVED")


def test_forget_and_reset(three):
    srv, ports, ids = three
    a, b, c = (RawConn(port=p) for p in ports)
    # Forgotten everywhere, a node stays forgotten despite the gossip.
    for conn in (a, b):
        assert conn.cmd("CLUSTER", "FORGET", ids[2].upper()) == "OK"
    time.sleep(0.5)
    for p in ports[:2]:
        assert ids[2] not in cluster_nodes_text(p)
        assert cluster_info(p)["cluster_slots_assigned"] == str(16384 - 5461)
    assert c.cmd("CLUSTER", "RESET", "SOFT") == "OK"
    text = cluster_nodes_text(ports[2])
    assert text.startswith(ids[2]) and text.count("\n") == 1 and text.rstrip().endswith(
        "connected")
    assert c.cmd("CLUSTER", "RESET", "HARD") == "OK"
    assert myself(ports[2])["id"] != ids[2] and myself(ports[2])["epoch"] == 0
    assert cluster_info(ports[2])["cluster_current_epoch"] == "0"
    assert c.cmd("CLUSTER", "RESET", "MEDIUM") == "ERR syntax error"


# ---- failures and test hooks ----

def test_failure_detection(three):
    srv, ports, ids = three
    for p in ports:
        RawConn(port=p).cmd("CONFIG", "SET", "cluster-node-timeout", "300")
    RawConn(port=ports[0]).cmd("DEVHOOK", "CLUSTER", "DOWN", ports[2], "HANG")
    t0 = time.time()

    def failed():
        return all("fail" in parse_nodes(cluster_nodes_text(p))[ids[2]]["flags"]
                   for p in ports[:2])
    assert wait_until(failed, timeout=5)
    assert 0.15 < time.time() - t0 < 5 * SLOW  # not before the node timeout
    assert RawConn(port=ports[0]).cmd("CLUSTER", "COUNT-FAILURE-REPORTS", ids[2]) >= 1
    assert cluster_info(ports[0])["cluster_state"] == "fail"
    RawConn(port=ports[0]).cmd("DEVHOOK", "CLUSTER", "UP", ports[2])
    assert wait_until(lambda: cluster_info(ports[0])["cluster_state"] == "ok")


def test_hook_close_and_reopen_ports(three):
    srv, ports, ids = three
    ctl = RawConn(port=ports[0])
    victim = RawConn(port=ports[1])
    assert ctl.cmd("DEVHOOK", "CLUSTER", "DOWN", ports[1], "CLOSE") == "OK"
    assert victim.is_closed()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", ports[1]), timeout=2)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", srv.cluster_bus_ports[1]), timeout=2)
    assert wait_until(lambda: parse_nodes(cluster_nodes_text(ports[0]))[ids[1]]["link"]
                      == "disconnected")
    assert ctl.cmd("DEVHOOK", "CLUSTER", "DOWN", ports[1], "CLOSE") == "ERR node is already down"
    assert ctl.cmd("DEVHOOK", "CLUSTER", "UP", ids[1]) == "OK"
    assert RawConn(port=ports[1]).cmd("CLUSTER", "MYID") == ids[1].encode()
    assert wait_until(lambda: parse_nodes(cluster_nodes_text(ports[0]))[ids[1]]["link"]
                      == "connected")


def test_hook_close_only_the_bus_port(three):
    srv, ports, ids = three
    ctl = RawConn(port=ports[0])
    assert ctl.cmd("DEVHOOK", "CLUSTER", "DOWN", ports[2], "BUS") == "OK"
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", srv.cluster_bus_ports[2]), timeout=2)
    assert RawConn(port=ports[2]).cmd("CLUSTER", "MYID") == ids[2].encode()

    def links(port):
        return {k: v["link"] for k, v in parse_nodes(cluster_nodes_text(port)).items()}
    # Nobody reaches its bus; it still reaches everybody.
    assert wait_until(lambda: links(ports[0])[ids[2]] == links(ports[1])[ids[2]] ==
                      "disconnected")
    assert set(links(ports[2]).values()) == {"connected"}
    assert ctl.cmd("DEVHOOK", "CLUSTER", "UP", ports[2]) == "OK"
    assert wait_until(lambda: links(ports[0])[ids[2]] == "connected")


def test_hook_hang_holds_commands(three):
    srv, ports, ids = three
    ctl = RawConn(port=ports[0])
    c = RawConn(port=ports[1])
    ctl.cmd("DEVHOOK", "CLUSTER", "DOWN", ports[1], "HANG")
    c.send("CLUSTER", "MYID")
    assert c.read_all(wait=0.4) == b""
    # The hung node still takes hooks, so it can be brought back.
    assert RawConn(port=ports[1]).cmd("DEVHOOK", "CLUSTER", "UP", ports[1]) == "OK"
    assert c.read_reply() == ids[1].encode()


def test_hook_fail_and_unfail(three):
    srv, ports, ids = three
    ctl = RawConn(port=ports[0])
    assert ctl.cmd("DEVHOOK", "CLUSTER", "FAIL", ports[1]) == "OK"
    time.sleep(0.4)  # PONGs from the live node do not clear a pinned failure
    for p in (ports[0], ports[2]):
        assert parse_nodes(cluster_nodes_text(p))[ids[1]]["flags"] == ["master", "fail"]
    assert "fail" not in myself(ports[1])["flags"]
    assert ctl.cmd("DEVHOOK", "CLUSTER", "UNFAIL", ids[1]) == "OK"
    assert parse_nodes(cluster_nodes_text(ports[2]))[ids[1]]["flags"] == ["master"]
    assert ctl.cmd("DEVHOOK", "CLUSTER", "FAIL", "1") == "ERR unknown node 1"


def test_hook_anyslot_keys_in_foreign_slot(three):
    srv, ports, ids = three
    a = RawConn(port=ports[0])
    assert a.cmd("SET", "foo", "x").startswith("MOVED")
    a.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    assert a.cmd("SET", "foo", "x") == "OK"
    assert a.cmd("CLUSTER", "COUNTKEYSINSLOT", 12182) == 1
    assert a.cmd("CLUSTER", "GETKEYSINSLOT", 12182, 5) == [b"foo"]
    a.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "OFF")
    assert a.cmd("GET", "foo").startswith("MOVED")
    # Only that connection skips the redirections.
    assert RawConn(port=ports[0]).cmd("GET", "foo").startswith("MOVED")


def test_hook_uncover_and_skew(three):
    srv, ports, ids = three
    a, b = RawConn(port=ports[0]), RawConn(port=ports[1])
    assert a.cmd("DEVHOOK", "CLUSTER", "UNCOVER", 100, 109) == "OK"
    time.sleep(0.4)  # gossip does not restore the slots
    for p in ports:
        assert cluster_info(p)["cluster_slots_assigned"] == "16374"
    assert myself(ports[0])["slots"] == ["0-99", "110-5460"]
    assert a.cmd("DEVHOOK", "CLUSTER", "PINS") == b"100-109"
    # Views disagree: b alone believes c owns slot 0.
    assert b.cmd("DEVHOOK", "CLUSTER", "SKEW", 0, ids[2]) == "OK"
    time.sleep(0.4)
    assert parse_nodes(cluster_nodes_text(ports[1]))[ids[2]]["slots"][0] == "0"
    assert parse_nodes(cluster_nodes_text(ports[0]))[ids[2]]["slots"] == ["10923-16383"]
    assert not cluster_views_agree(ports)
    assert a.cmd("DEVHOOK", "CLUSTER", "RELEASE") == "OK"
    # Gossip may update the slots again, but b's belief carries c's higher
    # epoch: a wins slot 0 back with a newer one. The uncovered slots stay
    # free until someone claims them.
    time.sleep(0.3)
    assert cluster_info(ports[1])["cluster_slots_assigned"] == "16374"
    a.cmd("CLUSTER", "ADDSLOTSRANGE", 100, 109)
    assert a.cmd("CLUSTER", "BUMPEPOCH") == "BUMPED 4"
    assert wait_until(lambda: cluster_views_agree(ports))
    assert cluster_info(ports[1])["cluster_slots_assigned"] == "16384"


def test_bus_rejects_garbage(start_cluster_nodes):
    srv = start_cluster_nodes(1)
    good = ["VBUS", "MEET", "a" * 40, "127.0.0.1", "7000", "17000", "master", "-", "0", "0", "-"]
    bad = [
        ["VBUS", "PING", "short"],
        ["PING"],
        good[:2] + ["A" * 40] + good[3:],          # IDs are lower-case hex
        good[:4] + ["0"] + good[5:],               # port out of range
        good[:5] + ["70000"] + good[6:],
        good[:7] + ["nope"] + good[8:],            # master ID
        good + ["b" * 40, "127.0.0.1", "7001"],    # truncated gossip entry
        good + ["b" * 40, "127.0.0.1", "x", "17001", "ok"],
        ["VBUS", "FAIL", "a" * 40],
    ]
    for msg in bad:
        bus = RawConn(port=srv.cluster_bus_ports[0])
        bus.send(*msg)
        assert bus.is_closed(), msg
    assert cluster_info(srv.port)["cluster_known_nodes"] == "1"
    # A well-formed MEET is answered with the node's own state.
    bus = RawConn(port=srv.cluster_bus_ports[0])
    pong = bus.cmd(*good)
    me = bytes(RawConn(port=srv.port).cmd("CLUSTER", "MYID"))
    assert pong[:3] == [b"VBUS", b"PONG", me] and pong[4:6] == [
        str(srv.port).encode(), str(srv.cluster_bus_ports[0]).encode()]
    nodes = parse_nodes(cluster_nodes_text(srv.port))
    assert nodes["a" * 40]["port"] == 7000 and nodes["a" * 40]["bus"] == 17000
    # The node is unharmed.
    assert len(RawConn(port=srv.port).cmd("CLUSTER", "MYID")) == 40


def test_replica_receives_its_masters_writes(start_cluster_nodes, start_server):
    srv = start_cluster_nodes(3)
    ports = srv.cluster_ports
    ids = build_cluster(ports[:2] + [ports[2]], masters=2)  # third node replicates the first
    # Another process with a password replicates the second master.
    other = start_server("--cluster-enabled", "yes", "--password", "pw", "--enable-test-hooks")
    r2 = RawConn(port=other.port)
    r2.cmd("AUTH", "pw")
    r2.cmd("CLUSTER", "MEET", "127.0.0.1", ports[0])
    assert wait_until(lambda: r2.cmd("CLUSTER", "REPLICATE", ids[1]) == "OK")
    m1, m2 = RawConn(port=ports[0]), RawConn(port=ports[1])
    # "bar" (5061) lives on the first master, "foo" (12182) on the second.
    time.sleep(0.3)
    for i in range(20):
        assert m1.cmd("SET", "bar", f"v{i}") == "OK"
        assert m2.cmd("INCR", "foo") == i + 1
    m1.cmd("RPUSH", "{bar}list", "a", "b")
    rep1 = RawConn(port=ports[2])
    rep1.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    r2.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    assert wait_until(lambda: rep1.cmd("LRANGE", "{bar}list", 0, -1) == [b"a", b"b"])
    assert rep1.cmd("GET", "bar") == b"v19" and rep1.cmd("GET", "foo") is None
    assert wait_until(lambda: r2.cmd("GET", "foo") == b"20")
    assert r2.cmd("DBSIZE") == 1
    # Without the hook a replica redirects to its master.
    assert RawConn(port=ports[2]).cmd("GET", "bar") == Err(f"MOVED 5061 127.0.0.1:{ports[0]}")
    # A reset replica is a master again and stops following.
    assert rep1.cmd("CLUSTER", "RESET", "SOFT") == "OK"
    assert myself(ports[2])["flags"] == ["myself", "master"]
    assert rep1.cmd("DBSIZE") == 0
    m1.cmd("SET", "bar", "later")
    time.sleep(0.3)
    assert rep1.cmd("DBSIZE") == 0


def test_migrate_between_nodes_of_one_process(three, server):
    srv, ports, ids = three
    a, b = RawConn(port=ports[0]), RawConn(port=ports[1])
    slot = a.cmd("CLUSTER", "KEYSLOT", "bar")
    keys = ["bar", "{bar}1", "{bar}2"]
    for k in keys:
        a.cmd("SET", k, "v-" + k)
    a.cmd("PEXPIRE", "{bar}2", 60000)
    b.cmd("CLUSTER", "SETSLOT", slot, "IMPORTING", ids[0])
    a.cmd("CLUSTER", "SETSLOT", slot, "MIGRATING", ids[1])
    host = ("127.0.0.1", ports[1])
    assert a.cmd("MIGRATE", *host, "bar", 0, 5000) == "OK"
    assert a.cmd("GET", "bar") == Err(f"ASK {slot} 127.0.0.1:{ports[1]}")
    b.cmd("ASKING")
    assert b.cmd("GET", "bar") == b"v-bar"
    assert a.cmd("MIGRATE", *host, "", 0, 5000, "KEYS", "{bar}1", "{bar}2", "{bar}none") == "OK"
    assert (a.cmd("CLUSTER", "COUNTKEYSINSLOT", slot), b.cmd("CLUSTER", "COUNTKEYSINSLOT", slot)) \
        == (0, 3)
    b.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    assert 0 < b.cmd("PTTL", "{bar}2") <= 60000 and b.cmd("PTTL", "{bar}1") == -1
    assert a.cmd("MIGRATE", *host, "bar", 0, 5000) == "NOKEY"
    # An existing key: BUSYKEY unless REPLACE; COPY keeps the source's key.
    a.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    a.cmd("SET", "bar", "new")
    assert a.cmd("MIGRATE", *host, "bar", 0, 5000) == Err(
        "ERR Target instance replied with error: BUSYKEY Target key name already exists.")
    assert a.cmd("GET", "bar") == b"new" and b.cmd("GET", "bar") == b"v-bar"
    assert a.cmd("MIGRATE", *host, "bar", 0, 5000, "COPY", "REPLACE") == "OK"
    assert a.cmd("GET", "bar") == b"new" and b.cmd("GET", "bar") == b"new"
    errors = [
        (("MIGRATE", *host, "bar", 0, "x"), "ERR value is not an integer or out of range"),
        (("MIGRATE", *host, "bar", 0, 5000, "BOGUS"), "ERR syntax error"),
        (("MIGRATE", *host, "bar", 0, 5000, "KEYS", "bar"),
         "ERR When using MIGRATE KEYS option, the key argument must be set to the empty string"),
        (("MIGRATE", *host, "bar", 99, 5000, "REPLACE"),
         "ERR Target instance replied with error: ERR DB index is out of range"),
    ]
    for args, want in errors:
        assert a.cmd(*args) == want, args
    # A target in another process is reached over the network.
    assert a.cmd("MIGRATE", "127.0.0.1", server.port, "bar", 0, 5000) == "OK"
    assert RawConn(port=server.port).cmd("GET", "bar") == b"new"
    assert a.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "OFF") == "OK"


def test_migrate_authenticates_with_the_target(start_cluster_nodes):
    srv = start_cluster_nodes(2, "--password", "pw")
    a = RawConn(port=srv.cluster_ports[0])
    a.cmd("AUTH", "pw")
    a.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    a.cmd("SET", "k", "v")
    target = ("127.0.0.1", srv.cluster_ports[1], "k", 0, 1000)
    assert a.cmd("MIGRATE", *target) == Err(
        "ERR Target instance replied with error: NOAUTH Authentication required.")
    assert a.cmd("MIGRATE", *target, "AUTH", "no") == Err(
        "ERR Target instance replied with error: WRONGPASS invalid username-password pair or "
        "user is disabled.")
    assert a.cmd("MIGRATE", *target, "AUTH2", "default", "pw") == "OK"
    assert a.cmd("EXISTS", "k") == 0


from test_devserver_net import certs, tls_conn  # noqa: E402,F401  (shared TLS fixture)


def test_tls_cluster_announces_tls_ports(start_cluster_nodes, certs):
    srv = start_cluster_nodes(3, "--tls-port", "0", "--tls-cert", str(certs / "server.crt"),
                              "--tls-key", str(certs / "server.key"), "--tls-cluster", "yes")
    tls = srv.cluster_tls_ports
    assert len(tls) == 3 and tls[0] == srv.tls_port and not set(tls) & set(srv.cluster_ports)
    conns = [tls_conn(p, certs, client_cert=False) for p in tls]
    ids = [bytes(c.cmd("CLUSTER", "MYID")).decode() for c in conns]
    for i, c in enumerate(conns):
        c.cmd("CLUSTER", "ADDSLOTSRANGE", i * 6000, min(16383, i * 6000 + 5999))
    for c in conns[1:]:
        assert c.cmd("CLUSTER", "MEET", "127.0.0.1", tls[0]) == "OK"
    assert wait_until(lambda: cluster_views_agree(srv.cluster_ports))
    nodes = parse_nodes(cluster_nodes_text(srv.cluster_ports[1]))
    assert [nodes[i]["port"] for i in ids] == tls
    assert conns[0].cmd("SET", "foo", "x") == Err(f"MOVED 12182 127.0.0.1:{tls[2]}")
    assert conns[2].cmd("SET", "foo", "x") == "OK"
    # The plain ports still serve.
    assert RawConn(port=srv.cluster_ports[2]).cmd("GET", "foo") == b"x"


def test_migrate_to_another_process(start_cluster_nodes, server, start_server):
    """A plain instance moves keys of every type into an importing node of a
    cluster in another process."""
    cl = start_cluster_nodes(2, "--password", "pw")
    a, b = (RawConn(port=p) for p in cl.cluster_ports)
    for c in (a, b):
        c.cmd("AUTH", "pw")
    ids = [bytes(c.cmd("CLUSTER", "MYID")).decode() for c in (a, b)]
    a.cmd("CLUSTER", "ADDSLOTSRANGE", 0, 16383)
    b.cmd("CLUSTER", "MEET", "127.0.0.1", cl.cluster_ports[0])
    assert wait_until(lambda: cluster_views_agree(cl.cluster_ports, "pw"))
    slot = a.cmd("CLUSTER", "KEYSLOT", "t")
    assert b.cmd("CLUSTER", "SETSLOT", slot, "IMPORTING", ids[0]) == "OK"
    src = RawConn(port=server.port)
    fill = [("SET", "{t}s", "x y"), ("RPUSH", "{t}l", "1", "2", "1"), ("SADD", "{t}set", "p", "q"),
            ("HSET", "{t}h", "f", "v", "g", "w"), ("ZADD", "{t}z", "1.5", "m", "-2", "n"),
            ("XADD", "{t}x", "5-1", "k", "v"), ("XADD", "{t}x", "7-0", "k2", "v2"),
            ("SET", "{t}ttl", "v", "PX", "60000")]
    for cmd in fill:
        src.cmd(*cmd)
    keys = sorted({c[1] for c in fill})
    digests = src.cmd("DEBUG", "DIGEST-VALUE", *keys)
    target = ("127.0.0.1", cl.cluster_ports[1])
    assert src.cmd("MIGRATE", *target, "", 0, 5000, "KEYS", *keys) == Err(
        "ERR Target instance replied with error: NOAUTH Authentication required.")
    assert src.cmd("MIGRATE", *target, "", 0, 5000, "AUTH", "pw", "COPY", "KEYS", *keys) == "OK"
    b.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    assert b.cmd("DEBUG", "DIGEST-VALUE", *keys) == digests
    assert 0 < b.cmd("PTTL", "{t}ttl") <= 60000 and b.cmd("PTTL", "{t}s") == -1
    assert src.cmd("DBSIZE") == len(keys)  # COPY kept them
    # Existing keys: BUSYKEY, relayed; REPLACE overwrites and moves.
    src.cmd("SET", "{t}s", "changed")
    assert src.cmd("MIGRATE", *target, "{t}s", 0, 5000, "AUTH2", "default", "pw") == Err(
        "ERR Target instance replied with error: BUSYKEY Target key name already exists.")
    assert src.cmd("MIGRATE", *target, "", 0, 5000, "AUTH", "pw", "REPLACE", "KEYS",
                   *keys) == "OK"
    assert src.cmd("DBSIZE") == 0 and b.cmd("GET", "{t}s") == b"changed"
    # Unreachable target.
    src.cmd("SET", "k", "v")
    closed = start_server()
    port = closed.port
    closed.stop()
    assert src.cmd("MIGRATE", "127.0.0.1", port, "k", 0, 1000) == Err(
        "IOERR error or timeout connecting to the client")
    assert src.cmd("GET", "k") == b"v"
