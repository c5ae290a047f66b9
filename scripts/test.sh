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

echo "== plain build"
build build ""
(cd build && ctest --output-on-failure -j"$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan "address,undefined"
(cd build-asan && ctest --output-on-failure -j"$jobs")

# Fault translation throws from signal handlers, which ThreadSanitizer
# reports as unsafe by design; everything else runs under it.
echo "== ThreadSanitizer"
build build-tsan "thread"
(cd build-tsan && ctest --output-on-failure -j"$jobs" -E 'FaultDeathTest|FaultRun')
