#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the emulated (Linux) and the Windows
# (MinGW-w64) presets, packs the sample programs, runs the test suite (unit, emulated world,
# release tool, scenario, Windows-program and Wine tests) and short fuzzing runs of
# the fuzz targets (package reader, BIOS image scans, firmware memory searches).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset emu >/dev/null
cmake --build --preset emu
cmake --preset win32 >/dev/null
cmake --build --preset win32
scripts/make-dist.sh

ctest --preset emu -LE wine
# The scenario rows under Wine, timed: they share the machine's two cores with nothing else.
wine_start=$(date +%s)
wine_status=0
ctest --preset emu -L wine || wine_status=$?
echo "Wine part of the tests: $(( $(date +%s) - wine_start )) s"
[ "$wine_status" -eq 0 ]

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target package_reader_fuzz image_fuzz firmware_fuzz
ctest --test-dir build/fuzz --output-on-failure -L fuzz
