"""The man page and the bash, zsh and fish completions generated from the
option table: every option the parser accepts is in each of them, the page
renders cleanly, and the completions complete (bash always; zsh and fish
when installed)."""
import os
import re
import shutil
import subprocess

import pytest

from conftest import BIN_DIR, ROOT, SLOW, bin_path

DOCS = {
    "man": "vorn-cli.1",
    "bash": "bash/vorn-cli",
    "zsh": "zsh/_vorn-cli",
    "fish": "fish/vorn-cli.fish",
}


def doc(kind):
    path = os.path.join(BIN_DIR, "docs", DOCS[kind])
    if not os.path.exists(path):
        pytest.skip(f"{DOCS[kind]} is not generated in {BIN_DIR}")
    return path


def run(argv, timeout=20, **kw):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout * SLOW, text=True, **kw)


def accepted_options():
    """Every option-like literal of the parser's source that vorn-cli does
    not refuse as an unrecognised option."""
    src = open(os.path.join(ROOT, "src", "cli", "options.cpp")).read()
    names = sorted(set(re.findall(r'"(-{1,2}[A-Za-z0-9][-A-Za-z0-9]*)"', src)))
    env = dict(os.environ, HOME="/nonexistent")
    accepted = []
    for name in names:
        # Port 1 refuses at once; a value after the option and a command word
        # after that keep every accepted option from waiting for anything.
        r = run([bin_path("vorn-cli"), "-p", "1", name, "127.0.0.1", "ping"], env=env)
        if f"Unrecognized option or bad number of args for: '{name}'" not in r.stderr:
            accepted.append(name)
    assert len(accepted) > 70 and "-dirty" not in accepted
    return accepted


@pytest.fixture(scope="module")
def options():
    return accepted_options()


@pytest.mark.parametrize("kind", DOCS)
def test_every_accepted_option_is_in_each_output(options, kind):
    text = open(doc(kind)).read()
    if kind == "man":
        text = re.sub(r"\\f[BIR]", " ", text.replace("\\-", "-"))
    missing = [o for o in options
               if not re.search(r"(?<![-\w])" + re.escape(o) + r"(?![-\w])", text)
               and not (kind == "fish" and fish_flag(o) in text)]
    assert missing == []


def fish_flag(o):
    return f"-s {o[1:]}" if len(o) == 2 else f"-l {o[2:]}"


def test_man_page_renders_without_warnings():
    env = dict(os.environ, MANWIDTH="80", LANG="C", LC_ALL="C")
    r = run(["man", "--warnings", "-P", "cat", "-l", doc("man")], env=env)
    assert r.returncode == 0 and r.stderr == ""
    for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "CLUSTER MANAGER",
                    "ENVIRONMENT", "FILES", "EXIT STATUS", "EXAMPLES"):
        assert re.search(rf"^{section}$", r.stdout, re.M), section
    assert re.search(r"^ +--json\s+Output +every reply as one JSON", r.stdout, re.M)
    assert re.search(r"^ +-h <hostname>\n +Server hostname", r.stdout, re.M)
    assert "NO_COLOR" in r.stdout and "~/.vorncli_history" in r.stdout


def bash_complete(line, tmp_path, extra=""):
    """The completions bash offers for the word at the end of `line`."""
    words = line.split(" ")
    script = (f"source {doc('bash')}\n"
              "complete -p vorn-cli || exit 9\n"
              f"{extra}\n"
              "COMP_WORDS=(" + " ".join(f"'{w}'" for w in words) + ")\n"
              f"COMP_CWORD={len(words) - 1}\n"
              f"COMP_LINE='{line}'\nCOMP_POINT={len(line)}\n"
              "_vorn_cli\n"
              "printf '%s\\n' \"${COMPREPLY[@]}\"\n")
    r = run(["bash", "--norc", "--noprofile", "-c", script], cwd=tmp_path,
            env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                 "HOSTFILE": str(tmp_path / "hosts")})
    assert r.returncode == 0, r.stderr
    first, _, rest = r.stdout.partition("\n")
    assert first == "complete -F _vorn_cli vorn-cli"
    return [w for w in rest.split("\n") if w]


@pytest.fixture
def files(tmp_path):
    (tmp_path / "hosts").write_text("127.0.0.1 dbhost-one dbhost-two\n")
    (tmp_path / "ca.crt").write_text("")
    (tmp_path / "certs").mkdir()
    return tmp_path


BASH_CASES = [
    # line, what must be offered, what must not
    ("vorn-cli --clu", {"--cluster", "--cluster-yes", "--cluster-replicas"}, {"--csv"}),
    ("vorn-cli --js", {"--json"}, set()),
    ("vorn-cli -", {"-h", "-p", "-t", "--json", "--mono", "-3"}, set()),
    ("vorn-cli --cluster ", {"create", "check", "info", "fix", "reshard", "backup", "help"},
     {"get"}),
    ("vorn-cli -h dbhost", {"dbhost-one", "dbhost-two"}, set()),
    ("vorn-cli --cacert c", {"ca.crt", "certs"}, set()),
    ("vorn-cli --cacertdir c", {"certs"}, {"ca.crt"}),
    ("vorn-cli --eval ", {"ca.crt", "certs", "hosts"}, set()),
    ("vorn-cli -p 7000 --json hgeta", {"hgetall"}, set()),
    ("vorn-cli HGETA", {"HGETALL"}, {"hgetall"}),
    ("vorn-cli cl", {"client", "cluster"}, {"CLIENT"}),
    ("vorn-cli -p ", set(), {"get", "-h"}),
    ("vorn-cli get k ", set(), {"get"}),
    ("vorn-cli --cluster create a:1 b:2 --cluster-rep", {"--cluster-replicas"}, set()),
]


@pytest.mark.parametrize("line,offered,not_offered", BASH_CASES, ids=[c[0] for c in BASH_CASES])
def test_bash_completion(files, line, offered, not_offered):
    got = set(bash_complete(line, files))
    assert offered <= got
    assert not (not_offered & got)
    if line.endswith(("-p ", "get k ")):
        assert got == set()


def test_bash_completion_is_found_by_bash_completion(tmp_path):
    loader = "/usr/share/bash-completion/bash_completion"
    if not os.path.exists(loader):
        pytest.skip("bash-completion is not installed")
    # The loader looks in $XDG_DATA_DIRS/bash-completion/completions, where
    # the install puts the file under its command's name.
    data = tmp_path / "share" / "bash-completion" / "completions"
    data.mkdir(parents=True)
    shutil.copy(doc("bash"), data / "vorn-cli")
    script = (f"source {loader}\n"
              "__load_completion vorn-cli || exit 8\n"
              "complete -p vorn-cli\n")
    r = run(["bash", "--norc", "--noprofile", "-c", script],
            env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(tmp_path),
                 "XDG_DATA_DIRS": str(tmp_path / "share")})
    assert r.stdout == "complete -F _vorn_cli vorn-cli\n", r.stderr


def fish_complete(line, tmp_path):
    if shutil.which("fish") is None:
        pytest.skip("fish is not installed")
    r = run(["fish", "--no-config", "-c", f"source {doc('fish')}; complete -C '{line}'"],
            cwd=tmp_path, env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                               "HOME": str(tmp_path)})
    assert r.returncode == 0, r.stderr
    return {l.split("\t")[0] for l in r.stdout.split("\n") if l}


FISH_CASES = [
    ("vorn-cli --clu", {"--cluster", "--cluster-yes"}, {"--csv"}),
    ("vorn-cli --cluster ", {"create", "check", "backup"}, {"get"}),
    ("vorn-cli -p 7000 hgeta", {"hgetall"}, set()),
    ("vorn-cli --cacert c", {"ca.crt", "certs/"}, set()),
    ("vorn-cli get ", set(), {"get", "set"}),
]


@pytest.mark.parametrize("line,offered,not_offered", FISH_CASES, ids=[c[0] for c in FISH_CASES])
def test_fish_completion(files, line, offered, not_offered):
    got = fish_complete(line, files)
    assert offered <= got and not (not_offered & got), got


def test_zsh_completion_registers_with_compinit(tmp_path):
    if shutil.which("zsh") is None:
        pytest.skip("zsh is not installed")
    fdir = tmp_path / "functions"
    fdir.mkdir()
    shutil.copy(doc("zsh"), fdir / "_vorn-cli")
    assert run(["zsh", "-n", str(fdir / "_vorn-cli")]).returncode == 0
    # compinit reads the #compdef line; the function body is zsh's own
    # _arguments entries, checked for syntax above.
    script = (f"fpath=({fdir} $fpath); autoload -Uz compinit; "
              f"compinit -u -d {tmp_path}/zcompdump; print -r -- ${{_comps[vorn-cli]}}")
    r = run(["zsh", "-f", "-c", script], env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                                               "HOME": str(tmp_path)})
    assert r.stdout == "_vorn-cli\n", r.stderr
