#!/bin/sh
# Runs one Windows program under Wine, as the emulator of the Windows build:
#   wine-run.sh [--display] PREFIX PROGRAM [ARGUMENT...]
#   wine-run.sh --prepare PREFIX
# PREFIX is a Wine prefix of the build's own, made on first use. With
# --display the program gets a virtual X display of its own (xvfb-run -a),
# and whatever still runs in the prefix is stopped before and after, so the
# desktop Wine keeps is always that display's. Without --display the program
# runs with no display at all, and Wine's server stays the few seconds it
# waits by itself, for the next run to use.
set -u

display=
under_xvfb=
prepare=
if [ "${1:-}" = --prepare ] && [ $# -eq 2 ]; then
  prepare=yes
  shift
  set -- "$1" true
elif [ "${1:-}" = --display ]; then
  display=yes
  shift
fi
if [ "${1:-}" = --under-xvfb ]; then
  under_xvfb=yes
  shift
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--display] PREFIX PROGRAM [ARGUMENT...] | $0 --prepare PREFIX" >&2
  exit 2
fi

WINEPREFIX=$1
shift
export WINEPREFIX
export WINEARCH=win64
# No debug chatter, no Mono or Gecko installer dialogs, no menu entries.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

if [ -z "$under_xvfb" ]; then
  unset DISPLAY WAYLAND_DISPLAY
  # The prefix is made once; runs that arrive meanwhile wait for it. A crash
  # is reported on the console, never in a dialog.
  mkdir -p "$(dirname "$WINEPREFIX")"
  flock "$WINEPREFIX.lock" sh -c '
    [ -f "$WINEPREFIX/.ready" ] && exit 0
    rm -rf "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1 && wineserver --wait &&
      wine reg add "HKCU\\Software\\Wine\\WineDbg" /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>&1 &&
      wineserver --wait && touch "$WINEPREFIX/.ready"
  ' || { echo "$0: could not make the Wine prefix $WINEPREFIX" >&2; exit 2; }
  [ -n "$prepare" ] && exit 0
fi

if [ -n "$display" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    "$0" --under-xvfb "$WINEPREFIX" "$@"
fi

stop_wine() {
  wineserver --kill 2>/dev/null
  wineserver --wait 2>/dev/null
}

if [ -z "$under_xvfb" ]; then
  exec wine "$@"
fi
stop_wine
wine "$@"
status=$?
stop_wine
exit $status
