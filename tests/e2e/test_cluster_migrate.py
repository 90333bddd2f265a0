"""The slot migration engine through `--cluster reshard` of single slots on a
simulated cluster: the marks, the batches of MIGRATE, existing keys on the
target with equal and different values, and the credentials MIGRATE
carries."""
import pytest

from cluster_cli import cli_cluster
from cluster_keys import (assert_check_passes, assert_values, local_keys, owner_in_views, put,
                          slot_keys)
from conftest import RawConn, build_cluster


@pytest.fixture
def cluster(start_cluster_nodes):
    """Three masters: A slots 0-5460, B 5461-10922, C 10923-16383."""
    srv = start_cluster_nodes(3)
    ids = build_cluster(srv.cluster_ports)
    return srv, srv.cluster_ports, ids


def node_history(port, name):
    """What the node received of the migration's commands: MIGRATE, or
    (name "CLUSTER") the SETSLOT and GETKEYSINSLOT sub-commands."""
    heads = ('"MIGRATE"',) if name == "MIGRATE" else ('"CLUSTER" "SETSLOT"',
                                                       '"CLUSTER" "GETKEYSINSLOT"')
    c = RawConn(port=port)
    lines = [h.decode() for h in c.cmd("DEVHOOK", "HISTORY")]
    c.close()
    return [l for l in lines if l.startswith(heads)]


def clear_history(*ports):
    for p in ports:
        c = RawConn(port=p)
        assert c.cmd("DEVHOOK", "HISTORY", "CLEAR") == "OK"
        c.close()


def move_first_slot(ports, ids, *extra, **env):
    """Reshards one slot (slot 0, A's first) from A to B."""
    return cli_cluster("reshard", f"127.0.0.1:{ports[0]}", "--cluster-from", ids[0],
                       "--cluster-to", ids[1], "--cluster-slots", 1, "--cluster-yes", *extra,
                       **env)


def test_empty_slot(cluster):
    srv, ports, ids = cluster
    clear_history(*ports)
    status, out, err = move_first_slot(ports, ids)
    assert (status, err) == (0, "")
    assert out.endswith("  Resharding plan:\n"
                        f"    Moving slot 0 from {ids[0]}\n"
                        f"Moving slot 0 from 127.0.0.1:{ports[0]} to 127.0.0.1:{ports[1]}: \n")
    assert node_history(ports[0], "CLUSTER") == [
        f'"CLUSTER" "SETSLOT" "0" "migrating" "{ids[1]}"',
        '"CLUSTER" "GETKEYSINSLOT" "0" "10"',
        f'"CLUSTER" "SETSLOT" "0" "node" "{ids[1]}"',
    ]
    assert node_history(ports[0], "MIGRATE") == []
    assert node_history(ports[1], "CLUSTER")[0] == f'"CLUSTER" "SETSLOT" "0" "importing" "{ids[0]}"'
    assert owner_in_views(ports, 0) == {ids[1]}
    assert_check_passes(ports[0])


@pytest.mark.parametrize("pipeline,batches", [(None, [10, 10, 5]), (7, [7, 7, 7, 4]),
                                              (100, [25])])
def test_keys_move_in_batches(cluster, pipeline, batches):
    srv, ports, ids = cluster
    values = {k: f"value of {k}" for k in slot_keys(0, 25)}
    put(ports[0], values)
    clear_history(ports[0])
    extra = () if pipeline is None else ("--cluster-pipeline", pipeline)
    status, out, err = move_first_slot(ports, ids, *extra)
    assert (status, err) == (0, "")
    assert out.endswith(f"Moving slot 0 from 127.0.0.1:{ports[0]} to 127.0.0.1:{ports[1]}: "
                        + "." * 25 + "\n")
    size = pipeline or 10
    assert node_history(ports[0], "CLUSTER")[1:-1] == \
        [f'"CLUSTER" "GETKEYSINSLOT" "0" "{size}"'] * (len(batches) + 1)
    migrates = node_history(ports[0], "MIGRATE")
    prefix = f'"MIGRATE" "127.0.0.1" "{ports[1]}" "" "0" "60000" "KEYS" '
    assert all(m.startswith(prefix) for m in migrates)
    assert [len(m[len(prefix):].split(" ")) for m in migrates] == batches
    assert local_keys(ports[0], 0) == [] and local_keys(ports[1], 0) == sorted(values)
    assert_values(ports[2], values)
    assert_check_passes(ports[0])


@pytest.mark.parametrize("extra,timeout", [
    (("--cluster-timeout", 1500), 1500),
    # A user name without a password gives MIGRATE no credentials.
    (("--user", "ops"), 60000),
])
def test_migrate_words(cluster, extra, timeout):
    srv, ports, ids = cluster
    put(ports[0], {k: "v" for k in slot_keys(0, 3)})
    clear_history(ports[0])
    assert move_first_slot(ports, ids, *extra)[0] == 0
    assert node_history(ports[0], "MIGRATE")[0].startswith(
        f'"MIGRATE" "127.0.0.1" "{ports[1]}" "" "0" "{timeout}" "KEYS" ')


BUSY_WARNINGS = "\n*** Target key exists\n"


@pytest.mark.parametrize("same", [True, False])
def test_existing_target_keys(cluster, same):
    srv, ports, ids = cluster
    keys = slot_keys(0, 12)
    values = {k: "source " + k for k in keys}
    put(ports[0], values)
    # One batch meets a key that B already has.
    busy = keys[3]
    put(ports[1], {busy: values[busy] if same else "target value"}, anyslot=True)
    status, out, err = move_first_slot(ports, ids)
    assert err == ""
    if same:
        assert status == 0
        assert (BUSY_WARNINGS + "*** Checking key values on both nodes...\n"
                "*** Replacing target keys...\n") in out
        assert out.endswith("." * 12 + "\n")
        assert_values(ports[2], values)
        assert_check_passes(ports[0])
        return
    assert status == 1
    assert out.endswith(
        BUSY_WARNINGS + "*** Checking key values on both nodes...\n"
        "*** Found 1 key(s) in both source node and target node having different values.\n"
        f"    Source node: 127.0.0.1:{ports[0]}\n"
        f"    Target node: 127.0.0.1:{ports[1]}\n"
        "    Keys(s):\n"
        f"    - {busy}\n"
        "Please fix the above key(s) manually and try again or relaunch the command \n"
        "with --cluster-replace option to force key overriding.\n"
        "\n")
    # Nothing was overwritten: the busy batch stays on A, B keeps its value.
    assert busy in local_keys(ports[0], 0)
    c = RawConn(port=ports[1])
    assert c.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON") == "OK"
    assert c.cmd("GET", busy) == b"target value"
    c.close()


def test_existing_target_keys_replaced(cluster):
    srv, ports, ids = cluster
    values = {k: "source " + k for k in slot_keys(0, 5)}
    put(ports[0], values)
    put(ports[1], {slot_keys(0, 5)[2]: "stale"}, anyslot=True)
    clear_history(ports[0])
    status, out, err = move_first_slot(ports, ids, "--cluster-replace")
    assert (status, err) == (0, "")
    assert BUSY_WARNINGS + "*** Replacing target keys...\n" in out
    assert "Checking key values" not in out
    assert [m.split(" ")[6] for m in node_history(ports[0], "MIGRATE")] == ['"KEYS"', '"REPLACE"']
    assert_values(ports[2], values)
    assert_check_passes(ports[0])


def test_credentials_carried_by_migrate(start_cluster_nodes):
    srv = start_cluster_nodes(3, "--password", "s3cret", "--user", "ops:opspw")
    ports = srv.cluster_ports
    assert cli_cluster("create", *[f"127.0.0.1:{p}" for p in ports], "--cluster-yes",
                       "-a", "s3cret")[0] == 0
    conns = [RawConn(port=p) for p in ports]
    for c in conns:
        assert c.cmd("AUTH", "s3cret") == "OK"
    ids = [bytes(c.cmd("CLUSTER", "MYID")).decode() for c in conns]
    for slot, (auth, words) in enumerate([(("-a", "s3cret"), '"AUTH" "s3cret"'),
                                          (("--user", "ops", "-a", "opspw"),
                                           '"AUTH2" "ops" "opspw"')]):
        values = {k: "v" for k in slot_keys(slot, 2)}
        for k, v in values.items():
            assert conns[0].cmd("SET", k, v) == "OK"
        assert conns[0].cmd("DEVHOOK", "HISTORY", "CLEAR") == "OK"
        status, out, err = cli_cluster("reshard", f"127.0.0.1:{ports[0]}", "--cluster-from",
                                       ids[0], "--cluster-to", ids[1], "--cluster-slots", 1,
                                       "--cluster-yes", *auth)
        assert status == 0, out + err
        migrate = [h.decode() for h in conns[0].cmd("DEVHOOK", "HISTORY")
                   if h.startswith(b'"MIGRATE"')]
        assert len(migrate) == 1
        assert f'"60000" {words} "KEYS" ' in migrate[0]
        assert sorted(k.decode() for k in conns[1].cmd("CLUSTER", "GETKEYSINSLOT", slot, 10)) \
            == sorted(values)
    for c in conns:
        c.close()


def test_slot_the_source_says_nobody_serves(cluster):
    # A MIGRATE failing for another reason than existing keys, on a source
    # that names no owner for the slot, is sent again as it was.
    srv, ports, ids = cluster
    values = {k: "v" for k in slot_keys(0, 3)}
    put(ports[0], values)
    a = RawConn(port=ports[0])
    assert a.cmd("DEVHOOK", "FAIL", "MIGRATE", 1, "ERR transfer refused") == "OK"
    assert a.cmd("DEVHOOK", "REPLY", "CLUSTER SLOTS", 1, "*0\r\n") == "OK"
    assert a.cmd("DEVHOOK", "HISTORY", "CLEAR") == "OK"
    status, out, err = move_first_slot(ports, ids)
    assert (status, err) == (0, "")
    assert "Slot was not served" not in out and "REPLACE" not in "".join(
        node_history(ports[0], "MIGRATE"))
    assert out.endswith(": ...\n")
    # Refused again, with an owner known: the error is the result.
    assert a.cmd("DEVHOOK", "FAIL", "MIGRATE", 1, "ERR transfer refused") == "OK"
    put(ports[0], {k: "v" for k in slot_keys(1, 2)})
    status, out, err = move_first_slot(ports, ids)
    assert (status, err) == (1, "")
    assert out.endswith(f"Moving slot 1 from 127.0.0.1:{ports[0]} to 127.0.0.1:{ports[1]}: \n"
                        f"Node 127.0.0.1:{ports[0]} replied with error:\nERR transfer refused\n"
                        "\n")
    a.close()
    assert_values(ports[2], values)


@pytest.mark.parametrize("password", [None, "s3cret"])
def test_nodes_in_separate_processes(start_cluster_nodes, password):
    # The source reaches the target over TCP, authenticating as we do.
    extra = ("--password", password) if password else ()
    ports = [start_cluster_nodes(1, *extra).port for _ in range(3)]
    auth = {"VORNCLI_AUTH": password} if password else {}
    assert cli_cluster("create", *[f"127.0.0.1:{p}" for p in ports], "--cluster-yes",
                       **auth)[0] == 0
    conns = [RawConn(port=p) for p in ports]
    if password:
        for c in conns:
            assert c.cmd("AUTH", password) == "OK"
    ids = [bytes(c.cmd("CLUSTER", "MYID")).decode() for c in conns]
    values = {k: "v " + k for k in slot_keys(0, 25)}
    for k, v in values.items():
        assert conns[0].cmd("SET", k, v) == "OK"
    status, out, err = cli_cluster("reshard", f"127.0.0.1:{ports[0]}", "--cluster-from", ids[0],
                                   "--cluster-to", ids[1], "--cluster-slots", 1, "--cluster-yes",
                                   **auth)
    assert (status, err) == (0, "")
    assert out.endswith(f"Moving slot 0 from 127.0.0.1:{ports[0]} to 127.0.0.1:{ports[1]}: "
                        + "." * 25 + "\n")
    assert conns[0].cmd("CLUSTER", "COUNTKEYSINSLOT", 0) == 0
    assert sorted(k.decode() for k in conns[1].cmd("CLUSTER", "GETKEYSINSLOT", 0, 100)) == \
        sorted(values)
    for k, v in values.items():
        assert conns[1].cmd("GET", k) == v.encode()
    for c in conns:
        c.close()
    status, out, err = cli_cluster("check", f"127.0.0.1:{ports[2]}", **auth)
    assert status == 0, out
