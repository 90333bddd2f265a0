"""vorn-cli over TLS: peer verification on by default, --insecure, --cacert,
client certificates, SNI, and the set-up failure messages."""
import os
import shutil
import subprocess

import pytest

from conftest import SLOW, RawConn, bin_path, needed_libraries, run_cli, system_library
from test_devserver_net import certs, tls_server  # noqa: F401  (fixture and helper)


def tls_cli(s, *args):
    return run_cli(["--tls", "-p", str(s.tls_port), *args])


def test_verified_connection(start_server, certs):
    s = tls_server(start_server, certs)
    r = tls_cli(s, "--cacert", str(certs / "ca.crt"), "set", "k", "v")
    assert (r.stdout, r.stderr, r.returncode) == (b"OK\n", b"", 0)
    # The same key space as the plain port.
    assert run_cli(["-p", str(s.port), "get", "k"]).stdout == b"v\n"


def test_verification_is_on_by_default(start_server, certs):
    s = tls_server(start_server, certs)
    r = tls_cli(s, "ping")
    assert r.returncode == 1 and r.stdout == b""
    assert r.stderr.startswith(f"Could not connect to Vorn at 127.0.0.1:{s.tls_port}: ".encode())
    r = tls_cli(s, "--insecure", "ping")
    assert (r.stdout, r.returncode) == (b"PONG\n", 0)


@pytest.mark.parametrize("opts,message", [
    (("--cacert", "missing.crt"), "Invalid CA Certificate File/Directory"),
    (("--insecure", "--cert", "missing.crt"), "Invalid client certificate"),
    (("--insecure", "--key", "missing.key"), "Invalid private key"),
    (("--insecure", "--tls-ciphers", "NO-SUCH-CIPHER"), "Error while configuring ciphers"),
    (("--insecure", "--tls-ciphersuites", "NO_SUCH_SUITE"), "Error while setting cypher suites"),
])
def test_setup_failures(start_server, certs, tmp_path, opts, message):
    s = tls_server(start_server, certs)
    opts = [str(tmp_path / o) if o.startswith("missing") else o for o in opts]
    r = tls_cli(s, *opts, "ping")
    assert (r.stdout, r.returncode) == (b"", 1)
    assert r.stderr == f"Could not negotiate a TLS connection: {message}\n".encode()


def test_client_certificate(start_server, certs):
    s = tls_server(start_server, certs, "--tls-verify-clients", "yes")
    ca = ("--cacert", str(certs / "ca.crt"))
    r = tls_cli(s, *ca, "--cert", str(certs / "client.crt"), "--key", str(certs / "client.key"),
                "ping")
    assert (r.stdout, r.returncode) == (b"PONG\n", 0)
    r = tls_cli(s, *ca, "ping")
    assert r.returncode == 1 and r.stdout == b""
    assert r.stderr.startswith(b"Error: ") or r.stderr.startswith(b"Could not connect")


def test_sni(start_server, certs):
    s = tls_server(start_server, certs)
    assert tls_cli(s, "--insecure", "--sni", "node-a.example", "ping").stdout == b"PONG\n"
    assert tls_cli(s, "--insecure", "ping").stdout == b"PONG\n"
    assert RawConn(port=s.port).cmd("DEVHOOK", "SNI") == [b"node-a.example", b""]


def test_uri_with_tls(start_server, certs):
    s = tls_server(start_server, certs)
    r = run_cli(["-u", f"vorns://127.0.0.1:{s.tls_port}", "--insecure", "ping"])
    assert (r.stdout, r.returncode) == (b"PONG\n", 0)


def test_certificate_must_name_the_server(start_server, certs):
    # "other" is signed by the trusted CA, but for db.internal only.
    s = tls_server(start_server, certs, cert="other")
    ca = ("--cacert", str(certs / "ca.crt"))
    r = tls_cli(s, *ca, "ping")
    assert (r.stdout, r.returncode) == (b"", 1)
    assert r.stderr == (f"Could not connect to Vorn at 127.0.0.1:{s.tls_port}: SSL_connect "
                        f"failed: certificate is not valid for '127.0.0.1'\n").encode()
    r = tls_cli(s, *ca, "--sni", "wrong.internal", "ping")
    assert r.returncode == 1
    assert r.stderr.endswith(b"certificate is not valid for 'wrong.internal'\n")
    # The name the certificate carries, given with --sni, while dialling an
    # address; --insecure turns every check off.
    r = tls_cli(s, *ca, "--sni", "db.internal", "ping")
    assert (r.stdout, r.stderr, r.returncode) == (b"PONG\n", b"", 0)
    assert tls_cli(s, "--insecure", "ping").stdout == b"PONG\n"


@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_certificate_matching_the_host_dialled(start_server, certs, host):
    s = tls_server(start_server, certs)
    r = tls_cli(s, "-h", host, "--cacert", str(certs / "ca.crt"), "ping")
    assert (r.stdout, r.stderr, r.returncode) == (b"PONG\n", b"", 0)


@pytest.mark.parametrize("transport", ["tcp", "unix", "tls"])
def test_large_value_arrives_whole_over_every_transport(start_server, certs, tmp_path,
                                                        transport):
    # Several MiB take the reader's direct path; every byte value, CR LF and
    # zero bytes included, must come out exactly in the raw form.
    s = tls_server(start_server, certs, "--unix-socket", str(tmp_path / "v.sock"))
    value = bytes(range(256)) * (5 * 4096 + 3)
    assert RawConn(port=s.port).cmd("SET", "big", value) == "OK"
    where = {"tcp": ["-p", str(s.port)], "unix": ["-s", s.unix_socket],
             "tls": ["--tls", "-p", str(s.tls_port), "--cacert", str(certs / "ca.crt")]}
    r = run_cli([*where[transport], "--raw", "GET", "big"], timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout == value + b"\n"


# ---- OpenSSL is loaded only for --tls ----

def test_client_does_not_link_openssl():
    # Linked, libssl and libcrypto would be loaded and relocated by every
    # run, which costs more than the rest of a one-shot command's start.
    needed = needed_libraries("vorn-cli")
    assert needed and not any("libssl" in ln or "libcrypto" in ln for ln in needed), needed


def test_without_openssl_plain_runs_work_and_tls_says_why(start_server, certs):
    # The library is hidden in a private mount namespace: commands that do
    # not use TLS never notice; --tls ends with the loader's reason, status 1.
    lib = system_library("libssl.so.3")
    if lib is None or shutil.which("unshare") is None:
        pytest.skip("needs ldconfig and unshare")
    s = tls_server(start_server, certs)
    script = 'mount --bind /dev/null "$1" || exit 97; shift; exec "$@"'

    def hidden(*args):
        cmd = ["unshare", "--mount", "bash", "-c", script, "bash", lib, bin_path("vorn-cli"),
               *args]
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
                              env=dict(os.environ, HOME="/nonexistent"), timeout=10 * SLOW)

    r = hidden("-p", str(s.port), "ping")
    if r.returncode == 97 or b"unshare failed" in r.stderr:
        pytest.skip(f"cannot hide the library here: {r.stderr.decode(errors='replace')}")
    assert (r.stdout, r.stderr, r.returncode) == (b"PONG\n", b"", 0)
    r = hidden("--tls", "--insecure", "-p", str(s.tls_port), "ping")
    assert (r.stdout, r.returncode) == (b"", 1)
    assert r.stderr.startswith(b"Could not load the TLS library libssl.so.3: "), r.stderr
    assert r.stderr.endswith(b"\n") and r.stderr.count(b"\n") == 1
