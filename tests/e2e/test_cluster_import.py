"""vorn-cli --cluster import: every key of a stand-alone source moved (or
copied) to the master of its slot with MIGRATE, the words MIGRATE carries,
and the checks made before anything moves.

The source is a node of the cluster's own process that is not part of the
cluster and whose INFO says cluster_enabled:0: MIGRATE of the devserver
reaches nodes of its own process, so the keys really travel."""
import re
import time

import pytest

from cluster_cli import addrs, cli_cluster, raw
from conftest import RawConn, build_cluster, free_port, wait_until


def history(port):
    c = RawConn(port=port)
    try:
        return [h.decode(errors="replace") for h in c.cmd("DEVHOOK", "HISTORY")
                if not h.startswith(b'"DEVHOOK"')]
    finally:
        c.close()


def make_source(port, keys, password=None, user=None):
    """Fills the node on port with keys (value: 'v-' + key) and makes it look
    like a stand-alone server."""
    c = RawConn(port=port)
    if password is not None:
        args = ("AUTH", user, password) if user else ("AUTH", password)
        assert c.cmd(*args) == "OK"
    assert c.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON") == "OK"
    assert c.cmd("DEVHOOK", "INFO", "cluster_enabled", "0") == "OK"
    for k in keys:
        assert c.cmd("SET", k, "v-" + k) == "OK"
    c.close()


def owner_ports(ports, keys, password=None):
    """key -> the client port of the master serving its slot."""
    c = raw(ports[0], password)
    slots = c.cmd("CLUSTER", "SLOTS")
    owners = {}
    for k in keys:
        slot = c.cmd("CLUSTER", "KEYSLOT", k)
        owners[k] = next(int(e[2][1]) for e in slots if e[0] <= slot <= e[1])
    c.close()
    return owners


def values_in_cluster(ports, keys, password=None):
    owners = owner_ports(ports, keys, password)
    conns = {p: raw(p, password) for p in set(owners.values())}
    got = {k: conns[owners[k]].cmd("GET", k) for k in keys}
    for c in conns.values():
        c.close()
    return got


@pytest.fixture
def cluster_and_source(start_cluster_nodes):
    srv = start_cluster_nodes(4)
    ports = srv.cluster_ports
    build_cluster(ports[:3])
    return ports[:3], ports[3]


KEYS = [f"key:{i}" for i in range(2500)] + ["{user1000}.following", "{user1000}.followers",
                                              "with space", "foo{}{bar}"]


def test_import_moves_every_key(cluster_and_source):
    ports, src = cluster_and_source
    make_source(src, KEYS)
    status, out, err = cli_cluster("import", f"127.0.0.1:{ports[0]}", "--cluster-from",
                                   f"127.0.0.1:{src}", timeout=120)
    assert (status, err) == (0, ""), out[-2000:] + err
    assert out.startswith(f">>> Importing data from 127.0.0.1:{src} to cluster "
                          f"127.0.0.1:{ports[0]}\n>>> Performing Cluster Check")
    assert f"*** Importing {len(KEYS)} keys from DB 0\n" in out
    owners = owner_ports(ports, KEYS)
    moved = re.findall(r"^Migrating (.*) to 127\.0\.0\.1:(\d+): OK$", out, re.M)
    assert sorted(moved) == sorted((k, str(owners[k])) for k in KEYS)
    assert out.endswith("OK\n")
    # More keys than one SCAN step of 1000 returns: the cursor was followed
    # (the history keeps the last 1000 commands, the final steps).
    scans = [h for h in history(src) if h.startswith('"SCAN"')]
    assert scans and all(re.fullmatch(r'"SCAN" "[1-9]\d*" "COUNT" "1000"', h) for h in scans)
    assert values_in_cluster(ports, KEYS) == {k: b"v-" + k.encode() for k in KEYS}
    assert raw(src).cmd("DBSIZE") == 0


def test_import_copy_and_replace(cluster_and_source):
    ports, src = cluster_and_source
    keys = ["a", "b", "c"]
    make_source(src, keys)
    owner = owner_ports(ports, ["b"])["b"]
    assert raw(owner).cmd("SET", "b", "old") == "OK"
    # A key already in the cluster stops the import without REPLACE.
    status, out, _ = cli_cluster("import", f"127.0.0.1:{ports[1]}", "--cluster-from",
                                 f"127.0.0.1:{src}", "--cluster-copy")
    assert status == 1
    assert out.endswith(f"Migrating b to 127.0.0.1:{owner}: Source 127.0.0.1:{src} replied with "
                        "error:\nERR Target instance replied with error: BUSYKEY Target key "
                        "name already exists.\n")
    assert "Migrating c" not in out
    status, out, err = cli_cluster("import", f"127.0.0.1:{ports[1]}", "--cluster-from",
                                   f"127.0.0.1:{src}", "--cluster-replace", "--cluster-copy",
                                   "--cluster-timeout", "5000")
    assert (status, err) == (0, ""), out
    migrates = [h for h in history(src) if h.startswith('"MIGRATE"')]
    assert migrates[-1] == (f'"MIGRATE" "127.0.0.1" "{owner_ports(ports, ["c"])["c"]}" "c" "0" '
                            '"5000" "COPY" "REPLACE"')
    assert values_in_cluster(ports, keys) == {k: b"v-" + k.encode() for k in keys}
    assert raw(src).cmd("DBSIZE") == 3, "COPY leaves the source its keys"


@pytest.mark.parametrize("auth_args,words", [
    (["-a", "s3cret"], '"AUTH" "s3cret"'),
    (["--user", "ops", "-a", "opspw"], '"AUTH2" "ops" "opspw"'),
])
def test_import_carries_the_cluster_password(start_cluster_nodes, auth_args, words):
    srv = start_cluster_nodes(4, "--password", "s3cret", "--user", "ops:opspw")
    ports, src = srv.cluster_ports[:3], srv.cluster_ports[3]
    status, out, err = cli_cluster("create", *addrs(ports), "--cluster-yes", "-a", "s3cret",
                                   "--no-auth-warning")
    assert status == 0, out + err
    make_source(src, ["x", "y"], password="s3cret")
    status, out, err = cli_cluster("import", f"127.0.0.1:{ports[0]}", "--cluster-from",
                                   f"127.0.0.1:{src}", "--cluster-from-user", "ops",
                                   "--cluster-from-pass", "opspw", "--cluster-copy",
                                   *auth_args, "--no-auth-warning")
    assert (status, err) == (0, ""), out + err
    c = raw(src, "s3cret")
    migrates = [h.decode() for h in c.cmd("DEVHOOK", "HISTORY") if h.startswith(b'"MIGRATE"')]
    c.close()
    assert len(migrates) == 2
    for m in migrates:
        assert m.endswith(f'"0" "60000" {words} "COPY"'), m
    assert values_in_cluster(ports, ["x", "y"], "s3cret") == {"x": b"v-x", "y": b"v-y"}


def test_import_refusals(cluster_and_source, start_server):
    ports, src = cluster_and_source
    target = f"127.0.0.1:{ports[0]}"
    gone = free_port()
    # Nothing is checked or sent before the options are.
    assert cli_cluster("import", f"127.0.0.1:{gone}") == (
        1, "", "[ERR] Option '--cluster-from' is required for subcommand 'import'.\n")
    assert cli_cluster("import", f"127.0.0.1:{gone}", "--cluster-from", "nohost") == (
        1, "", "[ERR] Invalid --cluster-from host. You need to pass a valid address "
               "(ie. 120.0.0.1:7000).\n")
    status, out, err = cli_cluster("import", target, "--cluster-from", f"127.0.0.1:{gone}")
    assert status == 1
    assert err.startswith(f"Could not connect to Vorn at 127.0.0.1:{gone}: ") and err.endswith(".\n")
    # A cluster node as the source.
    status, out, _ = cli_cluster("import", target, "--cluster-from", f"127.0.0.1:{ports[2]}")
    assert status == 1 and out.endswith("[ERR] The source node should not be a cluster node.\n")
    # A source that wants a password it was not given.
    locked = start_server("--password", "pw")
    status, out, err = cli_cluster("import", target, "--cluster-from",
                                   f"127.0.0.1:{locked.port}")
    assert status == 1
    assert out.endswith(f"Source 127.0.0.1:{locked.port} replied with error:\nNOAUTH "
                        "Authentication required.\n"), out + err


def test_import_stops_at_the_first_failing_key(cluster_and_source):
    ports, src = cluster_and_source
    keys = ["a", "b", "c", "d"]
    make_source(src, keys)
    c = RawConn(port=src)
    assert c.cmd("DEVHOOK", "FAIL", "MIGRATE", "1", "IOERR error or timeout") == "OK"
    c.close()
    status, out, _ = cli_cluster("import", f"127.0.0.1:{ports[0]}", "--cluster-from",
                                 f"127.0.0.1:{src}")
    assert status == 1
    assert out.count("Migrating ") == 1
    assert out.endswith(f"Source 127.0.0.1:{src} replied with error:\nIOERR error or timeout\n")
    assert raw(src).cmd("DBSIZE") == 4


def test_import_gives_up_on_a_silent_source(cluster_and_source):
    ports, src = cluster_and_source
    make_source(src, ["a"])
    c = RawConn(port=src)
    assert c.cmd("DEVHOOK", "DELAY", "MIGRATE", "1", "20000") == "OK"
    c.close()
    t0 = time.time()
    status, out, err = cli_cluster("import", f"127.0.0.1:{ports[0]}", "--cluster-from",
                                   f"127.0.0.1:{src}", "--cluster-timeout", "1000")
    took = time.time() - t0
    assert status == 1, out + err
    assert out.endswith(f"Migrating a to 127.0.0.1:{owner_ports(ports, ['a'])['a']}: ")
    assert err.startswith("Error: ")
    # Twice the MIGRATE timeout, well before the source would have answered.
    assert 1.5 < took < 15, took
