"""vorn-cli --cluster create on simulated cluster nodes: the plan, the
confirmation, the configuration and the final check; refused node sets
change nothing."""
import re

import pytest

from cluster_cli import addrs, cli_cluster, known_nodes, view
from conftest import RawConn, wait_until


def untouched(ports, password=None):
    """Every node still alone and without slots."""
    for p in ports:
        v = view(p, password)
        assert len(v["order"]) == 1 and v[v["order"][0]]["slots"] == [], p
        assert known_nodes(p, password) == 1


def roles(port):
    """{port: (flags, master port or None, slots)} of the node's view."""
    v = view(port)
    by_id = {nid: v[nid]["port"] for nid in v["order"]}
    out = {}
    for nid in v["order"]:
        n = v[nid]
        master = by_id.get(n["master"]) if n["master"] != "-" else None
        out[n["port"]] = ("slave" in n["flags"], master, n["slots"])
    return out


def test_six_nodes_one_replica_on_one_host(start_cluster_nodes):
    srv = start_cluster_nodes(6)
    ports = srv.cluster_ports
    status, out, err = cli_cluster("create", *addrs(ports), "--cluster-replicas", 1,
                                   "--cluster-yes")
    assert (status, err) == (0, "")
    a = [f"127.0.0.1:{p}" for p in ports]
    assert out.startswith(
        ">>> Performing hash slots allocation on 6 nodes...\n"
        "Master[0] -> Slots 0 - 5460\n"
        "Master[1] -> Slots 5461 - 10922\n"
        "Master[2] -> Slots 10923 - 16383\n"
        f"Adding replica {a[4]} to {a[0]}\n"
        f"Adding replica {a[5]} to {a[1]}\n"
        f"Adding replica {a[3]} to {a[2]}\n"
        ">>> Trying to optimize slaves allocation for anti-affinity\n"
        "[WARNING] Some slaves are in the same host as their master\n")
    # The plan: three masters with their slots, three short replica entries.
    plan = out.split("host as their master\n", 1)[1].split(">>> Nodes configuration", 1)[0]
    assert re.fullmatch(
        rf"M: [0-9a-f]{{40}} {a[0]}\n   slots:\[0-5460\] \(5461 slots\) master\n"
        rf"M: [0-9a-f]{{40}} {a[1]}\n   slots:\[5461-10922\] \(5462 slots\) master\n"
        rf"M: [0-9a-f]{{40}} {a[2]}\n   slots:\[10923-16383\] \(5461 slots\) master\n"
        rf"(S: [0-9a-f]{{40}} 127\.0\.0\.1:\d+\n   replicates [0-9a-f]{{40}}\n){{3}}", plan), plan
    assert (">>> Nodes configuration updated\n"
            ">>> Assign a different config epoch to each node\n"
            ">>> Sending CLUSTER MEET messages to join the cluster\n"
            "Waiting for the cluster to join\n") in out
    assert re.search(r"Waiting for the cluster to join\n\.*\n>>> Performing Cluster Check "
                     rf"\(using node {a[0]}\)\n", out)
    assert out.endswith("[OK] All nodes agree about slots configuration.\n"
                        ">>> Check for open slots...\n"
                        ">>> Check slots coverage...\n"
                        "[OK] All 16384 slots covered.\n")
    assert out.count("   1 additional replica(s)\n") == 3

    # Every view settles on three masters with the planned ranges, each
    # with one replica.
    def settled():
        r = roles(ports[3])
        return ({p: r[p][2] for p in ports[:3]} == {
            ports[0]: ["0-5460"], ports[1]: ["5461-10922"], ports[2]: ["10923-16383"]}
            and all(r[p][0] for p in ports[3:])
            and sorted(r[p][1] or 0 for p in ports[3:]) == sorted(ports[:3]))
    assert wait_until(settled)
    status, out, err = cli_cluster("check", a[5])
    assert (status, err) == (0, "")
    assert out.count("M: ") == 3 and out.count("S: ") == 3


def test_seven_nodes_get_an_extra_replica(start_cluster_nodes):
    srv = start_cluster_nodes(7)
    ports = srv.cluster_ports
    status, out, err = cli_cluster("create", *addrs(ports), "--cluster-replicas", 1,
                                   "--cluster-yes")
    assert (status, err) == (0, "")
    a = addrs(ports)
    assert (f"Adding replica {a[5]} to {a[1]}\n"
            f"Adding replica {a[6]} to {a[2]}\n"
            "Adding extra replicas...\n"
            f"Adding replica {a[3]} to {a[0]}\n") in out
    assert "[OK] All 16384 slots covered.\n" in out
    counts = sorted(int(n) for n in re.findall(r"   (\d) additional replica\(s\)\n",
                                               out.split(">>> Performing Cluster Check")[1]))
    assert counts == [1, 1, 2]


def test_three_hosts_get_perfect_anti_affinity_without_a_word(start_cluster_nodes):
    # The nodes listen on 127.0.0.1; naming them by three loopback spellings
    # makes three hosts for the planner.
    srv = start_cluster_nodes(6)
    ports = srv.cluster_ports
    hosts = ["127.0.0.1", "127.0.0.1", "localhost", "localhost", "127.1", "127.1"]
    args = [f"{h}:{p}" for h, p in zip(hosts, ports)]
    status, out, err = cli_cluster("create", *args, "--cluster-replicas", 1, "--cluster-yes")
    assert status == 0, out + err
    assert "anti-affinity" not in out and "[WARNING]" not in out
    # Interleaved, the masters are the first node of each host.
    assert (f"Adding replica {args[3]} to {args[0]}\n"
            f"Adding replica {args[5]} to {args[2]}\n"
            f"Adding replica {args[1]} to {args[4]}\n") in out


def test_five_nodes_are_too_few(start_cluster_nodes):
    srv = start_cluster_nodes(5)
    status, out, err = cli_cluster("create", *addrs(srv.cluster_ports), "--cluster-replicas", 1,
                                   "--cluster-yes")
    assert status == 1 and err == ""
    assert out == ("*** ERROR: Invalid configuration for cluster creation.\n"
                   "*** Vorn Cluster requires at least 3 master nodes.\n"
                   "*** This is not possible with 5 nodes and 1 replicas per node.\n"
                   "*** At least 6 nodes are required.\n")
    untouched(srv.cluster_ports)


@pytest.mark.parametrize("answer,env", [(b"no\n", {}), (b"", {}), (b"y\n", {}),
                                        (b"yes\n", {"VORNCLI_CLUSTER_YES": "yes"})])
def test_declined_plan_changes_nothing(start_cluster_nodes, answer, env):
    srv = start_cluster_nodes(3)
    status, out, err = cli_cluster("create", *addrs(srv.cluster_ports), input=answer, **env)
    if answer == b"yes\n":
        # A yes typed at the prompt (the variable is not "1") goes ahead.
        assert status == 0 and "Can I set the above configuration? (type 'yes' to accept): " in out
        assert "[OK] All 16384 slots covered." in out
        return
    assert (status, err) == (0, "")
    assert out.endswith("Can I set the above configuration? (type 'yes' to accept): ")
    untouched(srv.cluster_ports)


def test_yes_from_the_environment(start_cluster_nodes):
    srv = start_cluster_nodes(3)
    status, out, err = cli_cluster("create", *addrs(srv.cluster_ports), input=b"no\n",
                                   VORNCLI_CLUSTER_YES="1")
    assert status == 0
    assert "type 'yes'" not in out and "[OK] All 16384 slots covered." in out


NOT_EMPTY = ("is not empty. Either the node already knows other nodes (check with CLUSTER "
             "NODES) or contains some key in database 0.")


def test_refused_nodes(start_cluster_nodes, start_server):
    srv = start_cluster_nodes(4)
    p = srv.cluster_ports
    # A key in database 0.
    c = RawConn(port=p[3])
    assert c.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON") == "OK"
    assert c.cmd("SET", "k", "v") == "OK"
    assert cli_cluster("create", *addrs(p), "--cluster-yes") == (
        1, f"[ERR] Node 127.0.0.1:{p[3]} {NOT_EMPTY}\n", "")
    untouched(p[:3])
    # The same node twice, under two spellings.
    assert cli_cluster("create", f"127.0.0.1:{p[0]}", f"127.0.0.1:{p[1]}",
                       f"localhost:{p[0]}", "--cluster-yes") == (
        1, f"[ERR] Node localhost:{p[0]} is not empty: it is the same node as "
           f"127.0.0.1:{p[0]}.\n", "")
    # A node that already knows another.
    assert RawConn(port=p[1]).cmd("CLUSTER", "MEET", "127.0.0.1", p[2]) == "OK"
    status, out, err = cli_cluster("create", *addrs(p[:3]), "--cluster-yes")
    assert status == 1 and out == f"[ERR] Node 127.0.0.1:{p[1]} {NOT_EMPTY}\n"
    # Not a cluster node, no server, a bad address.
    plain = start_server()
    assert cli_cluster("create", f"127.0.0.1:{plain.port}", *addrs(p[:2])) == (
        1, f"[ERR] Node 127.0.0.1:{plain.port} is not configured as a cluster node.\n", "")
    assert cli_cluster("create", "127.0.0.1@7000", *addrs(p[:2])) == (
        1, "", "Invalid address format: 127.0.0.1\n")
    assert cli_cluster("create", f"127.0.0.1:{p[0]}", "127.0.0.1:99999") == (
        1, "", "Invalid address format: 127.0.0.1:99999\n")
    assert known_nodes(p[0]) == 1


def test_nodes_with_a_password(start_cluster_nodes):
    srv = start_cluster_nodes(3, "--password", "s3cret", "--user", "ops:opspw")
    a = addrs(srv.cluster_ports)
    status, out, err = cli_cluster("create", *a, "--cluster-yes", "-a", "wrong",
                                   "--no-auth-warning")
    assert status == 1 and err == ""
    assert out == (f"Node {a[0]} replied with error:\n"
                   "WRONGPASS invalid username-password pair or user is disabled.\n")
    untouched(srv.cluster_ports, "s3cret")
    # The user, when given, goes with the password.
    status, out, err = cli_cluster("create", *a, "--cluster-yes", "--user", "ops", "-a", "opspw",
                                   "--no-auth-warning")
    assert (status, err) == (0, "")
    assert "[OK] All 16384 slots covered." in out
    status, out, err = cli_cluster("check", a[2], VORNCLI_AUTH="s3cret")
    assert (status, err) == (0, "")


@pytest.mark.parametrize("match,node,stops_before", [
    # A master refusing its slots stops before epochs and MEET.
    ("CLUSTER ADDSLOTS", 1, ">>> Nodes configuration updated"),
    # A refused MEET stops after the epochs, before the join.
    ("CLUSTER MEET", 2, "Waiting for the cluster to join"),
])
def test_configuration_failures(start_cluster_nodes, match, node, stops_before):
    srv = start_cluster_nodes(3)
    ports = srv.cluster_ports
    c = RawConn(port=ports[node])
    assert c.cmd("DEVHOOK", "FAIL", match, 1, "ERR refused by the test") == "OK"
    status, out, err = cli_cluster("create", *addrs(ports), "--cluster-yes")
    assert status == 1
    assert (f"Node 127.0.0.1:{ports[node]} replied with error:\nERR refused by the test\n"
            in out), out
    assert stops_before not in out
    if match == "CLUSTER MEET":
        assert ">>> Sending CLUSTER MEET messages to join the cluster\n" in out


def test_node_without_its_own_line(start_cluster_nodes):
    srv = start_cluster_nodes(3)
    p = srv.cluster_ports
    c = RawConn(port=p[1])
    line = f"{'f' * 40} 127.0.0.1:1@2 master - 0 0 1 connected\n"
    reply = f"${len(line)}\r\n{line}\r\n"
    assert c.cmd("DEVHOOK", "REPLY", "CLUSTER NODES", 1, reply) == "OK"
    assert cli_cluster("create", *addrs(p), "--cluster-yes") == (
        1, f"Node 127.0.0.1:{p[1]} replied with error:\n"
           "CLUSTER NODES lists no line for the node itself\n", "")
    untouched([p[0], p[2]])
