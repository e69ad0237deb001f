#!/usr/bin/env bash
# Runs inside the guest that scripts/alsa-kernel-test.sh boots (as root, in
# the host's userland seen read-only through a throw-away layer). The kernel
# command line gives: ql5_repo, ql5_results (writable, shared with the host),
# ql5_kroot and ql5_kver (Debian's kernel modules), ql5_serial_update,
# ql5_usb_update.
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
# the same with an extended regular expression
wait_for_re() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    grep -qE -- "$3" "$1" 2>/dev/null && return 0
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

# 3d. The card unbound in the middle of a write: the driver sees the card go
# (the write is refused, the input closes), so the update ends at once with
# the message its 32nd resend would bring, "Time out error(2)" (exit 7), or
# at a marker "Transfer error occurred." (exit 8), rather than after 32
# resends of a second each; no hang, no crash.
if [ -n "$node" ] && step unbind && want_unit "--quiet"; then
  timeout 300 "$ql5" update --in "$addr" --out "$addr" >"$work/unbind.log" 2>&1 &
  up=$!
  # Inside the largest image, so that the cut comes during its writes.
  if wait_for_text "$work/unbind.log" 240 "writing image 136"; then
    sleep 2
    # The unbind returns only when every program has closed the card.
    t=$(date +%s)
    card_bind unbind &
    unbinding=$!
    wait "$up"
    rc=$?
    took=$(($(date +%s) - t))
    wait "$unbinding"
    # At a block the message is a write's; at one of the markers between
    # blocks it is "Transfer error occurred." (exit 8): nothing was erased
    # or written there.
    if { { [ "$rc" = 7 ] && grep -qF "Time out error(2)" "$work/unbind.log"; } ||
      { [ "$rc" = 8 ] && grep -qF "Transfer error occurred." "$work/unbind.log"; }; } && ((took <= 20)); then
      ok "card unbound mid-write: \"$(grep -o 'Time out error(2)\|Transfer error occurred\.' "$work/unbind.log" | head -n 1)\", exit $rc, ${took}s after the unbind"
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

# --- 4. the unit as a USB-MIDI device ------------------------------------------
# A configfs gadget with one MIDI function on dummy_hcd (a USB device and
# host controller in one module, joined inside the kernel): snd-usb-audio
# makes the host's card of it as of any USB-MIDI unit, and ql5-emulator
# serves the unit on the gadget side's rawmidi node (the f_midi card). An
# unbind of the gadget is the cable pulled: snd-usb-audio removes the card,
# the f_midi card goes too; a bind plugs it in again.
gadgets=/sys/kernel/config/usb_gadget
# make_gadget NAME SERIAL CARD_ID: manufacturer "Tarvik", product "Tarvik QL-5"
# (snd-usb-audio names the card after the product and the port "PRODUCT MIDI 1").
make_gadget() {
  local g=$gadgets/$1
  mkdir -p "$g" || return 1
  echo 0x1209 >"$g/idVendor"
  echo 0x0001 >"$g/idProduct"
  mkdir -p "$g/strings/0x409" "$g/configs/c.1" "$g/functions/midi.usb0" || return 1
  echo Tarvik >"$g/strings/0x409/manufacturer"
  echo "Tarvik QL-5" >"$g/strings/0x409/product"
  echo "$2" >"$g/strings/0x409/serialnumber"
  echo 1 >"$g/functions/midi.usb0/in_ports"
  echo 1 >"$g/functions/midi.usb0/out_ports"
  echo "$3" >"$g/functions/midi.usb0/id"
  ln -s "$g/functions/midi.usb0" "$g/configs/c.1/" || return 1
}
# gadget_bind NAME UDC / gadget_unbind NAME
gadget_bind() { echo "$2" >"$gadgets/$1/UDC"; }
gadget_unbind() { echo "" >"$gadgets/$1/UDC"; }
# find_usb HCD_INDEX: the host's card on dummy_hcd.N (usb_card), its rawmidi
# node (usb_node) and sequencer address (usb_addr), found afresh each time.
find_usb() {
  usb_card= usb_node= usb_addr=
  local i
  for ((i = 0; i < ${2:-100}; i++)); do
    usb_card=$(awk -v at="usb-dummy_hcd.$1-" '
      $1 ~ /^[0-9]+$/ { c = $1; next }
      index($0, at) && index($0, "Tarvik QL-5") { print c; exit }' /proc/asound/cards)
    [ -n "$usb_card" ] && usb_node=/dev/snd/midiC${usb_card}D0
    [ -n "$usb_card" ] && usb_addr=$(aconnect -l | awk -v c="card=$usb_card]" '
      /^client/ { cl = ""; if (index($0, c)) { cl = $2; sub(":", "", cl) } }
      /^ +[0-9]+ / && cl != "" { print cl ":" $1; exit }')
    [ -n "$usb_addr" ] && [ -e "$usb_node" ] && return 0
    sleep 0.2
  done
  return 1
}
usb_gone() { ! awk -v at="usb-dummy_hcd.$1-" 'index($0, at) { f = 1 } END { exit !f }' /proc/asound/cards; }

usb_step() {
  local t u rc took
  t=$(date +%s)
  modules -a configfs libcomposite usb_f_midi snd-usb-audio && modules dummy_hcd num=2 ||
    { bad "usb: loading the USB modules"; return; }
  mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config
  make_gadget ql5a QL5-0001 QL5GadgetA || { bad "usb: making the gadget"; return; }
  gadget_bind ql5a dummy_udc.0 || { bad "usb: binding the gadget to dummy_udc.0"; return; }
  if ! find_usb 0; then
    bad "usb: no card from snd-usb-audio"
    cat /proc/asound/cards
    return
  fi
  say "usb: gadget bound, host card $usb_card ($usb_node, sequencer $usb_addr) in $(($(date +%s) - t))s"
  usb_card0=$usb_card usb_addr0=$usb_addr
  sed 's/^/      | /' /proc/asound/cards
  # 4a. Long SysEx messages across the USB path, both ways, compared byte
  # for byte: written to one side's rawmidi node, read from the other's.
  local gnode from to cap verdict
  gnode=/dev/snd/midiC$(readlink /proc/asound/QL5GadgetA | sed 's/^card//')D0
  for dir in host-to-unit unit-to-host; do
    if [ "$dir" = host-to-unit ]; then from=$usb_node to=$gnode; else from=$gnode to=$usb_node; fi
    cap=$work/usb-$dir.bin
    t=$(date +%s)
    timeout 120 python3 "$probe" capture "$to" "$cap" "$usb_messages" >"$work/usb-$dir.log" 2>&1 &
    local catcher=$!
    wait_for_text "$work/usb-$dir.log" 20 ready
    timeout 120 python3 "$probe" write "$from" roomy "$usb_messages" >>"$work/usb-$dir.log" 2>&1 ||
      bad "usb: writing to $from"
    wait "$catcher"
    verdict=$(python3 "$probe" compare "$cap" "$usb_messages")
    if [ $? = 0 ]; then
      ok "usb: $usb_messages SysEx messages of 4,699 bytes, $dir ($(($(date +%s) - t))s): $verdict"
    else
      bad "usb: $dir: $verdict"
    fi
  done

  mkfifo "$work/usb-emu.in"
  # After the finish reply the unit lets go of the node, as a unit that
  # restarts does, and takes it again once it is back (the script unbinds
  # and binds the gadget: that is the cable).
  "$emu" --rawmidi QL5GadgetA --quiet --unplug-after-finish 500 --replug-after 1000 \
    <"$work/usb-emu.in" >"$work/usb-emu.log" 2>&1 &
  local unit=$!
  exec 7>"$work/usb-emu.in"
  if ! wait_for_text "$work/usb-emu.log" 20 "kernel buffers 65536"; then
    bad "usb: ql5-emulator --rawmidi did not come up with 64 KiB buffers"
    show "$work/usb-emu.log"
  fi

  # 4b. The ports as snd-usb-audio names them.
  timeout 30 "$ql5" ports >"$work/usb-ports.log" 2>&1
  if grep -F "Tarvik QL-5 MIDI 1" "$work/usb-ports.log" | grep -qF "$usb_addr"; then
    ok "usb: ql5 ports lists \"Tarvik QL-5 MIDI 1\" at $usb_addr"
  else
    bad "usb: ql5 ports"
  fi
  show "$work/usb-ports.log" 12

  # 4c. The version check through the card's rawmidi (the default choice),
  # then through the sequencer while aseqdump holds the card's input.
  u=$(date +%s)
  if timeout 120 "$ql5" version >"$work/usb-v-raw.log" 2>&1 && versions_old "$work/usb-v-raw.log"; then
    ok "usb: version through the card's rawmidi ($(($(date +%s) - u))s)"
  else
    bad "usb: version through the card's rawmidi"
    show "$work/usb-v-raw.log"
  fi
  aseqdump -p "$usb_addr" >/dev/null 2>&1 &
  local holder=$!
  aconnect 14:0 "$usb_addr" || bad "usb: subscribing Midi Through to $usb_addr"
  sleep 1
  u=$(date +%s)
  if timeout 120 "$ql5" version --in "$usb_addr" --out "$usb_addr" >"$work/usb-v-seq.log" 2>&1 &&
    versions_old "$work/usb-v-seq.log"; then
    ok "usb: version through the sequencer, the card held by aseqdump and Midi Through ($(($(date +%s) - u))s)"
  else
    bad "usb: version through the sequencer"
    show "$work/usb-v-seq.log"
  fi
  aconnect -d 14:0 "$usb_addr"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null

  # 4d. The cable pulled mid-write: the gadget unbound while a block is on
  # its way, once through the card's rawmidi and once through the sequencer
  # (aseqdump holding the card's input, Midi Through its output). The kernel tells at once (the card gone,
  # writes refused, the client's exit announced): the update ends with
  # "Time out error(2)", exit 7 (at a marker "Transfer error occurred.",
  # exit 8), within seconds rather than after 32 resends.
  local card0=$usb_card addr0=$usb_addr via at said
  for via in rawmidi sequencer; do
    [ "$via" = sequencer ] && { gadget_bind ql5a dummy_udc.0 && find_usb 0 || { bad "usb: no card for the second cut"; break; }; }
    holder=
    if [ "$via" = sequencer ]; then
      aseqdump -p "$usb_addr" >/dev/null 2>&1 &
      holder=$!
      aconnect 14:0 "$usb_addr" || bad "usb: subscribing Midi Through to $usb_addr"
      sleep 1
    fi
    rm -f "$work/usb-cut.end"
    (
      timeout 300 "$ql5" update --in "$usb_addr" --out "$usb_addr" >"$work/usb-cut-$via.log" 2>&1
      echo "$? $(date +%s%N)" >"$work/usb-cut.end"
    ) &
    up=$!
    # Through the rawmidi the first images go by in seconds, and on a loaded
    # machine the cut could land at the erase after one (Time out
    # error(3)): it is made inside the largest image. The sequencer's pace
    # keeps it in the first.
    at="writing image"
    [ "$via" = rawmidi ] && at="writing image 136"
    if wait_for_text "$work/usb-cut-$via.log" 150 "$at"; then
      sleep 3
      t=$(date +%s%N)
      gadget_unbind ql5a
      local unbound=$((($(date +%s%N) - t) / 1000000))
      wait "$up"
      local end
      read -r rc end <"$work/usb-cut.end"
      took=$(((end - t) / 1000000))
      # At a block the message is the write's; at one of the markers
      # between blocks (every 64) it is "Transfer error occurred.".
      said=$(grep -oE 'Time out error\(2\)|Transfer error occurred\.' "$work/usb-cut-$via.log" | tail -n 1)
      if { { [ "$rc" = 7 ] && [ "$said" = "Time out error(2)" ]; } ||
        { [ "$rc" = 8 ] && [ "$said" = "Transfer error occurred." ]; }; } && ((took <= usb_cut_limit * 1000)); then
        ok "usb: gadget unbound mid-write ($via): \"$said\", exit $rc, ${took} ms after the unbind began (the unbind took ${unbound} ms)"
      else
        bad "usb: gadget unbound mid-write ($via): exit $rc ${took} ms after the unbind began (it took ${unbound} ms; limit ${usb_cut_limit}s)"
        show "$work/usb-cut-$via.log"
      fi
      usb_gone 0 || bad "usb: the card is still there after the unbind"
      if [ "$via" = sequencer ]; then
        grep -qF "is held by another program, so the bytes go through the ALSA sequencer" \
          "$work/usb-cut-$via.log" && ok "usb: the user is told why the sequencer's way is slow" ||
          bad "usb: no word on why the sequencer's way is slow"
      fi
    else
      bad "usb: the update never reached a write ($via)"
      show "$work/usb-cut-$via.log"
      kill "$up" 2>/dev/null
      wait "$up" 2>/dev/null
      gadget_unbind ql5a
    fi
    [ -n "$holder" ] && { kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; }
  done
  kill -0 "$unit" 2>/dev/null || bad "usb: ql5-emulator ended when the gadget went"
  echo stamps >&7  # the unit's stamps as the cut left them, into its log

  # 4e. Plugged in again: a new card; the unit is found and answers (the
  # same emulator, its flash as the cut left it).
  t=$(date +%s)
  gadget_bind ql5a dummy_udc.0 || bad "usb: binding the gadget again"
  if find_usb 0; then
    say "usb: re-bound: host card $usb_card ($usb_addr; before: $card0, $addr0) in $(($(date +%s) - t))s"
    u=$(date +%s)
    # The same unit, as the cut left it: its SYSTEM region was erased for the
    # new image, so it no longer reports 1.10.
    if timeout 120 "$ql5" version >"$work/usb-v-again.log" 2>&1 && grep -q 'SYSTEM:' "$work/usb-v-again.log" &&
      ! versions_old "$work/usb-v-again.log"; then
      ok "usb: version after re-binding ($(($(date +%s) - u))s): $(grep 'SYSTEM:' "$work/usb-v-again.log" | head -n 1)"
    else
      bad "usb: version after re-binding"
      show "$work/usb-v-again.log"
    fi
  else
    bad "usb: no card after binding again"
  fi

  # 4f. The whole update after the cut (three to six minutes under TCG),
  # through the card's rawmidi: it must finish the job the cut left, and its
  # unplug step must see the unbind; re-bound, the unit reports the new
  # versions.
  if [ -n "$usb_addr" ]; then
    u=$(date +%s)
    timeout 900 "$ql5" update >"$work/usb-up.log" 2>&1 &
    up=$!
    local unbound=0
    if wait_for_text "$work/usb-up.log" 900 "PLEASE UNPLUG THE USB CABLE"; then
      sleep 1
      gadget_unbind ql5a && unbound=1
    fi
    wait "$up"
    rc=$?
    if [ "$rc" = 0 ] && ((unbound)) && grep -qF "Version update completed." "$work/usb-up.log"; then
      ok "usb: whole update after the cut, the unplug seen ($(($(date +%s) - u))s)"
    else
      bad "usb: whole update after the cut (exit $rc)"
      show "$work/usb-up.log"
    fi
    gadget_bind ql5a dummy_udc.0
    if find_usb 0 && timeout 120 "$ql5" version >"$work/usb-v-new.log" 2>&1 &&
      versions_new "$work/usb-v-new.log"; then
      ok "usb: version after the whole update"
    else
      bad "usb: version after the whole update"
      show "$work/usb-v-new.log"
    fi
  fi
  exec 7>&-
  kill "$unit" 2>/dev/null
  wait "$unit" 2>/dev/null
  show "$work/usb-emu.log" 6
  gadget_unbind ql5a 2>/dev/null
  usb_window
  usb_two
}

# 4g. The window on the offscreen platform, through the ALSA driver (the
# test program that drives the real window from its standard input): it
# finds the unit on the USB card and checks its versions; unplugged, a
# Rescan finds no unit; plugged in again (a new card), a Rescan finds it and
# the version check answers again.
usb_window() {
  local probe unit n
  probe=$(find "$bin/tests" -name ql5_app_probe -type f | head -n 1)
  if [ -z "$probe" ]; then
    bad "usb: the window's test program (ql5_app_probe) is not built"
    return
  fi
  gadget_bind ql5a dummy_udc.0 && find_usb 0 || { bad "usb: window: no card"; return; }
  "$emu" --rawmidi QL5GadgetA --quiet >"$work/usb-win-emu.log" 2>&1 &
  unit=$!
  rm -f "$work/probe.in"
  mkfifo "$work/probe.in"
  QT_QPA_PLATFORM=offscreen QL5_PROBE_SYSTEM_DRIVERS=1 QL5_PROBE_SCOPE=guest \
    timeout 300 "$probe" <"$work/probe.in" >"$work/usb-window.log" 2>&1 &
  local win=$!
  exec 8>"$work/probe.in"
  # state N: the Nth STATE line (Execute enabled, Version Check enabled, busy,
  # status, selected input, selected output)
  state() {
    echo report >&8
    local i
    for ((i = 0; i < 100; i++)); do
      (($(grep -c '^STATE' "$work/usb-window.log") >= $1)) && break
      sleep 0.1
    done
    grep '^STATE' "$work/usb-window.log" | sed -n "${1}p"
  }
  boxes() { grep -c '^BOX' "$work/usb-window.log"; }
  wait_for_text "$work/usb-window.log" 60 "TITLE" || bad "usb: window: it did not come up"
  local s1 s2 s3
  s1=$(state 1)
  echo "click 1007" >&8  # Version Check
  for ((n = 0; n < 600 && $(boxes) < 1; n++)); do sleep 0.1; done
  gadget_unbind ql5a
  echo "click 1004" >&8  # Rescan
  sleep 1
  s2=$(state 2)
  gadget_bind ql5a dummy_udc.0
  find_usb 0 || bad "usb: window: no card after binding again"
  echo "click 1004" >&8
  sleep 1
  s3=$(state 3)
  echo "click 1007" >&8
  for ((n = 0; n < 600 && $(boxes) < 2; n++)); do sleep 0.1; done
  echo close >&8
  exec 8>&-
  wait "$win"
  local tab=$'\t'
  if [[ "$s1" == "STATE${tab}1${tab}1${tab}"*"${tab}Tarvik QL-5 MIDI 1${tab}Tarvik QL-5 MIDI 1" ]] &&
    [[ "$s2" == "STATE${tab}0${tab}0${tab}"* ]] &&
    [[ "$s3" == "STATE${tab}1${tab}1${tab}"*"${tab}Tarvik QL-5 MIDI 1${tab}Tarvik QL-5 MIDI 1" ]] &&
    (($(grep -c '^BOX.Version Information.*SYSTEM' "$work/usb-window.log") == 2)); then
    ok "usb: the window finds the unit on the card, loses it unplugged, finds it after a Rescan; two version reports"
  else
    bad "usb: the window through the card"
    show "$work/usb-window.log" 20
  fi
  kill "$unit" 2>/dev/null
  wait "$unit" 2>/dev/null
  gadget_unbind ql5a 2>/dev/null
}

# 4h. Two units at once: a second gadget on dummy_udc.1 with its own serial
# number. Both cards are named alike ("Tarvik QL-5", port "Tarvik QL-5 MIDI
# 1"); ql5 pairs each card's ports by its client and tells them apart by it.
# update --all with one of them unplugged mid-write: that one fails alone,
# the other goes on writing (then it is unplugged too, to keep CI short).
usb_two() {
  local t a b ua ub rc n0 n1 card_a
  make_gadget ql5b QL5-0002 QL5GadgetB || { bad "usb: making the second gadget"; return; }
  # The second unit is plugged in first, so it takes the card number the
  # first had: the first comes back under another card and client.
  gadget_bind ql5b dummy_udc.1 && find_usb 1 && gadget_bind ql5a dummy_udc.0 ||
    { bad "usb: binding two gadgets"; return; }
  find_usb 0 && a=$usb_addr && card_a=$usb_card && find_usb 1 && b=$usb_addr ||
    { bad "usb: two cards"; cat /proc/asound/cards; return; }
  say "usb: two units: $a and $b"
  "$emu" --rawmidi QL5GadgetA --unplug-after-finish 500 --replug-after 1000 >"$work/usb-emu-a.log" 2>&1 &
  ua=$!
  "$emu" --rawmidi QL5GadgetB --quiet --unplug-after-finish 500 --replug-after 1000 >"$work/usb-emu-b.log" 2>&1 &
  ub=$!
  wait_for_text "$work/usb-emu-a.log" 20 "kernel buffers" && wait_for_text "$work/usb-emu-b.log" 20 "kernel buffers" ||
    bad "usb: the two emulators did not come up"
  t=$(date +%s)
  if timeout 180 "$ql5" version --all >"$work/usb-all-v.log" 2>"$work/usb-all-v.err" &&
    grep -qF "Tarvik QL-5 MIDI 1 (client ${a%:*})" "$work/usb-all-v.log" &&
    grep -qF "Tarvik QL-5 MIDI 1 (client ${b%:*})" "$work/usb-all-v.log"; then
    ok "usb: version --all finds both units, told apart by client ($(($(date +%s) - t))s)"
  else
    bad "usb: version --all"
    show "$work/usb-all-v.err"
  fi
  show "$work/usb-all-v.log" 4
  # The first unit under its new number: the default choice (the last
  # "Tarvik QL-5" ports, marked * by ql5 ports) is its card now, and its
  # emulator is the one that answers the version check.
  timeout 30 "$ql5" ports >"$work/usb-ports-moved.log" 2>&1
  n0=$(wc -l <"$work/usb-emu-a.log")
  if [ "$card_a" != "$usb_card0" ] && [ "$a" != "$usb_addr0" ] &&
    grep -E '^ +\*' "$work/usb-ports-moved.log" | grep -qF "$a" &&
    timeout 120 "$ql5" version >"$work/usb-v-moved.log" 2>&1 && grep -q 'SYSTEM:' "$work/usb-v-moved.log" &&
    (($(wc -l <"$work/usb-emu-a.log") > n0)); then
    ok "usb: the first unit plugged in again at card $card_a, $a (before: card $usb_card0, $usb_addr0): chosen and answering"
  else
    bad "usb: the first unit at a new card ($card_a, $a; before: card $usb_card0, $usb_addr0)"
    show "$work/usb-ports-moved.log"
    show "$work/usb-v-moved.log"
  fi
  if [ "${ql5_usb_update:-0}" = 1 ]; then
    usb_two_whole "$a" "$b" "$ua" "$ub"
    return
  fi
  t=$(date +%s)
  timeout 600 "$ql5" update --all >"$work/usb-all-up.log" 2>"$work/usb-all-up.err" &
  up=$!
  # Cut inside the largest image, so that the cut comes during its writes:
  # at a block the message is a write's, at one of the markers between
  # blocks it is "Transfer error occurred." (nothing was erased or written
  # there); either way at once.
  local gone='Error: (Time out error\(2\)|Transfer error occurred\.)'
  if wait_for_re "$work/usb-all-up.err" 150 "\\(client ${a%:*}\\): \\[[0-9]/8\\] writing image" &&
    wait_for_re "$work/usb-all-up.err" 240 "\\(client ${b%:*}\\): \\[[0-9]/8\\] writing image 136"; then
    sleep 3
    gadget_unbind ql5b
    if wait_for_re "$work/usb-all-up.err" 20 "\\(client ${b%:*}\\): $gone"; then
      n0=$(wc -l <"$work/usb-emu-a.log")
      sleep 5
      n1=$(wc -l <"$work/usb-emu-a.log")
      if kill -0 "$up" 2>/dev/null && ((n1 > n0)); then
        ok "usb: the second unit unplugged mid-write failed alone; the first went on ($((n1 - n0)) messages in 5 s after)"
      else
        bad "usb: the first unit stopped when the second was unplugged ($n0 -> $n1 messages)"
      fi
    else
      bad "usb: the unplugged unit's update did not fail at once"
    fi
    gadget_unbind ql5a
    wait "$up"
    rc=$?
    ((rc == 7 || rc == 8)) && grep -qE "Time out error\(2\)|Transfer error occurred\." "$work/usb-all-up.log" ||
      bad "usb: update --all after both were unplugged: exit $rc"
    show "$work/usb-all-up.log" 4
  else
    bad "usb: update --all never wrote to both"
    show "$work/usb-all-up.err"
    kill "$up" 2>/dev/null
    wait "$up" 2>/dev/null
  fi
  kill "$ua" "$ub" 2>/dev/null
  wait "$ua" "$ub" 2>/dev/null
  gadget_unbind ql5a 2>/dev/null
  gadget_unbind ql5b 2>/dev/null
}
# By hand (--usb-update; ten minutes or more under TCG), instead of the cut
# above: update --all takes both units to the end side by side; each one's
# unplug step sees its own unbind; re-bound, version --all reports the new
# versions of both.
usb_two_whole() {
  local a=$1 b=$2 ua=$3 ub=$4 t up rc
  t=$(date +%s)
  timeout 1800 "$ql5" update --all >"$work/usb-all-whole.log" 2>"$work/usb-all-whole.err" &
  up=$!
  if wait_for_re "$work/usb-all-whole.err" 1800 "\\(client ${a%:*}\\): PLEASE UNPLUG" &&
    wait_for_re "$work/usb-all-whole.err" 900 "\\(client ${b%:*}\\): PLEASE UNPLUG"; then
    sleep 1
    gadget_unbind ql5a
    gadget_unbind ql5b
  fi
  wait "$up"
  rc=$?
  if [ "$rc" = 0 ] && (($(grep -c "Version update completed." "$work/usb-all-whole.err") == 2)); then
    ok "usb: update --all took both units to the end, each unplug seen ($(($(date +%s) - t))s)"
  else
    bad "usb: update --all of both (exit $rc)"
    show "$work/usb-all-whole.err"
  fi
  show "$work/usb-all-whole.log" 4
  gadget_bind ql5a dummy_udc.0 && gadget_bind ql5b dummy_udc.1 && find_usb 0 && find_usb 1 ||
    bad "usb: binding both again"
  if timeout 180 "$ql5" version --all >"$work/usb-all-new.log" 2>&1 &&
    (($(grep -cE '^Tarvik QL-5 MIDI 1 \(client [0-9]+\) +1\.20/' "$work/usb-all-new.log") == 2)); then
    ok "usb: version --all after it: both report the new versions"
  else
    bad "usb: version --all after the whole update of both"
    show "$work/usb-all-new.log"
  fi
  kill "$ua" "$ub" 2>/dev/null
  wait "$ua" "$ub" 2>/dev/null
  gadget_unbind ql5a 2>/dev/null
  gadget_unbind ql5b 2>/dev/null
}
# How long (seconds) the cut update may take to end after the unbind: the
# driver sees the card go at once (well under 2 s here on a quiet machine);
# 32 resends would take over 30 s. Room for a loaded machine.
usb_cut_limit=${ql5_usb_cut_limit:-20}
# Messages sent each way across the USB path to be compared.
usb_messages=20
step usb && usb_step

cp "$work"/*.log "$res/" 2>/dev/null
say "guest steps done, failed=$failed"
exit "$failed"
