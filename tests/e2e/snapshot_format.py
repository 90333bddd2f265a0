"""An independent reader and writer of vorn-devserver's snapshot format, so
that the server's files are checked against the format itself rather than
against the server's own loader."""
import struct

MASK = (1 << 64) - 1
K = 0x9E3779B97F4A7C15


def _rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & MASK


def checksum(data):
    h = 0x243F6A8885A308D3
    full = len(data) - len(data) % 8
    for (w,) in struct.iter_unpack("<Q", data[:full]):
        h = _rotl(((h ^ w) * K) & MASK, 29)
    if len(data) % 8:
        (w,) = struct.unpack("<Q", data[full:].ljust(8, b"\0"))
        h = _rotl(((h ^ w) * K) & MASK, 29)
    h ^= len(data)
    h ^= h >> 33
    h = (h * 0xFF51AFD7ED558CCD) & MASK
    h ^= h >> 33
    h = (h * 0xC4CEB9FE1A85EC53) & MASK
    h ^= h >> 33
    return h


TYPES = ["string", "list", "set", "hash", "zset", "stream"]


def parse(data):
    """-> {(db, key): (type, value, expire_ms)}, padding length; raises
    ValueError on any deviation from the format."""
    if data[:8] != b"VORNSNAP" or data[8] != 1:
        raise ValueError("bad header")
    pos = 9
    keys, pad, db = {}, 0, 0

    def take(n):
        nonlocal pos
        if pos + n > len(data):
            raise ValueError("truncated")
        b = data[pos:pos + n]
        pos += n
        return b

    def u64():
        return struct.unpack("<Q", take(8))[0]

    def s():
        return take(struct.unpack("<I", take(4))[0])

    while True:
        op = take(1)[0]
        if op == 0xFF:
            if struct.unpack("<Q", data[pos:pos + 8])[0] != checksum(data[:pos]):
                raise ValueError("checksum")
            if pos + 8 != len(data):
                raise ValueError("trailing bytes")
            return keys, pad
        if op == 0xFE:
            db = struct.unpack("<I", take(4))[0]
        elif op == 0xFA:
            n = u64()
            if take(n).strip(b"\0"):
                raise ValueError("padding")
            pad += n
        elif op < 6:
            (expire,) = struct.unpack("<q", take(8))
            key = s()
            t = TYPES[op]
            if t == "string":
                v = s()
            elif t in ("list", "set"):
                v = [s() for _ in range(u64())]
            elif t == "hash":
                v = [(s(), s()) for _ in range(u64())]
            elif t == "zset":
                v = [(s(), struct.unpack("<d", take(8))[0]) for _ in range(u64())]
            else:
                last = (u64(), u64())
                v = (last, [(u64(), u64(), [s() for _ in range(u64())]) for _ in range(u64())])
            keys[(db, key)] = (t, v, expire)
        else:
            raise ValueError(f"record type {op:#x}")


def build(records, version=1, pad=0):
    """A snapshot of string keys: records = [(db, key, value, expire_ms)]."""
    out = b"VORNSNAP" + bytes([version])
    for db, key, value, expire in records:
        out += b"\xfe" + struct.pack("<I", db)
        out += b"\x00" + struct.pack("<q", expire)
        out += struct.pack("<I", len(key)) + key + struct.pack("<I", len(value)) + value
    if pad:
        out += b"\xfa" + struct.pack("<Q", pad) + b"\0" * pad
    out += b"\xff"
    return out + struct.pack("<Q", checksum(out))
