#!/usr/bin/env bash
# Installs what is missing, builds the programs and runs the demo: a driver for device 1 against
# the stand-in infodriver and the camera simulator, in a fresh prefix.
#   scripts/demo.sh [--keep]             the Linux programs
#   scripts/demo.sh --windows [--keep]   the Windows programs under Wine (the camera simulator
#                                        stays the Linux one)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--windows" ]; then
    shift
    scripts/install-deps.sh
    scripts/install-deps.sh windows
    cmake --preset default >/dev/null
    cmake --build --preset default --target visca-sim
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target camlet32 kelp-infodriver kelp-slot kelpif32
    exec env CAMLET32_WINDOWS_BIN="$PWD/build-windows/bin" build/bin/camlet32-demo "$@"
fi
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/bin/camlet32-demo "$@"
