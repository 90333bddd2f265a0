"""vorn-cli --cluster info / check against simulated clusters: the exact
report of a healthy cluster, open slots, unreachable, hung and failed nodes,
disagreeing views, slots on several masters, address forms and colours."""
import time

import pytest

from cluster_cli import addrs, cli_cluster, node_block, set_keys, view
from conftest import SLOW, RawConn, build_cluster, free_port, hook
from test_devserver_net import certs, tls_server  # noqa: F401  (fixture and helper)


@pytest.fixture
def cluster(start_cluster_nodes):
    """Three masters (ports 0-2, slots 0-5460, 5461-10922, 10923-16383) with
    one replica each (ports 3-5), built without the client."""
    srv = start_cluster_nodes(6)
    ids = build_cluster(srv.cluster_ports, replicas=1)
    return srv, srv.cluster_ports, ids


RANGES = ["[0-5460]", "[5461-10922]", "[10923-16383]"]
COUNTS = [5461, 5462, 5461]


def dbsize(port):
    c = RawConn(port=port)
    n = c.cmd("DBSIZE")
    c.close()
    return n


def summary(ports, ids, order, total):
    """The info report, masters in the order the entry node lists them."""
    text = ""
    for nid in order:
        i = ids.index(nid)
        if i < 3:
            text += (f"127.0.0.1:{ports[i]} ({nid[:8]}...) -> {dbsize(ports[i])} keys | "
                     f"{COUNTS[i]} slots | 1 slaves.\n")
    text += f"[OK] {total} keys in 3 masters.\n"
    text += f"{total / 16384:.2f} keys per slot on average.\n"
    return text


def blocks(ports, ids, order, skip=()):
    text = ""
    for nid in order:
        i = ids.index(nid)
        if i in skip:
            continue
        if i < 3:
            replicas = 0 if i + 3 in skip else 1
            text += node_block(nid, ports[i], RANGES[i], COUNTS[i], replicas=replicas)
        else:
            text += node_block(nid, ports[i], flags="slave", master=ids[i - 3])
    return text


def test_healthy_cluster_exact_report(cluster):
    srv, ports, ids = cluster
    set_keys(ports[0], [f"key:{i}" for i in range(10)])
    order = view(ports[0])["order"]
    status, out, err = cli_cluster("info", addrs(ports[:1])[0])
    assert (status, err) == (0, "")
    assert out == summary(ports, ids, order, 10)
    assert "10 keys in 3 masters.\n0.00 keys per slot on average.\n" in out

    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}")
    assert (status, err) == (0, "")
    assert out == (summary(ports, ids, order, 10) +
                   f">>> Performing Cluster Check (using node 127.0.0.1:{ports[0]})\n" +
                   blocks(ports, ids, order) +
                   "[OK] All nodes agree about slots configuration.\n"
                   ">>> Check for open slots...\n"
                   ">>> Check slots coverage...\n"
                   "[OK] All 16384 slots covered.\n")


def test_address_forms_and_argument_errors(cluster):
    srv, ports, ids = cluster
    reference = cli_cluster("info", f"127.0.0.1:{ports[1]}")
    assert reference[0] == 0
    # host:port, host and port, and host:port@bus all reach the same node.
    for args in (("127.0.0.1", ports[1]), (f"127.0.0.1:{ports[1]}@{srv.cluster_bus_ports[1]}",)):
        assert cli_cluster("info", *args) == reference
    invalid = ("[ERR] Invalid arguments: you need to pass either a valid address "
               "(ie. 120.0.0.1:7000) or space separated IP and port (ie. 120.0.0.1 7000)\n")
    for sub in ("info", "check"):
        for args in (("127.0.0.1",), ("127.0.0.1", "0"), ("127.0.0.1:x",)):
            assert cli_cluster(sub, *args) == (1, "", invalid)
    assert cli_cluster("info") == (
        1, "", "[ERR] Wrong number of arguments for specified --cluster sub command\n")
    assert cli_cluster("nosuch", "a") == (1, "", "Unknown --cluster subcommand\n")
    status, out, err = cli_cluster("help", "any", "number")
    assert status == 1 and out == "" and err.startswith("Cluster Manager Commands:\n")


def test_not_a_cluster_node_and_no_server(start_server):
    plain = start_server()
    assert cli_cluster("check", f"127.0.0.1:{plain.port}") == (
        1, f"[ERR] Node 127.0.0.1:{plain.port} is not configured as a cluster node.\n", "")
    port = free_port()
    status, out, err = cli_cluster("info", f"127.0.0.1:{port}")
    assert status == 1 and out == ""
    assert err.startswith(f"Could not connect to Vorn at 127.0.0.1:{port}: ")


def test_open_slot(cluster):
    srv, ports, ids = cluster
    a, b = RawConn(port=ports[0]), RawConn(port=ports[1])
    assert a.cmd("CLUSTER", "SETSLOT", 5000, "MIGRATING", ids[1]) == "OK"
    assert b.cmd("CLUSTER", "SETSLOT", 5000, "IMPORTING", ids[0]) == "OK"
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}")
    assert status == 1 and err == ""
    assert (">>> Check for open slots...\n"
            f"[WARNING] Node 127.0.0.1:{ports[0]} has slots in migrating state 5000.\n"
            f"[WARNING] Node 127.0.0.1:{ports[1]} has slots in importing state 5000.\n"
            "[WARNING] The following slots are open: 5000.\n"
            ">>> Check slots coverage...\n"
            "[OK] All 16384 slots covered.\n") in out
    # A slot open on one node only is just as open; several slots are listed.
    assert b.cmd("CLUSTER", "SETSLOT", 5000, "STABLE") == "OK"
    assert a.cmd("CLUSTER", "SETSLOT", 17, "MIGRATING", ids[2]) == "OK"
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[1]}")
    assert status == 1
    warning = next(l for l in out.splitlines() if "has slots in migrating state" in l)
    assert warning in (f"[WARNING] Node 127.0.0.1:{ports[0]} has slots in migrating state 5000,17.",
                       f"[WARNING] Node 127.0.0.1:{ports[0]} has slots in migrating state 17,5000.")
    assert "importing state" not in out
    open_line = next(l for l in out.splitlines() if "The following slots are open" in l)
    assert open_line in ("[WARNING] The following slots are open: 5000,17.",
                         "[WARNING] The following slots are open: 17,5000.")
    # info does not look for open slots.
    assert cli_cluster("info", f"127.0.0.1:{ports[0]}")[0] == 0


def test_unreachable_master_leaves_slots_uncovered(cluster):
    srv, ports, ids = cluster
    assert hook(srv, "CLUSTER", "DOWN", ports[2], "CLOSE") == "OK"
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}")
    assert status == 1
    assert err.startswith(f"Could not connect to Vorn at 127.0.0.1:{ports[2]}: ")
    assert f"127.0.0.1:{ports[2]}" not in out
    assert (f"*** WARNING: 127.0.0.1:{ports[5]} claims to be slave of unknown node ID "
            f"{ids[2]}.\n") in out
    assert "[OK] 0 keys in 2 masters.\n" in out
    assert ("[ERR] Not all 16384 slots are covered by nodes.\n\n") in out
    assert "[OK] All 16384 slots covered." not in out


def test_unreachable_replica_is_left_out(cluster):
    srv, ports, ids = cluster
    assert hook(srv, "CLUSTER", "DOWN", ports[5], "CLOSE") == "OK"
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}")
    assert status == 0
    assert err.startswith(f"Could not connect to Vorn at 127.0.0.1:{ports[5]}: ")
    order = view(ports[0])["order"]
    assert blocks(ports, ids, order, skip=(5,)) in out
    assert "[OK] All 16384 slots covered.\n" in out


def test_hung_node_is_reported_within_the_timeout(cluster):
    srv, ports, ids = cluster
    assert hook(srv, "CLUSTER", "DOWN", ports[4], "HANG") == "OK"
    t0 = time.time()
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}", "--cluster-timeout", 1000)
    took = time.time() - t0
    assert 0.9 <= took < 30 * SLOW
    assert status == 0
    assert f"[ERR] Unable to load info for node 127.0.0.1:{ports[4]}\n" in out
    assert f"127.0.0.1:{ports[4]}\n" not in out.split(">>> Performing", 1)[1]
    assert hook(srv, "CLUSTER", "UP", ports[4]) == "OK"


def test_failed_master_is_dropped_even_though_it_answers(cluster):
    srv, ports, ids = cluster
    assert hook(srv, "CLUSTER", "FAIL", ports[1]) == "OK"
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}")
    assert status == 1 and err == ""
    assert f"M: {ids[1]}" not in out
    assert "[ERR] Not all 16384 slots are covered by nodes." in out


def test_disagreeing_views(cluster):
    srv, ports, ids = cluster
    r = RawConn(port=ports[3])
    assert r.cmd("DEVHOOK", "CLUSTER", "SKEW", 100, ids[1]) == "OK"
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}")
    assert status == 1 and err == ""
    assert (f"\tNode {ids[3]} (127.0.0.1:{ports[3]}) is inconsistent with {ids[0]}\n"
            "[ERR] Nodes don't agree about configuration!\n"
            ">>> Check for open slots...\n") in out
    assert "[OK] All 16384 slots covered.\n" in out


def test_search_multiple_owners(cluster):
    srv, ports, ids = cluster
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}",
                                   "--cluster-search-multiple-owners", timeout=120)
    assert status == 0
    assert out.endswith(">>> Check for multiple slot owners...\n[OK] No multiple owners found.\n")
    # Without the option the heading is not printed.
    assert "multiple" not in cli_cluster("check", f"127.0.0.1:{ports[0]}")[1]

    # A key of slot 0 (owned by the first master) written on the second.
    stray = RawConn(port=ports[1])
    assert stray.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON") == "OK"
    key = next(k for k in (f"k{i}" for i in range(100000))
               if stray.cmd("CLUSTER", "KEYSLOT", k) == 0)
    assert stray.cmd("SET", key, "v") == "OK"
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}",
                                   "--cluster-search-multiple-owners", timeout=120)
    assert status == 1
    assert out.endswith(">>> Check for multiple slot owners...\n"
                        "[WARNING] Slot 0 has 2 owners:\n"
                        f"    127.0.0.1:{ports[0]}\n"
                        f"    127.0.0.1:{ports[1]}\n")


@pytest.mark.parametrize("term,no_color,coloured", [
    ("xterm-256color", "", True), ("xterm", "", True), ("dumb", "", False), ("", "", False),
    ("xterm", "1", False),  # NO_COLOR wins over the terminal
])
def test_colours_follow_term(cluster, term, no_color, coloured):
    srv, ports, ids = cluster
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[0]}", TERM=term,
                                   NO_COLOR=no_color)
    assert status == 0
    if coloured:
        assert (f"\033[29;1m>>> Performing Cluster Check (using node 127.0.0.1:{ports[0]})\n"
                "\033[0m") in out
        assert "\033[32;1m[OK] All 16384 slots covered.\n\033[0m" in out
        assert "\033[32;1m[OK] 0 keys in 3 masters.\n\033[0m0.00 keys" in out
    else:
        assert "\033" not in out


def test_node_connections_over_tls(start_server, certs):
    node = tls_server(start_server, certs, "--cluster-enabled", "yes")
    addr = f"127.0.0.1:{node.tls_port}"
    nid = bytes(RawConn(port=node.port).cmd("CLUSTER", "MYID")).decode()
    status, out, err = cli_cluster("info", addr, "--tls", "--cacert", certs / "ca.crt")
    assert (status, err) == (0, "")
    assert out == (f"{addr} ({nid[:8]}...) -> 0 keys | 0 slots | 0 slaves.\n"
                   "[OK] 0 keys in 1 masters.\n0.00 keys per slot on average.\n")
    assert cli_cluster("info", addr, "--tls", "--cacert", certs / "missing.crt") == (
        1, "", "TLS Error: Invalid CA Certificate File/Directory\n")
    status, out, err = cli_cluster("info", addr, "--tls")
    assert status == 1 and err.startswith(f"Could not connect to Vorn at {addr}: ")
