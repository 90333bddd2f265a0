#!/usr/bin/env bash
# Slot migration: `--cluster reshard` of 4096 slots holding 1,000,000 keys
# from one master to the other, with the default pipeline (10 keys per
# MIGRATE) and with --cluster-pipeline 100, against the source node's MIGRATE
# rate alone measured in the same run: the same keys sent by MIGRATE in
# batches of 100 over one raw, fully pipelined connection (no slot marks, no
# GETKEYSINSLOT, no waiting between batches). Besides keys per second, the
# round trips of the reshard per slot (commands the two nodes received).
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
PYTHONPATH="$(dirname "$0")" exec /usr/bin/python3 - "$dir" "${RESHARD_BENCH_KEYS:-1000000}" <<'PY'
import os, subprocess, sys, time

bindir, nkeys = sys.argv[1], int(sys.argv[2])
SLOTS = 4096
ENV = {k: v for k, v in os.environ.items() if k not in ("TERM", "VORNCLI_CLUSTER_YES")}
ENV.update(HOME="/nonexistent", TERM="dumb")


from raw_conn import Conn, encode
from slot_tags import slot_tags


def wait_agreed(ports):
    for _ in range(200):
        views = set()
        for p in ports:
            c = Conn(p)
            lines = sorted(l.split(" ")[0] + " " + " ".join(l.split(" ")[8:])
                           for l in c.cmd("CLUSTER", "NODES").splitlines())
            c.close()
            views.add(tuple(lines))
        if len(views) == 1 and len(next(iter(views))) == len(ports):
            return
        time.sleep(0.05)
    raise RuntimeError("views did not agree")


TAGS = slot_tags(SLOTS)
KEYS = [b"{%s}:%d" % (TAGS[i % SLOTS], i // SLOTS) for i in range(nkeys)]
SETS = [encode(b"SET", k, b"value-%d" % i) for i, k in enumerate(KEYS)]


class Cluster:
    """Two masters: A owns slots 0..4095 and holds every key, B the rest."""

    def __enter__(self):
        self.proc = subprocess.Popen(
            [f"{bindir}/vorn-devserver", "--port", "0", "--cluster-nodes", "2",
             "--enable-test-hooks"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        ready = dict(f.split("=", 1) for f in self.proc.stdout.readline().decode().split()[1:])
        self.ports = [int(p) for p in ready["cluster-ports"].split(",")]
        a, b = Conn(self.ports[0]), Conn(self.ports[1])
        self.ids = [a.cmd("CLUSTER", "MYID"), b.cmd("CLUSTER", "MYID")]
        a.cmd("CLUSTER", "ADDSLOTSRANGE", 0, SLOTS - 1)
        b.cmd("CLUSTER", "ADDSLOTSRANGE", SLOTS, 16383)
        a.cmd("CLUSTER", "SET-CONFIG-EPOCH", 1)
        b.cmd("CLUSTER", "SET-CONFIG-EPOCH", 2)
        b.cmd("CLUSTER", "MEET", "127.0.0.1", self.ports[0])
        wait_agreed(self.ports)
        assert not a.pipeline(SETS)
        assert a.cmd("DBSIZE") == nkeys
        a.close()
        b.close()
        return self

    def commands(self):
        total = 0
        for p in self.ports:
            c = Conn(p)
            info = c.cmd("INFO")
            c.close()
            total += int(info.split("total_commands_processed:")[1].split()[0])
        return total

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=30)


def baseline():
    with Cluster() as cl:
        host, port = b"127.0.0.1", str(cl.ports[1]).encode()
        reqs = [encode(b"MIGRATE", host, port, b"", b"0", b"60000", b"KEYS", *KEYS[i:i + 100])
                for i in range(0, nkeys, 100)]
        # The target takes keys of slots it does not own only while it
        # imports them; the marks are set before the clock starts.
        b = Conn(cl.ports[1])
        assert not b.pipeline([encode(b"CLUSTER", b"SETSLOT", s, b"IMPORTING", cl.ids[0])
                               for s in range(SLOTS)])
        b.close()
        a = Conn(cl.ports[0], timeout=600)
        t = time.perf_counter()
        errors = a.pipeline(reqs, chunk=50)
        elapsed = time.perf_counter() - t
        assert not errors, errors[:3]
        assert a.cmd("DBSIZE") == 0
        a.close()
        return elapsed


def reshard(*extra):
    with Cluster() as cl:
        before = cl.commands()
        t = time.perf_counter()
        r = subprocess.run(
            [f"{bindir}/vorn-cli", "--cluster", "reshard", f"127.0.0.1:{cl.ports[0]}",
             "--cluster-from", cl.ids[0], "--cluster-to", cl.ids[1], "--cluster-slots",
             str(SLOTS), "--cluster-yes", *extra], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=ENV, timeout=3600)
        elapsed = time.perf_counter() - t
        assert r.returncode == 0, r.stderr
        commands = cl.commands() - before - 2  # the two INFO of commands()
        b = Conn(cl.ports[1])
        assert b.cmd("DBSIZE") == nkeys
        b.close()
        return elapsed, commands


base = baseline()
print(f"{nkeys} keys in {SLOTS} slots, 2 masters, one process")
print(f"MIGRATE alone, 100 keys each, pipelined (raw)  {base:7.2f} s  {nkeys / base:10.0f} keys/s")
for label, extra in (("reshard, default pipeline (10)", ()),
                     ("reshard, --cluster-pipeline 100", ("--cluster-pipeline", "100"))):
    t, cmds = reshard(*extra)
    print(f"{label:<31}                {t:7.2f} s  {nkeys / t:10.0f} keys/s  "
          f"ratio {base / t:.2f}x of MIGRATE alone, {cmds / SLOTS:.1f} round trips per slot")
PY
