#!/usr/bin/env python3
"""Writes the payload folder of an update package: every file a variant's package carries.

The files are our own small stand-ins, each saying what it stands for, so that a package can be
built, listed, verified and extracted end to end before the real contents exist. Real contents
come in through the hooks:

  --image FILE        the BIOS image's bytes (its name: --image-name)
  --tools DIR         files that replace stand-ins of the same name (without regard to case):
                      flash tools, their drivers and settings, the access driver, runtimes
  --languages DIR     the language resource libraries (ConRes*.dll), likewise

romshell-pack builds the package from the folder:

  samples/make-payload.py --variant romshell -o payload
  romshell-pack build --program romshell.exe --from payload --options 8 -o dist/romshell.exe
"""

import argparse
import os
import shutil
import sys

LANGUAGES = ["Chs", "Cht", "En", "Fr", "Gr", "Kr", "Po", "Ru", "Sp"]

PHOENIX_TOOLS = [
    "PHLASH_32.INI", "PHLASH_64.INI",
    "PhlashLc_32.dll", "PhlashLc_64.dll",
    "PhlashNT_32.sys", "PhlashNT_64.sys",
    "SWinFlash_32.exe", "SWinFlash_64.exe",
]
AMI_TOOLS = ["AFUWIN.exe", "afuwinx64.exe", "amifldrv.vxd", "amifldrv32.sys", "amifldrv64.sys"]
RUNTIMES = ["mfc42.dll", "msvcp60.dll", "msvcrt.dll"]

# Every file of a variant's package except the BIOS image, by role.
VARIANTS = {
    "romshell": {
        "tools": ["AddMem.sys"] + AMI_TOOLS + RUNTIMES + PHOENIX_TOOLS + ["WinUpV01_10.exe"],
        "languages": ["ConRes%s.dll" % c for c in LANGUAGES] + ["ConRes%s_ami.dll" % c for c in LANGUAGES],
    },
    "romshell-phx": {
        "tools": ["AddMem.sys", "devcon.exe"] + RUNTIMES + PHOENIX_TOOLS
        + ["QLIX2.dll", "WinUp64_V01.exe", "WinUpV01_10.exe"],
        "languages": ["ConRes%s.dll" % c for c in LANGUAGES],
    },
}

DEFAULT_IMAGE_NAME = "RSAB0101.WPH"  # characters 3-4: the platform key "AB"
IMAGE_SIZE = 64 * 1024


def stand_in(name, role, size):
    """Bytes that say what they stand for, padded with a pattern that compresses moderately."""
    text = ("romshell sample payload: stand-in for %s (%s); not a working file\r\n" % (name, role)).encode("ascii")
    body = bytearray(text)
    seed = sum(name.encode("ascii"))
    while len(body) < size:
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        body += ("%08x %s\r\n" % (seed >> 8, name)).encode("ascii")
    return bytes(body[:size])


def settings_stand_in(name):
    return ("; romshell sample payload: stand-in for %s\r\n[Settings]\r\nStandIn=1\r\n" % name).encode("ascii")


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
    parser.add_argument("--list", action="store_true", help="print the payload's file names and stop")
    args = parser.parse_args()

    files = VARIANTS[args.variant]
    if not args.image_name.lower().endswith(".wph") or len(args.image_name) < 5 or "/" in args.image_name \
            or "\\" in args.image_name:
        parser.error("--image-name must be a plain file name ending in .WPH")
    names = [args.image_name] + files["tools"] + files["languages"]
    if args.list:
        for name in sorted(names, key=str.lower):
            print(name)
        return 0
    if not args.output:
        parser.error("-o/--output is needed")

    tools = replacements(args.tools, files["tools"], "tool")
    languages = replacements(args.languages, files["languages"], "language library")

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

    if args.image:
        put(args.image_name, source=args.image)
    else:
        put(args.image_name, stand_in(args.image_name, "BIOS image", IMAGE_SIZE))
    for name in files["tools"]:
        if name.lower() in tools:
            put(name, source=tools[name.lower()])
        elif name.upper().endswith(".INI"):
            put(name, settings_stand_in(name))
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
