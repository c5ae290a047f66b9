#!/bin/sh
# The systemd unit installed into a prefix starts the program of that
# prefix, and systemd-analyze accepts it without a warning.
set -u
cmake=$1
build=$2
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "skipped: systemd-analyze is not installed (systemd)"
  exit 77
fi
prefix=$(mktemp -d /tmp/kelvaring-unit-XXXXXX) || exit 1
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1 || {
  cat "$prefix/install.log"
  exit 1
}
unit="$prefix/share/doc/kelvaring/kelvaring.service"
start=$(grep '^ExecStart=' "$unit")
case "$start" in
  "ExecStart=$prefix/bin/kelvaring "*) ;;
  *) echo "the unit does not start $prefix/bin/kelvaring: $start"; exit 1 ;;
esac
# A key or value it does not know is only a warning: any output fails.
warnings=$(systemd-analyze verify "$unit" 2>&1)
status=$?
if [ $status -ne 0 ] || [ -n "$warnings" ]; then
  echo "systemd-analyze verify $unit: status $status"
  echo "$warnings"
  exit 1
fi
echo "$start: verified"
