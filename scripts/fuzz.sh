#!/usr/bin/env bash
# Builds the bus frame decoder's libFuzzer target with clang and runs it for a while.
# Usage: scripts/fuzz.sh [seconds]   (default 60). Skipped, with a note, when clang is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
    echo "== fuzzing skipped: clang is not installed"
    exit 0
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELP_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target bus_frame_fuzz -j 2
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
echo "== bus_frame_fuzz for ${seconds}s"
build-fuzz/bin/bus_frame_fuzz -max_total_time="$seconds" -print_final_stats=1 "$corpus"
