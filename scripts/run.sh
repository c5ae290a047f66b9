#!/usr/bin/env bash
# Builds kelvaring and runs a test of the given size in megabytes (all the
# available memory without one). Ctrl+C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARING_TESTS=OFF -DKELVARING_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target kelvaring
exec build/kelvaring "$@"
