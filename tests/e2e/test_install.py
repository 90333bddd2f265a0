"""cpack builds the Debian packages of the install rules: the client with its
man page and completions where bash-completion, zsh and fish look, the
stand-in server in a package of its own, dependencies read from the linked
libraries. The packages are unpacked into a throwaway root and used there."""
import glob
import os
import re
import shutil
import subprocess

import pytest

from conftest import BIN_DIR, SLOW


def run(argv, timeout=120, **kw):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout * SLOW, text=True, **kw)


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    config = os.path.join(BIN_DIR, "CPackConfig.cmake")
    if not os.path.exists(config):
        pytest.skip(f"no CPack configuration in {BIN_DIR}")
    for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed")
    out = tmp_path_factory.mktemp("packages")
    # The install step records what it installed beside the build; those
    # records are ours to remove when they were not there before.
    manifests = {p for p in glob.glob(os.path.join(BIN_DIR, "install_manifest*.txt"))}
    try:
        r = run(["cpack", "-G", "DEB", "--config", config, "-B", str(out)])
    finally:
        for p in set(glob.glob(os.path.join(BIN_DIR, "install_manifest*.txt"))) - manifests:
            os.remove(p)
    assert r.returncode == 0, r.stdout + r.stderr
    debs = {run(["dpkg-deb", "-f", d, "Package"]).stdout.strip(): d
            for d in glob.glob(str(out / "*.deb"))}
    assert set(debs) == {"vorn-cli", "vorn-devserver"}
    return debs, out


def unpack(deb, root):
    r = run(["dpkg-deb", "-x", deb, str(root)])
    assert r.returncode == 0, r.stderr
    return sorted("/" + os.path.relpath(os.path.join(d, f), root)
                  for d, _, fs in os.walk(root) for f in fs)


def test_client_package_contents_and_use(packages, tmp_path):
    debs, _ = packages
    root = tmp_path / "root"
    files = unpack(debs["vorn-cli"], root)
    assert files == [
        "/usr/bin/vorn-cli",
        "/usr/share/bash-completion/completions/vorn-cli",
        "/usr/share/fish/vendor_completions.d/vorn-cli.fish",
        "/usr/share/man/man1/vorn-cli.1",
        "/usr/share/zsh/vendor-completions/_vorn-cli",
    ]
    r = run([str(root / "usr/bin/vorn-cli"), "--version"])
    assert (r.returncode, r.stdout) == (0, "vorn-cli 255.255.255\n")
    env = dict(os.environ, MANWIDTH="80", LANG="C", LC_ALL="C")
    r = run(["man", "-P", "cat", "-l", str(root / "usr/share/man/man1/vorn-cli.1")], env=env)
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.startswith("VORN-CLI(1)") and "--cluster" in r.stdout


def test_dependencies_come_from_the_linked_libraries(packages):
    debs, _ = packages
    for name, deb in debs.items():
        depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
        linked = run(["ldd", f"{BIN_DIR}/{name}"]).stdout
        assert re.search(r"\blibc6 \(>= ", depends), depends
        if "libssl.so" in linked:
            assert "libssl3" in depends
        if "libcurl" in linked:
            assert "libcurl4" in depends
    # Only the client needs libcurl; only the server embeds Lua.
    assert "libcurl" not in run(["dpkg-deb", "-f", debs["vorn-devserver"], "Depends"]).stdout
    assert "lua" not in run(["dpkg-deb", "-f", debs["vorn-cli"], "Depends"]).stdout


def test_client_package_names_the_libraries_it_loads_at_run_time(packages):
    # The client links neither OpenSSL nor libcurl, so dpkg-shlibdeps cannot
    # see them: --tls needs OpenSSL (a dependency), the message of the day
    # only wants libcurl (a recommendation).
    debs, _ = packages
    fields = run(["dpkg-deb", "-f", debs["vorn-cli"], "Depends", "Recommends"]).stdout
    depends, _, recommends = fields.partition("Recommends:")
    assert re.search(r"\blibssl3", depends), fields
    assert re.search(r"\blibcurl4", recommends), fields


def test_server_package_is_separate(packages, tmp_path):
    debs, _ = packages
    root = tmp_path / "root"
    assert unpack(debs["vorn-devserver"], root) == ["/usr/bin/vorn-devserver"]
    p = subprocess.Popen([str(root / "usr/bin/vorn-devserver"), "--port", "0"],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    try:
        assert p.stdout.readline().startswith(b"ready port=")
    finally:
        p.kill()
        p.wait(timeout=10)
        p.stdout.close()


def test_cmake_install_puts_everything_in_place(packages, tmp_path):
    # The same rules through cmake --install into a prefix, by component.
    manifests = set(glob.glob(os.path.join(BIN_DIR, "install_manifest*.txt")))
    try:
        r = run(["cmake", "--install", BIN_DIR, "--prefix", str(tmp_path / "p"),
                 "--component", "cli"])
    finally:
        for p in set(glob.glob(os.path.join(BIN_DIR, "install_manifest*.txt"))) - manifests:
            os.remove(p)
    assert r.returncode == 0, r.stderr
    for f in ("bin/vorn-cli", "share/man/man1/vorn-cli.1",
              "share/bash-completion/completions/vorn-cli"):
        assert (tmp_path / "p" / f).exists(), f
    assert not (tmp_path / "p" / "bin" / "vorn-devserver").exists()
