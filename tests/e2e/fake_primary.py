"""A scripted server for the replication and pipe tests: it answers each
request with the bytes a test names, in the pieces and at the pace the test
names, so that announcements, marks and cut transfers arrive exactly as the
case needs. It speaks only as much protocol as splitting requests takes."""
import socket
import threading
import time

import pytest


def split_requests(buf):
    """Complete requests at the start of buf, as lists of bytes, and the rest."""
    reqs = []
    while buf:
        if buf[:1] == b"*":
            end = buf.find(b"\r\n")
            if end < 0:
                break
            n, pos, words = int(buf[1:end]), end + 2, []
            for _ in range(n):
                e = buf.find(b"\r\n", pos)
                if e < 0:
                    return reqs, buf
                ln = int(buf[pos + 1:e])
                if len(buf) < e + 2 + ln + 2:
                    return reqs, buf
                words.append(buf[e + 2:e + 2 + ln])
                pos = e + 2 + ln + 2
            reqs.append(words)
            buf = buf[pos:]
        else:
            end = buf.find(b"\n")
            if end < 0:
                break
            line = buf[:end].strip()
            buf = buf[end + 1:]
            if line:
                reqs.append(line.split())
    return reqs, buf


class FakePrimary:
    """Accepts one connection. `answer(words)` returns what to send for a
    request: bytes, or a list whose items are bytes (sent as one piece each)
    or numbers (seconds to pause); the string "close" closes the connection.
    Every request received is recorded with the time it came in."""

    def __init__(self, answer):
        self.answer = answer
        self.requests = []   # (monotonic time, [words])
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(20)
        self.port = self.listener.getsockname()[1]
        self.closed = threading.Event()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _send(self, conn, action):
        if isinstance(action, (bytes, str)):
            action = [action]
        for item in action:
            if item == "close":
                return False
            if isinstance(item, (int, float)):
                time.sleep(item)
            else:
                conn.sendall(item)
        return True

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            self.closed.set()
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(0.2)
        buf = b""
        try:
            while not self.stop.is_set():
                try:
                    data = conn.recv(65536)
                except socket.timeout:
                    continue
                if not data:
                    break
                reqs, buf = split_requests(buf + data)
                for words in reqs:
                    self.requests.append((time.monotonic(), words))
                    if not self._send(conn, self.answer(words)):
                        return
        except OSError:
            pass
        finally:
            conn.close()
            self.listener.close()
            self.closed.set()

    def names(self):
        return [w[0].upper() for _, w in self.requests]

    def close(self):
        self.stop.set()
        try:
            self.listener.close()
        except OSError:
            pass
        self.thread.join(timeout=5)


@pytest.fixture
def scripted_server():
    """Factory: scripted_server(answer) -> FakePrimary; all closed on exit."""
    made = []

    def make(answer):
        p = FakePrimary(answer)
        made.append(p)
        return p

    yield make
    for p in made:
        p.close()
