"""vorn-cli --cluster add-node, del-node, call and set-timeout against
simulated clusters: growing and shrinking a cluster, the automatic choice of
a master, refused nodes, per-node answers and failures."""
import pytest

from cluster_cli import addrs, cli_cluster, known_nodes, raw, view
from conftest import build_cluster, free_port, hook, RawConn, wait_until


def ids_by_port(ports):
    return {p: bytes(raw(p).cmd("CLUSTER", "MYID")).decode() for p in ports}


def list_order(entry, ports):
    """The ports in the order the cluster manager loads them from entry."""
    v = view(entry)
    by_id = {nid: p for p, nid in ids_by_port(ports).items()}
    return [by_id[nid] for nid in v["order"] if nid in by_id]


def node_hook(port, *args):
    c = RawConn(port=port)
    try:
        return c.cmd("DEVHOOK", *args)
    finally:
        c.close()


def node_history(port):
    return [h.decode() for h in node_hook(port, "HISTORY") if not h.startswith(b'"DEVHOOK"')]


@pytest.fixture
def masters3(start_cluster_nodes):
    """A process of 6 nodes; the first three form a cluster of masters, the
    other three are empty cluster nodes."""
    srv = start_cluster_nodes(6)
    ports = srv.cluster_ports
    build_cluster(ports[:3])
    return srv, ports


# ---- add-node ----

def test_add_node_as_master(masters3):
    _, ports = masters3
    new, entry = addrs([ports[3], ports[0]])
    status, out, err = cli_cluster("add-node", new, entry)
    assert status == 0, out + err
    assert out.startswith(f">>> Adding node {new} to cluster {entry}\n"
                          f">>> Performing Cluster Check (using node {entry})\n")
    assert out.endswith(f">>> Send CLUSTER MEET to node {new} to make it join the cluster.\n"
                        "[OK] New node added correctly.\n")
    assert wait_until(lambda: all(known_nodes(p) == 4 for p in ports[:4]), timeout=10)
    me = view(ports[3])
    mine = [n for k, n in me.items() if k != "order" and "myself" in n["flags"]][0]
    assert "master" in mine["flags"] and mine["slots"] == []


def test_add_node_as_replica_of_least_replicated_master(start_cluster_nodes):
    srv = start_cluster_nodes(5)
    ports = srv.cluster_ports
    # Masters 0, 1, 2; node 3 replicates master 0: counts 1, 0, 0.
    ids = build_cluster(ports[:4], masters=3)
    order = list_order(ports[0], ports[:4])
    chosen = [p for p in order if p in (ports[1], ports[2])][0]
    new, entry = addrs([ports[4], ports[0]])
    status, out, err = cli_cluster("add-node", new, entry, "--cluster-slave")
    assert status == 0, out + err
    assert f"Automatically selected master 127.0.0.1:{chosen}\n" in out
    assert "Waiting for the cluster to join\n" in out
    assert out.endswith(f">>> Configure node as replica of 127.0.0.1:{chosen}.\n"
                        "[OK] New node added correctly.\n")
    master_id = ids[ports.index(chosen)]
    assert wait_until(lambda: view(ports[0]).get(ids_by_port([ports[4]])[ports[4]], {})
                      .get("master") == master_id, timeout=10)


def test_add_node_as_replica_of_given_master(start_cluster_nodes):
    srv = start_cluster_nodes(4)
    ports = srv.cluster_ports
    ids = build_cluster(ports[:3])
    new, entry = addrs([ports[3], ports[1]])
    status, out, err = cli_cluster("add-node", new, entry, "--cluster-slave",
                                   "--cluster-master-id", ids[2].upper())
    assert status == 0, out + err
    assert "Automatically selected" not in out
    assert f">>> Configure node as replica of 127.0.0.1:{ports[2]}.\n" in out
    new_id = ids_by_port([ports[3]])[ports[3]]
    assert wait_until(lambda: view(ports[0]).get(new_id, {}).get("master") == ids[2], timeout=10)


def test_add_node_refusals(masters3, start_server):
    _, ports = masters3
    entry = f"127.0.0.1:{ports[0]}"
    plain = start_server()
    c = raw(ports[4])
    c.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON")
    assert c.cmd("SET", "k", "v") == "OK"
    c.close()
    gone = free_port()
    cases = [
        (["--cluster-slave", "--cluster-master-id", "f" * 40], ports[3],
         f"[ERR] No such master ID {'f' * 40}\n"),
        ([], ports[4], f"[ERR] Node 127.0.0.1:{ports[4]} is not empty. Either the node already "
                       "knows other nodes (check with CLUSTER NODES) or contains some key in "
                       "database 0.\n"),
        ([], plain.port, f"[ERR] Node 127.0.0.1:{plain.port} is not configured as a cluster "
                         "node.\n"),
        ([], gone, f"[ERR] Sorry, can't connect to node 127.0.0.1:{gone}\n"),
    ]
    for opts, port, message in cases:
        status, out, err = cli_cluster("add-node", f"127.0.0.1:{port}", entry, *opts)
        assert status == 1, out + err
        assert out.endswith(message), out
        assert "CLUSTER MEET" not in out
    assert all(known_nodes(p) == 3 for p in ports[:3])
    assert known_nodes(ports[3]) == 1 and known_nodes(ports[4]) == 1
    status, out, err = cli_cluster("add-node", f"127.0.0.1:{ports[3]}")
    assert status == 1
    assert err == "[ERR] Wrong number of arguments for specified --cluster sub command\n"
    status, out, err = cli_cluster("add-node", f"127.0.0.1:{ports[3]}", "127.0.0.1")
    assert status == 1 and err.startswith("[ERR] Invalid arguments: you need to pass")


def test_add_node_to_a_failing_cluster_is_refused(masters3):
    _, ports = masters3
    node_hook(ports[0], "CLUSTER", "UNCOVER", "100")
    status, out, _ = cli_cluster("add-node", f"127.0.0.1:{ports[3]}", f"127.0.0.1:{ports[0]}")
    assert status == 1
    assert "[ERR] Not all 16384 slots are covered by nodes.\n" in out
    assert "CLUSTER MEET" not in out and known_nodes(ports[3]) == 1


# ---- del-node ----

def test_del_node_replica_with_upper_case_id(start_cluster_nodes):
    srv = start_cluster_nodes(4)
    ports = srv.cluster_ports
    ids = build_cluster(ports, masters=3)  # node 3 replicates node 0
    typed = ids[3].upper()
    for p in ports:
        node_hook(p, "HISTORY", "CLEAR")
    status, out, err = cli_cluster("del-node", f"127.0.0.1:{ports[1]}", typed)
    assert status == 0, out + err
    assert out.startswith(f">>> Removing node {typed} from cluster 127.0.0.1:{ports[1]}\n")
    assert out.endswith(">>> Sending CLUSTER FORGET messages to the cluster...\n"
                        ">>> Sending CLUSTER RESET SOFT to the deleted node.\n")
    for p in ports[:3]:
        assert f'"CLUSTER" "FORGET" "{typed}"' in node_history(p)
        assert ids[3] not in view(p)
    assert '"CLUSTER" "RESET" "SOFT"' in node_history(ports[3])
    assert known_nodes(ports[3]) == 1


def test_del_node_moves_replicas_of_an_empty_master(start_cluster_nodes):
    srv = start_cluster_nodes(5)
    ports = srv.cluster_ports
    ids = build_cluster(ports[:3])
    extra = ids_by_port(ports[3:])
    for p in ports[3:]:
        assert raw(p).cmd("CLUSTER", "MEET", "127.0.0.1", ports[0]) == "OK"
    assert wait_until(lambda: all(known_nodes(p) == 5 for p in ports), timeout=10)
    assert wait_until(lambda: raw(ports[4]).cmd("CLUSTER", "REPLICATE", extra[ports[3]]) == "OK")
    assert wait_until(lambda: view(ports[0]).get(extra[ports[4]], {}).get("master")
                      == extra[ports[3]], timeout=10)
    status, out, err = cli_cluster("del-node", f"127.0.0.1:{ports[0]}", extra[ports[3]])
    assert status == 0, out + err
    # The entry node comes first and has no replica: it takes the orphan,
    # never the node being removed.
    assert f">>> 127.0.0.1:{ports[4]} as replica of 127.0.0.1:{ports[0]}\n" in out
    assert wait_until(lambda: view(ports[1]).get(extra[ports[4]], {}).get("master") == ids[0],
                      timeout=10)
    assert extra[ports[3]] not in view(ports[4])


def test_del_node_refusals(masters3):
    _, ports = masters3
    ids = ids_by_port(ports[:3])
    entry = f"127.0.0.1:{ports[2]}"
    status, out, _ = cli_cluster("del-node", entry, ids[ports[1]])
    assert status == 1
    assert out.endswith(f"[ERR] Node 127.0.0.1:{ports[1]} is not empty! Reshard data away and "
                        "try again.\n")
    status, out, _ = cli_cluster("del-node", entry, "0" * 40)
    assert status == 1 and out.endswith(f"[ERR] No such node ID {'0' * 40}\n")
    assert all(known_nodes(p) == 3 for p in ports[:3])


def test_del_node_stops_at_a_refused_forget(start_cluster_nodes):
    srv = start_cluster_nodes(4)
    ports = srv.cluster_ports
    ids = build_cluster(ports, masters=3)
    order = list_order(ports[0], ports)
    refusing = [p for p in order if p != ports[3]][1]
    node_hook(refusing, "FAIL", "CLUSTER FORGET", "1", "ERR no forgetting today")
    status, out, _ = cli_cluster("del-node", f"127.0.0.1:{ports[0]}", ids[3])
    assert status == 1
    assert out.endswith(f"Node 127.0.0.1:{refusing} replied with error:\n"
                        "ERR no forgetting today\n")
    assert "RESET SOFT" not in out
    assert known_nodes(ports[3]) == 4


# ---- call ----

@pytest.fixture
def cluster33(start_cluster_nodes):
    srv = start_cluster_nodes(6)
    ports = srv.cluster_ports
    ids = build_cluster(ports, replicas=1)
    return ports, ids


def test_call_filters(cluster33):
    ports, ids = cluster33
    order = list_order(ports[0], ports)
    id_of = dict(zip(ports, ids))

    def lines(selected):
        return "".join(f"127.0.0.1:{p}: {id_of[p]}\n" for p in order if p in selected)

    cases = [
        ([], ports),
        (["--cluster-only-masters"], ports[:3]),
        (["--cluster-only-replicas"], ports[3:]),
        (["--cluster-only-masters", "--cluster-only-replicas"], []),
    ]
    for opts, selected in cases:
        status, out, err = cli_cluster("call", f"127.0.0.1:{ports[0]}", "cluster", "myid", *opts)
        assert status == 0, err
        assert out == ">>> Calling cluster myid\n" + lines(selected), opts


def test_call_raw_rendering_and_failures(cluster33):
    ports, ids = cluster33
    order = list_order(ports[0], ports)
    node_hook(ports[1], "CLOSE", "DBSIZE", "1", "0")
    node_hook(ports[2], "FAIL", "DBSIZE", "1", "ERR not now")
    status, out, _ = cli_cluster("call", f"127.0.0.1:{ports[0]}", "DBSIZE", "--cluster-only-masters")
    assert status == 0
    # The raw form of an error carries its own line end.
    want = {ports[0]: "0", ports[1]: "Failed!", ports[2]: "ERR not now\n"}
    assert out == ">>> Calling DBSIZE\n" + "".join(
        f"127.0.0.1:{p}: {want[p]}\n" for p in order if p in want)
    # Arrays come out one element a line, as in --raw.
    status, out, _ = cli_cluster("call", f"127.0.0.1:{ports[3]}", "ECHO", "a b",
                                 "--cluster-only-replicas")
    assert status == 0 and out.count(": a b\n") == 3


# ---- set-timeout ----

def test_set_timeout_floor_before_connecting():
    for value in ("50", "99", "abc", "0"):
        status, out, err = cli_cluster("set-timeout", f"127.0.0.1:{free_port()}", value)
        assert status == 1
        assert out == ""
        assert err == "Setting a node timeout of less than 100 milliseconds is a bad idea.\n"


def test_set_timeout_counts_refused_rewrite(masters3):
    _, ports = masters3
    node_hook(ports[1], "FAIL", "CONFIG REWRITE", "1", "ERR Rewriting config file: Permission denied")
    order = list_order(ports[0], ports[:3])
    status, out, err = cli_cluster("set-timeout", f"127.0.0.1:{ports[0]}", "15000")
    assert status == 0, err
    body = ""
    for p in order:
        if p == ports[1]:
            body += (f"ERR setting node-timeot for 127.0.0.1:{p}: ERR Rewriting config file: "
                     "Permission denied\n")
        else:
            body += f"*** New timeout set for 127.0.0.1:{p}\n"
    assert out == (">>> Reconfiguring node timeout in every cluster node...\n" + body +
                   ">>> New node timeout set. 2 OK, 1 ERR.\n")
    for p in ports[:3]:
        assert raw(p).cmd("CONFIG", "GET", "cluster-node-timeout")[1] == b"15000"
    hist = node_history(ports[2])
    i = hist.index('"CONFIG" "SET" "cluster-node-timeout" "15000"')
    assert hist[i + 1] == '"CONFIG" "REWRITE"'


def test_set_timeout_refused_set_skips_rewrite(masters3):
    _, ports = masters3
    node_hook(ports[2], "FAIL", "CONFIG SET", "1", "ERR no")
    node_hook(ports[2], "HISTORY", "CLEAR")
    status, out, _ = cli_cluster("set-timeout", f"127.0.0.1:{ports[0]}", "20000")
    assert status == 0
    assert f"ERR setting node-timeot for 127.0.0.1:{ports[2]}: ERR no\n" in out
    assert out.endswith(">>> New node timeout set. 2 OK, 1 ERR.\n")
    assert '"CONFIG" "REWRITE"' not in node_history(ports[2])
