"""vorn-devserver endpoints and authentication: Unix socket, IPv6, TLS with
certificates made at test time, passwords and users."""
import os
import socket
import ssl
import subprocess

import pytest

from conftest import Err, RawConn


def test_unix_socket(start_server, tmp_path):
    path = str(tmp_path / "dev.sock")
    s = start_server("--unix-socket", path)
    assert s.unix_socket == path
    c = RawConn(unix=path)
    assert c.cmd("SET", "k", "v") == "OK"
    assert RawConn(port=s.port).cmd("GET", "k") == b"v"  # the same server


def test_ipv6_bind(start_server):
    if not socket.has_ipv6:
        pytest.skip("no IPv6")
    try:
        probe = socket.socket(socket.AF_INET6)
        probe.bind(("::1", 0))
        probe.close()
    except OSError:
        pytest.skip("no IPv6 loopback")
    s = start_server("--bind", "::1")
    c = RawConn(host="::1", port=s.port)
    assert c.cmd("PING") == "PONG"
    assert b"addr=[::1]:" in c.cmd("CLIENT", "INFO")


def test_same_port_can_be_reused_at_once(start_server):
    s = start_server()
    RawConn(port=s.port).cmd("PING")
    port = s.port
    s.stop()
    s2 = start_server("--port", str(port))  # the later --port wins
    assert s2.port == port


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    d = tmp_path_factory.mktemp("certs")

    def run(*args):
        subprocess.run(["openssl"] + list(args), cwd=d, check=True, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)

    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
        "-days", "2", "-subj", "/CN=test-ca")
    # The server's certificate names the loopback addresses; "other" is a
    # server certificate from the same CA for another name.
    names = {"server": "DNS:localhost,IP:127.0.0.1,IP:::1", "client": None,
             "other": "DNS:db.internal"}
    for name, alt in names.items():
        run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
            f"{name}.csr", "-subj", f"/CN={name}")
        ext = []
        if alt:
            (d / f"{name}.ext").write_text(f"subjectAltName={alt}\n")
            ext = ["-extfile", f"{name}.ext"]
        run("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", f"{name}.crt", "-days", "2", *ext)
    return d


def tls_conn(port, certs, sni=None, client_cert=True):
    ctx = ssl.create_default_context(cafile=str(certs / "ca.crt"))
    ctx.check_hostname = False
    if client_cert:
        ctx.load_cert_chain(str(certs / "client.crt"), str(certs / "client.key"))
    raw = socket.create_connection(("127.0.0.1", port))
    return RawConn(sock=ctx.wrap_socket(raw, server_hostname=sni))


def tls_server(start_server, certs, *extra, cert="server"):
    return start_server("--enable-test-hooks", "--tls-port", "0",
                        "--tls-cert", str(certs / f"{cert}.crt"),
                        "--tls-key", str(certs / f"{cert}.key"),
                        "--tls-ca-cert", str(certs / "ca.crt"), *extra)


def test_tls_serves_and_reports_sni(start_server, certs):
    s = tls_server(start_server, certs)
    assert s.tls_port and s.tls_port != s.port
    a = tls_conn(s.tls_port, certs, sni="node-a.example")
    assert a.cmd("SET", "k", "x" * 100000) == "OK"
    assert a.cmd("GET", "k") == b"x" * 100000
    b = tls_conn(s.tls_port, certs, client_cert=False)
    assert b.cmd("PING") == "PONG"
    assert RawConn(port=s.port).cmd("DEVHOOK", "SNI") == [b"node-a.example", b""]


def test_tls_client_certificate_required(start_server, certs):
    s = tls_server(start_server, certs, "--tls-verify-clients", "yes")
    assert tls_conn(s.tls_port, certs).cmd("PING") == "PONG"
    with pytest.raises((ssl.SSLError, ConnectionError, OSError)):
        c = tls_conn(s.tls_port, certs, client_cert=False)
        c.cmd("PING")  # TLS 1.3 reports the refusal on first read


def test_plain_bytes_on_tls_port_do_not_hurt(start_server, certs):
    s = tls_server(start_server, certs)
    c = RawConn(port=s.tls_port)
    c.send_raw(b"PING\r\n" * 10)
    c.read_all()
    assert tls_conn(s.tls_port, certs).cmd("PING") == "PONG"


def test_password_auth(start_server):
    s = start_server("--password", "secret")
    c = RawConn(port=s.port)
    assert c.cmd("GET", "k") == "NOAUTH Authentication required."
    assert c.cmd("HELLO", "3").startswith("NOAUTH HELLO must be called")
    assert c.cmd("AUTH", "wrong") == ("WRONGPASS invalid username-password pair or user is "
                                      "disabled.")
    assert c.cmd("AUTH", "secret") == "OK"
    assert c.cmd("GET", "k") is None
    assert c.cmd("ACL", "WHOAMI") == b"default"
    d = RawConn(port=s.port)
    r = d.cmd("HELLO", "3", "AUTH", "default", "secret")
    assert r[b"proto"] == 3 and d.cmd("PING") == "PONG"


def test_users(start_server):
    s = start_server("--user", "alice:pw1", "--user", "bob:pw2")
    c = RawConn(port=s.port)
    assert c.cmd("PING") == "PONG"  # the default user needs no password here
    assert c.cmd("AUTH", "alice", "pw2").startswith("WRONGPASS")
    assert c.cmd("AUTH", "nobody", "pw1").startswith("WRONGPASS")
    assert c.cmd("AUTH", "bob", "pw2") == "OK"
    assert c.cmd("ACL", "WHOAMI") == b"bob"
    assert sorted(c.cmd("ACL", "USERS")) == [b"alice", b"bob", b"default"]
    assert c.cmd("ACL", "SETUSER", "carol", "on", ">pw3", "~*", "+@all") == "OK"
    assert c.cmd("AUTH", "carol", "pw3") == "OK"
    assert c.cmd("RESET") == "RESET" and c.cmd("ACL", "WHOAMI") == b"default"


def test_password_with_users_needs_auth_for_default(start_server):
    s = start_server("--password", "p", "--user", "u:q")
    c = RawConn(port=s.port)
    assert isinstance(c.cmd("PING"), Err)
    assert c.cmd("AUTH", "u", "q") == "OK"
    c2 = RawConn(port=s.port)
    assert c2.cmd("AUTH", "default", "p") == "OK"
