"""NO_COLOR set and not empty: no colour escape in the latency spectrum, the
shell's help text and hints, or the debugger's lines; unset or empty, the
colours stay as they are."""
import re

import pytest

from running import running  # noqa: F401  (fixture)
from test_shell import Shell, shell_env

SGR = re.compile(r"\x1b\[[0-9;]*m")


@pytest.mark.parametrize("no_color", ["1", ""])
def test_latency_spectrum(server, running, no_color):
    p = running(["-p", str(server.port), "--latency-dist", "-i", "0.2"],
                env_extra={"NO_COLOR": no_color, "TERM": "xterm-256color"})
    if no_color:
        p.wait_for(lambda out: out.count(b"\n") >= 6 + 1 + 2)
        p.stop()
        lines = p.out.split(b"\n")
        assert b"\x1b" not in p.out
        assert lines[0] == lines[6] == b"-" * 45  # no shade scale in between
        # A row: 31 bucket positions, the character where samples fell.
        for row in lines[7:9]:
            assert len(row) == 31 and row.strip() and set(row) <= set(
                b" .-*#123456789ABCDEFGHIJKLMNOPQ?")
    else:
        p.wait_for(lambda out: out.count(b"\033[0m\n") >= 2)
        p.stop()
        assert b"\033[48;5;" in p.out


@pytest.mark.parametrize("no_color", ["1", ""])
def test_shell_help_and_hints(server, tmp_path, no_color):
    sh = Shell(tmp_path, ["-p", str(server.port)], env=shell_env(tmp_path, NO_COLOR=no_color))
    try:
        prompt = f"127.0.0.1:{server.port}> "
        sh.expect(prompt)
        sh.child.send("set ")
        out = sh.expect_re(r"set (?:\x1b\[[0-9;]*m)?key value[^\r]*\r").group(0)
        sh.child.send("\x15")  # Ctrl-U
        sh.send("help get")
        text = sh.expect("since:") + sh.expect(prompt)
        colours = SGR.findall(out + text)
        if no_color:
            assert colours == []
        else:
            assert "\x1b[0;90;49m" in colours and "\x1b[33m" in colours
        assert "GET key" in SGR.sub("", text)
        sh.send("quit")
        assert sh.exit_status() == 0
    finally:
        sh.close()
