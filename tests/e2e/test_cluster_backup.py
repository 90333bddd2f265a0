"""vorn-cli --cluster backup: nodes.json with one object per node, one
snapshot per master that loads back into vorn-devserver with every key, the
same files whether the directory ends with "/" or not, a cluster with
problems, and backups that fail midway."""
import json
import os

import pytest

from cluster_cli import cli_cluster, raw, set_keys, view
from conftest import RawConn, build_cluster

KEYS = [f"key:{i}" for i in range(200)] + ["{user1000}.following", "with space"]


@pytest.fixture
def cluster(start_cluster_nodes):
    srv = start_cluster_nodes(6)
    ports = srv.cluster_ports
    ids = build_cluster(ports, replicas=1)
    set_keys(ports[0], KEYS)
    return ports, ids


def expected_objects(entry, ports, ids, errors=0):
    """The nodes.json objects, in the order the entry node lists the nodes."""
    v = view(entry)
    objs = []
    for nid in v["order"]:
        n = v[nid]
        i = ids.index(nid)
        ranges = [[int(x) for x in s.split("-")] for s in n["slots"] if not s.startswith("[")]
        ranges = [[r[0], r[-1]] if r[0] != r[-1] else [r[0]] for r in ranges]
        o = {"name": nid, "host": "127.0.0.1", "port": ports[i],
             "replicate": None if n["master"] == "-" else n["master"],
             "slots": ranges, "slots_count": sum(r[-1] - r[0] + 1 for r in ranges),
             "flags": ",".join(f for f in n["flags"] if f != "myself"),
             "current_epoch": n["epoch"]}
        if errors:
            o["cluster_errors"] = errors
        objs.append(o)
    return objs


def snapshot_name(port, nid):
    return f"vorn-node-127.0.0.1-{port}-{nid}.vdb"


def keys_of(server):
    c = RawConn(port=server.port)
    try:
        return {k.decode(): c.cmd("GET", k) for k in c.cmd("KEYS", "*")}
    finally:
        c.close()


def test_backup_restores_every_key(cluster, tmp_path, start_server):
    ports, ids = cluster
    order = [nid for nid in view(ports[0])["order"]]
    masters = [nid for nid in order if ids.index(nid) < 3]
    results = []
    for given in (str(tmp_path / "plain"), str(tmp_path / "slash") + "/"):
        os.mkdir(given.rstrip("/"))
        status, out, err = cli_cluster("backup", f"127.0.0.1:{ports[0]}", given)
        assert status == 0, out + err
        saving = "".join(f">>> Node 127.0.0.1:{ports[ids.index(nid)]} -> Saving VDB...\n"
                         for nid in masters)
        path = given.rstrip("/") + "/nodes.json"
        assert out.endswith("[OK] All 16384 slots covered.\n" + saving +
                            f"Saving cluster configuration to: {path}\n"
                            f"[OK] Backup created into: {given}\n")
        assert "Transfer finished with success." in err
        files = sorted(os.listdir(given))
        assert files == sorted(["nodes.json"] + [snapshot_name(ports[ids.index(nid)], nid)
                                                 for nid in masters])
        text = open(path).read()
        assert text.startswith("[\n  {\n    \"name\": ") and text.endswith("\n  }\n]")
        assert json.loads(text) == expected_objects(ports[0], ports, ids)
        assert "cluster_errors" not in text
        results.append((files, text))
    assert results[0] == results[1], "the trailing slash changes nothing"

    restored = {}
    for nid in masters:
        port = ports[ids.index(nid)]
        srv = start_server("--load", str(tmp_path / "plain" / snapshot_name(port, nid)))
        keys = keys_of(srv)
        c = raw(port)
        assert c.cmd("DBSIZE") == len(keys) > 0
        c.close()
        restored.update(keys)
        srv.stop()
    assert restored == {k: k.encode() for k in KEYS}


def test_backup_of_a_cluster_with_problems(cluster, tmp_path):
    ports, ids = cluster
    c = raw(ports[1])
    assert c.cmd("CLUSTER", "SETSLOT", 6000, "MIGRATING", ids[2]) == "OK"
    c.close()
    status, out, err = cli_cluster("backup", f"127.0.0.1:{ports[1]}", str(tmp_path))
    assert status == 0, out + err
    assert out.endswith("*** Cluster seems to have some problems, please be aware of it if "
                        f"you're going to restore this backup.\n[OK] Backup created into: "
                        f"{tmp_path}\n")
    objs = json.loads((tmp_path / "nodes.json").read_text())
    assert len(objs) == 6
    errors = objs[0]["cluster_errors"]
    assert errors >= 1 and all(o["cluster_errors"] == errors for o in objs)
    migrating = [o for o in objs if "migrating" in o]
    assert [(o["name"], o["migrating"]) for o in migrating] == [(ids[1], {"6000": ids[2]})]
    assert '"migrating": {"6000": "' + ids[2] + '"}' in (tmp_path / "nodes.json").read_text()


def test_backup_failing_midway_leaves_no_nodes_json(cluster, tmp_path):
    ports, ids = cluster
    order = view(ports[0])["order"]
    masters = [ports[ids.index(nid)] for nid in order if ids.index(nid) < 3]
    # The second master refuses its snapshot: the first one's file stays,
    # but no nodes.json describes a backup without the others.
    c = RawConn(port=masters[1])
    assert c.cmd("DEVHOOK", "FAIL", "SYNC", 1, "ERR no snapshot today") == "OK"
    c.close()
    status, out, err = cli_cluster("backup", f"127.0.0.1:{ports[0]}", str(tmp_path))
    assert status == 1
    assert f">>> Node 127.0.0.1:{masters[1]} -> Saving VDB...\n" in out
    assert "Saving cluster configuration" not in out and "[OK] Backup created" not in out
    assert "SYNC with master failed: -ERR no snapshot today" in err
    assert sorted(os.listdir(tmp_path)) == [snapshot_name(masters[0], ids[ports.index(masters[0])])]

    missing = tmp_path / "missing"
    status, out, err = cli_cluster("backup", f"127.0.0.1:{ports[0]}", str(missing))
    assert status == 1 and "[OK] Backup created" not in out
    assert f"Error opening '{missing}/" in err
    assert not missing.exists()


def test_backup_that_cannot_write_nodes_json(cluster, tmp_path):
    ports, _ = cluster
    (tmp_path / "nodes.json").mkdir()
    status, out, err = cli_cluster("backup", f"127.0.0.1:{ports[0]}", str(tmp_path))
    assert status == 1, out + err
    assert out.endswith(f"Saving cluster configuration to: {tmp_path}/nodes.json\n"
                        f"Could not save nodes to: {tmp_path}/nodes.json\n"
                        "[ERR] Failed to back cluster!\n")
    assert len(list(tmp_path.glob("*.vdb"))) == 3
    assert list((tmp_path / "nodes.json").iterdir()) == []


def test_backup_argument_errors():
    assert cli_cluster("backup", "127.0.0.1", "/tmp") == (
        1, "", "[ERR] Invalid arguments: you need to pass either a valid address "
               "(ie. 120.0.0.1:7000) or space separated IP and port (ie. 120.0.0.1 7000)\n")
    status, _, err = cli_cluster("backup", "127.0.0.1:7000")
    assert status == 1
    assert err == "[ERR] Wrong number of arguments for specified --cluster sub command\n"
