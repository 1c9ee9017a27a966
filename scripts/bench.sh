#!/usr/bin/env bash
# Builds the project and runs every benchmark, then prints one table: goal, measured, pass/fail.
# Run it on an otherwise idle machine; the figures mean little on a busy one.
#
# Usage: scripts/bench.sh [--quick] [--farm LIST]
#   --quick      shorter runs (a few minutes in all) for a first look; the goals still apply
#   --farm LIST  farm sizes (default 16,64,256)
# Every benchmark runs in a process group of its own under a time limit; whatever is left of it
# (drivers, infodrivers) is ended when it finishes, times out, or the script is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
farm=16,64,256
while (($#)); do
    case $1 in
        --quick) quick=1 ;;
        --farm) farm=$2; shift ;;
        *) echo "usage: scripts/bench.sh [--quick] [--farm LIST]" >&2; exit 1 ;;
    esac
    shift
done
if ((quick)); then
    system_args=(--count 2000 --processes 50 --seconds 5 --idle 20)
    comms_seconds=3 roundtrips=2000 farm_idle=10
else
    system_args=(--count 10000 --processes 200 --seconds 10 --idle 60)
    comms_seconds=10 roundtrips=5000 farm_idle=20
fi

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target system_bench comms_bench bench_infodriver_roundtrip \
    camlet32 kelp-infodriver kelp-slot kelpif32
bin=build/bin
out=$(mktemp -d)
groups=()
cleanup() {
    for g in "${groups[@]}"; do kill -KILL -- "-$g" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# run LIMIT LOG COMMAND...: runs COMMAND in a new process group, ends the group after LIMIT
# seconds (TERM, then KILL 10 s later) and when the command returns. Never fails the script.
run() {
    local limit=$1 log=$2
    shift 2
    echo "== $* (at most ${limit}s)"
    setsid "$@" >"$log" 2>&1 &
    local pid=$!
    groups+=("$pid")
    setsid bash -c "sleep $limit; kill -TERM -- -$pid; sleep 10; kill -KILL -- -$pid" \
        >/dev/null 2>&1 &
    local watchdog=$!
    local rc=0
    wait "$pid" || rc=$?
    kill -- "-$watchdog" 2>/dev/null || true
    kill -KILL -- "-$pid" 2>/dev/null || true
    ((rc == 0)) || echo "   exit code $rc; output in $log"
}

run 1800 "$out/system.txt" "$bin/system_bench" "${system_args[@]}"
run 600 "$out/roundtrip.txt" "$bin/bench_infodriver_roundtrip" "$roundtrips"
run 300 "$out/comms.txt" "$bin/comms_bench" "$comms_seconds"
run 1800 "$out/farm.txt" "$bin/system_bench" --farm "$farm" --farm-idle "$farm_idle"

# ---- the table ------------------------------------------------------------------------------
fails=0
row() {  # GOAL MEASURED VERDICT
    printf '| %-72s | %-44s | %-4s |\n' "$1" "$2" "$3"
    [ "$3" != FAIL ] || fails=$((fails + 1))
}
# The last table row of a benchmark's output whose name starts with $2.
line() { grep -F -- "$2" "$1" | tail -1 || true; }
# A number that follows the text $2 in $1 (empty when missing).
num() { sed -n "s/.*$2 *\([0-9.]*\).*/\1/p" <<<"$1" | head -1; }
# Verdict of "value op limit"; "?" when the value is missing.
judge() { [ -n "$1" ] || { echo "?"; return; }; awk -v v="$1" -v l="$3" \
    "BEGIN { print (v $2 l) ? \"pass\" : \"FAIL\" }"; }
lost() { [[ $1 == *ok:* ]] && echo pass || echo FAIL; }

echo
printf '| %-72s | %-44s | %-4s |\n' "Goal" "Measured" ""
printf '|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..74})" "$(printf -- '-%.0s' {1..46})" "------"
for mode in 0 1; do
    l=$(line "$out/system.txt" "latency to last byte, in-process, DebugMode=$mode")
    p50=$(num "$l" "median") p99=$(num "$l" "p99")
    row "slot change to the packet's last byte, p50 <= 100 us, DebugMode=$mode" \
        "${p50:-?} ms" "$(judge "$p50" "<=" 0.100)"
    row "the same, p99 <= 1 ms, DebugMode=$mode" "${p99:-?} ms" "$(judge "$p99" "<=" 1.0)"
    row "every change of the latency run arrives and is echoed once, DebugMode=$mode" \
        "$(sed -n 's/.*\[\(.*\)\]$/\1/p' <<<"$l" | cut -c1-44)" "$(lost "$l")"
    l=$(line "$out/system.txt" "driver CPU per change, DebugMode=$mode")
    cpu=$(num "$l" "change, DebugMode=$mode")
    limit=$((mode ? 100 : 50))
    row "driver CPU per slot change <= $limit us, DebugMode=$mode" "${cpu:-?} us" \
        "$(judge "$cpu" "<=" "$limit")"
    l=$(line "$out/system.txt" "sustained changes, sequential, DebugMode=$mode")
    rate=$(num "$l" "=")
    row "sustained changes >= 10,000/s, every echo, none lost, DebugMode=$mode" "${rate:-?} /s" \
        "$( [ "$(lost "$l")" = pass ] && judge "$rate" ">=" 10000 || echo FAIL)"
    l=$(line "$out/system.txt" "sustained changes, 8 senders, DebugMode=$mode")
    rate=$(num "$l" "=")
    row "the same from 8 sender processes at once, DebugMode=$mode" "${rate:-?} /s" \
        "$( [ "$(lost "$l")" = pass ] && judge "$rate" ">=" 10000 || echo FAIL)"
    l=$(line "$out/system.txt" "change during a 1 MiB flood, DebugMode=$mode")
    worst=$(num "$l" "max")
    row "slot change during a 1 MiB flood at the camera <= 100 ms, DebugMode=$mode" \
        "${worst:-?} ms at worst" \
        "$( [ "$(lost "$l")" = pass ] && judge "$worst" "<=" 100 || echo FAIL)"
    l=$(line "$out/system.txt" "driver idle again after the flood, DebugMode=$mode")
    row "driver idle again <= 1 s after the flood, DebugMode=$mode" \
        "$(sed -n 's/.*DebugMode=[01] *\([0-9]* ms\).*/\1/p' <<<"$l")" \
        "$([[ $l == *"[pass]"* ]] && echo pass || echo FAIL)"
done
for mode in 0 1; do
    l=$(line "$out/system.txt" "idle connected driver, DebugMode=$mode")
    idle=$(num "$l" "s =")
    row "idle connected driver, 1 s poll cycle, <= 0.1% of a core, DebugMode=$mode" \
        "${idle:-?} %" "$(judge "$idle" "<=" 0.1)"
done
l=$(line "$out/roundtrip.txt" "round trips/s")
row "infodriver round trip (change, echo, stored), every value stored" \
    "$(sed -n 's/.*: \([0-9]* round trips\/s, [0-9.]* us each\).*/\1/p' <<<"$l")" \
    "$([[ -n $l && $l != *"NOT STORED"* ]] && echo pass || echo FAIL)"
l=$(line "$out/comms.txt" "idle open port")
comms=$(num "$l" "s =")
row "idle open serial port < 0.1% of a core" "${comms:-?} %" "$(judge "$comms" "<" 0.1)"
row "serial receive loses nothing while the backlog fits the ring" \
    "$(grep -c "^sustained receive" "$out/comms.txt" || true) runs" \
    "$(grep -q FAIL "$out/comms.txt" || ! grep -q "^sustained receive" "$out/comms.txt" &&
        echo FAIL || echo pass)"
firstFiles=""
for n in ${farm//,/ }; do
    l=$(line "$out/farm.txt" "farm of $n: start until all connected")
    secs=$(num "$l" "link up")
    verdict=$(judge "$secs" "<=" 20)
    [[ $l == *"[ok]"* ]] || verdict=FAIL
    row "farm of $n: all started and connected in <= 20 s" \
        "$(sed -n 's/.*link up *\([^[]*\) \[.*/\1/p' <<<"$l")" "$verdict"
    l=$(line "$out/farm.txt" "farm of $n: CPU per device to start")
    row "farm of $n: CPU per device to start (grows only by the broadcasts)" \
        "$(sed -n 's/.*start *\(driver [0-9]* ms, infodriver [0-9]* ms\).*/\1/p' <<<"$l")" "-"
    l=$(line "$out/farm.txt" "farm of $n: idle")
    cpu=$(num "$l" "CPU")
    row "farm of $n: all idle <= 5% of a core" "${cpu:-?} %" "$(judge "$cpu" "<=" 5)"
    l=$(line "$out/farm.txt" "farm of $n: per driver")
    files=$(sed -n 's/.*(max \([0-9]*\)).*/\1/p' <<<"$l")
    firstFiles=${firstFiles:-$files}
    row "farm of $n: open files per driver bounded (as with ${farm%%,*})" \
        "PSS $(num "$l" "PSS") MiB, ${files:-?} files" \
        "$(judge "$files" "<=" "$((${firstFiles:-0} + 4))")"
done
echo
echo "Full output: $out"
exit $((fails > 0))
