#!/usr/bin/env python3
"""Writes the checksum field of a PE file's optional header, as Windows computes it: the file
summed as 16-bit words with end-around carry (the field itself counted as zero), plus the file's
length. Windows checks it before it loads a kernel driver; the MinGW-w64 linker leaves it 0.

  driver/pe_checksum.py FILE
"""
import struct
import sys


def main(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise SystemExit("pe_checksum: %s: not an MZ file" % path)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 + 68 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("pe_checksum: %s: no PE header" % path)
    field = pe + 24 + 64
    data[field:field + 4] = b"\0\0\0\0"
    padded = data + (b"\0" if len(data) % 2 else b"")
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, field, (total + len(data)) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    main(sys.argv[1])
