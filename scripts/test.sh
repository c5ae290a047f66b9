#!/usr/bin/env bash
# Builds and runs every test: the plain build, AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer for the threaded tests.
# Every stage runs even when one before it failed. Each stage ends with a
# line "N passed, N failed" (and ", N skipped"), the script with the totals;
# it exits non-zero when a test failed or a build failed (counted as one
# failure).
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
total_passed=0
total_failed=0
total_skipped=0

build() {  # folder, sanitizers
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARING_SANITIZE="$2" -DKELVARING_TESTS=ON -DKELVARING_BENCH=ON >/dev/null &&
    cmake --build "$1" -j"$jobs"
}

# ctest keeps the output of a skipped test to itself; its reason is shown here.
skip_reasons() {  # folder
  [ -f "$1/Testing/Temporary/LastTest.log" ] || return 0
  awk '/: Skipped$/ { reason = ""; inside = 1; next }
       inside && /^\[  SKIPPED \]/ { print "skipped " $4 ": " reason; inside = 0; next }
       inside { reason = reason (reason == "" ? "" : " ") $0 }
       /^skipped: / { print }' "$1/Testing/Temporary/LastTest.log"
}

# "passed failed skipped" from ctest's output: its summary line "N% tests
# passed, F tests failed out of T" and its list of tests that did not run,
# where a skipped one ends in "(Skipped)" (ctest counts those as passed).
# Without a summary (ctest itself failed) one failure.
ctest_counts() {  # file holding ctest's output
  awk '/tests passed, [0-9]+ tests? failed out of [0-9]+/ { failed = $4; total = $NF; summary = 1 }
       /^[ \t]+[0-9]+ - .* \(Skipped\)$/ { ++skipped }
       /^No tests were found/ { summary = 1 }
       END { if (!summary) print 0, 1, 0; else print total - failed - skipped, failed + 0, skipped + 0 }' "$1"
}

counts_line() {  # passed, failed, skipped
  if [ "$3" -gt 0 ]; then echo "$1 passed, $2 failed, $3 skipped"; else echo "$1 passed, $2 failed"; fi
}

# Adds a stage's counts to the totals and prints its count line. NAME is one
# word; it leads the line.
add_counts() {  # name, passed, failed, skipped
  echo "$1: $(counts_line "$2" "$3" "$4")"
  total_passed=$((total_passed + $2))
  total_failed=$((total_failed + $3))
  total_skipped=$((total_skipped + $4))
}

# Runs the tests of a built folder and counts them.
count_tests() {  # name, folder, more ctest arguments
  local name=$1 folder=$2 passed=0 failed=1 skipped=0
  shift 2
  (cd "$folder" && ctest --output-on-failure -j"$jobs" "$@") 2>&1 | tee "$folder/ctest-output.txt"
  skip_reasons "$folder"
  read -r passed failed skipped < <(ctest_counts "$folder/ctest-output.txt")
  add_counts "$name" "$passed" "$failed" "$skipped"
}

# One stage: a build folder with the given sanitizers and its tests; a build
# that fails counts as one failure.
stage() {  # name, folder, sanitizers (comma-separated, "" for none), more ctest arguments
  local name=$1 folder=$2 sanitizers=$3
  shift 3
  echo "== $name: $folder${sanitizers:+, -fsanitize=$sanitizers}"
  if build "$folder" "$sanitizers"; then
    count_tests "$name" "$folder" "$@"
  else
    echo "the build failed"
    add_counts "$name" 0 1 0
  fi
}

stage plain build ""
stage asan build-asan "address,undefined"
# Fault translation throws from signal handlers, which ThreadSanitizer
# reports as unsafe by design; a hardware memory error handled on another
# thread than the page's owner reads the named word again for its record
# while the owner, released, writes it; everything else runs under it.
stage tsan build-tsan "thread" -E 'FaultDeathTest|FaultRun|WorkersRun.FaultOnASecondWorker|WorkersRun.HardwareErrors'
# Windows, built with mingw-w64 and tested under Wine where both are
# installed: stages windows, wine (kelvaring.exe end to end) and windows32.
source scripts/test_windows.sh
windows_stages build

echo "total: $(counts_line "$total_passed" "$total_failed" "$total_skipped")"
[ "$total_failed" -eq 0 ]
