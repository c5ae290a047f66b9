#!/usr/bin/env bash
# Builds and runs every test: the plain build, AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer for the threaded tests.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

build() {  # folder, sanitizers
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARING_SANITIZE="$2" -DKELVARING_TESTS=ON -DKELVARING_BENCH=ON >/dev/null
  cmake --build "$1" -j"$jobs"
}

# ctest keeps the output of a skipped test to itself; its reason is shown here.
skip_reasons() {  # folder
  awk '/: Skipped$/ { reason = ""; inside = 1; next }
       inside && /^\[  SKIPPED \]/ { print "skipped " $4 ": " reason; inside = 0; next }
       inside { reason = reason (reason == "" ? "" : " ") $0 }
       /^skipped: / { print }' "$1/Testing/Temporary/LastTest.log"
}

run_tests() {  # folder, more ctest arguments
  local folder=$1 status=0
  shift
  (cd "$folder" && ctest --output-on-failure -j"$jobs" "$@") || status=$?
  skip_reasons "$folder"
  return $status
}

echo "== plain build"
build build ""
run_tests build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan "address,undefined"
run_tests build-asan

# Fault translation throws from signal handlers, which ThreadSanitizer
# reports as unsafe by design; everything else runs under it.
echo "== ThreadSanitizer"
build build-tsan "thread"
run_tests build-tsan -E 'FaultDeathTest|FaultRun'

# Windows, built with mingw-w64 and tested under Wine where both are installed.
echo "== Windows (mingw-w64, Wine)"
source scripts/test_windows.sh
windows_stage build
