"""Keys placed in chosen hash slots of a simulated cluster, and the checks
that a move or a repair kept them: every key readable with its value, and
the cluster passing `check`."""
import functools

from cluster_cli import cli_cluster
from conftest import Err, RawConn


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


@functools.lru_cache(maxsize=None)
def tag_for_slot(slot):
    """A hash tag whose keys all fall in slot."""
    i = 0
    while crc16(b"t%d" % i) % 16384 != slot:
        i += 1
    return "t%d" % i


def slot_keys(slot, n, prefix="k"):
    """n key names of slot."""
    tag = tag_for_slot(slot)
    return [f"{{{tag}}}:{prefix}{i}" for i in range(n)]


def put(port, values, anyslot=False):
    """SETs key -> value on the node on port; with anyslot, also keys of
    slots the node does not own (stray keys)."""
    c = RawConn(port=port)
    try:
        if anyslot:
            assert c.cmd("DEVHOOK", "CLUSTER", "ANYSLOT", "ON") == "OK"
        for k, v in values.items():
            assert c.cmd("SET", k, v) == "OK"
    finally:
        c.close()


def local_keys(port, slot):
    """The keys of slot the node on port holds itself."""
    c = RawConn(port=port)
    try:
        n = c.cmd("CLUSTER", "COUNTKEYSINSLOT", slot)
        return sorted(k.decode() for k in c.cmd("CLUSTER", "GETKEYSINSLOT", slot, max(n, 1)))
    finally:
        c.close()


def read(port, key):
    """GET key through the cluster from the node on port, following MOVED."""
    for _ in range(5):
        c = RawConn(port=port)
        try:
            r = c.cmd("GET", key)
        finally:
            c.close()
        if isinstance(r, Err) and r.startswith("MOVED "):
            port = int(r.split()[2].rsplit(":", 1)[1])
            continue
        return r
    raise AssertionError(f"{key}: too many redirections")


def assert_values(port, values):
    """Every key reads back with its value: nothing lost, nothing changed."""
    got = {k: read(port, k) for k in values}
    want = {k: v.encode() if isinstance(v, str) else v for k, v in values.items()}
    assert got == want


def assert_check_passes(port, **env):
    status, out, err = cli_cluster("check", f"127.0.0.1:{port}", **env)
    assert (status, err) == (0, ""), out
    assert "[OK] All nodes agree about slots configuration.\n" in out
    assert "[OK] All 16384 slots covered.\n" in out
    assert "[WARNING]" not in out and "[ERR]" not in out, out
    return out


def owner_in_views(ports, slot):
    """The set of node IDs the given nodes name as the slot's owner."""
    owners = set()
    for p in ports:
        c = RawConn(port=p)
        text = bytes(c.cmd("CLUSTER", "NODES")).decode()
        c.close()
        found = None
        for line in text.splitlines():
            f = line.split(" ")
            for entry in f[8:]:
                if entry.startswith("["):
                    continue
                lo, _, hi = entry.partition("-")
                if int(lo) <= slot <= int(hi or lo):
                    found = f[0]
        owners.add(found)
    return owners
