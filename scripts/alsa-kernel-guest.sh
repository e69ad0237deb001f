#!/usr/bin/env bash
# Runs inside the guest that scripts/alsa-kernel-test.sh boots (as root, in
# the host's userland seen read-only through a throw-away layer). The kernel
# command line gives: ql5_repo, ql5_results (writable, shared with the host),
# ql5_kroot and ql5_kver (Debian's kernel modules), ql5_serial_update.
# Exit 0 only when every step ended as expected.
set -uo pipefail
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
repo=$ql5_repo
res=$ql5_results
bin=$repo/build/debug
ql5=$bin/cli/ql5
emu=$bin/emulator/ql5-emulator
work=/tmp/ql5
mkdir -p "$work"
failed=0
t0=$(date +%s)

say() { printf '[guest %4ds] %s\n' $(($(date +%s) - t0)) "$*"; }
ok() { say "ok    $*"; }
bad() {
  say "FAIL  $*"
  failed=1
}
modules() { modprobe -d "$ql5_kroot" -S "$ql5_kver" "$@"; }
# Shows a failed step's output.
show() { sed 's/^/      | /' "$1" | tail -n "${2:-25}"; }
# waits up to $2 seconds for file $1 to contain text $3
wait_for_text() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    grep -qF -- "$3" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# The version report: the unit's system firmware before an update is 1.10,
# after it 1.20 (the version this program carries is 1.20).
versions_old() { grep -q 'SYSTEM:.*1\.10 -> 1\.20' "$1"; }
versions_new() { grep -q 'SYSTEM:.*1\.20 -> 1\.20' "$1"; }

say "kernel $(uname -r), $(nproc) CPUs"
# ql5_only: a comma-separated list of the steps to run (all when empty).
step() { [ -z "${ql5_only:-}" ] || [[ ",$ql5_only," == *",$1,"* ]]; }
modules -a snd-seq snd-seq-midi snd-seq-dummy snd-virmidi || bad "loading the sequencer modules"

# --- 1. the ALSA tests, against the kernel's own sequencer --------------------
alsa_tests() {
  ran=0 passed=0 skipped=0
  : >"$work/skips"
  for t in ql5_alsa_driver_test ql5_alsa_seq_codec_test ql5_alsa_port_rules_test \
    ql5_alsa_driver_fake_test ql5_alsa_rawmidi_fake_test "ql5_emulator_tool_test --gtest_filter=ToolAlsa.*"; do
    set -- $t
    exe=$(find "$bin/tests" -name "$1" -type f | head -n 1)
    log=$work/$1.log
    if [ -z "$exe" ]; then
      bad "$1: not built"
      continue
    fi
    shift
    (cd "$work" && timeout 300 "$exe" "$@") >"$log" 2>&1
    rc=$?
    n=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran.*/\1/p' "$log" | tail -n 1)
    p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?.*/\1/p' "$log" | tail -n 1)
    s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed.*/\1/p' "$log" | tail -n 1)
    ran=$((ran + ${n:-0})) passed=$((passed + ${p:-0})) skipped=$((skipped + ${s:-0}))
    grep -A1 '^\[ *SKIPPED *\] [A-Za-z]' "$log" >>"$work/skips" || true
    if [ "$rc" -ne 0 ]; then
      bad "$(basename "$exe") (exit $rc)"
      show "$log" 40
    fi
  done
  # Only the tests of a machine without a sequencer may skip here.
  if grep -h -A1 ': Skipped$' "$work"/*.log | grep -v -e ': Skipped$' -e '^--$' |
    grep -qv 'this machine has a sequencer'; then
    bad "a test skipped that should have run:"
    grep -h -A1 ': Skipped$' "$work"/*.log | show /dev/stdin
  fi
  summary="ALSA tests on the kernel's sequencer: $ran ran, $passed passed, $skipped skipped (those need a machine without a sequencer)"
  echo "$summary" >"$res/alsa-tests.txt"
  say "$summary"
  ((ran > 0 && passed + skipped == ran)) || bad "not every ALSA test passed"
}

# --- 2. a whole update through the sequencer ---------------------------------
seq_update() {
  local t
  t=$(date +%s)
  "$emu" --alsa --unplug-after-finish 1500 --replug-after 1000 --quiet >"$work/emu-seq.log" 2>&1 &
  local unit=$!
  wait_for_text "$work/emu-seq.log" 20 "ALSA sequencer client" || {
    bad "ql5-emulator --alsa did not come up"
    show "$work/emu-seq.log"
    kill "$unit"
    return
  }
  if timeout 120 "$ql5" version >"$work/seq-v1.log" 2>&1 && versions_old "$work/seq-v1.log"; then
    ok "sequencer: version before ($(($(date +%s) - t))s)"
  else
    bad "sequencer: version before"
    show "$work/seq-v1.log"
  fi
  local u
  u=$(date +%s)
  if timeout 300 "$ql5" update >"$work/seq-up.log" 2>&1 &&
    grep -qF "PLEASE UNPLUG THE USB CABLE" "$work/seq-up.log" &&
    grep -qF "Version update completed." "$work/seq-up.log"; then
    ok "sequencer: whole update, the unplug seen ($(($(date +%s) - u))s)"
  else
    bad "sequencer: whole update"
    show "$work/seq-up.log"
  fi
  # The unit comes back a second after it was unplugged.
  local i
  for ((i = 0; i < 200; i++)); do
    aconnect -l | grep -q "Tarvik QL-5 MIDI 1" && break
    sleep 0.1
  done
  t=$(date +%s)
  if timeout 120 "$ql5" version >"$work/seq-v2.log" 2>&1 && versions_new "$work/seq-v2.log"; then
    ok "sequencer: version after ($(($(date +%s) - t))s)"
  else
    bad "sequencer: version after"
    show "$work/seq-v2.log"
  fi
  kill "$unit" 2>/dev/null
  wait "$unit" 2>/dev/null
}
step tests && alsa_tests
step sequencer && seq_update

# --- 3. a real rawmidi card: a 16550 UART whose far end is the host's unit ---
# Asks the host for what it should put at the far end of the serial line:
# ql5-emulator with the given options, or "capture" (the line's output is
# saved in capture-N.bin); "--burst" adds a stream of clock bytes (F8) from
# the host to whatever the unit sends.
unit_seq=0
want_unit() {
  unit_seq=$((unit_seq + 1))
  echo "$*" >"$res/unit.want"
  local i
  for ((i = 0; i < 100; i++)); do
    [ "$(cat "$res/unit.ready" 2>/dev/null)" = "$unit_seq" ] && return 0
    sleep 0.1
  done
  bad "the host did not put a unit on the serial line"
  return 1
}
uart=/sys/bus/platform/drivers/snd_serial_u16550
card_bind() { echo snd_serial_u16550.0 >"$uart/$1"; }
# The card, its rawmidi node and its sequencer address, found afresh after
# every bind (the numbers may change).
find_card() {
  card= node= addr=
  local i
  for ((i = 0; i < 50; i++)); do
    card=$(awk '/Serial MIDI \(UART16550A\)/ && $1 ~ /^[0-9]+$/ { print $1; exit }' /proc/asound/cards)
    [ -n "$card" ] && node=/dev/snd/midiC${card}D0
    [ -n "$card" ] && addr=$(aconnect -l | awk -v c="card=$card]" '
      /^client/ { cl = ""; if (index($0, c)) { cl = $2; sub(":", "", cl) } }
      /^ +[0-9]+ / && cl != "" { print cl ":" $1; exit }')
    [ -n "$addr" ] && [ -e "$node" ] && return 0
    sleep 0.2
  done
  return 1
}
# What the kernel shows of the card's open input: its buffer and overruns.
input_status() { tr -s ' \t\n' ' ' <"/proc/asound/card$card/midi0" | grep -o 'Input.*' || true; }

modules snd-serial-u16550 port=0x3f8 irq=4 speed=115200 base=115200 adaptor=1 ||
  bad "loading snd-serial-u16550"
if ! find_card; then
  bad "no rawmidi card on the serial line (card '$card', node '$node', address '$addr')"
  cat /proc/asound/cards
  aconnect -l
  ls -l /dev/snd
  node=
else
  say "serial card $card: $node, sequencer port $addr"
  timeout 20 "$ql5" ports >"$work/ports.log" 2>&1
  show "$work/ports.log" 20
fi

# 3a. Long messages written straight to the node, as the raw byte-stream
# driver used to (4 KiB buffer, writes while the card sends) and as it does
# now (room for a whole message, one write, drained), with clock bytes
# coming in all the while (each interrupt also feeds the transmitter): what
# reached the far end, compared byte for byte. Only the second must be
# exact; the first shows whether this kernel corrupts writes made while the
# card is sending.
probe=$repo/scripts/alsa-kernel-probe.py
messages=100
if [ -n "$node" ] && step probe; then
  for mode in plain roomy; do
    want_unit capture --burst || break
    cap=$res/capture-$unit_seq.bin
    t=$(date +%s)
    if ! timeout 180 python3 "$probe" write "$node" "$mode" "$messages" >"$work/probe-$mode.log" 2>&1; then
      bad "writing to $node ($mode)"
      show "$work/probe-$mode.log"
      continue
    fi
    sleep 1
    want_unit --quiet || break
    verdict=$(python3 "$probe" compare "$cap" "$messages")
    rc=$?
    if [ "$mode" = roomy ] && [ "$rc" -ne 0 ]; then
      bad "writes to $node, $mode: $verdict"
    else
      ok "writes to $node, $mode ($(($(date +%s) - t))s): $verdict"
    fi
  done
fi

# 3b. A burst of input around every 4,699-byte read reply (clock bytes from
# the host throughout, another maker's SysEx before and after, real-time
# bytes inside): nothing may be lost, through the ALSA driver's rawmidi port
# and through the raw byte-stream driver on the node.
if [ -n "$node" ] && step burst && want_unit "--burst --quiet --fault read#*:foreign=before;read#*:realtime=inside;read#*:foreign=after"; then
  for via in alsa raw; do
    t=$(date +%s)
    if [ "$via" = alsa ]; then
      timeout 180 "$ql5" version --in "$addr" --out "$addr" >"$work/burst-$via.log" 2>&1 &
    else
      QL5_RAW_MIDI="QL-5 serial:$node:$node" timeout 180 "$ql5" version --in "QL-5 serial" \
        --out "QL-5 serial" >"$work/burst-$via.log" 2>&1 &
    fi
    v=$!
    seen=
    while kill -0 "$v" 2>/dev/null; do
      now=$(input_status)
      case "$now" in *"Buffer size"*) seen=$now ;; esac
      sleep 0.2
    done
    wait "$v"
    rc=$?
    if [ "$rc" = 0 ] && versions_old "$work/burst-$via.log"; then
      ok "burst of input, $via driver: version check ($(($(date +%s) - t))s); kernel: ${seen:-input not seen open}"
    else
      bad "burst of input, $via driver: version check (exit $rc); kernel: ${seen:-}"
      show "$work/burst-$via.log"
    fi
    case "$seen" in *"Buffer size : 65536 "*"Overruns : 0 "*) ;; *)
      bad "burst of input, $via driver: not a 64 KiB input buffer without overruns" ;;
    esac
  done
fi

# 3c. The card held by other programs through the sequencer (its input by
# aseqdump, its output by a subscription from Midi Through): our rawmidi
# opens are refused, and the driver goes through the sequencer.
if [ -n "$node" ] && step held && want_unit "--quiet"; then
  aseqdump -p "$addr" >/dev/null 2>&1 &
  holder=$!
  aconnect 14:0 "$addr" || bad "subscribing Midi Through to $addr"
  sleep 1
  held=$(grep -c 'Owner PID' "/proc/asound/card$card/midi0")
  t=$(date +%s)
  if timeout 180 "$ql5" version --in "$addr" --out "$addr" >"$work/held-v.log" 2>&1 &&
    versions_old "$work/held-v.log"; then
    ok "card held by aseqdump and Midi Through ($held substreams): version check through the sequencer ($(($(date +%s) - t))s)"
  else
    bad "card held by other programs: version check"
    show "$work/held-v.log"
  fi
  aconnect -d 14:0 "$addr"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
fi

# 3d. The card unbound in the middle of a write: each write block waits its
# 1 s and is sent again, and the 32nd failure ends the update with "Time out
# error(2)" (exit 7); no hang, no crash.
if [ -n "$node" ] && step unbind && want_unit "--quiet"; then
  timeout 300 "$ql5" update --in "$addr" --out "$addr" >"$work/unbind.log" 2>&1 &
  up=$!
  if wait_for_text "$work/unbind.log" 120 "writing image"; then
    sleep 2
    # The unbind returns only when every program has closed the card.
    t=$(date +%s)
    card_bind unbind &
    unbinding=$!
    wait "$up"
    rc=$?
    took=$(($(date +%s) - t))
    wait "$unbinding"
    if [ "$rc" = 7 ] && grep -qF "Time out error(2)" "$work/unbind.log" && ((took >= 25 && took <= 90)); then
      ok "card unbound mid-write: \"Time out error(2)\", exit 7, ${took}s after the unbind"
    else
      bad "card unbound mid-write: exit $rc ${took}s after the unbind"
      show "$work/unbind.log"
      dmesg | tail -n 8
    fi
  else
    bad "card unbound mid-write: the update never reached a write"
    show "$work/unbind.log"
    kill "$up" 2>/dev/null
  fi
  card_bind bind 2>/dev/null
  find_card || bad "the card did not come back after binding"
fi

# 3e. The whole update over the card (about six minutes here): the unplug is
# the card's unbind; after binding it again the versions are the new ones.
if [ -n "$node" ] && [ "${ql5_serial_update:-0}" = 1 ] && step update &&
  want_unit "--quiet --unplug-after-finish 500 --replug-after 1000"; then
  t=$(date +%s)
  timeout 900 "$ql5" update --in "$addr" --out "$addr" >"$work/serial-up.log" 2>&1 &
  up=$!
  unbinding=
  if wait_for_text "$work/serial-up.log" 900 "PLEASE UNPLUG THE USB CABLE"; then
    sleep 1
    card_bind unbind &
    unbinding=$!
  fi
  wait "$up"
  rc=$?
  [ -n "$unbinding" ] && wait "$unbinding"
  if [ "$rc" = 0 ] && grep -qF "Version update completed." "$work/serial-up.log"; then
    ok "serial card: whole update, unplugged by unbinding ($(($(date +%s) - t))s)"
  else
    bad "serial card: whole update (exit $rc)"
    show "$work/serial-up.log"
  fi
  card_bind bind 2>/dev/null
  find_card || bad "the card did not come back after binding"
  if timeout 180 "$ql5" version --in "$addr" --out "$addr" >"$work/serial-v.log" 2>&1 &&
    versions_new "$work/serial-v.log"; then
    ok "serial card: version after re-binding"
  else
    bad "serial card: version after re-binding"
    show "$work/serial-v.log"
  fi
fi

cp "$work"/*.log "$res/" 2>/dev/null
say "guest steps done, failed=$failed"
exit "$failed"
