#!/usr/bin/env python3
"""Builds the packaged programs of the scenario tests.

  make_packages.py --build EMU_BUILD --source SOURCE --output DIR [--win32 WIN32_BUILD]

Each package is the program file with an update package behind it, made as a release is made:
samples/make-payload.py writes the payload (with the emulated tools of EMU_BUILD), make-wph and
make-rom make the images a scenario needs, romshell-pack packs. The program file is the Windows program of
WIN32_BUILD when it is built, else the emulated program itself: the emulated program only reads
its package from the file. The payloads carry the language resource libraries of WIN32_BUILD when
it has made them, else make-payload.py's stand-ins. DIR/packages.json lists what was made.

With --wine-tools (the emu build's bin/wine-tools: the tools' Windows builds and the ADDMEM driver
of the Wine bench) and a WIN32_BUILD, the packages of WINE_PACKAGES are made a second time as
<name>-wine.exe, the real Windows program carrying those files, for runs under Wine.
"""

import argparse
import importlib.util
import json
import os
import shutil
import subprocess
import sys

# name: (variant, default options, how the payload differs from the sample payload)
PACKAGES = {
    "full": ("romshell", "8", {}),
    "unmarked": ("romshell", "0", {}),
    "clear-cmos": ("romshell", "0x48", {}),
    "other-model": ("romshell", "8", {"image": ["--newer", "--model", "R590", "--part-number", "051"],
                                       "image-name": "RSRK0108.WPH"}),
    "not-newer": ("romshell", "8", {"image": [], "image-name": "RSRK0107.WPH"}),
    "no-platform-image": ("romshell", "8", {"image": ["--newer"], "image-name": "RSAB0108.WPH",
                                             "extra-image": ("RSCD0108.WPH", ["--newer", "--tag", "CD"])}),
    "no-micom": ("romshell", "8", {"no-micom": True}),
    # A package of one access driver only, the 32-bit one: 64-bit Windows cannot start it.
    "driver32-only": ("romshell", "8", {"drop": ["AddMem64.sys"]}),
    "unstartable-tool": ("romshell", "8", {"broken-phoenix-tool": True}),
    "damaged-entry": ("romshell", "8", {"damaged-last-entry": True}),
    "phx-full": ("romshell-phx", "8", {}),
    "dmi-only": ("romshell", "0x1008", {}),
    # NoMessageBox and SkipCheckPower: a package for notebooks on battery that asks nothing.
    "quiet-power": ("romshell", "0x10020", {}),
    "phx-quiet-power": ("romshell-phx", "0x10020", {}),
    # romshell-phx with files of romshell's AMI set beside its own: its clean-up does not know them.
    "phx-ami-files": ("romshell-phx", "8", {"stand-ins": ["AFUWIN.EXE", "AMIFLDRV64.sys", "ConResEn_ami.dll"]}),
    # AMI notebooks (emu/machines/ami-*.json: part number A12): ".rom" images made by make-rom.
    "ami": ("romshell", "8", {"roms": [("A3200208.rom", ["--part-number", "A12", "--version", "208"])]}),
    "ami-part-third": ("romshell", "8", {"roms": [("A3200208.rom", ["--part-number", "A13", "--version", "208"])]}),
    "ami-part-case": ("romshell", "8", {"roms": [("A3200208.rom", ["--part-number", "a12", "--version", "208"])]}),
    "ami-no-rom": ("romshell", "8", {"roms": []}),
    "ami-two-roms": ("romshell", "8", {"roms": [("A3200208.rom", ["--part-number", "A12", "--version", "208"]),
                                                 ("A3200209.rom", ["--part-number", "A12", "--version", "209"])]}),
    "ami-no-record": ("romshell", "8", {"roms": [("A3200208.rom", ["--no-record"])]}),
    # Signed with Authenticode after packing (a throw-away certificate), as a release is; and the
    # same with one byte of its package changed afterwards. The Windows program only: the emulated
    # carrier is no PE file.
    "signed": ("romshell", "8", {"sign": "intact"}),
    "signed-changed": ("romshell", "8", {"sign": "changed"}),
}
# The packages the scenarios also run under Wine.
WINE_PACKAGES = ["full", "not-newer", "phx-full", "unstartable-tool", "dmi-only", "ami", "signed", "signed-changed"]


def run(command, **kwargs):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, **kwargs)
    if done.returncode != 0:
        sys.stderr.write(done.stdout)
        raise SystemExit("make_packages: failed: %s" % " ".join(command))
    return done.stdout


def emulated_carrier(binaries, variant, scratch):
    """A copy of the emulated program to carry a package when no Windows program is built.

    The package offset goes into bytes 40-43, which romshell-pack wants zero as a Windows program
    file has them; an ELF file holds its section table's offset there. The copy is only read for
    its package and its marker (notebook-emu runs the emulated program itself), so those four
    bytes are cleared in it."""
    carrier = os.path.join(scratch, variant + ".carrier")
    if not os.path.isfile(carrier):
        with open(os.path.join(binaries, variant), "rb") as f:
            data = bytearray(f.read())
        data[40:44] = b"\0\0\0\0"
        with open(carrier, "wb") as f:
            f.write(data)
        shutil.copymode(os.path.join(binaries, variant), carrier)
    return carrier


def sign(output, scratch, change):
    """Signs the packed program in place; with change "changed", then alters one byte of its package:
    the padding of the first entry's name, which the reader never looks at."""
    key = os.path.join(scratch, "release-key.pem")
    cert = os.path.join(scratch, "release-cert.pem")
    if not os.path.isfile(cert):
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=romshell test release",
             "-keyout", key, "-out", cert])
    signed = output + ".signed"
    run(["osslsigncode", "sign", "-h", "sha256", "-certs", cert, "-key", key, "-in", output, "-out", signed])
    shutil.copymode(output, signed)
    os.replace(signed, output)
    if change == "changed":
        with open(output, "r+b") as f:
            offset = int.from_bytes(f.read(44)[40:44], "little")
            f.seek(offset + 12 + 200)
            f.write(b"x")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--win32")
    parser.add_argument("--only", action="append", help="build only these packages (repeatable)")
    parser.add_argument("--wine-tools", help="folder of the Windows tool builds and driver of the Wine bench")
    args = parser.parse_args()

    binaries = os.path.join(args.build, "bin")
    maker = os.path.join(binaries, "make-wph")
    pack = os.path.join(binaries, "romshell-pack")
    payload_script = os.path.join(args.source, "samples", "make-payload.py")
    # The tool files of each variant, as make-payload.py lists them.
    loader = importlib.util.spec_from_file_location("make_payload", payload_script)
    make_payload = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(make_payload)
    payload_tools = {name: files["tools"] for name, files in make_payload.VARIANTS.items()}
    machine = os.path.join(args.source, "emu", "machines", "default.json")
    scratch = os.path.join(args.output, "scratch")
    shutil.rmtree(args.output, ignore_errors=True)
    os.makedirs(scratch)

    wine = args.wine_tools and args.win32 and os.path.isdir(args.wine_tools)
    builds = [(name, name, False) for name in PACKAGES]
    if wine:
        builds += [(name + "-wine", name, True) for name in WINE_PACKAGES]
    listing = {}
    for output_name, name, for_wine in builds:
        variant, options, change = PACKAGES[name]
        if args.only and name not in args.only:
            continue
        program = os.path.join(args.win32, "bin", variant + ".exe") if args.win32 else ""
        if not os.path.isfile(program):
            if for_wine or "sign" in change:
                continue
            program = emulated_carrier(binaries, variant, scratch)
        if "sign" in change and (shutil.which("osslsigncode") is None or shutil.which("openssl") is None):
            print("make_packages: %s: osslsigncode or openssl is missing: not made" % output_name)
            continue
        folder = os.path.join(scratch, output_name)
        tools = None
        if for_wine:
            # Only the bench files that the variant's package carries (romshell-phx has no AMI tool).
            tools = os.path.join(scratch, output_name + "-tools")
            own = {n.lower() for n in payload_tools[variant]}
            shutil.copytree(args.wine_tools, tools, ignore=lambda folder, names: [
                n for n in names if n.lower() not in own])
        command = [sys.executable, payload_script, "--variant", variant, "--emulated", args.build, "-o", folder]
        if args.win32 and os.path.isdir(os.path.join(args.win32, "lang")):
            command += ["--win32", args.win32]
        described = None
        if "image" in change:
            image = os.path.join(scratch, name + ".wph")
            described = json.loads(run([maker, "--machine", machine, "-o", image] + change["image"]).splitlines()[-1])
            command += ["--image", image, "--image-name", change["image-name"]]
        if "extra-image" in change:
            extra_name, extra_options = change["extra-image"]
            extra = os.path.join(scratch, name + "-extra")
            os.makedirs(extra)
            run([maker, "--machine", machine, "-o", os.path.join(extra, extra_name)] + extra_options)
            command += ["--add", os.path.join(extra, extra_name)]
        for rom_name, rom_options in change.get("roms", []):
            roms = os.path.join(scratch, name + "-roms")
            os.makedirs(roms, exist_ok=True)
            run([os.path.join(binaries, "make-rom"), "-o", os.path.join(roms, rom_name)] + rom_options)
            command += ["--add", os.path.join(roms, rom_name)]
        for stand_in in change.get("stand-ins", []):
            extras = os.path.join(scratch, name + "-stand-ins")
            os.makedirs(extras, exist_ok=True)
            with open(os.path.join(extras, stand_in), "w") as f:
                f.write("stand-in for %s\n" % stand_in)
            command += ["--add", os.path.join(extras, stand_in)]
        if change.get("no-micom"):
            command += ["--no-micom"]
        if change.get("broken-phoenix-tool"):
            # Files under the tool's names that no system can run.
            if tools is None:
                tools = os.path.join(scratch, name + "-tools")
                os.makedirs(tools)
            for tool in ("SWinFlash_32.exe", "SWinFlash_64.exe"):
                with open(os.path.join(tools, tool), "w") as f:
                    f.write("not a program: a damaged copy of %s\n" % tool)
        if tools is not None:
            command += ["--tools", tools]
        run(command)
        for dropped in change.get("drop", []):
            os.remove(os.path.join(folder, dropped))
        output = os.path.join(args.output, output_name + ".exe")
        run([pack, "build", "--program", program, "--from", folder, "--options", options, "-o", output])
        if "sign" in change:
            sign(output, scratch, change["sign"])
        if change.get("damaged-last-entry"):
            # The last gzip member's CRC changed: that entry does not decompress.
            with open(output, "r+b") as f:
                f.seek(-8, os.SEEK_END)
                crc = f.read(1)
                f.seek(-8, os.SEEK_END)
                f.write(bytes([crc[0] ^ 0xFF]))
        listing[output_name] = {"file": output, "variant": variant, "options": options, "program": program,
                         "image": described, "payload": sorted(os.listdir(folder), key=str.lower)}
    shutil.rmtree(scratch, ignore_errors=True)
    with open(os.path.join(args.output, "packages.json"), "w") as f:
        json.dump(listing, f, indent=2)
    print("make_packages: %d packages in %s" % (len(listing), args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
