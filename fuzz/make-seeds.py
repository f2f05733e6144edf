#!/usr/bin/env python3
"""Writes the seed corpus of the package reader's fuzz target (fuzz/corpus/): small program files
with packages that reach the reader's paths: a good package, refused names, cut packages, a member
that does not decompress, a package at offset 0, an entry spanning several copy chunks."""

import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def gzip_member(data):
    c = zlib.compressobj(9, zlib.DEFLATED, 31)
    return c.compress(data) + c.flush()


def head(name, size):
    raw = name.encode("latin-1")
    return raw + b"\0" * (260 - len(raw)) + struct.pack("<i", size)


def package(entries, options=8, count=None):
    body = b"LPCK" + struct.pack("<Ii", options, len(entries) if count is None else count)
    for name, data in entries:
        body += head(name, len(data)) + data
    return body


def program(pkg):
    image = bytearray(64)
    image[0:2] = b"MZ"
    image[40:44] = struct.pack("<I", len(image))
    return bytes(image) + pkg


def main():
    rng = random.Random(7)
    noise = bytes(rng.getrandbits(8) for _ in range(6000))
    good = [("AddMem.sys.gz", gzip_member(b"driver")), ("a.bin.gz", b"plain, not gzip"), ("empty.gz", b"")]
    seeds = {
        "good": program(package(good)),
        "refused-name": program(package([("a.gz", gzip_member(b"a")), ("..\\up.gz", gzip_member(b"up"))])),
        "device-name": program(package([("CON.gz", gzip_member(b"c"))])),
        "cut-in-data": program(package(good))[:-20],
        "cut-in-head": program(package(good))[:64 + 12 + 100],
        "no-gz": program(package([("AddMem.sys", gzip_member(b"driver"))])),
        "bad-crc": program(package([("x.gz", gzip_member(b"x" * 300)[:-8] + b"\0" * 8)])),
        "count-too-big": program(package(good, count=0x7FFFFFFF)),
        "count-negative": program(package(good, count=-2)),
        "several-chunks": program(package([("noise.bin.gz", gzip_member(noise)), ("raw.gz", noise[:5000])])),
        "at-offset-zero": package([("first.gz", gzip_member(b"f"))]) + b"\0" * 32,
    }
    folder = os.path.join(HERE, "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
