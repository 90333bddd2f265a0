"""The interactive shell driven through a pseudo-terminal: prompts, local
commands, repeat counts, history and preferences files, help, completion and
hints, the timing line, redirections, reconnection and the terminal state on
every way out."""
import os
import re
import time
import signal
import subprocess

import pexpect
import pytest

from conftest import SLOW, DevServer, RawConn, bin_path, free_port, history, hook


def received(server):
    """Commands the server received, without the session's own COMMAND."""
    return history(server, skip=("DEVHOOK", "COMMAND"))


def plain(text):
    """Terminal output without its escape sequences."""
    return re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", text)


def shell_env(home, **extra):
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": str(home),
        "TERM": "xterm",
        "VORNCLI_HISTFILE": str(home / "history"),
        "VORNCLI_RCFILE": str(home / "rc"),
    }
    for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if k in os.environ:
            env[k] = os.environ[k]
    env.update(extra)
    return env


class Shell:
    """vorn-cli at a pseudo-terminal; every expectation has a deadline."""

    def __init__(self, home, args=(), env=None, command=None):
        if command is None:
            command, cargs = bin_path("vorn-cli"), ["--no-motd", *args]
        else:
            cargs = ["-c", command]
            command = "/bin/sh"
        self.child = pexpect.spawn(command, cargs, env=env or shell_env(home),
                                   timeout=10 * SLOW, encoding="utf-8",
                                   codec_errors="replace", dimensions=(50, 250))

    def expect(self, text):
        self.child.expect_exact(text)
        return self.child.before

    def expect_re(self, pattern):
        self.child.expect(pattern)
        return self.child.match

    def send(self, line):
        self.child.send(line + "\r")

    def run(self, line, reply, prompt):
        """Types a line and waits for its reply and the next prompt; returns
        everything printed between the line end and the prompt."""
        self.send(line)
        self.expect(reply)
        return self.expect(prompt)

    def output(self, line):
        """Types a line and returns what it printed, colours taken out. The
        end is found by a marker command typed after it (standard form)."""
        self.marks = getattr(self, "marks", 0) + 1
        mark = f"end-of-output-{self.marks}"
        self.send(line)
        self.send(f"echo {mark}")
        self.expect(f'"{mark}"')
        return plain(self.child.before)

    def hint(self, text):
        """Types text without a line end and returns the hint drawn after it
        ("" for none), then clears the line."""
        self.child.send(text)
        self.child.expect(re.escape(text) + r"(?:\x1b\[0;90;49m([^\x1b]*)\x1b\[0m)?\r")
        self.child.send("\x15")  # Ctrl-U
        return self.child.match.group(1) or ""

    def exit_status(self):
        self.child.expect(pexpect.EOF)
        self.child.close()
        return self.child.exitstatus

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)


@pytest.fixture
def shells(tmp_path):
    opened = []

    def make(*args, home=None, env=None, command=None):
        sh = Shell(home or tmp_path, args, env, command)
        opened.append(sh)
        return sh

    yield make
    for sh in opened:
        sh.close()


def prompt_of(server):
    return f"127.0.0.1:{server.port}> "


def test_prompt_follows_database_transaction_and_connection(server, start_server, shells):
    other = start_server()
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    sh.run("select 2", "OK", f"127.0.0.1:{server.port}[2]> ")
    sh.run("multi", "OK", f"127.0.0.1:{server.port}[2](TX)> ")
    sh.run("ping", "QUEUED", f"127.0.0.1:{server.port}[2](TX)> ")
    sh.run("exec", "PONG", f"127.0.0.1:{server.port}[2]> ")
    # connect switches servers; the database asked for is selected again.
    sh.run(f"connect 127.0.0.1 {other.port}", "", f"127.0.0.1:{other.port}[2]> ")
    sh.run("select 0", "OK", prompt_of(other))
    dead = free_port()
    sh.send(f"connect 127.0.0.1 {dead}")
    sh.expect(f"Could not connect to Vorn at 127.0.0.1:{dead}: Connection refused")
    sh.expect("not connected> ")
    sh.send("quit")
    assert sh.exit_status() == 0


def test_session_starts_unconnected_and_follows_a_server_restart(start_server, shells):
    port = free_port()
    sh = shells("-p", str(port))
    sh.expect("not connected> ")
    srv = DevServer(["--port", str(port)])
    try:
        p = f"127.0.0.1:{port}> "
        sh.run("ping", "PONG", p)
        srv.stop()
        # The loss shows on the next command; the one after reconnects.
        sh.send("ping")
        sh.expect_re(r"Error: (Server closed the connection|Connection reset by peer)")
        sh.expect(p)
        sh.send("ping")
        sh.expect(f"Could not connect to Vorn at 127.0.0.1:{port}: Connection refused")
        sh.expect("not connected> ")
        srv = DevServer(["--port", str(port)])
        sh.run("ping", "PONG", p)
    finally:
        srv.stop()


@pytest.mark.parametrize("line,output,sent", [
    ("3 ping", "PONG\r\nPONG\r\nPONG\r\n", ['"ping"'] * 3),
    ("0 ping", "Invalid vorn-cli repeat command option value.\r\n", []),
    ("-2 ping", "Invalid vorn-cli repeat command option value.\r\n", []),
    ("99999999999999999999 ping", "Invalid vorn-cli repeat command option value.\r\n", []),
    ("3", "(error) ERR unknown command", ['"3"']),
    ("3x ping", "(error) ERR unknown command", ['"3x" "ping"']),
    ("2 quit", "OK\r\n", ['"quit"']),
])
def test_repeat_counts(server, shells, line, output, sent):
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    hook(server, "HISTORY", "CLEAR")
    out = sh.run(line, output, p)
    assert "(error)" not in out
    got = received(server)
    if line == "2 quit":
        # QUIT went to the server (which closed the connection), the session
        # went on, and the next command reconnected.
        assert got == sent
        sh.run("ping", "PONG", p)
    else:
        assert got == sent
    assert sh.child.isalive()


def test_history_file_never_holds_passwords(server, shells, tmp_path):
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    lines = [
        ("set k v", "OK"),
        ("auth secret1", "(error)"),
        ("AUTH user secret2", "(error)"),
        ("2 auth secret3", "(error)"),
        ("acl setuser bob >secret4", "OK"),
        ("ACL SetUser bob >secret5", "OK"),
        ('auth "secret6', "Invalid argument(s)"),
        ("3 acl 'setuser bob >secret7", "Invalid argument(s)"),
        # A quote glued to the command word still reveals it.
        ('auth"secret8', "Invalid argument(s)"),
        ('acl "setuser"bob >secret9', "Invalid argument(s)"),
        ('get "k', "Invalid argument(s)"),
        ("0 get k", "Invalid vorn-cli repeat command option value."),
        ("get k", '"v"'),
    ]
    for line, reply in lines:
        sh.run(line, reply, p)
    history = (tmp_path / "history").read_text()
    assert history.splitlines() == ["set k v", 'get "k', "get k"]
    assert "secret" not in history
    # The file is loaded by the next session: the up arrow brings it back.
    sh.send("quit")
    sh.exit_status()
    sh2 = shells("-p", str(server.port))
    sh2.expect(p)
    sh2.child.send("\x1b[A")
    sh2.expect("quit")
    sh2.child.send("\x1b[A")
    sh2.expect("get k")
    sh2.child.send("\r")
    sh2.expect('"v"')


def test_history_keeps_out_every_line_that_carries_a_password(server, shells, tmp_path):
    # The server refuses these commands, so that none of them takes effect.
    for match in ("HELLO", "CONFIG SET", "MIGRATE"):
        hook(server, "FAIL", match, 0, "ERR refused by the test")
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    refused, unsplit = "(error) ERR refused by the test", "Invalid argument(s)"
    lines = [
        ("hello 3 auth default pw-a", refused),
        ("HeLLo 3 AuTh u pw-b SETNAME n", refused),
        ("2 hello 2 AUTH u pw-c", refused),
        ("config set requirepass pw-d", refused),
        ("CONFIG SET MasterAuth pw-e", refused),
        ("config set maxmemory 1 masteruser pw-f", refused),
        ("3 Config Set REQUIREPASS pw-g", refused),
        ("migrate 127.0.0.1 1 k 0 100 AUTH pw-h", refused),
        ('MIGRATE 127.0.0.1 1 "" 0 100 COPY auth2 u pw-i KEYS a b', refused),
        ('2 migrate h 1 "" 0 1 Auth2 u "pw-j', unsplit),
        ('hello 3 "auth" u "pw-k', unsplit),
        # Lines like these without a password are kept.
        ("hello 3", refused),
        ("config set maxmemory 1000", refused),
        ("migrate 127.0.0.1 1 k 0 100", refused),
    ]
    for line, reply in lines:
        sh.run(line, reply, p)
    history = (tmp_path / "history").read_text()
    assert history.splitlines() == [line for line, _ in lines[-3:]]
    assert "pw-" not in history


def test_dev_null_history_keeps_the_session_history(server, shells, tmp_path):
    env = shell_env(tmp_path, VORNCLI_HISTFILE="/dev/null")
    sh = shells("-p", str(server.port), env=env)
    p = prompt_of(server)
    sh.expect(p)
    sh.run("echo first-line", '"first-line"', p)
    # A password line stays out of the in-memory history as well.
    sh.run("auth secret", "(error)", p)
    sh.child.send("\x1b[A\r")
    sh.expect('"first-line"')
    sh.expect(p)
    assert not (tmp_path / "history").exists()
    assert not (tmp_path / ".vorncli_history").exists()


def test_default_history_file_lives_in_home(server, shells, tmp_path):
    env = shell_env(tmp_path)
    del env["VORNCLI_HISTFILE"]
    sh = shells("-p", str(server.port), env=env)
    p = prompt_of(server)
    sh.expect(p)
    sh.run("echo x", '"x"', p)
    assert (tmp_path / ".vorncli_history").read_text() == "echo x\n"


@pytest.mark.parametrize("files", ["directories", "missing-directory", "no-home"])
def test_unusable_history_and_preferences_files_are_ignored(server, shells, tmp_path, files):
    env = shell_env(tmp_path)
    if files == "directories":
        env["VORNCLI_HISTFILE"] = env["VORNCLI_RCFILE"] = str(tmp_path)
    elif files == "missing-directory":
        env["VORNCLI_HISTFILE"] = str(tmp_path / "none" / "history")
        env["VORNCLI_RCFILE"] = str(tmp_path / "none" / "rc")
    else:
        for k in ("HOME", "VORNCLI_HISTFILE", "VORNCLI_RCFILE"):
            del env[k]
    sh = shells("-p", str(server.port), env=env)
    p = prompt_of(server)
    sh.expect(p)
    sh.run("echo kept", '"kept"', p)
    # The session history still works without a file behind it.
    sh.child.send("\x1b[A\r")
    sh.expect('"kept"')
    sh.expect(p)
    sh.send("quit")
    assert sh.exit_status() == 0
    assert sorted(os.listdir(tmp_path)) == []


@pytest.mark.parametrize("which", ["history", "rc", "both"])
def test_dotfiles_that_are_not_regular_files_are_skipped_with_a_warning(server, shells,
                                                                        tmp_path, which):
    # A FIFO would block the session before its first prompt.
    home = tmp_path / "home"
    home.mkdir()
    for name in ("history", "rc"):
        if which in (name, "both"):
            os.mkfifo(home / name)
    sh = shells("-p", str(server.port), home=home)
    p = prompt_of(server)
    before = sh.expect(p)
    warnings = re.findall(r"Warning: .*", plain(before))
    expected = []
    if which in ("history", "both"):
        expected.append(f"Warning: history file {home / 'history'} is not a regular file; "
                        "not using it\r")
    if which in ("rc", "both"):
        expected.append(f"Warning: preferences file {home / 'rc'} is not a regular file; "
                        "not using it\r")
    assert warnings == expected
    sh.run("echo alive", '"alive"', p)
    sh.send("quit")
    assert sh.exit_status() == 0
    for name in ("history", "rc"):
        assert (home / name).is_fifo() == (which in (name, "both"))
    assert sorted(os.listdir(home)) == sorted(
        n for n in ("history", "rc") if which in (n, "both") or n == "history")


def test_history_behind_a_link_to_the_null_device_is_skipped_quietly(server, shells, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    (home / "history").symlink_to("/dev/null")
    sh = shells("-p", str(server.port), home=home)
    p = prompt_of(server)
    assert "Warning" not in sh.expect(p)
    sh.run("echo x", '"x"', p)
    assert (home / "history").is_symlink()


@pytest.fixture
def small_fs(tmp_path):
    """A tmpfs of 256 KiB mounted on a directory of tmp_path."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    mnt = tmp_path / "small"
    mnt.mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs", str(mnt)],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    if r.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {r.stderr.decode().strip()}")
    yield mnt
    subprocess.run(["umount", "-l", str(mnt)], stdin=subprocess.DEVNULL, capture_output=True,
                   timeout=30)


def test_history_on_a_full_disk_keeps_the_old_file(server, shells, tmp_path, small_fs):
    histfile = small_fs / "history"
    old = "".join(f"get old-key-{i:03d}-{'x' * 900}\n" for i in range(100))
    histfile.write_text(old)
    # Fill what is left, so that no new copy of the file fits.
    with open(small_fs / "filler", "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"\0" * 4096)
        except OSError:
            pass
    env = shell_env(tmp_path, VORNCLI_HISTFILE=str(histfile))
    sh = shells("-p", str(server.port), env=env)
    p = prompt_of(server)
    sh.expect(p)
    out = ""
    for word in ("one", "two"):
        sh.send(f"echo {word}")
        out += sh.expect(f'"{word}"')
        sh.expect(p)
    sh.send("quit")
    assert sh.exit_status() == 0
    # One warning for the session, the old file whole, no temporary left.
    assert plain(out).count(f"Warning: could not save the history to {histfile}: "
                            "No space left on device\r\n") == 1
    assert histfile.read_text() == old
    assert sorted(os.listdir(small_fs)) == ["filler", "history"]

    # With room again, the next session saves it.
    (small_fs / "filler").unlink()
    sh2 = shells("-p", str(server.port), env=env)
    sh2.expect(p)
    sh2.run("echo three", '"three"', p)
    lines = histfile.read_text().splitlines()
    assert lines[-1] == "echo three" and len(lines) == 100


@pytest.mark.parametrize("rc,messages,hints", [
    (":set nohints\n", [], False),
    (":set hints\n", [], True),
    ("hints\n", [".vornclirc: unknown vorn-cli internal command 'hints'"], True),
    (":set colors\n:unset hints\n\n",
     [".vornclirc: unknown vorn-cli preference 'colors'",
      ".vornclirc: unknown vorn-cli internal command ':unset'"], True),
])
def test_preferences_file(server, shells, tmp_path, rc, messages, hints):
    (tmp_path / "rc").write_text(rc)
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    for m in messages:
        sh.expect(m + "\r\n")
    sh.expect(p)
    assert sh.hint("hget k") == (" field" if hints else "")


def test_preference_commands(server, shells):
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    sh.run(":set foo", "unknown vorn-cli preference 'foo'\r\n", p)
    sh.run(":foo", "unknown vorn-cli internal command ':foo'\r\n", p)
    sh.run(":set", "unknown vorn-cli internal command ':set'\r\n", p)
    assert sh.hint("hget k") == " field"
    assert "unknown" not in sh.output(":set nohints")
    assert sh.hint("hget k") == ""
    sh.output(":set hints")
    assert sh.hint("hget k") == " field"
    sh.run("restart", "Use 'restart' only in Lua debugging mode.", p)


def test_local_commands_send_nothing_to_the_server(server, shells):
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    hook(server, "HISTORY", "CLEAR")
    sh.send("CLEAR")
    sh.expect("\x1b[H\x1b[2J")
    sh.expect(p)
    sh.run(":set nohints", "", p)
    sh.run("Restart", "Use 'restart' only in Lua debugging mode.", p)
    sh.run(f"connect 127.0.0.1 {server.port}", "", p)
    sh.send("Exit")
    assert sh.exit_status() == 0
    assert received(server) == []


def test_piped_input_runs_lines_without_history_or_preferences(server, tmp_path):
    (tmp_path / "rc").write_text("hints\n")
    env = shell_env(tmp_path)
    r = subprocess.run([bin_path("vorn-cli"), "--no-motd", "-p", str(server.port)],
                       input=b"set k v\nauth x\n2 get k\n\"bad\nquit\nping\n",
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                       timeout=10 * SLOW)
    assert r.returncode == 0
    assert r.stdout.startswith(b"OK\n")
    assert b"v\nv\nInvalid argument(s)\n" in r.stdout
    assert b"PONG" not in r.stdout  # quit ended the session
    assert b".vornclirc" not in r.stdout + r.stderr
    assert not (tmp_path / "history").exists()


def test_piped_session_messages_keep_their_order(server, tmp_path):
    # Standard output is a pipe shared with standard error: every message
    # must be out before the next line runs.
    dead = free_port()
    r = subprocess.run([bin_path("vorn-cli"), "--no-motd", "-p", str(server.port)],
                       input=f"0 ping\nconnect 127.0.0.1 {dead}\n:set x\n\"bad\n".encode(),
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=shell_env(tmp_path),
                       timeout=10 * SLOW)
    assert r.returncode == 0
    assert r.stdout == (b"Invalid vorn-cli repeat command option value.\n"
                        b"Could not connect to Vorn at 127.0.0.1:%d: Connection refused\n"
                        b"unknown vorn-cli preference 'x'\n"
                        b"Invalid argument(s)\n" % dead)


def test_timing_line_only_in_the_standard_form(server, shells):
    for args, shown in ((), True), (("--raw",), False), (("--csv",), False):
        sh = shells("-p", str(server.port), *args)
        p = prompt_of(server)
        sh.expect(p)
        hook(server, "DELAY", "PING", 1, 700)
        out = sh.run("ping", "PONG", p)
        m = re.search(r"\((\d+\.\d\d)s\)\r\n", out)
        if shown:
            assert m is not None, out
            assert 0.69 <= float(m.group(1)) <= 0.7 + 3 * SLOW
        else:
            assert m is None, out
        # A quick command prints no timing line.
        out = sh.run("echo quick", "quick", p)
        assert not re.search(r"\(\d+\.\d\ds\)", out)
        sh.send("exit")
        assert sh.exit_status() == 0


def test_redirection_line_and_errors_do_not_end_the_session(start_server, shells):
    a = start_server("--enable-test-hooks")
    b = start_server("--enable-test-hooks")
    RawConn(port=b.port).cmd("SET", "k", "from-b")
    hook(a, "REPLY", "GET", 1, f"-MOVED 3999 127.0.0.1:{b.port}\r\n")
    sh = shells("-c", "-e", "-p", str(a.port))
    sh.expect(prompt_of(a))
    sh.send("get k")
    sh.expect(f"-> Redirected to slot [3999] located at 127.0.0.1:{b.port}\r\n")
    sh.expect('"from-b"')
    sh.expect(prompt_of(b))
    # -e does not end an interactive session on an error reply.
    sh.run("nosuchcommand", "(error) ERR unknown command", prompt_of(b))
    sh.run("ping", "PONG", prompt_of(b))


def test_timed_out_command_leaves_the_session_running(server, shells):
    sh = shells("-t", "0.5", "-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    hook(server, "DELAY", "GET", 1, 3000)
    sh.run("get k", "Error: recv timeout", p)
    # The next command goes out on a new connection; the late reply of the
    # old one can never be taken for its answer.
    sh.run("set k fresh", "OK", p)
    sh.run("get k", '"fresh"', p)


def test_connect_refuses_a_port_out_of_range(server, shells):
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    for port in ("99999", "0", "80x"):
        sh.run(f"connect 127.0.0.1 {port}",
               f"Invalid value for connect: '{port}' (expected a port, 1-65535)", p)
    sh.run("ping", "PONG", p)


def test_help_texts(server, shells):
    sh = shells("-p", str(server.port))
    sh.expect(prompt_of(server))
    out = sh.output("help")
    assert "vorn-cli 255.255.255\r\n" in out
    assert '"help @<group>" to get a list of commands in <group>\r\n' in out
    out = sh.output("help @list")
    assert out.count("summary:") == 20 and "group:" not in out
    assert "LPUSH key element [element ...]" in out
    out = sh.output("help get")
    assert out.count("summary:") == 1 and "group: string" in out
    assert sh.output("help client").count("summary:") == 14
    assert sh.output("help client kill").count("summary:") == 1
    assert "summary:" not in sh.output("help cl")
    assert "summary:" not in sh.output("help @nosuchgroup")
    # Learnt from the server's COMMAND reply: the table does not know it.
    out = sh.output("help devhook")
    assert "summary: Help not available" in out
    assert "since: not known" in out
    assert "group: generic" in out
    assert "DEVHOOK" in sh.output("help @generic")


def test_completion_and_hints(server, shells):
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    sh.child.send("hge\t")
    sh.expect("HGET")
    sh.child.send("\t")
    sh.expect("HGETALL")
    sh.child.send("\x1b")  # back to what was typed
    sh.child.send("\x15")
    sh.child.send("help @li\t")
    sh.expect("help @list")
    sh.child.send("\x1b\x15")
    # Both blanks after help stay as typed.
    sh.child.send("help  @li\t")
    sh.expect("help  @list")
    sh.child.send("\x1b\x15")
    sh.child.send("devh\t")
    sh.expect("DEVHOOK")  # learnt commands complete too
    sh.child.send("\x1b\x15")
    # Hints drop the arguments already typed; "-" params hint " -".
    assert sh.hint("hget k") == " field"
    assert sh.hint("command") == " -"
    sh.run("ping", "PONG", p)


def test_help_without_a_server_reports_the_connection(shells):
    port = free_port()
    sh = shells("-p", str(port))
    sh.expect("not connected> ")
    sh.send("help get")
    sh.expect(f"Could not connect to Vorn at 127.0.0.1:{port}: Connection refused")
    out = sh.expect("not connected> ")
    assert "summary:" not in out


@pytest.mark.parametrize("how", ["quit", "ctrl-d", "ctrl-c", "protocol-error"])
def test_terminal_is_restored_on_every_way_out(server, shells, tmp_path, how):
    cli = bin_path("vorn-cli")
    sh = shells(command=f"'{cli}' --no-motd -p {server.port}; echo status=$?; stty -a")
    p = prompt_of(server)
    sh.expect(p)
    if how == "quit":
        sh.send("quit")
    elif how == "ctrl-d":
        sh.child.send("\x04")
    elif how == "ctrl-c":
        # The first Ctrl-C clears the typed text, the second ends the session.
        sh.child.send("par")
        sh.child.send("\x03")
        sh.expect("^C\r\n")
        sh.expect(p)
        sh.child.send("\x03")
    else:
        hook(server, "REPLY", "PING", 1, "!garbage\r\n")
        sh.send("ping")
        sh.expect("Protocol error")
    m = sh.expect_re(r"status=(\d+)")
    assert m.group(1) == ("1" if how == "protocol-error" else "0")
    sh.child.expect(pexpect.EOF)
    settings = sh.child.before
    assert re.search(r"(?<!-)icanon", settings), settings
    assert re.search(r"(?<!-)echo\b", settings), settings


# Runs a program as the terminal's foreground process group of its own, so
# that a Ctrl-C reaches only the program; then reports how it ended and the
# terminal settings it left behind.
FOREGROUND = """
import os, signal, subprocess, sys
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    os.tcsetpgrp(0, os.getpgrp())
    signal.signal(signal.SIGTTOU, signal.SIG_DFL)
    os.execv(sys.argv[1], sys.argv[1:])
try:
    os.setpgid(pid, pid)
    os.tcsetpgrp(0, pid)
except OSError:
    pass
print("pid=%d;" % pid, flush=True)
_, status = os.waitpid(pid, 0)
os.tcsetpgrp(0, os.getpgrp())
print("signal=%d" % (os.WTERMSIG(status) if os.WIFSIGNALED(status) else 0), flush=True)
subprocess.run(["stty", "-a"])
"""


@pytest.mark.parametrize("how", ["ctrl-c-during-a-command", "sigterm-at-the-prompt",
                                 "sighup-at-the-prompt", "sigterm-during-a-command"])
def test_ending_signals_leave_the_terminal_restored(server, shells, tmp_path, how):
    script = tmp_path / "foreground.py"
    script.write_text(FOREGROUND)
    sh = shells(command=f"/usr/bin/python3 '{script}' '{bin_path('vorn-cli')}' "
                        f"--no-motd -p {server.port}")
    pid = int(sh.expect_re(r"pid=(\d+);").group(1))
    p = prompt_of(server)
    sh.expect(p)
    if how.endswith("during-a-command"):
        hook(server, "DELAY", "PING", 1, 10000)
        sh.send("ping")
        # The editor has handed the line over once it ends the row.
        sh.expect("\r\n")
    else:
        sh.child.send("pin")
        sh.expect("pin")
    if how == "ctrl-c-during-a-command":
        # The reply is held back: the key is an interrupt, not an editing key.
        sh.child.send("\x03")
        want = signal.SIGINT
    else:
        want = signal.SIGHUP if how.startswith("sighup") else signal.SIGTERM
        os.kill(pid, want)
    m = sh.expect_re(r"signal=(\d+)")
    assert int(m.group(1)) == want
    sh.child.expect(pexpect.EOF)
    settings = sh.child.before
    assert re.search(r"(?<!-)icanon", settings), settings
    assert re.search(r"(?<!-)echo\b", settings), settings
    assert re.search(r"(?<!-)isig", settings), settings


@pytest.mark.parametrize("args,out", [
    (["help"], b"vorn-cli 255.255.255\nTo get help about Vorn commands type:\n"),
    (["?"], b"vorn-cli 255.255.255\nTo get help about Vorn commands type:\n"),
    # The entries are built only by an interactive session.
    (["help", "get"], b"\r\n"),
    (["HELP", "@list"], b"\r\n"),
])
def test_one_shot_help(server, tmp_path, args, out):
    r = subprocess.run([bin_path("vorn-cli"), "-p", str(server.port), *args],
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env=shell_env(tmp_path), timeout=10 * SLOW)
    assert r.returncode == 0, r.stderr
    if len(out) > 2:
        assert r.stdout.startswith(out), r.stdout
    else:
        assert r.stdout == out
    # Neither the help nor a COMMAND query reached the server.
    assert history(server) == []


def test_a_long_paste_is_drawn_a_few_times_not_once_per_byte(server, shells):
    sh = shells("-p", str(server.port))
    p = prompt_of(server)
    sh.expect(p)
    value = "v" * 20000
    start = time.monotonic()
    sh.child.send(f"echo {value}\r")
    sh.expect(f'"{value}"')
    drawn = len(sh.child.before)
    sh.expect(p)
    # Redrawing the line after every byte wrote some 200 MB here; a handful
    # of drawings of 20 KB each is what a paste should cost.
    assert drawn < 40 * len(value), drawn
    assert time.monotonic() - start < 20 * SLOW


def test_ctrl_c_clears_a_line_with_text(server, tmp_path):
    sh = Shell(tmp_path, ["-p", str(server.port)])
    try:
        p = prompt_of(server)
        sh.expect(p)
        sh.child.send("set abandoned 1")
        sh.child.send("\x03")
        sh.expect("^C\r\n")
        sh.expect(p)
        # The abandoned text is gone: only the new line runs.
        sh.send("ping")
        sh.expect("PONG")
        sh.expect(p)
        assert RawConn(port=server.port).cmd("EXISTS", "abandoned") == 0
        sh.child.send("\x03")  # on an empty line: the end
        assert sh.exit_status() == 0
    finally:
        sh.close()
