#!/usr/bin/env bash
# Makes a fresh Wine prefix for one run of the windows build's tests (wineboot takes ~20 s, so
# the tests share it): cmake/wine-prefix.sh DIR
set -euo pipefail
prefix=$1
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko: nothing we run needs them, and their installers would ask on screen.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
"$wine" wineboot --init
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver64
"$wineserver" -w
test -d "$prefix/drive_c/windows"
