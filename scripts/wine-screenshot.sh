#!/bin/sh
# Takes a screenshot of the progress window of the real romshell-phx.exe, run under Wine on a
# virtual display (Xvfb) with a packed sample payload, and writes it as a PNG cropped to the window.
#
#   scripts/wine-screenshot.sh [--prefix DIR] [--program PACKED.exe] [-o FILE.png]
#   scripts/wine-screenshot.sh --machine PROFILE.json --program PACKED.exe --window NAME [-o FILE.png]
#
#   --program FILE  a packed program to run. Default: romshell-phx.exe of the win32 build, packed
#                   here with the sample payload (samples/make-payload.py) and the default options
#                   MarkLastFlashBlock,NoMessageBox,SkipCheckPower, so that the run needs nobody to
#                   answer a message box and no battery. Under Wine it unpacks, then fails at the
#                   hardware and ends.
#   --prefix DIR    the Wine prefix (default: build/wineprefix), made on first use.
#   -o FILE         the PNG to write (default: docs/progress-window.png).
#   --machine FILE  run on the Wine bench instead (notebook-emu run --wine): the packed program
#                   (which must carry the bench's files, as the scenario fixture's
#                   packages/<name>-wine.exe do) updates the emulated notebook of the profile, in
#                   the profile's language, with the profile's answers; the bench's watcher
#                   captures the windows as it meets them.
#   --window NAME   with --machine, the window to keep: box-1, box-2, ... (the message boxes in
#                   order), progress (the progress window as last changed), dmi-dialog.
#
# The window is captured every half second while it is open; the last capture taken while it was
# still open is kept, so the picture shows the window's latest state (marks, progress text, a
# spinner frame). The program's exit code is printed.
#
# Environment: ROMSHELL_WIN32_BUILD (default build/win32) for romshell-phx.exe, ROMSHELL_EMU_BUILD
# (default build/emu) for romshell-pack.
# Needs wine, xvfb-run (xvfb), xwininfo (x11-utils) and import (imagemagick); with --machine,
# convert (imagemagick), and for Chinese and Korean systems the fonts of fonts-wqy-microhei.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
prefix="$root/build/wineprefix"
program=""
output="$root/docs/progress-window.png"
on_display=0
machine=""
window=""

while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) prefix=$2; shift 2 ;;
        --program) program=$2; shift 2 ;;
        -o|--output) output=$2; shift 2 ;;
        --on-display) on_display=1; shift ;;
        --machine) machine=$2; shift 2 ;;
        --window) window=$2; shift 2 ;;
        --help|-h) sed -n '2,30p' "$0"; exit 0 ;;
        *) echo "wine-screenshot.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

fail() {
    echo "wine-screenshot.sh: $*" >&2
    exit 1
}

# ---------------------------------------------------------------------------------------------
# On the Wine bench: the watcher captures every window it meets; the one asked for is kept.
if [ -n "$machine" ]; then
    [ -n "$window" ] || fail "--machine needs --window (box-1, progress, dmi-dialog, ...)"
    [ -f "$program" ] || fail "--machine needs --program: a packed program carrying the bench's files"
    command -v convert >/dev/null 2>&1 || fail "ImageMagick's convert is not installed (apt-get install imagemagick)"
    emu=${ROMSHELL_EMU_BUILD:-$root/build/emu}
    [ -x "$emu/bin/notebook-emu" ] || fail "$emu/bin/notebook-emu: not built (cmake --build --preset emu)"
    work=$(mktemp -d "${TMPDIR:-/tmp}/romshell-screenshot-XXXXXX")
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/captures"
    ROMSHELL_BENCH_CAPTURE="$work/captures" "$emu/bin/notebook-emu" run --wine --machine "$machine" \
        --program "$program" --root "$work/world" --timeout 300 > "$work/report.txt" ||
        { cat "$work/report.txt" >&2; fail "the run on the bench failed"; }
    sed -n '/^Result/p' "$work/report.txt"
    [ -f "$work/captures/$window.bmp" ] ||
        fail "no window \"$window\" was captured (captured: $(cd "$work/captures" && ls | tr '\n' ' '))"
    mkdir -p "$(dirname "$output")"
    convert "$work/captures/$window.bmp" "$output"
    echo "wine-screenshot.sh: wrote $output"
    exit 0
fi

# ---------------------------------------------------------------------------------------------
# On the virtual display: run the program and capture its window.
if [ "$on_display" = 1 ]; then
    name=$(basename "$program")
    shots=$(mktemp -d "${TMPDIR:-/tmp}/romshell-captures-XXXXXX")
    trap 'rm -rf "$shots"' EXIT
    "$here/wine-run.sh" --prefix "$prefix" "$program" &
    run=$!
    # The progress window has no caption: Wine names its X window after nothing and classes it
    # after the program. Message boxes of the same program carry their caption as their name.
    window_id() {
        xwininfo -root -children 2>/dev/null |
            grep -i "(has no name): (\"$name\"" | grep -v ' 1x1+' | awk '{print $1}' | head -n 1
    }
    kept=""
    count=0
    # A run that waits for an answer nobody gives (a message box) is ended after 300 s.
    waited=0
    while kill -0 "$run" 2>/dev/null; do
        waited=$((waited + 1))
        if [ "$waited" -gt 600 ]; then
            WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
            wait "$run" 2>/dev/null || true
            fail "the program did not end within 300 s (a window waiting for an answer?)"
        fi
        id=$(window_id)
        if [ -n "$id" ]; then
            count=$((count + 1))
            shot="$shots/capture-$count.png"
            # A capture counts only when the window is still there after it. A capture of a window
            # that vanishes while it is taken can leave import waiting for ever: it gets 10 s.
            if timeout -s KILL 10 import -silent -window "$id" "$shot" 2>/dev/null &&
                [ "$(window_id)" = "$id" ]; then
                [ -n "$kept" ] && rm -f "$kept"
                kept=$shot
            else
                rm -f "$shot"
            fi
        fi
        sleep 0.5
    done
    status=0
    wait "$run" || status=$?
    echo "wine-screenshot.sh: the program ended with exit code $status"
    [ -n "$kept" ] || fail "the progress window was never seen open"
    cp "$kept" "$output"
    echo "wine-screenshot.sh: wrote $output"
    exit 0
fi

# ---------------------------------------------------------------------------------------------
# The tools, the program, then the same script again on a display of its own.
for tool in wine xvfb-run xwininfo import; do
    command -v "$tool" >/dev/null 2>&1 || case "$tool" in
        wine) fail "wine is not installed (apt-get install wine wine32:i386)" ;;
        xvfb-run) fail "xvfb-run is not installed (apt-get install xvfb)" ;;
        xwininfo) fail "xwininfo is not installed (apt-get install x11-utils)" ;;
        import) fail "ImageMagick's import is not installed (apt-get install imagemagick)" ;;
    esac
done

work=$(mktemp -d "${TMPDIR:-/tmp}/romshell-screenshot-XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ -z "$program" ]; then
    win32=${ROMSHELL_WIN32_BUILD:-$root/build/win32}
    emu=${ROMSHELL_EMU_BUILD:-$root/build/emu}
    [ -f "$win32/bin/romshell-phx.exe" ] || fail "$win32/bin/romshell-phx.exe: not built (cmake --build $win32)"
    [ -x "$emu/bin/romshell-pack" ] || fail "$emu/bin/romshell-pack: not built (cmake --build $emu --target romshell-pack)"
    python3 "$root/samples/make-payload.py" --variant romshell-phx --win32 "$win32" -o "$work/payload" >/dev/null
    program="$work/romshell-phx.exe"
    "$emu/bin/romshell-pack" build --program "$win32/bin/romshell-phx.exe" --from "$work/payload" \
        --options MarkLastFlashBlock,NoMessageBox,SkipCheckPower -o "$program"
fi
[ -f "$program" ] || fail "$program: no such program"
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)

# The prefix is made before the display exists, so that its first-use set-up is not captured.
"$here/wine-run.sh" --prefix "$prefix" --init-only

xvfb-run -a -s "-screen 0 1024x768x24" "$0" --on-display --prefix "$prefix" --program "$program" -o "$output"
