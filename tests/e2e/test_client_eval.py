"""vorn-cli --eval: the script file, its keys and arguments, and the
debugger console of --ldb / --ldb-sync-mode."""
import pytest

from conftest import history, hook, run_cli


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


def test_debugging_session_refused_at_once(server, tmp_path):
    script = tmp_path / "s.lua"
    script.write_bytes(b"return 1")
    hook(server, "REPLY", "EVAL", "1", "+<endsession>\r\n-ERR no debugging here\r\n")
    hook(server, "HISTORY", "CLEAR")
    r = run_cli(["-p", str(server.port), "--ldb", "--eval", str(script)])
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
    assert sent[:2] == ['"SCRIPT" "DEBUG" "yes"', '"EVAL" "return 1" "0"']


def test_sync_debugger_asks_for_sync(server, tmp_path):
    script = tmp_path / "s.lua"
    script.write_bytes(b"return 1")
    hook(server, "REPLY", "EVAL", "1", "+<endsession>\r\n+OK\r\n")
    hook(server, "HISTORY", "CLEAR")
    r = run_cli(["-p", str(server.port), "--ldb-sync-mode", "--eval", str(script)])
    assert r.returncode == 0
    assert '"SCRIPT" "DEBUG" "sync"' in history(server)
