#!/bin/sh
# Runs a Windows program of the build under Wine, quietly, in a Wine prefix
# of the build's own unless WINEPREFIX names one. The first run in a fresh
# prefix sets it up (some seconds); keep its server up with `wineserver -p`
# to start later runs fast.
: "${WINEPREFIX:=${KELVARING_WINE_PREFIX:-$HOME/.wine}}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
exec "${KELVARING_WINE:-wine}" "$@"
