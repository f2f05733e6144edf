#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets, one folder each under fuzz/corpus/:

package_reader  small program files with packages that reach the reader's paths: a good package,
                refused names, cut packages, a member that does not decompress, a package at
                offset 0, an entry spanning several copy chunks
image           BIOS images with identity blocks and a flash block table (the input layout is at
                the top of image_fuzz.cpp)
firmware        BIOS segments with a DMI entry point and table, the identification blocks, the
                software SMI record and the AMI marker (layout at the top of firmware_fuzz.cpp)"""

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


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


# ---- BIOS images ----

def identity_part(model=b"R580", version=b"08RK", part=b"047"):
    devel = b"DEVEL" + part + b"\0\0"
    diag = bytearray(40)
    diag[0:5] = b"DiaG@"
    diag[12:16] = model
    diag[25:29] = version
    return b"\0" * 0x40 + devel + b"\0" * 0x30 + bytes(diag)


def trailer(records, table_gap=0x20):
    header = bytearray(61)
    header[0:5] = b"ZFLPF"
    struct.pack_into("<I", header, 53, 61 + 4 + table_gap)
    table = b"".join(struct.pack("<IIIHH", length, offset, address, 0, attr) for length, offset, address, attr in records)
    return bytes(header) + b"ZQDS" + b"\0" * table_gap + table + b"\0" * 16


def image_input(options, first, rest, dmi_index=0):
    return bytes([options, dmi_index]) + struct.pack("<H", len(first)) + first + rest


def image_seeds():
    blocks = [(0x10000, i * 0x10000, 0xFFE00000 + i * 0x10000, 0x22) for i in range(10)]
    escd = [(0x8000, 0x88000, 0xFFE88000, 0)]
    return {
        "small-marked": image_input(0x03, identity_part(), trailer(blocks)),
        "large-escd": image_input(0x29, identity_part(), trailer(blocks[:8] + escd + blocks[9:])),
        "dmi-only": image_input(0x04, identity_part(), trailer(blocks), dmi_index=3),
        "identity-at-scan-end": image_input(0x32, identity_part(), trailer(blocks[:1])),
        "empty-table": image_input(0x02, identity_part(), trailer([])),
        "no-trailer": image_input(0x00, identity_part(b"Q430", b"05QA", b"061"), b""),
    }


# ---- BIOS segments ----

def dmi_structure(kind, length, strings):
    formatted = bytearray(length)
    formatted[0], formatted[1] = kind, length
    body = b"".join(s + b"\0" for s in strings)
    return bytes(formatted) + (body + b"\0" if strings else b"\0\0")


def segment(ami=False, gate=0x26):
    seg = bytearray(b"\xff" * 0x10000)
    table = (dmi_structure(0, 0x18, [b"Phoenix", b"P07RK.012", b"03/15/2011"])
             + dmi_structure(1, 0x1B, [b"Korvane", b"R580", b"Not Applicable", b"KV580A1234567"])
             + dmi_structure(32, 0x0B, [])
             + dmi_structure(11, 0x05, [b"0000000000000000", b"00/00/0000"])
             + dmi_structure(127, 0x04, []))
    table_at = 0x2000
    seg[table_at:table_at + len(table)] = table
    entry = bytearray(15)
    entry[0:5] = b"_DMI_"
    struct.pack_into("<HIH", entry, 6, len(table), 0xF0000 + table_at, 5)
    entry[14] = 0x24
    entry[5] = (-sum(entry)) & 0xFF
    seg[0x1A80:0x1A80 + 15] = entry
    seg[0x1231:0x1231 + 10] = b"DEVEL047\0\0"
    diag = bytearray(40)
    diag[0:5] = b"DiaG@"
    diag[11:16] = b"0R580"
    diag[25:29] = b"07RK"
    seg[0x2345:0x2345 + 40] = diag
    smi = bytearray(17)
    smi[0:6] = b"SwSmi@"
    struct.pack_into("<HBBBHH", smi, 6, 0xB2, 0x8F, 0x8E, 0x90, 0x0100, 0x9F00)
    smi[15] = gate
    seg[0x3457:0x3457 + 17] = smi
    if ami:
        seg[0x4600:0x4600 + 24] = b"AMIBIOS Version 08.00.15"
    # The input is byte 0 (options) and the segment; its last 0xFF bytes can go.
    return bytes(seg[:0x4700]).rstrip(b"\xff")


def firmware_seeds():
    return {
        "phoenix": bytes([0x00]) + segment(),
        "ami-long-model": bytes([0x01]) + segment(ami=True),
        "gate-below": bytes([0x0B]) + segment(gate=0x23),
    }


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
    write("package_reader", seeds)
    write("image", image_seeds())
    write("firmware", firmware_seeds())


if __name__ == "__main__":
    main()
