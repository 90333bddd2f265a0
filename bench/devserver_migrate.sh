#!/usr/bin/env bash
# vorn-devserver's slot migration rate alone: 4096 slots holding 1,000,000
# keys moved from one master to the other by a raw driver that speaks the
# protocol itself and does exactly what a slot move needs (IMPORTING and
# MIGRATING marks, GETKEYSINSLOT + MIGRATE KEYS per batch of 10 and of 100
# keys, SETSLOT NODE on both), between two nodes of one process (MIGRATE in
# memory) and, with 100 keys per batch, of two processes (MIGRATE over TCP).
# Baseline, measured in the same run: the same keys written to the source by
# pipelined SETs. Prints keys per second, the ratio to the baseline, the
# round trips per slot and the servers' CPU time per key moved.
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
PYTHONPATH="$(dirname "$0")" exec /usr/bin/python3 - "$dir" "${MIGRATE_BENCH_KEYS:-1000000}" <<'PY'
import os, socket, subprocess, sys, time

bindir, nkeys = sys.argv[1], int(sys.argv[2])
SLOTS = 4096


from raw_conn import encode as request
from slot_tags import slot_tags


class Node:
    """A blocking connection that sends requests and reads their replies."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.f = self.sock.makefile("rb", buffering=1 << 20)
        self.round_trips = 0

    def reply(self):
        line = self.f.readline()
        t, rest = line[:1], line[1:-2]
        if t == b"-":
            raise RuntimeError(rest.decode())
        if t == b"$":
            n = int(rest)
            return None if n < 0 else self.f.read(n + 2)[:-2]
        if t == b"*":
            return [self.reply() for _ in range(int(rest))]
        if t == b":":
            return int(rest)
        return rest.decode()

    def cmd(self, *args):
        self.sock.sendall(request(*args))
        self.round_trips += 1
        return self.reply()

    def pipeline(self, reqs, chunk=10000):
        for i in range(0, len(reqs), chunk):
            part = reqs[i:i + chunk]
            self.sock.sendall(b"".join(part))
            for _ in part:
                self.reply()
            self.round_trips += 1


def cpu_seconds(procs):
    """User and system time the servers used so far: steadier than wall time
    on a loaded machine."""
    total = 0
    for p in procs:
        with open(f"/proc/{p.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def start(nodes):
    p = subprocess.Popen([f"{bindir}/vorn-devserver", "--port", "0", "--cluster-nodes",
                          str(nodes)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    ready = dict(f.split("=", 1) for f in p.stdout.readline().decode().split()[1:])
    return p, [int(x) for x in ready["cluster-ports"].split(",")]


def join(ports):
    """Two masters: the first owns slots 0..SLOTS-1, the second the rest."""
    a, b = Node(ports[0]), Node(ports[1])
    a.cmd("CLUSTER", "ADDSLOTSRANGE", 0, SLOTS - 1)
    b.cmd("CLUSTER", "ADDSLOTSRANGE", SLOTS, 16383)
    a.cmd("CLUSTER", "SET-CONFIG-EPOCH", 1)
    b.cmd("CLUSTER", "SET-CONFIG-EPOCH", 2)
    b.cmd("CLUSTER", "MEET", "127.0.0.1", ports[0])
    ids = [a.cmd("CLUSTER", "MYID").decode(), b.cmd("CLUSTER", "MYID").decode()]
    for _ in range(400):
        if all(b"handshake" not in n.cmd("CLUSTER", "NODES") and
               n.cmd("CLUSTER", "NODES").count(b"\n") == 2 for n in (a, b)):
            break
        time.sleep(0.05)
    else:
        raise RuntimeError("the nodes did not meet")
    return a, b, ids


def move_all(a, b, ids, target_port, batch):
    """Moves slots 0..SLOTS-1 from a to b; returns (seconds, keys moved)."""
    a.round_trips = b.round_trips = 0
    moved = 0
    t0 = time.perf_counter()
    for slot in range(SLOTS):
        b.cmd("CLUSTER", "SETSLOT", slot, "IMPORTING", ids[0])
        a.cmd("CLUSTER", "SETSLOT", slot, "MIGRATING", ids[1])
        while keys := a.cmd("CLUSTER", "GETKEYSINSLOT", slot, batch):
            r = a.cmd("MIGRATE", "127.0.0.1", target_port, "", 0, 60000, "KEYS", *keys)
            if r != "OK":
                raise RuntimeError(f"MIGRATE answered {r}")
            moved += len(keys)
        a.cmd("CLUSTER", "SETSLOT", slot, "NODE", ids[1])
        b.cmd("CLUSTER", "SETSLOT", slot, "NODE", ids[1])
    return time.perf_counter() - t0, moved


tags = slot_tags(SLOTS)
sets = [request(b"SET", b"{%s}:%d" % (tags[i % SLOTS], i // SLOTS), b"value-%d" % i)
        for i in range(nkeys)]
print(f"keys: {nkeys} in {SLOTS} slots")
baseline = None
for label, processes, batch in (("one process", 1, 10), ("one process", 1, 100),
                                ("two processes", 2, 100)):
    procs = []
    try:
        if processes == 1:
            p, ports = start(2)
            procs.append(p)
        else:
            ports = []
            for _ in range(2):
                p, pp = start(1)
                procs.append(p)
                ports += pp
        a, b, ids = join(ports)
        t0 = time.perf_counter()
        a.pipeline(sets)
        load = nkeys / (time.perf_counter() - t0)
        baseline = baseline or load
        cpu0 = cpu_seconds(procs)
        secs, moved = move_all(a, b, ids, ports[1], batch)
        cpu = cpu_seconds(procs) - cpu0
        assert moved == nkeys and b.cmd("DBSIZE") == nkeys and a.cmd("DBSIZE") == 0
        rate = moved / secs
        print(f"baseline SET (pipelined) {load:10.0f} keys/s")
        print(f"MIGRATE {label:13s} batch {batch:3d}: {rate:10.0f} keys/s "
              f"({secs:.1f} s), {rate / load:.2f}x the SET rate of this run, "
              f"{(a.round_trips + b.round_trips) / SLOTS:.1f} round trips per slot, "
              f"server CPU {cpu * 1e6 / moved:.2f} us per key")
    finally:
        for p in procs:
            p.terminate()
            p.wait(timeout=30)
PY
