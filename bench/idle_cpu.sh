#!/usr/bin/env bash
# Idle CPU of the programs, as a share of one core over a sampling window:
#   1. the window, open and doing nothing (offscreen), without a unit;
#   2. the window with the built-in virtual unit plugged in;
#   3. ql5 after a whole update (production timing), while it waits for the
#      unit to be unplugged (ql5-emulator over two FIFOs, told never to unplug).
# Usage: bench/idle_cpu.sh [BUILD_DIR] [SECONDS]   (defaults: build/release 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
seconds=${2:-30}
hz=$(getconf CLK_TCK)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# utime + stime of every thread of the process, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Prints "LABEL: N.NN % of a core over S s" for the running process PID.
measure() {
  local label=$1 pid=$2 a b
  sleep 2 # let start-up work finish
  a=$(ticks "$pid")
  sleep "$seconds"
  kill -0 "$pid" 2>/dev/null || { echo "$label: the program ended early" >&2; return 1; }
  b=$(ticks "$pid")
  awk -v d=$((b - a)) -v hz="$hz" -v s="$seconds" -v l="$label" \
    'BEGIN { printf "%-44s %5.2f %% of a core over %d s\n", l ":", 100 * d / hz / s, s }'
}

export QT_QPA_PLATFORM=offscreen

"$build/app/ql5-updater" >"$work/window.log" 2>&1 &
pids+=($!)
measure "window, idle, no unit" "$!"
kill "${pids[-1]}"

QL5_VIRTUAL_UNIT=1 "$build/app/ql5-updater" >"$work/window-virtual.log" 2>&1 &
pids+=($!)
measure "window, idle, virtual unit plugged in" "$!"
kill "${pids[-1]}"

mkfifo "$work/to-host" "$work/to-unit"
"$build/emulator/ql5-emulator" --stream "$work/to-unit" "$work/to-host" --quiet \
  --unplug-after-finish 3600000 >"$work/emulator.log" 2>&1 &
pids+=($!)
sleep 1
QL5_RAW_MIDI="Tarvik QL-5 MIDI 1:$work/to-host:$work/to-unit" \
  "$build/cli/ql5" update --in "Tarvik QL-5 MIDI 1" --out "Tarvik QL-5 MIDI 1" \
  >"$work/ql5.out" 2>"$work/ql5.err" &
ql5=$!
pids+=("$ql5")
for _ in $(seq 600); do
  grep -qs "UNPLUG" "$work/ql5.err" && break
  kill -0 "$ql5" 2>/dev/null || break
  sleep 0.5
done
if ! grep -q "UNPLUG" "$work/ql5.err"; then
  echo "ql5 never asked for the unplug:" >&2
  cat "$work/ql5.err" >&2
  exit 1
fi
measure "ql5 update, waiting for the unplug" "$ql5"
