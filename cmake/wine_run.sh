#!/bin/sh
# Runs a Windows program of the build under Wine, quietly, in a Wine prefix
# of the build's own unless WINEPREFIX names one. A fresh prefix is set up
# first (some seconds), with Wine's crash debugger turned off so that a
# fault ends the program at once. Keep the prefix's server up with
# `wineserver -p` to start later runs fast.
set -e
: "${WINEPREFIX:=${KELVARING_WINE_PREFIX:-$HOME/.wine}}"
: "${WINEDEBUG:=-all}"
: "${KELVARING_WINE:=wine}"
export WINEPREFIX WINEDEBUG
if [ ! -f "$WINEPREFIX/.kelvaring-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.kelvaring-ready" ]; then
      "$KELVARING_WINE" wineboot -i >/dev/null 2>&1
      "$KELVARING_WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
      touch "$WINEPREFIX/.kelvaring-ready"
    fi
  ) 9>"$WINEPREFIX/.kelvaring-lock"
fi
exec "$KELVARING_WINE" "$@"
