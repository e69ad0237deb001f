#!/usr/bin/env bash
# Idle CPU of the Windows window program under Wine, beside Wine's own
# notepad as the yardstick, each as a share of one core over a sampling
# window, with the wineserver's share over the same window and the wake-ups
# per second of each thread (context switches) of the program:
#   1. the window, idle, without a unit;
#   2. the window, idle, with the built-in virtual unit plugged in;
#   3. notepad, idle (last: the prefix's first program pays for its fonts).
# Needs the Windows build (cmake --preset windows) and xvfb-run.
# Usage: bench/idle_cpu_wine.sh [BUILD_DIR] [SECONDS]   (defaults: build/windows 30)
#        QL5_WINDOW_EXE=other.exe bench/idle_cpu_wine.sh   (another build of the window)
# Runs itself on a virtual display when none is given.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/windows}
seconds=${2:-30}
if [ -z "${QL5_IDLE_ON_DISPLAY:-}" ]; then
  QL5_IDLE_ON_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$build" "$seconds"
fi
export WINEPREFIX=${WINEPREFIX:-$PWD/$build/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
hz=$(getconf CLK_TCK)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

# Ours, in the foreground, so that its pid is the one to sample (other
# prefixes on the machine have wineservers of their own); started before
# anything else of the prefix would start one of its own.
wineserver -k 2>/dev/null || true
wineserver -f -p &
server=$!
pids+=("$server")
sleep 1
timeout 300 wineboot -i >/dev/null 2>&1
sleep 10 # the services it started settle
kill -0 "$server" || { echo "the wineserver did not stay" >&2; exit 1; }

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
switches() {
  for t in /proc/"$1"/task/*; do
    printf '%s %s %s\n' "${t##*/}" "$(tr ' ' '_' <"$t/comm")" \
      "$(awk '/ctxt_switches/ { n += $2 } END { print n }' "$t/status")"
  done
}

# The Linux process that runs the .exe: the one of this prefix whose program
# (first argument, a Windows path) is it. Wine's launcher hands the program
# over to a new process, which can take a few seconds to appear.
exePid() {
  local name=${1,,} p first
  for _ in $(seq 600); do
    for p in $(pgrep -f -- "$1" || true); do
      first=$(tr '\0' '\n' <"/proc/$p/cmdline" 2>/dev/null | head -n1 | tr '\\' '/')
      first=${first##*/}
      [ "${first,,}" = "$name" ] || continue
      if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
        echo "$p"
        return
      fi
    done
    sleep 0.1
  done
  echo "$1 did not start" >&2
  return 1
}

measure() {
  local label=$1 pid=$2 a b sa sb
  sleep 5 # let start-up work finish
  a=$(ticks "$pid"); sa=$(ticks "$server")
  switches "$pid" >"/tmp/idle-wine-$$.before"
  sleep "$seconds"
  kill -0 "$pid" 2>/dev/null || { echo "$label: the program ended early" >&2; return 1; }
  b=$(ticks "$pid"); sb=$(ticks "$server")
  switches "$pid" >"/tmp/idle-wine-$$.after"
  awk -v d=$((b - a)) -v sd=$((sb - sa)) -v hz="$hz" -v s="$seconds" -v l="$label" \
    'BEGIN { printf "%-40s %5.2f %% of a core, wineserver %5.2f %%, over %d s\n",
             l ":", 100 * d / hz / s, 100 * sd / hz / s, s }'
  # Threads that woke more than once a second.
  join "/tmp/idle-wine-$$.before" "/tmp/idle-wine-$$.after" |
    awk -v s="$seconds" -v p="$pid" '{ r = ($5 - $3) / s; if (r > 1) printf "    thread %s%s %-16s %7.1f wakes/s\n", $1, ($1 == p ? " (main)" : ""), $2, r }'
  rm -f "/tmp/idle-wine-$$.before" "/tmp/idle-wine-$$.after"
}

run() {
  local label=$1 exe=$2 p
  shift 2
  "$@" wine "$exe" >/dev/null 2>&1 &
  pids+=($!)
  p=$(exePid "$(basename "$exe")")
  measure "$label" "$p"
  kill "$p" 2>/dev/null || true
  sleep 1
}

window=${QL5_WINDOW_EXE:-$build/app/ql5-updater.exe}
run "window, idle, no unit" "$window" env
run "window, idle, virtual unit plugged in" "$window" env QL5_VIRTUAL_UNIT=1
run "notepad, idle" notepad.exe env
