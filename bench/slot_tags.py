"""Hash tags that put keys in chosen slots, for the benchmarks that fill a
cluster slot by slot (CRC-16/XMODEM of the tag, modulo 16384)."""


def crc16(data, table=[]):
    if not table:
        for i in range(256):
            c = i << 8
            for _ in range(8):
                c = ((c << 1) ^ 0x1021) if c & 0x8000 else c << 1
            table.append(c & 0xFFFF)
    crc = 0
    for b in data:
        crc = ((crc << 8) & 0xFFFF) ^ table[(crc >> 8) ^ b]
    return crc


def slot_tags(count):
    """A hash tag for each of the slots 0..count-1."""
    found, i = {}, 0
    while len(found) < count:
        t = b"t%x" % i
        s = crc16(t) & 16383
        if s < count:
            found.setdefault(s, t)
        i += 1
    return [found[s] for s in range(count)]
