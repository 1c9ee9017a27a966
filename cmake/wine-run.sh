#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator of the windows build's tests.
#
# Wine creates no windows without an X display: when DISPLAY is set (the test script starts one
# Xvfb for the whole run) the program runs on it, otherwise under an Xvfb of its own. WINEPREFIX
# comes from the test's environment; Wine's debug chatter is off unless WINEDEBUG says otherwise.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine
if [ -n "${DISPLAY:-}" ]; then
    exec "$wine" "$@"
fi
exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$wine" "$@"
