"""vorn-devserver: MEMORY USAGE, maxmemory and eviction, the LFU counter,
and the key hooks (MODKEY, AFTER)."""
import pytest

from conftest import Err, hook


def test_memory_usage_estimate(connect):
    c = connect()
    c.cmd("SET", "s", "x" * 100)
    c.cmd("RPUSH", "l", *(["a"] * 10 + ["b" * 50] * 10))
    assert c.cmd("MEMORY", "USAGE", "s") == 32 + 1 + 16 + 100
    exact = c.cmd("MEMORY", "USAGE", "l", "SAMPLES", "0")
    assert exact == 32 + 1 + 16 + 10 * 17 + 10 * 66
    # Five samples (the default) see only the short elements.
    assert c.cmd("MEMORY", "USAGE", "l") == 32 + 1 + 16 + 20 * 17
    assert c.cmd("MEMORY", "USAGE", "l", "SAMPLES", "5") == c.cmd("MEMORY", "USAGE", "l")
    assert c.cmd("MEMORY", "USAGE", "missing") is None
    assert isinstance(c.cmd("MEMORY", "USAGE", "s", "SAMPLES", "x"), Err)
    assert isinstance(c.cmd("MEMORY", "USAGE", "s", "BOGUS"), Err)


@pytest.mark.parametrize("name,value", [
    ("maxmemory", "lots"), ("maxmemory", "10tb"), ("maxmemory-policy", "allkeys-fifo"),
    ("lfu-log-factor", "-1"), ("maxmemory-samples", "5mb")])
def test_config_rejects_bad_memory_settings(connect, name, value):
    c = connect()
    r = c.cmd("CONFIG", "SET", name, value)
    assert isinstance(r, Err) and r.startswith("ERR CONFIG SET failed (possibly related to "
                                               f"argument '{name}')")


def fill(c, n, prefix="k"):
    c.send_raw(b"".join(c.encode("SET", f"{prefix}{i}", "v" * 10) for i in range(n)))
    return [c.read_reply() for _ in range(n)]


def test_noeviction_refuses_writes_over_the_limit(connect):
    c = connect()
    c.cmd("CONFIG", "SET", "maxmemory", "1kb")
    replies = fill(c, 40)
    oom = "OOM command not allowed when used memory > 'maxmemory'."
    assert replies.count("OK") < 40 and replies[-1] == oom
    assert c.cmd("GET", "k0") == b"v" * 10  # reads still work
    assert c.cmd("DEL", "k0") == 1          # and so does freeing memory


@pytest.mark.parametrize("policy", ["allkeys-lru", "allkeys-lfu", "allkeys-random"])
def test_eviction_keeps_the_data_set_under_the_limit(connect, policy):
    c = connect()
    c.cmd("CONFIG", "SET", "maxmemory-policy", policy)
    c.cmd("CONFIG", "SET", "maxmemory", "4kb")
    assert set(fill(c, 500)) == {"OK"}
    c.cmd("PING")  # evicts what the last SET put over the limit
    stats = c.cmd("MEMORY", "STATS")
    stats = dict(zip(stats[::2], stats[1::2]))
    assert stats[b"dataset.bytes"] <= 4096
    assert stats[b"keys.count"] == c.cmd("DBSIZE") > 40
    assert b"evicted_keys:%d" % (500 - c.cmd("DBSIZE")) in c.cmd("INFO", "stats")


def test_lru_keeps_what_was_read_lately(connect):
    c = connect()
    c.cmd("CONFIG", "SET", "maxmemory-policy", "allkeys-lru")
    fill(c, 60, "old")
    c.cmd("CONFIG", "SET", "maxmemory", "5kb")
    # New keys keep coming while the first ten old ones are read again and
    # again: those stay, the other old ones go first.
    for j in range(40):
        fill(c, 5, f"new{j}:")
        for i in range(10):
            c.cmd("GET", f"old{i}")
    kept = sum(c.cmd("EXISTS", f"old{i}") for i in range(10))
    rest = sum(c.cmd("EXISTS", f"old{i}") for i in range(10, 60))
    assert kept >= 8 and rest <= 5


def test_volatile_policies_evict_only_keys_with_a_ttl(connect):
    c = connect()
    c.cmd("SET", "forever", "x" * 2000)
    c.cmd("CONFIG", "SET", "maxmemory-policy", "volatile-ttl")
    c.cmd("CONFIG", "SET", "maxmemory", "3kb")
    for i in range(30):
        c.cmd("SET", f"t{i}", "v" * 20, "EX", str(100 + i))
    assert c.cmd("EXISTS", "forever") == 1
    assert c.cmd("EXISTS", "t29") == 1 and c.cmd("EXISTS", "t0") == 0


def test_lfu_counter(connect):
    c = connect()
    c.cmd("CONFIG", "SET", "maxmemory-policy", "allkeys-lfu")
    c.cmd("SET", "k", "v")
    assert c.cmd("OBJECT", "FREQ", "k") == 5
    for _ in range(200):
        c.cmd("GET", "k")
    # Logarithmic: 200 reads raise it by far less than 200.
    assert 8 <= c.cmd("OBJECT", "FREQ", "k") <= 20
    c.cmd("CONFIG", "SET", "lfu-log-factor", "0")
    before = c.cmd("OBJECT", "FREQ", "k")
    for _ in range(5):
        c.cmd("GET", "k")
    c.cmd("TYPE", "k")
    c.cmd("EXISTS", "k")
    assert c.cmd("OBJECT", "FREQ", "k") == before + 5  # TYPE / EXISTS are no accesses
    assert isinstance(c.cmd("OBJECT", "IDLETIME", "k"), Err)


def test_modkey_and_after_hooks(server, connect):
    c = connect()
    assert hook(server, "MODKEY", "m", "vornmod01", "abc") == "OK"
    assert c.cmd("TYPE", "m") == "vornmod01"
    assert c.cmd("GET", "m").startswith("WRONGTYPE")
    assert c.cmd("MEMORY", "USAGE", "m") == 32 + 1 + 16 + 3
    assert c.cmd("SCAN", "0", "TYPE", "vornmod01") == [b"0", [b"m"]]
    c.cmd("SET", "a", "1")
    assert hook(server, "AFTER", "GET a", 1, "RETYPE", "a", "zset") == "OK"
    assert hook(server, "AFTER", "SCAN", 1, "DEL", "m") == "OK"
    assert c.cmd("TYPE", "a") == "string"
    assert c.cmd("GET", "a") == b"1"
    assert c.cmd("TYPE", "a") == "zset"
    assert c.cmd("TYPE", "m") == "vornmod01"  # no SCAN yet
    c.cmd("SCAN", "0")
    assert c.cmd("TYPE", "m") == "none"
    assert isinstance(hook(server, "AFTER", "GET", 1, "RETYPE", "a", "nosuch"), Err)
    assert isinstance(hook(server, "AFTER", "GET", 1, "EXPLODE", "a"), Err)
    hook(server, "AFTER", "PING", 0, "DEL", "x")
    assert any(b"after" in h and b'"DEL" "x"' in h for h in hook(server, "LIST"))
