"""The benchmarks' own minimal blocking client over the wire protocol, so
that baselines do not go through the code they are compared with."""
import socket


def encode(*args):
    """One request as an array of bulk strings."""
    out = [b"*%d\r\n" % len(args)]
    for a in args:
        a = a if isinstance(a, bytes) else str(a).encode()
        out.append(b"$%d\r\n%s\r\n" % (len(a), a))
    return b"".join(out)


class Conn:
    """Requests as arrays, replies decoded (errors and statuses as str)."""

    def __init__(self, port, timeout=30):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.f = self.s.makefile("rb")

    def cmd(self, *args):
        self.s.sendall(encode(*args))
        return self.read()

    def read(self):
        line = self.f.readline()[:-2]
        t, rest = line[:1], line[1:]
        if t in (b"+", b"-"):
            return rest.decode()
        if t == b":":
            return int(rest)
        if t == b"$":
            n = int(rest)
            return None if n < 0 else self.f.read(n + 2)[:-2].decode()
        if t == b"*":
            n = int(rest)
            return None if n < 0 else [self.read() for _ in range(n)]
        raise RuntimeError(f"unexpected reply {line!r}")

    def pipeline(self, requests, chunk=2000, ok=("OK",)):
        """Sends encoded requests chunk at a time, reading every reply; the
        replies that are not one of ok are returned."""
        others = []
        for i in range(0, len(requests), chunk):
            part = requests[i:i + chunk]
            self.s.sendall(b"".join(part))
            for _ in part:
                r = self.read()
                if r not in ok:
                    others.append(r)
        return others

    def close(self):
        self.f.close()
        self.s.close()
