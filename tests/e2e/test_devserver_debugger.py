"""vorn-devserver's script debugger over raw sockets: SCRIPT DEBUG yes|sync,
stepping, listings with the marked lines the client colours, breakpoints,
print / eval / vorn, the end of a session (<endsession> and the script's
reply), rollback with "yes", and other clients served while a session waits."""
import hashlib

import pytest

from conftest import SLOW, Err, RawConn, Status, become_replica

SCRIPT = """local n = tonumber(ARGV[1])
local function twice(x)
  return x * 2
end
vorn.call('set', KEYS[1], n)
local m = twice(n)
vorn.debug('m is', m)
for i = 1, 2 do
  m = m + i
end
return {m, vorn.call('get', KEYS[1])}"""


def start(c, mode="sync", script=SCRIPT, keys=("k",), args=("5",)):
    assert c.cmd("SCRIPT", "DEBUG", mode) == "OK"
    return c.cmd("EVAL", script, len(keys), *keys, *args)


@pytest.mark.parametrize("mode,kept", [("sync", b"5"), ("yes", None)])
def test_session_stepped_to_its_end(connect, mode, kept):
    c, other = connect(), connect()
    assert start(c, mode) == ["* Stopped at 1, stop reason = step over",
                              "-> 1   local n = tonumber(ARGV[1])"]
    # A local function is made where its definition ends.
    assert c.cmd("s") == ["* Stopped at 4, stop reason = step over", "-> 4   end"]
    assert c.cmd("step") == ["* Stopped at 5, stop reason = step over",
                             "-> 5   vorn.call('set', KEYS[1], n)"]
    assert c.cmd("p") == ['<value> n = 5', '<value> twice = <function>']
    assert c.cmd("n") == ["<vorn> set k 5", "<reply> +OK",
                          "* Stopped at 6, stop reason = step over",
                          "-> 6   local m = twice(n)"]
    # step goes into the function, next steps over it.
    assert c.cmd("s") == ["* Stopped at 3, stop reason = step over",
                          "-> 3     return x * 2"]
    assert c.cmd("p", "x") == ["<value> 5"]
    assert c.cmd("s") == ["* Stopped at 7, stop reason = step over",
                          "-> 7   vorn.debug('m is', m)"]
    assert c.cmd("next") == ["<debug> line 7: m is, 10",
                             "* Stopped at 8, stop reason = step over",
                             "-> 8   for i = 1, 2 do"]
    # While the session waits, others are served; with "yes" they do not
    # see the session's writes.
    assert other.cmd("GET", "k") == kept
    assert other.cmd("SET", "other", "1") == "OK"
    assert c.cmd("b", "9") == ["  #9     m = m + i"]
    assert c.cmd("c") == ["* Stopped at 9, stop reason = break point",
                          "->#9     m = m + i"]
    assert c.cmd("c") == ["* Stopped at 9, stop reason = break point",
                          "->#9     m = m + i"]
    assert c.cmd("p", "m") == ["<value> 11"]
    assert c.cmd("b", "-9") == ["Breakpoint removed."]
    assert c.cmd("continue") == ["<vorn> get k", '<reply> "5"', "<endsession>"]
    assert c.read_reply() == [13, b"5"]
    # The connection is an ordinary one again, and the next EVAL is not debugged.
    assert c.cmd("PING") == "PONG"
    assert c.cmd("EVAL", "return 1", 0) == 1
    assert other.cmd("GET", "k") == kept
    assert c.cmd("GET", "other") == b"1"


def test_listings_mark_the_current_line_and_breakpoints(connect):
    c = connect()
    script = "\n".join(f"local v{i} = {i}" for i in range(1, 13))
    start(c, script=script, keys=(), args=())
    assert c.cmd("b", "2", "11", "13", "x") == [
        "  #2   local v2 = 2", "  #11  local v11 = 11", "<error> The script has no line 13.",
        "<error> Not a line number: 'x'"]
    assert c.cmd("b") == ["2 breakpoints set:", "  #2   local v2 = 2", "  #11  local v11 = 11"]
    assert c.cmd("l", "0", "1") == ["-> 1   local v1 = 1", "  #2   local v2 = 2"]
    assert c.cmd("c") == ["* Stopped at 2, stop reason = break point", "->#2   local v2 = 2"]
    assert c.cmd("list", "11", "1") == ["   10  local v10 = 10", "  #11  local v11 = 11",
                                        "   12  local v12 = 12"]
    whole = c.cmd("w")
    assert len(whole) == 12 and whole[1] == "->#2   local v2 = 2"
    assert c.cmd("b", "0") == ["All breakpoints removed."]
    assert c.cmd("b") == ["No breakpoints set. Use 'b <line>' to add one."]
    assert c.cmd("c") == ["<endsession>"]
    assert c.read_reply() is None


def test_eval_vorn_help_and_unknown_commands(connect):
    c = connect()
    c.cmd("SET", "g", "global")
    start(c, script="local x = 1\nvorn.breakpoint()\nreturn x", keys=(), args=())
    assert c.cmd("e", "1 + 2") == ["<retval> 3"]
    assert c.cmd("eval", "{1, 'a', k = true}") == ['<retval> {1; "a"; k=true}']
    assert c.cmd("e", "vorn.call('get', 'g')") == ["<vorn> get g", '<reply> "global"',
                                                  '<retval> "global"']
    assert c.cmd("e", "error('no')") == ["<error> ldb_eval:1: no"]
    assert c.cmd("e", "+") == ["<error> ldb_eval:1: unexpected symbol near '+'"]
    assert c.cmd("r", "SET", "g", "changed") == ["<vorn> SET g changed", "<reply> +OK"]
    assert c.cmd("vorn", "INCR", "g") == [
        "<vorn> INCR g", "<reply> -ERR value is not an integer or out of range"]
    help_ = c.cmd("h")
    assert help_[0] == "Lua debugger commands (a word or its first letter):"
    assert any(line.startswith("r, vorn <cmd>") for line in help_)
    assert c.cmd("GET", "g") == ["<error> Unknown Lua debugger command or wrong number of "
                                 "arguments."]
    assert c.cmd("b", "1") == ["->#1   local x = 1"]
    assert c.cmd("c") == ["* Stopped at 3, stop reason = vorn.breakpoint() called",
                          "-> 3   return x"]
    assert c.cmd("c") == ["<endsession>"]
    assert c.read_reply() == 1


def test_abort_and_runtime_errors_end_the_session(connect):
    c, other = connect(), connect()
    start(c, mode="sync", script="vorn.call('set', 'a', 1)\nreturn 1", keys=(), args=())
    assert c.cmd("n") == ["<vorn> set a 1", "<reply> +OK",
                          "* Stopped at 2, stop reason = step over", "-> 2   return 1"]
    assert c.cmd("a") == ["<error> script aborted for user request", "<endsession>"]
    assert c.read_reply() == Err("ERR script aborted for user request")
    assert other.cmd("GET", "a") == b"1"            # sync: writes stay after an abort
    start(c, mode="yes", script="local t = nil\nreturn t.x", keys=(), args=())
    assert c.cmd("c") == ["<error> ERR user_script:2: attempt to index a nil value (local 't')",
                          "<endsession>"]
    assert c.read_reply() == Err("ERR user_script:2: attempt to index a nil value (local 't')")


def test_a_script_that_does_not_compile_ends_the_session_at_once(connect):
    c = connect()
    assert start(c, script="retur", keys=(), args=()) == ["<endsession>"]
    assert c.read_reply() == Err("ERR Error compiling script (new function): user_script:1: "
                                 "syntax error near <eof>")
    assert c.cmd("PING") == "PONG"
    # An empty script still has its one line to stop on.
    assert start(c, script="", keys=(), args=()) == ["* Stopped at 1, stop reason = step over",
                                                     "-> 1   "]
    assert c.cmd("s") == ["<endsession>"]
    assert c.read_reply() is None


def test_yes_rolls_back_and_does_not_replicate_sync_does(connect):
    c, rep = connect(), connect()
    become_replica(rep)
    c.cmd("SET", "k", "orig")
    for mode in ("yes", "sync"):
        start(c, mode=mode, script="vorn.call('set', KEYS[1], ARGV[1])", args=(mode,))
        c.cmd("c")
        assert c.read_reply() is None
    assert c.cmd("GET", "k") == b"sync"
    assert rep.read_reply() == [b"SELECT", b"0"]
    assert rep.read_reply() == [b"SET", b"k", b"orig"]
    assert rep.read_reply() == [b"set", b"k", b"sync"]     # nothing of the "yes" run


def test_a_client_leaving_mid_session(connect):
    c, other = connect(), connect()
    start(c, mode="yes", script="vorn.call('set', 'left', 1)\nreturn 2", keys=(), args=())
    c.cmd("n")
    c.close()
    assert other.cmd("GET", "left") is None
    assert start(other, mode="sync", script="return 3", keys=(), args=())[0].startswith(
        "* Stopped at 1")
    assert other.cmd("c") == ["<endsession>"]
    assert other.read_reply() == 3


def test_shutdown_with_sessions_waiting(start_server):
    s = start_server()
    for mode in ("yes", "sync"):
        c = RawConn(port=s.port)
        start(c, mode=mode, script="local x = {1, 2}\nvorn.call('set', 'k', 1)\nreturn x")
        assert c.cmd("s")[0] == "* Stopped at 2, stop reason = step over"
    RawConn(port=s.port).send("SHUTDOWN")
    assert s.proc.wait(timeout=5 * SLOW) == 0    # the fixture checks for sanitizer reports


@pytest.mark.parametrize("args,reply", [
    (["DEBUG", "maybe"], "ERR Use SCRIPT DEBUG YES/SYNC/NO"),
    (["DEBUG", "NO"], "OK"),
])
def test_script_debug_arguments(connect, args, reply):
    c = connect()
    assert c.cmd("SCRIPT", "DEBUG", "yes") == "OK"
    assert c.cmd("SCRIPT", *args) == reply
    # Disarmed (or never re-armed by a bad word: the earlier "yes" stays).
    armed = args[1] == "maybe"
    r = c.cmd("EVAL", "return 7", 0)
    assert (r == ["* Stopped at 1, stop reason = step over", "-> 1   return 7"]) == armed


def test_eval_works_in_the_scripts_environment(connect):
    c = connect()
    assert c.cmd("CONFIG", "SET", "lua-time-limit", "200") == "OK"
    start(c, mode="yes", script="return {KEYS[1], seen}", keys=("kk",), args=())
    assert c.cmd("e", "KEYS[1]") == ['<retval> "kk"']
    assert c.cmd("e", "seen = 'set by eval'") == ["<retval> nil"]
    assert c.cmd("e", "while true do end") == [
        "<error> ldb_eval:1: Script killed: it ran longer than lua-time-limit"]
    assert c.cmd("e", "vorn.call('get', {})") == [
        "<error> ldb_eval:1: Lua vorn lib command arguments must be strings or integers"]
    assert c.cmd("c") == ["<endsession>"]
    assert c.read_reply() == [b"kk", b"set by eval"]
    # What eval assigned went with the run.
    assert c.cmd("EVAL", "return seen", 0) is None


def test_odd_commands_while_debugging(connect):
    c = connect()
    start(c, script="local t = {}\nfor i = 1, 3000 do t[i] = i end\nreturn #t", keys=(),
          args=())
    for cmd in (["l", "99999999999999999999999"], ["l", "-5", "-5"],
                ["l", "1", "9223372036854775807"], ["w"], ["b", "-99999999999"]):
        assert c.cmd(*cmd)                       # an answer, whatever the numbers
    assert c.cmd("b", "99999999999") == ["<error> Not a line number: '99999999999'"]
    assert c.cmd("l", "2", "-1") == ["   2   for i = 1, 3000 do t[i] = i end"]
    # A second script or SCRIPT DEBUG goes to the debugger, which does not
    # know them (EVAL is its own "eval": the rest is Lua code).
    for cmd in (["EVALSHA", "0" * 40, "0"], ["SCRIPT", "DEBUG", "no"]):
        assert c.cmd(*cmd) == [
            "<error> Unknown Lua debugger command or wrong number of arguments."]
    assert c.cmd("EVAL", "1", "+", "1") == ["<retval> 2"]
    assert c.cmd("b", "3") == ["  #3   return #t"]
    assert c.cmd("c") == ["* Stopped at 3, stop reason = break point", "->#3   return #t"]
    # A big value shows its beginning only.
    [value] = c.cmd("p", "t")
    assert value.startswith("<value> {1; 2; 3; ") and value.endswith("; ...}")
    assert 2048 < len(value) < 2048 + 100
    assert c.cmd("c") == ["<endsession>"]
    assert c.read_reply() == 3000


def test_a_chatty_script_has_its_log_capped(connect):
    c = connect()
    start(c, script="for i = 1, 20000 do vorn.debug(i) end\nreturn 1", keys=(), args=())
    lines = c.cmd("c")
    assert len(lines) == 10002
    assert lines[9999:] == ["<debug> line 1: 10000", "<hint> 10000 more lines not shown.",
                            "<endsession>"]
    assert c.read_reply() == 1


def test_a_debugged_eval_inside_exec_is_not_debugged(connect):
    c = connect()
    assert c.cmd("SCRIPT", "DEBUG", "sync") == "OK"
    assert c.cmd("MULTI") == "OK"
    assert c.cmd("EVAL", "return 1", 0) == "QUEUED"
    assert c.cmd("EXEC") == [1]
    # Still armed for the next EVAL outside a transaction.
    assert c.cmd("EVAL", "return 2", 0)[0] == "* Stopped at 1, stop reason = step over"
    assert c.cmd("c") == ["<endsession>"]
    assert c.read_reply() == 2


def test_rolled_back_writes_touch_no_watch_and_no_tracking(connect):
    c, w = connect(), connect()
    w.cmd("HELLO", "3")
    w.cmd("SET", "w", "1")
    assert w.cmd("CLIENT", "TRACKING", "on") == "OK"
    w.cmd("GET", "w")
    assert w.cmd("WATCH", "w") == "OK"
    start(c, mode="yes", script="vorn.call('set', 'w', '2')\nvorn.call('flushall')", keys=(),
          args=())
    assert c.cmd("c")[-1] == "<endsession>"
    assert c.read_reply() is None
    assert w.cmd("MULTI") == "OK"
    assert w.cmd("GET", "w") == "QUEUED"
    assert w.cmd("EXEC") == [b"1"]               # no invalidation push came before


@pytest.mark.parametrize("script,lines,error", [
    ("vorn.call('get', {})", [],
     "ERR user_script:1: Lua vorn lib command arguments must be strings or integers"),
    ("vorn.call()", ["<vorn>", "<reply> -ERR Please specify at least one argument for this call"],
     "ERR Please specify at least one argument for this call script: {sha}, on "
     "@user_script:1."),
    ("vorn.call('eval', 'return 1', 0)",
     ["<vorn> eval return 1 0", "<reply> -ERR This command is not allowed from script"],
     "ERR This command is not allowed from script script: {sha}, on @user_script:1."),
])
def test_bad_vorn_calls_end_the_session_with_the_error(connect, script, lines, error):
    c = connect()
    start(c, script=script, keys=(), args=())
    error = error.format(sha=hashlib.sha1(script.encode()).hexdigest())
    assert c.cmd("s") == lines + ["<error> " + error, "<endsession>"]
    assert c.read_reply() == Err(error)
    assert c.cmd("PING") == "PONG"
