#!/usr/bin/env bash
# Builds kelvaring and runs a test of the given size (all the available
# memory without one), with any key=value arguments after it. Ctrl+C ends it. The build's output goes to
# standard error, so standard output is the program's alone.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARING_TESTS=OFF -DKELVARING_BENCH=OFF >&2
cmake --build build -j"$(nproc)" --target kelvaring >&2
exec build/kelvaring "$@"
