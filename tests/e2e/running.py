"""A vorn-cli process that keeps running (monitoring modes): its output is
read as it comes, with a deadline, and the process is always killed."""
import os
import select
import signal
import subprocess
import time

from conftest import SLOW, bin_path


class Running:
    def __init__(self, args, env_extra=None):
        env = dict(os.environ, HOME="/nonexistent")
        env.pop("FAKETTY", None)
        env.update(env_extra or {})
        self.proc = subprocess.Popen([bin_path("vorn-cli")] + list(args), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.out = b""
        self.err = b""

    def _pump(self, timeout):
        streams = [s for s in (self.proc.stdout, self.proc.stderr) if not s.closed]
        ready, _, _ = select.select(streams, [], [], max(0.0, timeout))
        got = False
        for s in ready:
            data = os.read(s.fileno(), 65536)
            if data:
                got = True
                if s is self.proc.stdout:
                    self.out += data
                else:
                    self.err += data
        return got

    def wait_for(self, cond, timeout=10):
        """Reads until cond(out) is true; returns the time it took."""
        start = time.monotonic()
        deadline = start + timeout * SLOW
        while not cond(self.out):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"timed out; stdout {self.out[-600:]!r} stderr {self.err!r}")
            if not self._pump(min(left, 0.2)) and self.proc.poll() is not None:
                self._pump(0)
                if not cond(self.out):
                    raise AssertionError(f"exited {self.proc.returncode}; stdout "
                                         f"{self.out[-600:]!r} stderr {self.err!r}")
        return time.monotonic() - start

    def lines(self):
        return self.out.split(b"\n")

    def interrupt(self, timeout=10):
        """SIGINT, then everything it still writes and its exit status."""
        self.proc.send_signal(signal.SIGINT)
        return self.finish(timeout)

    def finish(self, timeout=10):
        deadline = time.monotonic() + timeout * SLOW
        while self.proc.poll() is None and time.monotonic() < deadline:
            self._pump(0.1)
        if self.proc.poll() is None:
            self.stop()
            raise AssertionError("did not exit in time")
        while self._pump(0):
            pass
        self.stop()
        return self.proc.returncode

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        for s in (self.proc.stdout, self.proc.stderr):
            s.close()


import pytest


@pytest.fixture
def running():
    """Factory: running(args, env_extra=None) -> Running; all killed on exit."""
    procs = []

    def start(args, env_extra=None):
        p = Running(args, env_extra)
        procs.append(p)
        return p

    yield start
    for p in procs:
        if p.proc.poll() is None or not p.proc.stdout.closed:
            p.stop()
