"""vorn-cli --eval: the script file, its keys and arguments, and the
debugger console of --ldb / --ldb-sync-mode."""
import time

import pytest

from conftest import RawConn, history, hook, run_cli


def evalreq(server):
    return [h for h in history(server) if h.startswith('"EVAL"')]


@pytest.mark.parametrize("words,sent", [
    (["key1", "key2", ",", "x", "y"], '"2" "key1" "key2" "x" "y"'),
    ([], '"0"'),
    ([",", "a", ",", "b"], '"0" "a" "," "b"'),
    (["k1,k2", "x"], '"2" "k1,k2" "x"'),
])
def test_keys_and_arguments(server, tmp_path, words, sent):
    script = tmp_path / "s.lua"
    script.write_bytes(b"return 'ok'\n")
    hook(server, "REPLY", "EVAL", "0", "+done\r\n")
    hook(server, "HISTORY", "CLEAR")
    r = run_cli(["-p", str(server.port), "--eval", str(script), *words])
    assert (r.returncode, r.stdout) == (0, b"done\n")
    assert evalreq(server) == ['"EVAL" "return \'ok\'\\n" ' + sent]


def test_the_script_is_sent_byte_for_byte(server, tmp_path):
    script = tmp_path / "s.lua"
    body = b"-- " + bytes(range(1, 256)) * 8 + b"\x00end"  # several 1024-byte blocks
    script.write_bytes(body)
    hook(server, "REPLY", "EVAL", "0", "+done\r\n")
    hook(server, "HISTORY", "CLEAR")
    assert run_cli(["-p", str(server.port), "--eval", str(script)]).returncode == 0
    empty = tmp_path / "empty.lua"
    empty.write_bytes(b"")
    assert run_cli(["-p", str(server.port), "--eval", str(empty), "k"]).returncode == 0
    first, second = evalreq(server)
    assert len(first) > 2 * len(body)  # quoted: every byte made it, zero bytes included
    assert first.endswith('\\x00end" "0"')
    assert second == '"EVAL" "" "1" "k"'


def test_missing_script_file(server, tmp_path):
    missing = tmp_path / "nope.lua"
    for opts in ([], ["--ldb"]):
        r = run_cli(["-p", str(server.port), *opts, "--eval", str(missing)])
        assert r.returncode == 1
        assert r.stderr == b"Can't open file '%s': No such file or directory\n" % bytes(missing)


def test_a_directory_is_not_sent_as_an_empty_script(server, tmp_path):
    r = run_cli(["-p", str(server.port), "--eval", str(tmp_path)])
    assert r.returncode == 1
    assert r.stderr == b"Can't read file '%s': Is a directory\n" % bytes(tmp_path)


def test_eval_errors_and_lost_connections(server, tmp_path):
    script = tmp_path / "s.lua"
    script.write_bytes(b"return 1")
    hook(server, "FAIL", "EVAL", "1", "ERR boom")
    r = run_cli(["-p", str(server.port), "--eval", str(script)])
    assert (r.returncode, r.stdout) == (0, b"ERR boom\n\n")
    hook(server, "CLOSE", "EVAL", "1", "0")
    r = run_cli(["-p", str(server.port), "--eval", str(script)])
    assert r.returncode == 1
    assert r.stderr == b"Error: Server closed the connection\n"


@pytest.mark.parametrize("opt,mode", [("--ldb", "yes"), ("--ldb-sync-mode", "sync")])
def test_debugging_session_refused_at_once(server, tmp_path, opt, mode):
    script = tmp_path / "s.lua"
    script.write_bytes(b"return 1")
    hook(server, "REPLY", "EVAL", "1", "+<endsession>\r\n-ERR no debugging here\r\n")
    hook(server, "HISTORY", "CLEAR")
    r = run_cli(["-p", str(server.port), opt, "--eval", str(script)])
    assert r.returncode == 0
    assert r.stdout == (b"Lua debugging session started, please use:\n"
                        b"quit    -- End the session.\n"
                        b"restart -- Restart the script in debug mode again.\n"
                        b"help    -- Show Lua script debugging commands.\n\n"
                        # the end marker itself shows as an empty line
                        b"\nEval debugging session can't start:\n"
                        # the session's end put the output back to the standard form
                        b"(error) ERR no debugging here\n")
    sent = [h for h in history(server) if not h.startswith('"COMMAND"')]
    assert sent[:2] == [f'"SCRIPT" "DEBUG" "{mode}"', '"EVAL" "return 1" "0"']


# ---- the debugger console at a terminal ----

from test_shell import plain, prompt_of, shells  # noqa: E402,F401

SCRIPT = """local n = tonumber(ARGV[1])
vorn.call('set', KEYS[1], n)
return n + 1
"""

BANNER = "Lua debugging session started, please use:"
LDB = "lua debugger> "


def answer(sh, line, text, prompt=LDB):
    """Types line and returns its answer (colours removed) up to the next
    prompt, once text has been seen in it."""
    sh.send(line)
    before = sh.expect(text)
    return plain(before + text + sh.expect(prompt))


@pytest.fixture
def debugger(server, tmp_path, shells):
    """Factory: debugger(option) -> (shell, script path) of a session on
    SCRIPT with the key k and the argument 5."""
    def start(opt):
        script = tmp_path / "s.lua"
        script.write_text(SCRIPT)
        return shells("-p", str(server.port), opt, "--eval", str(script), "k", ",", "5"), script
    return start


@pytest.mark.parametrize("opt,ending,kept", [
    ("--ldb", " -- dataset changes rolled back", None),
    ("--ldb-sync-mode", "", b"5"),
])
def test_session_stepped_to_its_end(server, debugger, opt, ending, kept):
    sh, _ = debugger(opt)
    sh.expect(BANNER)
    sh.expect("help    -- Show Lua script debugging commands.")
    first = sh.expect(LDB)
    # The current line is drawn in yellow.
    assert "\x1b[0;33;49m-> 1   local n = tonumber(ARGV[1])\x1b[0m" in first
    out = answer(sh, "help", "continue")  # the server's debugger answers it
    assert "step" in out
    assert "-> 2   vorn.call('set', KEYS[1], n)" in answer(sh, "s", "-> 2")
    # One word for the server: the expression keeps its blanks.
    assert "<retval> 10" in answer(sh, "e 2 * 5", "<retval>")
    out = answer(sh, "n", "-> 3")
    assert "<vorn> set k 5" in out and "<reply> +OK" in out
    out = answer(sh, "c", "session ended", prompt_of(server))
    assert f"(integer) 6\r\n\r\n(Lua debugging session ended{ending})\r\n\r\n" in out
    assert RawConn(port=server.port).cmd("GET", "k") == kept
    # Nothing but the typed lines went to the debugger.
    assert not [h for h in history(server) if h.startswith('"COMMAND"')]
    # The console is an ordinary session now.
    sh.send("incr counter")
    sh.expect("(integer) 1")
    sh.send("quit")
    assert sh.exit_status() == 0


def test_restart_reads_the_edited_file(server, debugger):
    sh, script = debugger("--ldb")
    sh.expect(LDB)
    # Restart in the middle of a run, with the file changed meanwhile.
    script.write_text("local x = 'edited'\nreturn x\n")
    out = answer(sh, "restart", "-> 1")
    assert BANNER in out
    assert "-> 1   local x = 'edited'" in out
    out = answer(sh, "c", "session ended", prompt_of(server))
    assert '"edited"' in out
    assert "(Lua debugging session ended -- dataset changes rolled back)" in out
    # After the end, restart starts a new run of the file.
    script.write_text("return 'third'\n")
    assert "-> 1   return 'third'" in answer(sh, "restart", "-> 1")
    out = answer(sh, "abort", "aborted", prompt_of(server))
    assert "script aborted for user request" in out
    sh.send("exit")
    assert sh.exit_status() == 0


def test_restart_outside_the_debugger(server, shells):
    sh = shells("-p", str(server.port))
    sh.expect(prompt_of(server))
    sh.send("restart")
    sh.expect("Use 'restart' only in Lua debugging mode.")
    sh.expect(prompt_of(server))


def test_typed_sync_in_the_shell_enters_the_stream(server, shells):
    sh = shells("-p", str(server.port))
    sh.expect(prompt_of(server))
    sh.send("sync")
    sh.expect("Entering replica output mode...  (press Ctrl-C to quit)")
    sh.expect("SYNC done. Logging commands from master.")
    time.sleep(0.3)
    RawConn(port=server.port).cmd("SET", "typed", "yes")
    sh.expect('"SET","typed","yes"')
