#!/usr/bin/env bash
# A large value (1 GiB by default) fetched with GET and written to /dev/null
# in the raw form, against a plain byte reader (socat) that sends the same
# GET, then QUIT, to the same server and copies everything it receives to
# /dev/null, in the same run; runs interleaved, medians compared. Also the
# client's peak resident memory against the payload.
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
command -v socat >/dev/null || { echo "socat is not installed (scripts/bootstrap)"; exit 1; }
PYTHONPATH="$(dirname "$0")" exec /usr/bin/python3 - "$dir" "${CLIENT_TRANSFER_MIB:-1024}" \
  "${CLIENT_TRANSFER_RUNS:-3}" <<'PY'
import os, socket, statistics, subprocess, sys, tempfile, time
from devserver import devserver

bindir, mib, runs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
size = mib << 20


def load(port):
    """Builds the value with APPENDs of at most 64 MiB (the server takes
    arguments up to 512 MiB)."""
    s = socket.create_connection(("127.0.0.1", port))
    chunk = b"v" * min(size, 64 << 20)
    left = size
    while left > 0:
        part = chunk[:min(left, len(chunk))]
        s.sendall(b"*3\r\n$6\r\nAPPEND\r\n$3\r\nbig\r\n$%d\r\n" % len(part) + part + b"\r\n")
        buf = b""
        while not buf.endswith(b"\r\n"):
            buf += s.recv(100)
        left -= len(part)
    s.close()
    assert buf == b":%d\r\n" % size, buf


def timed(argv, stdin):
    """Wall seconds and peak resident kilobytes of one run."""
    with open(os.devnull, "wb") as null:
        t0 = time.perf_counter()
        p = subprocess.Popen(argv, stdin=stdin, stdout=null)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
        p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        sys.exit(f"{argv} failed with status {p.returncode}")
    return wall, ru.ru_maxrss


with devserver(bindir) as port, tempfile.TemporaryFile() as req:
    load(port)
    req.write(b"*2\r\n$3\r\nGET\r\n$3\r\nbig\r\n*1\r\n$4\r\nQUIT\r\n")
    req.flush()
    cli, reader = [], []
    for _ in range(runs):
        cli.append(timed([f"{bindir}/vorn-cli", "-p", str(port), "--raw", "GET", "big"],
                         subprocess.DEVNULL))
        req.seek(0)
        reader.append(timed(["socat", "-t", "120", "-b", "65536", "-",
                             f"TCP:127.0.0.1:{port}"], req))
    cw = statistics.median(w for w, _ in cli)
    rw = statistics.median(w for w, _ in reader)
    rss = max(k for _, k in cli) * 1024
    print(f"value {mib} MiB, {runs} runs each, interleaved")
    print(f"vorn-cli --raw GET  median {cw:.3f} s, {size / cw / 1e6:.0f} MB/s "
          f"(runs: {', '.join(f'{w:.2f}' for w, _ in cli)})")
    print(f"socat byte reader   median {rw:.3f} s, {size / rw / 1e6:.0f} MB/s "
          f"(runs: {', '.join(f'{w:.2f}' for w, _ in reader)})")
    ratio = rw / cw
    print(f"throughput vorn-cli / socat = {ratio:.2f} (goal >= 0.6: "
          f"{'met' if ratio >= 0.6 else 'NOT met'})")
    print(f"peak RSS of vorn-cli {rss / 1e6:.0f} MB = {rss / size:.2f}x the payload "
          f"(goal <= 1.3: {'met' if rss / size <= 1.3 else 'NOT met'})")
PY
