#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
# Usage: scripts/test.sh [default|asan|tsan|windows] [ctest options...], e.g.
# scripts/test.sh asan -LE slow
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift $(($# > 0 ? 1 : 0))

# The Windows build: its unit and platform tests under Wine (ctest --preset windows), then the
# whole-process tests of its programs, which run from the Linux build beside the Linux visca-sim.
# All of it on one Xvfb (Wine makes no windows without a display) unless a DISPLAY is given.
if [ "$preset" = windows ]; then
    scripts/install-deps.sh windows
    for p in windows default; do
        cmake --preset "$p" >/dev/null
        cmake --build --preset "$p"
    done
    if [ -z "${DISPLAY:-}" ]; then
        xvfb_out=$(mktemp)
        Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$xvfb_out" 2>/dev/null &
        xvfb_pid=$!
        trap 'kill "$xvfb_pid" 2>/dev/null; rm -f "$xvfb_out"' EXIT
        for _ in $(seq 300); do [ -s "$xvfb_out" ] && break; sleep 0.1; done
        [ -s "$xvfb_out" ] || { echo "Xvfb did not start"; exit 1; }
        export DISPLAY=":$(head -n1 "$xvfb_out")"
    fi
    ctest --preset windows "$@"
    KELP_WINDOWS_BIN="$(pwd)/build-windows/bin" ctest --preset default -L wine "$@"
    exit 0
fi

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

# Root ignores exclusive serial opens and file modes, which can hide faults that every real user
# meets. When run as root, the tests that open ports, take locks and start whole drivers run once
# more as an unprivileged user (plain build only; the sanitizer presets set their own options).
if [ "$preset" = default ] && [ "$(id -u)" -eq 0 ] && command -v runuser >/dev/null &&
    id nobody >/dev/null 2>&1; then
    bin=$(pwd)/build
    if runuser -u nobody -- test -x "$bin/bin/camlet32"; then
        for t in comms_port_test app_process_test system_startup_test system_slots_test; do
            echo "== $t as an unprivileged user"
            runuser -u nobody -- env HOME=/tmp QT_QPA_PLATFORM=offscreen KELP_BIN_DIR="$bin/bin" \
                KELP_LIB_DIR="$bin/lib" "$bin/bin/$t" --gtest_brief=1
        done
    else
        echo "== (the build is not readable by an unprivileged user: that pass is skipped)"
    fi
fi

ctest --preset "$preset" "$@"
