#!/usr/bin/env bash
# Runs Windows programs under Wine for the Windows tests, headless and bounded.
#
#   scripts/wine.sh prefix PREFIX               make the Wine prefix once (kept for later runs)
#   scripts/wine.sh run PREFIX PROGRAM [ARG...]  run PROGRAM there
#   scripts/wine.sh server PREFIX start|stop     keep the prefix's wineserver up between runs
#
# No display is used: the prefix selects Wine's null graphics driver, so windows and dialogs
# exist and answer messages but are never drawn. The card-simulator test double winscard.dll,
# built beside the test programs, replaces Wine's own. Every run is cut off after
# KELM_WINE_TIMEOUT seconds (default 120), so nothing can hang a test run.
set -euo pipefail

mode=${1:?usage: wine.sh prefix PREFIX | run PREFIX PROGRAM [ARG...] | server PREFIX start|stop}
export WINEPREFIX=${2:?the Wine prefix directory}
shift 2

wine=$(command -v wine64 || true)
for candidate in /usr/lib/wine/wine64 /usr/lib64/wine/wine64; do
  [ -z "$wine" ] && [ -x "$candidate" ] && wine=$candidate
done
[ -n "$wine" ] || { echo "wine64 not found: run scripts/install-windows-deps.sh" >&2; exit 1; }

unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
limit=${KELM_WINE_TIMEOUT:-120}

case "$mode" in
prefix)
  # Made once; a second test run reuses it. The lock keeps parallel tests from making it twice.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  [ -f "$WINEPREFIX/.kelm-ready" ] && exit 0
  rm -rf "$WINEPREFIX"
  # No .NET or HTML engine: the tests need neither, and installing them would download. No
  # menu builder: a Start menu entry made under Wine stays in the prefix, out of the desktop's menu.
  WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" timeout "$limit" "$wine" wineboot --init
  timeout "$limit" "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  timeout "$limit" "$(dirname "$wine")/wineserver" --wait
  touch "$WINEPREFIX/.kelm-ready"
  ;;
run)
  [ -f "$WINEPREFIX/.kelm-ready" ] || { echo "no Wine prefix at $WINEPREFIX: run 'wine.sh prefix' first" >&2; exit 1; }
  export WINEDLLOVERRIDES="winscard=n;mscoree,mshtml=;winemenubuilder.exe=d"
  exec timeout --kill-after=10 "$limit" "$wine" "$@"
  ;;
server)
  # A series of runs pays for the server's start once: it stays up to 30 seconds after the last
  # program ends (so one left behind by a killed test goes away by itself); 'stop' ends it and
  # the prefix's programs at once.
  case "${1:-}" in
  start) "$(dirname "$wine")/wineserver" -p30 ;;
  stop) "$(dirname "$wine")/wineserver" -k 2>/dev/null || true ;;
  *) echo "wine.sh server PREFIX start|stop" >&2; exit 2 ;;
  esac
  ;;
*)
  echo "unknown mode '$mode'" >&2
  exit 2
  ;;
esac
