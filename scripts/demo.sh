#!/usr/bin/env bash
# Installs what is missing, builds the programs and runs the demo: a driver for device 1 against
# the stand-in infodriver and the camera simulator, in a fresh prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/bin/camlet32-demo "$@"
