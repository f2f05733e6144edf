#!/usr/bin/env bash
# The first thing to run: installs what is missing, builds the emulated (Linux) and the Windows
# (MinGW-w64) presets, packs the sample program with the emulated flash tools and a sample BIOS
# image, runs it on an emulated notebook with notebook-emu and prints the report.
#
#   scripts/run-demo.sh [--machine PROFILE] [--phx] [-- PROGRAM OPTIONS...]
#
#   --machine PROFILE   a machine profile (default emu/machines/default.json: a Phoenix notebook
#                       with the legacy controller on 64-bit Windows 10)
#   --phx               run romshell-phx instead of romshell
#   after --            the program's own options, for example /BLOCK_POWER_OFF or /READ_BIOS
#
# The emulated world stays in build/demo/world for a look around (C/ is its drive C:); the report
# is also written to build/demo/report.json. ROMSHELL_JOBS sets the build's parallel jobs (2).
set -euo pipefail
cd "$(dirname "$0")/.."

machine=emu/machines/default.json
program=romshell
while [ $# -gt 0 ]; do
  case "$1" in
    --machine) machine=${2:?--machine needs a profile}; shift 2 ;;
    --phx) program=romshell-phx; shift ;;
    --) shift; break ;;
    *) echo "run-demo: unknown argument $1 (see the head of $0)" >&2; exit 2 ;;
  esac
done
jobs=${ROMSHELL_JOBS:-2}

# Wine is for the Windows programs' own tests, not for the demo.
scripts/install-deps.sh --no-wine

echo "run-demo: building the emulated programs, notebook-emu and the emulated tools"
cmake --preset emu >/dev/null
cmake --build --preset emu --parallel "$jobs" \
  --target romshell romshell-phx romshell-pack notebook-emu emu-swinflash emu-winup emu-afuwin make-wph
echo "run-demo: building the Windows programs"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --parallel "$jobs"

# build/dist/romshell.exe: the Windows program with the sample payload for the emulated notebook.
scripts/make-dist.sh

mkdir -p build/demo
echo "run-demo: running build/dist/$program.exe on $machine"
echo
exec build/emu/bin/notebook-emu run --machine "$machine" --program "build/dist/$program.exe" \
  --root build/demo/world --json build/demo/report.json -- "$@"
