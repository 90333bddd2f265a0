"""--lru-test against vorn-devserver, with and without a memory limit."""
import re

from conftest import RawConn, hook, run_cli
from running import running  # noqa: F401  (fixture)

LINE = re.compile(rb"^(\d+) Gets/sec \| Hits: (\d+) \((\d+\.\d\d)%\) \| "
                  rb"Misses: (\d+) \((\d+\.\d\d)%\)$")


def cycles(out):
    return [LINE.match(l) for l in out.split(b"\n") if LINE.match(l)]


def test_misses_fall_as_the_key_space_fills(server, running):
    p = running(["-p", str(server.port), "--lru-test", "20000"])
    p.wait_for(lambda out: len(cycles(out)) >= 3, timeout=20)
    p.stop()
    c = cycles(p.out)
    for m in c:
        gets, hits, misses = int(m[1]), int(m[2]), int(m[4])
        assert gets == hits + misses and gets % 250 == 0 and gets > 0
        assert abs(float(m[3]) + float(m[5]) - 100) < 0.02
    assert float(c[2][5]) < float(c[0][5])
    # Keys lru:0 .. lru:N with 5-character values from A to y.
    conn = RawConn(port=server.port)
    cursor, keys = b"0", []
    while True:
        cursor, batch = conn.cmd("SCAN", cursor, "COUNT", 1000)
        keys += batch
        if cursor == b"0":
            break
    assert keys and all(re.fullmatch(rb"lru:\d+", k) and int(k[4:]) <= 20000 for k in keys)
    assert len(keys) < 20000
    for k in keys[:50]:
        assert re.fullmatch(rb"[A-y]{5}", conn.cmd("GET", k))


def test_small_maxmemory_gives_a_steady_hit_ratio(server, running):
    c = RawConn(port=server.port)
    c.cmd("CONFIG", "SET", "maxmemory", "30kb")
    c.cmd("CONFIG", "SET", "maxmemory-policy", "allkeys-lru")
    p = running(["-p", str(server.port), "--lru-test", "10000"])
    p.wait_for(lambda out: len(cycles(out)) >= 3, timeout=20)
    p.stop()
    # About 500 keys fit; the hottest of them take a good share of the reads,
    # far from all of them.
    hit_pcts = [float(m[3]) for m in cycles(p.out)[1:]]
    assert all(10 < h < 60 for h in hit_pcts), hit_pcts
    assert c.cmd("DBSIZE") < 600
    info = c.cmd("INFO", "stats").decode()
    assert int(re.search(r"evicted_keys:(\d+)", info)[1]) > 1000


def test_error_replies_are_printed_and_io_errors_end_it(server):
    # The first GET answers for itself and the next one, then the server
    # closes the connection.
    hook(server, "REPLY", "GET", 1, "-ERR not today\r\n-ERR not today\r\n")
    hook(server, "CLOSE", "GET", 1, 32)
    r = run_cli(["-p", str(server.port), "--lru-test", "100"])
    assert r.stdout.startswith(b"ERR not today\nERR not today\n")
    assert (r.stderr, r.returncode) == (b"I/O error during LRU test\n", 1)
