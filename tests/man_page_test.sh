#!/bin/sh
# The man page renders without a single warning.
page=$1
if ! command -v man >/dev/null 2>&1; then
  echo "skipped: man is not installed (man-db)"
  exit 77
fi
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
status=$?
if [ $status -ne 0 ] || [ -n "$warnings" ]; then
  echo "man --warnings -l $page: status $status"
  echo "$warnings"
  exit 1
fi
echo "rendered without warnings: $page"
