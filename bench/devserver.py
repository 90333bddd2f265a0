"""vorn-devserver for the end-to-end client benchmarks (bench/*.sh)."""
import contextlib
import subprocess


@contextlib.contextmanager
def devserver(bindir, *args):
    """Starts vorn-devserver on a free loopback port (with the extra
    options given), yields the port and stops the server on leaving."""
    srv = subprocess.Popen([f"{bindir}/vorn-devserver", "--port", "0", *args],
                           stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        yield int(srv.stdout.readline().split()[1].split(b"=")[1])
    finally:
        srv.terminate()
        srv.wait(timeout=10)
