#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
# Usage: scripts/test.sh [default|asan|tsan] [ctest options...], e.g. scripts/test.sh asan -LE slow
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift $(($# > 0 ? 1 : 0))
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
