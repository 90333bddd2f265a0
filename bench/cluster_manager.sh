#!/usr/bin/env bash
# Cluster manager: `--cluster create` of 3 masters with 3 replicas end to end,
# against configuring the same cluster over raw connections (slots, epochs,
# MEET, REPLICATE, wait for agreement) in this run; and `--cluster check` of a
# 30-node cluster against one CLUSTER NODES to every node over raw
# connections, with the client's process start alone for scale. Besides
# time, the commands each node received (its DEVHOOK HISTORY): check must stay
# at a fixed number per node, O(nodes) in total.
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
PYTHONPATH="$(dirname "$0")" exec /usr/bin/python3 - "$dir" "${CLUSTER_BENCH_RUNS:-5}" <<'PY'
import os, socket, statistics, subprocess, sys, time

bindir, runs = sys.argv[1], int(sys.argv[2])
ENV = {k: v for k, v in os.environ.items() if k not in ("TERM", "VORNCLI_CLUSTER_YES")}
ENV.update(HOME="/nonexistent", TERM="dumb")


class Conn:
    """A minimal blocking client: requests as arrays, replies decoded."""

    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.f = self.s.makefile("rb")

    def cmd(self, *args):
        req = b"*%d\r\n" % len(args)
        for a in args:
            a = str(a).encode()
            req += b"$%d\r\n%s\r\n" % (len(a), a)
        self.s.sendall(req)
        return self.read()

    def read(self):
        line = self.f.readline()[:-2]
        t, rest = line[:1], line[1:]
        if t in (b"+", b"-"):
            return rest.decode()
        if t == b":":
            return int(rest)
        if t == b"$":
            n = int(rest)
            return None if n < 0 else self.f.read(n + 2)[:-2].decode()
        if t == b"*":
            n = int(rest)
            return None if n < 0 else [self.read() for _ in range(n)]
        raise RuntimeError(f"unexpected reply {line!r}")

    def close(self):
        self.f.close()
        self.s.close()


class Nodes:
    """One vorn-devserver process hosting n empty cluster nodes."""

    def __init__(self, n):
        self.proc = subprocess.Popen(
            [f"{bindir}/vorn-devserver", "--port", "0", "--cluster-nodes", str(n),
             "--enable-test-hooks"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        ready = self.proc.stdout.readline().decode().split()
        fields = dict(f.split("=", 1) for f in ready[1:])
        self.ports = [int(p) for p in fields["cluster-ports"].split(",")]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def agreed(ports):
    """Every node knows every other, none in handshake, roles and slots equal."""
    views = []
    for p in ports:
        c = Conn(p)
        lines = [l.split(" ") for l in c.cmd("CLUSTER", "NODES").splitlines()]
        c.close()
        if len(lines) != len(ports) or any("handshake" in l[2] for l in lines):
            return False
        views.append(sorted((l[0], l[2].replace("myself,", ""), l[3], " ".join(l[8:]))
                            for l in lines))
    return all(v == views[0] for v in views)


def wait_agreed(ports, timeout=60):
    deadline = time.time() + timeout
    while not agreed(ports):
        if time.time() > deadline:
            raise RuntimeError("cluster views did not agree")
        time.sleep(0.05)


def clear_history(ports):
    for p in ports:
        c = Conn(p)
        c.cmd("DEVHOOK", "HISTORY", "CLEAR")
        c.close()


def commands_per_node(ports):
    """Commands each node received since the last clear, leaving out the
    hooks and the bus-port question nodes ask each other on MEET."""
    counts = []
    for p in ports:
        c = Conn(p)
        h = c.cmd("DEVHOOK", "HISTORY")
        c.close()
        counts.append(sum(1 for e in h if not e.startswith('"DEVHOOK"')
                          and not e.upper().startswith('"CONFIG" "GET" "CLUSTER-PORT"')))
    return counts


def cli(*args):
    t0 = time.perf_counter()
    r = subprocess.run([f"{bindir}/vorn-cli", "--cluster", *map(str, args)],
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, env=ENV, timeout=300)
    took = time.perf_counter() - t0
    if r.returncode != 0:
        raise RuntimeError(f"vorn-cli --cluster {args[0]} failed: {r.stdout[-500:]!r} "
                           f"{r.stderr[-500:]!r}")
    return took


def raw_create(ports, replicas):
    masters = len(ports) // (replicas + 1)
    t0 = time.perf_counter()
    conns = [Conn(p) for p in ports]
    ids = [c.cmd("CLUSTER", "MYID") for c in conns]
    first = 0
    for i in range(masters):
        last = 16383 if i == masters - 1 else round(16384 / masters * (i + 1)) - 1
        conns[i].cmd("CLUSTER", "ADDSLOTSRANGE", first, last)
        first = last + 1
    for i, c in enumerate(conns):
        c.cmd("CLUSTER", "SET-CONFIG-EPOCH", i + 1)
    for c in conns[1:]:
        c.cmd("CLUSTER", "MEET", "127.0.0.1", ports[0])
    for i in range(masters, len(ports)):
        while conns[i].cmd("CLUSTER", "REPLICATE", ids[(i - masters) % masters]) != "OK":
            time.sleep(0.02)
    for c in conns:
        c.close()
    wait_agreed(ports)
    return time.perf_counter() - t0


def addrs(ports):
    return [f"127.0.0.1:{p}" for p in ports]


def describe(counts):
    return (f"min {min(counts)}, max {max(counts)}, mean {statistics.mean(counts):.1f}, "
            f"total {sum(counts)}")


# ---- create 3 + 3 ----
create_t, base_t, create_cmds = [], [], None
for _ in range(runs):
    with Nodes(6) as n:
        clear_history(n.ports)
        create_t.append(cli("create", *addrs(n.ports), "--cluster-replicas", 1, "--cluster-yes"))
        create_cmds = commands_per_node(n.ports)
    with Nodes(6) as n:
        base_t.append(raw_create(n.ports, 1))
c, b = statistics.median(create_t), statistics.median(base_t)
print(f"runs: {runs}")
print(f"create 3+3 (vorn-cli)          median wall {c * 1e3:8.1f} ms")
print(f"same cluster over raw protocol median wall {b * 1e3:8.1f} ms")
print(f"ratio {c / b:.2f}x (the client sleeps 1 s after MEET and polls the join once a second)")
print(f"create commands per node: {create_cmds} ({describe(create_cmds)})")

# ---- check of 6 and of 30 nodes ----
def version():
    t0 = time.perf_counter()
    subprocess.run([f"{bindir}/vorn-cli", "--version"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, check=True, timeout=30)
    return time.perf_counter() - t0


start = statistics.median(version() for _ in range(max(runs, 20)))
print(f"process start (vorn-cli --version)      median wall {start * 1e3:7.1f} ms")
for size in (6, 30):
    with Nodes(size) as n:
        cli("create", *addrs(n.ports), "--cluster-replicas", 1, "--cluster-yes")
        wait_agreed(n.ports)
        check_t, base_t = [], []
        for _ in range(runs):
            clear_history(n.ports)
            check_t.append(cli("check", addrs(n.ports[:1])[0]))
            cmds = commands_per_node(n.ports)
            t0 = time.perf_counter()
            for p in n.ports:
                conn = Conn(p)
                conn.cmd("CLUSTER", "NODES")
                conn.close()
            base_t.append(time.perf_counter() - t0)
        c, b = statistics.median(check_t), statistics.median(base_t)
        print(f"check of {size:2d} nodes (vorn-cli)            median wall {c * 1e3:7.1f} ms")
        print(f"one CLUSTER NODES per node (raw)        median wall {b * 1e3:7.1f} ms, "
              f"ratio {c / b:.2f}x")
        print(f"check commands per node ({size} nodes): entry {cmds[0]}, others "
              f"{describe(cmds[1:])}; {sum(cmds) / size:.2f} per node")
PY
