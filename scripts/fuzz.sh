#!/usr/bin/env bash
# libFuzzer (clang, ASan + UBSan) over the two parsers of bytes from outside,
# a fixed number of runs each so that every CI run covers as much: the SysEx
# joiner, then the reply dispatcher, side by side on two cores.
# Usage: scripts/fuzz.sh [JOINER_RUNS] [DISPATCHER_RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
joiner_runs=${1:-3000000}
dispatcher_runs=${2:-7000000}
scripts/deps.sh
cmake --preset fuzz
cmake --build --preset fuzz --target ql5_sysex_joiner_fuzz ql5_dispatcher_fuzz
dir=build/fuzz/tests/fuzz
"$dir/ql5_sysex_joiner_fuzz" -runs="$joiner_runs" -print_final_stats=1 >"$dir/joiner.log" 2>&1 &
joiner=$!
"$dir/ql5_dispatcher_fuzz" -runs="$dispatcher_runs" -print_final_stats=1 >"$dir/dispatcher.log" 2>&1 &
dispatcher=$!
status=0
wait "$joiner" || status=1
wait "$dispatcher" || status=1
for f in joiner dispatcher; do
  echo "--- $f"
  tail -n 12 "$dir/$f.log"
done
execs=$(grep -h 'stat::number_of_executed_units' "$dir/joiner.log" "$dir/dispatcher.log" |
        awk '{s += $2} END {print s + 0}')
echo "fuzz: $execs executions in all"
exit "$status"
