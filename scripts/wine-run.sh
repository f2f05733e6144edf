#!/bin/sh
# Runs a built Windows program under Wine, in a Wine prefix of its own, and exits with the
# program's exit code (Wine passes on its low byte: 0x8000000e becomes 14).
#
#   scripts/wine-run.sh [--prefix DIR] [--headless] [--init-only] PROGRAM.exe [ARGUMENTS...]
#
#   --prefix DIR   the Wine prefix (default: build/wineprefix in the source tree). It is made on
#                  first use with "wineboot -i", which takes a minute.
#   --headless     run without a display: Wine then creates no windows, message boxes return at
#                  once and dialogs fail. Without it the program uses $DISPLAY (for instance an
#                  Xvfb started with xvfb-run).
#   --init-only    make the prefix and stop.
#
# Wine's own messages are silenced (WINEDEBUG=-all) unless WINEDEBUG is already set. The script
# waits for the prefix's wineserver to end before it returns, so the prefix's files are complete.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
prefix="$here/../build/wineprefix"
headless=0
init_only=0

while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) prefix=$2; shift 2 ;;
        --headless) headless=1; shift ;;
        --init-only) init_only=1; shift ;;
        --help|-h) sed -n '2,17p' "$0"; exit 0 ;;
        --) shift; break ;;
        -*) echo "wine-run.sh: unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done

if ! command -v wine >/dev/null 2>&1; then
    echo "wine-run.sh: wine is not installed (apt-get install wine wine32:i386)" >&2
    exit 127
fi

mkdir -p "$prefix"
WINEPREFIX=$(cd "$prefix" && pwd)
WINEDEBUG=${WINEDEBUG:--all}
# No menu entries, file associations or Mono/Gecko installation prompts for this prefix.
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=d}
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

if [ "$headless" = 1 ]; then
    unset DISPLAY WAYLAND_DISPLAY
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run.sh: making the Wine prefix $WINEPREFIX" >&2
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine-run.sh: wineboot could not make $WINEPREFIX" >&2
        exit 126
    fi
fi

if [ "$init_only" = 1 ]; then
    exit 0
fi

if [ $# -lt 1 ]; then
    echo "usage: wine-run.sh [--prefix DIR] [--headless] [--init-only] PROGRAM.exe [ARGUMENTS...]" >&2
    exit 2
fi

program=$1
shift
status=0
wine "$program" "$@" || status=$?
wineserver -w
exit "$status"
