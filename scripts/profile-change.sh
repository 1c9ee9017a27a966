#!/usr/bin/env bash
# The cost of one slot change inside the driver, measured so that the machine's load does not
# matter: instructions (callgrind) and system calls (strace -c -f) of a headless driver while
# system_bench sends a fixed number of slot 8 changes. Each tool runs twice, with FEW and MANY
# changes, and the difference divided by MANY-FEW is the cost of one change (start-up and
# shutdown cancel out). A pause after each change (--gap, 10 ms) lets the slowed-down driver
# handle the camera's reply before the next change, as it does at full speed; the 1 s polls that
# fall into the longer run are counted with the changes (about one per 80 changes).
#
# Usage: scripts/profile-change.sh [--debug 0|1] [--few N] [--many N] [--tool callgrind|strace|both]
#                                [--gap MS]
# Needs a built tree (build/bin). The callgrind files are kept for callgrind_annotate.
set -euo pipefail
cd "$(dirname "$0")/.."

debug=0 few=200 many=1200 tool=both gap=10
while (($#)); do
    case $1 in
        --debug) debug=$2; shift ;;
        --few) few=$2; shift ;;
        --many) many=$2; shift ;;
        --tool) tool=$2; shift ;;
        --gap) gap=$2; shift ;;
        *) echo "usage: scripts/profile-change.sh [--debug 0|1] [--few N] [--many N]" \
                "[--tool callgrind|strace|both] [--gap MS]" >&2; exit 1 ;;
    esac
    shift
done

bin=$(realpath build/bin)
out=$(mktemp -d /tmp/profile-change-XXXXXX)

# system_bench runs the programs found beside itself, so a copy of it goes into a folder where
# camlet32 is a wrapper that runs the real driver under the tool.
prepare() {  # TOOL N
    local dir=$out/$1-$2
    mkdir -p "$dir/bin"
    ln -s "$bin/../lib" "$dir/lib"
    for f in "$bin"/*; do ln -s "$f" "$dir/bin/"; done
    rm "$dir/bin/system_bench" "$dir/bin/camlet32"
    cp "$bin/system_bench" "$dir/bin/"
    case $1 in
        callgrind)
            printf '#!/bin/sh\nexec valgrind --tool=callgrind --callgrind-out-file=%s %s "$@"\n' \
                "$dir/callgrind.out" "$bin/camlet32" >"$dir/bin/camlet32" ;;
        strace)
            # strace attaches to the wrapper, which then becomes the driver: the benchmark's
            # SIGTERM reaches the driver itself, not the tracer.
            printf '%s\n' '#!/bin/sh' \
                "strace -c -f -o $dir/strace.txt -p \$\$ 2>/dev/null &" \
                "until grep -q '^TracerPid:[[:space:]]*[1-9]' /proc/\$\$/status; do sleep 0.01; done" \
                "exec $bin/camlet32 \"\$@\"" >"$dir/bin/camlet32" ;;
    esac
    chmod +x "$dir/bin/camlet32"
    echo "$dir"
}

run() {  # TOOL N
    local dir
    dir=$(prepare "$1" "$2")
    "$dir/bin/system_bench" --count "$2" --gap "$gap" --processes 0 --seconds 0 --idle 0 --flood 0 \
        --network "" --unreachable 0 --debug "$debug" >"$dir/bench.txt" 2>&1 ||
        { echo "system_bench failed; see $dir/bench.txt" >&2; exit 1; }
    grep -q "ok: $2 packets, $2 echoes" "$dir/bench.txt" ||
        { echo "changes lost; see $dir/bench.txt" >&2; exit 1; }
}

instructions() { sed -n 's/^summary: *//p' "$out/callgrind-$1/callgrind.out"; }
# strace -c rows: % time, seconds, usecs/call, calls, [errors,] name.
syscalls() { awk '$NF == "total" { print $4 }' "$out/strace-$1/strace.txt"; }

echo "DebugMode=$debug, $few and $many changes; files in $out"
if [[ $tool == callgrind || $tool == both ]]; then
    run callgrind "$few"
    run callgrind "$many"
    a=$(instructions "$few") b=$(instructions "$many")
    echo "instructions per change: $(((b - a) / (many - few)))  ($a for $few, $b for $many)"
    echo "  per function: callgrind_annotate --inclusive=yes $out/callgrind-$many/callgrind.out"
fi
if [[ $tool == strace || $tool == both ]]; then
    run strace "$few"
    run strace "$many"
    a=$(syscalls "$few") b=$(syscalls "$many")
    echo "system calls per change: $(awk -v a="$a" -v b="$b" -v n=$((many - few)) \
        'BEGIN { printf "%.1f", (b - a) / n }')  ($a for $few, $b for $many)"
    # Per call name: the difference of the two tables, per change.
    awk -v n=$((many - few)) '
        FNR == 1 { file++ }
        $1 ~ /^[0-9.]+$/ && $NF != "total" {
            if (file == 1) few[$NF] = $4; else many[$NF] = $4
        }
        END { for (k in many) { d = (many[k] - few[k]) / n; if (d >= 0.05)
              printf "  %-20s %6.2f\n", k, d } }' \
        "$out/strace-$few/strace.txt" "$out/strace-$many/strace.txt" | sort -k2 -nr
fi
