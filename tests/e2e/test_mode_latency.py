"""--latency, --latency-history, --latency-dist and --intrinsic-latency."""
import re
import time

import pytest

from conftest import SLOW, run_cli, free_port
from running import running  # noqa: F401  (fixture)

TTY = {"FAKETTY": "1"}
RAW_LINE = re.compile(rb"^(\d+) (\d+) (\d+\.\d\d) (\d+)\n$")
CSV_LINE = re.compile(rb"^(\d+),(\d+),(\d+\.\d\d),(\d+)\n$")


@pytest.mark.parametrize("args,form,seconds", [
    ((), RAW_LINE, 1.0),
    (("--csv",), CSV_LINE, 1.0),
    (("-i", "2"), RAW_LINE, 2.0),
])
def test_single_line_after_the_interval(server, args, form, seconds):
    start = time.monotonic()
    r = run_cli(["-p", str(server.port), "--latency", *args])
    took = time.monotonic() - start
    assert r.returncode == 0 and r.stderr == b""
    m = form.match(r.stdout)
    assert m, r.stdout
    lo, hi, avg, count = int(m[1]), int(m[2]), float(m[3]), int(m[4])
    assert lo <= avg <= hi
    # About one sample per 10 ms sleep plus the round trip.
    assert 10 * seconds / SLOW <= count <= 110 * seconds
    assert seconds <= took < seconds + 3 * SLOW


def test_history_ranges_in_raw_form(server, running):
    p = running(["-p", str(server.port), "--latency-history", "-i", "1"])
    p.wait_for(lambda out: out.count(b"seconds range\n") >= 2, timeout=10)
    p.stop()
    lines = p.lines()
    ranges = [i for i, l in enumerate(lines) if l.startswith(b" -- ")]
    for i in ranges[:2]:
        secs = float(re.match(rb"^ -- (\d+\.\d\d) seconds range$", lines[i])[1])
        assert 1.0 <= secs < 1.0 + 2 * SLOW  # over 1000 ms, printed rounded
    # One line per sample; the count starts again after every range, and the
    # first sample of a range is its own min, max and average.
    first_after = RAW_LINE.match(lines[ranges[0] + 1] + b"\n")
    assert first_after and first_after[4] == b"1"
    assert first_after[1] == first_after[2] and float(first_after[3]) == int(first_after[1])
    before = RAW_LINE.match(lines[ranges[0] - 1] + b"\n")
    assert int(before[4]) > 5


def test_standard_form_redraws_one_line(server, running):
    p = running(["-p", str(server.port), "--latency"], TTY)
    p.wait_for(lambda out: out.count(b"\033[0G\033[2K") >= 3)
    p.stop()
    draws = p.out.split(b"\033[0G\033[2K")[1:]
    assert re.fullmatch(rb"min: \d+, max: \d+, avg: \d+\.\d\d \(1 samples\)", draws[0])
    assert re.fullmatch(rb"min: \d+, max: \d+, avg: \d+\.\d\d \(2 samples\)", draws[1])
    assert b"\n" not in p.out


def test_history_ends_each_range_on_the_redrawn_line(server, running):
    p = running(["-p", str(server.port), "--latency-history", "-i", "1"], TTY)
    p.wait_for(lambda out: b"seconds range\n" in out)
    p.stop()
    line = p.out.split(b"\n")[0]
    assert re.search(rb"\(\d+ samples\) -- \d\.\d\d seconds range$", line)


@pytest.mark.parametrize("mono,cells,last", [(False, 19, 196), (True, 13, 253)])
def test_spectrum_rows_and_legend(server, running, mono, cells, last):
    p = running(["-p", str(server.port), "--latency-dist", "-i", "0.3"] +
                (["--mono"] if mono else []))
    p.wait_for(lambda out: out.count(b"\033[0m\n") >= 1 + 2 + 1)
    p.stop()
    lines = p.out.split(b"\n")
    assert lines[0] == b"-" * 45
    assert lines[1] == b". - * #          .01 .125 .25 .5 milliseconds"
    assert lines[5] == b"K,L,M,N,O,P,Q,?  1,2,4,8,16,30,60,>60 seconds"
    legend = lines[6]
    assert legend.startswith(b"From 0 to 100%: \033[48;5;0m ")
    assert legend.count(b"\033[48;5;") == cells
    assert legend.endswith(b"\033[48;5;%dm \033[0m" % last)
    assert lines[7] == b"-" * 45
    for row in lines[8:10]:
        assert row.startswith(b"\033[38;5;0m") and row.endswith(b"\033[0m")
        chars = re.findall(rb"\033\[48;5;(\d+)m(.)", row)
        assert b"".join(c for _, c in chars) == b".-*#123456789ABCDEFGHIJKLMNOPQ?"
        # Local round trips land in the sub-millisecond buckets; the others
        # stay at colour 0.
        colours = [int(c) for c, _ in chars]
        assert max(colours[:6]) > 0 and all(c == 0 for c in colours[20:])


def test_spectrum_legend_every_20_rows(server, running):
    p = running(["-p", str(server.port), "--latency-dist", "-i", "0.001"])
    p.wait_for(lambda out: out.count(b"\033[38;5;0m") >= 22, timeout=30)
    p.stop()
    rows = [l for l in p.out.split(b"\n") if l.startswith(b"From 0") or
            l.startswith(b"\033[38;5;0m")]
    assert rows[0].startswith(b"From 0") and rows[21].startswith(b"From 0")
    assert not any(r.startswith(b"From 0") for r in rows[1:21])


def test_no_server_exits_1(running):
    for mode in ("--latency", "--latency-dist", "--latency-history"):
        r = run_cli(["-p", str(free_port()), mode])
        assert r.returncode == 1 and r.stdout == b""
        assert r.stderr.startswith(b"Could not connect to Vorn at 127.0.0.1:")


def test_intrinsic_latency_runs_its_duration():
    start = time.monotonic()
    r = run_cli(["--intrinsic-latency", "1"])
    took = time.monotonic() - start
    assert r.returncode == 0 and r.stderr == b""
    assert 1.0 <= took < 1.0 + 3 * SLOW
    out = r.stdout.decode()
    assert re.match(r"^(Max latency so far: \d+ microseconds\.\n)+\n\d+ total runs "
                    r"\(avg latency: \d+\.\d{4} microseconds / \d+\.\d\d nanoseconds per run\)\.\n"
                    r"Worst run took \d+x longer than the average latency\.\n$", out), out
    maxima = [int(m) for m in re.findall(r"so far: (\d+)", out)]
    assert maxima == sorted(set(maxima))


def test_intrinsic_latency_zero_seconds():
    r = run_cli(["--intrinsic-latency", "0"])
    assert r.returncode == 0
    assert b"(avg latency: 0.0000 microseconds / 0.00 nanoseconds per run).\n" in r.stdout
    assert r.stdout.endswith(b"Worst run took infx longer than the average latency.\n")
    assert r.stdout.count(b"Max latency so far") == 1


def test_intrinsic_latency_stops_at_sigint(running):
    p = running(["--intrinsic-latency", "100"])
    p.wait_for(lambda out: b"Max latency so far" in out)
    start = time.monotonic()
    assert p.interrupt() == 0
    assert time.monotonic() - start < 3 * SLOW
    # The average still divides the configured 100 seconds.
    m = re.search(rb"\n(\d+) total runs \(avg latency: (\d+\.\d{4}) microseconds", p.out)
    assert m and abs(float(m[2]) - 100e6 / int(m[1])) < 0.001 + 1e-4 * float(m[2])
    assert p.out.endswith(b"longer than the average latency.\n")
