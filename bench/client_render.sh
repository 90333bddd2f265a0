#!/usr/bin/env bash
# Rendering: a 1,000,000-element array of 10-byte strings printed by vorn-cli
# to /dev/null in the raw and standard forms, against receiving and decoding
# the same reply without printing it (client_render_bench measures the
# in-process split); also the client's peak resident memory against the
# reply's size on the wire.
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
PYTHONPATH="$(dirname "$0")" exec /usr/bin/python3 - "$dir" "${CLIENT_RENDER_ELEMENTS:-1000000}" <<'PY'
import os, resource, socket, statistics, subprocess, sys, time
from devserver import devserver

bindir, n = sys.argv[1], int(sys.argv[2])
with devserver(bindir) as port:
    s = socket.create_connection(("127.0.0.1", port))
    batch = 10000
    for start in range(0, n, batch):
        k = min(batch, n - start)
        req = [b"*%d\r\n$5\r\nRPUSH\r\n$1\r\nl\r\n" % (k + 2)]
        req += [b"$10\r\n%010d\r\n" % i for i in range(start, start + k)]
        s.sendall(b"".join(req))
        buf = b""
        while not buf.endswith(b"\r\n"):
            buf += s.recv(100)
    s.close()
    wire = len(b"*%d\r\n" % n) + n * len(b"$10\r\n0123456789\r\n")

    def run(env_extra, args):
        env = dict(os.environ, HOME="/nonexistent")
        env.pop("FAKETTY", None)
        env.update(env_extra)
        times, cpus = [], []
        for _ in range(3):
            r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            t0 = time.perf_counter()
            with open(os.devnull, "wb") as null:
                subprocess.run([f"{bindir}/vorn-cli", "-p", str(port), *args],
                               stdin=subprocess.DEVNULL, stdout=null, env=env, check=True,
                               timeout=120)
            times.append(time.perf_counter() - t0)
            r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpus.append(r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime)
        return statistics.median(times), statistics.median(cpus)

    # LLEN: connection and process start alone, subtracted from both forms.
    # The server's own CPU time competes for the same cores, so the client's
    # CPU time is shown beside the wall time.
    bw, bc = run({}, ["llen", "l"])
    print(f"elements: {n}, wire size {wire / 1e6:.1f} MB")
    for name, env, goal in (("raw form", {}, 2), ("standard form", {"FAKETTY": "1"}, 1)):
        w, c = run(env, ["lrange", "l", "0", "-1"])
        w, c = w - bw, c - bc
        print(f"{name:14s} wall {w * 1e3:8.1f} ms {n / w / 1e6:6.2f} M el/s; client CPU "
              f"{c * 1e3:7.1f} ms {n / c / 1e6:6.2f} M el/s (goal >= {goal})")
    rss_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(f"peak RSS of vorn-cli {rss_kb / 1024:.1f} MB = {rss_kb * 1024 / wire:.2f}x the wire "
          f"size (goal <= 10x)")
PY
