"""`--cluster reshard` and `--cluster rebalance` on simulated clusters: the
plan and its shares, sources and targets from options and from the
questions on standard input, the confirmation, weights, thresholds, empty
masters and simulation. After every move the cluster passes `check` and
every key reads back unchanged."""
import re

import pytest

from cluster_cli import cli_cluster, set_keys, view
from cluster_keys import assert_check_passes, assert_values
from conftest import RawConn, build_cluster, cluster_views_agree, wait_until

KEYS = [f"key:{i}" for i in range(300)]


@pytest.fixture
def cluster(start_cluster_nodes):
    """Masters A 0-5460, B 5461-10922, C 10923-16383 and D without slots,
    300 keys spread over A, B and C."""
    srv = start_cluster_nodes(4)
    ports = srv.cluster_ports
    ids = build_cluster(ports[:3])
    c = RawConn(port=ports[3])
    ids.append(bytes(c.cmd("CLUSTER", "MYID")).decode())
    assert c.cmd("CLUSTER", "MEET", "127.0.0.1", ports[0]) == "OK"
    c.close()
    assert wait_until(lambda: cluster_views_agree(ports), timeout=10)
    set_keys(ports[0], KEYS)
    return srv, ports, ids


def slot_counts(port, ids):
    """Slots each node owns in the view of the node on port, by position."""
    v = view(port)
    counts = []
    for nid in ids:
        n = 0
        for entry in v[nid]["slots"]:
            if entry.startswith("["):
                continue
            lo, _, hi = entry.partition("-")
            n += int(hi or lo) - int(lo) + 1
        counts.append(n)
    return counts


def quiet_check(port):
    """What rebalance's own cluster check prints on a healthy cluster."""
    return (f">>> Performing Cluster Check (using node 127.0.0.1:{port})\n"
            "[OK] All nodes agree about slots configuration.\n"
            ">>> Check for open slots...\n"
            ">>> Check slots coverage...\n"
            "[OK] All 16384 slots covered.\n")


def unchanged(ports, ids):
    assert slot_counts(ports[0], ids) == [5461, 5462, 5461, 0]


def plan_lines(out):
    return re.findall(r"^    Moving slot (\d+) from ([0-9a-f]{40})$", out, re.M)


def test_reshard_from_all_shares_and_moves(cluster):
    srv, ports, ids = cluster
    status, out, err = cli_cluster("reshard", f"127.0.0.1:{ports[0]}", "--cluster-from", "all",
                                   "--cluster-to", ids[3], "--cluster-slots", 100, "--cluster-yes")
    assert (status, err) == (0, "")
    assert "\nReady to move 100 slots.\n  Source nodes:\n    M: " in out
    assert f"  Destination node:\n    M: {ids[3]} 127.0.0.1:{ports[3]}\n" \
           "       slots: (0 slots) master\n  Resharding plan:\n" in out
    plan = plan_lines(out)
    # B, the largest source, comes first and gives ceil(33.34) slots.
    assert plan[:34] == [(str(s), ids[1]) for s in range(5461, 5495)]
    assert sorted(plan[34:]) == sorted([(str(s), ids[0]) for s in range(0, 33)] +
                                       [(str(s), ids[2]) for s in range(10923, 10956)])
    moves = re.findall(r"^Moving slot (\d+) from 127\.0\.0\.1:(\d+) to 127\.0\.0\.1:(\d+): \.*$",
                       out, re.M)
    assert [m[0] for m in moves] == [p[0] for p in plan]
    assert {m[2] for m in moves} == {str(ports[3])}
    assert slot_counts(ports[0], ids) == [5428, 5428, 5428, 100]
    assert_values(ports[0], {k: k for k in KEYS})
    assert_check_passes(ports[3])


def test_reshard_through_the_questions(cluster):
    srv, ports, ids = cluster
    answers = (f"0\n99999\nten\n5\n\n{ids[3]}\n{ids[3]}\n\n{ids[0].upper()}\ndone\nyes\n")
    status, out, err = cli_cluster("reshard", f"127.0.0.1:{ports[0]}", input=answers.encode())
    assert (status, err) == (0, "")
    q = "How many slots do you want to move (from 1 to 16384)? "
    assert out.count(q) == 4
    assert out.count("What is the receiving node ID? ") == 2
    assert ("Please enter all the source node IDs.\n"
            "  Type 'all' to use all the nodes as source nodes for the hash slots.\n"
            "  Type 'done' once you entered all the source nodes IDs.\n"
            "Source node #1: *** It is not possible to use the target node as source node.\n"
            "Source node #1: Source node #1: Source node #2: \n"
            "Ready to move 5 slots.\n") in out
    assert plan_lines(out) == [(str(s), ids[0]) for s in range(5)]
    assert "Do you want to proceed with the proposed reshard plan (yes/no)? Moving slot 0" in out
    assert slot_counts(ports[0], ids) == [5456, 5462, 5461, 5]
    assert_values(ports[0], {k: k for k in KEYS})
    assert_check_passes(ports[0])


@pytest.mark.parametrize("args,answers,out_tail,err", [
    # A declined plan moves nothing and fails.
    (("--cluster-slots", 10, "--cluster-from", "all"), b"no\n",
     "(yes/no)? ", ""),
    # Nothing on standard input: the question cannot be answered.
    (("--cluster-slots", 10, "--cluster-from", "all"), b"", "(yes/no)? ", ""),
    (("--cluster-slots", 10), b"", "Source node #1: \n",
     "*** No answer on standard input, operation aborted.\n"),
    # The target as its only source leaves no source.
    (("--cluster-slots", 10, "--cluster-from", "TARGET", "--cluster-yes"), b"",
     "*** It is not possible to use the target node as source node.\n",
     "*** No source nodes given, operation aborted.\n"),
    # An unknown source stops the command.
    (("--cluster-slots", 10, "--cluster-from", "0123,all", "--cluster-yes"), b"",
     "*** The specified node (0123) is not known or not a master, please retry.\n", ""),
])
def test_reshard_refusals(cluster, args, answers, out_tail, err):
    srv, ports, ids = cluster
    args = [ids[3] if a == "TARGET" else a for a in args]
    status, out, e = cli_cluster("reshard", f"127.0.0.1:{ports[0]}", "--cluster-to", ids[3],
                                 *args, input=answers)
    assert (status, e) == (1, err)
    assert out.endswith(out_tail)
    unchanged(ports, ids)


def test_reshard_refuses_a_cluster_with_problems(cluster):
    srv, ports, ids = cluster
    c = RawConn(port=ports[0])
    assert c.cmd("CLUSTER", "SETSLOT", 7, "MIGRATING", ids[1]) == "OK"
    c.close()
    args = ("reshard", f"127.0.0.1:{ports[0]}", "--cluster-from", ids[0], "--cluster-to", ids[3],
            "--cluster-slots", 1, "--cluster-yes")
    status, out, err = cli_cluster(*args)
    assert (status, err) == (1, "*** Please fix your cluster problems before resharding\n")
    assert "[WARNING] The following slots are open: 7.\n" in out
    unchanged(ports, ids)
    status, out, err = cli_cluster("rebalance", f"127.0.0.1:{ports[0]}",
                                   "--cluster-use-empty-masters")
    assert (status, err) == (1, "")
    assert out.endswith("*** Please fix your cluster problems before rebalancing\n")
    unchanged(ports, ids)


def test_rebalance_not_needed(cluster):
    srv, ports, ids = cluster
    # D has no slots and is left out without --cluster-use-empty-masters.
    assert cli_cluster("rebalance", f"127.0.0.1:{ports[0]}") == (
        0, quiet_check(ports[0]) + "*** No rebalancing needed! All nodes are within the 2.00% threshold.\n", "")
    unchanged(ports, ids)


def rebalance_moves(out, ports):
    """[(slots, from index, to index, number of #)] of a rebalance output."""
    found = re.findall(r"^Moving (\d+) slots from 127\.0\.0\.1:(\d+) to 127\.0\.0\.1:(\d+)\n"
                       r"(#*)\n", out, re.M)
    return [(int(n), ports.index(int(a)), ports.index(int(b)), len(h)) for n, a, b, h in found]


@pytest.mark.parametrize("simulate", [False, True])
def test_rebalance_fills_an_empty_master(cluster, simulate):
    srv, ports, ids = cluster
    extra = ("--cluster-simulate",) if simulate else ()
    status, out, err = cli_cluster("rebalance", f"127.0.0.1:{ports[0]}",
                                   "--cluster-use-empty-masters", *extra, timeout=300)
    assert (status, err) == (0, "")
    assert out.startswith(quiet_check(ports[0]) + ">>> Rebalancing across 4 nodes. Total weight = 4.00\n")
    moves = rebalance_moves(out, ports)
    # B, the largest giver, is paired first; A and C give 1365 each.
    assert moves[0] == (1366, 1, 3, 1366)
    assert sorted(moves[1:]) == [(1365, 0, 3, 1365), (1365, 2, 3, 1365)]
    if simulate:
        unchanged(ports, ids)
        return
    assert slot_counts(ports[0], ids) == [4096] * 4
    assert_values(ports[0], {k: k for k in KEYS})
    assert_check_passes(ports[0])


def test_rebalance_with_weights_and_verbose(cluster):
    srv, ports, ids = cluster
    status, out, err = cli_cluster("rebalance", f"127.0.0.1:{ports[0]}", "--cluster-weight",
                                   f"{ids[0][:8].upper()}=2", "--verbose", timeout=300)
    assert (status, err) == (0, "")
    assert out.startswith(quiet_check(ports[0]) +
                          ">>> Rebalancing across 3 nodes. Total weight = 4.00\n"
                          f"127.0.0.1:{ports[0]} balance is -2731 slots\n")
    assert rebalance_moves(out, ports) == [(1366, 1, 0, 1366), (1365, 2, 0, 1365)]
    assert slot_counts(ports[0], ids) == [8192, 4096, 4096, 0]
    assert_values(ports[0], {k: k for k in KEYS})
    assert_check_passes(ports[0])


def test_rebalance_threshold_and_rounding(cluster):
    srv, ports, ids = cluster
    weight = ("--cluster-weight", f"{ids[0][:6]}=1.1")
    # Shares 5813, 5285, 5285: A is 6.4 % off its share.
    assert cli_cluster("rebalance", f"127.0.0.1:{ports[0]}", *weight,
                       "--cluster-threshold", 10) == (
        0, quiet_check(ports[0]) + "*** No rebalancing needed! All nodes are within the 10.00% threshold.\n", "")
    unchanged(ports, ids)
    status, out, err = cli_cluster("rebalance", f"127.0.0.1:{ports[0]}", *weight, timeout=300)
    assert (status, err) == (0, "")
    # The slot the truncated shares leave over goes to A as well.
    assert rebalance_moves(out, ports) == [(177, 1, 0, 177), (176, 2, 0, 176)]
    assert slot_counts(ports[0], ids) == [5814, 5285, 5285, 0]
    assert_check_passes(ports[0])


def test_rebalance_unknown_weight_prefix(cluster):
    srv, ports, ids = cluster
    assert cli_cluster("rebalance", f"127.0.0.1:{ports[0]}", "--cluster-weight",
                       f"{ids[1][:6]}=1", "ffffzz=2") == (1, "*** No such master node ffffzz\n", "")
    unchanged(ports, ids)


def test_rebalance_weight_must_be_a_number(cluster):
    srv, ports, ids = cluster
    status, out, err = cli_cluster("rebalance", f"127.0.0.1:{ports[0]}", "--cluster-weight",
                                   f"{ids[0][:6]}=heavy")
    assert (status, out) == (1, "")
    assert err == ("Invalid value for option --cluster-weight: 'heavy' "
                   "(expected a weight of 0 or more)\n")


def test_reshard_with_replicas(start_cluster_nodes):
    # "all" means the masters: replicas neither give slots nor receive them,
    # and they follow the new owners.
    srv = start_cluster_nodes(6)
    ports = srv.cluster_ports
    ids = build_cluster(ports, replicas=1)
    set_keys(ports[0], KEYS)
    status, out, err = cli_cluster("reshard", f"127.0.0.1:{ports[3]}", "--cluster-from", "all",
                                   "--cluster-to", ids[2], "--cluster-slots", 20, "--cluster-yes")
    assert (status, err) == (0, "")
    assert {src for _, src in plan_lines(out)} == {ids[0], ids[1]}
    assert len(plan_lines(out)) == 20
    # The replicas learn the new owners by gossip.
    wait_until(lambda: cli_cluster("check", f"127.0.0.1:{ports[5]}")[0] == 0, timeout=10)
    assert_check_passes(ports[5])
    status, out, err = cli_cluster("reshard", f"127.0.0.1:{ports[0]}", "--cluster-from", "all",
                                   "--cluster-to", ids[4], "--cluster-slots", 1, "--cluster-yes")
    assert (status, err) == (1, "")
    assert out.endswith(f"*** The specified node ({ids[4]}) is not known or not a master, "
                        "please retry.\n")
    assert_values(ports[4], {k: k for k in KEYS})
