"""Shared fixtures for the end-to-end tests.

Binaries come from $VORN_BIN_DIR (default: build/ beside the sources). Every
child process gets an explicit standard input and a hard timeout, and every
server a test starts is stopped on the way out.
"""
import os
import signal
import subprocess
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN_DIR = os.environ.get("VORN_BIN_DIR", os.path.join(ROOT, "build"))
SANITIZED = os.environ.get("VORN_SANITIZED") == "1"
# Sanitized binaries run several times slower; give every deadline room.
SLOW = 4.0 if SANITIZED else 1.0


def bin_path(name):
    path = os.path.join(BIN_DIR, name)
    if not os.path.exists(path):
        pytest.skip(f"{name} is not built in {BIN_DIR}")
    return path


def run_cli(args, input=b"", env=None, timeout=10, extra_env=None):
    """Runs vorn-cli once; returns the CompletedProcess (bytes out/err)."""
    e = dict(os.environ) if env is None else dict(env)
    e.setdefault("HOME", "/nonexistent")
    e.pop("FAKETTY", None) if env is None else None
    if extra_env:
        e.update(extra_env)
    return subprocess.run([bin_path("vorn-cli")] + list(args), input=input,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=e, timeout=timeout * SLOW)


class DevServer:
    """A running vorn-devserver; port, tls_port and unix_socket come from its
    ready line."""

    def __init__(self, args, timeout=10):
        self.args = args
        self.proc = subprocess.Popen([bin_path("vorn-devserver")] + list(args),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.port = self.tls_port = self.unix_socket = None
        deadline = time.time() + timeout * SLOW
        line = b""
        while time.time() < deadline:
            line = self.proc.stdout.readline()
            if line.startswith(b"ready ") or not line:
                break
        if not line.startswith(b"ready "):
            self.stop()
            raise RuntimeError(f"vorn-devserver did not start: {line!r} "
                               f"{self.proc.stderr.read()!r}")
        for field in line.decode().split()[1:]:
            k, _, v = field.partition("=")
            if k == "port":
                self.port = int(v)
            elif k == "tls-port":
                self.tls_port = int(v)
            elif k == "unix-socket":
                self.unix_socket = v

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5 * SLOW)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in (self.proc.stdout, self.proc.stderr):
            if f:
                f.close()
        return self.proc.returncode


@pytest.fixture
def start_server():
    """Factory: start_server("--enable-test-hooks", ...) -> DevServer."""
    servers = []

    def start(*args):
        s = DevServer(["--port", "0"] + list(args))
        servers.append(s)
        return s

    yield start
    for s in servers:
        s.stop()


@pytest.fixture
def server(start_server):
    """One vorn-devserver with test hooks on an ephemeral port."""
    return start_server("--enable-test-hooks")
