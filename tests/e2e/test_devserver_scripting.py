"""vorn-devserver scripting over raw sockets: EVAL / EVALSHA / SCRIPT, the
conversions between replies and Lua values, errors naming the script line,
the sandbox and time limit, and how script writes reach replicas."""
import hashlib
import time

import pytest

from conftest import SLOW, Err, Status, become_replica


@pytest.mark.parametrize("script,reply", [
    ("return 1", 1),
    ("return -3.99", -3),                    # floats are truncated
    ("return 1e300", 9223372036854775807),   # and clamped
    ("return 'a\\0b'", b"a\0b"),
    ("return true", 1),
    ("return false", None),
    ("return nil", None),
    ("return {1, 'a', {2, {}}}", [1, b"a", [2, []]]),
    ("return {1, nil, 3}", [1]),             # an array ends at the first nil
    ("return {ok='FINE'}", Status("FINE")),
    ("return vorn.status_reply('FINE')", Status("FINE")),
    ("return vorn.error_reply('MY bad thing')", Err("MY bad thing")),
    ("return {err='x', 1}", Err("x")),
    ("return KEYS", [b"k1", b"k2"]),
    ("return ARGV", [b"a1"]),
    ("return #KEYS + #ARGV", 3),
])
def test_lua_values_to_replies(connect, script, reply):
    assert connect().cmd("EVAL", script, 2, "k1", "k2", "a1") == reply


@pytest.mark.parametrize("script,reply", [
    ("return vorn.call('set', 'k', 'v').ok", b"OK"),
    ("return vorn.call('get', 'k')", b"v"),
    ("return type(vorn.call('get', 'missing'))", b"boolean"),
    ("return vorn.call('get', 'missing') == false", 1),
    ("return vorn.call('incr', 'n') + 10", 11),
    ("vorn.call('rpush', 'l', 'a', 'b'); return vorn.call('lrange', 'l', 0, -1)", [b"a", b"b"]),
    ("return vorn.pcall('incr', 'k').err", b"ERR value is not an integer or out of range"),
    ("return vorn.pcall('nosuch').err", b"ERR Unknown command called from script"),
    ("return vorn.pcall('get').err", b"ERR Wrong number of args calling command from script"),
    ("return vorn.pcall('multi').err", b"ERR This command is not allowed from script"),
    ("return vorn.pcall('subscribe', 'c').err", b"ERR This command is not allowed from script"),
    ("return vorn.call('set', 'n2', 12) and vorn.call('get', 'n2')", b"12"),   # numbers as text
    ("return vorn.sha1hex('')", b"da39a3ee5e6b4b0d3255bfef95601890afd80709"),
])
def test_replies_to_lua_values(connect, script, reply):
    c = connect()
    c.cmd("SET", "k", "v")
    assert c.cmd("EVAL", script, 0) == reply


@pytest.mark.parametrize("script,error", [
    ("local x = nil\n\nreturn x.y",
     "ERR user_script:3: attempt to index a nil value (local 'x')"),
    ("error('boom')", "ERR user_script:1: boom"),
    ("error({err='WRONGTYPE custom'})", "WRONGTYPE custom"),
    ("error(42)", "ERR 42"),
    ("error({})", "ERR user_script: the script raised an error that is not a message"),
    ("\nvorn.call('incr', 's')",
     "ERR value is not an integer or out of range script: {sha}, on @user_script:2."),
    ("return vorn.call('get', {})",
     "ERR user_script:1: Lua vorn lib command arguments must be strings or integers"),
    ("retur 1", "ERR Error compiling script (new function): user_script:1: syntax error near "
                "'1'"),
    ("\x1bLua", "ERR Error compiling script (new function): attempt to load a binary chunk "
                "(mode is 't')"),
])
def test_errors_name_the_script_line(connect, script, error):
    c = connect()
    c.cmd("SET", "s", "text")
    sha = hashlib.sha1(script.encode()).hexdigest()
    assert c.cmd("EVAL", script, 0) == error.format(sha=sha)


@pytest.mark.parametrize("args,error", [
    (["return 1", "x"], "ERR value is not an integer or out of range"),
    (["return 1", "-1"], "ERR Number of keys can't be negative"),
    (["return 1", "2", "k"], "ERR Number of keys can't be greater than number of args"),
    (["return 1"], "ERR wrong number of arguments for 'eval' command"),
])
def test_eval_argument_errors(connect, args, error):
    assert connect().cmd("EVAL", *args) == error


def test_script_cache(connect):
    c = connect()
    body = "return 'cached ' .. ARGV[1]"
    sha = hashlib.sha1(body.encode()).hexdigest()
    assert c.cmd("EVALSHA", sha, 0) == "NOSCRIPT No matching script. Please use EVAL."
    assert c.cmd("SCRIPT", "LOAD", body) == sha.encode()
    assert c.cmd("EVALSHA", sha.upper(), 0, "x") == b"cached x"
    other = "return 2"
    assert c.cmd("EVAL", other, 0) == 2   # EVAL caches too
    other_sha = hashlib.sha1(other.encode()).hexdigest()
    assert c.cmd("SCRIPT", "EXISTS", sha, other_sha, "0" * 40) == [1, 1, 0]
    assert c.cmd("SCRIPT", "LOAD", "retur").startswith("ERR Error compiling script")
    assert c.cmd("SCRIPT", "FLUSH") == "OK"
    assert c.cmd("SCRIPT", "EXISTS", sha) == [0]
    assert c.cmd("SCRIPT", "FLUSH", "bogus") == "ERR syntax error"
    assert c.cmd("SCRIPT", "KILL") == "NOTBUSY No scripts in execution right now."
    assert c.cmd("SCRIPT", "NOPE").startswith("ERR unknown subcommand")


def test_sandbox_and_environment(connect):
    c = connect()
    assert c.cmd("EVAL", "return {dofile == nil, loadfile == nil, io == nil, os == nil}",
                 0) == [1, 1, 1, 1]
    # Globals a script sets stay in its own run.
    assert c.cmd("EVAL", "leaked = 1 return leaked", 0) == 1
    assert c.cmd("EVAL", "return leaked", 0) is None
    assert c.cmd("EVAL", "return string.rep('ab', 2) .. math.floor(2.5)", 0) == b"abab2"
    # load takes text only, and nothing can make a precompiled chunk.
    assert c.cmd("EVAL", "return load('return ...', 'n', 'b')(7)", 0) == 7
    assert c.cmd("EVAL", "return select(2, load('\\27Lua', 'n', 'b'))", 0) == (
        b"attempt to load a binary chunk (mode is 't')")
    assert c.cmd("EVAL", "return string.dump == nil", 0) == 1


def test_memory_limit_fails_the_script_not_the_server(connect):
    c = connect()
    assert c.cmd("EVAL", "local t = {} for i = 1, 100 do t[i] = string.rep('x', 2^23) end",
                 0) == "ERR not enough memory"
    assert c.cmd("EVAL", "return #string.rep('x', 2^20)", 0) == 1 << 20


def test_scripts_run_on_the_callers_database(connect):
    c = connect()
    c.cmd("SELECT", 5)
    c.cmd("EVAL", "vorn.call('set', 'k', 'five') vorn.call('select', 1) "
                  "vorn.call('set', 'k', 'one')", 0)
    assert c.cmd("GET", "k") == b"five"          # the script's SELECT stays its own
    c.cmd("SELECT", 1)
    assert c.cmd("GET", "k") == b"one"


def test_time_limit_stops_a_runaway_script(connect):
    c = connect()
    assert c.cmd("CONFIG", "SET", "lua-time-limit", "300") == "OK"
    t0 = time.time()
    reply = c.cmd("EVAL", "local n = 0\nwhile true do n = n + 1 end", 0)
    assert reply.startswith("ERR user_script:2: Script killed: it ran longer than lua-time-limit")
    assert 0.25 <= time.time() - t0 <= 5 * SLOW
    assert connect().cmd("PING") == "PONG"


def test_script_writes_reach_replicas_as_commands(connect):
    rep, c = connect(), connect()
    become_replica(rep)
    c.cmd("SELECT", 4)
    assert c.cmd("EVAL", "vorn.call('get', KEYS[1]) return vorn.call('incrby', KEYS[1], 5)",
                 1, "cnt") == 5
    assert rep.read_reply() == [b"SELECT", b"4"]
    assert rep.read_reply() == [b"incrby", b"cnt", b"5"]
