#!/usr/bin/env bash
# The Linux MIDI path on a real kernel: boots Debian's own kernel in a QEMU
# guest (TCG; no KVM needed) over a read-only view of this machine, and runs
# there the ALSA tests, whole updates through the kernel's sequencer, and
# version checks, faults and (with --serial-update) a whole update over a real
# rawmidi card: a 16550 UART driven by snd-serial-u16550, whose far end is
# ql5-emulator on this machine.
#
# and the unit as a USB-MIDI device: a configfs gadget on dummy_hcd, seen by
# snd-usb-audio as a real card, served by ql5-emulator on the gadget's
# rawmidi node, pulled out by unbinding the gadget, a whole update over it
# (--usb-update adds update --all taking two such units to the end, ten
# minutes or more).
#
#   scripts/alsa-kernel-test.sh [--serial-update] [--usb-update] [--no-build] [--only=STEP,...]
#
# --only runs only the steps named (tests, sequencer, probe, burst, held,
# unbind, update, usb), for working on one of them.
#
# Everything it fetches or makes is kept under build/alsa-kernel/. Every step
# is bounded by `timeout`; the exit status is 0 only when every step ended as
# expected.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

serial_update=0
usb_update=0
only=
build=1
for a in "$@"; do
  case "$a" in
    --serial-update) serial_update=1 ;;
    --usb-update) usb_update=1 ;;
    --only=*) only=${a#--only=} ;;
    --no-build) build=0 ;;
    *) echo "usage: $0 [--serial-update] [--usb-update] [--no-build] [--only=STEP,...]" >&2; exit 2 ;;
  esac
done

cache=$repo/build/alsa-kernel
run=$cache/run
bin=$repo/build/debug
mkdir -p "$cache"
started=$(date +%s)
say() { printf '[%4ds] %s\n' $(($(date +%s) - started)) "$*"; }

# --- Debian packages (the host side) ---------------------------------------
timeout 1800 scripts/deps.sh kernel

# --- the programs under test ------------------------------------------------
targets=(ql5 ql5-emulator ql5_alsa_driver_test ql5_alsa_seq_codec_test ql5_alsa_port_rules_test
         ql5_alsa_driver_fake_test ql5_alsa_rawmidi_fake_test ql5_emulator_tool_test ql5_app_probe)
if ((build)); then
  # What the build needs (the ALSA headers among them), on a fresh machine too.
  timeout 1800 scripts/deps.sh
  say "building ${targets[*]}"
  [ -f "$bin/build.ninja" ] || timeout 900 cmake --preset debug >/dev/null
  timeout 3600 cmake --build --preset debug --target "${targets[@]}" >/dev/null
fi

# --- Debian's kernel, unpacked, not installed -------------------------------
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [ -z "$kpkg" ]; then
  echo "alsa-kernel-test: apt does not know linux-image-amd64 (run apt-get update)" >&2
  exit 1
fi
kver=${kpkg#linux-image-}
kroot=$cache/$kver
# "done" marks an unpacking that has the USB modules too (an older one had not).
if [ ! -f "$kroot/done-usb" ]; then
  say "fetching $kpkg"
  rm -rf "$kroot" && mkdir -p "$kroot/deb"
  (cd "$kroot/deb" && timeout 600 apt-get download "$kpkg" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  deb=$(ls "$kroot"/deb/*.deb)
  m=./lib/modules/$kver
  timeout 300 dpkg-deb --fsys-tarfile "$deb" | timeout 300 tar -x -C "$kroot" --wildcards \
    "./boot/vmlinuz-$kver" "$m/modules.order" "$m/modules.builtin*" "$m/kernel/sound" \
    "$m/kernel/drivers/virtio" "$m/kernel/drivers/char/virtio_console.ko" \
    "$m/kernel/fs/9p" "$m/kernel/net/9p" "$m/kernel/fs/fscache" "$m/kernel/fs/netfs" \
    "$m/kernel/fs/overlayfs" "$m/kernel/fs/configfs" "$m/kernel/drivers/usb/core" \
    "$m/kernel/drivers/usb/common" "$m/kernel/drivers/usb/gadget" "$m/kernel/drivers/media/mc"
  timeout 120 depmod -b "$kroot" "$kver"
  rm -rf "$kroot/deb"
  touch "$kroot/done-usb"
fi

# --- a small initramfs: busybox, the modules that reach the root, /init -----
initrd=$kroot/initrd.cpio.gz
if [ ! -f "$initrd" ] || [ "$0" -nt "$initrd" ]; then
  say "making the initramfs"
  ir=$cache/initramfs
  rm -rf "$ir" && mkdir -p "$ir"/{bin,dev,proc,sys,mods,host,rw,root}
  cp /bin/busybox "$ir/bin/busybox"
  : >"$ir/mods/order"
  for mod in virtio_pci virtio_console 9pnet_virtio 9p overlay; do
    timeout 60 modprobe -d "$kroot" -S "$kver" --show-depends "$mod" | while read -r kind path _; do
      [ "$kind" = insmod ] || continue
      name=$(basename "$path")
      grep -qx "$name" "$ir/mods/order" && continue
      cp "$path" "$ir/mods/$name"
      echo "$name" >>"$ir/mods/order"
    done
  done
  cat >"$ir/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /mods/order); do insmod /mods/$m; done
# The host's / read-only, with a throw-away layer on top; the results share
# writable; then the guest steps in the host's own userland.
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /host
mount -t tmpfs tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /root
mount -t tmpfs tmpfs /root/tmp
# A checkout under /tmp is hidden by that: show it again, on a throw-away
# layer of its own.
case "$ql5_repo" in /tmp/*)
  mkdir -p /rw/rupper /rw/rwork "/root$ql5_repo"
  mount -t overlay overlay -o "lowerdir=/host$ql5_repo,upperdir=/rw/rupper,workdir=/rw/rwork" "/root$ql5_repo" ;;
esac
mkdir -p "/root$ql5_results"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 results "/root$ql5_results"
mount -t proc proc /root/proc
mount -t sysfs sys /root/sys
mount -t devtmpfs dev /root/dev
chroot /root /bin/bash "$ql5_repo/scripts/alsa-kernel-guest.sh" </dev/hvc0 >/dev/hvc0 2>&1
echo $? >"/root$ql5_results/guest.rc"
sync
poweroff -f
EOF
  chmod +x "$ir/init"
  (cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
fi

# --- the run ----------------------------------------------------------------
rm -rf "$run" && mkdir -p "$run"
# The serial line's far end: QEMU reads serial.in and writes serial.out.
mkfifo "$run/serial.in" "$run/serial.out"
unit_pid=
burst_pid=
unit_seq=0
stop_unit() {
  local p
  for p in $unit_pid $burst_pid; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  unit_pid= burst_pid=
}
# MIDI clock bytes (F8, which may come between any two bytes, SysEx or not)
# into the guest's serial input, about 20 KB/s on top of the unit's replies.
burst() {
  local clocks
  clocks=$(head -c 512 /dev/zero | tr '\0' '\370')
  exec 3>"$run/serial.in"
  while :; do
    printf '%s' "$clocks" >&3
    sleep 0.025
  done
}
qemu_pid=
cleanup() {
  stop_unit
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
}
trap cleanup EXIT

# The guest asks for the unit it needs at the far end of the serial line by
# writing the emulator's options into unit.want, or "capture" to have what
# the guest sends saved; "--burst" adds clock bytes from this side. The host
# answers in unit.ready.
serve_unit() {
  local want=$run/unit.want
  [ -f "$want" ] || return 0
  local args
  args=$(cat "$want")
  rm -f "$want"
  stop_unit
  unit_seq=$((unit_seq + 1))
  if [[ " $args " == *" --burst "* ]]; then
    args=${args/--burst/}
    burst &
    burst_pid=$!
  fi
  if [ "${args// /}" = capture ]; then
    cat "$run/serial.out" >"$run/capture-$unit_seq.bin" &
    unit_pid=$!
  else
    set -f  # the options are words, and "read#*" no pattern
    # shellcheck disable=SC2086
    "$bin/emulator/ql5-emulator" --stream "$run/serial.out" "$run/serial.in" $args \
      >"$run/unit-$unit_seq.log" 2>&1 &
    unit_pid=$!
    set +f
  fi
  sleep 0.3
  echo "$unit_seq" >"$run/unit.ready"
}

guest_limit=$((1500 + serial_update * 900 + usb_update * 1800))
say "booting $kver (TCG), guest limit ${guest_limit}s"
timeout "$guest_limit" qemu-system-x86_64 -nodefaults -no-reboot -machine pc -accel tcg -cpu max \
  -smp 2 -m 2048 -display none -vga none \
  -kernel "$kroot/boot/vmlinuz-$kver" -initrd "$initrd" \
  -append "console=hvc0 quiet loglevel=3 8250.nr_uarts=0 panic=-1 ql5_repo=$repo ql5_results=$run ql5_kroot=$kroot ql5_kver=$kver ql5_serial_update=$serial_update ql5_usb_update=$usb_update ql5_only=$only" \
  -device virtio-serial-pci -chardev stdio,id=con,signal=off -device virtconsole,chardev=con \
  -serial "pipe:$run/serial" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$run,mount_tag=results,security_model=none" \
  </dev/null &
qemu_pid=$!
while kill -0 "$qemu_pid" 2>/dev/null; do
  serve_unit
  sleep 0.2
done
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=
stop_unit

total=$(($(date +%s) - started))
if [ ! -f "$run/guest.rc" ]; then
  say "the guest did not finish (qemu exit $qemu_rc); FAILED"
  exit 1
fi
guest_rc=$(cat "$run/guest.rc")
if [ -f "$run/alsa-tests.txt" ]; then
  say "$(cat "$run/alsa-tests.txt")"
elif [ -z "$only" ] || [[ ",$only," == *,tests,* ]]; then
  say "the ALSA tests did not run; FAILED"
  exit 1
fi
say "guest steps ended with $guest_rc; whole run ${total}s"
[ "$guest_rc" = 0 ]
