#!/usr/bin/env bash
# One-shot latency: median wall time of `vorn-cli -p PORT PING` against the
# median of `vorn-cli --version` (process start alone), measured in this run.
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
PYTHONPATH="$(dirname "$0")" exec /usr/bin/python3 - "$dir" "${CLIENT_ONESHOT_RUNS:-300}" <<'PY'
import statistics, subprocess, sys, time
from devserver import devserver

bindir, runs = sys.argv[1], int(sys.argv[2])
with devserver(bindir) as port:
    cli = f"{bindir}/vorn-cli"

    import resource

    def median(args):
        times, cpus = [], []
        for _ in range(runs):
            r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            t0 = time.perf_counter()
            subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           check=True, timeout=10)
            times.append(time.perf_counter() - t0)
            r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpus.append(r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime)
        return statistics.median(times), statistics.median(cpus)

    base = median([cli, "--version"])
    ping = median([cli, "-p", str(port), "PING"])
    print(f"runs: {runs}")
    for name, (w, c) in (("vorn-cli --version", base), ("vorn-cli PING", ping)):
        print(f"{name:20s} median wall {w * 1e3:.3f} ms, client CPU {c * 1e3:.3f} ms")
    print(f"round trip adds {(ping[0] - base[0]) * 1e3:.3f} ms wall (goal <= 0.3 ms), "
          f"ratio {ping[0] / base[0]:.2f}x; CPU adds {(ping[1] - base[1]) * 1e3:.3f} ms")
PY
