"""Shared fixtures for the end-to-end tests.

Binaries come from $VORN_BIN_DIR (default: build/ beside the sources). Every
child process gets an explicit standard input and a hard timeout, and every
server a test starts is stopped on the way out.
"""
import os
import shutil
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


def needed_libraries(name):
    """The NEEDED lines of the built program's dynamic section; skips the
    test where readelf is missing."""
    if shutil.which("readelf") is None:
        pytest.skip("readelf is not installed")
    r = subprocess.run(["readelf", "-d", bin_path(name)], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=30, check=True)
    return [ln for ln in r.stdout.decode().splitlines() if "(NEEDED)" in ln]


def system_library(soname):
    """The real path of the machine's 64-bit library with this soname, as
    the loader finds it, or None."""
    r = subprocess.run(["ldconfig", "-p"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=30)
    for ln in r.stdout.decode().splitlines():
        name, _, path = ln.strip().partition(" => ")
        if name.startswith(soname + " ") and "x86-64" in name:
            return os.path.realpath(path)
    return None


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
        # Cluster mode: the client and bus ports of every node, in node order.
        self.cluster_ports, self.cluster_bus_ports, self.cluster_tls_ports = [], [], []
        deadline = time.time() + timeout * SLOW
        line = b""
        while time.time() < deadline:
            line = self.proc.stdout.readline()
            if line.startswith(b"ready ") or not line:
                break
        if not line.startswith(b"ready "):
            self.stop()
            raise RuntimeError(f"vorn-devserver did not start: {line!r} "
                               f"{getattr(self, 'stderr', b'')!r}")
        for field in line.decode().split()[1:]:
            k, _, v = field.partition("=")
            if k == "port":
                self.port = int(v)
            elif k == "tls-port":
                self.tls_port = int(v)
            elif k == "unix-socket":
                self.unix_socket = v
            elif k == "cluster-ports":
                self.cluster_ports = [int(p) for p in v.split(",")]
            elif k == "cluster-bus-ports":
                self.cluster_bus_ports = [int(p) for p in v.split(",")]
            elif k == "cluster-tls-ports":
                self.cluster_tls_ports = [int(p) for p in v.split(",")]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5 * SLOW)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stderr and not self.proc.stderr.closed:
            self.stderr = self.proc.stderr.read()
        for f in (self.proc.stdout, self.proc.stderr):
            if f:
                f.close()
        return self.proc.returncode

    def sanitizer_report(self):
        """The sanitizer findings the stopped server printed, if any."""
        err = getattr(self, "stderr", b"") or b""
        if b"Sanitizer" in err or b"runtime error:" in err:
            return err.decode(errors="replace")
        return None


@pytest.fixture
def start_server():
    """Factory: start_server("--enable-test-hooks", ...) -> DevServer."""
    servers = []

    def start(*args):
        s = DevServer(["--port", "0"] + list(args))
        servers.append(s)
        return s

    yield start
    reports = []
    for s in servers:
        s.stop()
        if s.sanitizer_report():
            reports.append(s.sanitizer_report())
    if reports:
        pytest.fail("vorn-devserver sanitizer report:\n" + "\n".join(reports))


@pytest.fixture
def start_cluster_nodes(start_server):
    """Factory: start_cluster_nodes(n, *extra_args) starts one vorn-devserver
    process hosting n empty cluster nodes (test hooks on) and returns it; its
    cluster_ports and cluster_bus_ports list the nodes' ports. Nodes of one
    process meet, gossip and fail over their bus ports like separate ones."""

    def start(n, *args):
        return start_server("--cluster-nodes", str(n), "--enable-test-hooks", *args)

    return start


@pytest.fixture
def server(start_server):
    """One vorn-devserver with test hooks on an ephemeral port."""
    return start_server("--enable-test-hooks")


# ---- raw protocol access, independent of the client ----

import socket


class Status(str):
    """A simple-string reply (+...)."""


class Err(str):
    """An error reply (-...)."""


class Verbatim(bytes):
    """A verbatim-string reply; fmt holds its three-letter type."""
    fmt = b"txt"


class Push(list):
    """A push message (>...)."""


class RawConn:
    """A plain socket speaking the wire protocol, with its own small decoder,
    so that server tests need neither the client nor its library."""

    def __init__(self, port=None, host="127.0.0.1", unix=None, sock=None, timeout=5):
        if sock is not None:
            self.sock = sock
        elif unix is not None:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.connect(unix)
        else:
            self.sock = socket.create_connection((host, port))
        self.sock.settimeout(timeout * SLOW)
        self.buf = b""

    @staticmethod
    def encode(*args):
        out = [b"*%d\r\n" % len(args)]
        for a in args:
            if isinstance(a, int):
                a = str(a)
            if isinstance(a, str):
                a = a.encode()
            out.append(b"$%d\r\n%s\r\n" % (len(a), a))
        return b"".join(out)

    def send(self, *args):
        self.sock.sendall(self.encode(*args))

    def send_raw(self, data):
        self.sock.sendall(data)

    def cmd(self, *args):
        """Sends one request and returns its decoded reply."""
        self.send(*args)
        return self.read_reply()

    def _fill(self):
        d = self.sock.recv(65536)
        if not d:
            raise ConnectionError("connection closed by the server")
        self.buf += d

    def _line(self):
        while b"\r\n" not in self.buf:
            self._fill()
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line

    def _exact(self, n):
        while len(self.buf) < n + 2:
            self._fill()
        data, self.buf = self.buf[:n], self.buf[n + 2:]
        return data

    def read_reply(self):
        line = self._line()
        t, rest = line[:1], line[1:]
        if t == b"+":
            return Status(rest.decode("latin1"))
        if t == b"-":
            return Err(rest.decode("latin1"))
        if t == b":":
            return int(rest)
        if t == b"$":
            n = int(rest)
            return None if n < 0 else self._exact(n)
        if t == b"=":
            data = self._exact(int(rest))
            v = Verbatim(data[4:])
            v.fmt = data[:3]
            return v
        if t == b"_":
            return None
        if t == b",":
            return float(rest)
        if t == b"#":
            return rest == b"t"
        if t in (b"*", b">", b"~"):
            n = int(rest)
            if n < 0:
                return None
            items = [self.read_reply() for _ in range(n)]
            return Push(items) if t == b">" else set(items) if t == b"~" else items
        if t == b"%":
            n = int(rest)
            d = {}
            for _ in range(n):
                k = self.read_reply()
                d[k] = self.read_reply()
            return d
        raise AssertionError(f"bad reply type byte in {line!r}")

    def read_all(self, wait=0.3):
        """Everything the server sends until it closes or goes quiet."""
        self.sock.settimeout(wait * SLOW)
        try:
            while True:
                d = self.sock.recv(65536)
                if not d:
                    break
                self.buf += d
        except (socket.timeout, ConnectionResetError):
            pass
        data, self.buf = self.buf, b""
        return data

    def is_closed(self, wait=2):
        """True when the server closed the connection (pending bytes are read
        and dropped)."""
        self.sock.settimeout(wait * SLOW)
        try:
            while True:
                if not self.sock.recv(65536):
                    return True
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


def hook(server, *args):
    """Runs DEVHOOK with the arguments on a connection of its own."""
    return RawConn(port=server.port).cmd("DEVHOOK", *args)


def history(server, skip=("DEVHOOK",)):
    """Commands the server received, as MONITOR-style lines, without those
    named in skip."""
    prefixes = tuple(f'"{name}"'.encode() for name in skip)
    return [h.decode() for h in hook(server, "HISTORY") if not h.startswith(prefixes)]


def become_replica(conn):
    """Sends SYNC on a raw connection and skips the length-form snapshot;
    what the connection reads next is the write stream."""
    conn.send_raw(b"SYNC\r\n")
    n = int(conn._line()[1:])
    while len(conn.buf) < n:
        conn._fill()
    conn.buf = conn.buf[n:]


def free_port():
    """A loopback port nobody listens on (for a moment, at least)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture
def connect(server):
    """Factory: connect() -> RawConn to the `server` fixture; closed on exit."""
    conns = []

    def make(**kw):
        kw.setdefault("port", server.port)
        c = RawConn(**kw)
        conns.append(c)
        return c

    yield make
    for c in conns:
        c.close()


# ---- simulated clusters, built over raw connections ----

def wait_until(cond, timeout=5, step=0.05):
    """Polls cond() until it is true; returns its last value (falsy on
    timeout)."""
    deadline = time.time() + timeout * SLOW
    while True:
        v = cond()
        if v or time.time() >= deadline:
            return v
        time.sleep(step)


def cluster_nodes_text(port, password=None):
    """The CLUSTER NODES text of the node on port, as str."""
    c = RawConn(port=port)
    if password is not None:
        assert c.cmd("AUTH", password) == "OK"
    return bytes(c.cmd("CLUSTER", "NODES")).decode()


def cluster_views_agree(ports, password=None):
    """True when every node knows every other (no handshake) and all views
    give the same owner to every slot."""
    views = []
    for p in ports:
        lines = [l.split(" ") for l in cluster_nodes_text(p, password).splitlines()]
        if len(lines) != len(ports) or any("handshake" in l[2] for l in lines):
            return False
        views.append(sorted((l[0], " ".join(x for x in l[8:] if not x.startswith("[")))
                            for l in lines))
    return all(v == views[0] for v in views)


def build_cluster(ports, replicas=0, masters=None):
    """Makes one cluster of the (empty) nodes on ports without the client:
    the first `masters` nodes (default len(ports) // (replicas + 1)) share the
    slots in even ranges and get config epochs 1, 2, ...; the others replicate
    the masters in turn; everybody meets the first node. Waits until the views
    agree and returns the node IDs in port order."""
    if masters is None:
        masters = len(ports) // (replicas + 1)
    conns = [RawConn(port=p) for p in ports]
    ids = [bytes(c.cmd("CLUSTER", "MYID")).decode() for c in conns]
    first = 0
    for i in range(masters):
        last = 16383 if i == masters - 1 else round(16384 / masters * (i + 1)) - 1
        assert conns[i].cmd("CLUSTER", "ADDSLOTSRANGE", first, last) == "OK"
        first = last + 1
    for i, c in enumerate(conns):
        c.cmd("CLUSTER", "SET-CONFIG-EPOCH", i + 1)
    for c in conns[1:]:
        assert c.cmd("CLUSTER", "MEET", "127.0.0.1", ports[0]) == "OK"
    for i in range(masters, len(ports)):
        master = ids[(i - masters) % masters]
        assert wait_until(lambda: conns[i].cmd("CLUSTER", "REPLICATE", master) == "OK")
    assert wait_until(lambda: cluster_views_agree(ports), timeout=10), "views did not converge"
    for c in conns:
        c.close()
    return ids
