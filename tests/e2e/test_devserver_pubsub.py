"""vorn-devserver streams: pub/sub in both protocol versions, MONITOR lines,
client-side caching invalidations. (The replication stream: test_devserver_replication.py.)"""
import re

from conftest import Push


def test_pubsub_vosp2(connect):
    sub, pub = connect(), connect()
    sub.send("SUBSCRIBE", "news", "sport")
    assert sub.read_reply() == [b"subscribe", b"news", 1]
    assert sub.read_reply() == [b"subscribe", b"sport", 2]
    assert sub.cmd("PSUBSCRIBE", "n*") == [b"psubscribe", b"n*", 3]
    assert pub.cmd("PUBLISH", "news", "hi") == 2
    assert sub.read_reply() == [b"message", b"news", b"hi"]
    assert sub.read_reply() == [b"pmessage", b"n*", b"news", b"hi"]
    assert pub.cmd("PUBLISH", "other", "x") == 0
    # Only the pub/sub commands, PING, QUIT and RESET in this state.
    assert sub.cmd("GET", "k") == ("ERR Can't execute 'get': only (P|S)SUBSCRIBE / "
                                   "(P|S)UNSUBSCRIBE / PING / QUIT / RESET are allowed in "
                                   "this context")
    assert sub.cmd("PING") == [b"pong", b""]
    assert sub.cmd("UNSUBSCRIBE", "news") == [b"unsubscribe", b"news", 2]
    sub.send("UNSUBSCRIBE")
    assert sub.read_reply() == [b"unsubscribe", b"sport", 1]
    assert sub.cmd("PUNSUBSCRIBE") == [b"punsubscribe", b"n*", 0]
    assert sub.cmd("UNSUBSCRIBE") == [b"unsubscribe", None, 0]
    assert sub.cmd("PING") == "PONG"  # out of the subscribed state
    assert pub.cmd("PUBLISH", "news", "gone") == 0


def test_pubsub_vosp3_pushes_and_commands_still_allowed(connect):
    sub, pub = connect(), connect()
    sub.cmd("HELLO", "3")
    r = sub.cmd("SUBSCRIBE", "ch")
    assert isinstance(r, Push) and r == [b"subscribe", b"ch", 1]
    assert sub.cmd("SET", "k", "v") == "OK"  # allowed in VOSP3
    pub.cmd("PUBLISH", "ch", "m")
    sub.send_raw(b"")
    assert sub.read_all() == b">3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$1\r\nm\r\n"
    assert sub.cmd("PING") == "PONG"


def test_closed_subscriber_is_forgotten(connect):
    sub, pub = connect(), connect()
    sub.cmd("SUBSCRIBE", "ch")
    sub.close()
    assert pub.cmd("PING") == "PONG"
    assert pub.cmd("PUBLISH", "ch", "x") == 0
    assert pub.cmd("PUBSUB", "NUMSUB", "ch") == [b"ch", 0]


def test_monitor_lines(connect, server):
    mon, c = connect(), connect()
    assert mon.cmd("MONITOR") == "OK"
    c.cmd("SET", "k", 'a "q"\n\x01')
    c.cmd("SELECT", "2")
    c.cmd("GET", "k")
    lines = [mon.read_reply() for _ in range(3)]
    port = c.sock.getsockname()[1]
    head = r'^\d+\.\d{6} \[%d 127\.0\.0\.1:%d\] '
    assert re.match(head % (0, port) + r'"SET" "k" "a \\"q\\"\\n\\x01"$', lines[0]), lines[0]
    assert re.match(head % (0, port) + r'"SELECT" "2"$', lines[1]), lines[1]
    assert re.match(head % (2, port) + r'"GET" "k"$', lines[2]), lines[2]


def test_tracking_invalidation_push(connect):
    reader, writer = connect(), connect()
    reader.cmd("HELLO", "3")
    assert reader.cmd("CLIENT", "TRACKING", "ON") == "OK"
    reader.cmd("SET", "a", "1")
    assert reader.cmd("GET", "a") == b"1"
    writer.cmd("SET", "a", "2")
    writer.cmd("SET", "untracked", "2")
    assert reader.read_reply() == Push([b"invalidate", [b"a"]])
    # Invalidated once: a second write sends nothing until the key is read again.
    writer.cmd("SET", "a", "3")
    assert reader.cmd("PING") == "PONG"
    reader.cmd("GET", "a")
    writer.cmd("FLUSHALL")
    assert reader.read_reply() == Push([b"invalidate", None])
    assert reader.cmd("CLIENT", "TRACKING", "OFF") == "OK"
    reader.cmd("GET", "a")
    writer.cmd("SET", "a", "4")
    assert reader.cmd("PING") == "PONG"  # no push came first


def test_tracking_redirect_to_vosp2_subscriber(connect):
    listener, reader, writer = connect(), connect(), connect()
    lid = listener.cmd("CLIENT", "ID")
    listener.cmd("SUBSCRIBE", "__vorn__:invalidate")
    assert reader.cmd("CLIENT", "TRACKING", "ON", "REDIRECT", lid) == "OK"
    assert reader.cmd("CLIENT", "TRACKING", "ON", "REDIRECT", "99999").startswith("ERR")
    reader.cmd("GET", "k")
    writer.cmd("SET", "k", "v")
    assert listener.read_reply() == [b"message", b"__vorn__:invalidate", [b"k"]]


def test_object_freq_needs_an_lfu_policy(connect):
    c = connect()
    c.cmd("SET", "k", "v")
    assert c.cmd("OBJECT", "FREQ", "k").startswith("ERR An LFU maxmemory policy is not selected")
    c.cmd("CONFIG", "SET", "maxmemory-policy", "allkeys-lfu")
    first = c.cmd("OBJECT", "FREQ", "k")
    for _ in range(5):
        c.cmd("GET", "k")
    assert c.cmd("OBJECT", "FREQ", "k") > first
    assert c.cmd("OBJECT", "FREQ", "missing") is None
