"""Zip archives written byte by byte, for the extractor's tests and the benchmark:
every field can be set, including the ones a careful archiver never writes
(names with control characters, lying sizes and CRCs, symbolic links, unsupported
methods), and zip64 records with offsets past 4 GiB."""

import struct
import zlib


class Entry:
    """One entry. `data` is what the entry holds; by default the archive stores
    it truthfully. Any header field can be overridden to lie."""

    def __init__(self, name, data=b"", method=8, flags=None, made_by=(3 << 8) | 30, external=None,
                 crc=None, size=None, packed=None, payload=None, dos_time=(2024, 3, 5, 10, 20, 30),
                 unix_time=None):
        self.name = name.encode("utf-8") if isinstance(name, str) else name
        self.data = data
        self.method = method
        self.flags = (0x0800 if any(b >= 0x80 for b in self.name) else 0) if flags is None else flags
        self.made_by = made_by
        folder = self.name.endswith(b"/")
        self.external = ((0o40755 << 16) | 0x10 if folder else 0o100644 << 16) if external is None else external
        if payload is None:
            if method == 8:
                compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
                payload = compressor.compress(data) + compressor.flush()
            else:
                payload = data
        self.payload = payload
        self.crc = zlib.crc32(data) if crc is None else crc
        self.size = len(data) if size is None else size
        self.packed = len(payload) if packed is None else packed
        self.dos_time = dos_time
        self.unix_time = unix_time


def _dos(stamp):
    year, month, day, hour, minute, second = stamp
    return (hour << 11) | (minute << 5) | (second // 2), ((year - 1980) << 9) | (month << 5) | day


def write_zip(path, entries, stub=0, comment=b"", force_zip64=False):
    """Writes `entries` to `path`. `stub` bytes of a hole come first (sparse on
    disk), so offsets can pass 4 GiB cheaply; offsets are counted from the
    file's start. Zip64 fields are used where a value needs them."""
    with open(path, "wb") as out:
        out.seek(stub)
        central = []
        for e in entries:
            offset = out.tell()
            big = force_zip64 or e.size >= 0xFFFFFFFF or e.packed >= 0xFFFFFFFF
            local_extra = struct.pack("<HHQQ", 1, 16, e.size, e.packed) if big else b""
            time, date = _dos(e.dos_time)
            out.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 45 if big else 20, e.flags, e.method, time, date,
                                  e.crc, 0xFFFFFFFF if big else e.packed, 0xFFFFFFFF if big else e.size,
                                  len(e.name), len(local_extra)))
            out.write(e.name + local_extra)
            out.write(e.payload)
            central.append((e, offset, big))
        start = out.tell()
        for e, offset, big in central:
            far = offset >= 0xFFFFFFFF or force_zip64
            fields = b""
            if big:
                fields += struct.pack("<QQ", e.size, e.packed)
            if far:
                fields += struct.pack("<Q", offset)
            extra = struct.pack("<HH", 1, len(fields)) + fields if fields else b""
            if e.unix_time is not None:
                extra += struct.pack("<HHBI", 0x5455, 5, 1, e.unix_time)
            time, date = _dos(e.dos_time)
            out.write(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.made_by, 45 if big or far else 20, e.flags,
                                  e.method, time, date, e.crc, 0xFFFFFFFF if big else e.packed,
                                  0xFFFFFFFF if big else e.size, len(e.name), len(extra), 0, 0, 0, e.external,
                                  0xFFFFFFFF if far else offset))
            out.write(e.name + extra)
        end = out.tell()
        count, size = len(entries), end - start
        if force_zip64 or start >= 0xFFFFFFFF or count >= 0xFFFF:
            out.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, size, start))
            out.write(struct.pack("<IIQI", 0x07064B50, 0, end, 1))
            count16, size32, start32 = 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF
        else:
            count16, size32, start32 = count, size, start
        out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count16, count16, size32, start32, len(comment)))
        out.write(comment)
    return path


def zeros_entry(name, size):
    """A deflated entry of `size` zero bytes, compressed without holding it in memory."""
    compressor = zlib.compressobj(1, zlib.DEFLATED, -15)
    block = bytes(1 << 20)
    chunks, crc, left = [], 0, size
    while left:
        piece = block if left >= len(block) else bytes(left)
        chunks.append(compressor.compress(piece))
        crc = zlib.crc32(piece, crc)
        left -= len(piece)
    chunks.append(compressor.flush())
    return Entry(name, b"", method=8, crc=crc, size=size, payload=b"".join(chunks))
