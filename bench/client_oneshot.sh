#!/usr/bin/env bash
# Process start and one-shot latency: median wall time of `vorn-cli --version`
# and of `vorn-cli -p PORT PING` against `/bin/true`, all measured in this
# run, interleaved so that the machine's load falls on each alike. Processes
# are started with posix_spawn so that the launcher adds as little as it can.
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
PYTHONPATH="$(dirname "$0")" exec /usr/bin/python3 - "$dir" "${CLIENT_ONESHOT_RUNS:-300}" <<'PY'
import os, statistics, sys, time
from devserver import devserver

bindir, runs = sys.argv[1], int(sys.argv[2])
cli = f"{bindir}/vorn-cli"


def spawn(argv):
    """Wall seconds and CPU seconds of one run with stdin and stdout on
    /dev/null; fails on a non-zero exit."""
    actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)]
    t0 = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status, ru = os.wait4(pid, 0)
    wall = time.perf_counter() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv} failed")
    return wall, ru.ru_utime + ru.ru_stime


with devserver(bindir) as port:
    cases = {"/bin/true": ["/bin/true"], "vorn-cli --version": [cli, "--version"],
             "vorn-cli PING": [cli, "-p", str(port), "PING"]}
    samples = {name: [] for name in cases}
    for _ in range(runs):
        for name, argv in cases.items():
            samples[name].append(spawn(argv))
    med = {name: (statistics.median(w for w, _ in s), statistics.median(c for _, c in s))
           for name, s in samples.items()}
    base = med["/bin/true"][0]
    print(f"runs: {runs} each, interleaved")
    for name, (w, c) in med.items():
        print(f"{name:20s} median wall {w * 1e3:.3f} ms, CPU {c * 1e3:.3f} ms, "
              f"{w / base:.2f}x /bin/true")
    for name, goal in (("vorn-cli --version", 2.5), ("vorn-cli PING", 3.0)):
        ratio = med[name][0] / base
        print(f"{name} / /bin/true = {ratio:.2f} (goal <= {goal}: "
              f"{'met' if ratio <= goal else 'NOT met'})")
    print(f"round trip adds {(med['vorn-cli PING'][0] - med['vorn-cli --version'][0]) * 1e3:.3f}"
          " ms wall over process start")
PY
