#!/usr/bin/env bash
# Cluster import: `--cluster import` of IMPORT_BENCH_KEYS keys (default
# 1,000,000) from a stand-alone source into a 3-master cluster, in keys per
# second, against the devserver's own MIGRATE rate in this run: the same
# MIGRATE commands sent to the source pipelined (`--pipe`), so without any
# client round trip. Import waits for each MIGRATE before the next, as it
# must to stop at the first failing key, so the second baseline is MIGRATE one
# round trip at a time (vorn-cli -r). The keys share one hash tag, so every
# run moves them to the same master.
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
PYTHONPATH="$(dirname "$0")" exec /usr/bin/python3 - "$dir" "${IMPORT_BENCH_KEYS:-1000000}" <<'PY'
import os, subprocess, sys, time

bindir, nkeys = sys.argv[1], int(sys.argv[2])
ENV = {k: v for k, v in os.environ.items() if k not in ("TERM", "VORNCLI_CLUSTER_YES")}
ENV.update(HOME="/nonexistent", TERM="dumb")


def cli(*args, input=b"", stdout=subprocess.PIPE):
    r = subprocess.run([f"{bindir}/vorn-cli", *map(str, args)], input=input, stdout=stdout,
                       stderr=subprocess.PIPE, env=ENV, timeout=3600)
    if r.returncode != 0:
        raise RuntimeError(f"vorn-cli {args[:3]} failed: {r.stderr[-500:]!r}")
    return r.stdout


def proto(*args):
    out = b"*%d\r\n" % len(args)
    for a in args:
        a = a if isinstance(a, bytes) else str(a).encode()
        out += b"$%d\r\n%s\r\n" % (len(a), a)
    return out


KEYS = [b"{bench}:%d" % i for i in range(nkeys)]


def fill(port):
    # The hook lets this connection write keys of slots the node does not own.
    data = proto("DEVHOOK", "CLUSTER", "ANYSLOT", "ON") + b"".join(
        proto("SET", k, b"value-of-" + k) for k in KEYS)
    cli("-p", port, "--pipe", input=data)


proc = subprocess.Popen([f"{bindir}/vorn-devserver", "--port", "0", "--cluster-nodes", "4",
                         "--enable-test-hooks"], stdin=subprocess.DEVNULL,
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
try:
    ready = dict(f.split("=", 1) for f in proc.stdout.readline().decode().split()[1:])
    ports = [int(p) for p in ready["cluster-ports"].split(",")]
    masters, src = ports[:3], ports[3]
    cli("--cluster", "create", *[f"127.0.0.1:{p}" for p in masters], "--cluster-yes")
    # The fourth node stays out of the cluster and passes for a stand-alone server.
    cli("-p", src, "DEVHOOK", "INFO", "cluster_enabled", "0")
    slot = int(cli("-p", masters[0], "CLUSTER", "KEYSLOT", KEYS[0]))
    # The master serving the tag: the first one, or the one it redirects to.
    answer = cli("-p", masters[0], "GET", KEYS[0]).split()
    owner = int(answer[2].rsplit(b":", 1)[1]) if answer[:1] == [b"MOVED"] else masters[0]

    # Baseline: the server's MIGRATE rate, pipelined.
    fill(src)
    data = b"".join(proto("MIGRATE", "127.0.0.1", owner, k, 0, 60000) for k in KEYS)
    t0 = time.perf_counter()
    cli("-p", src, "--pipe", input=data)
    base = time.perf_counter() - t0
    moved = int(cli("-p", owner, "CLUSTER", "COUNTKEYSINSLOT", slot))
    assert moved == nkeys, moved
    cli("-p", owner, "FLUSHALL")

    # Baseline: MIGRATE one round trip at a time through the same library
    # (one key copied over and over, -r repeats the command).
    cli("-p", src, "--pipe", input=proto("DEVHOOK", "CLUSTER", "ANYSLOT", "ON") +
        proto("SET", KEYS[0], b"value-of-" + KEYS[0]))
    t0 = time.perf_counter()
    cli("-p", src, "-r", nkeys, "MIGRATE", "127.0.0.1", owner, KEYS[0], 0, 60000, "COPY",
        "REPLACE", stdout=subprocess.DEVNULL)
    serial = time.perf_counter() - t0
    cli("-p", owner, "FLUSHALL")
    cli("-p", src, "FLUSHALL")

    fill(src)
    t0 = time.perf_counter()
    cli("--cluster", "import", f"127.0.0.1:{masters[0]}", "--cluster-from",
        f"127.0.0.1:{src}", stdout=subprocess.DEVNULL)
    took = time.perf_counter() - t0
    moved = int(cli("-p", owner, "CLUSTER", "COUNTKEYSINSLOT", slot))
    assert moved == nkeys, moved
    print(f"keys: {nkeys}")
    print(f"MIGRATE pipelined to the source   {nkeys / base:12.0f} keys/s ({base:.2f} s)")
    print(f"MIGRATE one at a time (vorn-cli -r) {nkeys / serial:10.0f} keys/s ({serial:.2f} s)")
    print(f"vorn-cli --cluster import         {nkeys / took:12.0f} keys/s ({took:.2f} s)")
    print(f"ratio {base / took:.2f}x of the pipelined MIGRATE rate, "
          f"{serial / took:.2f}x of the one-at-a-time rate")
finally:
    proc.terminate()
    proc.wait(timeout=30)
PY
