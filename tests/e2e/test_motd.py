"""Message of the day at interactive start.

The client's URL names a host under .invalid, so the only way to reach it is
libcurl's http_proxy variable pointing at an HTTP server run by the test,
which sees the absolute URL and answers as the endpoint would.

The cache lives in the home directory from the password database, so the
cases that may fetch, read or write it run the client as a throwaway user
whose home is a temporary directory (root only). The cases where no fetch
may happen run as the current user against a server that answers 404, so
even a faulty client cannot write a cache into the real home; a module-wide
guard checks that the real home's cache file is left as it was.
"""
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

import pytest

from conftest import SLOW, bin_path, needed_libraries, system_library

CACHE_NAME = ".vorn-cli-motd"
MOTD_HOST = "motd.vorn.invalid"
MOTD_PATH = "/motd/motd_cli.txt"
HOUR = 3600
BANNER = b"Message of the day:\n  "
# Printed as it comes: quotes, UTF-8, a tab, a backslash and an escape
# sequence are not escaped.
BODY = b'Keys are cheap; "tests" are not. caf\xc3\xa9\tend \\n \x1b[1mbold\x1b[0m'


def banner(message):
    return BANNER + message + b"\n"


class MotdServer:
    """An HTTP server used as the client's proxy. routes maps a path to
    (status, headers, body); other paths answer 404. Every request is
    recorded as (host, path), every connection counted."""

    def __init__(self, routes):
        self.routes = routes
        self.requests = []
        self.connections = 0
        lock = threading.Lock()
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                url = urlsplit(self.path)
                with lock:
                    outer.requests.append((url.netloc, url.path))
                status, headers, body = outer.routes.get(url.path, (404, {}, b"not here\n"))
                self.send_response(status)
                for k, v in headers.items():
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        class Server(ThreadingHTTPServer):
            daemon_threads = True

            def process_request(self, request, client_address):
                with lock:
                    outer.connections += 1
                super().process_request(request, client_address)

            def handle_error(self, request, client_address):
                pass  # the client hung up on a refused answer

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)


class SilentProxy:
    """Accepts connections and never answers."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.conns = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(conn)

    def stop(self):
        self.sock.close()
        for c in self.conns:
            c.close()


@pytest.fixture
def http_proxy():
    """Factory: http_proxy(routes) -> a running MotdServer."""
    servers = []

    def start(routes):
        s = MotdServer(routes)
        servers.append(s)
        return s

    yield start
    for s in servers:
        s.stop()


def real_home_cache():
    return os.path.join(pwd.getpwuid(os.getuid()).pw_dir, CACHE_NAME)


def file_state(path):
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns)


@pytest.fixture(autouse=True, scope="module")
def real_home_untouched():
    path = real_home_cache()
    before = file_state(path)
    yield
    assert file_state(path) == before, f"{path} was created or changed by the tests"


class User:
    def __init__(self, name, uid, gid, home):
        self.name, self.uid, self.gid, self.home = name, uid, gid, home

    @property
    def cache(self):
        return os.path.join(self.home, CACHE_NAME)


@pytest.fixture(scope="module")
def throwaway_user():
    if os.geteuid() != 0:
        pytest.skip("needs root: the cache is in the password-database home, so these "
                    "cases run the client as a throwaway user with a temporary home")
    if shutil.which("useradd") is None or shutil.which("userdel") is None:
        pytest.skip("useradd/userdel are not installed")
    home = tempfile.mkdtemp(prefix="vorn-motd-home-")
    name = "vmotd" + uuid.uuid4().hex[:10]
    r = subprocess.run(["useradd", "-M", "-U", "-d", home, "-s", "/usr/sbin/nologin", name],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    if r.returncode != 0:
        shutil.rmtree(home, ignore_errors=True)
        pytest.skip(f"useradd failed: {r.stderr.decode(errors='replace').strip()}")
    try:
        pw = pwd.getpwnam(name)
        yield User(name, pw.pw_uid, pw.pw_gid, home)
    finally:
        subprocess.run(["userdel", name], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=60)
        shutil.rmtree(home, ignore_errors=True)


@pytest.fixture
def user(throwaway_user):
    """The throwaway user with an empty home of mode 0755."""
    u = throwaway_user
    os.chmod(u.home, 0o755)
    for entry in os.listdir(u.home):
        p = os.path.join(u.home, entry)
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        else:
            os.unlink(p)
    os.chown(u.home, u.uid, u.gid)
    return u


def write_cache(user, content, age):
    with open(user.cache, "wb") as f:
        f.write(content)
    os.chown(user.cache, user.uid, user.gid)
    t = time.time() - age
    os.utime(user.cache, (t, t))


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def client_env(proxy_port, faketty=True, home=None):
    e = {k: v for k, v in os.environ.items()
         if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy", "faketty")}
    e["http_proxy"] = f"http://127.0.0.1:{proxy_port}"
    # The cache must come from the password database, never from HOME.
    e["HOME"] = home or "/nonexistent"
    if faketty:
        e["FAKETTY"] = "1"
    return e


def start_session(server, proxy_port, args=(), user=None, uid=None, faketty=True, home=None):
    """Runs vorn-cli with no command words (an interactive start) and input at
    end of file; returns (CompletedProcess, seconds taken)."""
    kw = {}
    if user is not None:
        uid, gid = user.uid, user.gid
    elif uid is not None:
        gid = uid
    if uid is not None:
        kw = dict(user=uid, group=gid, extra_groups=[], cwd="/")
    t0 = time.monotonic()
    p = subprocess.run([bin_path("vorn-cli"), "-p", str(server.port)] + list(args),
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env=client_env(proxy_port, faketty, home), timeout=30 * SLOW, **kw)
    return p, time.monotonic() - t0


def assert_session_ended(p):
    assert p.returncode == 0, p.stderr.decode(errors="replace")


def ok(body, headers=None):
    return (200, headers or {}, body)


def redirect(location):
    return (302, {"Location": location}, b"")


# ---- what a fetch shows and caches ----

FETCH_CASES = {
    # id: (routes, printed message or None, cache content or None, requested (host, path)s)
    "ok": ({MOTD_PATH: ok(BODY)}, BODY, BODY, [(MOTD_HOST, MOTD_PATH)]),
    "empty-body": ({MOTD_PATH: ok(b"")}, b"", b"", [(MOTD_HOST, MOTD_PATH)]),
    # The whole answer is shown (printing stops at the zero byte); the cache
    # keeps the text up to it.
    "zero-byte": ({MOTD_PATH: ok(b"before\0after")}, b"before", b"before",
                  [(MOTD_HOST, MOTD_PATH)]),
    "redirect": ({MOTD_PATH: redirect("http://elsewhere.vorn.invalid/moved/here"),
                  "/moved/here": ok(b"moved text")}, b"moved text", b"moved text",
                 [(MOTD_HOST, MOTD_PATH), ("elsewhere.vorn.invalid", "/moved/here")]),
    "redirect-to-404": ({MOTD_PATH: redirect("http://elsewhere.vorn.invalid/gone")}, None, None,
                        [(MOTD_HOST, MOTD_PATH), ("elsewhere.vorn.invalid", "/gone")]),
    "404": ({MOTD_PATH: (404, {}, b"missing")}, None, None, [(MOTD_HOST, MOTD_PATH)]),
    "500": ({MOTD_PATH: (500, {}, b"broken")}, None, None, [(MOTD_HOST, MOTD_PATH)]),
    "204": ({MOTD_PATH: (204, {}, b"")}, b"", b"", [(MOTD_HOST, MOTD_PATH)]),
    # An answer beyond 1 MiB is refused as a whole, never shown or cached.
    "oversized": ({MOTD_PATH: ok(b"x" * (2 << 20))}, None, None, [(MOTD_HOST, MOTD_PATH)]),
}


@pytest.mark.parametrize("case", list(FETCH_CASES), ids=list(FETCH_CASES))
def test_fetch_outcome(case, server, http_proxy, user):
    routes, message, cached, requests = FETCH_CASES[case]
    proxy = http_proxy(routes)
    decoy_home = tempfile.mkdtemp(prefix="vorn-motd-decoy-")
    os.chmod(decoy_home, 0o777)
    try:
        p, _ = start_session(server, proxy.port, user=user, home=decoy_home)
        assert os.listdir(decoy_home) == []
    finally:
        shutil.rmtree(decoy_home)
    assert_session_ended(p)
    if message is None:
        assert b"Message of the day" not in p.stdout
    else:
        assert p.stdout.startswith(banner(message))
        assert p.stdout.count(b"Message of the day") == 1
    assert proxy.requests == requests
    if cached is None:
        assert os.listdir(user.home) == []
    else:
        assert os.listdir(user.home) == [CACHE_NAME]
        assert read_file(user.cache) == cached


# ---- the four-hour cache ----

@pytest.mark.parametrize("age", [3 * HOUR, 4 * HOUR - 60], ids=["3h", "4h-1min"])
def test_fresh_cache_is_shown_without_network(age, server, http_proxy, user):
    proxy = http_proxy({MOTD_PATH: ok(b"from the network")})
    write_cache(user, b"from the cache", age)
    before = file_state(user.cache)
    p, _ = start_session(server, proxy.port, user=user)
    assert_session_ended(p)
    assert p.stdout.startswith(banner(b"from the cache"))
    assert proxy.connections == 0
    assert file_state(user.cache) == before


def test_empty_fresh_cache_is_an_empty_message(server, http_proxy, user):
    proxy = http_proxy({MOTD_PATH: ok(b"from the network")})
    write_cache(user, b"", HOUR)
    p, _ = start_session(server, proxy.port, user=user)
    assert_session_ended(p)
    assert p.stdout.startswith(banner(b""))
    assert proxy.connections == 0


@pytest.mark.parametrize("age", [4 * HOUR + 60, 5 * HOUR], ids=["4h+1min", "5h"])
def test_stale_cache_is_fetched_and_rewritten(age, server, http_proxy, user):
    proxy = http_proxy({MOTD_PATH: ok(b"fresh")})
    write_cache(user, b"a much longer stale message", age)
    p, _ = start_session(server, proxy.port, user=user)
    assert_session_ended(p)
    assert p.stdout.startswith(banner(b"fresh"))
    assert proxy.requests == [(MOTD_HOST, MOTD_PATH)]
    assert read_file(user.cache) == b"fresh"
    assert abs(os.stat(user.cache).st_mtime - time.time()) < 60
    assert sorted(os.listdir(user.home)) == [CACHE_NAME]

    # The rewritten file starts a new four-hour period.
    p, _ = start_session(server, proxy.port, user=user)
    assert p.stdout.startswith(banner(b"fresh"))
    assert len(proxy.requests) == 1


@pytest.mark.parametrize("status", [404, 500])
def test_failed_fetch_leaves_stale_cache_untouched(status, server, http_proxy, user):
    proxy = http_proxy({MOTD_PATH: (status, {}, b"no")})
    write_cache(user, b"old message", 5 * HOUR)
    before = file_state(user.cache)
    p, _ = start_session(server, proxy.port, user=user)
    assert_session_ended(p)
    assert b"Message of the day" not in p.stdout
    assert proxy.requests == [(MOTD_HOST, MOTD_PATH)]
    assert file_state(user.cache) == before
    assert read_file(user.cache) == b"old message"


def _make_fifo(path):
    os.mkfifo(path)


def _make_dir(path):
    os.mkdir(path)


def _make_huge(path):
    with open(path, "wb") as f:
        f.write(b"y" * ((1 << 20) + 1))


# A fresh cache entry that is not a usable message: a FIFO would block a
# reader, a directory cannot be read, and more than 1 MiB is more than a
# fetch would ever have stored.
UNUSABLE_CACHE = {"fifo": (_make_fifo, True), "directory": (_make_dir, False),
                  "over-1MiB": (_make_huge, True)}


@pytest.mark.parametrize("kind", list(UNUSABLE_CACHE), ids=list(UNUSABLE_CACHE))
def test_unusable_cache_falls_through_to_fetch(kind, server, http_proxy, user):
    make, replaced = UNUSABLE_CACHE[kind]
    proxy = http_proxy({MOTD_PATH: ok(b"fresh")})
    make(user.cache)
    os.chown(user.cache, user.uid, user.gid)
    p, _ = start_session(server, proxy.port, user=user)
    assert_session_ended(p)
    assert p.stdout.startswith(banner(b"fresh"))
    assert len(proxy.requests) == 1
    assert os.listdir(user.home) == [CACHE_NAME]
    if replaced:
        assert read_file(user.cache) == b"fresh"
    else:
        assert os.path.isdir(user.cache)


def test_cache_symlink_is_replaced_not_written_through(server, http_proxy, user):
    proxy = http_proxy({MOTD_PATH: ok(b"fresh")})
    target = os.path.join(user.home, "elsewhere")
    with open(target, "wb") as f:
        f.write(b"precious")
    os.chown(target, user.uid, user.gid)
    os.symlink(target, user.cache)
    t = time.time() - 5 * HOUR
    os.utime(target, (t, t))
    p, _ = start_session(server, proxy.port, user=user)
    assert_session_ended(p)
    assert p.stdout.startswith(banner(b"fresh"))
    assert read_file(target) == b"precious"
    assert not os.path.islink(user.cache)
    assert read_file(user.cache) == b"fresh"


def test_unwritable_home_still_shows_the_message(server, http_proxy, user):
    proxy = http_proxy({MOTD_PATH: ok(b"fresh")})
    os.chmod(user.home, 0o555)
    p, _ = start_session(server, proxy.port, user=user)
    assert_session_ended(p)
    assert p.stdout.startswith(banner(b"fresh"))
    assert os.listdir(user.home) == []


def test_user_without_password_entry_fetches_without_cache(server, http_proxy, throwaway_user):
    uid = next(u for u in range(61000, 62000) if not _has_pw_entry(u))
    root_cache = "/" + CACHE_NAME
    assert not os.path.exists(root_cache)
    proxy = http_proxy({MOTD_PATH: ok(b"no home")})
    for _ in range(2):
        p, _ = start_session(server, proxy.port, uid=uid)
        assert_session_ended(p)
        assert p.stdout.startswith(banner(b"no home"))
    assert len(proxy.requests) == 2
    assert not os.path.exists(root_cache)


def _has_pw_entry(uid):
    try:
        pwd.getpwuid(uid)
        return True
    except KeyError:
        return False


def test_silent_endpoint_times_out_after_two_seconds(server, user):
    proxy = SilentProxy()
    try:
        p, took = start_session(server, proxy.port, user=user)
    finally:
        proxy.stop()
    assert_session_ended(p)
    assert b"Message of the day" not in p.stdout
    assert len(proxy.conns) >= 1
    assert 1.5 <= took <= 2 + 3 * SLOW, took
    assert os.listdir(user.home) == []


# ---- when nothing is fetched ----

NO_FETCH_CASES = {
    "--no-motd": (["--no-motd"], True),
    "--raw": (["--raw"], True),
    "--csv": (["--csv"], True),
    "not-a-terminal": ([], False),
}


@pytest.mark.parametrize("case", list(NO_FETCH_CASES), ids=list(NO_FETCH_CASES))
def test_no_fetch(case, server, http_proxy):
    args, faketty = NO_FETCH_CASES[case]
    # 404: a faulty client still cannot write a cache into the real home.
    proxy = http_proxy({})
    p, _ = start_session(server, proxy.port, args=args, faketty=faketty)
    assert_session_ended(p)
    assert b"Message of the day" not in p.stdout
    assert proxy.connections == 0


def test_one_shot_command_never_fetches(server, http_proxy):
    proxy = http_proxy({})
    p = subprocess.run([bin_path("vorn-cli"), "-p", str(server.port), "PING"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env=client_env(proxy.port), timeout=20 * SLOW)
    assert p.returncode == 0, p.stderr
    assert p.stdout == b"PONG\n"
    assert proxy.connections == 0


# ---- libcurl is loaded only for the fetch ----

def test_client_does_not_link_libcurl():
    # Linked, it would be loaded (with the libraries it needs) by every run.
    needed = needed_libraries("vorn-cli")
    assert needed and not any("libcurl" in ln for ln in needed), needed


def test_missing_libcurl_shows_no_message(server, http_proxy, user):
    # The library is hidden in a private mount namespace, where the client
    # runs as the throwaway user; the session starts as usual, silently.
    lib = system_library("libcurl.so.4")
    if lib is None or shutil.which("unshare") is None or shutil.which("setpriv") is None:
        pytest.skip("needs ldconfig, unshare and setpriv")
    proxy = http_proxy({MOTD_PATH: ok(BODY)})
    script = ('mount --bind /dev/null "$1" || exit 97; shift; '
              'exec setpriv --reuid="$1" --regid="$2" --clear-groups -- "${@:3}"')
    cmd = ["unshare", "--mount", "bash", "-c", script, "bash", lib, str(user.uid),
           str(user.gid), bin_path("vorn-cli"), "-p", str(server.port)]
    p = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, env=client_env(proxy.port), cwd="/",
                       timeout=30 * SLOW)
    if p.returncode == 97 or b"unshare failed" in p.stderr:
        pytest.skip(f"cannot hide the library here: {p.stderr.decode(errors='replace')}")
    assert_session_ended(p)
    assert b"Message of the day" not in p.stdout
    assert proxy.connections == 0
    assert os.listdir(user.home) == []
