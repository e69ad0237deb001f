#!/usr/bin/env python3
"""Writes numbered MIDI SysEx messages of a write block's size to a kernel
rawmidi node, in one of two ways, so that what reaches the far end can be
compared with what was written:

  plain  the node as it opens (a 4 KiB output buffer); each message written
         in a loop of non-blocking writes, waiting for room, not drained
  roomy  a 64 KiB output buffer; each message in one write, then drained

usage: alsa-kernel-probe.py write NODE MODE COUNT
       alsa-kernel-probe.py capture NODE CAPTURE COUNT   (what a node receives, 64 KiB buffer)
       alsa-kernel-probe.py compare CAPTURE COUNT   (exit 1 on any difference)
"""
import fcntl
import os
import select
import struct
import sys

SIZE = 4699
PARAMS = 0xC0305710  # SNDRV_RAWMIDI_IOCTL_PARAMS, a 48-byte struct on x86-64
DRAIN = 0x40045731  # SNDRV_RAWMIDI_IOCTL_DRAIN


def message(i):
    body = bytes(((i * 31 + k) & 0x7F) for k in range(SIZE - 4))
    return bytes([0xF0, i & 0x7F, (i >> 7) & 0x7F]) + body + bytes([0xF7])


def write(node, mode, count):
    fd = os.open(node, os.O_WRONLY | os.O_NONBLOCK)
    if mode == "roomy":
        # stream OUTPUT, buffer_size, avail_min, no_active_sensing, mode
        fcntl.ioctl(fd, PARAMS, struct.pack("<i4xQQII16x", 0, 65536, 1, 1, 0))
    for i in range(count):
        m = message(i)
        done = 0
        while done < len(m):
            try:
                done += os.write(fd, m[done:])
            except BlockingIOError:
                select.select([], [fd], [], 5)
            if mode == "roomy" and done != len(m):
                sys.exit("roomy: a message did not go in with one write")
        if mode == "roomy":
            fcntl.ioctl(fd, DRAIN, struct.pack("<i", 0))
    fcntl.ioctl(fd, DRAIN, struct.pack("<i", 0))
    os.close(fd)


def capture(node, out, count):
    """Reads the node (with a 64 KiB input buffer) until COUNT messages' worth
    has come, or nothing came for 10 s; saves what came."""
    fd = os.open(node, os.O_RDONLY | os.O_NONBLOCK)
    # stream INPUT, buffer_size, avail_min, no_active_sensing, mode
    fcntl.ioctl(fd, PARAMS, struct.pack("<i4xQQII16x", 1, 65536, 1, 1, 0))
    got = bytearray()
    print("ready", flush=True)
    while len(got) < count * SIZE:
        ready, _, _ = select.select([fd], [], [], 10)
        if not ready:
            break
        try:
            got += os.read(fd, 65536)
        except BlockingIOError:
            pass
    os.close(fd)
    open(out, "wb").write(got)


def compare(capture, count):
    got = open(capture, "rb").read()
    bad = []
    for i in range(count):
        want = message(i)
        piece = got[i * SIZE:(i + 1) * SIZE]
        if piece != want:
            first = next((k for k in range(min(len(piece), SIZE)) if piece[k] != want[k]),
                         min(len(piece), SIZE))
            bad.append((i, first))
    print("%d of %d messages arrived changed, %d bytes received of %d%s" %
          (len(bad), count, len(got), count * SIZE,
           "".join("; #%d from byte %d" % b for b in bad[:6])))
    return 1 if bad or len(got) != count * SIZE else 0


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif sys.argv[1] == "capture":
        capture(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(compare(sys.argv[2], int(sys.argv[3])))
