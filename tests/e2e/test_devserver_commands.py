"""vorn-devserver data commands over raw sockets: strings, aggregates, key
space, SCAN, expiry, databases and transactions."""
import time

import pytest

from conftest import SLOW, Err


def test_set_options(connect):
    c = connect()
    assert c.cmd("SET", "k", "1", "NX") == "OK"
    assert c.cmd("SET", "k", "2", "NX") is None
    assert c.cmd("SET", "k", "3", "XX", "GET") == b"1"
    assert c.cmd("SET", "nokey", "v", "XX") is None
    assert c.cmd("SET", "k", "4", "PX", "100000") == "OK"
    assert 99000 < c.cmd("PTTL", "k") <= 100000
    assert c.cmd("SET", "k", "5", "KEEPTTL") == "OK"
    assert c.cmd("PTTL", "k") > 0
    assert c.cmd("SET", "k", "6") == "OK"
    assert c.cmd("TTL", "k") == -1  # a plain SET clears the time to live
    c.cmd("RPUSH", "l", "a")
    assert c.cmd("SET", "l", "x", "GET").startswith("WRONGTYPE")
    assert c.cmd("SET", "k", "v", "EX", "10", "PX", "10") == "ERR syntax error"


@pytest.mark.parametrize("args,reply", [
    (["INCR", "n"], 11),
    (["DECR", "n"], 9),
    (["INCRBY", "n", "-20"], -10),
    (["DECRBY", "n", "5"], 5),
    (["INCRBYFLOAT", "n", "0.5"], b"10.5"),
    (["INCRBYFLOAT", "n", "-10"], b"0"),
    (["APPEND", "n", "xy"], 4),
    (["STRLEN", "n"], 2),
    (["GETRANGE", "s", "0", "4"], b"hello"),
    (["GETRANGE", "s", "-5", "-1"], b"world"),
    (["GETRANGE", "s", "5", "2"], b""),
    (["GETRANGE", "s", "0", "100"], b"hello world"),
    (["GETSET", "n", "z"], b"10"),
    (["GETDEL", "n"], b"10"),
    (["MGET", "n", "nope", "s"], [b"10", None, b"hello world"]),
])
def test_string_commands(connect, args, reply):
    c = connect()
    c.cmd("MSET", "n", "10", "s", "hello world")
    assert c.cmd(*args) == reply


def test_counter_errors(connect):
    c = connect()
    c.cmd("SET", "big", str(2**63 - 1))
    c.cmd("SET", "word", "abc")
    assert c.cmd("INCR", "big") == "ERR increment or decrement would overflow"
    assert c.cmd("INCR", "word") == "ERR value is not an integer or out of range"
    assert c.cmd("INCRBYFLOAT", "word", "1") == "ERR value is not a valid float"
    assert c.cmd("GET", "big") == str(2**63 - 1).encode()


def test_lists(connect):
    c = connect()
    assert c.cmd("RPUSH", "l", "b", "c") == 2
    assert c.cmd("LPUSH", "l", "a", "z") == 4  # z ends up first
    assert c.cmd("LRANGE", "l", "0", "-1") == [b"z", b"a", b"b", b"c"]
    assert c.cmd("LRANGE", "l", "-2", "100") == [b"b", b"c"]
    assert c.cmd("LRANGE", "l", "5", "10") == []
    assert c.cmd("LINDEX", "l", "-1") == b"c"
    assert c.cmd("LINDEX", "l", "9") is None
    assert c.cmd("LPOP", "l") == b"z"
    assert c.cmd("RPOP", "l", "2") == [b"c", b"b"]
    assert c.cmd("LLEN", "l") == 1
    assert c.cmd("RPOP", "l") == b"a"
    assert c.cmd("EXISTS", "l") == 0  # an emptied list is removed
    assert c.cmd("LPOP", "l") is None


def test_sets_and_hashes(connect):
    c = connect()
    assert c.cmd("SADD", "s", "a", "b", "a") == 2
    assert c.cmd("SISMEMBER", "s", "a") == 1 and c.cmd("SISMEMBER", "s", "x") == 0
    assert sorted(c.cmd("SMEMBERS", "s")) == [b"a", b"b"]
    assert c.cmd("SREM", "s", "a", "x") == 1 and c.cmd("SCARD", "s") == 1
    assert c.cmd("HSET", "h", "f1", "v1", "f2", "v2") == 2
    assert c.cmd("HSET", "h", "f1", "new") == 0
    assert c.cmd("HGET", "h", "f1") == b"new" and c.cmd("HGET", "h", "zz") is None
    assert c.cmd("HGETALL", "h") == [b"f1", b"new", b"f2", b"v2"]
    assert c.cmd("HKEYS", "h") == [b"f1", b"f2"] and c.cmd("HVALS", "h") == [b"new", b"v2"]
    assert c.cmd("HDEL", "h", "f1", "zz") == 1 and c.cmd("HLEN", "h") == 1
    assert c.cmd("HSET", "h", "odd") == "ERR wrong number of arguments for 'hset' command"
    assert c.cmd("HDEL", "h", "f2") == 1 and c.cmd("TYPE", "h") == "none"


def test_sorted_sets(connect):
    c = connect()
    assert c.cmd("ZADD", "z", "2", "b", "1", "a", "3", "c") == 3
    assert c.cmd("ZADD", "z", "5", "a") == 0
    assert c.cmd("ZRANGE", "z", "0", "-1") == [b"b", b"c", b"a"]
    assert c.cmd("ZRANGE", "z", "0", "1", "WITHSCORES") == [b"b", b"2", b"c", b"3"]
    assert c.cmd("ZADD", "z", "CH", "1", "a", "9", "new") == 2
    assert c.cmd("ZADD", "z", "INCR", "0.5", "a") == b"1.5"
    assert c.cmd("ZADD", "z", "NX", "7", "a") == 0 and c.cmd("ZSCORE", "z", "a") == b"1.5"
    assert c.cmd("ZADD", "z", "x", "a") == "ERR value is not a valid float"
    assert c.cmd("ZREM", "z", "a", "nope") == 1 and c.cmd("ZCARD", "z") == 3
    assert c.cmd("ZSCORE", "z", "a") is None


def test_streams(connect):
    c = connect()
    assert c.cmd("XADD", "st", "5-1", "f", "v") == b"5-1"
    assert c.cmd("XADD", "st", "5-*", "f", "w") == b"5-2"
    assert c.cmd("XADD", "st", "4-0", "f", "x").startswith("ERR The ID specified in XADD")
    auto = c.cmd("XADD", "st", "*", "g", "1")
    assert int(auto.split(b"-")[0]) > 5
    assert c.cmd("XLEN", "st") == 3
    assert c.cmd("XRANGE", "st", "-", "+", "COUNT", "2") == [[b"5-1", [b"f", b"v"]],
                                                           [b"5-2", [b"f", b"w"]]]
    assert c.cmd("XRANGE", "st", "5-2", "5") == [[b"5-2", [b"f", b"w"]]]
    assert c.cmd("TYPE", "st") == "stream"


def test_key_space_commands(connect):
    c = connect()
    c.cmd("MSET", "a1", "x", "a2", "y", "b1", "z")
    assert sorted(c.cmd("KEYS", "a*")) == [b"a1", b"a2"]
    assert sorted(c.cmd("KEYS", "?[12]")) == [b"a1", b"a2", b"b1"]
    assert c.cmd("EXISTS", "a1", "a1", "nope") == 2
    assert c.cmd("RENAME", "a1", "c1") == "OK" and c.cmd("GET", "c1") == b"x"
    assert c.cmd("RENAME", "nope", "x") == "ERR no such key"
    assert c.cmd("RANDOMKEY") in (b"c1", b"a2", b"b1")
    assert c.cmd("DBSIZE") == 3
    assert c.cmd("DEL", "c1", "a2", "nope") == 2
    assert c.cmd("UNLINK", "b1") == 1
    assert c.cmd("RANDOMKEY") is None


def test_scan_returns_every_key_exactly_once(connect):
    c = connect()
    keys = {f"key:{i}".encode() for i in range(1000)}
    c.send_raw(b"".join(c.encode("SET", k, "v") for k in keys))
    for _ in keys:
        c.read_reply()
    c.cmd("RPUSH", "list:1", "x")
    seen, cursor, rounds = [], b"0", 0
    while True:
        cursor, batch = c.cmd("SCAN", cursor, "COUNT", "37")
        seen += batch
        rounds += 1
        # Writes during the iteration must not make existing keys repeat.
        c.cmd("SET", f"during:{rounds}", "v")
        c.cmd("DEL", f"during:{rounds - 1}")
        if cursor == b"0":
            break
    assert rounds > 10
    assert len([k for k in seen if k in keys]) == 1000
    assert set(k for k in seen if k.startswith(b"key:")) == keys
    assert c.cmd("SCAN", "0", "MATCH", "key:99*", "COUNT", "5000")[1].__len__() == 11
    assert c.cmd("SCAN", "0", "TYPE", "list", "COUNT", "5000") == [b"0", [b"list:1"]]
    assert c.cmd("SCAN", "abc") == "ERR invalid cursor"
    assert c.cmd("SCAN", "0", "COUNT", "0") == "ERR syntax error"


def test_expiry(connect):
    c = connect()
    c.cmd("SET", "a", "1")
    c.cmd("SET", "b", "1")
    c.cmd("SET", "keep", "1")
    assert c.cmd("PEXPIRE", "a", "100") == 1
    assert c.cmd("EXPIRE", "b", "100") == 1
    assert c.cmd("EXPIRE", "nope", "100") == 0
    assert 99 <= c.cmd("TTL", "b") <= 100
    assert c.cmd("TTL", "keep") == -1 and c.cmd("TTL", "nope") == -2
    assert c.cmd("PERSIST", "b") == 1 and c.cmd("TTL", "b") == -1
    assert c.cmd("EXPIRE", "keep", "-1") == 1 and c.cmd("EXISTS", "keep") == 0
    info = c.cmd("INFO", "keyspace")
    assert b"db0:keys=2,expires=1" in info
    time.sleep(0.25 * SLOW)
    assert c.cmd("GET", "a") is None and c.cmd("PTTL", "a") == -2
    # Keys that expire unseen leave the key space by themselves.
    c.cmd("SET", "c", "1", "PX", "50")
    time.sleep(0.4 * SLOW)
    assert c.cmd("DBSIZE") == 1
    assert c.cmd("SCAN", "0")[1] == [b"b"]


def test_databases_are_separate(connect):
    c = connect()
    c.cmd("SET", "k", "db0")
    assert c.cmd("SELECT", "15") == "OK"
    assert c.cmd("GET", "k") is None
    c.cmd("SET", "k", "db15")
    assert c.cmd("FLUSHDB") == "OK" and c.cmd("DBSIZE") == 0
    c.cmd("SELECT", "0")
    assert c.cmd("GET", "k") == b"db0"
    c.cmd("SELECT", "3")
    c.cmd("SET", "x", "1")
    assert c.cmd("FLUSHALL") == "OK"
    c.cmd("SELECT", "0")
    assert c.cmd("DBSIZE") == 0


def test_databases_option(start_server):
    from conftest import RawConn
    s = start_server("--databases", "2")
    c = RawConn(port=s.port)
    assert c.cmd("SELECT", "1") == "OK"
    assert c.cmd("SELECT", "2") == "ERR DB index is out of range"


def test_multi_exec(connect):
    c = connect()
    assert c.cmd("EXEC") == "ERR EXEC without MULTI"
    assert c.cmd("DISCARD") == "ERR DISCARD without MULTI"
    assert c.cmd("MULTI") == "OK"
    assert c.cmd("MULTI") == "ERR MULTI calls can not be nested"
    assert c.cmd("SET", "k", "1") == "QUEUED"
    assert c.cmd("INCR", "k") == "QUEUED"
    assert c.cmd("LPUSH", "k", "x") == "QUEUED"  # fails only at EXEC
    assert c.cmd("GET", "k") == "QUEUED"
    other = connect()
    assert other.cmd("GET", "k") is None  # nothing ran yet
    r = c.cmd("EXEC")
    assert r[:2] == ["OK", 2] and r[2].startswith("WRONGTYPE") and r[3] == b"2"
    assert c.cmd("MULTI") == "OK"
    c.cmd("SET", "k", "3")
    assert c.cmd("DISCARD") == "OK"
    assert c.cmd("GET", "k") == b"2"


def test_multi_discarded_after_queue_time_error(connect):
    c = connect()
    c.cmd("MULTI")
    c.cmd("SET", "k", "1")
    assert c.cmd("GET") == "ERR wrong number of arguments for 'get' command"
    assert c.cmd("NOSUCH").startswith("ERR unknown command")
    assert c.cmd("EXEC") == "EXECABORT Transaction discarded because of previous errors."
    assert c.cmd("GET", "k") is None
    assert c.cmd("EXEC") == "ERR EXEC without MULTI"


def test_server_commands(connect):
    c = connect()
    info = c.cmd("INFO")
    fields = dict(l.split(b":", 1) for l in info.split(b"\r\n") if l and not l.startswith(b"#"))
    for f in (b"used_memory", b"used_memory_human", b"connected_clients", b"blocked_clients",
              b"total_commands_processed", b"total_connections_received", b"loading",
              b"aof_rewrite_in_progress", b"bgsave_in_progress", b"cluster_enabled"):
        assert f in fields, f
    assert info.endswith(b"\r\n")
    assert b"# Server\r\n" in info and b"# Keyspace\r\n" in info
    assert c.cmd("INFO", "memory").startswith(b"# Memory\r\n")
    assert c.cmd("CONFIG", "GET", "maxmemory") == [b"maxmemory", b"0"]
    assert c.cmd("CONFIG", "SET", "maxmemory", "100") == "OK"
    got = c.cmd("CONFIG", "GET", "maxmem*")
    assert dict(zip(got[::2], got[1::2])) == {b"maxmemory": b"100",
                                              b"maxmemory-policy": b"noeviction",
                                              b"maxmemory-samples": b"5"}
    assert c.cmd("CONFIG", "SET", "nosuch", "1").startswith("ERR Unknown option")
    assert isinstance(c.cmd("CONFIG", "REWRITE"), Err)
    assert c.cmd("CONFIG", "RESETSTAT") == "OK"
    secs, usecs = c.cmd("TIME")
    assert abs(int(secs) - time.time()) < 5 and 0 <= int(usecs) < 1000000
    t0 = time.time()
    assert c.cmd("DEBUG", "SLEEP", "0.2") == "OK" and time.time() - t0 >= 0.2
    assert c.cmd("LOLWUT") and c.cmd("LATENCY", "DOCTOR")
    c.cmd("SET", "k", "v")
    assert isinstance(c.cmd("MEMORY", "USAGE", "k"), int)
    assert c.cmd("OBJECT", "ENCODING", "k") == b"raw"
    d1, d2 = c.cmd("DEBUG", "DIGEST-VALUE", "k", "nope")
    assert len(d1) == 40 and d1 != b"0" * 40 and d2 == b"0" * 40


def test_demo_data_has_every_type(start_server):
    from conftest import RawConn
    s = start_server("--demo-data")
    c = RawConn(port=s.port)
    types = {c.cmd("TYPE", k) for k in c.cmd("KEYS", "*")}
    assert types == {"string", "list", "set", "hash", "zset", "stream"}
    assert c.cmd("TTL", "session:tmp") > 0


def test_watch_aborts_exec_when_a_watched_key_changes(connect):
    c, other = connect(), connect()
    c.cmd("SET", "w", "1")
    cases = [
        (lambda: other.cmd("SET", "w", "2"), None),               # changed: aborted
        (lambda: other.cmd("SET", "unrelated", "2"), [b"ok"]),    # other key: runs
        (lambda: other.cmd("INCR", "l"), [b"ok"]),                # failed write: runs
        (lambda: other.cmd("FLUSHALL"), None),                    # flush: aborted
    ]
    for change, expect in cases:
        c.cmd("RPUSH", "l", "x")
        assert c.cmd("WATCH", "w", "l") == "OK"
        change()
        c.cmd("MULTI")
        c.cmd("ECHO", "ok")
        assert c.cmd("EXEC") == expect
    # EXEC forgets the watches; UNWATCH does too.
    other.cmd("SET", "w", "3")
    c.cmd("MULTI")
    assert c.cmd("EXEC") == []
    c.cmd("WATCH", "w")
    c.cmd("UNWATCH")
    other.cmd("SET", "w", "4")
    c.cmd("MULTI")
    assert c.cmd("EXEC") == []
    c.cmd("MULTI")
    assert c.cmd("WATCH", "w") == "ERR WATCH inside MULTI is not allowed"
    c.cmd("DISCARD")
