#!/bin/sh
# Packs the two Windows programs with their sample payloads and verifies the results:
#   build/dist/romshell.exe      build/win32/bin/romshell.exe      + the romshell sample payload
#   build/dist/romshell-phx.exe  build/win32/bin/romshell-phx.exe  + the romshell-phx sample payload
# Both presets must be built first (build/win32 for the programs, build/emu for romshell-pack).
# Environment: ROMSHELL_WIN32_BUILD, ROMSHELL_EMU_BUILD (other build folders),
# ROMSHELL_DIST (output folder), ROMSHELL_DIST_OPTIONS (the packages' default options, 8).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
win32=${ROMSHELL_WIN32_BUILD:-$root/build/win32}
emu=${ROMSHELL_EMU_BUILD:-$root/build/emu}
dist=${ROMSHELL_DIST:-$root/build/dist}
options=${ROMSHELL_DIST_OPTIONS:-8}
pack=$emu/bin/romshell-pack

fail() {
  echo "make-dist: $*" >&2
  exit 1
}

[ -x "$pack" ] || fail "$pack: not built (cmake --build $emu --target romshell-pack)"
for file in romshell.exe romshell-phx.exe AddMem.sys AddMem64.sys; do
  [ -f "$win32/bin/$file" ] || fail "$win32/bin/$file: not built (cmake --build $win32)"
done

# With the emulated tools built, the payloads carry them and a sample image for the default
# emulated notebook, so that notebook-emu can run the packed programs end to end.
emulated=0
if [ -x "$emu/bin/emu-swinflash" ] && [ -x "$emu/bin/emu-winup" ] && [ -x "$emu/bin/emu-afuwin" ] && [ -x "$emu/bin/make-wph" ]; then
  emulated=1
else
  echo "make-dist: the emulated tools are not built in $emu: packing stand-ins" >&2
fi

# The payload script, with the language resource libraries of the win32 build when it has made
# them (else make-payload.py's stand-ins).
[ -d "$win32/lang" ] || echo "make-dist: no language libraries in $win32/lang: packing stand-ins" >&2
make_payload() {
  if [ -d "$win32/lang" ]; then
    python3 "$root/samples/make-payload.py" --win32 "$win32" "$@"
  else
    # The drivers without the language libraries: the program's own access drivers.
    drivers=$(mktemp -d "${TMPDIR:-/tmp}/romshell-drivers-XXXXXX")
    cp "$win32/bin/AddMem.sys" "$win32/bin/AddMem64.sys" "$drivers/"
    python3 "$root/samples/make-payload.py" --tools "$drivers" "$@"
    rm -rf "$drivers"
  fi
}

payloads=$(mktemp -d "${TMPDIR:-/tmp}/romshell-dist-XXXXXX")
trap 'rm -rf "$payloads"' EXIT
mkdir -p "$dist"

for variant in romshell romshell-phx; do
  if [ $emulated = 1 ]; then
    make_payload --variant "$variant" --emulated "$emu" -o "$payloads/$variant"
  else
    make_payload --variant "$variant" -o "$payloads/$variant"
  fi
  rm -f "$dist/$variant.exe"
  "$pack" build --program "$win32/bin/$variant.exe" --from "$payloads/$variant" --options "$options" \
    -o "$dist/$variant.exe"
  "$pack" verify --for-tests "$dist/$variant.exe" --variant "$variant"
done
echo "make-dist: $dist/romshell.exe and $dist/romshell-phx.exe"
