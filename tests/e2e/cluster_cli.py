"""Helpers of the cluster manager's end-to-end tests: running `vorn-cli
--cluster`, reading node views, and writing keys where they belong."""
import os
import re

from conftest import SLOW, Err, RawConn, run_cli

LINE = re.compile(r"^([0-9a-f]{40}) (\S+):(\d+)@(\d+) (\S+) (\S+) (\d+) (\d+) (\d+) "
                  r"(connected|disconnected)((?: \S+)*)$")


def cluster_env(**extra):
    """The environment of a cluster command: no colour, no automatic yes,
    unless asked for."""
    env = {k: v for k, v in os.environ.items() if k not in ("TERM", "VORNCLI_CLUSTER_YES")}
    env["HOME"] = "/nonexistent"
    env["TERM"] = "dumb"
    env.update(extra)
    return env


def cli_cluster(*args, input=b"", timeout=60, **env):
    """Runs vorn-cli --cluster ARGS; returns (status, stdout, stderr) as str."""
    r = run_cli(["--cluster"] + [str(a) for a in args], input=input, env=cluster_env(**env),
                timeout=timeout)
    return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")


def addrs(ports):
    return [f"127.0.0.1:{p}" for p in ports]


def raw(port, password=None):
    c = RawConn(port=port)
    if password is not None:
        assert c.cmd("AUTH", password) == "OK"
    return c


def view(port, password=None):
    """{id: dict} of the CLUSTER NODES text of the node on port, plus 'order',
    the IDs in line order."""
    c = raw(port, password)
    text = bytes(c.cmd("CLUSTER", "NODES")).decode()
    c.close()
    nodes, order = {}, []
    for line in text.splitlines():
        m = LINE.match(line)
        assert m, f"malformed CLUSTER NODES line {line!r}"
        nid, ip, p, bus, flags, master, _, _, epoch, link, rest = m.groups()
        nodes[nid] = dict(ip=ip, port=int(p), flags=flags.split(","), master=master,
                          epoch=int(epoch), slots=rest.split())
        order.append(nid)
    nodes["order"] = order
    return nodes


def known_nodes(port, password=None):
    c = raw(port, password)
    text = bytes(c.cmd("CLUSTER", "INFO")).decode()
    c.close()
    return int(re.search(r"cluster_known_nodes:(\d+)", text).group(1))


def set_keys(port, keys):
    """SETs every key to its own name on the node that owns its slot,
    following MOVED from the node on port."""
    conns = {}
    try:
        for k in keys:
            p = port
            for _ in range(3):
                c = conns.setdefault(p, RawConn(port=p))
                r = c.cmd("SET", k, k)
                if isinstance(r, Err) and r.startswith("MOVED "):
                    p = int(r.split()[2].rsplit(":", 1)[1])
                    continue
                assert r == "OK", r
                break
    finally:
        for c in conns.values():
            c.close()


def node_block(nid, port, slots=None, count=0, flags="master", replicas=0, master=None):
    """The text check prints for one node."""
    role = "S" if master else "M"
    text = f"{role}: {nid} 127.0.0.1:{port}\n   slots:{slots or ''} ({count} slots) {flags}\n"
    if master:
        text += f"   replicates {master}\n"
    elif replicas:
        text += f"   {replicas} additional replica(s)\n"
    return text
