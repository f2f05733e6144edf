#!/usr/bin/env python3
"""Writes the payload folder of an update package: every file a variant's package carries.

The files are our own small stand-ins, each saying what it stands for, so that a package can be
built, listed, verified and extracted end to end before the real contents exist. Real contents
come in through the hooks:

  --image FILE        the BIOS image's bytes (its name: --image-name)
  --tools DIR         files that replace stand-ins of the same name (without regard to case):
                      flash tools, their drivers and settings, the access driver, runtimes
  --languages DIR     the language resource libraries (ConRes*.dll), likewise
  --win32 DIR         what a win32 build made: the language resource libraries of the variant
                      (DIR/lang) and the access drivers AddMem.sys and AddMem64.sys (DIR/bin);
                      --languages and --tools still replace files after that
  --micom FILE        a MICOM image (its name: --micom-name, a "*.bin" name)
  --add FILE          a further file under its own name (more BIOS or MICOM images); repeatable

For runs on the emulated notebook, --emulated takes what an emu build made:

  --emulated DIR      the emulated Phoenix tool (DIR/bin/emu-swinflash) as SWinFlash_32.exe and
                      SWinFlash_64.exe, the emulated MICOM tool (DIR/bin/emu-winup) as
                      WinUpV01_10.exe and the emulated AMI tool (DIR/bin/emu-afuwin) as AFUWIN.exe
                      and afuwinx64.exe (romshell); unless --image is given, a BIOS image made by DIR/bin/make-wph
                      for the notebook of --machine (default emu/machines/default.json) with the
                      next version, named with that notebook's platform key at characters 3-4
                      ("RSRK0108.WPH" for version 07RK); unless --micom or --no-micom is given, a
                      MICOM image named with the same key ("KBRK0105.BIN"). --tools still replaces
                      files after that.

romshell-pack builds the package from the folder:

  samples/make-payload.py --variant romshell -o payload
  romshell-pack build --program romshell.exe --from payload --options 8 -o dist/romshell.exe
"""

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

LANGUAGES = ["Chs", "Cht", "En", "Fr", "Gr", "Kr", "Po", "Ru", "Sp"]

PHOENIX_TOOLS = [
    "PHLASH_32.INI", "PHLASH_64.INI",
    "PhlashLc_32.dll", "PhlashLc_64.dll",
    "PhlashNT_32.sys", "PhlashNT_64.sys",
    "SWinFlash_32.exe", "SWinFlash_64.exe",
]
AMI_TOOLS = ["AFUWIN.exe", "afuwinx64.exe", "amifldrv.vxd", "amifldrv32.sys", "amifldrv64.sys"]
RUNTIMES = ["mfc42.dll", "msvcp60.dll", "msvcrt.dll"]
# The program's own access drivers, and the processor each is built for (PE machine values).
ACCESS_DRIVERS = ["AddMem.sys", "AddMem64.sys"]
DRIVER_MACHINES = {"addmem.sys": 0x014C, "addmem64.sys": 0x8664}

# Every file of a variant's package except the BIOS image, by role.
VARIANTS = {
    "romshell": {
        "tools": ACCESS_DRIVERS + AMI_TOOLS + RUNTIMES + PHOENIX_TOOLS + ["WinUpV01_10.exe"],
        "languages": ["ConRes%s.dll" % c for c in LANGUAGES] + ["ConRes%s_ami.dll" % c for c in LANGUAGES],
    },
    "romshell-phx": {
        "tools": ACCESS_DRIVERS + ["devcon.exe"] + RUNTIMES + PHOENIX_TOOLS
        + ["QLIX2.dll", "WinUp64_V01.exe", "WinUpV01_10.exe"],
        "languages": ["ConRes%s.dll" % c for c in LANGUAGES],
    },
}

DEFAULT_IMAGE_NAME = "RSAB0101.WPH"  # characters 3-4: the platform key "AB"
IMAGE_SIZE = 64 * 1024

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_MACHINE = os.path.join(REPOSITORY, "emu", "machines", "default.json")
# The emulated tools of an emu build and the names they stand in for.
EMULATED_TOOLS = {
    "emu-swinflash": ["SWinFlash_32.exe", "SWinFlash_64.exe"],
    "emu-winup": ["WinUpV01_10.exe"],
    "emu-afuwin": ["AFUWIN.exe", "afuwinx64.exe"],
}
MICOM_SIZE = 32 * 1024


def stand_in(name, role, size):
    """Bytes that say what they stand for, padded with a pattern that compresses moderately."""
    text = ("romshell sample payload: stand-in for %s (%s); not a working file\r\n" % (name, role)).encode("ascii")
    body = bytearray(text)
    seed = sum(name.encode("ascii"))
    while len(body) < size:
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        body += ("%08x %s\r\n" % (seed >> 8, name)).encode("ascii")
    return bytes(body[:size])


def driver_stand_in(name, machine):
    """A stand-in for a kernel driver: the smallest PE image of a native-subsystem program for
    the processor, so that Windows (the emulated one too) takes it for a driver of that processor,
    followed by the stand-in text. It has no code and would never be started on a real system."""
    wide = machine == 0x8664
    optional_size = 240 if wide else 224
    header = bytearray(0x40)
    header[0:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x40)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x20B if wide else 0x10B)
    struct.pack_into("<H", optional, 68, 1)  # native subsystem
    struct.pack_into("<I", optional, 108 if wide else 92, 16)  # data directories
    file_header = struct.pack("<4sHHIIIHH", b"PE\0\0", machine, 0, 0, 0, 0, optional_size, 0x0002)
    return bytes(header + file_header + optional) + stand_in(name, "access driver", 2048)


def settings_stand_in(name):
    return ("; romshell sample payload: stand-in for %s\r\n[Settings]\r\nStandIn=1\r\n" % name).encode("ascii")


def micom_image(label):
    """A MICOM image for the emulated controller: its first line names it ("MICOM:<label>")."""
    body = bytearray(("MICOM:%s\r\n" % label).encode("ascii"))
    seed = sum(label.encode("ascii")) + 7
    while len(body) < MICOM_SIZE:
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        body.append((seed >> 16) & 0xFF)
    return bytes(body)


def emulated_files(build, machine, scratch):
    """The emulated tools of an emu build, and a BIOS image for the machine made by make-wph.

    Returns (tools by lower-case payload name, image path, image description)."""
    binaries = os.path.join(build, "bin")
    tools = {}
    for program, names in EMULATED_TOOLS.items():
        path = os.path.join(binaries, program)
        if not os.path.isfile(path):
            raise SystemExit("make-payload: %s: not built (cmake --build %s --target %s)" % (path, build, program))
        for name in names:
            tools[name.lower()] = path
    maker = os.path.join(binaries, "make-wph")
    if not os.path.isfile(maker):
        raise SystemExit("make-payload: %s: not built (cmake --build %s --target make-wph)" % (maker, build))
    image = os.path.join(scratch, "image.wph")
    done = subprocess.run([maker, "--machine", machine, "--newer", "-o", image], stdout=subprocess.PIPE,
                          universal_newlines=True)
    if done.returncode != 0:
        raise SystemExit("make-payload: make-wph failed for %s" % machine)
    return tools, image, json.loads(done.stdout.strip().splitlines()[-1])


def win32_drivers(build):
    """The access drivers a win32 build made (DIR/bin), by lower-case name."""
    found = {}
    for name in ACCESS_DRIVERS:
        path = os.path.join(build, "bin", name)
        if not os.path.isfile(path):
            raise SystemExit("make-payload: %s: not built (cmake --build %s)" % (path, build))
        found[name.lower()] = path
    return found


def win32_languages(build, names):
    """The variant's language resource libraries in a win32 build, by lower-case name."""
    folder = os.path.join(build, "lang")
    if not os.path.isdir(folder):
        raise SystemExit("make-payload: %s: no language libraries built (cmake --build %s)" % (folder, build))
    found = {}
    for name in names:
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            raise SystemExit("make-payload: %s: not built (cmake --build %s)" % (path, build))
        found[name.lower()] = path
    return found


def replacements(folder, allowed, what):
    """The files of a hook folder by lower-case name; an unknown name is an error."""
    found = {}
    if folder is None:
        return found
    if not os.path.isdir(folder):
        raise SystemExit("make-payload: %s: not a folder (%s)" % (folder, what))
    known = {n.lower(): n for n in allowed}
    for entry in sorted(os.listdir(folder)):
        path = os.path.join(folder, entry)
        if not os.path.isfile(path):
            continue
        if entry.lower() not in known:
            raise SystemExit("make-payload: %s: not a %s file of this variant (expected one of: %s)"
                             % (path, what, ", ".join(allowed)))
        found[entry.lower()] = path
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--variant", required=True, choices=sorted(VARIANTS))
    parser.add_argument("-o", "--output", help="the payload folder to write (must be missing or empty)")
    parser.add_argument("--image", help="a file with the BIOS image's contents")
    parser.add_argument("--image-name", default=DEFAULT_IMAGE_NAME,
                        help="the image's file name, ending in .WPH (default %(default)s)")
    parser.add_argument("--tools", help="a folder of real tool, driver and runtime files")
    parser.add_argument("--languages", help="a folder of real language resource libraries")
    parser.add_argument("--win32", metavar="DIR",
                        help="a win32 build folder: the language resource libraries it made (DIR/lang)")
    parser.add_argument("--micom", help="a file with a MICOM image")
    parser.add_argument("--micom-name", help="the MICOM image's file name, ending in .bin")
    parser.add_argument("--no-micom", action="store_true", help="with --emulated: no MICOM image")
    parser.add_argument("--add", action="append", default=[], metavar="FILE",
                        help="a further file, under its own name (repeatable)")
    parser.add_argument("--emulated", metavar="DIR",
                        help="an emu build folder: its emulated tools, and a sample image made by its make-wph")
    parser.add_argument("--machine", default=DEFAULT_MACHINE,
                        help="with --emulated: the machine profile the sample image is made for (default %(default)s)")
    parser.add_argument("--list", action="store_true", help="print the payload's file names and stop")
    args = parser.parse_args()

    files = VARIANTS[args.variant]
    image_name_given = any(a == "--image-name" or a.startswith("--image-name=") for a in sys.argv[1:])
    if not args.image_name.lower().endswith(".wph") or len(args.image_name) < 5 or "/" in args.image_name \
            or "\\" in args.image_name:
        parser.error("--image-name must be a plain file name ending in .WPH")
    if args.micom_name is not None and (not args.micom_name.lower().endswith(".bin") or "/" in args.micom_name
                                        or "\\" in args.micom_name):
        parser.error("--micom-name must be a plain file name ending in .bin")
    if args.micom_name is not None and args.micom is None and args.emulated is None:
        parser.error("--micom-name needs --micom or --emulated")
    if args.no_micom and args.micom is not None:
        parser.error("--no-micom and --micom exclude each other")
    for extra in args.add:
        if not os.path.isfile(extra):
            parser.error("--add %s: not a file" % extra)

    with tempfile.TemporaryDirectory(prefix="make-payload-") as scratch:
        return write_payload(parser, args, files, image_name_given, scratch)


def write_payload(parser, args, files, image_name_given, scratch):
    emulated_tools, emulated_image, described = {}, None, None
    if args.emulated:
        emulated_tools, emulated_image, described = emulated_files(args.emulated, args.machine, scratch)
    image_source = args.image or emulated_image
    image_name = args.image_name
    micom_name, micom_source, micom_data = None, None, None
    if described is not None:
        key = described["platformKey"]
        if not image_name_given and args.image is None:
            image_name = "RS%s01%s.WPH" % (key, described["version"][:2])
        if args.micom is None and not args.no_micom:
            micom_name = args.micom_name or "KB%s0105.BIN" % key
            micom_data = micom_image(micom_name[:-4])
    if args.micom is not None:
        micom_source = args.micom
        micom_name = args.micom_name or os.path.basename(args.micom)
        if not micom_name.lower().endswith(".bin"):
            parser.error("--micom: the MICOM image's name must end in .bin (give --micom-name)")

    names = [image_name] + files["tools"] + files["languages"]
    if micom_name:
        names.append(micom_name)
    names += [os.path.basename(extra) for extra in args.add]
    lowered = [n.lower() for n in names]
    if len(set(lowered)) != len(lowered):
        parser.error("two files of the payload would have the same name: %s"
                     % ", ".join(sorted({n for n in lowered if lowered.count(n) > 1})))
    if args.list:
        for name in sorted(names, key=str.lower):
            print(name)
        return 0
    if not args.output:
        parser.error("-o/--output is needed")

    tools = dict(emulated_tools)
    if args.win32:
        tools.update(win32_drivers(args.win32))
    tools.update(replacements(args.tools, files["tools"], "tool"))
    languages = win32_languages(args.win32, files["languages"]) if args.win32 else {}
    languages.update(replacements(args.languages, files["languages"], "language library"))

    if os.path.exists(args.output) and (not os.path.isdir(args.output) or os.listdir(args.output)):
        raise SystemExit("make-payload: %s: exists and is not an empty folder" % args.output)
    os.makedirs(args.output, exist_ok=True)

    def put(name, data=None, source=None):
        target = os.path.join(args.output, name)
        if source is not None:
            shutil.copyfile(source, target)
        else:
            with open(target, "wb") as f:
                f.write(data)

    if image_source:
        put(image_name, source=image_source)
    else:
        put(image_name, stand_in(image_name, "BIOS image", IMAGE_SIZE))
    if micom_source:
        put(micom_name, source=micom_source)
    elif micom_data:
        put(micom_name, micom_data)
    for extra in args.add:
        put(os.path.basename(extra), source=extra)
    for name in files["tools"]:
        if name.lower() in tools:
            put(name, source=tools[name.lower()])
        elif name.upper().endswith(".INI"):
            put(name, settings_stand_in(name))
        elif name.lower() in DRIVER_MACHINES:
            put(name, driver_stand_in(name, DRIVER_MACHINES[name.lower()]))
        else:
            put(name, stand_in(name, "tool, driver or runtime", 4096 + 37 * len(name)))
    for name in files["languages"]:
        if name.lower() in languages:
            put(name, source=languages[name.lower()])
        else:
            put(name, stand_in(name, "language resource library", 2048))
    print("make-payload: %s: %d files for %s" % (args.output, len(names), args.variant))
    return 0


if __name__ == "__main__":
    sys.exit(main())
